// Definition sets handled as sets of files: the two walkers (every file of
// a directory, or the files a catalog section lists), the per-file
// operations they apply (copy, delete, delete by pattern, test existence),
// and the completeness and emptiness checks built on them.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "defutils/defutils.h"
#include "defutils/ownership_internal.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/fileops.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/scoped_fd.h"
#include "platform/scoped_find.h"

namespace {

// What stays the same over one walk of a set is examined once per walk, not
// once per file: the store group (ownership.cpp) and the mode of the
// directory the files are copied into. Nested walks join the outermost.
struct WalkState {
    int nDepth = 0;
    std::string destDir;
    unsigned int nDestMode = 0;
};
WalkState g_walk;

class WalkScope {
public:
    WalkScope() { ++g_walk.nDepth; }
    ~WalkScope()
    {
        if (--g_walk.nDepth == 0)
            g_walk = WalkState();
    }
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;

private:
    DuGroupWalkScope m_group;
    DuBoundaryPin m_root;
};

// Permission bits of a copy's destination directory, or nDefault when it
// cannot be examined (not remembered then: it may appear later in the walk).
unsigned int DestDirMode(const char* pszDir, unsigned int nDefault)
{
    if (g_walk.nDepth > 0 && !g_walk.destDir.empty() && g_walk.destDir == pszDir)
        return g_walk.nDestMode;
    struct stat st;
    if (DuStatPath(pszDir, &st) != 0)
        return nDefault;
    if (g_walk.nDepth > 0) {
        g_walk.destDir = pszDir;
        g_walk.nDestMode = st.st_mode & 0777;
    }
    return st.st_mode & 0777;
}

// Mode given to copies when the destination directory cannot be examined.
constexpr unsigned int kDefaultCopyDirMode = 0775;
// Enough of a file's section-name list to see whether it has any section.
constexpr DWORD kAnySectionProbeSize = 1024;
constexpr DWORD kSectionSize = DU_MAX_PATH;

bool IsDirectory(const FindData& fd)
{
    return (fd.dwFileAttributes & FILE_ATTR_DIRECTORY) != 0;
}

}  // namespace

bool CDefUtils::ProcessAllDefFiles(FileCallback pfnOperation, const char* pszDir, void* pContext,
                                   bool bCheckSet)
{
    WalkScope walk;
    WriteLog("CDefUtils::ProcessAllDefFiles in this folder( %s ) - start.\n", OrNull(pszDir));
    bool bHaveDir = pszDir != nullptr && *pszDir != '\0';

    if (bCheckSet && bHaveDir) {
        static const char* const kSetMarkers[] = {kVirscan1File, kVirscanTextFile, kHubScrFile,
                                                  kCurScrFile};
        bool bAnyFound = false;
        for (const char* pszMarker : kSetMarkers) {
            PathBuf marker(pszDir);
            bool bFound = DuAppendPath(marker.data(), pszMarker, marker.size()) &&
                          DuFileExists(marker.data());
            WriteLog("DuFileExists ( %s ) returned %s.\n", marker.c_str(),
                     bFound ? "success" : "failure");
            bAnyFound = bAnyFound || bFound;
        }
        // A directory with none of them is not a set; walking it with a
        // delete operation could remove files that belong to something else.
        if (!bAnyFound) {
            WriteLog(
                "VIRSCAN1.DAT, VIRSCANT.DAT, HUB.SCR, & CUR.SCR all missing, returned false.\n");
            return false;
        }
    }

    PathBuf pattern(bHaveDir ? pszDir : "");
    FindData fd;
    bool bPattern = bHaveDir && DuAppendPath(pattern.data(), "*.*", pattern.size());
    ScopedFind find(bPattern ? pattern.c_str() : nullptr, &fd);
    if (!find.valid()) {
        WriteLog("Failed to retrieve the first file, returned false.\n");
        return false;
    }

    bool bResult = pfnOperation != nullptr;
    for (bool bMore = bResult; bMore; bMore = find.Next(&fd)) {
        // The incoming lock belongs to whoever holds it, not to the set.
        if (IsDirectory(fd) || strcmp(fd.szName, kInLockFile) == 0)
            continue;
        PathBuf path(pszDir);
        // A name that does not fit must not be handed on cut: the cut path
        // could name another file.
        if (!DuAppendPath(path.data(), fd.szName, path.size())) {
            bResult = false;
            break;
        }
        WriteLog("Processing %s.\n", path.c_str());
        if (!(this->*pfnOperation)(path.c_str(), pContext)) {
            bResult = false;
            break;
        }
    }

    WriteLog("CDefUtils::ProcessAllDefFiles in this folder - end, returning: %s.\n",
             bResult ? "success" : "failure");
    return bResult;
}

