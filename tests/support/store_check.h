// Consistency checks of a store on disk, for the tests that kill or race the
// commands. They read the bookkeeping files byte by byte rather than through
// the profile engine, because the engine forgives exactly what these tests
// look for: a fragment left by a torn rewrite, a NUL byte, a duplicated
// section. Sets are those of full_sets.h (every file tagged with the set's
// name), so a set mixed from two sources or a truncated copy shows too.
//
// Each check returns a list of problems in words; empty means consistent.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

struct StoreView {
    bool bDefInfo = false;
    std::string cur, last;  // "" when the key is absent
    bool bUsage = false;
    std::vector<std::string> sections;                        // usage.dat, file order
    std::map<std::string, std::vector<std::string>> members;  // section -> AppIds
    std::map<std::string, std::vector<std::string>> appsIn;   // AppId -> its sections

    // The set a query for the AppId finds: its first section, or "".
    std::string RegisteredSet(const std::string& appId) const;
};

// "" when dir is a complete set: catalog.dat present, every file of its
// [Files] section present, every data file tagged with the directory's name.
std::string SetProblem(const std::string& setDir);

// Parses definfo.dat and usage.dat of defsDir into *pView (may be null) and
// reports what a reader would trip over: a line the program never writes
// (appIds: every AppId the test may have registered), CurDefs or LastDefs
// naming an incomplete set, an AppId whose set is incomplete or missing.
std::vector<std::string> ConsistencyProblems(const std::string& defsDir,
                                             const std::set<std::string>& appIds,
                                             StoreView* pView = nullptr);

// What an interrupted command may leave but the next complete command must
// have cleared: an AppId in two sections, an empty section, a temporary
// directory, a set directory no bookkeeping names.
std::vector<std::string> LeftoverProblems(const std::string& defsDir, const StoreView& view);

// A hub marked as good in the configuration file (LastBinUpdate=1,
// LastTextUpdate=1) must hold every hub file of one set.
std::vector<std::string> HubProblems(const std::string& defsDir, const std::string& defutilsConf);
