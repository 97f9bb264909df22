// The microdefs command end to end: the sandbox program, the stand-in update
// client and the reference patch library move a store to a newer set through
// real delta packages. Then its argument text and console progress.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli/console_progress.h"
#include "cli/microdefs_command.h"
#include "platform/profile.h"
#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Strings;

DefDate MonthsAgo(int nMonthsAgo, int day, uint32_t rev)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    int total = (local.tm_year + 1900) * 12 + local.tm_mon - nMonthsAgo;
    return DefDate{total / 12, total % 12 + 1, day, rev};
}

std::string Sequence(const DefDate& d)
{
    return std::to_string((d.year - 2000) * 10000000L + d.month * 100000L + d.day * 1000L +
                          d.revision);
}

// A set whose binary hub is the whole set, so a hub package can turn the
// hub into the next set. The data file is large enough for real deltas.
void WriteHubSet(const std::string& dir, const DefDate& date)
{
    std::string body;
    for (int i = 0; i < 2000; ++i)
        body += "signature " + std::to_string(i) + (i % 97 ? "\n" : " of " + SetName(date) + "\n");
    MakeDirs(dir);
    WriteTextFile(dir + "/defs1.dat", body);
    WriteTextFile(dir + "/virscan1.dat", VirscanHeader(date) + "main " + SetName(date));
    WriteTextFile(dir + "/texthub.dat", "text hub of " + SetName(date) + "\n");
    WriteTextFile(dir + "/catalog.dat",
                  "[Files]\nvirscan1.dat\ncatalog.dat\ndefs1.dat\ntexthub.dat\n"
                  "[Binary Hub Files - Linux]\nvirscan1.dat\n"
                  "[Binary Hub Files - Common]\ncatalog.dat\ndefs1.dat\ntexthub.dat\n"
                  "[Text Hub Files]\ntexthub.dat\n");
}

// The three argument groups as the client receives them (quotes removed).
Strings ClientArgs(const std::string& product, const std::string& channel, const std::string& hub,
                   const std::string& cur)
{
    Strings args = {"Skyfetcher"};
    for (const Strings& g : {Strings{channel, "HubDefs", hub}, Strings{channel, "CurDefs", cur},
                             Strings{"MicroDefsB.CurDefs", "CurDefs", cur}})
        args.insert(args.end(), {"[", "-p", product, "-v", g[0], "-l", "TvlAllLanguages", "-t",
                                 g[1], "-z", g[2], "]"});
    return args;
}

class MicroDefsTest : public SandboxTest {
protected:
    DefDate older = MonthsAgo(2, 10, 5), newer = MonthsAgo(1, 3, 1);
    std::string defs = sandbox.DefsDir(), record = sandbox.Path("java.rec");
    std::string libDir = sandbox.Path("lib"), hubPackages = sandbox.Path("hubpkg");

