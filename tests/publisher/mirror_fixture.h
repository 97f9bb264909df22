// A published mirror for the publisher's tests: definition sets made on
// disk, a repository and mirror in the test's sandbox, and helpers to read
// what the publisher wrote and to forge metadata with the repository's own
// keys (what an attacker holding one key, or a broken mirror, would serve).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "publisher/canonical_json.h"
#include "publisher/metadata.h"
#include "publisher/publisher.h"
#include "publisher/verifier.h"
#include "tests/support/sandbox.h"

namespace pubtest {

using publisher::json;

// 2026-01-05 12:00:00 UTC: every test runs at fixed times.
constexpr int64_t kT0 = 1767614400;

struct SetFiles {
    int year, month, day;
    uint32_t revision;
    std::map<std::string, std::string> files;  // besides virscan1.dat and catalog.dat
    std::string catalogExtra = "";             // appended to the catalog
    bool hubIsWholeSet = true;
};

// Deterministic data files: `count` files of `size` bytes, with `edits`
// 64-byte stretches changed per file according to `seed`.
std::map<std::string, std::string> DataFiles(int count, size_t size, unsigned seed, int edits);
// Writes the set: a dated virscan1.dat, the files, and a catalog whose hub
// sections list every file (or only virscan1.dat and catalog.dat) and
// whose text hub lists the files starting with "text".
void WriteSetDir(const std::string& dir, const SetFiles& set);

// Length + SHA-256 set digest of the regular files in a directory.
std::string DirDigest(const std::string& dir);
std::map<std::string, std::string> ReadDirFiles(const std::string& dir);

// Members are public so that table rows (free lambdas) can use them.
class MirrorTest : public SandboxTest {
public:
    std::string repo = sandbox.Path("repo"), mirror = sandbox.Path("mirror");

    void Init(int rootKeys = 1, int threshold = 1);
    // Publishes a set directory at time `now`; fails the test when refused.
    void Add(const std::string& setDir, int64_t now = kT0,
             const std::string& product = "Example Defs", const std::string& contentType = "");
    publisher::Status TryAdd(const std::string& setDir, int64_t now, const std::string& product,
                             const std::string& contentType = "");

    std::string MirrorFile(const std::string& relative) const;
    json Envelope(const std::string& relative) const;
    void WriteEnvelope(const std::string& relative, const json& envelope) const;
    std::string RootBytes(int version = 1) const;
    // Signs a signed part with the repository's keys of a role of the
    // current root (or only the first `count` of them).
    json Sign(const json& signedPart, const std::string& role, size_t count = 100) const;
    json SignWithKeys(const json& signedPart, const std::vector<std::string>& keyids) const;
    std::vector<std::string> RoleKeyIds(const json& rootSigned, const std::string& role) const;
    // Re-signs the current snapshot's and timestamp's entries after a
    // change below them, so only the change itself can be refused.
    void ResignTimestampFor(const std::string& snapshotBytes, uint64_t snapshotVersion) const;
    void ResignChainForTargets(const std::string& targetsBytes, uint64_t targetsVersion) const;
};

}  // namespace pubtest
