// What the store manager's source files share beyond the pure helpers of
// store_helpers.h: the reads the transactions repeat under the lock, and the
// lock itself. Internal to defutils/.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "defutils/store_helpers.h"
#include "platform/boundary.h"
#include "platform/bounded.h"

// The CurDefs value of definfo.dat in pszDefsDir, trimmed, read without a
// log line (for the checks a transaction repeats under the lock);
// kKeyMissing when absent.
void DuReadCurDefs(const char* pszDefsDir, PathBuf* pValue);

// True when definfo.dat in pszDefsDir names pszName as CurDefs or LastDefs
// (read without a log line).
bool DuIsNamedSet(const char* pszDefsDir, const char* pszName);
// True when the set's catalog.dat exists and every file its [Files] section
// lists is present (read without a log line).
bool DuSetIsComplete(const char* pszSetDir);

// Releases one level of the store lock taken by CDefUtils::LockStore.
void DuUnlockStore(const std::string& dir);

// Holds the store-wide transaction lock for a scope (store_lock.cpp).
// renewed() tells that the store had been removed while this process
// waited and was made anew: whatever was read before is stale.
class StoreTransaction {
public:
    explicit StoreTransaction(CDefUtils* pDefUtils)
    {
        m_held = pDefUtils->LockStore(&m_renewed, &m_dir);
    }
    ~StoreTransaction()
    {
        if (m_held)
            DuUnlockStore(m_dir);
    }
    StoreTransaction(const StoreTransaction&) = delete;
    StoreTransaction& operator=(const StoreTransaction&) = delete;

    bool held() const { return m_held; }
    bool renewed() const { return m_renewed; }

private:
    std::string m_dir;
    bool m_renewed = false;
    bool m_held = false;
};

// An intent marker (store_sweep.cpp): while a step that a kill could cut
// short runs, a hidden file in the definitions directory names the one
// directory the step may leave behind ("dir"), or the set whose hub files
// are being copied ("hub"), and the step holds flock on it. A marker whose
// lock nobody holds belongs to a command that died; the sweep completes its
// intent. Made under the store lock, so a sweeper never finds one unlocked
// between its creation and its flock. Without a store, or when the marker
// cannot be made, the step runs unmarked, as it always did.
class StoreIntent {
public:
    StoreIntent(CDefUtils* pDefUtils, const char* pszDefsDir, const char* pszKind,
                const char* pszName);
    ~StoreIntent();
    StoreIntent(const StoreIntent&) = delete;
    StoreIntent& operator=(const StoreIntent&) = delete;

    // Takes the marker away now (the removal of the whole store needs its
    // directory empty); the step's own end then does nothing more.
    void Release();
    const std::string& defsDir() const { return m_defsDir; }

private:
    std::string m_defsDir;
    int m_dirFd = -1;
    int m_fd = -1;
    pid_t m_owner = 0;
    std::string m_leaf;
};

// The last component of a path (one trailing "/" ignored).
std::string DuLeafName(const char* pszPath);

// A temporary directory's marker lives as long as the directory: it is
// kept here until DuDropKeptIntent(path) or the end of the process.
void DuKeepIntent(CDefUtils* pDefUtils, const char* pszDefsDir, const char* pszPath);
void DuDropKeptIntent(const char* pszPath);

// Releases every marker this process holds in the store (before the
// removal of the whole store).
void DuReleaseStoreIntents(const char* pszDefsDir);
// Marks the sets definfo.dat names as CurDefs and LastDefs, for a step
// about to withdraw definfo.dat and delete them.
void DuMarkDefInfoSets(CDefUtils* pDefUtils, const char* pszDefsDir,
                       std::vector<std::unique_ptr<StoreIntent>>* pIntents);

// Completes the intents of dead markers in the store; run once per process
// and store, when a command first takes the store lock (which it holds).
void DuSweepStore(CDefUtils* pDefUtils, const char* pszDefsDir);

// Tells whether a dead "hub" marker names pszSet (any set when null): a
// hub copy of that set was cut short. With bClaim the markers go.
// Call under the store lock.
bool DuDeadHubIntents(const char* pszDefsDir, const char* pszSet, bool bClaim);
// An install of the set that is CurDefs already integrates nothing; when
// the hub copy of that set was cut short, it copies the hub files from
// pszUpdateDir as the first install would have. Call under the store lock.
void DuRefreshInterruptedHub(CDefUtils* pDefUtils, const char* pszDefsDir,
                             const char* pszUpdateDir);
