#include "tools/patchapp/hub_commit.h"

#include <unistd.h>

#include <cstdio>

#include "tools/patchapp/set_files.h"

namespace patchapp {
namespace {

struct StepPaths {
    PathBuf source;
    PathBuf staged;
    PathBuf original;
};

bool MakePaths(const char* srcDir, const char* stagingDir, const CommitStep& step, StepPaths& p)
{
    return JoinPath(p.source, srcDir, step.name) &&
           JoinPath(p.staged, stagingDir, StagedNewName(step.index)) &&
           JoinPath(p.original, stagingDir, StagedOldName(step.index));
}

// Keeps the current file as the staged original. A hard link costs nothing;
// file systems without them get a flushed copy.
PaResult KeepOriginal(const char* stagingDir, const CommitStep& step, const StepPaths& p)
{
    if (link(p.source.c_str(), p.original.c_str()) == 0)
        return PA_OK;
    Bytes data;
    PaResult rc = ReadWholeFile(p.source.c_str(), kMaxFileSize, data);
    if (rc != PA_OK)
        return rc;
    return WriteFileReplacing(stagingDir, StagedOldName(step.index), data.data(), data.size(),
                              true);
}

// Puts one step back; best effort, since it only runs after a failure.
void Undo(const CommitStep& step, const StepPaths& p)
{
    if (step.hasOriginal)
        rename(p.original.c_str(), p.source.c_str());
    else
        unlink(p.source.c_str());
}

}  // namespace

std::string StagedNewName(size_t index)
{
    return "new-" + std::to_string(index);
}
std::string StagedOldName(size_t index)
{
    return "old-" + std::to_string(index);
}

PaResult CommitToSource(const char* srcDir, const char* stagingDir,
                        const std::vector<CommitStep>& steps)
{
    std::vector<StepPaths> paths(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        if (!MakePaths(srcDir, stagingDir, steps[i], paths[i]))
            return PA_E_BAD_ARGUMENT;
        if (steps[i].hasOriginal) {
            PaResult rc = KeepOriginal(stagingDir, steps[i], paths[i]);
            if (rc != PA_OK)
                return rc;
        }
    }
    // From here on the source changes; every failure undoes what was done.
    for (size_t i = 0; i < steps.size(); ++i) {
        const StepPaths& p = paths[i];
        int rc = steps[i].replaces ? rename(p.staged.c_str(), p.source.c_str())
                                   : unlink(p.source.c_str());
        if (rc != 0) {
            while (i-- > 0) Undo(steps[i], paths[i]);
            SyncDirectory(srcDir);
            return PA_E_IO;
        }
    }
    // Without this a power cut could forget the renames while keeping data.
    SyncDirectory(srcDir);
    return PA_OK;
}

}  // namespace patchapp
