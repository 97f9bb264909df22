// Runs the command-line program as a child process and captures what it
// writes and how it ends.
#pragma once

#include <string>
#include <vector>

struct CliResult {
    int status;  // exit status 0..255, or 128 + signal number when killed
    std::string out;
    std::string err;
};

struct CliOptions {
    // argv[0] as the child sees it.
    std::string argv0 = "qordefutil";
    // The binary to run; defaults to the sandbox build.
    std::string binary = QDU_SANDBOX_CLI;
    // Extra "NAME=value" entries added to (or replacing in) the environment.
    std::vector<std::string> env;
    // Directory the child starts in; empty keeps the current one.
    std::string cwd;
};

// Runs the sandbox binary with the given arguments (not counting argv[0]).
CliResult RunCli(const std::vector<std::string>& args, const CliOptions& options = CliOptions());
