// The store manager: one object per command, holding the paths and names
// every store operation needs, the lock handles, the last result code and
// the debug log.
//
// Calling order: construct (reads BaseDir from the machine configuration,
// creates the definitions directory when missing, opens the debug log),
// optionally ContentTypeExists, then InitBase (content type or null), then
// InitWindowsApp (AppId) or InitInstallApp; then the store operations;
// destroy. Nothing in the object survives a run: the store's state lives in
// its files and is re-read by every query.
//
// Errors are values: operations return a DuResult (below 32 is success) or
// a bool; public wrappers also record their code in m_duLastResult, which the
// name look-ups turn into text. Nothing is thrown. Every operation writes a
// start and an end line through WriteLog; the log goes to the file named in
// the defutils configuration and to up to five registered callbacks.
//
// The object owns every string it holds and its log stream. Lock files are
// NOT released by the destructor: the operations that take them release
// them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32_types.h"

// ---------------------------------------------------------------------------
// Result codes. Codes below 32 are successes, 32 and above failures; callers
// test with DuSucceeded, never for a particular success code unless they
// must.
typedef uint32_t DuResult;

constexpr DuResult DU_S_OK = 0;
constexpr DuResult DU_S_FALSE = 1;
constexpr DuResult DU_S_INCOMING_LOCK_FAILED = 2;
constexpr DuResult DU_S_INCOMING_AUTH_FAILED = 3;
constexpr DuResult DU_S_AUTH_FAILED_USING_OLD = 4;
constexpr DuResult DU_S_MISSING_DEFS_USING_OLD = 5;
constexpr DuResult DU_E_GENERAL = 32;
constexpr DuResult DU_E_INVALID_PARAMETER = 33;
constexpr DuResult DU_E_FILE_FORMAT = 34;
constexpr DuResult DU_E_MEM_ALLOC = 35;
constexpr DuResult DU_E_FILE_COPY = 36;
constexpr DuResult DU_E_DEFINFO_UPDATE = 37;
constexpr DuResult DU_E_MISSING_PATCH_DLL = 38;
constexpr DuResult DU_E_SF_LOCK_FAILED = 39;
constexpr DuResult DU_E_APPLY_PATCH = 40;
constexpr DuResult DU_E_MISSING_DEF_BASE_DIR = 41;
constexpr DuResult DU_E_MISSING_DEF_DIR = 42;
constexpr DuResult DU_E_MISSING_DEFINFO = 43;
constexpr DuResult DU_E_AUTH = 44;  // kept for callers that test it; never produced
constexpr DuResult DU_E_VIRSCAN1_OPEN = 45;
constexpr DuResult DU_E_VIRSCAN1_READ = 46;
constexpr DuResult DU_E_MISSING_APPID = 47;
constexpr DuResult DU_E_MISSING_SECTION = 48;
constexpr DuResult DU_E_SECURITY = 49;                // never produced
constexpr DuResult DU_E_MISSING_GUARD_FILE = 50;      // never produced
constexpr DuResult DU_E_MISSING_SIGNATURE_FILE = 51;  // never produced
constexpr DuResult DU_E_MISSING_CATALOG_FILE = 52;
constexpr DuResult DU_E_AUTH_FAILED_NO_RECOVERY = 53;  // never produced
constexpr DuResult DU_E_CREATE_TEMP_DIR = 54;
constexpr DuResult DU_E_LOG_CALLBACKS_FULL = 55;
constexpr DuResult DU_E_MISSING_LOG_CALLBACK = 56;
constexpr DuResult DU_E_MISSING_FILES = 57;
constexpr DuResult DU_E_APPID_NOT_REGISTERED = 58;
constexpr DuResult DU_E_MISSING_DEFS_NO_RECOVERY = 59;  // never produced

inline bool DuSucceeded(DuResult code)
{
    return code < 32;
}

// Update types recorded by the pre-update steps.
constexpr DWORD DU_INSTALL = 0;
constexpr DWORD DU_ONLINE_UPDATE = 1;

// Hub kinds.
constexpr DWORD DU_BINARY = 0;
constexpr DWORD DU_TEXT = 1;

// Content, language and channel names used by the microdefs command.
extern const char CURDEFSTYPE[];
extern const char HUBDEFSTYPE[];
extern const char TVLALLLANGUAGES[];
extern const char MICRODEFCURDEFS[];

// Owned heap string: null means "not set". Freed with free() because the
// strings are made with strdup-style helpers.
struct DuFreeDeleter {
    void operator()(char* p) const { free(p); }
};
typedef std::unique_ptr<char, DuFreeDeleter> DuString;

// Closes the debug log stream.
struct DuFileCloser {
    void operator()(FILE* f) const
    {
        if (f != nullptr)
            fclose(f);
    }
};

