#include <sys/time.h>
#include <unistd.h>

#include <ctime>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

namespace {

using Names = std::vector<std::string>;

// Writes an empty lock file last modified at mtime.
void WriteLock(const std::string& path, time_t mtime)
{
    WriteTextFile(path, "");
    struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimes(path.c_str(), times));
}

class FileLocksTest : public SandboxTest {
protected:
    void SetUp() override { MakeDirs(dir); }
    std::string dir = sandbox.Path("locks"), lock = dir + "/test.lck";
    CDefUtils du;
    DWORD hLock = 7;
};

TEST_F(FileLocksTest, HeldLockBlocksUntilItIsHalfAnHourOld)
{
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
}

TEST_F(FileLocksTest, LeftOverGuardBlocksOnlyWhileALockFileExists)
{
    for (time_t nAge : {0, 100000, -1}) {
        unlink(lock.c_str());
        WriteTextFile(lock + ".l2", "");
        if (nAge >= 0)
            WriteLock(lock, time(nullptr) - nAge);
        EXPECT_EQ(nAge < 0, du.TakeFileLock(dir.c_str(), "test.lck", &hLock)) << nAge;
        EXPECT_EQ((Names{"test.lck", "test.lck.l2"}), ListDir(dir));
    }
}

TEST_F(FileLocksTest, DanglingLinkAtTheLockFailsWithoutFollowingIt)
{
    ASSERT_EQ(0, symlink("nowhere", lock.c_str()));
    EXPECT_FALSE(du.TakeFileLock(dir.c_str(), "test.lck", &hLock));
    EXPECT_EQ(Names{"test.lck"}, ListDir(dir)) << "no guard left, link not followed";
}

TEST_F(FileLocksTest, StoreLocksAreSharedBetweenObjects)
{
    std::string incoming = sandbox.DefsDir() + "/incoming";
    EXPECT_FALSE(du.LockIncomingDir());
    MakeDirs(incoming);
    CDefUtils other;
    ASSERT_TRUE(du.LockIncomingDir());
    ASSERT_TRUE(du.LockSkyfetcher());
    EXPECT_EQ(Names{"inlock.dat"}, ListDir(incoming));
    EXPECT_EQ((Names{"incoming", "sflock.dat"}), ListDir(sandbox.DefsDir()));
    EXPECT_FALSE(other.LockIncomingDir());
    EXPECT_FALSE(other.LockSkyfetcher());
    // An unlock by an object that never locked still releases the lock.
    other.UnLockIncomingDir();
    du.UnLockSkyfetcher();
    EXPECT_EQ(Names{"incoming"}, ListDir(sandbox.DefsDir()));
    EXPECT_EQ(Names{}, ListDir(incoming));
}

}  // namespace
