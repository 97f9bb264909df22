// The install, restorelastdefs and skyfetcher commands as a user runs them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

const SetDate kOld = {2009, 3, 15, 12};
const SetDate kNew = {2009, 4, 1, 3};

class CommandTest : public SandboxTest {
protected:
    std::string Defs(const std::string& entry = "") const
    {
        return entry.empty() ? sandbox.DefsDir() : sandbox.DefsDir() + "/" + entry;
    }
    std::string CurDefs() const { return DefDatesValue(Defs("definfo.dat"), "CurDefs"); }
    void MakeStore()
    {
        WriteSet(Defs(kOld.DirName()), kOld);
        WriteTextFile(Defs("definfo.dat"), DefInfoText(kOld.DirName(), kOld.DirName()));
        WriteTextFile(Defs("usage.dat"), "[" + kOld.DirName() + "]\nApp1=1\n");
    }
    CliOptions WithFakeJava() const
    {
        CliOptions options;
        options.env.push_back(std::string("PATH=") + QDU_FAKE_JAVA_DIR + ":/usr/bin:/bin");
        options.env.push_back("FAKE_JAVA_RECORD=" + sandbox.Path("java-record.txt"));
        return options;
    }
};

std::string Failed(const char* pszMessage)
{
    return std::string("Command failed: ") + pszMessage + ".\n";
}

struct InstallCase {
    const char* name;
    void (*arrange)(const std::string& src);
    int firstInstall;  // exit status without a store
    int intoStore;     // exit status into a store holding an older set
};

const InstallCase kInstallCases[] = {
    {"CompleteSet", [](const std::string& src) { WriteSet(src, kNew); }, 0, 0},
    {"MissingDirectory", [](const std::string&) {}, 11, 11},
    {"EmptyDirectory", [](const std::string& src) { MakeDirs(src); }, 11, 11},
    // A header that cannot be read never counts as newer than a set the
    // store has, so there it is quietly not integrated.
    {"InvalidHeader",
     [](const std::string& src) {
         WriteSet(src, kNew);
         WriteTextFile(src + "/virscan1.dat", "tiny");
     },
     3, 0},
    // Entries that are not regular files are not copied; the set then lacks
    // a file its catalog lists.
    {"DanglingLinkAsListedFile",
     [](const std::string& src) {
         WriteSet(src, kNew);
         unlink((src + "/defs1.dat").c_str());
         ASSERT_EQ(0, symlink((src + "/gone").c_str(), (src + "/defs1.dat").c_str()));
     },
     3, 3},
    {"FifoAsListedFile",
     [](const std::string& src) {
         WriteSet(src, kNew);
         unlink((src + "/defs1.dat").c_str());
         ASSERT_EQ(0, mkfifo((src + "/defs1.dat").c_str(), 0600));
     },
     3, 3},
    {"SubdirectoriesAreSkipped",
     [](const std::string& src) {
         WriteSet(src, kNew);
         WriteSet(src + "/nested", kOld);
     },
     0, 0},
    {"SetOnlyInASubdirectory", [](const std::string& src) { WriteSet(src + "/nested", kNew); }, 11,
     11},
};

std::string InstallError(int status)
{
    if (status == 3)
        return Failed("Failure in post processing of definitions during update");
    if (status == 11)
        return Failed("Failure in copying the definitions");
    return "";
}

TEST_F(CommandTest, InstallIntoStoreOrNoStore)
{
    for (bool bStore : {false, true}) {
        for (const InstallCase& c : kInstallCases) {
            SCOPED_TRACE(std::string(c.name) + (bStore ? " into a store" : " first install"));
            RemoveTree(sandbox.BaseDir());
            std::string src = sandbox.Path("src");
            RemoveTree(src);
            if (bStore)
                MakeStore();
            c.arrange(src);
            int expected = bStore ? c.intoStore : c.firstInstall;
            bool bIntegrates = c.firstInstall == 0;

            CliResult r = RunCli({"-i", src});
            EXPECT_EQ(expected, r.status);
            EXPECT_EQ("", r.out);
            EXPECT_EQ(InstallError(expected), r.err);

            if (bIntegrates) {
                EXPECT_EQ(kNew.DirName(), CurDefs());
                EXPECT_TRUE(IsCompleteSet(Defs(kNew.DirName())));
                EXPECT_EQ(std::vector<std::string>({"bincommon.dat", "binlinux.dat"}),
                          ListDir(Defs("binhub")));
            } else if (bStore) {
                EXPECT_EQ(kOld.DirName(), CurDefs());
                EXPECT_TRUE(IsCompleteSet(Defs(kOld.DirName())));
            } else {
                // A failed first install leaves no store behind.
                EXPECT_FALSE(PathExists(Defs()));
            }
            if (PathExists(Defs())) {
                for (const std::string& name : ListDir(Defs()))
                    EXPECT_NE(0, name.compare(0, 3, "tmp")) << name;
            }
        }
    }
}