    void SetUp() override
    {
        WriteHubSet(sandbox.Path("setA"), older);
        WriteHubSet(sandbox.Path("setB"), newer);
        UsePatchLibrary(QDU_PATCHAPP_LIBRARY);
        ASSERT_EQ(RunCli({"-i", sandbox.Path("setA")}).status, 0);
        ASSERT_EQ(LastBinUpdate(), 1);
    }
    void UsePatchLibrary(const std::string& path)
    {
        MakeDirs(libDir);
        unlink((libDir + "/libpatchapp.so").c_str());
        ASSERT_EQ(symlink(path.c_str(), (libDir + "/libpatchapp.so").c_str()), 0);
    }
    // A delivery as the client leaves it: the package and the marker script
    // of its kind, by which the store recognises the directory.
    void MakePackage(const std::string& from, const std::string& to, const std::string& dir,
                     bool hub)
    {
        MakeDirs(dir);
        WriteTextFile(dir + (hub ? "/hub.scr" : "/cur.scr"), "apply\n");
        std::string command = std::string(QDU_MKMICRODEFS) + (hub ? " --hub " : " ") + from + " " +
                              to + " " + dir + "/update.mdp >/dev/null 2>&1";
        ASSERT_EQ(system(command.c_str()), 0) << command;
    }
    CliResult RunMicroDefs(const Strings& env, const Strings& args = {"-m", "Prod"})
    {
        CliOptions options;
        options.env = {"PATH=" + std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin",
                       "FAKE_JAVA_RECORD=" + record, "LD_LIBRARY_PATH=" + libDir};
        options.env.insert(options.env.end(), env.begin(), env.end());
        return RunCli(args, options);
    }
    int LastBinUpdate() const
    {
        return GetPrivateProfileInt("tvlxdata-shareddefs-microdefs", "LastBinUpdate", -1,
                                    sandbox.DefutilsConf().c_str());
    }
    // No temporary directory is left, nor a lock this run took.
    void ExpectCleanedUp(bool lockKept = false) const
    {
        for (const std::string& name : ListDir(defs))
            EXPECT_NE(name.compare(0, 3, "tmp"), 0) << name;
        EXPECT_EQ(PathExists(defs + "/sflock.dat"), lockKept);
    }
};

class MicroDefsSuccessTest : public MicroDefsTest, public ::testing::WithParamInterface<bool> {};

