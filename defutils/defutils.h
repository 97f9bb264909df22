// The store manager: one object per command, holding the paths and names
// every store operation needs, the lock-file handles, the last result code
// and the debug log. It administers one machine's shared store of
// definition sets: several applications, each known by an AppId, use the
// sets of one directory tree; the store installs sets, registers AppIds,
// answers queries, removes what nobody uses and restores the previous set.
//
// On disk
// -------
// The names are spelled once, in defutils/store_layout.h. In brief:
//
//   <BaseDir>                 "BaseDir" of /etc/Tarvolix.conf; the store
//                             boundary (platform/boundary.h)
//     virusdefs/              the definitions directory of the default
//                             content; tvlxdata/<type>/ for a content type
//       definfo.dat           [DefDates] CurDefs=<newest set>,
//                             LastDefs=<the set newest before it>
//       usage.dat             [<set>] one "<AppId>=1" per user of the set
//       YYYYMMDD.RRR/         one definition set, named from the date in
//                             its main file; catalog.dat lists its files
//       incoming/             a set dropped here is integrated by the next
//                             query that processes it; inlock.dat
//       binhub/, texthub/     the base sets microdefs are applied to
//                             (texthub for the default content only)
//       tmp<hex>/             temporary directories of one update
//       sflock.dat            the update client lock
//       <name>.log            the debug log, when one is configured
//
// /etc/tvlx-defutils.conf names the debug log and records whether the last
// update of each hub succeeded; defloc.dat in an application's install
// directory tells it where the store is. Below BaseDir every path is
// resolved without following a link (platform/boundary.h): the tree is
// writable by the store's group while the tool runs as root.
//
// Calling order
// -------------
// Construct (reads BaseDir, creates the definitions directory when
// missing, opens the debug log), optionally ContentTypeExists, then
// InitBase (content type or null), then InitWindowsApp (AppId) or
// InitInstallApp; then the store operations; destroy. Nothing in the object
// survives a run: the store's state lives in its files and is re-read by
// every query.
//
// Errors are values: operations return a DuResult (below 32 is success) or
// a bool. Only the methods whose comment below says "Records" store their
// code in m_duLastResult, which GetLastResult and the name look-ups read;
// the others leave it alone. Nothing is thrown. Operations write start and
// end lines through WriteLog; the log goes to the file named in
// tvlx-defutils.conf and to up to five registered callbacks.
//
// The object owns every string it holds and its log stream. Lock files are
// NOT released by the destructor: the operations that take them release
// them (see below).
//
// Concurrent callers
// ------------------
// Commands run in separate processes against the same files. Three locks
// keep them apart:
//
// 1. The profile engine (platform/profile.h), through which every
//    bookkeeping file is read and written, takes an fcntl record lock on
//    the file for one call: shared to read, exclusive to write, blocking.
//    A write loads the file, edits it in memory and puts it back in one
//    write(2) at offset 0 while it holds the exclusive lock, so a reader
//    sees the whole file as it was before or after each call. Record
//    locks belong to the process and vanish when any of its descriptors of
//    the file is closed, so the engine keeps at most one open, under a
//    process-wide mutex.
//
// 2. The store lock (LockStore, store_lock.cpp): flock(2) on the
//    definitions directory, exclusive and blocking, re-entrant per process
//    and per store. One profile call is atomic; a read-decide-write sequence
//    is not, so the sequences of the mutating commands run under this lock:
//    the switch of CurDefs in IntegrateDefs, the registration of
//    UseNewestDefs, all of StopUsingDefs, RestoreLastDefs, and in
//    PostDefUpdate the hub copy and the removal of a store a failed first
//    install left empty. It is held for bookkeeping, never across the copy
//    of a set into its directory, a patch run or a run of the update
//    client; the hub copy after an install is the one copy made under it,
//    so that parallel installs cannot mix their hubs. The kernel drops it
//    when the process dies, so a killed command never leaves it held. A
//    store removed while a process waited is made anew and the waiter is
//    told to re-read what it read before (StoreTransaction::renewed).
//
// 3. Lock files (file_locks.cpp): "inlock.dat" in the incoming directory
//    (held by ProcessIncomingDir while it integrates a waiting set) and
//    "sflock.dat" in the definitions directory (held by a microdefs run
//    from PreMicroDef25Update to PostMicroDef25Update, across the update
//    client). A lock file is created exclusively and never waited for:
//    taking a held one fails at once. A killed holder leaves it behind, so
//    one whose modification time is 1800 s old or more (more than 1799 s)
//    counts as abandoned and is broken; a guard file, the lock's path plus
//    ".l2", makes examining and breaking it exclusive, so two processes
//    cannot both break the same stale lock.
//
// So the sequences listed under 2 never interleave, a registration never
// loses another one, and CurDefs never goes back to an older set because
// two installs finished out of order.
//
// Not guaranteed:
// - Queries take no store lock: a command that reads definfo.dat and then
//   usage.dat can see one before and one after another command's sequence.
// - The building blocks (SetDefs, SetCurrentDefs, UpdateUsageFile,
//   UpdateNewestDefs, FullCleanup, the deletions) take no store lock of
//   their own; only the sequences listed under 2 do.
// - A sequence whose store lock cannot be taken (no definitions directory,
//   flock failing) runs without it; no caller checks StoreTransaction::held.
// - Copies, patch runs and the update client run unlocked. A set being
//   built can lose files to a parallel removal of the store; IntegrateDefs
//   then finds it incomplete and does not publish it.
// - Lock files are not refreshed: a holder that runs longer than half an
//   hour can have its lock broken, and RemoveFileLock deletes whatever lock
//   file has the name. TakeFileLock never ages a guard file: a ".l2" left
//   by a process killed while examining blocks breaking that lock.
// - Nothing is fsync'ed: the orderings below survive a killed process, not
//   a power loss.
//
// After a crash
// -------------
// Each step is ordered so that a command killed at any point leaves a
// store the next command can use:
// - A set becomes CurDefs only when complete: it is copied into its dated
//   directory first, and IntegrateDefs switches definfo.dat to it under the
//   store lock only after checking that every file its catalog lists is
//   there. A killed install leaves a directory nothing names.
// - A CurDefs naming a missing directory, or one without its catalog.dat,
//   counts as no newest set (GetNewestDefs: DU_E_MISSING_DEF_DIR), so the
//   next install of that set rebuilds it instead of taking it for a repeat.
// - The rotation writes CurDefs, then LastDefs, and only then removes the
//   set that was LastDefs.
// - A registration writes the AppId's new entry before it sweeps the old
//   one: a kill in between leaves the AppId in two sections, never in none.
// - The last StopUsingDefs withdraws definfo.dat before any set is
//   deleted: a kill on the way leaves a store that names no set rather than
//   one naming a half-deleted set.
// - The hub copy clears the hubs' "last update succeeded" marks first and
//   sets them after the copy, so a cut-short copy makes the next microdefs
//   run ask for a full base.
// - A profile write is one write(2) of the whole file followed by a cut
//   to length; a kill before the cut leaves blank lines, never a fragment
//   of an old line.
// Leftovers of killed commands are swept by defutils/store_sweep.cpp.
//
// Example: where "-n" writes the AppId
// ------------------------------------
// cli/handlers.cpp DoNewest checks the content type, calls InitBase and
// InitWindowsApp, then UseNewestDefs (registration.cpp). That finds the
// newest set (GetNewestDefs, integrating a waiting incoming set first;
// outside the store lock, since integrating copies), takes the store lock,
// re-reads CurDefs if it changed meanwhile, and through SetDefs and
// UpdateUsageFile writes "<AppId>=1" into the section [<newest set>] of
// <definitions dir>/usage.dat, then removes the AppId from every other
// section, dropping sections left empty; a set that lost its last user and
// is neither CurDefs nor LastDefs is deleted. Two -n running at once queue
// on the store lock: each registers in the set that is newest while it
// holds the lock, and neither loses the other's entry.
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

