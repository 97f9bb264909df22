// Runs the command-line program as a child process (stdin from /dev/null)
// and captures what it writes and how it ends. With a time limit the child
// runs in its own process group, which is killed whole when the limit
// passes, so a hung program (and any shell or client it started) cannot
// hang the test.
#pragma once

#include <string>
#include <vector>

struct CliResult {
    int status;  // exit status 0..255, or 128 + signal number when killed
    std::string out;
    std::string err;
    bool timedOut = false;  // killed at the time limit
};

struct CliOptions {
    std::string argv0 = "qordefutil";
    std::string binary = QDU_SANDBOX_CLI;
    // "NAME=value" entries added to, or replacing in, the environment.
    std::vector<std::string> env;
    int timeLimitSeconds = 0;  // 0: wait as long as it takes
};

CliResult RunCli(const std::vector<std::string>& args, const CliOptions& options = CliOptions());

// What execve needs, built before fork: after it, a process that may have
// threads may only make async-signal-safe calls. env: "NAME=value" entries
// added to, or replacing in, this process's environment.
struct ExecImage {
    ExecImage(const std::string& argv0, const std::vector<std::string>& args,
              const std::vector<std::string>& env);
    ExecImage(const ExecImage&) = delete;
    ExecImage& operator=(const ExecImage&) = delete;

    std::vector<std::string> args, env;  // argv and envp point into these
    std::vector<char*> argv, envp;
};

// In a forked child: standard output and error to out and err, standard
// input from /dev/null, then the binary; exits 127 when it cannot start.
[[noreturn]] void ExecChild(const char* binary, const ExecImage& image, int out, int err);
