// Definition sets on disk; a publisher's repository and mirror in the sandbox.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "publisher/defset.h"
#include "publisher/metadata.h"
#include "publisher/publisher.h"
#include "publisher/verifier.h"
#include "tests/support/sandbox.h"

namespace pubtest {

using publisher::json;
using Files = std::map<std::string, std::string>;

// 2026-01-05 12:00:00 UTC: every test runs at fixed times.
constexpr int64_t kT0 = 1767614400;

// The 32-byte virscan1.dat header that dates a set.
inline std::string SetHeader(uint32_t revision, int month, int day, int yearByte)
{
    std::string h(32, 'Z');
    for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(revision >> (8 * i));
    return h.replace(8, 3, {char(month), char(day), char(yearByte)});
}

// `count` files of `size` bytes that differ between seeds only in the first
// 64 bytes of every 4 KiB, as sets differ in real updates.
inline Files DataFiles(int count, size_t size, unsigned seed)
{
    Files out;
    for (int i = 0; i < count; ++i) {
        std::mt19937 base(1000 + i), change(seed * 7919 + i);
        std::string& data = out["defs00" + std::to_string(i) + ".dat"];
        for (size_t k = 0; k < size; ++k)
            data += static_cast<char>(k % 4096 < 64 ? change() : base());
    }
    return out;
}

struct SetFiles {  // a set of 2026
    int month, day;
    uint32_t revision;
    Files files;                    // besides virscan1.dat and catalog.dat
    std::string catalogExtra = "";  // appended to the catalog
    bool hubIsWholeSet = true;      // or the binary hub holds only the two above
};

// The catalog's text hub lists the files named "text*".
inline void WriteSetDir(const std::string& dir, const SetFiles& set)
{
    ::MakeDirs(dir);
    WriteTextFile(dir + "/virscan1.dat", SetHeader(set.revision, set.month, set.day, 126) + "main");
    std::string all = "virscan1.dat\ncatalog.dat\n", hub = all, text;
    for (const auto& [name, data] : set.files) {
        WriteTextFile(dir + "/" + name, data);
        all += name + "\n";
        if (publisher::Lower(name).compare(0, 4, "text") == 0)
            text += name + "\n";
    }
    text = text.empty() ? "" : "[Text Hub Files]\n" + text;
    WriteTextFile(dir + "/catalog.dat", "[Files]\n" + all + "[Binary Hub Files - Linux]\n" +
                                            (set.hubIsWholeSet ? all : hub) +
                                            "[Binary Hub Files - Common]\n" + text +
                                            set.catalogExtra);
}

inline Files ReadDirFiles(const std::string& dir)
{
    Files out;
    for (const std::string& name : ::ListDir(dir)) out[name] = ReadTextFile(dir + "/" + name);
    return out;
}

// Members are public so that table rows (free lambdas) can use them.
class MirrorTest : public SandboxTest {
public:
    using SandboxTest::sandbox;
    std::string repo = sandbox.Path("repo"), mirror = sandbox.Path("mirror");

    void Init(int rootKeys = 1, int threshold = 1)
    {
        ASSERT_TRUE(
            publisher::Publisher::Init(repo, mirror, {rootKeys, threshold, 2, {}}, kT0).ok());
    }
    // Publishes a set; a refusal fails the test unless `mayFail`.
    publisher::Status Add(const std::string& setDir, int64_t now,
                          const std::string& product = "Example Defs", bool mayFail = false)
    {
        publisher::Publisher pub;
        publisher::Status st = publisher::Publisher::Open(repo, now, &pub);
        if (st.ok())
            st = pub.Add({product, "", setDir});
        EXPECT_TRUE(st.ok() || mayFail) << st.message;
        return st;
    }
    std::string MirrorFile(const std::string& relative) const { return mirror + "/" + relative; }
    json Signed(const std::string& path) const
    {
        return json::parse(ReadTextFile(MirrorFile(path)), nullptr, false)["signed"];
    }
    std::string RootBytes() const { return ReadTextFile(MirrorFile(publisher::RootPath(1))); }
};

}  // namespace pubtest
