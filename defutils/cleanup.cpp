// Removal of sets nobody needs, of an application's registration and, when
// the last application leaves, of the whole store; the temporary update
// directories; and the location file that tells an application where the
// store is. Deletions are best effort: what cannot be removed is logged and
// left, and nothing deleted is ever restored.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "defutils/cleanup_internal.h"
#include "defutils/defutils.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "defutils/system_config.h"
#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/fileops.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/scoped_find.h"

namespace {

constexpr int kTempDirAttempts = 50;

DuRandomFn g_pfnTempNameRandom = rand;

// Deletes the set a definfo.dat value names, when it names one that exists.
void DeleteNamedSet(CDefUtils* pDefUtils, const char* pszDefsDir, char* pszValue)
{
    if (strcmp(pszValue, kKeyMissing) == 0)
        return;
    CDefUtils::TrimSpaces(pszValue);
    PathBuf setDir;
    if (DuIsPlainName(pszValue) && pszDefsDir != nullptr &&
        DuStorePath(pszDefsDir, pszValue, &setDir) && CDefUtils::FileExists(setDir.c_str()))
        pDefUtils->DeleteDefsAndDirectory(setDir.c_str(), true);
}

}  // namespace

DuRandomFn SetTempNameRandomForTesting(DuRandomFn pfnRandom)
{
    DuRandomFn pfnPrevious = g_pfnTempNameRandom;
    g_pfnTempNameRandom = pfnRandom != nullptr ? pfnRandom : rand;
    return pfnPrevious;
}

bool CDefUtils::DeleteAllDefs(const char* pszDir, bool bCheckSet)
{
    bool bAllDeleted = true;
    WriteLog("CDefUtils::DeleteAllDefs(%s) - start\n", OrNull(pszDir));
    // The store is group-writable: a symbolic link planted where a set,
    // hub or temporary directory belongs must not lead the deletion into
    // the directory it points at.
    struct stat st;
    if (pszDir != nullptr && DuLstatPath(pszDir, &st) == 0 && S_ISLNK(st.st_mode)) {
        WriteLog("CDefUtils::DeleteAllDefs() - returning false\n");
        return false;
    }
    if (!ProcessAllDefFiles(&CDefUtils::DeleteFileCallback, pszDir, &bAllDeleted, bCheckSet)) {
        WriteLog("CDefUtils::DeleteAllDefs() - returning false\n");
        return false;
    }
    WriteLog("CDefUtils::DeleteAllDefs() - returning %s\n", bAllDeleted ? "true" : "false");
    return bAllDeleted;
}

bool CDefUtils::DeleteDefsAndDirectory(const char* pszDir, bool bCheckSet)
{
    WriteLog("CDefUtils::DeleteDefsAndDirectory(%s) - start\n", OrNull(pszDir));
    DeleteAllDefs(pszDir, bCheckSet);
    // Only an emptied directory goes; subdirectories and a held incoming
    // lock keep it in place.
    if (pszDir != nullptr && *pszDir != '\0' && RemoveDirectory(pszDir)) {
        DuDropKeptIntent(pszDir);
        WriteLog("CDefUtils::DeleteDefsAndDirectory() - RemoveDirectory() succeeded\n");
        return true;
    }
    WriteLog("CDefUtils::DeleteDefsAndDirectory() - RemoveDirectory() failed\n");
    return false;
}

void CDefUtils::DeleteCleanupFiles(const char* pszDir)
{
    WriteLog("CDefUtils::DeleteCleanupFiles(%s) - start\n", OrNull(pszDir));
    // A set without the section simply has nothing to clean up. The set's
    // own files and catalog are kept whatever the patterns say.
    DuCleanupKeep keep;
    keep.names.push_back(kCatalogFile);
    PathBuf catalog(pszDir != nullptr ? pszDir : "");
    char* pszList = nullptr;
    if (pszDir != nullptr && DuAppendPath(catalog.data(), kCatalogFile, catalog.size()) &&
        DuSucceeded(ReadCatalogSection(catalog.c_str(), kCatalogFilesSection, &pszList))) {
        std::unique_ptr<char, DuFreeDeleter> list(pszList);
        for (const char* pszEntry = list.get();
             *pszEntry != '\0' && *pszEntry != '\r' && *pszEntry != '\n';
             pszEntry += strlen(pszEntry) + 1) {
            PathBuf name;
            DuCleanCatalogEntry(pszEntry, &name);
            keep.names.push_back(StrLower(name.data()));
        }
    }
    ProcessCatalogFiles(&CDefUtils::DeleteFilesCallback, pszDir, kCatalogCleanupSection, &keep,
                        nullptr);
    WriteLog("CDefUtils::DeleteCleanupFiles() - end\n");
}

