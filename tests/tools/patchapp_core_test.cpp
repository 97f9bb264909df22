// The patch core's fixed points: hash values packages carry, and the
// parser's bounds behind an intact trailer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/tools/patchapp_sets.h"
#include "tools/patchapp/package_format.h"

namespace {

using namespace patchapp;

// Round trips cannot see a changed hash; packages made earlier would.
TEST(PatchHash, ValuesArePinnedBecausePackagesCarryThem)
{
    struct Row {
        const char* text;
        uint64_t hash;
    } rows[] = {
        {"", 0xE4E078E3FFDC7CFFULL},
        {"a", 0x8FD7A9317E5BB13BULL},
        {"catalog.dat", 0xDB0B7843C639F1F2ULL},
        {"0123456789abcdef0123456789abcdef0123456789", 0x211A012679171F3EULL},
        {"The quick brown fox jumps over the lazy dog; the quick brown fox jumps over the lazy dog"
         " again.",
         0x0FCDC66DABD899B5ULL},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Hash64(r.text, strlen(r.text)), r.hash) << '"' << r.text << '"';
}

TEST_F(SandboxTest, ParserRejectsResealedFieldsOutOfBounds)
{
    FileSet oldSet{{"a.dat", "aaaa"}, {"b.dat", std::string(5000, 'b')}};
    const Pkg good = MakePackage(sandbox, oldSet, {{"a.dat", "aaaa"}, {"c.dat", "c"}}, 0);
    size_t a = AsString(good).find("a.dat"), c = AsString(good).find("c.dat");
    // Entry: kind, flags, 2-byte name length, name, five 64-bit fields, payload.
    struct Row {
        const char* name;
        void (*damage)(Pkg& p, size_t a, size_t c);
    } rows[] = {
        {"CountTooLarge", [](Pkg& p, size_t, size_t) { p[19] = 0x7F; }},
        {"NameWithSlash", [](Pkg& p, size_t a, size_t) { p[a + 1] = '/'; }},
        {"DuplicateName", [](Pkg& p, size_t, size_t c) { p[c] = 'b'; }},
        {"PayloadBeyondEnd", [](Pkg& p, size_t, size_t c) { p[c + 5 + 39] = 0x40; }},
        {"TrailingBytes", [](Pkg& p, size_t, size_t) { p.insert(p.end() - 8, 0); }},
    };
    Package parsed;
    ASSERT_EQ(ParsePackage(good.data(), good.size(), parsed), PA_OK);
    for (const Row& r : rows) {
        Pkg p = good;
        r.damage(p, a, c);
        Reseal(p);
        EXPECT_EQ(ParsePackage(p.data(), p.size(), parsed), PA_E_BAD_PACKAGE) << r.name;
    }
}

TEST(SetFileName, OnlyPlainNamesInsideTheDirectoryAreAccepted)
{
    EXPECT_TRUE(IsValidSetFileName("...") && IsValidSetFileName(std::string(255, 'n')));
    for (const std::string& bad : {std::string(256, 'n'), std::string(), std::string("."),
                                   std::string(".."), std::string("a/b"), std::string("a\0b", 3)})
        EXPECT_FALSE(IsValidSetFileName(bad)) << bad;
}

}  // namespace
