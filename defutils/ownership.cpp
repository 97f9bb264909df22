// Group ownership of what the store creates, and directory creation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "defutils/defutils.h"
#include "defutils/ownership_internal.h"
#include "defutils/store_internal.h"
#include "defutils/system_config.h"
#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/fileops.h"
#include "platform/find.h"
#include "platform/paths.h"
#include "platform/scoped_fd.h"

namespace {

constexpr size_t kFirstGroupBufferSize = 1024;
// A group entry that does not fit here counts as a missing group.
constexpr size_t kLastGroupBufferSize = 1048576;
constexpr unsigned int kDefaultDirMode = 0770;
constexpr mode_t kUnownedDirMode = 0755;

DuGroupLookupFn g_pfnGroupLookup = getgrnam_r;

// One look-up of the store group and the retries it logged.
struct DuGroupLookup {
    bool bDone = false;
    bool bFound = false;
    gid_t gid = 0;
    size_t nRetries = 0;
};

// Within a walk over a set the group is looked up once: the group database
// does not change under one copy, and a look-up per file (a read of the
// group file each) dominated installs of many small files.
int g_nWalkDepth = 0;
DuGroupLookup g_walkGroup;

struct FindCloser {
    void operator()(void* h) const { FindClose(h); }
};

// Mode bits of the directory holding pszPath, or the store default when it
// cannot be examined.
unsigned int ParentMode(const char* pszPath)
{
    PathBuf parent(pszPath);
    *DuStripFileName(parent.data(), 0) = '\0';
    return DuDirModeOr(parent.c_str(), kDefaultDirMode);
}

bool ChangeModeOf(const char* pszPath, mode_t mode)
{
    ScopedFd fd(DuOpenPath(pszPath, O_RDONLY));
    return fd.valid() && fchmod(fd.get(), mode) == 0;
}

// A regular file with other hard links inside the store may share its inode
// with a file elsewhere, so it keeps its group and mode; it passes when it
// already has them (the patch library links unchanged files that were made
// with them).
bool ApplyGroupAndMode(int fd, gid_t gid, mode_t mode, bool bBeneath)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (bBeneath && S_ISREG(st.st_mode) && st.st_nlink > 1)
        return st.st_gid == gid && (st.st_mode & 07777) == mode;
    // What already holds needs no call (a fresh copy often has the group).
    return (st.st_gid == gid || fchown(fd, st.st_uid, gid) == 0) &&
           ((st.st_mode & 07777) == mode || fchmod(fd, mode) == 0);
}

}  // namespace

DuGroupWalkScope::DuGroupWalkScope()
{
    ++g_nWalkDepth;
}

DuGroupWalkScope::~DuGroupWalkScope()
{
    if (--g_nWalkDepth == 0)
        g_walkGroup = DuGroupLookup();
}

DuGroupLookupFn SetGroupLookupForTesting(DuGroupLookupFn pfnLookup)
{
    DuGroupLookupFn pfnPrevious = g_pfnGroupLookup;
    g_pfnGroupLookup = pfnLookup != nullptr ? pfnLookup : getgrnam_r;
    return pfnPrevious;
}

bool DuLookupStoreGroupId(gid_t* pGid)
{
    for (size_t nSize = kFirstGroupBufferSize; nSize <= kLastGroupBufferSize; nSize *= 2) {
        std::unique_ptr<char, DuFreeDeleter> buffer(static_cast<char*>(malloc(nSize)));
        if (!buffer)
            return false;
        struct group grp;
        struct group* pGroup = nullptr;
        int rc = g_pfnGroupLookup(StoreGroupName(), &grp, buffer.get(), nSize, &pGroup);
        if (rc == ERANGE)
            continue;
        if (pGroup == nullptr)
            return false;
        *pGid = pGroup->gr_gid;
        return true;
    }
    return false;
}

bool CDefUtils::ChangeUnixOwner(const char* pszPath, unsigned int nMode, bool bIsDirectory)
{
    // On the open file, never by name: below the store boundary the open
    // refuses links, so the change cannot land outside the store.
    ScopedFd fd(pszPath != nullptr ? DuOpenPath(pszPath, O_RDONLY) : -1);
    return ChangeOwnerOfOpenFile(fd.get(), pszPath, nMode, bIsDirectory);
}