DuResult CDefUtils::ProcessCatalogFiles(FileCallback pfnOperation, const char* pszDir,
                                        const char* pszSection, void* pContext,
                                        const char* pszCatalogDir)
{
    WalkScope walk;
    WriteLog(
        "CDefUtils::ProcessCatalogFiles(pszDir: %s, pszSectionName: %s, pszCatalogDir: %s) - start\n",
        OrNull(pszDir), OrNull(pszSection), OrNull(pszCatalogDir));

    // Without a directory the entries would be taken relative to the
    // working directory.
    DuResult result = DU_S_OK;
    if (pfnOperation == nullptr || pszDir == nullptr || *pszDir == '\0' || pszSection == nullptr)
        result = DU_E_INVALID_PARAMETER;

    PathBuf catalog(pszCatalogDir != nullptr ? pszCatalogDir : pszDir);
    if (DuSucceeded(result) && (!DuAppendPath(catalog.data(), kCatalogFile, catalog.size()) ||
                                !DuFileExists(catalog.data()))) {
        WriteLog("%s does not exist, return failure.\n", catalog.c_str());
        return DU_E_MISSING_CATALOG_FILE;
    }

    std::unique_ptr<char, DuFreeDeleter> list;
    if (DuSucceeded(result)) {
        char* pszList = nullptr;
        if (DuSucceeded(ReadCatalogSection(catalog.c_str(), pszSection, &pszList)))
            list.reset(pszList);
        else
            result = DU_E_FILE_FORMAT;
    }

    // The list is a run of terminated entries closed by an empty one; an
    // entry that is only a line end also closes it.
    for (const char* pszEntry = list.get();
         pszEntry != nullptr && *pszEntry != '\0' && *pszEntry != '\r' && *pszEntry != '\n';
         pszEntry += strlen(pszEntry) + 1) {
        PathBuf name;
        DuCleanCatalogEntry(pszEntry, &name);
        // An entry that cleans to nothing ("dir/" or blanks), "." or ".."
        // names no file; joined, it would name a directory.
        if (name.empty() || strcmp(name.c_str(), ".") == 0 || strcmp(name.c_str(), "..") == 0)
            continue;
        PathBuf path(pszDir);
        if (!DuAppendPath(path.data(), name.c_str(), path.size()) ||
            !(this->*pfnOperation)(path.c_str(), pContext)) {
            result = DU_E_GENERAL;
            break;
        }
    }

    WriteLog("CDefUtils::ProcessCatalogFiles(): returning %s\n", GetResultName(result));
    return result;
}

bool CDefUtils::CopyFilesCallback(const char* pszPath, void* pContext)
{
    WriteLog("CDefUtils::CopyFilesCallback %s - start. \n", OrNull(pszPath));
    DuCopyContext* pCopy = static_cast<DuCopyContext*>(pContext);
    if (pCopy == nullptr || pCopy->szDestDir[0] == '\0') {
        WriteLog("Destination is either null or empty, returns false .\n");
        return false;
    }

    // The context's directory may arrive unterminated from a careless
    // caller; the copy is always terminated.
    PathBuf destDir;
    memcpy(destDir.data(), pCopy->szDestDir, DU_MAX_PATH - 1);

    // Masked to 0666 where it is used: no special bit reaches a copy.
    unsigned int nMode = DestDirMode(destDir.c_str(), kDefaultCopyDirMode);

    bool bCopied = false;
    if (pszPath != nullptr) {
        PathBuf source(pszPath);
        PathBuf name(DuStripFileName(source.data(), 1));
        // Sets arrive with names in any case; the store keeps them lower.
        StrLower(name.data());
        PathBuf dest(destDir.c_str());
        if (!name.empty() && DuAppendPath(dest.data(), name.c_str(), dest.size())) {
            if (pCopy->bOverwrite && DuFileExists(dest.data()))
                DeleteFile(dest.data());
            // Times, group and mode go on the open copy: by name, the copy
            // could be swapped for a link before they are set.
            struct stat srcSt;
            ScopedFd out(
                CopyFileKeepOpen(pszPath, dest.c_str(), pCopy->bOverwrite ? FALSE : TRUE, &srcSt));
            if (out.valid()) {
                struct timespec times[2] = {srcSt.st_atim, srcSt.st_mtim};
                futimens(out.get(), times);
                ChangeOwnerOfOpenFile(out.get(), dest.c_str(), nMode & 0666, false);
                bCopied = out.close_checked();
            }
        }
    }

    if (bCopied) {
        WriteLog("CDefUtils::CopyFilesCallback - end, returning: %s. \n", "success");
        return true;
    }
    pCopy->bAllCopied = false;
    // Without overwrite a file already in place is good enough; the walk
    // goes on and only the flag tells.
    WriteLog("CDefUtils::CopyFilesCallback - end, returning: %s. \n",
             pCopy->bOverwrite ? "failure" : "success");
    return !pCopy->bOverwrite;
}

