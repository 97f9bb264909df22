#include "platform/fileops.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/sandbox.h"

namespace {

using FileopsTest = SandboxTest;

TEST_F(FileopsTest, CopyFileLoopsAndHonoursFailIfExists)
{
    std::string src = sandbox.Path("src"), dst = sandbox.Path("dst"), old = sandbox.Path("old");
    std::string data(3 * 1024 * 1024 + 17, '\0');  // larger than any internal buffer
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + i / 7919);
    WriteTextFile(src, data, 0600);
    WriteTextFile(old, "old and longer contents", 0640);
    mode_t mask = umask(022);
    ASSERT_EQ(CopyFile(src.c_str(), dst.c_str(), TRUE), TRUE);
    umask(mask);
    EXPECT_EQ(ReadTextFile(dst), data);
    EXPECT_EQ(PathMode(dst), 0644) << "a new target gets the default mode";
    EXPECT_EQ(CopyFile(dst.c_str(), old.c_str(), TRUE), FALSE);
    EXPECT_EQ(ReadTextFile(old), "old and longer contents");
    WriteTextFile(src, "new");
    EXPECT_EQ(CopyFile(src.c_str(), old.c_str(), FALSE), TRUE);
    EXPECT_EQ(ReadTextFile(old), "new") << "overwriting truncates";
    EXPECT_EQ(PathMode(old), 0640) << "and keeps the target's mode";
    // /proc files claim size 0; the copy must still take their contents.
    ASSERT_EQ(CopyFile("/proc/version", dst.c_str(), FALSE), TRUE);
    EXPECT_EQ(ReadTextFile(dst), ReadTextFile("/proc/version"));
}

TEST_F(FileopsTest, CopyFileRefusesWhatIsNotARegularFile)
{
    std::string file = sandbox.Path("file"), dir = sandbox.Path("dir"), fifo = sandbox.Path("fifo");
    std::string out = sandbox.Path("out");
    WriteTextFile(file, "x");
    MakeDirs(dir);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    // FIFOs must fail at once, not wait for a peer.
    const std::pair<std::string, std::string> rows[] = {
        {"", out}, {file, ""}, {sandbox.Path("missing"), out}, {dir, out}, {fifo, out},
        {file, dir}, {file, fifo}};
    for (const auto& row : rows)
        EXPECT_EQ(CopyFile(row.first.c_str(), row.second.c_str(), FALSE), FALSE) << row.first;
    EXPECT_EQ(CopyFile(nullptr, out.c_str(), FALSE), FALSE);
    EXPECT_FALSE(PathExists(out));
}

TEST_F(FileopsTest, CopyFileFailureLeavesPartialTarget)
{
    // A file-size limit makes the write fail part way, even for root.
    std::string src = sandbox.Path("src"), dst = sandbox.Path("dst");
    const std::string data(2 * 1024 * 1024, 'd');
    WriteTextFile(src, data);
    struct rlimit old, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    small = old;
    small.rlim_cur = 1024 * 1024;
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    BOOL result = CopyFile(src.c_str(), dst.c_str(), FALSE);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(ReadTextFile(dst), data.substr(0, 1024 * 1024));
}

TEST_F(FileopsTest, DeleteFileRemovesOnlyRegularFilesAndLinksToThem)
{
    std::string file = sandbox.Path("file"), dir = sandbox.Path("dir"), link = sandbox.Path("link");
    std::string dangling = sandbox.Path("dangling"), dirLink = sandbox.Path("dirlink");
    WriteTextFile(file, "x");
    MakeDirs(dir);
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink(sandbox.Path("nowhere").c_str(), dangling.c_str()), 0);
    ASSERT_EQ(symlink(dir.c_str(), dirLink.c_str()), 0);
    for (const std::string& path : {dir, dirLink, dangling, sandbox.Path("missing"), std::string()})
        EXPECT_EQ(DeleteFile(path.c_str()), FALSE) << path;
    EXPECT_EQ(DeleteFile(nullptr), FALSE);
    EXPECT_EQ(DeleteFile(link.c_str()), TRUE);
    EXPECT_TRUE(PathExists(dangling) && PathExists(dir) && PathExists(dirLink) && PathExists(file));
    EXPECT_EQ(DeleteFile(file.c_str()), TRUE);
    EXPECT_FALSE(PathExists(file));
}

