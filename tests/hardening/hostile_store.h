// Fixture for running the program as root against stores that a member of
// the store's group has tampered with. Next to the sandbox it builds:
//   decoy/           what lies outside the store and must stay as it is,
//                    owned by a stranger (another uid and gid) with modes
//                    the store never uses, so any chown or chmod shows:
//     etc/shadow     a secret file, the target of links into the store
//     set/           a complete definition set (each file holds the secret)
//     store/         a complete store of its own (definfo, usage, one set)
//     empty/         an empty directory, to catch files created through links
//   base/keep.dat, base/virscan1.dat   the same next to the store
//   src/new/         a newer complete set to install
//   scratch/         the update client's record and patch library
// and a well-formed store: sets kLast, kCur (newest, used by "other") and
// kUsed (used by "victim" only), hubs and an empty incoming directory.
// Every command runs with a time limit, the stand-in update client first
// on PATH and the reference patch library on LD_LIBRARY_PATH.
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

const SetDate kLast = {2023, 12, 1, 3};
const SetDate kCur = {2024, 1, 2, 7};
const SetDate kUsed = {2023, 11, 5, 1};
const SetDate kNew = {2024, 2, 3, 5};
const SetDate kDecoySet = {2024, 3, 4, 1};  // newer than anything in the store
const SetDate kDecoyStoreSet = {2023, 1, 1, 1};

extern const char kSecret[];
extern const char kInitFailed[];
extern const char kNoType[];

// Where the exit status is left open; otherwise the exact status expected.
constexpr int kAnyStatus = -1;

// Members are public so that table rows (free lambdas) can use them.
class HostileStoreTest : public SandboxTest {
public:
    void SetUp() override;

    std::string Defs(const std::string& rel = "") const { return Join(sandbox.DefsDir(), rel); }
    std::string Decoy(const std::string& rel = "") const
    {
        return Join(sandbox.Path("decoy"), rel);
    }
    std::string Scratch(const std::string& rel) const { return sandbox.Path("scratch/" + rel); }
    // "{R}" becomes the sandbox root, "{src}" the newer set, "{pwn}" a file
    // that only an injected shell command would create.
    std::string Expand(std::string text) const;

    // The well-formed store described above, in defsDir.
    void MakeStore(const std::string& defsDir) const;
    // A complete set kNew in incoming, optionally with cleanup patterns.
    void PlantIncoming(const Strings& cleanup = {}) const;
    // Adds entries at the top of a section of dir/catalog.dat, adding the
    // section when it is missing.
    void AddCatalogEntries(const std::string& dir, const std::string& section,
                           const Strings& entries) const;
    void PlantDefInfo(const std::string& cur, const std::string& last) const;
    void PlantUsage(const std::string& text) const;
    void EnableDebugLog() const;
    // The configuration names the base directory through a link root made.
    void UseBaseDirThroughLink();
    // Each replaces whatever is at path.
    void PlantSymlink(const std::string& target, const std::string& path) const;
    void PlantHardLink(const std::string& existing, const std::string& path) const;
    void PlantFifo(const std::string& path) const;
    // The same with a target below decoy/ and a path below the definitions.
    void Link(const std::string& decoy, const std::string& defs) const
    {
        PlantSymlink(Decoy(decoy), Defs(defs));
    }
    void HardLink(const std::string& decoy, const std::string& defs) const
    {
        PlantHardLink(Decoy(decoy), Defs(defs));
    }

    CliResult Run(const Strings& args, const Strings& env = {}) const;
    // Everything outside the store that the program must leave alone, and
    // what changed there since a snapshot: one line per entry.
    typedef std::map<std::string, std::string> Snapshot;
    Snapshot Outside() const;
    Strings ChangesOutside(const Snapshot& before) const;
    // Paths of regular files in the base directory holding the secret but
    // not being one of the decoy files themselves: copies the program made.
    Strings CopiesOfSecrets() const;
    // "other" still gets its set.
    void ExpectOthersRegistration() const;
    // A location printed by -g must be a set directory inside a store.
    void ExpectSetInStore(const std::string& out) const;

    std::string configuredBase;  // as written in the configuration file

private:
    static std::string Join(const std::string& dir, const std::string& rel)
    {
        return rel.empty() ? dir : dir + "/" + rel;
    }
    std::set<std::pair<dev_t, ino_t>> m_decoyFiles;
};