void CDefUtils::RemoveUnusedDirectory(const char* pszDir)
{
    WriteLog("CDefUtils::RemoveUnusedDirectory(%s)- start\n", OrNull(pszDir));
    if (DefsDirIsNewest(pszDir)) {
        WriteLog(
            "CDefUtils::RemoveUnusedDirectory() - dir in definfo.dat; skipping delete request; returning void\n");
        return;
    }

    PathBuf name;
    DuRecordedSetName(pszDir, &name);

    // Without a usage file to consult, nobody can be shown not to use the set.
    PathBuf usage;
    if (m_pszDefsDir && !name.empty() && DuStorePath(m_pszDefsDir.get(), kUsageFile, &usage) &&
        SectionIsEmpty(name.c_str(), usage.c_str()))
        DeleteDefsAndDirectory(pszDir, true);

    WriteLog("CDefUtils::RemoveUnusedDirectory() - returning void\n");
}

void CDefUtils::WithdrawDefInfo()
{
    PathBuf defInfo;
    if (!m_pszDefsDir || !DuStorePath(m_pszDefsDir.get(), kDefInfoFile, &defInfo))
        return;
    PathBuf value;
    DuReadDefDatesKey(defInfo.c_str(), kCurDefsKey, &value);
    m_pszWithdrawnCur = DuStrDup(value.c_str());
    DuReadDefDatesKey(defInfo.c_str(), kLastDefsKey, &value);
    m_pszWithdrawnLast = DuStrDup(value.c_str());
    DuUnlinkPath(defInfo.c_str());
}

void CDefUtils::DeleteNewestDefs()
{
    WriteLog("CDefUtils::DeleteNewestDefs (CurDefs & LastDefs) - starts.\n");
    PathBuf defInfo;
    bool bHaveDefInfo = m_pszDefsDir && DuStorePath(m_pszDefsDir.get(), kDefInfoFile, &defInfo);

    // Values withdrawn by StopUsingDefs stand for the file they came from.
    PathBuf newest(kKeyMissing);
    if (m_pszWithdrawnCur)
        newest.assign(m_pszWithdrawnCur.get());
    else if (bHaveDefInfo)
        DuReadDefDatesKey(defInfo.c_str(), kCurDefsKey, &newest);
    WriteLog("Retrieving current_defs_key value : %s.\n", newest.c_str());
    DeleteNamedSet(this, m_pszDefsDir.get(), newest.data());

    PathBuf previous(kKeyMissing);
    if (m_pszWithdrawnLast)
        previous.assign(m_pszWithdrawnLast.get());
    else if (bHaveDefInfo)
        DuReadDefDatesKey(defInfo.c_str(), kLastDefsKey, &previous);
    WriteLog(" Retrieving second latest defs: %s.\n", previous.c_str());
    DeleteNamedSet(this, m_pszDefsDir.get(), previous.data());

    WriteLog("CDefUtils::DeleteNewestDefs() - returning void\n");
}

void CDefUtils::DeleteTmpDirs(const char* pszDir)
{
    WriteLog("CDefUtils::DeleteTmpDirs( %s )- starts.\n", OrNull(pszDir));
    PathBuf pattern(pszDir);
    FindData fd;
    bool bPattern = pszDir != nullptr && *pszDir != '\0' &&
                    DuAppendPath(pattern.data(), kTmpDirPrefix, pattern.size());
    pattern.append("*");
    ScopedFind find(bPattern ? pattern.c_str() : nullptr, &fd);
    if (!find.valid())
        return;

    bool bProcessed = false;
    do {
        if ((fd.dwFileAttributes & FILE_ATTR_DIRECTORY) == 0)
            continue;
        PathBuf tmpDir(pszDir);
        if (!DuAppendPath(tmpDir.data(), fd.szName, tmpDir.size()))
            continue;
        DeleteDefsAndDirectory(tmpDir.c_str(), true);
        bProcessed = true;
    } while (find.Next(&fd));

    WriteLog("CDefUtils::DeleteTmpDirs( %s )- end, returning: %s.\n", pszDir,
             bProcessed ? "success" : "failure");
}

void CDefUtils::DeleteHubDirectories()
{
    WriteLog("CDefUtils::DeleteHubDirectories - start. \n");
    if (m_pszDefsDir) {
        PathBuf binHub;
        if (DuStorePath(m_pszDefsDir.get(), kBinHubDir, &binHub))
            DeleteDefsAndDirectory(binHub.c_str(), true);
        PathBuf textHub;
        if (DuStorePath(m_pszDefsDir.get(), kTextHubDir, &textHub)) {
            WriteLog("Calling DeleteDefsAndDirectory( %s ).\n", textHub.c_str());
            DeleteDefsAndDirectory(textHub.c_str(), true);
        }
    }
    WriteLog("CDefUtils::DeleteHubDirectories - end.\n");
}

