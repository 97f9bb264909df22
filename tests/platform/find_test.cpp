#include "platform/find.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wildcard.h"
#include "tests/support/sandbox.h"

namespace {

// ---------------------------------------------------------------------------
// Wildcard matching

struct MatchRow {
    const char* label;
    std::string pattern;
    std::string name;
    bool matches;
};

const MatchRow kMatchRows[] = {
    {"QuestionMatchesOneChar", "a?c", "abc", true},
    {"QuestionMatchesNoChar", "a?c", "ac", true},
    {"QuestionNotTwoChars", "a?c", "abbc", false},
    {"TwoQuestionsAtMostTwo", "??", "abc", false},
    {"TwoQuestionsEmptyName", "??", "", true},
    {"StarEmptyRun", "tmp*", "tmp", true},
    {"StarLongRun", "tmp*", "tmp123", true},
    {"StarNotBefore", "tmp*", "xtmp", false},
    {"StarInMiddle", "a*c", "abbbc", true},
    {"StarSuffixMustEnd", "*b", "abc", false},
    {"CaseSensitive", "*.DAT", "x.dat", false},
    {"DotStarDotNotSpecialHere", "*.*", "noext", false},
    {"BracketIsLiteral", "[ab]c", "[ab]c", true},
    {"BracketNoClass", "[ab]c", "ac", false},
    {"PrefixNotEnough", "ab", "abc", false},
    {"EmptyPatternEmptyName", "", "", true},
    {"EmptyPatternMatchesNothingElse", "", "a", false},
    {"HighBytesLiteral", "\xe4*\xff", "\xe4xy\xff", true},
    {"StarThenQuestion", "*?", "", true},
    {"LongLiteral", std::string(4095, 'a'), std::string(4095, 'a'), true},
    {"LiteralTooLong", std::string(4096, 'a'), std::string(4096, 'a'), false},
    {"StarsAtLimit", std::string(2047, '*'), "a", true},
    {"StarsOverLimit", std::string(2048, '*'), "a", false},
    {"QuestionFillsLastPair", std::string(4094, 'a') + "?", std::string(4094, 'a') + "b", true},
    {"StarNeedsFourStates", std::string(4094, 'a') + "*", std::string(4094, 'a'), false},
    {"StarFitsExactly", std::string(4093, 'a') + "*", std::string(4093, 'a') + "zz", true},
};

void PrintTo(const MatchRow& row, std::ostream* os)
{
    *os << row.label;
}

class WildcardMatchTest : public ::testing::TestWithParam<MatchRow> {};

TEST_P(WildcardMatchTest, MatchesWholeName)
{
    const MatchRow& row = GetParam();
    EXPECT_EQ(WildcardMatch(row.pattern.c_str(), row.name.c_str()), row.matches);
}

INSTANTIATE_TEST_SUITE_P(Rows, WildcardMatchTest, ::testing::ValuesIn(kMatchRows),
                         [](const ::testing::TestParamInfo<MatchRow>& info) { return info.param.label; });

TEST(WildcardMatcherTest, ManyStarsOnLongNameRunOutOfQueue)
{
    // States are not merged, so each star multiplies the queue entries per
    // character; the fixed queue turns that into a refusal, not a blow-up.
    WildcardMatcher matcher;
    ASSERT_TRUE(matcher.Compile(std::string(10, '*').c_str()));
    EXPECT_EQ(matcher.Match("abc"), WildcardResult::kMatch);
    EXPECT_EQ(matcher.Match(std::string(40, 'a').c_str()), WildcardResult::kQueueFull);
    EXPECT_FALSE(WildcardMatch(std::string(10, '*').c_str(), std::string(40, 'a').c_str()));
}

// ---------------------------------------------------------------------------
// FileTime conversions

TEST(FileTimeTest, ConversionsAtTheBoundaries)
{
    struct Row {
        const char* label;
        time_t posix;
        uint64_t ticks;
        time_t back;
    } rows[] = {
        {"epoch", 0, 116444736000000000ULL, 0},
        {"cut to 15 s", 14, 116444736000000000ULL, 0},
        {"next step", 15, 116444736150000000ULL, 15},
        {"negative cut toward zero", -14, 116444736000000000ULL, 0},
        {"negative step", -15, 116444735850000000ULL, -15},
        {"int32 max", INT32_MAX, (INT32_MAX / 15 + 776298240ULL) * 150000000ULL, INT32_MAX / 15 * 15},
        {"int32 min", INT32_MIN, (776298240ULL - 143165576ULL) * 150000000ULL, -2147483640},
        {"only low 32 bits count", static_cast<time_t>(0x100000000LL + 30), 116444736300000000ULL, 30},
    };
    for (const Row& row : rows) {
        FileTime ft = PosixTimeToFileTime(row.posix);
        uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
        EXPECT_EQ(ticks, row.ticks) << row.label;
        EXPECT_EQ(FileTimeToPosixTime(ft), row.back) << row.label;
    }
}

TEST(FileTimeTest, ReverseConversionSaturates)
{
    struct Row {
        const char* label;
        FileTime ft;
        time_t posix;
    } rows[] = {
        // q = 2^32 - 1 once the high half reaches 150000000.
        {"high at threshold", {0, 150000000}, static_cast<int32_t>((0xFFFFFFFFu - 776298240u) * 15u)},
        {"all ones", {0xFFFFFFFF, 0xFFFFFFFF}, static_cast<int32_t>((0xFFFFFFFFu - 776298240u) * 15u)},
        {"just below threshold", {0, 149999999}, static_cast<int32_t>((4294967267u - 776298240u) * 15u)},
        {"zero wraps", {0, 0}, static_cast<int32_t>((0u - 776298240u) * 15u)},
    };
    for (const Row& row : rows)
        EXPECT_EQ(FileTimeToPosixTime(row.ft), row.posix) << row.label;
}

// ---------------------------------------------------------------------------
// Listings

struct Record {
    std::string name;
    DWORD attributes;
    bool operator==(const Record& other) const { return name == other.name && attributes == other.attributes; }
};

std::ostream& operator<<(std::ostream& os, const Record& r)
{
    return os << r.name << "/" << r.attributes;
}

// Runs a whole listing; an empty result stands for the invalid handle.
std::vector<Record> List(const std::string& path)
{
    std::vector<Record> records;
    FindData fd;
    HANDLE h = FindFirstFile(path.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return records;
    do {
        EXPECT_EQ(fd.pszName, fd.szName);
        records.push_back({fd.szName, fd.dwFileAttributes});
    } while (FindNextFile(h, &fd));
    EXPECT_EQ(FindClose(h), TRUE);
    return records;
}

class FindTest : public SandboxTest {
protected:
    void SetUp() override
    {
        dir = sandbox.Path("list");
        MakeDirs(dir);
    }
    void Touch(const std::string& name, mode_t mode = 0644) { WriteTextFile(dir + "/" + name, "", mode); }
    std::string dir;
};

constexpr DWORD kFile = FILE_ATTR_NORMAL;
constexpr DWORD kDir = FILE_ATTR_DIRECTORY;

TEST_F(FindTest, PatternsSelectAndSortInByteOrder)
{
    for (const char* name : {"ac", "abc", "abbc", "tmp", "tmp123", "x.dat", "B.dat", "a.dat", "noext", "[ab]c"})
        Touch(name);
    MakeDirs(dir + "/sub");
    const std::vector<Record> everything = {
        {".", kDir},     {"..", kDir},     {"B.dat", kFile}, {"[ab]c", kFile}, {"a.dat", kFile},
        {"abbc", kFile}, {"abc", kFile},   {"ac", kFile},    {"noext", kFile}, {"sub", kDir},
        {"tmp", kFile},  {"tmp123", kFile}, {"x.dat", kFile},
    };
    struct Row {
        const char* pattern;
        std::vector<Record> expected;
    } rows[] = {
        {"*.*", everything},
        {"*", everything},
        {"a?c", {{"abc", kFile}, {"ac", kFile}}},
        {"tmp*", {{"tmp", kFile}, {"tmp123", kFile}}},
        {"*.dat", {{"B.dat", kFile}, {"a.dat", kFile}, {"x.dat", kFile}}},
        {"*.DAT", {}},
        {"[ab]c", {{"[ab]c", kFile}}},
        {"", {}},
        {"sub", {{"sub", kDir}}},
        {"missing", {}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(List(dir + "/" + row.pattern), row.expected) << row.pattern;
}

TEST_F(FindTest, AttributesFollowTypeWriteBitsAndLinks)
{
    Touch("rw");
    Touch("ro", 0444);
    Touch("owner-only-write", 0200);
    MakeDirs(dir + "/d");
    MakeDirs(dir + "/rod", 0555);
    ASSERT_EQ(symlink("d", (dir + "/link-dir").c_str()), 0);
    ASSERT_EQ(symlink("ro", (dir + "/link-ro").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir + "/link-dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    const std::vector<Record> expected = {
        {"d", 512},       {"link-dir", 512}, {"link-ro", 96}, {"owner-only-write", 64},
        {"ro", 96},       {"rod", 544},      {"rw", 64},
    };
    std::vector<Record> all = List(dir + "/*");
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(std::vector<Record>(all.begin() + 2, all.end()), expected);
}

TEST_F(FindTest, RecordCarriesSizeAndTimes)
{
    WriteTextFile(dir + "/f", "12345");
    // 2020-01-01 00:00:00, 00:00:14 and 00:00:15 UTC.
    const time_t midnight = 1577836800;
    struct Row {
        const char* name;
        time_t mtime;
    } rows[] = {{"t00", midnight}, {"t14", midnight + 14}, {"t15", midnight + 15}};
    for (const Row& row : rows) {
        Touch(row.name);
        struct timeval tv[2] = {{row.mtime - 100, 0}, {row.mtime, 0}};
        ASSERT_EQ(utimes((dir + "/" + row.name).c_str(), tv), 0);
    }
    auto record = [&](const char* name) {
        FindData fd{};
        HANDLE h = FindFirstFile((dir + "/" + name).c_str(), &fd);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << name;
        FindClose(h);
        return fd;
    };
    auto writeTime = [&](const char* name) {
        FileTime ft = record(name).ftLastWriteTime;
        return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    };
    EXPECT_EQ(writeTime("t00"), (midnight / 15 + 776298240ULL) * 150000000ULL);
    EXPECT_EQ(writeTime("t00"), writeTime("t14"));
    EXPECT_LT(writeTime("t14"), writeTime("t15"));
    EXPECT_EQ(FileTimeToPosixTime(record("t00").ftLastAccessTime), midnight - 105);
    EXPECT_EQ(record("f").nFileSizeHigh, 0u);
    EXPECT_EQ(record("f").nFileSizeLow, 5u);
}

TEST_F(FindTest, ListingGrowsPastSeveralCapacities)
{
    std::vector<Record> expected = {{".", kDir}, {"..", kDir}};
    for (int i = 0; i < 45; ++i) {
        char name[8];
        snprintf(name, sizeof name, "f%02d", i);
        Touch(name);
        expected.push_back({name, kFile});
    }
    EXPECT_EQ(List(dir + "/*"), expected);
}

TEST_F(FindTest, NextKeepsFailingAfterTheLastRecord)
{
    Touch("fa");
    Touch("fb");
    FindData fd;
    HANDLE h = FindFirstFile((dir + "/f?").c_str(), &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(fd.szName, "fa");
    EXPECT_EQ(FindNextFile(h, nullptr), FALSE) << "a null record must not move the index";
    ASSERT_EQ(FindNextFile(h, &fd), TRUE);
    EXPECT_STREQ(fd.pszName, "fb");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(FindNextFile(h, &fd), FALSE) << "call " << i;
    EXPECT_STREQ(fd.szName, "fb");
    EXPECT_EQ(FindClose(h), TRUE);
}

TEST_F(FindTest, InvalidHandlesAreRefused)
{
    // Something that is not a listing: a tag other than 20 up front.
    uint32_t notAListing[16] = {7};
    FindData fd;
    const HANDLE handles[] = {nullptr, INVALID_HANDLE_VALUE, notAListing};
    for (HANDLE h : handles) {
        EXPECT_EQ(FindNextFile(h, &fd), FALSE);
        EXPECT_EQ(FindClose(h), FALSE);
    }
}

TEST_F(FindTest, BadPathsFail)
{
    Touch("file");
    const std::string tooLong = dir + "/" + std::string(4096 - dir.size(), '*');
    ASSERT_EQ(tooLong.size(), 4097u);
    const std::string trailingSlash = dir + "/";
    struct Row {
        const char* label;
        const char* path;
        bool withRecord;
    } rows[] = {
        {"null path", nullptr, true},
        {"empty path", "", true},
        {"null record", "/", false},
        {"trailing slash", trailingSlash.c_str(), true},
        {"longer than 4096", tooLong.c_str(), true},
    };
    for (const Row& row : rows) {
        FindData fd;
        EXPECT_EQ(FindFirstFile(row.path, row.withRecord ? &fd : nullptr), INVALID_HANDLE_VALUE) << row.label;
    }
    EXPECT_EQ(List(dir + "/file/*"), std::vector<Record>{}) << "a file is not a directory";
    EXPECT_EQ(List(dir + "/missing/*"), std::vector<Record>{});
}

TEST_F(FindTest, PathNamingADirectoryYieldsThatDirectory)
{
    MakeDirs(dir + "/lib");
    EXPECT_EQ(List(dir + "/lib"), (std::vector<Record>{{"lib", kDir}}));
    // The last "/" is the first byte: the directory is the root itself.
    EXPECT_EQ(List("/tmp"), (std::vector<Record>{{"tmp", kDir}}));
}

TEST_F(FindTest, NoSlashListsTheCurrentDirectory)
{
    Touch("x");
    Touch("xy");
    char saved[4097];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    std::vector<Record> tmpx = List("x*");
    // Without a directory part the pattern may use the whole 4096 bytes: a
    // 4095-byte one compiles to exactly 8192 states, a 4096-byte one needs
    // two more.
    std::vector<Record> fits = List("x" + std::string(4094, '?'));
    std::vector<Record> overflows = List("x" + std::string(4095, '?'));
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(tmpx, (std::vector<Record>{{"x", kFile}, {"xy", kFile}}));
    EXPECT_EQ(fits, (std::vector<Record>{{"x", kFile}, {"xy", kFile}}));
    EXPECT_EQ(overflows, std::vector<Record>{});
}

TEST_F(FindTest, FullPathOverTheLimitIsSkipped)
{
    // Nest directories until the path is 3950 bytes long.
    std::string deep = dir;
    while (deep.size() < 3950) {
        deep += "/" + std::string(std::min<size_t>(200, 3950 - deep.size() - 1), 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    char saved[4097];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(deep.c_str()), 0);
    // Created relative to the directory, as the full path would be too long.
    WriteTextFile("short", "");
    WriteTextFile(std::string(200, 'n'), "");
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(List(deep + "/*"), (std::vector<Record>{{".", kDir}, {"..", kDir}, {"short", kFile}}));
}

}  // namespace
