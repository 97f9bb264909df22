// Store scripts and consistency checks for the tests that kill or race the
// commands. The checks read the bookkeeping files byte by byte, not through
// the profile engine, which forgives what they look for (a torn line, a NUL
// byte, a duplicated section), and return their problems in words.
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
std::vector<Strings> Commands(const std::string& script, const std::string& srcDir);
// Writes the sets to src/, runs script ("incoming": B waits in incoming) and
// saves the store in template/.
void BuildStore(const Sandbox& sandbox, const std::string& script);

struct StoreView {
    std::string cur, last;                   // "" when absent
    std::map<std::string, Strings> members;  // section -> AppIds
    std::map<std::string, Strings> appsIn;   // AppId -> its sections

    // The set a query for the AppId finds: its first section, or "".
    std::string RegisteredSet(const std::string& appId) const;
};

// A line the program never writes (appIds: all a test may register), or
// CurDefs, LastDefs or an AppId naming an incomplete set. Fills *pView.
Strings ConsistencyProblems(const std::string& defsDir, const std::set<std::string>& appIds,
                            StoreView* pView = nullptr);

// What a killed command may leave but the next one must clear: an AppId in
// two sections, an empty section, a temporary or unnamed set directory.
Strings LeftoverProblems(const std::string& defsDir, const StoreView& view);

// A hub marked good (LastBinUpdate=1, LastTextUpdate=1) not of one set.
Strings HubProblems(const std::string& defsDir, const std::string& defutilsConf);
