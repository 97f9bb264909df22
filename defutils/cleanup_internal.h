// Test seam of the temporary-directory names made by
// CDefUtils::GetTempUpdateDir.
//
// GetTempUpdateDir seeds the platform generator with the current time and
// draws each candidate name's number through this pointer, which is rand()
// unless a test installs a replacement. That lets a test predict every
// candidate (to pre-create all fifty of them, say) without racing the clock.
// Not for production callers; not thread-safe (the program is single
// threaded). SetTempNameRandomForTesting returns the previous function so a
// test can restore it; passing null restores rand().
#pragma once

typedef int (*DuRandomFn)();

DuRandomFn SetTempNameRandomForTesting(DuRandomFn pfnRandom);
