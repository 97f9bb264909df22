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

TEST_F(FindTest, ListingsAndPlainNames)
{
    const std::string dir = sandbox.Path("list");  // the root holds the sandbox's own files
    MakeDirs(dir + "/sub");
    for (const char* name :
         {"ac", "a?c", "B.dat", "lower.dat", "UPPER.DAT", ".hidden", "sub/inner"})
        WriteTextFile(dir + "/" + name, name);
    WriteTextFile(dir + "/ro", "", 0444);
    const std::string longName(255, 'n');
    WriteTextFile(dir + "/" + longName, "long");
    ASSERT_EQ(symlink("sub", (dir + "/link-dir").c_str()), 0);
    ASSERT_EQ(symlink("ro", (dir + "/link-ro").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink("loop", (dir + "/loop").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    // Searchable but not readable: a directory read fails where a stat
    // alone would not (for root both succeed).
    MakeDirs(dir + "/closed");
    WriteTextFile(dir + "/closed/f", "f");
    ASSERT_EQ(chmod((dir + "/closed").c_str(), 0311), 0);
    // Byte order; "*.*" takes names without a dot too; dangling links and FIFOs are left out.
    EXPECT_EQ(List(dir + "/*.*"),
              ".:512 ..:512 .hidden:64 B.dat:64 UPPER.DAT:64 a?c:64 ac:64 "
              "closed:512 link-dir:512 link-ro:96 lower.dat:64 " +
                  longName + ":64 ro:96 sub:512 ");
    struct timeval tv[2] = {{1577836700, 0}, {1577836814, 0}};  // 1577836800 is a multiple of 15
    ASSERT_EQ(utimes((dir + "/ac").c_str(), tv), 0);
    EXPECT_EQ(Ask(dir + "/ac"), (Answer{{"ac", FILE_ATTR_NORMAL, 2, 1577836800, 1577836695}}));

    // A name without wildcards takes one stat: it must answer as the directory
    // read does, for the records of the whole directory that it matches. Letter
    // case is exact, links are followed, trailing and doubled slashes count,
    // and patterns take the directory read.
    const std::string rows[] = {
        "lower.dat",  "LOWER.DAT", "Lower.dat",      "UPPER.DAT",      "upper.dat", "sub",
        "sub/inner",  "link-dir",  "link-dir/inner", "link-ro",        "dangling",  "loop",
        "fifo",       "missing",   "sub/missing",    "lower.dat/x",    "ro",        ".",
        "..",         ".hidden",   "closed/f",       "closed/missing", "sub/",      "sub/inner/",
        "lower.dat/", "",          "sub//inner",     "lower.d?t",      "*.DAT",     "a?c",
        "*",          longName,    longName + "n"};
    for (const std::string& row : rows) {
        const std::string path = dir + "/" + row, pattern = path.substr(path.rfind('/') + 1);
        Answer matched;
        for (const auto& record : Ask(path.substr(0, path.rfind('/')) + "/*"))
            if (WildcardMatch(pattern.c_str(), std::get<0>(record).c_str()))
                matched.push_back(record);
        EXPECT_EQ(Ask(path), matched) << row;
    }
    chmod((dir + "/closed").c_str(), 0755);
    // Many more names than the listing's first capacity.
    std::string expected;
    for (int i = 10; i < 55; ++i) {
        WriteTextFile(dir + "/f" + std::to_string(i), "");
        expected += "f" + std::to_string(i) + ":64 ";
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