// Context of CDefUtils::DeleteFilesCallback: lower-case names that a
// clean-up pattern never deletes (the files of the set itself), so that a
// "*" in a catalog's clean-up list cannot empty the set it belongs to.
struct DuCleanupKeep {
    std::vector<std::string> names;
};

class CDefUtils;
class IPatchApplication;
class IPatchApplication30;

// Context of CDefUtils::CopyFilesCallback.
struct DuCopyContext {
    char szDestDir[DU_MAX_PATH];
    // True: an existing destination file is replaced and a failed copy stops
    // the walk. False: an existing file stays and the walk goes on.
    bool bOverwrite;
    bool bSecondFlag;  // set by every caller, read by nobody
    bool bAllCopied;   // set true by the caller, cleared by any failed copy
};

class CDefUtils {
public:
    // A per-file operation applied by the set walkers; false stops the walk.
    typedef bool (CDefUtils::*FileCallback)(const char* pszPath, void* pContext);

    // Receives each finished debug-log line (prefix included). Not owned.
    class CLogCallback {
    public:
        virtual void OnLogLine(const char* pszLine) = 0;

    protected:
        ~CLogCallback() = default;
    };

    // Receives patch progress as a percentage. No virtual destructor: the
    // reporter is owned by the caller's stack.
    class CProgress {
    public:
        virtual void OnProgress(double dPercent, bool* pbCancel) = 0;

    protected:
        ~CProgress() = default;
    };

    static constexpr int MAX_LOG_CALLBACKS = 5;

    CDefUtils();
    virtual ~CDefUtils();

    CDefUtils(const CDefUtils&) = delete;
    CDefUtils& operator=(const CDefUtils&) = delete;

    // --- Result names and debug log --------------------------------------
    static const char* GetResultName(DuResult code);
    static const wchar_t* GetResultNameW(DuResult code);
    const char* GetLastResultName() const;
    const wchar_t* GetLastResultNameW() const;
    static bool CopyResultName(DuResult code, char* pszBuffer, int nSize);
    DuResult GetLastResult() const { return m_duLastResult; }

