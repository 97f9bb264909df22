// Test seam of the group look-up used by CDefUtils::ChangeUnixOwner.
//
// ChangeUnixOwner calls the group database through this pointer, which is
// getgrnam_r unless a test installs a replacement. That lets a test play a
// group entry too large for the first buffers (ERANGE, then success) or one
// that never fits, which no real group database on a build machine offers.
// Not for production callers; not thread-safe (the program is single
// threaded). SetGroupLookupForTesting returns the previous function so a
// test can restore it; passing null restores getgrnam_r.
#pragma once

#include <grp.h>

#include <cstddef>

typedef int (*DuGroupLookupFn)(const char* pszName, struct group* pGroup, char* pBuffer,
                               size_t nSize, struct group** ppResult);

DuGroupLookupFn SetGroupLookupForTesting(DuGroupLookupFn pfnLookup);

// The store group's id, looked up without a log line; false when the group
// does not exist.
bool DuLookupStoreGroupId(gid_t* pGid);

// Marks one walk over a set (nested walks join the outermost): while one
// lives, ChangeUnixOwner looks the group up once and replays that look-up's
// log lines for every further file.
class DuGroupWalkScope {
public:
    DuGroupWalkScope();
    ~DuGroupWalkScope();
    DuGroupWalkScope(const DuGroupWalkScope&) = delete;
    DuGroupWalkScope& operator=(const DuGroupWalkScope&) = delete;
};
