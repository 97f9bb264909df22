// Integration of new definition sets: a flat directory of files (a finished
// download, a patched set, or the store's "incoming" directory) becomes a
// dated set directory under the definitions directory and is made the newest
// set in definfo.dat. The previous newest set becomes the last one; the set
// that was last before is dropped when nobody uses it any more.
#include <sys/stat.h>

#include <cstring>

#include "defutils/defutils.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "platform/bounded.h"
#include "platform/fileops.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/scoped_fd.h"

namespace {

bool HasValue(const char* pszValue)
{
    return *pszValue != '\0' && strcmp(pszValue, kKeyMissing) != 0;
}

// Fills a copy context for `pszDestDir`; the all-copied flag starts set and
// is cleared by the first copy that fails.
void InitCopyContext(DuCopyContext* pContext, const char* pszDestDir, bool bOverwrite)
{
    memset(pContext, 0, sizeof *pContext);
    BoundedCopy(pContext->szDestDir, sizeof pContext->szDestDir, pszDestDir);
    pContext->bOverwrite = bOverwrite;
    pContext->bSecondFlag = true;
    pContext->bAllCopied = true;
}

// Context of SeedFileCallback: the copy into the new directory, and the
// directory whose files are copied over it next.
struct SeedContext {
    DuCopyContext copy;
    const char* pszSourceDir;
};

// True when the copy of pszSourceDir that follows the seeding will write the
// file that seeding pszPath would write: the source holds a regular file
// whose name, lower-cased as every copy does, is that destination name. The
// two letter-case forms sets arrive in are tried; a file in mixed case is not
// recognised and is simply seeded and then overwritten.
bool WillArrive(const char* pszPath, const char* pszSourceDir)
{
    PathBuf path(pszPath);
    PathBuf name(DuStripFileName(path.data(), 1));
    StrLower(name.data());
    PathBuf lower(pszSourceDir);
    if (name.empty() || !DuAppendPath(lower.data(), name.c_str(), lower.size()))
        return false;
    PathBuf upper;
    bool bUpper = DuCaseFormPath(lower.c_str(), true, upper.data(), upper.size()) != 0;
    struct stat st;
    // The walk never copies the incoming lock under its own name, but its
    // upper-case form is an ordinary file.
    if (strcmp(name.c_str(), kInLockFile) != 0 && DuStatPath(lower.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode))
        return true;
    return bUpper && DuStatPath(upper.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The checks of the copy's source side: a seed file the copy could not even
// open must still make the seeding fail.
bool CopyCouldRead(const char* pszPath)
{
    ScopedFd fd(OpenNoWait(pszPath, O_RDONLY));
    struct stat st;
    return fd.valid() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool CDefUtils::CopyAllDefs(const char* pszSourceDir, const char* pszDestDir)
{
    WriteLog("CDefUtils::CopyAllDefs (src: %s, dst: %s) - start\n", OrNull(pszSourceDir),
             OrNull(pszDestDir));
    DuCopyContext context;
    InitCopyContext(&context, pszDestDir, true);
    bool bWalked = ProcessAllDefFiles(&CDefUtils::CopyFilesCallback, pszSourceDir, &context, false);
    bool bResult = bWalked && context.bAllCopied;
    if (bResult)
        WriteLog("CDefUtils::CopyAllDefs() - returning true\n");
    else
        WriteLog("CDefUtils::CopyAllDefs() - returning false\n");
    return bResult;
}

bool CDefUtils::CopyDefs(const char* pszSourceDir, const char* pszDestDir)
{
    // Same start line as CopyAllDefs: the two were one routine once, and log
    // readers still search for this text.
    WriteLog("CDefUtils::CopyAllDefs (src: %s, dst: %s) - start\n", OrNull(pszSourceDir),
             OrNull(pszDestDir));
    // Without overwrite a failed file does not stop the walk, so only the
    // walk itself decides the result.
    DuCopyContext context;
    InitCopyContext(&context, pszDestDir, false);
    bool bResult = ProcessAllDefFiles(&CDefUtils::CopyFilesCallback, pszSourceDir, &context, true);
    WriteLog("CDefUtils::CopyDefs() - returning %s.\n", bResult ? "true" : "false");
    return bResult;
}

// The seeding copy of the newest set into a new set directory. Every file
// the source is about to lay over it is left out: the copy of the source
// deletes such a file and copies its own, giving it the name, mode, group
// and times it gets anyway, and a failure of that copy takes the whole new
// directory away, so the seeded bytes could never be seen. The walk, its
// start, end and "Processing" lines and its result stay those of
// CopyAllDefs; a left-out file has no copy lines of its own, since no copy
// is made, and one the copy could not have read is copied as before, so
// it fails the seeding as it did.
bool CDefUtils::SeedNewDefs(const char* pszNewestDir, const char* pszTargetDir,
                            const char* pszSourceDir)
{
    WriteLog("CDefUtils::CopyAllDefs (src: %s, dst: %s) - start\n", OrNull(pszNewestDir),
             OrNull(pszTargetDir));
    SeedContext context;
    InitCopyContext(&context.copy, pszTargetDir, true);
    context.pszSourceDir = pszSourceDir;
    bool bWalked = ProcessAllDefFiles(&CDefUtils::SeedFileCallback, pszNewestDir, &context, false);
    bool bResult = bWalked && context.copy.bAllCopied;
    if (bResult)
        WriteLog("CDefUtils::CopyAllDefs() - returning true\n");
    else
        WriteLog("CDefUtils::CopyAllDefs() - returning false\n");
    return bResult;
}

bool CDefUtils::SeedFileCallback(const char* pszPath, void* pContext)
{
    SeedContext* pSeed = static_cast<SeedContext*>(pContext);
    if (pszPath != nullptr && pSeed->pszSourceDir != nullptr &&
        WillArrive(pszPath, pSeed->pszSourceDir) && CopyCouldRead(pszPath))
        return true;
    return CopyFilesCallback(pszPath, &pSeed->copy);
}

DuResult CDefUtils::IntegrateDefs(const char* pszSourceDir, bool bText)
{
    DuResult status = DU_S_OK;
    bool bCreated = false;
    WriteLog("CDefUtils::IntegrateDefs(%s) - start\n", OrNull(pszSourceDir));

    PathBuf name;
    PathBuf target;
    if (!m_pszDefsDir || !CreateDefDirName(pszSourceDir, name.data(), name.size(), bText) ||
        !DuStorePath(m_pszDefsDir.get(), name.c_str(), &target)) {
        status = DU_E_GENERAL;
        target.clear();
    }

    // Until definfo.dat names the new set or the failed build is gone.
    std::unique_ptr<StoreIntent> intent;
    if (DuSucceeded(status))
        intent.reset(new StoreIntent(this, m_pszDefsDir.get(), "dir", name.c_str()));

    if (DuSucceeded(status) && !FileExists(target.c_str())) {
        if (CreateFullPath(target.c_str(), true, true))
            bCreated = true;
        else
            status = DU_E_GENERAL;
    }

    if (DuSucceeded(status)) {
        PathBuf newest;
        GetNewestDefs(newest.data(), newest.size(), false);
        WriteLog("CDefUtils::IntegrateDefs() - newest defs: %s\n", newest.c_str());

        // A new directory starts as a full copy of the newest set, so a
        // source that carries only changed files still yields a whole set.
        // The seeding reads the newest set outside the store lock, so a
        // parallel install may rotate it away meanwhile; then the seeding is
        // tried again from the set that is newest now (a few times at most).
        for (int nTry = 0;
             DuSucceeded(status) && bCreated && !newest.empty() && DuFileExists(newest.data());
             ++nTry) {
            PathBuf newestName(DuStripFileName(newest.data(), 1));
            if (strcmp(newestName.c_str(), name.c_str()) == 0 ||
                SeedNewDefs(newest.c_str(), target.c_str(), pszSourceDir))
                break;
            PathBuf now;
            DuReadCurDefs(m_pszDefsDir.get(), &now);
            if (nTry == 2 || strcmp(now.c_str(), newestName.c_str()) == 0 ||
                !DuIsPlainName(now.c_str())) {
                status = DU_E_FILE_COPY;
                break;
            }
            DuStorePath(m_pszDefsDir.get(), now.c_str(), &newest);
        }
    }

    if (DuSucceeded(status)) {
        bool bCopied = CopyAllDefs(pszSourceDir, target.c_str());
        // An existing directory of that name is refreshed best effort and
        // keeps whatever clean-up files it has.
        if (bCreated) {
            if (bCopied)
                DeleteCleanupFiles(target.c_str());
            else
                status = DU_E_FILE_COPY;
        }
    }

    // The switch happens under the store lock, and only to a set at least
    // as new as CurDefs is now: another install may have finished a newer
    // one while this one copied.
    bool bSuperseded = false;
    {
        StoreTransaction transaction(this);
        if (DuSucceeded(status)) {
            PathBuf cur;
            DuReadCurDefs(m_pszDefsDir.get(), &cur);
            PathBuf curDir;
            if (strcmp(cur.c_str(), name.c_str()) != 0 && DuIsPlainName(cur.c_str()) &&
                DuStorePath(m_pszDefsDir.get(), cur.c_str(), &curDir) &&
                FileExists(curDir.c_str()) && !DuSetNameNotOlder(name.c_str(), cur.c_str())) {
                WriteLog("CDefUtils::IntegrateDefs() - %s is newer; not integrating.\n",
                         cur.c_str());
                bSuperseded = true;
            } else if (!DuSetIsComplete(target.c_str())) {
                // Another command removed files of it while it was built
                // (the removal of the whole store does that).
                WriteLog("CDefUtils::IntegrateDefs() - %s is incomplete; not integrating.\n",
                         target.c_str());
                status = DU_E_FILE_COPY;
            } else if (!UpdateNewestDefs(target.c_str(), true)) {
                status = DU_E_DEFINFO_UPDATE;
            } else {
                m_pszIntegratedName = DuStrDup(name.c_str());
            }
        }

        // Never leave a half-built set behind, but never delete a directory
        // this call did not make, nor one definfo.dat names meanwhile (a
        // parallel install of the same set). The definition-file check
        // guards against deleting something that is not a set; a copy that
        // failed before any main file arrived leaves exactly such a
        // directory, and it is ours, so it goes without the check.
        if ((bSuperseded || !DuSucceeded(status)) && bCreated &&
            !DuIsNamedSet(m_pszDefsDir.get(), name.c_str()) &&
            !DeleteDefsAndDirectory(target.c_str(), true) && FileExists(target.c_str()))
            DeleteDefsAndDirectory(target.c_str(), false);
    }
    if (bSuperseded)
        status = DU_S_FALSE;

    WriteLog("CDefUtils::IntegrateDefs() - returning %s.\n", GetResultName(status));
    return status;
}

bool CDefUtils::UpdateNewestDefs(const char* pszNewDir, bool bRotate)
{
    WriteLog("CDefUtils::UpdateNewestDefs() - start.\n");
    bool bResult = false;

    PathBuf defInfo;
    if (!m_pszDefsDir || pszNewDir == nullptr ||
        !DuStorePath(m_pszDefsDir.get(), kDefInfoFile, &defInfo)) {
        WriteLog("CDefUtils::UpdateNewestDefs() - returning %s.\n", "failure");
        return false;
    }
    unsigned int nMode = DuDirModeOr(m_pszDefsDir.get(), 0775);
    bool bExisted = DuFileExists(defInfo.data()) != 0;

    PathBuf newName;
    DuRecordedSetName(pszNewDir, &newName);

    PathBuf oldCur;
    DuReadDefDatesKey(defInfo.c_str(), kCurDefsKey, &oldCur);

    bResult = WritePrivateProfileString(kDefDatesSection, kCurDefsKey, newName.c_str(),
                                        defInfo.c_str()) != 0;

    if (bRotate) {
        // A CurDefs naming something other than a set ("..", "../x") counts
        // as none; a blank one is handed on as it always was.
        if (HasValue(oldCur.c_str()) &&
            (*TrimSpaces(oldCur.data()) == '\0' || DuIsPlainName(oldCur.c_str()))) {
            PathBuf oldLast;
            DuReadDefDatesKey(defInfo.c_str(), kLastDefsKey, &oldLast);
            // LastDefs is about to stop naming it: marked until it is deleted.
            PathBuf lastName(oldLast.c_str());
            std::unique_ptr<StoreIntent> intent;
            if (HasValue(oldLast.c_str()))
                intent.reset(
                    new StoreIntent(this, m_pszDefsDir.get(), "dir", TrimSpaces(lastName.data())));
            TrimSpaces(oldCur.data());
            WritePrivateProfileString(kDefDatesSection, kLastDefsKey, oldCur.c_str(),
                                      defInfo.c_str());
            if (HasValue(oldLast.c_str())) {
                TrimSpaces(oldLast.data());
                PathBuf lastDir;
                // A blank value names no set: joining it would name the
                // directory itself; "../x" would name a directory outside it.
                if (DuIsPlainName(oldLast.c_str()) &&
                    DuStorePath(m_pszDefsDir.get(), oldLast.c_str(), &lastDir))
                    RemoveUnusedDirectory(lastDir.c_str());
            }
        } else {
            WritePrivateProfileString(kDefDatesSection, kLastDefsKey, newName.c_str(),
                                      defInfo.c_str());
        }
    }

    if (!bExisted) {
        bResult = ChangeUnixOwner(defInfo.c_str(), nMode, false);
        // A definfo.dat this call created but could not hand to the store's
        // group is taken away again: the caller drops the set it names, and
        // a store without definfo.dat is consistent, one naming a missing
        // set is not.
        if (!bResult)
            DeleteFile(defInfo.c_str());
    }

    WriteLog("CDefUtils::UpdateNewestDefs() - returning %s.\n", bResult ? "success" : "failure");
    return bResult;
}

DuResult CDefUtils::ProcessIncomingDir()
{
    DuResult status = DU_S_OK;
    WriteLog("CDefUtils::ProcessIncomingDir() - start.\n");
    PathBuf incoming;
    GetIncomingDir(incoming.data(), incoming.size());

    if (!incoming.empty() && !DirIsEmpty(incoming.c_str())) {
        if (!LockIncomingDir()) {
            status = DU_S_INCOMING_LOCK_FAILED;
        } else {
            // An incomplete set is still arriving: leave it for a later run.
            if (AllDefsArePresent(incoming.c_str())) {
                DuResult integrated = IntegrateDefs(incoming.c_str(), false);
                if (DuSucceeded(integrated))
                    status = integrated;
                else if (integrated == DU_E_AUTH)
                    status = DU_S_INCOMING_AUTH_FAILED;
                else
                    status = DU_S_OK;
                // A set that failed to integrate would fail again on every
                // query, so it is dropped either way.
                DeleteAllDefs(incoming.c_str(), true);
            }
            UnLockIncomingDir();
        }
    }

    WriteLog("CDefUtils::ProcessIncomingDir() - returning %s.\n", GetResultName(status));
    return status;
}
