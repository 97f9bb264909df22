// The microdefs command end to end: the sandbox program, the stand-in
// update client and the reference patch library moving a store to a newer
// set through real delta packages.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

struct Date {
    int year;
    int month;
    int day;
    unsigned rev;

    std::string Name() const
    {
        char buf[32];
        snprintf(buf, sizeof buf, "%04d%02d%02d.%03u", year, month, day, rev);
        return buf;
    }
    long Sequence() const
    {
        return (year - 2000) * 10000000L + month * 100000L + day * 1000L + rev;
    }
};

// The first day of the month nMonthsAgo months before now.
Date MonthsAgo(int nMonthsAgo, int day, unsigned rev)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    int total = (local.tm_year + 1900) * 12 + local.tm_mon - nMonthsAgo;
    return Date{total / 12, total % 12 + 1, day, rev};
}

const char* MonthName(const Date& date)
{
    static const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return names[date.month - 1];
}

// A set whose binary hub is the whole set, so a hub package can turn the
// hub into the next set. The data file is large enough for real deltas.
void WriteHubSet(const std::string& dir, const Date& date)
{
    MakeDirs(dir);
    WriteTextFile(dir + "/virscan1.dat", DefDateHeader(date.year, date.month, date.day, date.rev) +
                                             "main " + date.Name());
    std::string body;
    for (int i = 0; i < 2000; ++i)
        body += "signature " + std::to_string(i) + (i % 97 == 0 ? " of " + date.Name() : "") + "\n";
    WriteTextFile(dir + "/defs1.dat", body);
    WriteTextFile(dir + "/texthub.dat", "text hub of " + date.Name() + "\n");
    WriteTextFile(dir + "/catalog.dat",
                  "[Files]\nvirscan1.dat\ncatalog.dat\ndefs1.dat\ntexthub.dat\n"
                  "[Binary Hub Files - Linux]\nvirscan1.dat\n"
                  "[Binary Hub Files - Common]\ncatalog.dat\ndefs1.dat\ntexthub.dat\n"
                  "[Text Hub Files]\ntexthub.dat\n");
}

