// The store manager's small helpers that do one job each: how a set is named
// from its path, where an entry of the definitions directory lives, how the
// log spells null strings and outcomes, and the mode a new entry inherits
// from its directory. Most are pure and can be tested without a store; the
// few that read a file say so. Internal to defutils/.
//
// Buffers are PathBuf (4096 bytes) and follow its rule: a join that does not
// fit fails and leaves the buffer holding the directory alone; a copy that
// does not fit is cut.
#pragma once

#include <cstddef>
#include <string>

#include "platform/bounded.h"
#include "platform/win32_types.h"

// Null strings print as "<null>" in log lines.
inline const char* OrNull(const char* psz)
{
    return psz != nullptr ? psz : "<null>";
}

// A caller's output buffer as the log shows it: "<null>" when there is none
// or it has no room.
inline const char* OrNull(const char* psz, size_t nSize)
{
    return psz != nullptr && nSize > 0 ? psz : "<null>";
}

inline const char* SuccessText(bool b)
{
    return b ? "success" : "failure";
}

inline const char* TrueText(bool b)
{
    return b ? "true" : "false";
}

// Clears a caller's output buffer, when it has room for the terminator.
inline void DuEmptyBuffer(char* pszBuffer, size_t nSize)
{
    if (pszBuffer != nullptr && nSize > 0)
        pszBuffer[0] = '\0';
}

// A pointer as the log has always shown it, glibc's "%08p": "0x" and the
// hex digits zero-padded to eight characters in all, a null pointer as
// "(nil)" right-aligned in eight. (GCC warns about "%08p" itself.)
std::string PaddedPointerText(const void* p);

// The name of the set at pszPath: its last component, after one trailing
// "/" is dropped, so that "<defs>/A/" still names set A and not "".
void DuSetNameOf(const char* pszPath, PathBuf* pName);
// The same with surrounding blanks removed: the name definfo.dat records
// and compares against.
void DuRecordedSetName(const char* pszPath, PathBuf* pName);

// "<pszDefsDir>/<pszName>" into *pPath. False when it does not fit; *pPath
// then holds pszDefsDir alone (callers that ignore the result rely on it).
bool DuStorePath(const char* pszDefsDir, const char* pszName, PathBuf* pPath);

// One catalog line reduced to a plain file name: the part after the last
// "/", without its line end and surrounding blanks.
void DuCleanCatalogEntry(const char* pszEntry, PathBuf* pName);

// True when set name pszNew is at least as new as pszCur by the date and
// revision their names carry; a name that is not "YYYYMMDD.RRR" counts as
// not older, as nothing can be said about it.
bool DuSetNameNotOlder(const char* pszNew, const char* pszCur);

// Permission bits of a directory, or nDefault when there is none or it
// cannot be examined. Reads the file system (one stat).
unsigned int DuDirModeOr(const char* pszDir, unsigned int nDefault);

// One key of the [DefDates] section of the definfo.dat at pszDefInfo into
// *pValue, kKeyMissing when absent; returns what the profile read returns.
// The raw value is what the log shows and what is compared with kKeyMissing
// before trimming; the trimmed one is what names a set.
DWORD DuReadDefDatesKey(const char* pszDefInfo, const char* pszKey, PathBuf* pValue);
void DuReadDefDatesKeyTrimmed(const char* pszDefInfo, const char* pszKey, PathBuf* pValue);
