// Store housekeeping: lock files and temporary directories.
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

class CleanupTest : public SandboxTest {
protected:
    const std::string defs = sandbox.DefsDir();
};

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
    EXPECT_EQ((Names{"tmp03", "tmpfile", "tmplink"}), ListDir(defs));
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
