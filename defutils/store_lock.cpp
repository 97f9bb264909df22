// The store-wide transaction lock: flock(2) on the definitions directory.
//
// Every mutating command reads the bookkeeping files, decides, and writes
// them back; two such sequences interleaving lose registrations or leave
// CurDefs naming the older of two new sets. The profile engine's record
// locks cover one call each, so the sequences take this lock around them.
// It is held only for bookkeeping, never across the copy of a set or a run
// of the update client, so queries and other stores never wait long.
//
// flock locks belong to the open file description: a second open of the
// directory in the same process would wait for itself. The lock is
// therefore counted per process and per store, so a command whose store
// manager makes a second one (the microdefs sequence numbers do) nests.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "platform/boundary.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

struct HeldLock {
    std::string dir;
    int fd;
    int depth;
};

// Few stores per process (the default and at most one content type).
std::vector<HeldLock> g_held;

HeldLock* Find(const char* pszDir)
{
    for (HeldLock& held : g_held)
        if (held.dir == pszDir)
            return &held;
    return nullptr;
}

// True when fd still is the directory at pszDir: a store removed (and
// perhaps made anew) while we waited has another inode or none.
bool StillThere(int fd, const char* pszDir)
{
    struct stat held, named;
    return fstat(fd, &held) == 0 && DuStatPath(pszDir, &named) == 0 && S_ISDIR(named.st_mode) &&
           held.st_ino == named.st_ino && held.st_dev == named.st_dev;
}

}  // namespace

bool CDefUtils::LockStore(bool* pbRenewed, std::string* pLockedDir)
{
    if (pbRenewed != nullptr)
        *pbRenewed = false;
    if (!m_pszDefsDir || pLockedDir == nullptr)
        return false;
    const char* pszDir = m_pszDefsDir.get();
    *pLockedDir = pszDir;
    if (HeldLock* held = Find(pszDir)) {
        ++held->depth;
        return true;
    }
    // A few rounds: each failed one means somebody removed the store while
    // we waited, and we made it anew.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = DuOpenPath(pszDir, O_RDONLY | O_DIRECTORY);
        if (fd < 0) {
            if (errno != ENOENT || !CreateFullPath(pszDir, true, false))
                return false;
            if (pbRenewed != nullptr)
                *pbRenewed = true;
            continue;
        }
        int rc;
        do {
            rc = flock(fd, LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0 && StillThere(fd, pszDir)) {
            g_held.push_back(HeldLock{pszDir, fd, 1});
            // What a killed predecessor left is cleared before this
            // command's first bookkeeping step reads the store.
            DuSweepStore(this, pszDir);
            return true;
        }
        close(fd);
        if (rc != 0)
            return false;
        if (pbRenewed != nullptr)
            *pbRenewed = true;
        if (!FileExists(pszDir) && !CreateFullPath(pszDir, true, false))
            return false;
    }
    return false;
}

void DuUnlockStore(const std::string& dir)
{
    for (size_t i = 0; i < g_held.size(); ++i) {
        HeldLock& held = g_held[i];
        if (held.dir != dir)
            continue;
        if (--held.depth == 0) {
            close(held.fd);  // closing drops the flock
            g_held.erase(g_held.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return;
    }
}

void DuReadCurDefs(const char* pszDefsDir, PathBuf* pValue)
{
    pValue->assign(kKeyMissing);
    PathBuf defInfo;
    if (pszDefsDir == nullptr || !DuStorePath(pszDefsDir, kDefInfoFile, &defInfo))
        return;
    DuReadDefDatesKeyTrimmed(defInfo.c_str(), kCurDefsKey, pValue);
}

bool DuIsNamedSet(const char* pszDefsDir, const char* pszName)
{
    PathBuf defInfo;
    if (pszDefsDir == nullptr || !DuStorePath(pszDefsDir, kDefInfoFile, &defInfo))
        return false;
    for (const char* pszKey : {kCurDefsKey, kLastDefsKey}) {
        PathBuf value;
        DuReadDefDatesKeyTrimmed(defInfo.c_str(), pszKey, &value);
        if (strcmp(value.c_str(), pszName) == 0)
            return true;
    }
    return false;
}

bool DuSetIsComplete(const char* pszSetDir)
{
    PathBuf catalog(pszSetDir);
    char* pszList = nullptr;
    if (!DuAppendPath(catalog.data(), kCatalogFile, catalog.size()) ||
        !DuSucceeded(
            CDefUtils::ReadCatalogSection(catalog.c_str(), kCatalogFilesSection, &pszList)))
        return false;
    std::unique_ptr<char, DuFreeDeleter> list(pszList);
    for (const char* pszEntry = list.get();
         *pszEntry != '\0' && *pszEntry != '\r' && *pszEntry != '\n';
         pszEntry += strlen(pszEntry) + 1) {
        PathBuf name;
        DuCleanCatalogEntry(pszEntry, &name);
        if (name.empty() || strcmp(name.c_str(), ".") == 0 || strcmp(name.c_str(), "..") == 0)
            continue;
        PathBuf path(pszSetDir);
        if (!DuAppendPath(path.data(), name.c_str(), path.size()) || !DuFileExists(path.data()))
            return false;
    }
    return true;
}
