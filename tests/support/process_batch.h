// Runs several copies of the command-line program so that they start at the
// same instant: each child is forked at Add() and blocks reading a pipe
// before it execs; Release() closes the pipe's last write end and every
// waiting child proceeds at once. A child added with bSkipBarrier
// starts at once (a process that must already be running when the others
// are released).
//
// Standard output and error of each child go to files in the given
// directory, so dozens of children never block on a full pipe. Wait()
// collects every child; a child still running at the deadline is killed and
// reported with status -1 (a hang is a fault, not a reason to hang the test).
// The destructor kills and reaps whatever is left.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/cli_runner.h"

class ProcessBatch {
public:
    // outputDir: an existing directory for the children's output files.
    explicit ProcessBatch(const std::string& outputDir);
    ~ProcessBatch();
    ProcessBatch(const ProcessBatch&) = delete;
    ProcessBatch& operator=(const ProcessBatch&) = delete;

    // Starts a child running the sandbox build with args and the extra
    // environment entries; returns its index, or -1 when fork failed.
    int Add(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
            bool bSkipBarrier = false);
    void Release();
    // True once child i has ended (it is reaped then, its result kept).
    bool Exited(int i);
    // Results in the order of Add(); waits at most timeoutMs for all.
    std::vector<CliResult> Wait(int timeoutMs);

private:
    struct Child {
        pid_t pid;
        std::string outPath, errPath;
        int status;  // -1 until it has ended
        bool reaped;
    };
    void Reap(Child* pChild, int waitStatus);

    std::string m_dir;
    int m_barrier[2];
    std::vector<Child> m_children;
};
