// Win32-style directory listing over POSIX readdir, with the system's own
// wildcard matcher, and the FileTime conversions.
//
// Calling order: FindFirstFile(dir/pattern, &fd); while the handle is valid,
// use fd and call FindNextFile until it returns 0; then FindClose. A failed
// FindFirstFile (INVALID_HANDLE_VALUE) leaves nothing to close. The listing
// is a snapshot taken whole by FindFirstFile: every name matching the
// pattern is stat'ed (following links), kept when it is a regular file or a
// directory, and the records are sorted in byte order. A pattern without `*`
// or `?` can match one name only and costs one stat, not a directory read.
//
// Patterns: `*` matches any run of characters, `?` one character or none,
// every other byte (including `[`) is literal and case-sensitive; "*.*" is
// taken as `*`. Failures show only as the invalid handle value or 0; nothing
// is logged.
#pragma once

#include <ctime>

#include "platform/win32_types.h"

HANDLE FindFirstFile(const char* pszPath, FindData* pFindData);
BOOL FindNextFile(HANDLE hFind, FindData* pFindData);
BOOL FindClose(HANDLE hFind);

// True when `name` matches the wildcard `pattern` by the listing's rules
// ("*.*" is NOT special here; FindFirstFile maps it before matching). A
// pattern that needs more than the matcher's 8192 states never matches.
bool WildcardMatch(const char* pattern, const char* name);

// POSIX seconds to FileTime, cut to a multiple of 15 seconds:
// (t / 15 + 776298240) * 150000000 in 64 bits. Only the low 32 bits of t
// take part, as a signed value.
FileTime PosixTimeToFileTime(time_t t);

// The reverse: q = value / 150000000 saturating at 2^32 - 1,
// t = (q - 776298240) * 15 modulo 2^32.
time_t FileTimeToPosixTime(const FileTime& ft);
