// Consistency checks of a store on disk, for the tests that kill or race the
// commands. They read the bookkeeping files byte by byte, not through the
// profile engine, which forgives exactly what these tests look for: a
// fragment of a torn rewrite, a NUL byte, a duplicated section. Sets are
// those of full_sets.h, so a set mixed from two sources or a truncated copy
// shows too. Each check returns its problems in words; none: consistent.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

struct StoreView {
    std::string cur, last;                                    // "" when absent
    std::map<std::string, std::vector<std::string>> members;  // section -> AppIds
    std::map<std::string, std::vector<std::string>> appsIn;   // AppId -> its sections

    // The set a query for the AppId finds: its first section, or "".
    std::string RegisteredSet(const std::string& appId) const;
};

// What a reader of defsDir's definfo.dat and usage.dat would trip over: a
// line the program never writes (appIds: every AppId the test may register),
// CurDefs, LastDefs or an AppId naming an incomplete set. Fills *pView.
std::vector<std::string> ConsistencyProblems(const std::string& defsDir,
                                             const std::set<std::string>& appIds,
                                             StoreView* pView = nullptr);

// What an interrupted command may leave but the next complete one must
// clear: an AppId in two sections, an empty section, a temporary directory,
// a set directory that nothing names.
std::vector<std::string> LeftoverProblems(const std::string& defsDir, const StoreView& view);

// A hub the configuration marks good (LastBinUpdate=1, LastTextUpdate=1)
// must hold every hub file of one set.
std::vector<std::string> HubProblems(const std::string& defsDir, const std::string& defutilsConf);
