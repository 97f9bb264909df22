// Results of the publisher's operations: an exit status for the command
// line and a one-line message saying what went wrong. Errors are values;
// nothing in the publisher lets an exception reach its caller.
#pragma once

#include <string>
#include <utility>

namespace publisher {

// Exit statuses of qordefpublish; the numbers are part of its interface.
enum class Exit {
    kOk = 0,
    kProblems = 1,  // verify found something wrong
    kUsage = 2,
    kRefused = 3,  // the set given to add is unacceptable
    kRepo = 4,     // repository or key problem, or another publisher running
    kIo = 5,
};

struct Status {
    Exit code = Exit::kOk;
    std::string message;

    bool ok() const { return code == Exit::kOk; }
};

inline Status Ok()
{
    return Status{};
}

inline Status Fail(Exit code, std::string message)
{
    return Status{code, std::move(message)};
}

}  // namespace publisher
