// Builds the result files of a package: each one read from the source,
// rebuilt from its delta or payload, verified against its recorded hash and
// written to the destination (and, for hub packages, to the staging
// directory under StagedNewName). A file the package records as unchanged
// is hard-linked from the source where possible and verified through the
// link, so the destination may share inodes with the source.
//
// ProduceFiles runs the given entries on the calling thread and one helper
// thread: the work is dominated by copying and hashing, and a plain copy of
// the set is the yardstick. Only the calling thread runs afterFile, after
// each file it finished, with the units done so far by both threads (result
// bytes + 1 per file, never decreasing); it returns false to stop. The first
// failure stops both threads and is returned; PA_E_CANCELLED when afterFile
// stopped it. Files already written stay for the caller to remove. Nothing
// throws: a failure inside the helper, allocation included, comes back as a
// result.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "tools/patchapp/package_format.h"
#include "tools/patchapp/set_files.h"

namespace patchapp {

struct ProduceJob {
    const char* srcDir = nullptr;
    const char* destDir = nullptr;
    const char* stagingDir = nullptr;  // null unless the source is updated
    const Package* package = nullptr;
    std::vector<size_t> entries;  // indices into package->entries
};

PaResult ProduceFiles(const ProduceJob& job, const std::function<bool(uint64_t done)>& afterFile);

// Reads srcDir/<e.name> into data and checks it against e's source size
// and hash.
PaResult ReadVerifiedSource(const char* srcDir, const PackageEntry& e, Bytes& data);

// Checks a regular file (not followed if a symbolic link) against a size
// and hash without holding it in memory; buffer is scratch space.
// PA_E_SOURCE_MISMATCH when the content differs, PA_E_IO when it cannot be
// read.
PaResult CheckFileContent(const char* path, uint64_t size, uint64_t hash, Bytes& buffer);

}  // namespace patchapp