bool CDefUtils::ChangeOwnerOfOpenFile(int fd, const char* pszPath, unsigned int nMode,
                                      bool bIsDirectory)
{
    WriteLog("CDefUtils::ChangeUnixOwner() - for file %s.\n", OrNull(pszPath));

    auto logRetry = [this](size_t nGrown) {
        WriteLog("CDefUtils::ChangeUnixOwner() - getgrnam_r returned ERANGE.\n");
        WriteLog("CDefUtils::ChangeUnixOwner() - retry with bufsize %d.\n",
                 static_cast<int>(nGrown));
    };

    DuGroupLookup group;
    if (g_nWalkDepth > 0 && g_walkGroup.bDone) {
        // Replayed, so the log reads as if this file had looked it up.
        group = g_walkGroup;
        for (size_t n = 0, nSize = kFirstGroupBufferSize; n < group.nRetries; ++n)
            logRetry(nSize *= 2);
    } else {
        size_t nSize = kFirstGroupBufferSize;
        std::unique_ptr<char, DuFreeDeleter> buffer(static_cast<char*>(malloc(nSize)));
        if (!buffer) {
            WriteLog("CDefUtils::ChangeUnixOwner() - failure in allocating buffer of size %d.\n",
                     static_cast<int>(nSize));
            return false;
        }

        struct group grp;
        struct group* pGroup = nullptr;
        for (;;) {
            pGroup = nullptr;
            int rc = g_pfnGroupLookup(StoreGroupName(), &grp, buffer.get(), nSize, &pGroup);
            if (rc != ERANGE)
                break;
            // Entries with many members outgrow the first buffer; grow it, but
            // not without bound: the last try is made with kLastGroupBufferSize.
            if (nSize >= kLastGroupBufferSize) {
                pGroup = nullptr;
                break;
            }
            nSize *= 2;
            ++group.nRetries;
            logRetry(nSize);
            char* pGrown = static_cast<char*>(realloc(buffer.get(), nSize));
            if (pGrown == nullptr) {
                WriteLog("CDefUtils::ChangeUnixOwner() - failure in allocating buffer of size %d.",
                         static_cast<int>(nSize));
                return false;
            }
            buffer.release();
            buffer.reset(pGrown);
        }
        group.bDone = true;
        group.bFound = pGroup != nullptr;
        group.gid = pGroup != nullptr ? pGroup->gr_gid : 0;
        if (g_nWalkDepth > 0)
            g_walkGroup = group;
    }

    bool bResult = false;
    if (!group.bFound) {
        WriteLog("CDefUtils::ChangeUnixOwner() - avdefs group doesn't exist - failure\n");
    } else if (pszPath != nullptr && fd >= 0) {
        // The owner stays as it is; only the group and the mode change.
        // Files never become executable.
        bResult = ApplyGroupAndMode(fd, group.gid, nMode & (bIsDirectory ? 0777 : 0666),
                                    DuIsBelowBoundary(pszPath));
    }

    WriteLog("CDefUtils::ChangeUnixOwner() - returning %s.\n", bResult ? "success" : "failure");
    return bResult;
}

bool CDefUtils::CreateFullPath(const char* pszPath, bool bChangeOwner, bool bUseParentMode)
{
    WriteLog("CDefUtils::CreateFullPath(%s, ...) - start\n", OrNull(pszPath));
    if (pszPath == nullptr)
        return false;

    if (FileExists(pszPath)) {
        WriteLog("CDefUtils::CreateFullPath() - path already exists; returning true.\n");
        return true;
    }

    PathBuf path(pszPath);
    PathBuf parent(pszPath);
    *DuStripFileName(parent.data(), 0) = '\0';
    WriteLog("After calling DuStripFileName, szNewPath : %s, pszDir : %s.\n", parent.c_str(),
             path.c_str());
    // No separator left: nothing above this component can be created.
    if (strcmp(parent.c_str(), path.c_str()) == 0)
        return false;

    if (!CreateFullPath(parent.c_str(), bChangeOwner, bUseParentMode) ||
        !CreateDirectory(path.c_str())) {
        WriteLog(
            "CDefUtils::CreateFullPath() - CDefUtils::CreateFullPath returns false; returning false.\n");
        return false;
    }

    if (bChangeOwner) {
        unsigned int nMode =
            bUseParentMode ? DuDirModeOr(parent.c_str(), kDefaultDirMode) : kDefaultDirMode;
        if (!ChangeUnixOwner(path.c_str(), nMode, true)) {
            // Do not leave a directory behind that the store's users cannot
            // share.
            RemoveDirectory(path.c_str());
            WriteLog("CDefUtils::CreateFullPath() - returning false.\n");
            return false;
        }
    } else if (!ChangeModeOf(path.c_str(), kUnownedDirMode)) {
        WriteLog("CDefUtils::CreateFullPath() - chmod failed (errno: %d); returning false.\n",
                 errno);
        return false;
    }

    WriteLog("CDefUtils::CreateFullPath() - returning true.\n");
    return true;
}

void CDefUtils::RestoreDirPermissions(const char* pszDir)
{
    if (pszDir == nullptr)
        return;
    unsigned int nMode = ParentMode(pszDir);

    if (!ChangeUnixOwner(pszDir, nMode, true))
        WriteLog("CDefUtil::RestoreDirPermissions() - couldn't assign %o permissions to %s \n",
                 nMode, pszDir);
    WriteLog(
        "CDefUtil::RestoreDirPermissions() - going to assign the avdefs group and 0660 permissions to contents of %s \n",
        pszDir);

    PathBuf pattern(pszDir);
    FindData fd;
    HANDLE hFind = INVALID_HANDLE_VALUE;
    if (DuAppendPath(pattern.data(), "*.*", pattern.size()))
        hFind = FindFirstFile(pattern.c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) {
        WriteLog("CDefUtil::RestoreDirPermissions() - couldn't read the directory %s\n", pszDir);
        return;
    }
    std::unique_ptr<void, FindCloser> find(hFind);

    do {
        // Subdirectories keep their own permissions; only files directly in
        // the directory are touched.
        if ((fd.dwFileAttributes & FILE_ATTR_DIRECTORY) != 0)
            continue;
        PathBuf entry(pszDir);
        if (!DuAppendPath(entry.data(), fd.szName, entry.size()) ||
            !ChangeUnixOwner(entry.c_str(), nMode, false))
            WriteLog("CDefUtil::RestoreDirPermissions() - couldn't change permissions of %s\n",
                     entry.c_str());
    } while (FindNextFile(hFind, &fd));
}
