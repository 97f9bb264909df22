#include "tests/support/cli_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

extern char** environ;

namespace {

// Milliseconds left until deadline (never negative); -1 without one.
int MillisecondsLeft(const struct timespec* deadline)
{
    if (deadline == nullptr)
        return -1;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms =
        (deadline->tv_sec - now.tv_sec) * 1000L + (deadline->tv_nsec - now.tv_nsec) / 1000000L;
    return ms > 0 ? static_cast<int>(ms) : 0;
}

// Drains both pipes together so a child that fills one cannot deadlock us.
// At the deadline the child's process group is killed; draining then goes
// on briefly, only to collect what was already written.
void Drain(int outFd, int errFd, pid_t group, struct timespec* deadline, std::string* out,
           std::string* err, bool* pTimedOut)
{
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {out, err};
    char buf[4096];
    for (int open = 2; open > 0;) {
        int ready = poll(fds, 2, MillisecondsLeft(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0) {
            if (*pTimedOut)
                break;  // something outside the group keeps the pipes open
            kill(-group, SIGKILL);
            *pTimedOut = true;
            clock_gettime(CLOCK_MONOTONIC, deadline);
            deadline->tv_sec += 2;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const struct pollfd& fd : fds) {
        if (fd.fd >= 0)
            close(fd.fd);
    }
}

}  // namespace

ExecImage::ExecImage(const std::string& argv0, const std::vector<std::string>& extraArgs,
                     const std::vector<std::string>& extraEnv)
    : args{argv0}
{
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& add : extraEnv)
            replaced |= entry.compare(0, add.find('=') + 1, add, 0, add.find('=') + 1) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    for (std::string& entry : env) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
}

void ExecChild(const char* binary, const ExecImage& image, int out, int err)
{
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0)
        dup2(devnull, STDIN_FILENO);
    execve(binary, image.argv.data(), image.envp.data());
    _exit(127);
}

CliResult RunCli(const std::vector<std::string>& args, const CliOptions& options)
{
    CliResult result{-1, "", ""};
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return result;

    const ExecImage image(options.argv0, args, options.env);
    const bool bLimited = options.timeLimitSeconds > 0;
    pid_t pid = fork();
    if (pid == 0) {
        if (bLimited)
            setpgid(0, 0);
        ExecChild(options.binary.c_str(), image, outPipe[1], errPipe[1]);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return result;
    }
    struct timespec deadline;
    if (bLimited) {
        setpgid(pid, pid);  // also here, so the group exists before any kill
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += options.timeLimitSeconds;
    }
    Drain(outPipe[0], errPipe[0], pid, bLimited ? &deadline : nullptr, &result.out, &result.err,
          &result.timedOut);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}
