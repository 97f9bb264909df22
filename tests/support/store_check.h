// Store scripts and consistency checks, for the tests that kill or race the
// commands. The checks They read the bookkeeping files byte by byte, not through the
// profile engine, which forgives exactly what these tests look for: a
// fragment of a torn rewrite, a NUL byte, a duplicated section. Sets are
// those of full_sets.h, so a set mixed from two sources or a truncated copy
// shows too. Each check returns its problems in words; none: consistent.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/full_sets.h"

typedef std::vector<std::string> Strings;

// Sets 'Z' (oldest), 'A' and 'B' (newest), for scripts and expectations.
SetDate ScriptSet(char name);
// "-i {A}; -n app1" as commands, "{A}" standing for srcDir/A.
std::vector<Strings> Commands(const std::string& spec, const std::string& srcDir);
// Writes the script sets to src/ in the sandbox, runs the commands of spec
// ("incoming": B waits in the incoming directory) and saves the store in
// template/.
void BuildStore(const Sandbox& sandbox, const std::string& spec);
// "`qordefutil args...`", for messages.
std::string Shown(const Strings& args);

struct StoreView {
    std::string cur, last;                   // "" when absent
    std::map<std::string, Strings> members;  // section -> AppIds
    std::map<std::string, Strings> appsIn;   // AppId -> its sections

    // The set a query for the AppId finds: its first section, or "".
    std::string RegisteredSet(const std::string& appId) const;
};

// What a reader of defsDir's definfo.dat and usage.dat would trip over: a
// line the program never writes (appIds: every AppId the test may register),
// CurDefs, LastDefs or an AppId naming an incomplete set. Fills *pView.
Strings ConsistencyProblems(const std::string& defsDir, const std::set<std::string>& appIds,
                            StoreView* pView = nullptr);

// What an interrupted command may leave but the next complete one must
// clear: an AppId in two sections, an empty section, a temporary directory,
// a set directory that nothing names.
Strings LeftoverProblems(const std::string& defsDir, const StoreView& view);

// A hub the configuration marks good (LastBinUpdate=1, LastTextUpdate=1)
// must hold every hub file of one set.
Strings HubProblems(const std::string& defsDir, const std::string& defutilsConf);
