#include "platform/find.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/wildcard.h"
#include "tests/support/sandbox.h"

namespace {

TEST(WildcardTest, MatchesWholeName)
{
    // A compiled pattern has at most 8192 states: two per literal, four per star.
    const std::string a4093(4093, 'a'), a4094(4094, 'a'), a4095(4095, 'a'), a4096(4096, 'a');
    const std::tuple<std::string, std::string, bool> rows[] = {
        {"a?c", "abc", true},       {"a?c", "ac", true},
        {"a?c", "abbc", false},     {"tmp*", "tmp", true},
        {"tmp*", "xtmp", false},    {"*.DAT", "x.dat", false},
        {"*.*", "noext", false},    {a4095, a4095, true},
        {a4096, a4096, false},      {a4093 + "*", a4093 + "zz", true},
        {a4094 + "*", a4094, false}};
    for (const auto& [pattern, name, matches] : rows)
        EXPECT_EQ(WildcardMatch(pattern.c_str(), name.c_str()), matches) << pattern << " " << name;
    // Stars multiply the queue entries; the fixed queue refuses rather than blows up.
    WildcardMatcher matcher;
    ASSERT_TRUE(matcher.Compile("**********"));
    EXPECT_EQ(matcher.Match(std::string(40, 'a').c_str()), WildcardResult::kQueueFull);
}

TEST(FileTimeTest, ConvertsInFifteenSecondSteps)
{
    auto ticks = [](time_t t) {
        FileTime ft = PosixTimeToFileTime(t);
        return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    };
    const uint64_t epoch = 116444736000000000ULL, step = 150000000ULL;
    EXPECT_EQ(ticks(14), epoch);
    EXPECT_EQ(ticks(15), epoch + step);
    EXPECT_EQ(ticks(0x100000000LL + 30), epoch + 2 * step) << "only the low 32 bits count";
}

// What a listing tells about one path: every record, with the fields a
// caller reads. The handle must also behave after the end.
using Answer = std::vector<std::tuple<std::string, DWORD, DWORD, time_t, time_t>>;

Answer Ask(const std::string& path)
{
    Answer answer;
    FindData fd;
    HANDLE h = FindFirstFile(path.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return answer;
    EXPECT_EQ(FindNextFile(h, nullptr), FALSE);  // and must not move the index
    do
        answer.emplace_back(fd.pszName, fd.dwFileAttributes, fd.nFileSizeLow,
                            FileTimeToPosixTime(fd.ftLastWriteTime),
                            FileTimeToPosixTime(fd.ftLastAccessTime));
    while (FindNextFile(h, &fd));
    EXPECT_EQ(FindNextFile(h, &fd), FALSE) << "keeps failing after the end";
    EXPECT_EQ(FindClose(h), TRUE);
    return answer;
}

// Names and attributes, in listing order.
std::string List(const std::string& path)
{
    std::string list;
    for (const auto& r : Ask(path))
        list += std::get<0>(r) + ":" + std::to_string(std::get<1>(r)) + " ";
    return list;
}

using FindTest = SandboxTest;

TEST_F(FindTest, ListsInByteOrderWithAttributesAndGrows)
{
    const std::string dir = sandbox.Path("list");  // the root holds the sandbox's own files
    MakeDirs(dir);
    for (const char* name : {"ac", "abc", "abbc", "B.dat"}) WriteTextFile(dir + "/" + name, "");
    WriteTextFile(dir + "/rw", "12345");
    WriteTextFile(dir + "/ro", "", 0444);
    MakeDirs(dir + "/d");
    ASSERT_EQ(symlink("d", (dir + "/link-dir").c_str()), 0);
    ASSERT_EQ(symlink("ro", (dir + "/link-ro").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir + "/link-dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    // "*.*" takes names without a dot too; dangling links and FIFOs are left out.
    EXPECT_EQ(List(dir + "/*.*"),
              ".:512 ..:512 B.dat:64 abbc:64 abc:64 ac:64 d:512 link-dir:512 "
              "link-ro:96 ro:96 rw:64 ");
    struct timeval tv[2] = {{1577836700, 0}, {1577836814, 0}};  // 1577836800 is a multiple of 15
    ASSERT_EQ(utimes((dir + "/rw").c_str(), tv), 0);
    EXPECT_EQ(Ask(dir + "/rw"), (Answer{{"rw", FILE_ATTR_NORMAL, 5, 1577836800, 1577836695}}));
    // Many more names than the listing's first capacity.
    std::string expected;
    for (int i = 10; i < 55; ++i) {
        WriteTextFile(dir + "/f" + std::to_string(i), "");
        expected += "f" + std::to_string(i) + ":64 ";
    }
    EXPECT_EQ(List(dir + "/f*"), expected);
}

// The answer of a directory read for `path`: the records of the whole
// directory that its last part, as a pattern, matches.
Answer ReadDirectoryAnswer(const std::string& path)
{
    size_t slash = path.rfind('/');
    std::string pattern = path.substr(slash + 1);
    Answer matched;
    for (const auto& record : Ask(path.substr(0, slash) + "/*"))
        if (WildcardMatch(pattern.c_str(), std::get<0>(record).c_str()))
            matched.push_back(record);
    return matched;
}

TEST_F(FindTest, PlainNameGivesTheDirectoryReadsAnswer)
{
    const std::string dir = sandbox.Path("names");
    MakeDirs(dir + "/sub");
    for (const char* name : {"lower.dat", "UPPER.DAT", "Mixed.Dat", ".hidden", "a?c", "sub/inner"})
        WriteTextFile(dir + "/" + name, name);
    WriteTextFile(dir + "/ro", "", 0444);
    const std::string longName(255, 'n');
    WriteTextFile(dir + "/" + longName, "long");
    ASSERT_EQ(symlink("sub", (dir + "/link-dir").c_str()), 0);
    ASSERT_EQ(symlink("lower.dat", (dir + "/link-file").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink("loop", (dir + "/loop").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    // Searchable but not readable: a directory read fails where a stat
    // alone would not (for root both succeed).
    MakeDirs(dir + "/closed");
    WriteTextFile(dir + "/closed/f", "f");
    ASSERT_EQ(chmod((dir + "/closed").c_str(), 0311), 0);

    const std::string rows[] = {
        "lower.dat",   "LOWER.DAT",    "Lower.dat",  // letter case is exact
        "UPPER.DAT",   "upper.dat",    "Mixed.Dat",  "mixed.dat",
        "sub",         "sub/inner",    "link-dir",   "link-dir/inner",
        "link-file",  // links are followed
        "dangling",    "loop",         "fifo",       "missing",
        "sub/missing", "lower.dat/x",  "ro",         ".",
        "..",          ".hidden",      "closed/f",   "closed/missing",
        "sub/",        "sub/inner/",   "lower.dat/", "",
        "sub//inner",                                      // trailing and doubled slashes
        "lower.d?t",   "*.DAT",        "a?c",        "*",  // patterns take the directory read
        longName,      longName + "n",
    };
    for (const std::string& row : rows)
        EXPECT_EQ(Ask(dir + "/" + row), ReadDirectoryAnswer(dir + "/" + row)) << row;
    // A name found once lists once, with its own name.
    EXPECT_EQ(List(dir + "/lower.dat") + List(dir + "/" + longName),
              "lower.dat:64 " + longName + ":64 ");
    chmod((dir + "/closed").c_str(), 0755);
}

TEST_F(FindTest, BadPathsAndHandlesFail)
{
    const std::string dir = sandbox.Root();
    WriteTextFile(dir + "/file", "");
    const std::string tooLong = dir + "/" + std::string(4096 - dir.size(), '*');  // 4097 bytes
    FindData fd;
    for (const std::string& path : {std::string(), dir + "/", dir + "/file/*", tooLong})
        EXPECT_EQ(FindFirstFile(path.c_str(), &fd), INVALID_HANDLE_VALUE) << path.size();
    EXPECT_EQ(FindFirstFile(nullptr, &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstFile("/", nullptr), INVALID_HANDLE_VALUE);
    uint32_t notAListing[16] = {7};  // a tag other than a listing's up front
    for (HANDLE bad : {HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(notAListing)})
        EXPECT_EQ(FindNextFile(bad, &fd) || FindClose(bad), FALSE);
}

}  // namespace
