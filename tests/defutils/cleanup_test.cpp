// Store housekeeping: lock files, temporary directories, leaving the store.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "defutils/cleanup_internal.h"
#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Names;

// Writes an empty lock file last modified at mtime.
void WriteLock(const std::string& path, time_t mtime)
{
    WriteTextFile(path, "");
    struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimes(path.c_str(), times));
}

TEST(FileLocks, HeldLockBlocksUntilHalfAnHourOldAndALeftOverGuardWhileALockExists)
{
    Sandbox sandbox;
    const std::string dir = sandbox.Path("locks"), lock = dir + "/test.lck";
    MakeDirs(dir);
    CDefUtils du;
    DWORD hLock = 7;
    for (time_t nAge : {-600, 1799, 1800}) {
        bool bTaken = false;
        // Ages are whole seconds: retry when the clock ticks during the take.
        for (int nTry = 0; nTry < 5; ++nTry) {
            time_t now = time(nullptr);
            WriteLock(lock, now - nAge);
            bTaken = du.TakeFileLock(dir.c_str(), "test.lck", &hLock);
            if (time(nullptr) == now)
                break;
        }
        EXPECT_EQ(nAge == 1800, bTaken) << nAge;
        EXPECT_EQ(bTaken ? 0xFFFFFFFFu : 0u, hLock) << nAge;
        EXPECT_EQ(Names{"test.lck"}, ListDir(dir)) << "the guard is gone again";
    }
    for (time_t nAge : {0, 100000, -1}) {  // -1: no lock file
        unlink(lock.c_str());
        WriteTextFile(lock + ".l2", "");
        if (nAge >= 0)
            WriteLock(lock, time(nullptr) - nAge);
        EXPECT_EQ(nAge < 0, du.TakeFileLock(dir.c_str(), "test.lck", &hLock)) << nAge;
        EXPECT_EQ((Names{"test.lck", "test.lck.l2"}), ListDir(dir));
    }
    // A dangling link at the lock fails without being followed.
    ASSERT_EQ(0, symlink("nowhere", (dir + "/link.lck").c_str()));
    EXPECT_FALSE(du.TakeFileLock(dir.c_str(), "link.lck", &hLock));
    EXPECT_EQ((Names{"link.lck", "test.lck", "test.lck.l2"}), ListDir(dir)) << "no guard left";
}

// LastDefs, CurDefs and an unprotected set in the store, and an application "Me" in app/.
const std::string kS1 = "20240101.001", kS2 = "20240201.001", kS3 = "20231201.001";

class CleanupTest : public SandboxTest {
protected:
    void SetUp() override
    {
        RemoveTree(sandbox.BaseDir());
        WriteSet(defs + "/" + kS1, SetLayout{{2024, 1, 1, 1}});
        WriteSet(defs + "/" + kS2, SetLayout{{2024, 2, 1, 1}});
        WriteSet(defs + "/" + kS3, SetLayout{{2023, 12, 1, 1}});
        WriteDefInfo(defs, kS2, kS1);
        MakeDirs(install);
        WriteTextFile(install + "/defloc.dat", "[DefBaseLocation]\nLocation=" + defs + "\n");
    }
    DuResult StopUsing(const std::string& usage)
    {
        WriteTextFile(defs + "/usage.dat", usage);
        CDefUtils du;
        EXPECT_TRUE(du.InitInstallApp("Me", install.c_str()));
        const bool bResult = du.StopUsingDefs();
        EXPECT_EQ(bResult, DuSucceeded(du.GetLastResult()));
        return du.GetLastResult();
    }
    const std::string defs = sandbox.DefsDir(), install = sandbox.Path("app");
};

TEST_F(CleanupTest, StopUsingRemovesOnlyTheRegistrationAndUnprotectedSets)
{
    const Names all = {kS3, kS1, kS2, "definfo.dat", "usage.dat"};
    const std::string kThem = "[" + kS2 + "]\nThem=1\n";
    const struct {
        const char* name;
        std::string before, after;  // usage.dat
        DuResult code;
        Names left;
    } cases[] = {
        {"shared_set", "[" + kS3 + "]\nMe=1\nYou=1\n" + kThem, "[" + kS3 + "]\nYou=1\n" + kThem,
         DU_S_OK, all},
        {"last_defs_is_protected", "[" + kS1 + "]\nMe=1\n" + kThem, kThem, DU_S_OK, all},
        {"unprotected_set_goes", "[" + kS3 + "]\nMe=1\n" + kThem, kThem, DU_S_OK,
         Names(all.begin() + 1, all.end())},
        {"not_registered", kThem, kThem, DU_E_APPID_NOT_REGISTERED, all},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        EXPECT_EQ(c.code, StopUsing(c.before));
        EXPECT_EQ(c.left, ListDir(defs));
        EXPECT_EQ(c.after, ReadTextFile(defs + "/usage.dat"));
        EXPECT_EQ(c.code != DU_S_OK, PathExists(install + "/defloc.dat"));
    }
}

TEST_F(CleanupTest, TmpDirsAreRemovedWhenTheyHoldASetOrNothingAndLinksAreNotFollowed)
{
    WriteDefDateFile(defs + "/tmp01", 2024, 1, 1, 1);
    MakeDirs(defs + "/tmp02");
    MakeDirs(defs + "/tmp03");
    WriteTextFile(defs + "/tmp03/partial.dat", "x");  // not a set: left alone
    WriteTextFile(defs + "/tmpfile", "x");
    const std::string outside = sandbox.Path("outside");
    WriteDefDateFile(outside, 2024, 1, 1, 1);
    WriteTextFile(outside + "/precious", "x", 0444);
    ASSERT_EQ(0, symlink(outside.c_str(), (defs + "/tmplink").c_str()));
    ASSERT_EQ(0, symlink((outside + "/precious").c_str(), (defs + "/tmp01/link").c_str()));
    CDefUtils().DeleteTmpDirs(defs.c_str());
    EXPECT_EQ((Names{kS3, kS1, kS2, "definfo.dat", "tmp03", "tmpfile", "tmplink"}), ListDir(defs));
    EXPECT_EQ((Names{"precious", "virscan1.dat"}), ListDir(outside));
}

int g_nNext = 0;

TEST_F(CleanupTest, TempUpdateDirGivesUpAfterFiftyTakenNames)
{
    DuRandomFn pfnPrevious = SetTempNameRandomForTesting([] { return ++g_nNext; });
    for (int nTaken : {49, 50}) {
        for (int i = 1; i <= nTaken; ++i) {
            char name[16];
            snprintf(name, sizeof name, "/tmp%x", i);
            MakeDirs(defs + name);
        }
        g_nNext = 0;
        char dir[DU_MAX_PATH] = "stale";
        EXPECT_EQ(nTaken == 49, CDefUtils().GetTempUpdateDir(dir, sizeof dir)) << nTaken;
        EXPECT_EQ(nTaken == 49 ? defs + "/tmp32" : "", dir);
        EXPECT_EQ(50, g_nNext) << "never more than fifty attempts";
    }
    SetTempNameRandomForTesting(pfnPrevious);
}

}  // namespace
