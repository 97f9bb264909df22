#include "platform/find.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/wildcard.h"
#include "tests/support/sandbox.h"

namespace {

TEST(WildcardTest, MatchesWholeName)
{
    const std::string a4093(4093, 'a'), a4094(4094, 'a');
    const struct {
        std::string pattern, name;  // the row's name in messages
        bool matches;
    } rows[] = {
        {"a?c", "abc", true},
        {"a?c", "ac", true},
        {"a?c", "abbc", false},
        {"tmp*", "tmp", true},
        {"tmp*", "xtmp", false},
        {"*.DAT", "x.dat", false},
        {"*.*", "noext", false},
        // A compiled pattern has at most 8192 states: two per literal, four per star.
        {std::string(4095, 'a'), std::string(4095, 'a'), true},
        {std::string(4096, 'a'), std::string(4096, 'a'), false},
        {a4093 + "*", a4093 + "zz", true},
        {a4094 + "*", a4094, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(WildcardMatch(row.pattern.c_str(), row.name.c_str()), row.matches) << row.name;
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

using Records = std::vector<std::pair<std::string, DWORD>>;  // name and attributes

// Runs a whole listing; an empty result stands for the invalid handle.
Records List(const std::string& path)
{
    Records records;
    FindData fd;
    HANDLE h = FindFirstFile(path.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return records;
    EXPECT_EQ(FindNextFile(h, nullptr), FALSE);  // and must not move the index
    do records.push_back({fd.pszName, fd.dwFileAttributes});
    while (FindNextFile(h, &fd));
    EXPECT_EQ(FindNextFile(h, &fd), FALSE) << "keeps failing after the end";
    EXPECT_EQ(FindClose(h), TRUE);
    return records;
}

using FindTest = SandboxTest;

constexpr DWORD kFile = FILE_ATTR_NORMAL, kDir = FILE_ATTR_DIRECTORY;

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
    EXPECT_EQ(List(dir + "/*.*"), (Records{{".", kDir},
                                           {"..", kDir},
                                           {"B.dat", kFile},
                                           {"abbc", kFile},
                                           {"abc", kFile},
                                           {"ac", kFile},
                                           {"d", kDir},
                                           {"link-dir", kDir},
                                           {"link-ro", 96},
                                           {"ro", 96},
                                           {"rw", kFile}}));
    struct timeval tv[2] = {{1577836700, 0}, {1577836814, 0}};  // 1577836800 is a multiple of 15
    ASSERT_EQ(utimes((dir + "/rw").c_str(), tv), 0);
    FindData fd = {};
    FindClose(FindFirstFile((dir + "/rw").c_str(), &fd));
    EXPECT_EQ(fd.nFileSizeLow + fd.nFileSizeHigh, 5u);
    EXPECT_EQ(FileTimeToPosixTime(fd.ftLastWriteTime), 1577836800);
    // Many more names than the listing's first capacity.
    Records expected;
    for (int i = 10; i < 55; ++i) {
        WriteTextFile(dir + "/f" + std::to_string(i), "");
        expected.push_back({"f" + std::to_string(i), kFile});
    }
    EXPECT_EQ(List(dir + "/f*"), expected);
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