TEST_F(CommandTest, InstallCreatesStoreOfNewContentType)
{
    std::string src = sandbox.Path("src");
    WriteSet(src, kNew);
    EXPECT_EQ(15, RunCli({"-r", "Mail"}).status);

    CliResult r = RunCli({"-i", src, "Mail"});
    EXPECT_EQ(0, r.status) << r.err;
    std::string defs = sandbox.BaseDir() + "/tvlxdata/mail";
    EXPECT_EQ(kNew.DirName(), DefDatesValue(defs + "/definfo.dat", "CurDefs"));
    EXPECT_FALSE(PathExists(defs + "/texthub"));
    EXPECT_EQ(0, RunCli({"-r", "Mail"}).status);
}

TEST_F(CommandTest, ConcurrentInstallsLeaveACompleteNewestSet)
{
    MakeStore();
    const SetDate kDates[] = {{2009, 4, 1, 3}, {2009, 5, 2, 7}};
    std::string srcs[2];
    for (int i = 0; i < 2; ++i) {
        srcs[i] = sandbox.Path("src" + std::to_string(i));
        WriteSet(srcs[i], kDates[i]);
    }
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        CliResult results[2];
        std::thread first([&] { results[0] = RunCli({"-i", srcs[0]}); });
        std::thread second([&] { results[1] = RunCli({"-i", srcs[1]}); });
        first.join();
        second.join();

        EXPECT_TRUE(results[0].status == 0 || results[1].status == 0)
            << results[0].err << results[1].err;
        std::string cur = CurDefs();
        EXPECT_TRUE(cur == kDates[0].DirName() || cur == kDates[1].DirName()) << cur;
        std::string tag;
        EXPECT_TRUE(IsCompleteSet(Defs(cur), &tag)) << cur;
        EXPECT_EQ(cur, tag);
    }
}

TEST_F(CommandTest, RestoreLastDefs)
{
    WriteSet(Defs(kOld.DirName()), kOld);
    WriteSet(Defs(kNew.DirName()), kNew);
    WriteTextFile(Defs("definfo.dat"), DefInfoText(kNew.DirName(), kOld.DirName()));

    struct {
        const char* name;
        std::vector<std::string> args;
        int expected;
        std::string curAfter;
    } const kCases[] = {
        {"UnknownContentType", {"-r", "nosuchtype"}, 15, kNew.DirName()},
        {"Restores", {"-r"}, 0, kOld.DirName()},
        {"NothingLeftToRestoreStillSucceeds", {"-r"}, 0, kOld.DirName()},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        CliResult r = RunCli(c.args);
        EXPECT_EQ(c.expected, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.expected == 0 ? "" : Failed("The specified content type could not be found"),
                  r.err);
        EXPECT_EQ(c.curAfter, CurDefs());
    }
    EXPECT_FALSE(PathExists(Defs(kNew.DirName())));
}

TEST_F(CommandTest, SkyfetcherRuns)
{
    MakeStore();

    struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> env;
        int expected;
        std::string err;
        std::string curAfter;
    } const kCases[] = {
        {"ClientFails",
         {"-l"},
         {"FAKE_JAVA_EXIT=4"},
         9,
         Failed("Problem with Skyfetcher"),
         kOld.DirName()},
        // "-r" after "-l" is its content type, which has no store: the
        // update runs, then the restore refuses.
        {"UpdateThenRestoreOfUnknownType",
         {"-l", "-r"},
         {},
         15,
         Failed("The specified content type could not be found"),
         kOld.DirName()},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        CliOptions options = WithFakeJava();
        options.env.insert(options.env.end(), c.env.begin(), c.env.end());
        unlink(sandbox.Path("java-record.txt").c_str());
        CliResult r = RunCli(c.args, options);
        EXPECT_EQ(c.expected, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(c.curAfter, CurDefs());
        EXPECT_TRUE(PathExists(sandbox.Path("java-record.txt")));
    }
}

}  // namespace