// A package for the current set wins over a hub package and leaves the hub alone.
TEST_P(MicroDefsSuccessTest, PackageMovesStoreToTheNewerSet)
{
    const bool bDirect = GetParam();
    const std::string hubMain = defs + "/binhub/virscan1.dat", hubBefore = ReadTextFile(hubMain);
    MakePackage(sandbox.Path("setA"), sandbox.Path("setB"), hubPackages, true);
    Strings env = {"FAKE_JAVA_HUB_FROM=" + hubPackages};
    if (bDirect) {
        MakePackage(defs + "/" + SetName(older), sandbox.Path("setB"), sandbox.Path("cur"), false);
        env.push_back("FAKE_JAVA_DIRECT_FROM=" + sandbox.Path("cur"));
    }
    CliResult r = RunMicroDefs(env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(PrefixedLines(r.out).back(), "100.000000%") << "the library's progress";
    EXPECT_EQ(DefInfoValue(defs, "CurDefs"), SetName(newer));
    EXPECT_EQ(ReadTextFile(hubMain),
              bDirect ? hubBefore : ReadTextFile(sandbox.Path("setB/virscan1.dat")));
    EXPECT_EQ(LastBinUpdate(), 1);
    ExpectCleanedUp();
    std::string month = std::string("JanFebMarAprMayJunJulAugSepOctNovDec", 3 * older.month - 3, 3);
    EXPECT_EQ(PrefixedLines(ReadTextFile(record), "arg "),
              ClientArgs("Prod", "MicroDefsB." + month, Sequence(older), Sequence(older)));
}

INSTANTIATE_TEST_SUITE_P(HubOrDirect, MicroDefsSuccessTest, ::testing::Bool());

const char kClient[] = "Problem with Skyfetcher";
const char kPost[] = "Failure in post processing of micro definitions during update";
const char kBoth[] = "Both the Skyfetcher and post microdef clean have failed";
const char kPre[] = "Failure in pre processing of micro definitions before update";

struct FailureCase {
    const char* name;
    int status;
    const char* message;
    int lastBinUpdate;  // afterwards
    bool clientRan;
};

const FailureCase kFailures[] = {
    {"ClientFails", 9, kClient, 1, true},
    {"LibraryMissing", 14, kPost, 1, true},
    {"LibraryWithoutEntryPoints", 14, kPost, 1, true},
    {"PackageForAnotherBase", 14, kPost, 0, true},
    {"ClientFailsAndHubVanishes", 16, kBoth, 1, true},
    {"ClientLockHeld", 17, kPre, 1, false},
    {"UnknownContentType", 15, "The specified content type could not be found", 1, false},
};

class MicroDefsFailureTest : public MicroDefsTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MicroDefsFailureTest, ReportsAndCleansUp)
{
    const FailureCase& c = GetParam();
    const std::string name = c.name;
    Strings env, args = {"-m", "Prod"};
    if (name == "ClientFails")
        env = {"FAKE_JAVA_EXIT=3"};
    if (name == "LibraryMissing")
        unlink((libDir + "/libpatchapp.so").c_str());
    if (name == "LibraryWithoutEntryPoints")
        UsePatchLibrary(std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_none.so");
    if (name == "PackageForAnotherBase") {  // made against B, applied to a hub holding A
        MakePackage(sandbox.Path("setB"), sandbox.Path("setA"), hubPackages, true);
        env = {"FAKE_JAVA_HUB_FROM=" + hubPackages};
    }
    if (name == "ClientFailsAndHubVanishes")
        env = {"FAKE_JAVA_EXIT=1", "FAKE_JAVA_REMOVE=" + defs + "/binhub"};
    if (name == "ClientLockHeld")
        WriteTextFile(defs + "/sflock.dat", "");
    if (name == "UnknownContentType")
        args.push_back("Mail");

    CliResult r = RunMicroDefs(env, args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, std::string("Command failed: ") + c.message + ".\n");
    EXPECT_EQ(LastBinUpdate(), c.lastBinUpdate);
    EXPECT_EQ(PathExists(record), c.clientRan);
    EXPECT_EQ(DefInfoValue(defs, "CurDefs"), SetName(older));
    ExpectCleanedUp(name == "ClientLockHeld");
}

INSTANTIATE_TEST_SUITE_P(Table, MicroDefsFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MicroDefsTest, ChannelAndSequencesFollowTheHubState)
{
    // A bad hub is announced on the error channel without sequences.
    sandbox.WriteDefutilsConf("[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=0\n");
    CliResult r = RunMicroDefs({}, {"-m", "\"Quoted Prod\""});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(PrefixedLines(ReadTextFile(record), "arg "),
              ClientArgs("Quoted Prod", "MicroDefsB.Error", "0", "0"));

    // A usable hub more than ten months old is ".Old", with both sequences.
    DefDate ancient = MonthsAgo(14, 1, 0);
    WriteTextFile(defs + "/binhub/virscan1.dat", VirscanHeader(ancient));
    sandbox.WriteDefutilsConf("[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=1\n");
    ASSERT_EQ(RunMicroDefs({}).status, 0);
    EXPECT_EQ(PrefixedLines(ReadTextFile(record), "arg "),
              ClientArgs("Prod", "MicroDefsB.Old", Sequence(ancient), Sequence(older)));
}

TEST(ArgumentText, LongGroupsAreCutAt8189Characters)
{
    // Each group alone fits its 4095-byte buffer; the three together do not.
    std::string product(3000, 'p');
    char text[MICRODEF_ARGUMENT_TEXT_SIZE + 16];
    memset(text, 'X', sizeof text);
    BuildMicroDefArgumentText(product.c_str(), "c", "0", "0", text, MICRODEF_ARGUMENT_TEXT_SIZE);
    EXPECT_EQ(strlen(text), 8189u);
    EXPECT_EQ(text[MICRODEF_ARGUMENT_TEXT_SIZE], 'X');
    char group[4095];
    BuildMicroDefArguments(product.c_str(), "c", "HubDefs", "0", group, sizeof group);
    EXPECT_EQ(std::string(text, strlen(group)), group);
}

// The value goes through single precision, so large values round.
TEST(ConsoleProgress, PrintsSinglePrecisionPercentAndNeverCancels)
{
    CQorDefUtilProgress progress;
    bool cancel = false;
    testing::internal::CaptureStdout();
    progress.OnProgress(33.3333333333, &cancel);
    progress.OnProgress(4294967295.0, &cancel);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "33.333332%\n4294967296.000000%\n");
    EXPECT_FALSE(cancel);
}

}  // namespace
