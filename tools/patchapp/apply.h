// Applies the microdefs package found in a patch directory: the work behind
// both entry points of libpatchapp.so.
//
// One call: find the one package (*.mdp) in patchDir, verify it, check that
// srcDir holds exactly the files the package expects, build every file of
// the new set in memory from srcDir and the package, verify each against its
// recorded hash and write it to destDir. A package flagged as updating its
// source (a hub package) also stages the changed files in hubTempDir (or a
// private directory inside srcDir when hubTempDir is missing or on another
// file system) and then commits them to srcDir (hub_commit.h).
//
// Progress goes to the callback as percentages, never decreasing: 0 once the
// package is verified, then after each file, 100 when all is done. The
// callback returns false to cancel; cancelling is honoured until the commit
// to srcDir begins. On any failure srcDir is as it was and the files this
// call wrote to destDir are removed again. Nothing throws except
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <functional>

#include "tools/patchapp/package_format.h"

namespace patchapp {

using ProgressFn = std::function<bool(uint32_t percent)>;

struct ApplyRequest {
    const char* patchDir = nullptr;
    const char* srcDir = nullptr;
    const char* destDir = nullptr;
    const char* hubTempDir = nullptr;  // may be null
    ProgressFn progress;               // may be empty
};

PaResult ApplyPackageDirectory(const ApplyRequest& request);

}  // namespace patchapp
