// A published mirror for the publisher's tests: definition sets made on
// disk, a repository and mirror in the test's sandbox, and readers of what
// the publisher wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "publisher/canonical_json.h"
#include "publisher/metadata.h"
#include "publisher/publisher.h"
#include "publisher/verifier.h"
#include "tests/support/sandbox.h"

namespace pubtest {

using publisher::json;

// 2026-01-05 12:00:00 UTC: every test runs at fixed times.
constexpr int64_t kT0 = 1767614400;

// The 32-byte virscan1.dat header that dates a set.
std::string SetHeader(uint32_t revision, int month, int day, int yearByte);

struct SetFiles {
    int year, month, day;
    uint32_t revision;
    std::map<std::string, std::string> files;  // besides virscan1.dat and catalog.dat
    std::string catalogExtra = "";             // appended to the catalog
    bool hubIsWholeSet = true;
};

// `count` files of `size` bytes, the same for every seed but for `edits`
// 64-byte stretches per file, so that sets differ as real updates do.
std::map<std::string, std::string> DataFiles(int count, size_t size, unsigned seed, int edits);
// The files, a dated virscan1.dat and a catalog whose binary hub lists
// every file (or only the two fixed ones) and whose text hub lists "text*".
void WriteSetDir(const std::string& dir, const SetFiles& set);
std::map<std::string, std::string> ReadDirFiles(const std::string& dir);
std::string DirDigest(const std::string& dir);

// Members are public so that table rows (free lambdas) can use them.
class MirrorTest : public SandboxTest {
public:
    using SandboxTest::sandbox;
    std::string repo = sandbox.Path("repo"), mirror = sandbox.Path("mirror");

    void Init(int rootKeys = 1, int threshold = 1);
    publisher::Status TryAdd(const std::string& setDir, int64_t now,
                             const std::string& product = "Example Defs",
                             const std::string& contentType = "");
    void Add(const std::string& setDir, int64_t now, const std::string& product = "Example Defs",
             const std::string& contentType = "")
    {
        publisher::Status st = TryAdd(setDir, now, product, contentType);
        ASSERT_TRUE(st.ok()) << st.message;
    }
    std::string MirrorFile(const std::string& relative) const { return mirror + "/" + relative; }
    json Signed(const std::string& relative) const;
    std::string RootBytes() const { return ReadTextFile(MirrorFile(publisher::RootPath(1))); }
};

}  // namespace pubtest
