// The patch core on its own: hash, deltas and the package parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/tools/patchapp_sets.h"
#include "tools/patchapp/delta.h"
#include "tools/patchapp/hash.h"
#include "tools/patchapp/package_format.h"

namespace {

using namespace patchapp;

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

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
        {"The quick brown fox jumps over the lazy dog; the quick brown fox jumps over the lazy dog again.", 0x0FCDC66DABD899B5ULL},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Hash64(r.text, strlen(r.text)), r.hash) << '"' << r.text << '"';
}

TEST(PatchHash, EveryBitFlipAndLengthChangeShowsAcrossAllTailLengths)
{
    std::mt19937_64 rng(7);
    for (size_t len = 0; len <= 72; ++len) {
        std::string s = RandomBytes(rng, len);
        uint64_t h = Hash64(s.data(), s.size());
        EXPECT_NE(Hash64((s + '\0').data(), len + 1), h) << "len " << len;
        for (size_t bit = 0; bit < len * 8; ++bit) {
            std::string t = s;
            t[bit / 8] = static_cast<char>(t[bit / 8] ^ (1 << (bit % 8)));
            ASSERT_NE(Hash64(t.data(), t.size()), h) << "len " << len << " bit " << bit;
        }
    }
}

TEST(PatchHash, PiecewiseHashingMatchesTheOneShotHashForAnySplit)
{
    std::mt19937_64 rng(5);
    for (size_t len : {0, 1, 31, 32, 33, 64, 100, 1000}) {
        std::string s = RandomBytes(rng, len);
        for (int trial = 0; trial < 20; ++trial) {
            Hasher hasher;
            size_t at = 0;
            while (at < len) {
                size_t n = std::min(len - at, static_cast<size_t>(rng() % 40));
                hasher.Update(s.data() + at, n);
                at += n;
            }
            ASSERT_EQ(hasher.Final(), Hash64(s.data(), len)) << "len " << len << " trial " << trial;
        }
    }
}

struct DeltaCase {
    const char* name;
    std::string oldData;
    std::string newData;
    size_t maxDeltaSize;  // what a working matcher stays within
};

std::vector<DeltaCase> DeltaCases()
{
    std::mt19937_64 rng(11);
    std::string big = RandomBytes(rng, 1 << 20);
    std::string edited = big;
    for (int i = 0; i < 10; ++i)
        edited.replace(static_cast<size_t>(i) * 100000 + 5000, 100, RandomBytes(rng, 100));
    std::string moved = big.substr(600000) + big.substr(0, 600000);
    std::string grown = big.substr(0, 300000) + RandomBytes(rng, 5000) + big.substr(300000);
    std::string shrunk = big.substr(0, 200000) + big.substr(260000);
    std::string zeros(200000, '\0');
    std::string zerosEdited = zeros;
    zerosEdited[100000] = 'x';
    std::string small = RandomBytes(rng, 20);
    return {
        {"SmallEditsInLargeFile", big, edited, 4000},
        {"BlocksMoved", big, moved, 100},
        {"Insertion", big, grown, 5100},
        {"Deletion", big, shrunk, 100},
        {"Identical", big, big, 20},
        {"RepetitiveSource", zeros, zerosEdited, 200},
        {"CompletelyDifferent", big.substr(0, 50000), RandomBytes(rng, 50000), 50010},
        {"ToEmpty", big.substr(0, 1000), "", 0},
        {"FromEmpty", "", small, 30},
        {"ShorterThanBlock", small, small + "x", 30},
        {"UnalignedTail", big.substr(0, 4097), big.substr(0, 4097) + "tail", 20},
    };
}

class DeltaRoundTrip : public ::testing::TestWithParam<DeltaCase> {};

TEST_P(DeltaRoundTrip, RebuildsTheNewBytesFromACompactDelta)
{
    const DeltaCase& c = GetParam();
    std::vector<unsigned char> delta;
    EncodeDelta(Bytes(c.oldData), c.oldData.size(), Bytes(c.newData), c.newData.size(), delta);
    EXPECT_LE(delta.size(), c.maxDeltaSize);
    std::vector<unsigned char> out;
    ASSERT_TRUE(ApplyDelta(Bytes(c.oldData), c.oldData.size(), delta.data(), delta.size(),
                           c.newData.size(), out));
    EXPECT_TRUE(AsString(out) == c.newData);
    // The same delta must not claim any other result length.
    EXPECT_FALSE(ApplyDelta(Bytes(c.oldData), c.oldData.size(), delta.data(), delta.size(),
                            c.newData.size() + 1, out));
}

INSTANTIATE_TEST_SUITE_P(Cases, DeltaRoundTrip, ::testing::ValuesIn(DeltaCases()),
                         [](const ::testing::TestParamInfo<DeltaCase>& i) { return i.param.name; });

TEST(DeltaApply, RejectsEveryTruncationAndOutOfRangeInstruction)
{
    std::mt19937_64 rng(3);
    std::string oldData = RandomBytes(rng, 20000);
    std::string newData = Edit(rng, oldData, 6);
    std::vector<unsigned char> delta;
    EncodeDelta(Bytes(oldData), oldData.size(), Bytes(newData), newData.size(), delta);
    std::vector<unsigned char> out;
    for (size_t cut = 0; cut < delta.size(); ++cut)
        EXPECT_FALSE(ApplyDelta(Bytes(oldData), oldData.size(), delta.data(), cut, newData.size(), out))
            << "cut at " << cut;

    struct Row {
        const char* name;
        std::vector<unsigned char> delta;
        uint64_t resultSize;
    } rows[] = {
        // copy 4 bytes from offset 19998 of a 20000-byte source
        {"CopyPastEnd", {4 << 1, 0xBC, 0xB8, 0x02}, 4},
        // copy 4 bytes from offset -1
        {"CopyBeforeStart", {4 << 1, 0x01}, 4},
        {"ZeroLengthInsert", {1}, 0},
        {"InsertLongerThanDelta", {(10 << 1) | 1, 'a', 'b'}, 10},
        {"InsertLongerThanResult", {(3 << 1) | 1, 'a', 'b', 'c'}, 2},
        {"OverlongVarint", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 4},
    };
    for (const Row& r : rows)
        EXPECT_FALSE(ApplyDelta(Bytes(oldData), oldData.size(), r.delta.data(), r.delta.size(),
                                r.resultSize, out))
            << r.name;
}

