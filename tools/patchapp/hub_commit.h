// Brings a source set in place to the new set once every new file has been
// built and verified in a staging directory on the same file system.
//
// Calling order: the caller writes each replacement to stagingDir under the
// name StagedNewName(i) (flushed to disk), then calls CommitToSource. The
// commit first keeps a hard link (or a flushed copy) of every file it will
// replace or remove as StagedOldName(i), without touching the source; then
// renames the new files over the old ones ("catalog.dat" last, as ordered by
// the caller) and unlinks the removed ones; then flushes the directory. If a
// rename or unlink fails, the steps already taken are undone from the kept
// originals and PA_E_IO comes back. Each file of the source is at every
// moment either wholly old or wholly new; see README.md for a crash midway.
// The staging directory still holds the originals afterwards; the caller
// removes them.
#pragma once

#include <string>
#include <vector>

#include "tools/patchapp/package_format.h"

namespace patchapp {

struct CommitStep {
    std::string name;  // file name in the source directory
    size_t index;      // its staged names' number
    bool replaces;     // a staged new file goes to name
    bool hasOriginal;  // name exists in the source now
};

std::string StagedNewName(size_t index);
std::string StagedOldName(size_t index);

PaResult CommitToSource(const char* srcDir, const char* stagingDir,
                        const std::vector<CommitStep>& steps);

}  // namespace patchapp
