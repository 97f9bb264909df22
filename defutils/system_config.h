// Where the machine-wide configuration lives and which group owns the store.
//
// The shipped program uses exactly "/etc/Tarvolix.conf",
// "/etc/tvlx-defutils.conf" and the group "avdefs". The test build compiles
// the same file with QDU_SANDBOX_BUILD defined, which takes the three values
// from QORDEFUTIL_SANDBOX_TARVOLIX_CONF, QORDEFUTIL_SANDBOX_DEFUTILS_CONF and
// QORDEFUTIL_SANDBOX_GROUP so that tests run against a temporary store. The
// production object has no such override.
//
// The test build also has a pause seam: DuTestPause(point) sleeps for
// QORDEFUTIL_SANDBOX_PAUSE_MS milliseconds when QORDEFUTIL_SANDBOX_PAUSE
// names that point, so race tests can hold a command inside a window that
// is otherwise microseconds wide. In the shipped program it does nothing.
//
// And a clock seam: DuCurrentTime() is time(nullptr), except that the test
// build takes QORDEFUTIL_SANDBOX_NOW (seconds since the epoch) when set, so
// tests of month arithmetic see every month boundary on any day.
#pragma once

#include <time.h>

// "/etc/Tarvolix.conf": names the store's base directory.
const char* TarvolixConfPath();
// "/etc/tvlx-defutils.conf": debug log name and microdefs outcomes.
const char* DefutilsConfPath();
// "avdefs": the group given to everything the store creates.
const char* StoreGroupName();
// Points: "sweep" (a registration found a section empty and is about to
// delete it), "last-uninstall" (the last registration is gone and the store
// is about to be removed).
void DuTestPause(const char* pszPoint);
// Now, for the microdefs channel's month arithmetic.
time_t DuCurrentTime();