// A package of a few files, rebuilt with its trailer recomputed after a
// deliberate change, so the parser's own checks are reached.
class ForgedPackage : public SandboxTest {
protected:
    std::vector<unsigned char> Build()
    {
        FileSet oldSet{{"a.dat", "aaaa"}, {"b.dat", std::string(5000, 'b')}, {"gone.dat", "x"}};
        FileSet newSet{{"a.dat", "aaaa"}, {"b.dat", std::string(4000, 'b') + "new"}, {"c.dat", "c"}};
        return MakePackage(sandbox, oldSet, newSet, 0);
    }
    static size_t Find(const std::vector<unsigned char>& p, const std::string& text)
    {
        return AsString(p).find(text);
    }
};

TEST_F(ForgedPackage, EveryTruncationAndBitFlipIsRejected)
{
    std::vector<unsigned char> good = Build();
    Package parsed;
    ASSERT_EQ(ParsePackage(good.data(), good.size(), parsed), PA_OK);
    ASSERT_EQ(parsed.entries.size(), 4u);
    for (size_t cut = 0; cut < good.size(); ++cut)
        ASSERT_EQ(ParsePackage(good.data(), cut, parsed), PA_E_BAD_PACKAGE) << "cut " << cut;
    for (size_t bit = 0; bit < good.size() * 8; ++bit) {
        std::vector<unsigned char> p = good;
        p[bit / 8] ^= static_cast<unsigned char>(1 << (bit % 8));
        ASSERT_EQ(ParsePackage(p.data(), p.size(), parsed), PA_E_BAD_PACKAGE) << "bit " << bit;
    }
}

TEST_F(ForgedPackage, ResealedDamageIsStillRejected)
{
    const std::vector<unsigned char> good = Build();
    // Layout: 24-byte header, then per entry kind, flags, 2-byte name
    // length, name, five 64-bit fields, payload.
    struct Row {
        const char* name;
        void (*damage)(std::vector<unsigned char>&, size_t aName, size_t cName);
    } rows[] = {
        {"Magic", [](std::vector<unsigned char>& p, size_t, size_t) { p[0] = 'X'; }},
        {"Version", [](std::vector<unsigned char>& p, size_t, size_t) { p[8] = 2; }},
        {"UnknownFlag", [](std::vector<unsigned char>& p, size_t, size_t) { p[12] = 2; }},
        {"CountTooLarge", [](std::vector<unsigned char>& p, size_t, size_t) { p[16] = 5; }},
        {"CountTooSmall", [](std::vector<unsigned char>& p, size_t, size_t) { p[16] = 3; }},
        {"Reserved", [](std::vector<unsigned char>& p, size_t, size_t) { p[20] = 1; }},
        {"UnknownKind", [](std::vector<unsigned char>& p, size_t a, size_t) { p[a - 4] = 9; }},
        {"NameWithSlash", [](std::vector<unsigned char>& p, size_t a, size_t) { p[a + 1] = '/'; }},
        {"NameDotDot", [](std::vector<unsigned char>& p, size_t a, size_t) {
             p[a - 2] = 2;  // name length 2 would misalign everything after
             p[a] = '.';
             p[a + 1] = '.';
         }},
        {"NamesOutOfOrder", [](std::vector<unsigned char>& p, size_t a, size_t) { p[a] = 'z'; }},
        {"DuplicateName", [](std::vector<unsigned char>& p, size_t, size_t c) { p[c] = 'b'; }},
        {"UnchangedWithDifferentSizes", [](std::vector<unsigned char>& p, size_t a, size_t) {
             p[a + 5] ^= 1;  // low byte of the source size of "a.dat"
         }},
        {"PayloadBeyondEnd", [](std::vector<unsigned char>& p, size_t, size_t c) { p[c + 5 + 39] = 0x40; }},
        {"TrailingBytes", [](std::vector<unsigned char>& p, size_t, size_t) { p.insert(p.end() - 8, 0); }},
    };
    for (const Row& r : rows) {
        std::vector<unsigned char> p = good;
        size_t a = Find(p, "a.dat");
        size_t c = Find(p, "c.dat");
        ASSERT_NE(a, std::string::npos);
        ASSERT_NE(c, std::string::npos);
        r.damage(p, a, c);
        Reseal(p);
        Package parsed;
        EXPECT_EQ(ParsePackage(p.data(), p.size(), parsed), PA_E_BAD_PACKAGE) << r.name;
    }
}

TEST(SetFileName, OnlyPlainNamesInsideTheDirectoryAreAccepted)
{
    struct Row {
        std::string name;
        bool valid;
    } rows[] = {
        {"virscan1.dat", true}, {".hidden", true},       {"...", true},
        {std::string(255, 'n'), true},                   {std::string(256, 'n'), false},
        {"", false},            {".", false},            {"..", false},
        {"a/b", false},         {"/abs", false},         {std::string("a\0b", 3), false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(IsValidSetFileName(r.name), r.valid) << r.name;
}

}  // namespace
