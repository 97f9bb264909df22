// Small helpers shared by the store manager's source files: the debug log's
// spelling of null strings and outcomes, and the mode new bookkeeping files
// inherit. Internal to defutils/.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "defutils/defutils.h"
#include "platform/boundary.h"
#include "platform/bounded.h"

// One catalog line reduced to a plain file name: the part after the last
// "/", without its line end and surrounding blanks.
void DuCleanCatalogEntry(const char* pszEntry, PathBuf* pName);

// Null strings print as "<null>" in log lines.
inline const char* OrNull(const char* psz)
{
    return psz != nullptr ? psz : "<null>";
}

inline const char* SuccessText(bool b)
{
    return b ? "success" : "failure";
}

inline const char* TrueText(bool b)
{
    return b ? "true" : "false";
}

// A pointer as the log has always shown it, glibc's "%08p": "0x" and the
// hex digits zero-padded to eight characters in all, a null pointer as
// "(nil)" right-aligned in eight. (GCC warns about "%08p" itself.)
inline std::string PaddedPointerText(const void* p)
{
    if (p == nullptr)
        return "   (nil)";
    char digits[2 * sizeof(void*) + 1];
    snprintf(digits, sizeof digits, "%lx",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    std::string text(digits);
    if (text.size() < 6)
        text.insert(0, 6 - text.size(), '0');
    return "0x" + text;
}

// Permission bits of a directory, or 0775 when it cannot be examined.
inline unsigned int DirModeOr0775(const char* pszDir)
{
    struct stat st;
    if (pszDir == nullptr || DuStatPath(pszDir, &st) != 0)
        return 0775;
    return st.st_mode & 07777;
}

// The CurDefs value of definfo.dat in pszDefsDir, trimmed, read without a
// log line (for the checks a transaction repeats under the lock);
// kKeyMissing when absent.
void DuReadCurDefs(const char* pszDefsDir, PathBuf* pValue);
// True when set name pszNew is at least as new as pszCur by the date and
// revision their names carry; a name that is not "YYYYMMDD.RRR" counts as
// not older, as nothing can be said about it.
bool DuSetNameNotOlder(const char* pszNew, const char* pszCur);

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
