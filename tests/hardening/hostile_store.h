// Fixture for running the program as root against stores that a member of
// the store's group has tampered with. Next to the sandbox it builds:
//   decoy/  what lies outside the store and must stay as it is, owned by a
//           stranger with modes the store never uses, so any chown or chmod
//           shows: etc/shadow (a secret, the target of links into the
//           store), set/ (a complete set, every file holding the secret),
//           store/ (a complete store of its own) and empty/ (to catch files
//           created through links)
//   base/keep.dat, base/virscan1.dat   the same next to the store
//   src/new/  a newer set to install; scratch/  the update client's record
//           and the patch library
// and a well-formed store: sets kLast, kCur (newest, used by "other") and
// kUsed (used by "victim" only), hubs and an empty incoming directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

typedef std::vector<std::string> Strings;

const SetDate kLast = {2023, 12, 1, 3}, kCur = {2024, 1, 2, 7}, kUsed = {2023, 11, 5, 1},
              kNew = {2024, 2, 3, 5};

class HostileStoreTest : public SandboxTest {
public:
    void SetUp() override;

    std::string Defs(const std::string& rel = "") const { return Below(sandbox.DefsDir(), rel); }
    std::string Decoy(const std::string& rel = "") const
    {
        return Below(sandbox.Path("decoy"), rel);
    }
    std::string Scratch(const std::string& rel) const { return sandbox.Path("scratch/" + rel); }
    // "{R}": the sandbox root, "{src}": the newer set, "{pwn}": a file only an
    // injected shell command creates; "{cur}", "{last}", "{used}", "{new}":
    // the names of those sets.
    std::string Expand(std::string text) const;
    // The well-formed store described above, in defsDir.
    void MakeStore(const std::string& defsDir) const;
    void EnableDebugLog() const
    {
        sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=debug.log\n");
    }
    // Runs args and env expanded, with a time limit, the stand-in update
    // client first on PATH and the reference patch library; printing a
    // location outside a store fails the test.
    CliResult Run(const Strings& args, const Strings& env = {}) const;
    // What changed outside the store since SetUp, and copies of the secret in it.
    Strings Harm() const;
    // "other" still gets its set.
    void ExpectOthersRegistration() const;

    std::string configuredBase;  // as written in the configuration file

private:
    static std::string Below(const std::string& dir, const std::string& rel)
    {
        return rel.empty() || rel == "." ? dir : dir + "/" + rel;
    }
    std::map<std::string, std::string> Outside() const;
    std::map<std::string, std::string> m_outside;
    std::set<std::pair<dev_t, ino_t>> m_decoyFiles;
};