void CDefUtils::FullCleanup()
{
    WriteLog("CDefUtils::FullCleanup() - start\n");
    if (!m_pszDefsDir) {
        WriteLog("CDefUtils::FullCleanup() - end.\n");
        return;
    }

    DeleteNewestDefs();

    PathBuf defInfo;
    if (DuStorePath(m_pszDefsDir.get(), kDefInfoFile, &defInfo))
        DeleteFile(defInfo.c_str());
    WriteLog("CDefUtils::FullCleanup() - DeletFile(%s)\n", defInfo.c_str());
    PathBuf usage;
    if (DuStorePath(m_pszDefsDir.get(), kUsageFile, &usage))
        DeleteFile(usage.c_str());
    WriteLog("CDefUtils::FullCleanup() - DeletFile(%s)\n", usage.c_str());

    PathBuf incoming;
    GetIncomingDir(incoming.data(), incoming.size());
    DeleteDefsAndDirectory(incoming.c_str(), true);
    DeleteHubDirectories();
    DeleteTmpDirs(m_pszDefsDir.get());

    // Our own markers would keep the directory; every set is gone by now.
    DuReleaseStoreIntents(m_pszDefsDir.get());
    // The two success lines differ in the case of "Up"; both are kept as
    // they are because log readers match them.
    if (RemoveDirectory(m_pszDefsDir.get()))
        WriteLog("CDefUtils::FullCleanUp() - RemoveDirectory() succeeded\n");
    else
        WriteLog("CDefUtils::FullCleanup() - RemoveDirectory() failed\n");

    if (m_bAltContent) {
        // The tvlxdata directory goes only when no other content type is
        // left in it.
        PathBuf parent(m_pszDefsDir.get());
        *DuStripFileName(parent.data(), 0) = '\0';
        if (!parent.empty() && RemoveDirectory(parent.c_str()))
            WriteLog("CDefUtils::FullCleanUp() - RemoveDirectory() succeeded\n");
        else
            WriteLog("CDefUtils::FullCleanup() - RemoveDirectory() failed\n");
    }

    m_pszDefsDir.reset();
    WriteLog("CDefUtils::FullCleanup() - end.\n");
}

bool CDefUtils::StopUsingDefs()
{
    if (!m_pszDefsDir || !m_pszAppID) {
        m_duLastResult = !m_pszDefsDir ? DU_E_MISSING_DEF_BASE_DIR : DU_E_MISSING_APPID;
        WriteLog("CDefUtils::StopUsingDefs() - returning %s\n", GetLastResultName());
        return false;
    }
    m_duLastResult = DU_S_OK;
    WriteLog("CDefUtils::StopUsingDefs() - start; m_pszAppID: %s\n", m_pszAppID.get());
    // The whole sequence, up to the removal of the store, is one store
    // transaction: a registration waiting for it then finds the store gone
    // and starts a fresh one, instead of writing into a store being removed.
    StoreTransaction transaction(this);

    PathBuf current;
    if (!GetCurrentDefs(current.data(), current.size())) {
        m_duLastResult = DU_E_APPID_NOT_REGISTERED;
        WriteLog("CDefUtils::StopUsingDefs() - returning %s\n", GetLastResultName());
        return false;
    }

    PathBuf usage;
    DuStorePath(m_pszDefsDir.get(), kUsageFile, &usage);
    // From the section edit on, a kill could leave the set unused and
    // undeleted.
    std::vector<std::unique_ptr<StoreIntent>> intents;
    intents.emplace_back(
        new StoreIntent(this, m_pszDefsDir.get(), "dir", DuLeafName(current.c_str()).c_str()));
    bool bNoUserLeft = true;
    PathBuf section;
    if (GetSectionNameFromKey(section.data(), section.size(), m_pszAppID.get(), usage.c_str())) {
        WritePrivateProfileString(section.c_str(), m_pszAppID.get(), nullptr, usage.c_str());
        bNoUserLeft = SectionIsEmpty(section.c_str(), usage.c_str());
        if (bNoUserLeft)
            WritePrivateProfileString(section.c_str(), nullptr, nullptr, usage.c_str());
    }

    if (DataFileIsEmpty(usage.c_str())) {
        DuTestPause("last-uninstall");
        DuMarkDefInfoSets(this, m_pszDefsDir.get(), &intents);
        // definfo.dat goes before any set does, so a command killed on the
        // way leaves a store that names no set rather than a broken one.
        WithdrawDefInfo();
        // Nobody uses the store any more: it goes as a whole, and with it
        // the remembered microdefs outcome of this content.
        if (bNoUserLeft) {
            DeleteDefsAndDirectory(current.c_str(), true);
            const char* pszConf = DefutilsConfPath();
            const char* pszSection = m_bAltContent && m_pszMicroDefsSection
                                         ? m_pszMicroDefsSection.get()
                                         : kSharedMicroDefsSection;
            WritePrivateProfileString(pszSection, nullptr, nullptr, pszConf);
            if (DataFileIsEmpty(pszConf)) {
                DeleteFile(pszConf);
                WriteLog("CDefUtils::StopUsingDefs() - DeletFile(%s)\n", pszConf);
            }
        }
        FullCleanup();
    } else if (bNoUserLeft && !DefsDirIsNewest(current.c_str())) {
        DeleteDefsAndDirectory(current.c_str(), true);
    }

    RemoveDefLocDataFile();
    WriteLog("CDefUtils::StopUsingDefs() - returning %s\n", GetLastResultName());
    return true;
}

