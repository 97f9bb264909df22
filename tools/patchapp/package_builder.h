// Makes a microdefs package from two definition sets (the package maker's
// core, shared by mkmicrodefs, the tests and the benchmark).
//
// Both directories must be flat: regular files only. Every new file becomes
// an unchanged entry, a delta or a whole copy, whichever is smallest; every
// old file without a successor becomes a removal. The result is the complete
// package file in memory. Errors come back as a PaResult with a one-line
// explanation in *why (when given).
#pragma once

#include <string>
#include <vector>

#include "tools/patchapp/package_format.h"

namespace patchapp {

struct BuildStats {
    size_t unchanged = 0;
    size_t deltas = 0;
    size_t whole = 0;
    size_t removed = 0;
};

PaResult BuildPackage(const char* oldDir, const char* newDir, uint32_t flags,
                      std::vector<unsigned char>& out, BuildStats* stats, std::string* why);

}  // namespace patchapp
