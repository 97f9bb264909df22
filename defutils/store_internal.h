// What the store manager's source files share beyond the pure helpers of
// store_helpers.h: the reads the transactions repeat under the lock, and the
// lock itself. Internal to defutils/.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

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