bool CDefUtils::DeleteFileCallback(const char* pszPath, void* pContext)
{
    bool bDeleted = false;
    if (pszPath != nullptr && *pszPath != '\0') {
        // A read-only file cannot be unlinked by the Win32 rules the store
        // was written for, so it is made writable first; but not through a
        // symbolic link, whose target is not the store's to change.
        struct stat st;
        if (DuLstatPath(pszPath, &st) == 0 && !S_ISLNK(st.st_mode))
            SetFileAttributes(pszPath, FILE_ATTR_NORMAL);
        bDeleted = DeleteFile(pszPath) != 0;
    }
    if (!bDeleted && pContext != nullptr)
        *static_cast<bool*>(pContext) = false;
    WriteLog("CDefUtils::DeleteFileCallback - end\n");
    return true;
}

bool CDefUtils::DeleteFilesCallback(const char* pszPattern, void* pContext)
{
    FindData fd;
    ScopedFind find(pszPattern, &fd);
    WriteLog("CDefUtils::DeleteFilesCallback - start, FilePattern = %s\n", OrNull(pszPattern));
    if (!find.valid())
        return true;

    const DuCleanupKeep* pKeep = static_cast<const DuCleanupKeep*>(pContext);
    PathBuf dir(pszPattern);
    *DuStripFileName(dir.data(), 0) = '\0';
    do {
        if (IsDirectory(fd))
            continue;
        PathBuf lower(fd.szName);
        StrLower(lower.data());
        if (pKeep != nullptr && std::find(pKeep->names.begin(), pKeep->names.end(),
                                          lower.c_str()) != pKeep->names.end()) {
            WriteLog("CDefUtils::DeleteFilesCallback - keeping %s, a file of the set.\n",
                     fd.szName);
            continue;
        }
        PathBuf path(dir.c_str());
        if (DuAppendPath(path.data(), fd.szName, path.size()))
            DeleteFileCallback(path.c_str(), nullptr);
    } while (find.Next(&fd));

    WriteLog("CDefUtils::DeleteFilesCallback, always return true - end.\n");
    return true;
}

bool CDefUtils::FileExistsCallback(const char* pszPath, void* pContext)
{
    PathBuf path(pszPath);
    if (pszPath != nullptr && *pszPath != '\0' && DuFileExists(path.data())) {
        WriteLog("CDefUtils::FileExistsCallback (%s) - end, returning true\n", pszPath);
        return true;
    }
    if (pContext != nullptr)
        BoundedCopy(static_cast<char*>(pContext), DU_MAX_PATH, pszPath);
    WriteLog("CDefUtils::FileExistsCallback ( %s ) - end, returning false\n", OrNull(pszPath));
    return false;
}

bool CDefUtils::AllDefsArePresent(const char* pszDir)
{
    WriteLog("CDefUtils::AllDefsArePresent (%s) - start\n", OrNull(pszDir));
    char szMissing[DU_MAX_PATH] = {};
    DuResult result = ProcessCatalogFiles(&CDefUtils::FileExistsCallback, pszDir,
                                          kCatalogFilesSection, szMissing, nullptr);
    WriteLog("CDefUtils::AllDefsArePresent() - returning %s\n", GetResultName(result));
    return DuSucceeded(result);
}

bool CDefUtils::AllHubFilesArePresent(const char* pszDir, DWORD nType)
{
    WriteLog("CDefUtils::AllHubFilesArePresent(%s, type: %d) - start\n", OrNull(pszDir),
             static_cast<int>(nType));

    // The catalog always comes from the binary hub, whichever hub's files
    // are checked.
    PathBuf hub;
    if (!GetHubDirectory(hub.data(), hub.size(), DU_BINARY)) {
        WriteLog("CDefUtils::AllHubFilesArePresent() - returning false.\n");
        return false;
    }

    char szMissing[DU_MAX_PATH] = {};
    bool bPresent;
    if (nType == DU_BINARY) {
        // Both sections are checked even when the first fails, so the log
        // shows every missing file.
        DuResult linuxFiles =
            ProcessCatalogFiles(&CDefUtils::FileExistsCallback, pszDir, kCatalogBinHubLinuxSection,
                                szMissing, hub.c_str());
        DuResult commonFiles =
            ProcessCatalogFiles(&CDefUtils::FileExistsCallback, pszDir, kCatalogBinHubCommonSection,
                                szMissing, hub.c_str());
        bPresent = DuSucceeded(linuxFiles) && DuSucceeded(commonFiles);
    } else {
        bPresent = DuSucceeded(ProcessCatalogFiles(&CDefUtils::FileExistsCallback, pszDir,
                                                   kCatalogTextHubSection, szMissing, hub.c_str()));
    }

    WriteLog("CDefUtils::AllHubFilesArePresent() - returning: %s.\n",
             bPresent ? "success" : "failure");
    return bPresent;
}