bool CDefUtils::GetTempUpdateDir(char* pszDir, size_t nSize)
{
    if (pszDir == nullptr || nSize == 0) {
        WriteLog("CDefUtils::GetTempUpdateDir(): pszDir is null, returning false.\n");
        return false;
    }
    pszDir[0] = '\0';
    // The process id goes into the seed: commands started in the same second
    // would otherwise try the same names, and one whose directory a removal
    // of the store took away could then write into another's new one.
    srand(static_cast<unsigned int>(time(nullptr)) ^
          (static_cast<unsigned int>(getpid()) * 2654435761u));

    bool bCreated = false;
    for (int nAttempt = 0; m_pszDefsDir && nAttempt < kTempDirAttempts; ++nAttempt) {
        // The "tmp<hex>" form is what DeleteTmpDirs removes again.
        char szName[32];
        BoundedFormat(szName, sizeof szName, "tmp%lx",
                      static_cast<unsigned long>(g_pfnTempNameRandom()));
        PathBuf candidate;
        if (!DuStorePath(m_pszDefsDir.get(), szName, &candidate))
            break;
        if (FileExists(candidate.c_str())) {
            WriteLog("CDefUtils::GetTempUpdateDir(): %s already exists, trying next random name.\n",
                     candidate.c_str());
            continue;
        }
        // The marker lives until the directory is deleted again.
        DuKeepIntent(this, m_pszDefsDir.get(), candidate.c_str());
        if (CreateDirectory(candidate.c_str())) {
            BoundedCopy(pszDir, nSize, candidate.c_str());
            WriteLog("CDefUtils::GetTempUpdateDir(): Successfully created %s.\n",
                     candidate.c_str());
            bCreated = true;
            break;
        }
        int nError = errno;
        DuDropKeptIntent(candidate.c_str());
        WriteLog("CDefUtils::GetTempUpdateDir(): Calling CreateDirectory (%s, NULL) failed.\n",
                 candidate.c_str());
        // Someone else took the name between the test and the creation.
        if (nError != EEXIST)
            break;
    }

    WriteLog("CDefUtils::GetTempUpdateDir(%s)- returning %s.\n", pszDir,
             bCreated ? "true" : "false");
    return bCreated;
}

bool CDefUtils::CreateDefLocDataFile(const char* pszDefsDir)
{
    // Alternate content is found through its content type, not through a
    // location file.
    if (m_bAltContent) {
        WriteLog("CDefUtils::CreateDefLocDataFile() - dealing with alt content, returning true\n");
        return true;
    }
    WriteLog("CDefUtils::CreateDefLocDataFile(%s) - start\n", OrNull(pszDefsDir));
    if (!m_pszAppInstallDir)
        return true;

    PathBuf location(pszDefsDir);
    StripTrailingSlash(location.data());
    PathBuf defLoc(m_pszAppInstallDir.get());
    bool bWritten =
        pszDefsDir != nullptr && DuAppendPath(defLoc.data(), kDefLocFile, defLoc.size()) &&
        WritePrivateProfileString(kDefLocSection, kDefLocKey, location.c_str(), defLoc.c_str()) !=
            0;
    WriteLog("CDefUtils::CreateDefLocDataFile() - returning %s\n",
             bWritten ? "success" : "failure");
    return bWritten;
}

void CDefUtils::RemoveDefLocDataFile()
{
    if (m_bAltContent) {
        WriteLog("CDefUtils::RemoveDefLocDataFile() - dealing with alt content, returning void.\n");
        return;
    }
    if (!m_pszAppInstallDir) {
        WriteLog(
            "CDefUtils::RemoveDefLocDataFile() - no m_pszAppInstallDir set, returning void.\n");
        return;
    }
    PathBuf defLoc(m_pszAppInstallDir.get());
    if (DuAppendPath(defLoc.data(), kDefLocFile, defLoc.size()))
        DeleteFile(defLoc.c_str());
    WriteLog("CDefUtils::RemoveDefLocDataFile() - removed %s, returning void.\n", defLoc.c_str());
}
