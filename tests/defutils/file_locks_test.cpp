#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/defutils/defutils_test_access.h"
#include "tests/support/sandbox.h"

namespace {

constexpr DWORD kHeld = 0xFFFFFFFFu;

void SetAge(const std::string& path, time_t now, time_t nAgeSeconds)
{
    struct timeval times[2] = {{now - nAgeSeconds, 0}, {now - nAgeSeconds, 0}};
    ASSERT_EQ(0, utimes(path.c_str(), times));
}

class FileLocksTest : public SandboxTest {
protected:
    std::string LockDir()
    {
        std::string dir = sandbox.Path("locks");
        MakeDirs(dir);
        return dir;
    }
    CDefUtils du;
};

TEST_F(FileLocksTest, FreeLockIsTakenAsAnEmpty0644File)
{
    std::string dir = LockDir();
    mode_t old = umask(022);
    DWORD hLock = 0;
    EXPECT_TRUE(du.TakeFileLock(dir.c_str(), "test.lck", &hLock));
    umask(old);
    EXPECT_EQ(kHeld, hLock);
    EXPECT_EQ(std::vector<std::string>{"test.lck"}, ListDir(dir));
    EXPECT_EQ(0644, PathMode(dir + "/test.lck"));
    EXPECT_EQ("", ReadTextFile(dir + "/test.lck"));
}

struct AgeCase {
    const char* name;
    time_t nAge;  // negative: modification time in the future
    bool bTaken;
};

TEST_F(FileLocksTest, HeldLockBlocksUntilItIsHalfAnHourOld)
{
    const AgeCase cases[] = {
        {"fresh", 0, false},
        {"age_1799", 1799, false},
        {"age_1800", 1800, true},
        {"very_old", 86400, true},
        {"from_the_future", -600, false},
    };
    std::string dir = LockDir();
    std::string lock = dir + "/test.lck";
    for (const AgeCase& c : cases) {
        SCOPED_TRACE(c.name);
        bool bTaken = false;
        DWORD hLock = 0;
        // The age is measured in whole seconds; retry when the clock ticks
        // between setting the time and the take, so the boundary rows mean
        // what they say.
        for (int nTry = 0; nTry < 5; ++nTry) {
            WriteTextFile(lock, "");
            time_t now = time(nullptr);
            SetAge(lock, now, c.nAge);
            hLock = 12345;
            bTaken = du.TakeFileLock(dir.c_str(), "test.lck", &hLock);
            if (time(nullptr) == now)
                break;
        }
        EXPECT_EQ(c.bTaken, bTaken);
        EXPECT_EQ(c.bTaken ? kHeld : 0u, hLock);
        // The guard is always gone again; the lock file stays either way.
        EXPECT_EQ(std::vector<std::string>{"test.lck"}, ListDir(dir));
        if (c.bTaken) {
            struct stat st;
            ASSERT_EQ(0, stat(lock.c_str(), &st));
            EXPECT_GE(st.st_mtime, time(nullptr) - 5) << "a broken lock is created afresh";
        }
    }
}

struct GuardCase {
    const char* name;
    bool bLockExists;
    time_t nLockAge;
    bool bTaken;
    std::vector<std::string> leftOver;
};

TEST_F(FileLocksTest, LeftOverGuardBlocksOnlyWhileALockFileExists)
{
    const GuardCase cases[] = {
        {"fresh_lock", true, 0, false, {"test.lck", "test.lck.l2"}},
        {"stale_lock", true, 100000, false, {"test.lck", "test.lck.l2"}},
        {"no_lock", false, 0, true, {"test.lck", "test.lck.l2"}},
    };
    int nRow = 0;
    for (const GuardCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = sandbox.Path("guard" + std::to_string(nRow++));
        MakeDirs(dir);
        WriteTextFile(dir + "/test.lck.l2", "");
        if (c.bLockExists) {
            WriteTextFile(dir + "/test.lck", "");
            SetAge(dir + "/test.lck", time(nullptr), c.nLockAge);
        }
        DWORD hLock = 7;
        EXPECT_EQ(c.bTaken, du.TakeFileLock(dir.c_str(), "test.lck", &hLock));
        EXPECT_EQ(c.bTaken ? kHeld : 0u, hLock);
        EXPECT_EQ(c.leftOver, ListDir(dir));
    }
}

TEST_F(FileLocksTest, LockThatCannotBeExaminedFailsAndDropsItsGuard)
{
    // A dangling link makes the exclusive creation fail while the status read
    // finds nothing, as for a lock released between those two steps. The
    // second creation fails too (the link is still there), so the take
    // fails, but it must clean up its guard and never follow the link.
    std::string dir = LockDir();
    ASSERT_EQ(0, symlink("nowhere", (dir + "/test.lck").c_str()));
    DWORD hLock = 7;
    EXPECT_FALSE(du.TakeFileLock(dir.c_str(), "test.lck", &hLock));
    EXPECT_EQ(0u, hLock);
    EXPECT_EQ(std::vector<std::string>{"test.lck"}, ListDir(dir));
    EXPECT_FALSE(PathExists(dir + "/nowhere")) << "the link must not be followed";
}

TEST_F(FileLocksTest, IncomingLockIsSharedBetweenObjects)
{
    std::string incoming = sandbox.DefsDir() + "/incoming";
    MakeDirs(incoming);
    CDefUtils other;

    char szDir[4096] = "";
    du.GetIncomingDir(szDir, sizeof szDir);
    EXPECT_EQ(incoming, szDir);

    ASSERT_TRUE(du.LockIncomingDir());
    EXPECT_EQ(kHeld, CDefUtilsTestAccess::IncomingLock(du));
    EXPECT_TRUE(PathExists(incoming + "/inlock.dat"));
    EXPECT_FALSE(other.LockIncomingDir());
    EXPECT_EQ(0u, CDefUtilsTestAccess::IncomingLock(other));

    // An unlock by an object that never locked still releases the lock.
    other.UnLockIncomingDir();
    EXPECT_FALSE(PathExists(incoming + "/inlock.dat"));
    EXPECT_TRUE(other.LockIncomingDir());
    du.UnLockIncomingDir();
    du.UnLockIncomingDir();
    EXPECT_EQ(0u, CDefUtilsTestAccess::IncomingLock(du));
    EXPECT_EQ(std::vector<std::string>{}, ListDir(incoming));
}

TEST_F(FileLocksTest, IncomingLockFailsWithoutIncomingDirectory)
{
    EXPECT_FALSE(du.LockIncomingDir());
    EXPECT_FALSE(PathExists(sandbox.DefsDir() + "/incoming"));
}

TEST_F(FileLocksTest, UpdateClientLockLivesInTheDefinitionsDirectory)
{
    CDefUtils other;
    ASSERT_TRUE(du.LockSkyfetcher());
    EXPECT_EQ(kHeld, CDefUtilsTestAccess::SkyfetcherLock(du));
    EXPECT_TRUE(PathExists(sandbox.DefsDir() + "/sflock.dat"));
    EXPECT_FALSE(other.LockSkyfetcher());
    du.UnLockSkyfetcher();
    EXPECT_EQ(0u, CDefUtilsTestAccess::SkyfetcherLock(du));
    EXPECT_FALSE(PathExists(sandbox.DefsDir() + "/sflock.dat"));
    EXPECT_TRUE(other.LockSkyfetcher());
    other.UnLockSkyfetcher();
}

TEST_F(FileLocksTest, NoDefinitionsDirectoryMeansNoLocks)
{
    sandbox.WriteTarvolixConf("[Tarvolix Shared]\n");
    CDefUtils unconfigured;
    char szDir[16] = "unchanged";
    unconfigured.GetIncomingDir(szDir, sizeof szDir);
    EXPECT_STREQ("unchanged", szDir);
    EXPECT_FALSE(unconfigured.LockSkyfetcher());
    EXPECT_FALSE(unconfigured.LockIncomingDir());
    unconfigured.UnLockSkyfetcher();
    unconfigured.UnLockIncomingDir();
    EXPECT_FALSE(PathExists("sflock.dat"));
    EXPECT_FALSE(PathExists("inlock.dat"));
}

}  // namespace
