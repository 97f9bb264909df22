// Lock files between processes: the incoming-directory lock and the update
// client lock. A lock is an empty file created exclusively; one older than
// half an hour is taken to be abandoned and is broken. A short-lived guard
// file (the lock's path plus ".l2") makes examining and breaking a held lock
// exclusive, so two processes cannot both break the same stale lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "defutils/defutils.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/fileops.h"
#include "platform/paths.h"

namespace {

// A lock whose file is older than this many seconds is stale.
constexpr time_t kMaxLockAgeSeconds = 1799;
constexpr DWORD kLockHeld = 0xFFFFFFFFu;

// Exclusive creation is the one atomic step shared between processes.
int CreateExclusive(const char* pszPath)
{
    int fd;
    do {
        fd = DuOpenPath(pszPath, O_RDWR | O_CREAT | O_EXCL, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Joins the directory and the lock name; false when no path can be formed.
// An empty directory is refused too: the lock would land in the working
// directory.
bool LockPath(const char* pszDir, const char* pszName, PathBuf* pPath)
{
    if (pszDir == nullptr || *pszDir == '\0' || pszName == nullptr)
        return false;
    return DuStorePath(pszDir, pszName, pPath);
}

// Removes the lock file judged stale, and only it. Between that judgement
// and the removal its holder may release it and a third process take a
// fresh one under the same name; unlinking the name would then delete the
// fresh lock. So the name is first moved aside, which is atomic, and what
// was moved is checked: the stale file is deleted, anything else is put
// back where it was.
void RemoveStaleLock(const char* pszLock, const struct stat& stale)
{
    PathBuf aside(pszLock);
    char suffix[32];
    snprintf(suffix, sizeof suffix, ".stale%ld", static_cast<long>(getpid()));
    aside.append(suffix);
    if (DuRenamePath(pszLock, aside.c_str()) != 0)
        return;  // gone already: released by its holder
    struct stat moved;
    bool same = DuLstatPath(aside.c_str(), &moved) == 0 && moved.st_ino == stale.st_ino &&
                moved.st_dev == stale.st_dev && moved.st_mtime == stale.st_mtime;
    if (same) {
        DuUnlinkPath(aside.c_str());
        return;
    }
    DuParentDir from(aside.c_str());
    DuParentDir to(pszLock);
    if (!from.valid() || !to.valid() ||
        renameat2(from.fd(), from.leaf(), to.fd(), to.leaf(), RENAME_NOREPLACE) != 0)
        // Yet another lock took the name meanwhile; two holders cannot both
        // be right, and a file left aside would never be cleaned up.
        DuUnlinkPath(aside.c_str());
}

}  // namespace

bool CDefUtils::TakeFileLock(const char* pszDir, const char* pszName, DWORD* phLock)
{
    if (phLock != nullptr)
        *phLock = 0;
    WriteLog("CDefUtils::TakeFileLock( %s, %s ) - start.\n", OrNull(pszDir), OrNull(pszName));

    PathBuf lockPath;
    if (!LockPath(pszDir, pszName, &lockPath))
        return false;

    int fd = CreateExclusive(lockPath.c_str());
    if (fd < 0) {
        PathBuf guardPath(lockPath.c_str());
        guardPath.append(kLockGuardSuffix);
        int fdGuard = CreateExclusive(guardPath.c_str());
        if (fdGuard < 0)
            return false;  // another process is examining the lock
        close(fdGuard);

        struct stat st;
        if (DuStatPath(lockPath.c_str(), &st) == 0) {
            if (time(nullptr) - st.st_mtime <= kMaxLockAgeSeconds) {
                DuUnlinkPath(guardPath.c_str());
                return false;
            }
            RemoveStaleLock(lockPath.c_str(), st);  // its holder is gone
        }
        // The holder may have released the lock since our first attempt;
        // either way the path is free now unless someone beat us to it.
        fd = CreateExclusive(lockPath.c_str());
        DuUnlinkPath(guardPath.c_str());
        if (fd < 0)
            return false;
    }

    close(fd);
    if (phLock != nullptr)
        *phLock = kLockHeld;
    WriteLog("CDefUtils::TakeFileLock( %s, %s ) - end, returning: %s.\n", pszDir, pszName,
             "success");
    return true;
}

void CDefUtils::RemoveFileLock(const char* pszDir, const char* pszName, DWORD /*hLock*/)
{
    WriteLog("CDefUtils::RemoveFileLock( %s, %s ) - start.\n", OrNull(pszDir), OrNull(pszName));
    // The handle is not consulted: the lock belongs to whoever deletes it.
    PathBuf lockPath;
    if (LockPath(pszDir, pszName, &lockPath))
        DeleteFile(lockPath.c_str());
    WriteLog("CDefUtils::RemoveFileLock(%s, %s) - end.\n", OrNull(pszDir), OrNull(pszName));
}

void CDefUtils::GetIncomingDir(char* pszDir, size_t nSize)
{
    if (!m_pszDefsDir) {
        WriteLog(
            "CDefUtils::GetIncomingDir(): m_pszDdefsDir is null, function prematureally exits.\n");
        return;
    }
    if (pszDir == nullptr || nSize == 0)
        return;
    BoundedCopy(pszDir, nSize, m_pszDefsDir.get());
    DuAppendPath(pszDir, kIncomingDir, nSize);
    WriteLog("CDefUtils::GetIncomingDir():  end, incomingdir = %s.\n", pszDir);
}

bool CDefUtils::LockIncomingDir()
{
    WriteLog("CDefUtils::LockIncomingDir - start\n");
    PathBuf incoming;
    GetIncomingDir(incoming.data(), incoming.size());
    DWORD hLock = 0;
    if (!TakeFileLock(incoming.c_str(), kInLockFile, &hLock)) {
        WriteLog("CDefUtils::LockIncomingDir - end, returning fail.\n");
        return false;
    }
    m_hIncomingLock = hLock;
    WriteLog("CDefUtils::LockIncomingDir - end, returning success.\n");
    return true;
}

void CDefUtils::UnLockIncomingDir()
{
    WriteLog("CDefUtils::UnLockIncomingDir - start\n");
    PathBuf incoming;
    GetIncomingDir(incoming.data(), incoming.size());
    RemoveFileLock(incoming.c_str(), kInLockFile, m_hIncomingLock);
    m_hIncomingLock = 0;
    WriteLog("CDefUtils::UnLockIncomingDir - end\n");
}

bool CDefUtils::LockSkyfetcher()
{
    WriteLog("CDefUtils::LockSkyfetcher() - start.\n");
    DWORD hLock = 0;
    if (!TakeFileLock(m_pszDefsDir.get(), kSfLockFile, &hLock)) {
        WriteLog("CDefUtils::LockSkyfetcher() returns false\n");
        return false;
    }
    m_hSkyfetcherLock = hLock;
    WriteLog("CDefUtils::LockSkyfetcher returns true.\n");
    return true;
}

void CDefUtils::UnLockSkyfetcher()
{
    WriteLog("CDefUtils::UnLockSkyfetcher() - start.\n");
    RemoveFileLock(m_pszDefsDir.get(), kSfLockFile, m_hSkyfetcherLock);
    m_hSkyfetcherLock = 0;
    WriteLog("CDefUtils::UnLockSkyfetcher() - end.\n");
}