    DuResult AddLogCallback(CLogCallback* pCallback);
    DuResult RemoveLogCallback(CLogCallback* pCallback);
    void WriteLog(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

    // --- Initialisation ----------------------------------------------------
    bool InitBase(const char* pszContentType);
    bool InitWindowsApp(const char* pszAppID);
    bool InitInstallApp(const char* pszAppID, const char* pszInstallDir);
    DuResult SetupNames(const char* pszName);
    DuResult SetDefsDir();
    bool GetVirusDefsDir(char* pszDir, size_t nSize);
    bool GetBaseDir(char* pszDir, size_t nSize);
    bool ContentTypeExists(const char* pszContentType);

    // --- Group ownership and directory creation ---------------------------
    bool ChangeUnixOwner(const char* pszPath, unsigned int nMode, bool bIsDirectory);
    // ChangeUnixOwner on a file the caller holds open (fd); pszPath only
    // names it in the log. Fails when fd is negative.
    bool ChangeOwnerOfOpenFile(int fd, const char* pszPath, unsigned int nMode, bool bIsDirectory);
    bool CreateFullPath(const char* pszPath, bool bChangeOwner, bool bUseParentMode);
    void RestoreDirPermissions(const char* pszDir);

    // --- Definition dates ----------------------------------------------------
    DuResult GetDefDate(const char* pszDir, WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev,
                        bool bText);
    bool CreateDefDirName(const char* pszDir, char* pszName, size_t nSize, bool bText);
    bool DefsAreNewer(const char* pszDir1, const char* pszDir2, bool bText1, bool bText2);
    bool DefsAreNewerOrSameAge(const char* pszDir1, const char* pszDir2);
    bool IncrementDefVersion(const char* pszDir, bool bText);
    bool DirsAreSame(const char* pszPath1, const char* pszPath2);

    // --- Store transactions (store_lock.cpp) --------------------------------
    // Takes the store-wide lock (flock on the definitions directory) that
    // every read-decide-write sequence of a mutating command holds; blocks
    // until it is free. Re-entrant within the process. *pLockedDir receives
    // the directory locked, for DuUnlockStore (the scoped StoreTransaction
    // in store_internal.h does both). A store removed while this process
    // waited is made anew and *pbRenewed set: values read before are stale.
    // False when there is no definitions directory or it cannot be locked.
    bool LockStore(bool* pbRenewed, std::string* pLockedDir);

    // --- Lock files ----------------------------------------------------------
    bool TakeFileLock(const char* pszDir, const char* pszName, DWORD* phLock);
    void RemoveFileLock(const char* pszDir, const char* pszName, DWORD hLock);
    bool LockIncomingDir();
    void UnLockIncomingDir();
    bool LockSkyfetcher();
    void UnLockSkyfetcher();
    void GetIncomingDir(char* pszDir, size_t nSize);

    // --- Newest and current queries -----------------------------------------
    DuResult GetNewestDefs(char* pszDir, size_t nSize, bool bProcessIncoming);
    bool GetNewestDefsDate(WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev);
    bool GetCurrentDefs(char* pszDir, size_t nSize);
    bool GetCurrentDefsDate(WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev);
    bool DefsAreNewest(bool* pbNewest);
    DuResult DefsInDirAreNewest(const char* pszDir, bool* pbNewest);
    bool DefsDirIsNewest(const char* pszDir);
    bool GetSectionNameFromKey(char* pszSection, size_t nSize, const char* pszKey,
                               const char* pszFile);
    bool RebuildUsageFile();
    DuResult ProcessIncomingDir();

    // --- Hub directories -----------------------------------------------------
    bool GetHubDirectory(char* pszDir, size_t nSize, DWORD nKind);
    bool CreateHubDirectory(DWORD nKind);
    bool GetMicroDefLastUpdateValue(bool* pbValue, DWORD nKind);
    bool SetMicroDefLastUpdateValue(bool bValue, DWORD nKind);
    bool GetBinHubDefsDate(WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev);

    // --- Presence checks and file sets --------------------------------------
    bool ProcessAllDefFiles(FileCallback pfnOperation, const char* pszDir, void* pContext,
                            bool bCheckSet);
    DuResult ProcessCatalogFiles(FileCallback pfnOperation, const char* pszDir,
                                 const char* pszSection, void* pContext, const char* pszCatalogDir);
    bool CopyFilesCallback(const char* pszPath, void* pContext);    // DuCopyContext*
    bool DeleteFileCallback(const char* pszPath, void* pContext);   // bool* all-deleted
    bool DeleteFilesCallback(const char* pszPath, void* pContext);  // DuCleanupKeep* or null
    bool FileExistsCallback(const char* pszPath, void* pContext);   // char[4096] first missing
    bool AllDefsArePresent(const char* pszDir);
    bool AllHubFilesArePresent(const char* pszDir, DWORD nType);
    DuResult WillIntegrateDirInternal(const char* pszDir, bool* pbWillIntegrate);
    bool WillIntegrateDir(const char* pszDir, bool* pbWillIntegrate);
    bool DirIsEmpty(const char* pszDir);
    bool DataFileIsEmpty(const char* pszFile);
    bool SectionIsEmpty(const char* pszSection, const char* pszFile);

    // --- Removal and cleanup --------------------------------------------------
    bool StopUsingDefs();
    void FullCleanup();
    void DeleteNewestDefs();
    void RemoveUnusedDirectory(const char* pszDir);
    bool DeleteDefsAndDirectory(const char* pszDir, bool bCheckSet);
    bool DeleteAllDefs(const char* pszDir, bool bCheckSet);
    void DeleteCleanupFiles(const char* pszDir);
    void DeleteTmpDirs(const char* pszDir);
    void DeleteHubDirectories();
    bool GetTempUpdateDir(char* pszDir, size_t nSize);
    bool CreateDefLocDataFile(const char* pszDefsDir);
    void RemoveDefLocDataFile();

    // --- Integration of new sets ---------------------------------------------
    DuResult IntegrateDefs(const char* pszSourceDir, bool bText);
    bool UpdateNewestDefs(const char* pszNewDir, bool bRotate);
    bool CopyAllDefs(const char* pszSourceDir, const char* pszDestDir);
    bool CopyDefs(const char* pszSourceDir, const char* pszDestDir);

    // --- Usage registration ----------------------------------------------------
    bool UpdateUsageFile(const char* pszOldDir, const char* pszNewDir, bool bAllowMissing,
                         bool* pbOldDirEmptied);
    bool SetDefs(const char* pszDir, bool bAllowMissing);
    bool SetCurrentDefs(const char* pszDir);
    bool UseNewestDefs(char* pszDir, size_t nSize, bool* pbChanged);
    bool UseNewestDefs(bool* pbChanged);
    void RemoveEmptyKey(const char* pszName);

    // --- Full-set install pipeline, restore ------------------------------------
    bool CreateNewDefsLoc(char* pszDir, size_t nSize);
    DuResult PreDefUpdateInternal(char* pszDir1, size_t nSize1, char* pszDir2, size_t nSize2,
                                  DWORD nType);
    bool PreDefUpdate(char* pszDir1, size_t nSize1, DWORD nType);
    bool PostDefUpdate(bool bSkipIntegrateCheck);
    DuResult InstallMicroDefHubFiles(const char* pszDir);
    bool RestoreLastDefs();
    bool RevertToLastGoodDefs();

    // --- Microdefs pipeline and patch library ----------------------------------
    bool DetermineMicroDefChannel(const char* pszDirName, const char* pszPrefix, char* pszOut,
                                  size_t nOutSize);
    DuResult PreMicroDefUpdateInternal(char* pszPatchHubDir, size_t nHubSize,
                                       char* pszPatchDirectDir, size_t nDirectSize,
                                       char* pszVersion, size_t nVersionSize, bool* pbHubIsOk,
                                       DWORD nType);
    bool PreMicroDef25Update(char* pszPatchHubDir, size_t nHubSize, char* pszPatchDirectDir,
                             size_t nDirectSize, char* pszVersion, size_t nVersionSize,
                             bool* pbHubIsOk, DWORD nType);
    bool PreMicroDefUpdate(char* pszPatchHubDir, size_t nHubSize, char* pszVersion,
                           size_t nVersionSize, bool* pbFlag, bool* pbHubIsOk, DWORD nType);
    DuResult PostMicroDefUpdateInternal(CProgress* pProgress, bool bProcess,
                                        const char* pszPatchDllName);
    bool PostMicroDef25Update(const char* pszPatchDllName, CProgress* pProgress, bool bProcess);
    bool PostMicroDefUpdate(CProgress* pProgress, bool bProcess);
    bool DefsInPatchTargetDirAreNewest(const char* pszDir);
    // Loads the patch library and creates one patch object: the 3.0 one when
    // the library exports it, else the older one. The caller closes *phDll
    // (also on failure) and releases the object.
    DuResult CreatePatchAppInstance(const char* pszDllName, void** phDll,
                                    IPatchApplication** ppObjPatchApp,
                                    IPatchApplication30** ppObjPatchApp30);

    // --- Path helpers (use none of the object's state) ----------------------
    static bool FileExists(const char* pszPath);
    static int OpenFileAnyCase(const char* pszPath, int nFlags, mode_t nMode);
    static char* TrimSpaces(char* psz);
    static char* StripNewline(char* psz);
    static char* StripCarriageReturn(char* psz);
    static char* StripTrailingSlash(char* psz);
    // On success *ppBuffer receives a malloc'ed list the caller frees.
    static DuResult ReadCatalogSection(const char* pszFile, const char* pszSection,
                                       char** ppBuffer);
    static DWORD GetPrivateProfileSection(const char* pszSection, char* pszBuffer, DWORD nSize,
                                          const char* pszFile);

private:
    void OpenLogFile();
    // Reads CurDefs and LastDefs into m_pszWithdrawn* and deletes
    // definfo.dat, so that nothing names the sets a full clean-up is about
    // to delete; DeleteNewestDefs then works from the withdrawn values.
    void WithdrawDefInfo();
    // Writes LastBinUpdate=0 (and the text hub's mark) into an existing
    // defutils configuration, without a log line (hubs.cpp).
    void ClearMicroDefMarks();
    // IntegrateDefs' copy of the newest set into a new set directory,
    // leaving out what the source directory will replace (integration.cpp).
    bool SeedNewDefs(const char* pszNewestDir, const char* pszTargetDir, const char* pszSourceDir);
    bool SeedFileCallback(const char* pszPath, void* pContext);  // SeedContext*

    // Strings are owned heap copies; null means not set.
    DuString m_pszAppID;
    DuString m_pszDefsDir;
    DuString m_pszUpdateDir;
    DuString m_pszDirectPatchUpdateDir;
    DuString m_pszAppInstallDir;
    DuString m_pszContentType;
    DWORD m_hIncomingLock;
    DWORD m_hSkyfetcherLock;
    DWORD m_nUpdateType;
    bool m_bRevertFlag;  // always false: no revert policy exists yet
    bool m_bAltContent;
    DuResult m_duLastResult;
    // Nothing reads the content data and shared names or the three registry
    // names back; building them still decides InitBase's and SetupNames'
    // results when an allocation fails, so they stay.
    DuString m_pszContentDataName;
    DuString m_pszContentDefsSubdir;
    DuString m_pszContentSharedName;
    DuString m_pszMicroDefsSection;
    DuString m_pszSfRegName;
    DuString m_pszSfBinRegName;
    DuString m_pszIncrRegName;
    std::unique_ptr<FILE, DuFileCloser> m_pLogFile;
    DuString m_pszLogFileName;
    CLogCallback* m_apLogCallbacks[MAX_LOG_CALLBACKS];
    DuString m_pszWithdrawnCur;
    DuString m_pszWithdrawnLast;
    // The set the last IntegrateDefs made CurDefs, for the hub copy after it.
    DuString m_pszIntegratedName;

    friend class CDefUtilsTestAccess;
};

// Heap copy of a string (null for null, or on allocation failure).
DuString DuStrDup(const char* psz);