std::string ProfileValue(const std::string& path, const std::string& section,
                         const std::string& key)
{
    std::ifstream in(path);
    std::string line;
    bool inSection = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inSection = line == "[" + section + "]";
        } else if (inSection && line.compare(0, key.size() + 1, key + "=") == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "<missing>";
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

class MicroDefsTest : public SandboxTest {
protected:
    Date older = MonthsAgo(2, 10, 5);
    Date newer = MonthsAgo(1, 3, 1);
    std::string record = sandbox.Path("java.rec");
    std::string libDir = sandbox.Path("lib");
    std::string hubPackages = sandbox.Path("hubpkg");
    std::string directPackages = sandbox.Path("directpkg");

    void SetUp() override
    {
        WriteHubSet(sandbox.Path("setA"), older);
        WriteHubSet(sandbox.Path("setB"), newer);
        MakeDirs(libDir);
        MakeDirs(hubPackages);
        MakeDirs(directPackages);
        UsePatchLibrary(QDU_PATCHAPP_LIBRARY);
        CliResult install = RunCli({"-i", sandbox.Path("setA")});
        ASSERT_EQ(install.status, 0) << install.err;
        ASSERT_EQ(Conf("LastBinUpdate"), "1");
    }

    void UsePatchLibrary(const std::string& path)
    {
        unlink((libDir + "/libpatchapp.so").c_str());
        ASSERT_EQ(symlink(path.c_str(), (libDir + "/libpatchapp.so").c_str()), 0);
    }

    // A delivery as the update client leaves it: the package and the
    // marker script of its kind, by which the store recognises the
    // directory when it cleans up.
    void MakePackage(const std::string& from, const std::string& to, const std::string& out,
                     bool hub)
    {
        std::string dir = out.substr(0, out.rfind('/'));
        WriteTextFile(dir + (hub ? "/hub.scr" : "/cur.scr"), "apply\n");
        std::string command = std::string(QDU_MKMICRODEFS) + (hub ? " --hub " : " ") + from +
                              " " + to + " " + out + " >/dev/null 2>&1";
        ASSERT_EQ(system(command.c_str()), 0) << command;
    }

    CliResult RunMicroDefs(std::vector<std::string> extraEnv, const std::string& product = "Prod",
                           const char* contentType = nullptr)
    {
        CliOptions options;
        options.env = {"PATH=" + std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin",
                       "FAKE_JAVA_RECORD=" + record, "LD_LIBRARY_PATH=" + libDir};
        options.env.insert(options.env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<std::string> args = {"-m", product};
        if (contentType != nullptr)
            args.push_back(contentType);
        return RunCli(args, options);
    }

    std::string Conf(const std::string& key) const
    {
        return ProfileValue(sandbox.DefutilsConf(), "tvlxdata-shareddefs-microdefs", key);
    }
    std::string CurDefs() const { return DefInfoValue(sandbox.DefsDir(), "CurDefs"); }

    // What the run must never leave behind.
    void ExpectCleanedUp() const
    {
        for (const std::string& name : ListDir(sandbox.DefsDir()))
            EXPECT_NE(name.compare(0, 3, "tmp"), 0) << name;
        EXPECT_FALSE(PathExists(sandbox.DefsDir() + "/sflock.dat"));
    }

    std::vector<std::string> RecordedArgs() const
    {
        std::vector<std::string> args;
        for (const std::string& line : Lines(ReadTextFile(record))) {
            if (line.compare(0, 4, "arg ") == 0)
                args.push_back(line.substr(4));
        }
        return args;
    }
};

TEST_F(MicroDefsTest, HubPackageMovesStoreAndHubToTheNewerSet)
{
    MakePackage(sandbox.Path("setA"), sandbox.Path("setB"), hubPackages + "/update.mdp", true);
    CliResult r = RunMicroDefs({"FAKE_JAVA_HUB_FROM=" + hubPackages});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    // Progress lines from the library, ending at 100.
    std::vector<std::string> progress = Lines(r.out);
    ASSERT_FALSE(progress.empty());
    for (const std::string& line : progress) {
        char* end = nullptr;
        strtod(line.c_str(), &end);
        EXPECT_STREQ(end, "%") << line;
        EXPECT_EQ(line.find('.'), line.size() - 8) << line;
    }
    EXPECT_EQ(progress.back(), "100.000000%");

    EXPECT_EQ(CurDefs(), newer.Name());
    EXPECT_EQ(DefInfoValue(sandbox.DefsDir(), "LastDefs"), older.Name());
    EXPECT_EQ(ReadTextFile(sandbox.DefsDir() + "/" + newer.Name() + "/defs1.dat"),
              ReadTextFile(sandbox.Path("setB") + "/defs1.dat"));
    EXPECT_EQ(ReadTextFile(sandbox.DefsDir() + "/binhub/virscan1.dat"),
              ReadTextFile(sandbox.Path("setB") + "/virscan1.dat"));
    EXPECT_EQ(Conf("LastBinUpdate"), "1");
    ExpectCleanedUp();

    std::string seq = std::to_string(older.Sequence());
    std::string channel = std::string("MicroDefsB.") + MonthName(older);
    std::vector<std::string> expected = {
        "Skyfetcher",
        "[", "-p", "Prod", "-v", channel, "-l", "TvlAllLanguages", "-t", "HubDefs", "-z", seq, "]",
        "[", "-p", "Prod", "-v", channel, "-l", "TvlAllLanguages", "-t", "CurDefs", "-z", seq, "]",
        "[", "-p", "Prod", "-v", "MicroDefsB.CurDefs", "-l", "TvlAllLanguages", "-t", "CurDefs",
        "-z", seq, "]"};
    EXPECT_EQ(RecordedArgs(), expected);
    std::string env = ReadTextFile(record);
    EXPECT_NE(env.find("env HUBDELTADIR=" + sandbox.DefsDir() + "/tmp"), std::string::npos);
    EXPECT_NE(env.find("env CURDELTADIR=" + sandbox.DefsDir() + "/tmp"), std::string::npos);
}

TEST_F(MicroDefsTest, DirectPackageWinsOverHubPackageAndLeavesHubAlone)
{
    MakePackage(sandbox.DefsDir() + "/" + older.Name(), sandbox.Path("setB"),
                directPackages + "/update.mdp", false);
    MakePackage(sandbox.Path("setA"), sandbox.Path("setB"), hubPackages + "/update.mdp", true);
    std::string hubBefore = ReadTextFile(sandbox.DefsDir() + "/binhub/virscan1.dat");
    CliResult r = RunMicroDefs({"FAKE_JAVA_HUB_FROM=" + hubPackages,
                                "FAKE_JAVA_DIRECT_FROM=" + directPackages});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CurDefs(), newer.Name());
    EXPECT_EQ(ReadTextFile(sandbox.DefsDir() + "/binhub/virscan1.dat"), hubBefore);
    EXPECT_EQ(Conf("LastBinUpdate"), "1");
    ExpectCleanedUp();
}

TEST_F(MicroDefsTest, NoPackagesIsSuccessAndMarksTheHubGood)
{
    CliResult r = RunMicroDefs({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(CurDefs(), older.Name());
    EXPECT_EQ(Conf("LastBinUpdate"), "1");
    ExpectCleanedUp();
}

struct FailureCase {
    const char* name;
    int status;
    const char* message;
    const char* lastBinUpdate;  // afterwards
    bool clientRan;
};

class MicroDefsFailureTest : public MicroDefsTest,
                             public ::testing::WithParamInterface<FailureCase> {
protected:
    std::vector<std::string> Arrange(const std::string& name)
    {
        if (name == "ClientFails")
            return {"FAKE_JAVA_EXIT=3"};
        if (name == "ClientKilled")
            return {"FAKE_JAVA_SIGNAL=9"};
        if (name == "LibraryMissing") {
            unlink((libDir + "/libpatchapp.so").c_str());
            return {};
        }
        if (name == "LibraryWithoutEntryPoints") {
            UsePatchLibrary(std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_none.so");
            return {};
        }
        if (name == "PackageForAnotherBase") {
            // Made against B, applied to a hub that holds A.
            MakePackage(sandbox.Path("setB"), sandbox.Path("setA"), hubPackages + "/x.mdp", true);
            return {"FAKE_JAVA_HUB_FROM=" + hubPackages};
        }
        if (name == "ClientFailsAndHubVanishes")
            return {"FAKE_JAVA_EXIT=1", "FAKE_JAVA_REMOVE=" + sandbox.DefsDir() + "/binhub"};
        if (name == "ClientLockHeld") {
            WriteTextFile(sandbox.DefsDir() + "/sflock.dat", "");
            return {};
        }
        return {};
    }
};

TEST_P(MicroDefsFailureTest, ReportsAndCleansUp)
{
    const FailureCase& c = GetParam();
    std::vector<std::string> env = Arrange(c.name);
    CliResult r = RunMicroDefs(env);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, std::string("Command failed: ") + c.message + ".\n");
    EXPECT_EQ(Conf("LastBinUpdate"), c.lastBinUpdate);
    EXPECT_EQ(PathExists(record), c.clientRan);
    EXPECT_EQ(CurDefs(), older.Name());
    for (const std::string& entry : ListDir(sandbox.DefsDir()))
        EXPECT_NE(entry.compare(0, 3, "tmp"), 0) << entry;
    // A lock this run did not take is not its to remove.
    EXPECT_EQ(PathExists(sandbox.DefsDir() + "/sflock.dat"),
              std::string(c.name) == "ClientLockHeld");
}

INSTANTIATE_TEST_SUITE_P(
    Table, MicroDefsFailureTest,
    ::testing::Values(
        FailureCase{"ClientFails", 9, "Problem with Skyfetcher", "1", true},
        FailureCase{"ClientKilled", 9, "Problem with Skyfetcher", "1", true},
        FailureCase{"LibraryMissing", 14,
                    "Failure in post processing of micro definitions during update", "1", true},
        FailureCase{"LibraryWithoutEntryPoints", 14,
                    "Failure in post processing of micro definitions during update", "1", true},
        FailureCase{"PackageForAnotherBase", 14,
                    "Failure in post processing of micro definitions during update", "0", true},
        FailureCase{"ClientFailsAndHubVanishes", 16,
                    "Both the Skyfetcher and post microdef clean have failed", "1", true},
        FailureCase{"ClientLockHeld", 17,
                    "Failure in pre processing of micro definitions before update", "1", false}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(MicroDefsTest, BadHubAnnouncesTheErrorChannelWithoutSequences)
{
    WriteTextFile(sandbox.DefutilsConf(),
                  "[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=0\nLastTextUpdate=1\n");
    CliResult r = RunMicroDefs({}, "\"Quoted Prod\"");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected = {
        "Skyfetcher",
        "[", "-p", "Quoted Prod", "-v", "MicroDefsB.Error", "-l", "TvlAllLanguages", "-t",
        "HubDefs", "-z", "0", "]",
        "[", "-p", "Quoted Prod", "-v", "MicroDefsB.Error", "-l", "TvlAllLanguages", "-t",
        "CurDefs", "-z", "0", "]",
        "[", "-p", "Quoted Prod", "-v", "MicroDefsB.CurDefs", "-l", "TvlAllLanguages", "-t",
        "CurDefs", "-z", "0", "]"};
    EXPECT_EQ(RecordedArgs(), expected);
}

TEST_F(MicroDefsTest, OldHubStillSendsTheNewestSequence)
{
    // A hub set more than ten months old is announced as ".Old"; the hub
    // is usable, so both sequences are sent.
    Date ancient = MonthsAgo(14, 1, 0);
    WriteTextFile(sandbox.DefsDir() + "/binhub/virscan1.dat",
                  DefDateHeader(ancient.year, ancient.month, ancient.day, ancient.rev));
    CliResult r = RunMicroDefs({});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> args = RecordedArgs();
    ASSERT_GT(args.size(), 12u);
    EXPECT_EQ(args[5], "MicroDefsB.Old");
    EXPECT_EQ(args[11], std::to_string(ancient.Sequence()));
    EXPECT_EQ(args[23], std::to_string(older.Sequence()));
}

TEST_F(MicroDefsTest, UnknownContentTypeStopsBeforeAnything)
{
    CliResult r = RunMicroDefs({}, "Prod", "Mail");
    EXPECT_EQ(r.status, 15);
    EXPECT_EQ(r.err, "Command failed: The specified content type could not be found.\n");
    EXPECT_FALSE(PathExists(record));
}

}  // namespace
