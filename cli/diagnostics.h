// Diagnostics for a person at a terminal: after a command failed, or
// succeeded without doing what was asked (a restore with nothing to restore,
// an install of a set that is not newer), one line on standard error that
// names the cause and the fix; and a progress line while sets are copied.
//
// Nothing here writes anything unless standard error is a terminal: the
// regular output is what scripts and other products' installers parse, and
// it must stay byte for byte the same for them.
//
// Calling order: QorDefUtilMain constructs one CCommandDiagnostics from the
// command line before the handlers run (it notes the newest set, to tell
// later whether the command changed it) and calls Report with the result
// after main's own failure message, if any. Handlers that copy sets attach a
// CCopyProgress to their store manager. The causes are found by reading the
// configuration, the group database and the store's files again, after the
// fact: the store manager's behaviour stays as it is.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "defutils/defutils.h"

// The command a line may be explained for: the option letter ('g', 'i', 'n',
// 'u', 'l', 'm', 'r'), its value and the content type, as on the command
// line (null when absent).
struct DiagnosedCommand {
    char cOption = '\0';
    const char* pszValue = nullptr;
    const char* pszContentType = nullptr;
};

// Who runs the command, for the group membership check.
struct CallerIdentity {
    uid_t uid = 0;
    std::string userName;
    std::vector<gid_t> groups;  // effective and supplementary groups
};

// What a command left to compare with: the newest set before it ran.
struct StoreSnapshot {
    bool bHaveNewest = false;
    std::string newest;  // CurDefs of definfo.dat
};

// The command line's command, or cOption '\0' when there is nothing to
// explain (a parse error, help, version, or two commands at once).
DiagnosedCommand CommandFromArguments(int argc, char** argv);
CallerIdentity CurrentCaller();
StoreSnapshot TakeSnapshot(const DiagnosedCommand& command);

// The cause of the outcome (without the "qordefutil: " prefix or a line
// end), or the empty string when there is nothing a person needs to know.
std::string ExplainOutcome(const DiagnosedCommand& command, int nResult,
                           const StoreSnapshot& before, const CallerIdentity& caller);

class CCommandDiagnostics {
public:
    CCommandDiagnostics(int argc, char** argv);
    // Writes the explanation, if any, when standard error is a terminal.
    void Report(int nResult) const;

private:
    bool m_bTerminal;
    DiagnosedCommand m_command;
    StoreSnapshot m_before;
};

// Counts the files a store manager copies and shows "copied N files, X MiB"
// on one line of standard error, rewritten in place at most ten times a
// second, and left standing once the copying is over. It listens to the
// store manager's log lines, so it sees every copy without a change to the
// store manager.
class CCopyProgress : public CDefUtils::CLogCallback {
public:
    CCopyProgress() = default;
    ~CCopyProgress();
    CCopyProgress(const CCopyProgress&) = delete;
    CCopyProgress& operator=(const CCopyProgress&) = delete;

    // Registers with pDefUtils when standard error is a terminal; the
    // progress must outlive the store manager's use of it.
    void Attach(CDefUtils* pDefUtils);
    // For a store manager created elsewhere: this progress when standard
    // error is a terminal, else null.
    CDefUtils::CLogCallback* ObserverAtTerminal();
    void OnLogLine(const char* pszLine) override;

    uint64_t Files() const { return m_nFiles; }
    uint64_t Bytes() const { return m_nBytes; }

private:
    void Show(bool bFinal);

    std::string m_pending;  // the file whose copy has started
    uint64_t m_nPendingBytes = 0;
    uint64_t m_nFiles = 0;
    uint64_t m_nBytes = 0;
    bool m_bAttached = false;
    bool m_bShown = false;
    std::chrono::steady_clock::time_point m_lastShown;
};
