#include "tests/support/process_batch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/sandbox.h"

namespace {

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

}  // namespace

ProcessBatch::ProcessBatch(const std::string& outputDir) : m_dir(outputDir)
{
    if (pipe2(m_barrier, O_CLOEXEC) != 0)
        m_barrier[0] = m_barrier[1] = -1;
}

ProcessBatch::~ProcessBatch()
{
    Release();
    for (Child& child : m_children) {
        if (!child.reaped) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, nullptr, 0);
        }
    }
    if (m_barrier[0] >= 0)
        close(m_barrier[0]);
}

int ProcessBatch::Add(const std::vector<std::string>& args, const std::vector<std::string>& env,
                      bool bSkipBarrier)
{
    const int index = static_cast<int>(m_children.size());
    Child child{-1, m_dir + "/" + std::to_string(index) + ".out",
                m_dir + "/" + std::to_string(index) + ".err", -1, false};
    const ExecImage image("qordefutil", args, env);
    int out = open(child.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(child.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int barrier = bSkipBarrier ? -1 : m_barrier[0];
    const int writeEnd = m_barrier[1];

    pid_t pid = fork();
    if (pid == 0) {
        if (writeEnd >= 0)
            close(writeEnd);  // else the child would hold its own barrier shut
        char byte;
        while (barrier >= 0 && read(barrier, &byte, 1) < 0 && errno == EINTR) {
        }
        ExecChild(QDU_SANDBOX_CLI, image, out, err);
    }
    if (out >= 0)
        close(out);
    if (err >= 0)
        close(err);
    if (pid < 0)
        return -1;
    child.pid = pid;
    m_children.push_back(child);
    return index;
}

void ProcessBatch::Release()
{
    if (m_barrier[1] >= 0) {
        close(m_barrier[1]);
        m_barrier[1] = -1;
    }
}

void ProcessBatch::Reap(Child* pChild, int waitStatus)
{
    pChild->reaped = true;
    if (WIFEXITED(waitStatus))
        pChild->status = WEXITSTATUS(waitStatus);
    else if (WIFSIGNALED(waitStatus))
        pChild->status = 128 + WTERMSIG(waitStatus);
}

bool ProcessBatch::Exited(int i)
{
    Child& child = m_children.at(static_cast<size_t>(i));
    int waitStatus = 0;
    if (!child.reaped && waitpid(child.pid, &waitStatus, WNOHANG) == child.pid)
        Reap(&child, waitStatus);
    return child.reaped;
}

std::vector<CliResult> ProcessBatch::Wait(int timeoutMs)
{
    Release();
    const long long deadline = NowMs() + timeoutMs;
    for (bool bPending = true; bPending;) {
        bPending = false;
        for (size_t i = 0; i < m_children.size(); ++i) bPending |= !Exited(static_cast<int>(i));
        if (bPending && NowMs() >= deadline)
            break;
        if (bPending) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
    }
    std::vector<CliResult> results;
    for (Child& child : m_children) {
        if (!child.reaped) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, nullptr, 0);
            child.reaped = true;  // status stays -1: it hung
        }
        results.push_back(
            CliResult{child.status, ReadTextFile(child.outPath), ReadTextFile(child.errPath)});
    }
    return results;
}
