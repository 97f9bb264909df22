// Runs the command-line program as a child process (stdin from /dev/null)
// and captures what it writes and how it ends.
#pragma once

#include <string>
#include <vector>

struct CliResult {
    int status;  // exit status 0..255, or 128 + signal number when killed
    std::string out;
    std::string err;
};

struct CliOptions {
    std::string argv0 = "qordefutil";
    std::string binary = QDU_SANDBOX_CLI;
    // "NAME=value" entries added to, or replacing in, the environment.
    std::vector<std::string> env;
};

CliResult RunCli(const std::vector<std::string>& args, const CliOptions& options = CliOptions());

// This process's environment with the "NAME=value" entries of extra added,
// each replacing a variable of the same name.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra);
