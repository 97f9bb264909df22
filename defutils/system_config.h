// Where the machine-wide configuration lives and which group owns the store.
//
// The shipped program uses exactly "/etc/Tarvolix.conf",
// "/etc/tvlx-defutils.conf" and the group "avdefs". The test build compiles
// the same file with QDU_SANDBOX_BUILD defined, which takes the three values
// from QORDEFUTIL_SANDBOX_TARVOLIX_CONF, QORDEFUTIL_SANDBOX_DEFUTILS_CONF and
// QORDEFUTIL_SANDBOX_GROUP so that tests run against a temporary store. The
// production object has no such override.
#pragma once

// "/etc/Tarvolix.conf": names the store's base directory.
const char* TarvolixConfPath();
// "/etc/tvlx-defutils.conf": debug log name and microdefs outcomes.
const char* DefutilsConfPath();
// "avdefs": the group given to everything the store creates.
const char* StoreGroupName();