DuResult CDefUtils::WillIntegrateDirInternal(const char* pszDir, bool* pbWillIntegrate)
{
    WriteLog("CDefUtils::WillIntegrateDirInternal(%s,...) - start\n", OrNull(pszDir));
    if (pszDir == nullptr || *pszDir == '\0') {
        WriteLog(
            "WillIntegrateDirInternal(): null or empty dir, returning DU_E_INVALID_PARAMETER.\n");
        return DU_E_INVALID_PARAMETER;
    }
    if (pbWillIntegrate == nullptr) {
        WriteLog(
            "WillIntegrateDirInternal(): pbWillIntegrate is NULL, returning DU_E_INVALID_PARAMETER.\n");
        return DU_E_INVALID_PARAMETER;
    }

    bool bNewest = false;
    DuResult result = DefsInDirAreNewest(pszDir, &bNewest);
    if (!bNewest) {
        *pbWillIntegrate = false;
        return result;
    }

    if (!AllDefsArePresent(pszDir)) {
        *pbWillIntegrate = false;
        WriteLog(
            "CDefUtils::WillIntegrateInternal(pbWillIntegrate: %s) - returning DU_E_MISSING_FILES",
            "false");
        return DU_E_MISSING_FILES;
    }

    *pbWillIntegrate = true;
    WriteLog("CDefUtils::WillIntegrateDirInternal (..., pbwillIntegrate: %s) - returning: %s\n",
             "true", GetResultName(result));
    return result;
}

bool CDefUtils::WillIntegrateDir(const char* pszDir, bool* pbWillIntegrate)
{
    WriteLog("CDefUtils::WillIntegrateDir() - start\n");
    m_duLastResult = WillIntegrateDirInternal(pszDir, pbWillIntegrate);
    WriteLog("CDefUtils::WillIntegrateDir() - returning %s\n", GetLastResultName());
    return DuSucceeded(m_duLastResult);
}

bool CDefUtils::DirIsEmpty(const char* pszDir)
{
    WriteLog("CDefUtils::DirIsEmpty( %s )- start.\n", OrNull(pszDir));
    PathBuf pattern(pszDir);
    FindData fd;
    bool bPattern =
        pszDir != nullptr && *pszDir != '\0' && DuAppendPath(pattern.data(), "*.*", pattern.size());
    ScopedFind find(bPattern ? pattern.c_str() : nullptr, &fd);

    // Names beginning with "." (".", "..", hidden files) do not count.
    bool bEmpty = true;
    for (bool bMore = find.valid(); bMore && bEmpty; bMore = find.Next(&fd))
        bEmpty = fd.szName[0] == '.';

    WriteLog("CDefUtils::DirIsEmpty returns: %s.\n", bEmpty ? "success" : "failure");
    return bEmpty;
}

bool CDefUtils::DataFileIsEmpty(const char* pszFile)
{
    PathBuf file(pszFile);
    if (pszFile == nullptr || *pszFile == '\0' || !DuFileExists(file.data())) {
        WriteLog("CDefUtils::DataFileIsEmpty(%s) - file does not exist; returning true\n",
                 OrNull(pszFile));
        return true;
    }

    char szNames[kAnySectionProbeSize] = {};
    GetPrivateProfileSectionNames(szNames, kAnySectionProbeSize, file.c_str());
    if (szNames[0] != '\0') {
        WriteLog("CDefUtils::DataFileIsEmpty(%s) - returning false\n", pszFile);
        return false;
    }
    WriteLog("CDefUtils::DataFileIsEmpty(%s) - returning true\n", pszFile);
    return true;
}

bool CDefUtils::SectionIsEmpty(const char* pszSection, const char* pszFile)
{
    PathBuf file(pszFile);
    if (pszSection == nullptr || pszFile == nullptr || *pszFile == '\0' ||
        !DuFileExists(file.data()))
        return true;
    char szSection[kSectionSize] = {};
    return ::GetPrivateProfileSection(pszSection, szSection, kSectionSize, file.c_str()) == 0 ||
           szSection[0] == '\0';
}
