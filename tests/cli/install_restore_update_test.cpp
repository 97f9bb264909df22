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
const char kPostFailed[] =
    "Command failed: Failure in post processing of definitions during update.\n";
const char kCopyFailed[] = "Command failed: Failure in copying the definitions.\n";
const char kNoType[] = "Command failed: The specified content type could not be found.\n";

class CommandTest : public SandboxTest {
protected:
    std::string Defs(const std::string& name = "") const { return sandbox.DefsDir() + "/" + name; }
    std::string CurDefs() const { return DefDatesValue(Defs("definfo.dat"), "CurDefs"); }
    void MakeStore()
    {
        WriteSet(Defs(kOld.DirName()), kOld);
        WriteTextFile(Defs("definfo.dat"), DefInfoText(kOld.DirName(), kOld.DirName()));
    }
};

TEST_F(CommandTest, InstallIntoStoreOrNoStore)
{
    const struct {
        const char* name;
        int firstInstall;  // exit status without a store
        int intoStore;     // exit status into a store holding an older set
    } kCases[] = {
        {"CompleteSet", 0, 0},
        {"MissingDirectory", 11, 11},
        {"EmptyDirectory", 11, 11},
        // An unreadable header never counts as newer than a set the store has.
        {"InvalidHeader", 3, 0},
        // Only regular files are copied (a FIFO must not block the copy).
        {"FifoAsListedFile", 3, 3},
        {"SubdirectoriesAreSkipped", 0, 0},
    };
    const std::string src = sandbox.Path("src");
    for (bool bStore : {false, true}) {
        for (const auto& c : kCases) {
            const std::string name = c.name;
            SCOPED_TRACE(name + (bStore ? " into a store" : " first install"));
            RemoveTree(sandbox.BaseDir());
            RemoveTree(src);
            if (bStore)
                MakeStore();
            if (name != "MissingDirectory")
                MakeDirs(src);
            if (name != "MissingDirectory" && name != "EmptyDirectory")
                WriteSet(src, kNew);
            if (name == "InvalidHeader")
                WriteTextFile(src + "/virscan1.dat", "tiny");
            if (name == "FifoAsListedFile") {
                unlink((src + "/defs1.dat").c_str());
                ASSERT_EQ(mkfifo((src + "/defs1.dat").c_str(), 0600), 0);
            }
            if (name == "SubdirectoriesAreSkipped")
                WriteSet(src + "/nested", kOld);
            int expected = bStore ? c.intoStore : c.firstInstall;

            CliResult r = RunCli({"-i", src});
            EXPECT_EQ(r.status, expected);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, expected == 3 ? kPostFailed : expected == 11 ? kCopyFailed : "");
            if (c.firstInstall == 0) {
                EXPECT_EQ(CurDefs(), kNew.DirName());
                EXPECT_TRUE(IsCompleteSet(Defs(kNew.DirName())));
                EXPECT_EQ(ListDir(Defs("binhub")),
                          std::vector<std::string>({"bincommon.dat", "binlinux.dat"}));
            } else if (bStore) {
                EXPECT_EQ(CurDefs(), kOld.DirName());
                EXPECT_TRUE(IsCompleteSet(Defs(kOld.DirName())));
            } else {
                EXPECT_FALSE(PathExists(Defs()));  // a failed first install is rolled back
            }
            for (const std::string& name : ListDir(Defs()))
                EXPECT_NE(name.compare(0, 3, "tmp"), 0) << name;
        }
    }
}

TEST_F(CommandTest, ConcurrentInstallsLeaveACompleteNewestSet)
{
    MakeStore();
    const SetDate kDates[] = {{2009, 4, 1, 3}, {2009, 5, 2, 7}};
    const std::string srcs[] = {sandbox.Path("src0"), sandbox.Path("src1")};
    for (int i = 0; i < 2; ++i)
        WriteSet(srcs[i], kDates[i]);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        CliResult results[2];
        std::thread first([&] { results[0] = RunCli({"-i", srcs[0]}); });
        std::thread second([&] { results[1] = RunCli({"-i", srcs[1]}); });
        first.join();
        second.join();
        EXPECT_TRUE(results[0].status == 0 || results[1].status == 0)
            << results[0].err << results[1].err;
        std::string cur = CurDefs(), tag;
        EXPECT_TRUE(cur == kDates[0].DirName() || cur == kDates[1].DirName()) << cur;
        EXPECT_TRUE(IsCompleteSet(Defs(cur), &tag)) << cur;
        EXPECT_EQ(cur, tag);
    }
}

// "-r" after "-l" is its content type, which has no store: the update runs,
// then the restore refuses.
TEST_F(CommandTest, UpdateThenRestoreOfUnknownType)
{
    MakeStore();
    CliOptions options;
    options.env = {std::string("PATH=") + QDU_FAKE_JAVA_DIR + ":/usr/bin:/bin",
                   "FAKE_JAVA_RECORD=" + sandbox.Path("java-record.txt")};
    CliResult r = RunCli({"-l", "-r"}, options);
    EXPECT_EQ(r.status, 15);
    EXPECT_EQ(r.err, kNoType);
    EXPECT_EQ(CurDefs(), kOld.DirName());
    EXPECT_TRUE(PathExists(sandbox.Path("java-record.txt")));
}

}  // namespace
