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
        {"[ab]c", "ac", false},
        {"\xe4*\xff", "\xe4xy\xff", true},
        // A compiled pattern has at most 8192 states: two per literal, four per star.
        {std::string(4095, 'a'), std::string(4095, 'a'), true},
        {std::string(4096, 'a'), std::string(4096, 'a'), false},
        {a4093 + "*", a4093 + "zz", true},
        {a4094 + "*", a4094, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(WildcardMatch(row.pattern.c_str(), row.name.c_str()), row.matches)
            << row.pattern.substr(0, 8) << " (" << row.pattern.size() << ") vs " << row.name;
    // States are not merged, so stars multiply the queue entries per
    // character; the fixed queue turns that into a refusal, not a blow-up.
    WildcardMatcher matcher;
    ASSERT_TRUE(matcher.Compile("**********"));
    EXPECT_EQ(matcher.Match(std::string(40, 'a').c_str()), WildcardResult::kQueueFull);
}

uint64_t Ticks(const FileTime& ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(FileTimeTest, ConvertsInFifteenSecondSteps)
{
    const uint64_t epoch = 116444736000000000ULL, step = 150000000ULL;
    EXPECT_EQ(Ticks(PosixTimeToFileTime(14)), epoch);
    EXPECT_EQ(Ticks(PosixTimeToFileTime(15)), epoch + step);
    EXPECT_EQ(Ticks(PosixTimeToFileTime(-15)), epoch - step);
    EXPECT_EQ(Ticks(PosixTimeToFileTime(0x100000000LL + 30)), epoch + 2 * step) << "low 32 bits";
    EXPECT_EQ(FileTimeToPosixTime(PosixTimeToFileTime(14)), 0);
    EXPECT_EQ(FileTimeToPosixTime(PosixTimeToFileTime(-15)), -15);
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
    do
        records.push_back({fd.pszName, fd.dwFileAttributes});
    while (FindNextFile(h, &fd));
    EXPECT_EQ(FindNextFile(h, &fd), FALSE) << "keeps failing after the end";
    EXPECT_EQ(FindClose(h), TRUE);
    return records;
}

class FindTest : public SandboxTest {
protected:
    void SetUp() override { MakeDirs(dir); }
    std::string dir = sandbox.Path("list");
};

constexpr DWORD kFile = FILE_ATTR_NORMAL, kDir = FILE_ATTR_DIRECTORY;

TEST_F(FindTest, PatternsSelectAndSortInByteOrder)
{
    for (const char* name : {"ac", "abc", "abbc", "B.dat", "x.dat"})
        WriteTextFile(dir + "/" + name, "");
    MakeDirs(dir + "/sub");
    EXPECT_EQ(List(dir + "/*.*"), (Records{{".", kDir}, {"..", kDir}, {"B.dat", kFile},
                                           {"abbc", kFile}, {"abc", kFile}, {"ac", kFile},
                                           {"sub", kDir}, {"x.dat", kFile}}));
    EXPECT_EQ(List(dir + "/a?c"), (Records{{"abc", kFile}, {"ac", kFile}}));
    EXPECT_EQ(List(dir + "/*.DAT"), Records{});
    // A path naming a directory yields that directory, also right below "/".
    EXPECT_EQ(List(dir + "/sub"), (Records{{"sub", kDir}}));
    EXPECT_EQ(List("/tmp"), (Records{{"tmp", kDir}}));
}

TEST_F(FindTest, AttributesFollowTypeWriteBitsAndLinks)
{
    WriteTextFile(dir + "/rw", "12345");
    WriteTextFile(dir + "/ro", "", 0444);
    MakeDirs(dir + "/d");
    MakeDirs(dir + "/rod", 0555);
    ASSERT_EQ(symlink("d", (dir + "/link-dir").c_str()), 0);
    ASSERT_EQ(symlink("ro", (dir + "/link-ro").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir + "/link-dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    // Dangling links and FIFOs are left out.
    EXPECT_EQ(List(dir + "/*"), (Records{{".", kDir}, {"..", kDir}, {"d", 512}, {"link-dir", 512},
                                         {"link-ro", 96}, {"ro", 96}, {"rod", 544}, {"rw", 64}}));
    // The record also carries the size and the times, cut to 15 seconds.
    const time_t midnight = 1577836800;  // a multiple of 15
    struct timeval tv[2] = {{midnight - 100, 0}, {midnight + 14, 0}};
    ASSERT_EQ(utimes((dir + "/rw").c_str(), tv), 0);
    FindData fd = {};
    FindClose(FindFirstFile((dir + "/rw").c_str(), &fd));
    EXPECT_EQ(fd.nFileSizeLow + fd.nFileSizeHigh, 5u);
    EXPECT_EQ(Ticks(fd.ftLastWriteTime), Ticks(PosixTimeToFileTime(midnight)));
    EXPECT_EQ(FileTimeToPosixTime(fd.ftLastAccessTime), midnight - 105);
}

TEST_F(FindTest, ListingGrowsPastSeveralCapacities)
{
    Records expected = {{".", kDir}, {"..", kDir}};
    for (int i = 10; i < 55; ++i) {
        WriteTextFile(dir + "/f" + std::to_string(i), "");
        expected.push_back({"f" + std::to_string(i), kFile});
    }
    EXPECT_EQ(List(dir + "/*"), expected);
}

TEST_F(FindTest, BadPathsAndHandlesFail)
{
    WriteTextFile(dir + "/file", "");
    const std::string tooLong = dir + "/" + std::string(4096 - dir.size(), '*');  // 4097 bytes
    FindData fd;
    for (const std::string& path : {std::string(), dir + "/", dir + "/file/*", tooLong})
        EXPECT_EQ(FindFirstFile(path.c_str(), &fd), INVALID_HANDLE_VALUE) << path.size();
    EXPECT_EQ(FindFirstFile(nullptr, &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstFile("/", nullptr), INVALID_HANDLE_VALUE);
    uint32_t notAListing[16] = {7};  // a tag other than a listing's up front
    for (HANDLE bad : {HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(notAListing)}) {
        EXPECT_EQ(FindNextFile(bad, &fd), FALSE);
        EXPECT_EQ(FindClose(bad), FALSE);
    }
}

TEST_F(FindTest, NoSlashListsTheCurrentDirectory)
{
    WriteTextFile(dir + "/x", "");
    char saved[4097];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    Records found = List("x*");
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(found, (Records{{"x", kFile}}));
}

}  // namespace