TEST_F(FileopsTest, SetFileAttributesChangesWritability)
{
    const struct {
        const char* name;
        mode_t before;
        DWORD attributes;
        BOOL result;
        mode_t after;
    } rows[] = {
        {"normal_on_readonly", 0444, FILE_ATTR_NORMAL, TRUE, 0644},
        {"zero_on_owner_read_only", 0400, 0, TRUE, 0600},
        {"normal_on_group_writable", 0464, FILE_ATTR_NORMAL, TRUE, 0464},
        {"readonly_drops_setid_bits", 06775, FILE_ATTR_READONLY, TRUE, 0555},
        {"readonly_on_readonly", 04555, FILE_ATTR_READONLY, TRUE, 04555},
        {"both_bits_mean_readonly", 0644, FILE_ATTR_READONLY | FILE_ATTR_NORMAL, TRUE, 0444},
        {"unknown_bit_refused", 0644, FILE_ATTR_NORMAL | 1, FALSE, 0644},
        {"directory_bit_refused", 0444, FILE_ATTR_DIRECTORY, FALSE, 0444},
    };
    for (const auto& row : rows) {
        std::string path = sandbox.Path(row.name);
        WriteTextFile(path, "x");
        ASSERT_EQ(chmod(path.c_str(), row.before), 0);
        EXPECT_EQ(SetFileAttributes(path.c_str(), row.attributes), row.result) << row.name;
        EXPECT_EQ(PathMode(path), static_cast<int>(row.after)) << row.name;
    }
    MakeDirs(sandbox.Path("dir"), 0555);
    EXPECT_EQ(SetFileAttributes(sandbox.Path("dir").c_str(), FILE_ATTR_NORMAL), FALSE);
    EXPECT_EQ(SetFileAttributes(sandbox.Path("missing").c_str(), FILE_ATTR_NORMAL), FALSE);
    EXPECT_EQ(SetFileAttributes(nullptr, FILE_ATTR_NORMAL), FALSE);
}

TEST_F(FileopsTest, CreateAndRemoveDirectory)
{
    std::string dir = sandbox.Path("d");
    ASSERT_EQ(CreateDirectory(dir.c_str()), TRUE);
    EXPECT_EQ(CreateDirectory(dir.c_str()), FALSE) << "already exists";
    WriteTextFile(dir + "/f", "x");
    EXPECT_EQ(RemoveDirectory(dir.c_str()), FALSE) << "not empty";
    unlink((dir + "/f").c_str());
    EXPECT_EQ(RemoveDirectory(dir.c_str()), TRUE);
    EXPECT_EQ(CreateDirectory(sandbox.Path("no/such/parent").c_str()), FALSE);
}

TEST(LetterCaseTest, LowerAndUpperOnlyAsciiLetters)
{
    char text[] = "MiXeD 1 \xC4 Z";
    EXPECT_EQ(StrLower(text), text);
    EXPECT_STREQ(text, "mixed 1 \xC4 z");
    EXPECT_EQ(StrLower(nullptr), nullptr);
    EXPECT_EQ(CharUpper(0xE4), 0xE4u);
    EXPECT_EQ(CharLower('Q'), static_cast<uintptr_t>('q'));
    // A value beyond one byte is a string, converted in place.
    char upper[] = "abc/Def";
    uintptr_t asValue = reinterpret_cast<uintptr_t>(upper);
    EXPECT_EQ(CharUpper(asValue), asValue);
    EXPECT_STREQ(upper, "ABC/DEF");
    char buf[4] = {1, 1, 1, 1};
    ZeroMemory(buf + 1, 2);
    ZeroMemory(nullptr, 4);
    EXPECT_EQ(std::string(buf, 4), std::string("\1\0\0\1", 4));
}

}  // namespace