// Update types recorded by the pre-update steps. DU_INSTALL (installs and
// full updates) writes defloc.dat and primes the hubs after integrating;
// DU_ONLINE_UPDATE (microdefs) holds the update client lock, sflock.dat,
// from the pre-update step to the post-update step.
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

    // Reads BaseDir, registers it as the store boundary, creates the
    // definitions directory when missing (SetDefsDir), opens the debug log
    // and sets the default names. Records. Without a BaseDir the object
    // stays usable and each operation reports the missing directory.
    CDefUtils();
    // Frees the strings and closes the log; releases no lock file.
    virtual ~CDefUtils();

    CDefUtils(const CDefUtils&) = delete;
    CDefUtils& operator=(const CDefUtils&) = delete;

    // --- Result names and debug log (result_codes.cpp, debug_log.cpp) -----
    // The constant's name ("DU_E_GENERAL"), or "" for a code without one.
    static const char* GetResultName(DuResult code);
    static const wchar_t* GetResultNameW(DuResult code);
    // The name of m_duLastResult.
    const char* GetLastResultName() const;
    const wchar_t* GetLastResultNameW() const;
    // Copies the name, cut to nSize; false for a code without a name.
    static bool CopyResultName(DuResult code, char* pszBuffer, int nSize);
    DuResult GetLastResult() const { return m_duLastResult; }

    // Adds a log receiver to the first free of MAX_LOG_CALLBACKS slots (not
    // owned). DU_E_INVALID_PARAMETER, DU_E_LOG_CALLBACKS_FULL. Records.
    DuResult AddLogCallback(CLogCallback* pCallback);
    // DU_E_INVALID_PARAMETER, DU_E_MISSING_LOG_CALLBACK. Records.
    DuResult RemoveLogCallback(CLogCallback* pCallback);
    // One line, "<object address> " and the message, cut to 8191 bytes in
    // all, to the log file (flushed at once) and every callback. Formats
    // nothing when there is neither.
    void WriteLog(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

    // --- Initialisation (store_object.cpp) ---------------------------------
    // Switches to a content type (null or "" for the default content):
    // names, definitions directory <BaseDir>/tvlxdata/<type>, created when
    // missing. A type refused by the input checks leaves no store at all
    // (DU_E_INVALID_PARAMETER), rather than the default one the caller did
    // not ask for. Records.
    bool InitBase(const char* pszContentType);
    // Sets the AppId after the input checks (DU_E_INVALID_PARAMETER);
    // DU_E_MISSING_DEF_BASE_DIR when there is no definitions directory (the
    // AppId is kept). Records.
    bool InitWindowsApp(const char* pszAppID);
    // InitWindowsApp for an installer: also remembers pszInstallDir (one
    // trailing "/" dropped; ignored when missing) for defloc.dat. Does not
    // need a definitions directory. Records.
    bool InitInstallApp(const char* pszAppID, const char* pszInstallDir);
    // Sets the install-directory names derived from a content type (null:
    // the default ones). Nothing in the store reads them; they are kept for
    // compatibility. DU_E_MEM_ALLOC or DU_S_OK.
    DuResult SetupNames(const char* pszName);
    // Replaces the definitions directory with what GetVirusDefsDir finds
    // now (none without a BaseDir, still DU_S_OK); DU_E_MEM_ALLOC.
    DuResult SetDefsDir();
    // <BaseDir>/virusdefs or <BaseDir>/tvlxdata/<type>, created with the
    // store group when missing; false without a BaseDir or when it cannot
    // be created.
    bool GetVirusDefsDir(char* pszDir, size_t nSize);
    // BaseDir of /etc/Tarvolix.conf; true when it exists. Without a BaseDir
    // the buffer is left as it was.
    bool GetBaseDir(char* pszDir, size_t nSize);
    // True when the type passes the input checks and its directory exists;
    // creates nothing, so a command can refuse a type before InitBase would
    // create its store.
    bool ContentTypeExists(const char* pszContentType);

    // --- Group ownership and directory creation (ownership.cpp) ------------
    // Gives an existing file or directory the store group and nMode (cut to
    // 0777 for a directory, 0666 for a file); the owner stays. Works on the
    // opened file, so below the boundary a link is refused, never followed.
    // Below the boundary a file with other hard links keeps its group and
    // mode, and passes only when it has them already. False when the group
    // does not exist or the path cannot be opened. Inside a walk (below)
    // the group is looked up once and its log lines replayed per file.
    bool ChangeUnixOwner(const char* pszPath, unsigned int nMode, bool bIsDirectory);
    // ChangeUnixOwner on a file the caller holds open (fd); pszPath only
    // names it in the log. Fails when fd is negative.
    bool ChangeOwnerOfOpenFile(int fd, const char* pszPath, unsigned int nMode, bool bIsDirectory);
    // Creates each missing directory of pszPath. With bChangeOwner each new
    // one gets the store group and 0770 (or its parent's mode with
    // bUseParentMode), and one that cannot is removed again; without, 0755.
    // True when the path exists already; existing directories are left.
    bool CreateFullPath(const char* pszPath, bool bChangeOwner, bool bUseParentMode);
    // Gives pszDir and the files directly in it the store group and the
    // mode of pszDir's parent (what a patch run may have changed).
    void RestoreDirPermissions(const char* pszDir);

    // --- Definition dates (def_dates.cpp) ------------------------------------
    // Date and revision from the 32-byte header of pszDir's virscan1.dat
    // (virscant.dat with bText), the file name in any letter case.
    // DU_E_VIRSCAN1_OPEN, DU_E_VIRSCAN1_READ, DU_E_FILE_FORMAT (short file,
    // date out of range, revision above 999; the outputs are then zero).
    DuResult GetDefDate(const char* pszDir, WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev,
                        bool bText);
    // The set directory name "YYYYMMDD.RRR" for the set in pszDir.
    bool CreateDefDirName(const char* pszDir, char* pszName, size_t nSize, bool bText);
    // True when pszDir1's set is strictly newer. An unreadable set never
    // wins; a readable one beats an unreadable one.
    bool DefsAreNewer(const char* pszDir1, const char* pszDir2, bool bText1, bool bText2);
    // As DefsAreNewer on the main files, but a tie is true as well.
    bool DefsAreNewerOrSameAge(const char* pszDir1, const char* pszDir2);
    // Adds one to the revision in the header, in place, keeping the file's
    // times; no range check, as a distinct revision is all that is wanted.
    bool IncrementDefVersion(const char* pszDir, bool bText);
    // Byte comparison of the two strings; no normalisation.
    bool DirsAreSame(const char* pszPath1, const char* pszPath2);

    // --- Store transactions (store_lock.cpp) --------------------------------
    // Takes the store-wide lock (flock on the definitions directory) that
    // the read-decide-write sequences of the mutating commands hold (see
    // the top of this file); blocks until it is free. Released by
    // DuUnlockStore, or by the kernel when the process dies. Re-entrant
    // within the process. *pLockedDir receives the directory locked, for
    // DuUnlockStore (the scoped StoreTransaction in store_internal.h does
    // both). A store removed while this process waited is made anew and
    // *pbRenewed set: values read before are stale.
    // False when there is no definitions directory or it cannot be locked.
    bool LockStore(bool* pbRenewed, std::string* pLockedDir);

    // --- Lock files (file_locks.cpp) -----------------------------------------
    // Creates <pszDir>/<pszName> exclusively; never waits. When it exists,
    // breaks it if it is 1800 s old or more, under the ".l2" guard, and
    // tries once more. *phLock is non-zero on success. Refuses an empty
    // directory (the lock would land in the working directory).
    bool TakeFileLock(const char* pszDir, const char* pszName, DWORD* phLock);
    // Deletes the lock file, whoever holds it; hLock is not consulted.
    void RemoveFileLock(const char* pszDir, const char* pszName, DWORD hLock);
    // inlock.dat in the incoming directory: TakeFileLock, released by
    // UnLockIncomingDir. ProcessIncomingDir takes and releases it.
    bool LockIncomingDir();
    void UnLockIncomingDir();
    // sflock.dat in the definitions directory: taken by PreDefUpdateInternal
    // for DU_ONLINE_UPDATE and released by PostDefUpdate or
    // PostMicroDefUpdateInternal (or the pre step's own failure), so it
    // spans the update client's run.
    bool LockSkyfetcher();
    void UnLockSkyfetcher();
    // "<definitions dir>/incoming"; the buffer is left as it was when there
    // is no definitions directory.
    void GetIncomingDir(char* pszDir, size_t nSize);

    // --- Newest and current queries (queries.cpp) -----------------------------
    // "<definitions dir>/<CurDefs>" into pszDir, after ProcessIncomingDir
    // when bProcessIncoming (whose success codes are passed on). Success
    // with an empty pszDir when CurDefs is absent or blank.
    // DU_E_MISSING_DEF_BASE_DIR, DU_E_MISSING_DEFINFO, DU_E_MISSING_DEF_DIR
    // (CurDefs not a plain name, or its directory or catalog.dat missing;
    // pszDir still holds the path). Writes nothing but what the incoming
    // processing does; no store lock of its own.
    DuResult GetNewestDefs(char* pszDir, size_t nSize, bool bProcessIncoming);
    // The newest set's date, incoming processed first. Records.
    bool GetNewestDefsDate(WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev);
    // "<definitions dir>/<set>" for the first section of usage.dat (in file
    // order) that holds the AppId; true when that directory exists. Needs
    // an AppId and usage.dat. Reads only; no store lock.
    bool GetCurrentDefs(char* pszDir, size_t nSize);
    // The AppId's set's date. DU_E_MISSING_APPID, DU_E_GENERAL (no set), or
    // GetDefDate's code. Records.
    bool GetCurrentDefsDate(WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev);
    // *pbNewest: the AppId's set is the newest set (incoming processed
    // first). False when either is unknown. Records (DU_S_OK,
    // DU_S_AUTH_FAILED_USING_OLD, GetNewestDefs' failure or DU_E_GENERAL).
    bool DefsAreNewest(bool* pbNewest);
    // *pbNewest: pszDir's set is strictly newer than the newest set
    // (incoming processed first), or there is no usable newest set, in
    // which case the result is DU_S_OK. Otherwise GetNewestDefs' code.
    DuResult DefsInDirAreNewest(const char* pszDir, bool* pbNewest);
    // True when the last component of pszDir is CurDefs or LastDefs, the
    // two sets no clean-up may delete.
    bool DefsDirIsNewest(const char* pszDir);
    // First section of pszFile (plain set names only; the first 10000 bytes
    // of the name list) holding pszKey, trimmed.
    bool GetSectionNameFromKey(char* pszSection, size_t nSize, const char* pszKey,
                               const char* pszFile);
    // Always false: which AppId used which set is recorded nowhere else.
    bool RebuildUsageFile();
    // When incoming/ holds a visible entry: takes inlock.dat (else
    // DU_S_INCOMING_LOCK_FAILED), integrates the set when its catalog's
    // files are all there and then deletes the incoming files whatever the
    // outcome, releases the lock. An incomplete set waits for a later run.
    // Never a failure code: DU_S_INCOMING_AUTH_FAILED for an integration
    // refused as unauthentic, else IntegrateDefs' success or DU_S_OK.
    DuResult ProcessIncomingDir();

    // --- Hub directories (hubs.cpp) -------------------------------------------
    // "<definitions dir>/binhub" (DU_BINARY) or ".../texthub" (any other
    // kind); true when it exists.
    bool GetHubDirectory(char* pszDir, size_t nSize, DWORD nKind);
    // Creates the hub and gives it, new or not, the store group and the
    // definitions directory's mode; one that cannot get them is removed.
    bool CreateHubDirectory(DWORD nKind);
    // The hub's "last update succeeded" mark in tvlx-defutils.conf
    // (LastBinUpdate or LastTextUpdate of this content's microdefs section):
    // *pbValue true only for exactly "1". False when the key has no value.
    bool GetMicroDefLastUpdateValue(bool* pbValue, DWORD nKind);
    // Writes the mark as "1" or "0", giving an existing file the store
    // group first.
    bool SetMicroDefLastUpdateValue(bool bValue, DWORD nKind);
    // GetDefDate of the binary hub.
    bool GetBinHubDefsDate(WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev);

    // --- Presence checks and file sets (file_sets.cpp) ------------------------
    // Applies pfnOperation to every file of pszDir (not subdirectories, not
    // inlock.dat) until one returns false. With bCheckSet a directory with
    // none of virscan1.dat, virscant.dat, hub.scr, cur.scr is refused,
    // so a delete walk cannot empty something that is not a set. A walk
    // (this or ProcessCatalogFiles) looks up the store group, the copy
    // destination's mode and the base directory once, not once per file.
    bool ProcessAllDefFiles(FileCallback pfnOperation, const char* pszDir, void* pContext,
                            bool bCheckSet);
    // Applies pfnOperation to <pszDir>/<entry> for each entry of pszSection
    // in the catalog.dat of pszCatalogDir (pszDir when null); entries are
    // cut to their base name. DU_E_MISSING_CATALOG_FILE, DU_E_FILE_FORMAT
    // (section missing or too long), DU_E_GENERAL (an operation failed),
    // DU_E_INVALID_PARAMETER.
    DuResult ProcessCatalogFiles(FileCallback pfnOperation, const char* pszDir,
                                 const char* pszSection, void* pContext, const char* pszCatalogDir);
    // Copies one file to the context's directory under its lower-case name,
    // keeping its times and giving it the store group and the directory's
    // mode (without execute bits). A failure clears bAllCopied; it stops
    // the walk only with bOverwrite.
    bool CopyFilesCallback(const char* pszPath, void* pContext);  // DuCopyContext*
    // Deletes one file; always true, a failure only clears the flag.
    bool DeleteFileCallback(const char* pszPath, void* pContext);  // bool* all-deleted
    // Deletes every file matching a wildcard pattern except the kept ones;
    // always true.
    bool DeleteFilesCallback(const char* pszPath, void* pContext);  // DuCleanupKeep* or null
    // True when the file exists; else false with the path in the context.
    bool FileExistsCallback(const char* pszPath, void* pContext);  // char[4096] first missing
    // Every file the [Files] section of pszDir's catalog lists is there.
    bool AllDefsArePresent(const char* pszDir);
    // Every hub file of the binary hub's catalog is in pszDir: for
    // DU_BINARY both binary sections, else the text section.
    bool AllHubFilesArePresent(const char* pszDir, DWORD nType);
    // *pbWillIntegrate: pszDir's set is newer than the newest set (see
    // DefsInDirAreNewest) and complete; DU_E_MISSING_FILES when newer but
    // incomplete, DU_E_INVALID_PARAMETER.
    DuResult WillIntegrateDirInternal(const char* pszDir, bool* pbWillIntegrate);
    // WillIntegrateDirInternal. Records.
    bool WillIntegrateDir(const char* pszDir, bool* pbWillIntegrate);
    // True when no entry is there but ones whose names begin with "."; an
    // unreadable directory counts as empty.
    bool DirIsEmpty(const char* pszDir);
    // True when the profile file is missing or has no section.
    bool DataFileIsEmpty(const char* pszFile);
    // True when the file or the section is missing, or the section empty.
    bool SectionIsEmpty(const char* pszSection, const char* pszFile);

    // --- Removal and cleanup (cleanup.cpp) --------------------------------------
    // Uninstall of the AppId, all of it under the store lock: removes its
    // entry from usage.dat (dropping the section left empty). When usage.dat
    // has no section left, withdraws definfo.dat, deletes the set, drops
    // this content's microdefs section from tvlx-defutils.conf and removes
    // the store (FullCleanup); otherwise deletes the set when it lost its
    // last user and is neither CurDefs nor LastDefs. Then removes
    // defloc.dat. DU_E_MISSING_DEF_BASE_DIR, DU_E_MISSING_APPID,
    // DU_E_APPID_NOT_REGISTERED when the AppId has no set. Records.
    bool StopUsingDefs();
    // Deletes the CurDefs and LastDefs sets, definfo.dat, usage.dat, the
    // incoming, hub and tmp directories, then the definitions directory
    // (and tvlxdata when left empty) if nothing else is in it; forgets the
    // definitions directory. Best effort; no lock of its own.
    void FullCleanup();
    // Deletes the sets CurDefs and LastDefs name (the values StopUsingDefs
    // withdrew, when it did).
    void DeleteNewestDefs();
    // Deletes the set at pszDir unless CurDefs or LastDefs names it or its
    // usage.dat section has an entry (a missing usage.dat has none).
    void RemoveUnusedDirectory(const char* pszDir);
    // Deletes the files of pszDir (see ProcessAllDefFiles for bCheckSet),
    // then the directory; true when the directory went. Subdirectories and
    // a held inlock.dat keep it.
    bool DeleteDefsAndDirectory(const char* pszDir, bool bCheckSet);
    // Deletes the files of pszDir; true when all went. Refuses a link.
    bool DeleteAllDefs(const char* pszDir, bool bCheckSet);
    // Deletes what the [Cleanup Files] patterns of pszDir's catalog match,
    // never the catalog or a file its [Files] section lists.
    void DeleteCleanupFiles(const char* pszDir);
    // Deletes the "tmp*" directories directly in pszDir; their files only
    // when they look like a set (see ProcessAllDefFiles).
    void DeleteTmpDirs(const char* pszDir);
    // Deletes binhub and texthub.
    void DeleteHubDirectories();
    // Creates a fresh "<definitions dir>/tmp<hex>" (up to 50 random names).
    bool GetTempUpdateDir(char* pszDir, size_t nSize);
    // Writes [DefBaseLocation] Location=<pszDefsDir> into defloc.dat of the
    // install directory given to InitInstallApp. True and nothing written
    // for a content type or without an install directory.
    bool CreateDefLocDataFile(const char* pszDefsDir);
    // Deletes that defloc.dat, under the same conditions.
    void RemoveDefLocDataFile();

    // --- Integration of new sets (integration.cpp) ------------------------------
    // Makes the flat set in pszSourceDir the newest set. Outside the store
    // lock: names it from its header date, creates <definitions dir>/<name>,
    // seeds a new directory from the newest set, copies the source over it
    // and deletes its clean-up files (DU_E_FILE_COPY when a copy fails).
    // Under the store lock: DU_S_FALSE when CurDefs has meanwhile become a
    // newer set, DU_E_FILE_COPY when the set is not complete, else
    // UpdateNewestDefs with rotation. A directory this call made and did
    // not publish is deleted. Also DU_E_GENERAL, DU_E_DEFINFO_UPDATE. An
    // existing directory of that name is not seeded but refreshed, best
    // effort. Does not record.
    DuResult IntegrateDefs(const char* pszSourceDir, bool bText);
    // Writes CurDefs=<last component of pszNewDir> into definfo.dat; with
    // bRotate, LastDefs=<previous CurDefs> (the new name when there was
    // none) and the previous LastDefs set goes through
    // RemoveUnusedDirectory. A definfo.dat it creates gets the store group
    // or is deleted again. No lock of its own: its callers hold the store
    // lock.
    bool UpdateNewestDefs(const char* pszNewDir, bool bRotate);
    // Copies every file of pszSourceDir, replacing existing ones; true only
    // when every copy succeeded.
    bool CopyAllDefs(const char* pszSourceDir, const char* pszDestDir);
    // Copies the files of a directory that looks like a set, keeping files
    // already in pszDestDir; only the walk decides the result.
    bool CopyDefs(const char* pszSourceDir, const char* pszDestDir);

    // --- Usage registration (registration.cpp) ----------------------------------
    // Writes "<AppId>=1" into the section of pszNewDir's set in usage.dat,
    // then removes the AppId from every other section and drops those left
    // empty (*pbOldDirEmptied when pszOldDir's was). Without bAllowMissing
    // the new section must exist already. False when pszNewDir does not
    // exist. A usage.dat it creates gets the store group. No lock of its
    // own.
    bool UpdateUsageFile(const char* pszOldDir, const char* pszNewDir, bool bAllowMissing,
                         bool* pbOldDirEmptied);
    // Registers the AppId for pszDir (UpdateUsageFile) unless that is its
    // set already; the old set goes when it lost its last user and is
    // neither CurDefs nor LastDefs. No lock of its own.
    bool SetDefs(const char* pszDir, bool bAllowMissing);
    // SetDefs into a set that has users already. Takes no store lock.
    bool SetCurrentDefs(const char* pszDir);
    // Registers the AppId for the newest set; the "-n" sequence described
    // at the top of this file. Finds the newest set (incoming integrated
    // first) outside the store lock, then under it re-reads CurDefs when it
    // changed and calls SetDefs. pszDir receives the set, *pbChanged tells
    // whether the AppId moved. DU_E_MISSING_DEF_BASE_DIR,
    // DU_E_MISSING_APPID, DU_E_GENERAL; an AppId that keeps a set gets
    // GetNewestDefs' failure instead. Records.
    bool UseNewestDefs(char* pszDir, size_t nSize, bool* pbChanged);
    bool UseNewestDefs(bool* pbChanged);
    // Deletes the section pszName, whatever it holds, from
    // /etc/Tarvolix.conf.
    void RemoveEmptyKey(const char* pszName);

    // --- Full-set install pipeline, restore (install_pipeline.cpp, restore.cpp)
    // Creates a store where there is none, from the BaseDir of the
    // "tarvolix" section; sets the definitions directory.
    bool CreateNewDefsLoc(char* pszDir, size_t nSize);
    // Makes sure the store, incoming and hub directories exist (a type of 2
    // or more needs an existing store), writes defloc.dat for DU_INSTALL,
    // takes sflock.dat for DU_ONLINE_UPDATE, processes incoming, and
    // creates one temporary directory into pszDir1 (and one into pszDir2
    // when given) for the post step. On failure the temporary directories
    // and the lock go again; the store stays.
    // Success is ProcessIncomingDir's code; DU_E_MISSING_DEF_BASE_DIR,
    // DU_E_GENERAL, DU_E_SF_LOCK_FAILED, DU_E_CREATE_TEMP_DIR.
    DuResult PreDefUpdateInternal(char* pszDir1, size_t nSize1, char* pszDir2, size_t nSize2,
                                  DWORD nType);
    // PreDefUpdateInternal with one directory. Records.
    bool PreDefUpdate(char* pszDir1, size_t nSize1, DWORD nType);
    // Integrates the temporary directory when its set is newer than the
    // newest and complete (always with bSkipIntegrateCheck); under the
    // store lock, copies the hub files for DU_INSTALL when the set is still
    // CurDefs. Then, whatever happened: deletes the temporary directory,
    // releases sflock.dat for DU_ONLINE_UPDATE, and after a failure removes
    // a store that holds nothing (under the store lock). DU_E_GENERAL
    // without a pre-update step. Records.
    bool PostDefUpdate(bool bSkipIntegrateCheck);
    // Copies the hub files pszDir's catalog lists into binhub (and texthub
    // for the default content); the hubs' marks are cleared first and set
    // to "1" once the binary copy is done. No lock of its own.
    DuResult InstallMicroDefHubFiles(const char* pszDir);
    // Under the store lock: when LastDefs names an existing set other than
    // CurDefs, makes it CurDefs, deletes the former one when nobody uses it
    // and drops LastDefs, so a restore works once per integrated set.
    // AppIds are not moved. True when CurDefs was written.
    bool RestoreLastDefs();
    // Always true: nothing sets the revert flag.
    bool RevertToLastGoodDefs();

    // --- Microdefs pipeline and patch library (microdefs.cpp, patch_loader.cpp)
    // "<prefix>.<Mon>" from the year and month a set name starts with, or
    // "<prefix>.Old" when that is more than ten months ago or in the
    // future (by today's local date); false for a month out of range.
    bool DetermineMicroDefChannel(const char* pszDirName, const char* pszPrefix, char* pszOut,
                                  size_t nOutSize);
    // PreDefUpdateInternal (hub-delta and direct-delta directories), then
    // *pbHubIsOk (must not be null): binhub is complete and its mark is
    // "1". pszVersion gets the channel from binhub's date, or
    // "MicroDefsB.Error" with the mark set to "0".
    DuResult PreMicroDefUpdateInternal(char* pszPatchHubDir, size_t nHubSize,
                                       char* pszPatchDirectDir, size_t nDirectSize,
                                       char* pszVersion, size_t nVersionSize, bool* pbHubIsOk,
                                       DWORD nType);
    // PreMicroDefUpdateInternal; DU_E_INVALID_PARAMETER for a null buffer.
    // With DU_ONLINE_UPDATE the update client lock is held on success until
    // PostMicroDef25Update. Records.
    bool PreMicroDef25Update(char* pszPatchHubDir, size_t nHubSize, char* pszPatchDirectDir,
                             size_t nDirectSize, char* pszVersion, size_t nVersionSize,
                             bool* pbHubIsOk, DWORD nType);
    // The same with hub deltas only; *pbFlag is set true. Records.
    bool PreMicroDefUpdate(char* pszPatchHubDir, size_t nHubSize, char* pszVersion,
                           size_t nVersionSize, bool* pbFlag, bool* pbHubIsOk, DWORD nType);
    // With bProcess and a binhub: applies the direct deltas (when there
    // are any) to the newest set, else the hub deltas to binhub, into a
    // temporary directory, integrates the result when it is newer than the
    // newest set, and writes binhub's mark. No store lock but
    // IntegrateDefs' own. Then,
    // whatever happened: releases sflock.dat (DU_ONLINE_UPDATE), unloads
    // the library, deletes the temporary directories. DU_E_GENERAL,
    // DU_E_MISSING_PATCH_DLL, DU_E_APPLY_PATCH, IntegrateDefs' codes.
    DuResult PostMicroDefUpdateInternal(CProgress* pProgress, bool bProcess,
                                        const char* pszPatchDllName);
    // PostMicroDefUpdateInternal with the given library. Records.
    bool PostMicroDef25Update(const char* pszPatchDllName, CProgress* pProgress, bool bProcess);
    // The same with "libpatchapp.so". Records.
    bool PostMicroDefUpdate(CProgress* pProgress, bool bProcess);
    // True when pszDir's set is newer than the newest (by its main or its
    // text file), or there is no usable newest set; incoming processed
    // first.
    bool DefsInPatchTargetDirAreNewest(const char* pszDir);
    // Loads the patch library and creates one patch object: the 3.0 one when
    // the library exports it, else the older one. The caller closes *phDll
    // (also on failure) and releases the object. DU_E_MISSING_PATCH_DLL,
    // DU_E_GENERAL.
    DuResult CreatePatchAppInstance(const char* pszDllName, void** phDll,
                                    IPatchApplication** ppObjPatchApp,
                                    IPatchApplication30** ppObjPatchApp30);

    // --- Path helpers (path_helpers.cpp; use none of the object's state) ----
    // True when the path opens for reading (through the boundary; a FIFO
    // cannot hang it).
    static bool FileExists(const char* pszPath);
    // open(2); when that fails, the file name upper-cased, then lower-cased.
    static int OpenFileAnyCase(const char* pszPath, int nFlags, mode_t nMode);
    // In place; each returns its argument. TrimSpaces removes leading and
    // trailing blanks (' ' only); the others one trailing "\n" (and a "\r"
    // before it), one "\r", one "/".
    static char* TrimSpaces(char* psz);
    static char* StripNewline(char* psz);
    static char* StripCarriageReturn(char* psz);
    static char* StripTrailingSlash(char* psz);
    // A whole profile section as a list of terminated entries, grown up to
    // 1 MiB. DU_E_MISSING_SECTION (missing or empty), DU_E_FILE_FORMAT (too
    // long), DU_E_MEM_ALLOC, DU_E_INVALID_PARAMETER.
    // On success *ppBuffer receives a malloc'ed list the caller frees.
    static DuResult ReadCatalogSection(const char* pszFile, const char* pszSection,
                                       char** ppBuffer);
    // The profile engine's GetPrivateProfileSection.
    static DWORD GetPrivateProfileSection(const char* pszSection, char* pszBuffer, DWORD nSize,
                                          const char* pszFile);

private:
    void OpenLogFile();
    // Reads CurDefs and LastDefs into m_pszWithdrawn* and deletes
    // definfo.dat, so that nothing names the sets a full clean-up is about
    // to delete; DeleteNewestDefs then works from the withdrawn values.
    void WithdrawDefInfo();
    // Writes LastBinUpdate=0 (and, for the default content, the text hub's
    // mark) into an existing defutils configuration, without a log line
    // (hubs.cpp).
    void ClearMicroDefMarks();
    // IntegrateDefs' copy of the newest set into a new set directory,
    // leaving out what the source directory will replace (integration.cpp).
    bool SeedNewDefs(const char* pszNewestDir, const char* pszTargetDir, const char* pszSourceDir);
    bool SeedFileCallback(const char* pszPath, void* pContext);  // SeedContext*

    // One command's state; nothing here is written back to the store.
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
