#include "platform/fileops.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/sandbox.h"

namespace {

mode_t CurrentUmask()
{
    mode_t mask = umask(022);
    umask(mask);
    return mask;
}

std::string Pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + i / 7919) & 0xFF);
    return s;
}

using FileopsTest = SandboxTest;

TEST_F(FileopsTest, CopyFileCreatesTargetWithDefaultMode)
{
    std::string src = sandbox.Path("src"), dst = sandbox.Path("dst");
    // Larger than any internal buffer, so the copy must loop.
    std::string data = Pattern(3 * 1024 * 1024 + 17);
    WriteTextFile(src, data, 0600);
    ASSERT_EQ(CopyFile(src.c_str(), dst.c_str(), TRUE), TRUE);
    EXPECT_EQ(ReadTextFile(dst), data);
    EXPECT_EQ(PathMode(dst), static_cast<int>(0666 & ~CurrentUmask()));
}

TEST_F(FileopsTest, CopyFileOntoExistingTarget)
{
    struct Row {
        const char* name;
        BOOL failIfExists;
        BOOL result;
        const char* targetAfter;
    };
    const Row rows[] = {
        {"fail_if_exists_leaves_target", TRUE, FALSE, "old and longer contents"},
        {"overwrite_truncates_and_keeps_mode", FALSE, TRUE, "new"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string src = sandbox.Path(std::string(row.name) + ".src");
        std::string dst = sandbox.Path(std::string(row.name) + ".dst");
        WriteTextFile(src, "new", 0644);
        WriteTextFile(dst, "old and longer contents", 0640);
        EXPECT_EQ(CopyFile(src.c_str(), dst.c_str(), row.failIfExists), row.result);
        EXPECT_EQ(ReadTextFile(dst), row.targetAfter);
        EXPECT_EQ(PathMode(dst), 0640);
    }
}

TEST_F(FileopsTest, CopyFileRefusesWhatIsNotARegularFile)
{
    std::string file = sandbox.Path("file"), dir = sandbox.Path("dir");
    std::string fifo = sandbox.Path("fifo");
    WriteTextFile(file, "x");
    MakeDirs(dir);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    struct Row {
        const char* name;
        const char* source;
        const char* target;
        bool targetCreated;
    };
    std::string missing = sandbox.Path("missing"), out = sandbox.Path("out");
    const Row rows[] = {
        {"null_source", nullptr, out.c_str(), false},
        {"empty_source", "", out.c_str(), false},
        {"empty_target", file.c_str(), "", false},
        {"missing_source", missing.c_str(), out.c_str(), false},
        {"directory_source", dir.c_str(), out.c_str(), false},
        // A FIFO must fail at once, not wait for a peer.
        {"fifo_source", fifo.c_str(), out.c_str(), false},
        {"directory_target", file.c_str(), dir.c_str(), false},
        {"fifo_target", file.c_str(), fifo.c_str(), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CopyFile(row.source, row.target, FALSE), FALSE);
        EXPECT_EQ(PathExists(out), row.targetCreated);
    }
}

TEST_F(FileopsTest, CopyFileReadsPseudoFilesThatReportNoSize)
{
    // /proc files claim size 0; the copy must still take their contents.
    std::string dst = sandbox.Path("version");
    ASSERT_EQ(CopyFile("/proc/version", dst.c_str(), TRUE), TRUE);
    EXPECT_EQ(ReadTextFile(dst), ReadTextFile("/proc/version"));
    EXPECT_FALSE(ReadTextFile(dst).empty());
}

TEST_F(FileopsTest, CopyFileFailureLeavesPartialTarget)
{
    // A file-size limit makes the write fail part way, even for root.
    std::string src = sandbox.Path("src"), dst = sandbox.Path("dst");
    WriteTextFile(src, Pattern(2 * 1024 * 1024));
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 1024 * 1024;
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    BOOL result = CopyFile(src.c_str(), dst.c_str(), FALSE);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(ReadTextFile(dst), Pattern(2 * 1024 * 1024).substr(0, 1024 * 1024));
}

TEST_F(FileopsTest, DeleteFileRemovesOnlyRegularFilesAndLinksToThem)
{
    std::string file = sandbox.Path("file"), dir = sandbox.Path("dir");
    std::string link = sandbox.Path("link"), dangling = sandbox.Path("dangling");
    std::string dirLink = sandbox.Path("dirlink");
    WriteTextFile(file, "x");
    MakeDirs(dir);
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink(sandbox.Path("nowhere").c_str(), dangling.c_str()), 0);
    ASSERT_EQ(symlink(dir.c_str(), dirLink.c_str()), 0);
    struct Row {
        const char* name;
        std::string path;
        BOOL result;
        bool goneAfter;
    };
    const Row rows[] = {
        {"link_to_file_removes_link", link, TRUE, true},
        {"directory", dir, FALSE, false},
        {"link_to_directory", dirLink, FALSE, false},
        {"dangling_link", dangling, FALSE, false},
        {"missing", sandbox.Path("missing"), FALSE, true},
        {"empty", "", FALSE, true},
        {"regular_file", file, TRUE, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DeleteFile(row.path.c_str()), row.result);
        EXPECT_EQ(!PathExists(row.path), row.goneAfter);
        if (row.path == link) {
            EXPECT_TRUE(PathExists(file)) << "the link's target must stay";
        }
    }
    EXPECT_EQ(DeleteFile(nullptr), FALSE);
}

TEST_F(FileopsTest, SetFileAttributesChangesWritability)
{
    struct Row {
        const char* name;
        mode_t before;
        DWORD attributes;
        BOOL result;
        mode_t after;
    };
    const Row rows[] = {
        {"normal_on_readonly", 0444, FILE_ATTR_NORMAL, TRUE, 0644},
        {"zero_on_readonly", 0444, 0, TRUE, 0644},
        {"normal_on_owner_read_only", 0400, FILE_ATTR_NORMAL, TRUE, 0600},
        {"normal_on_group_writable_unchanged", 0464, FILE_ATTR_NORMAL, TRUE, 0464},
        {"readonly_on_writable", 0664, FILE_ATTR_READONLY, TRUE, 0444},
        {"readonly_drops_setid_bits", 06775, FILE_ATTR_READONLY, TRUE, 0555},
        {"readonly_on_readonly_unchanged", 04555, FILE_ATTR_READONLY, TRUE, 04555},
        {"both_bits_mean_readonly", 0644, FILE_ATTR_READONLY | FILE_ATTR_NORMAL, TRUE, 0444},
        {"unknown_bit_refused", 0644, FILE_ATTR_NORMAL | 1, FALSE, 0644},
        {"directory_bit_refused", 0444, FILE_ATTR_DIRECTORY, FALSE, 0444},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = sandbox.Path(row.name);
        WriteTextFile(path, "x");
        ASSERT_EQ(chmod(path.c_str(), row.before), 0);
        EXPECT_EQ(SetFileAttributes(path.c_str(), row.attributes), row.result);
        EXPECT_EQ(PathMode(path), static_cast<int>(row.after));
    }
}

TEST_F(FileopsTest, SetFileAttributesRefusesNonFiles)
{
    std::string dir = sandbox.Path("dir");
    MakeDirs(dir, 0555);
    EXPECT_EQ(SetFileAttributes(dir.c_str(), FILE_ATTR_NORMAL), FALSE);
    EXPECT_EQ(PathMode(dir), 0555);
    EXPECT_EQ(SetFileAttributes(sandbox.Path("missing").c_str(), FILE_ATTR_NORMAL), FALSE);
    EXPECT_EQ(SetFileAttributes("", FILE_ATTR_NORMAL), FALSE);
    EXPECT_EQ(SetFileAttributes(nullptr, FILE_ATTR_NORMAL), FALSE);
}

TEST_F(FileopsTest, CreateAndRemoveDirectory)
{
    std::string dir = sandbox.Path("d");
    ASSERT_EQ(CreateDirectory(dir.c_str()), TRUE);
    EXPECT_EQ(PathMode(dir), static_cast<int>(0755 & ~CurrentUmask()));
    EXPECT_EQ(CreateDirectory(dir.c_str()), FALSE) << "already exists";
    WriteTextFile(dir + "/f", "x");
    EXPECT_EQ(RemoveDirectory(dir.c_str()), FALSE) << "not empty";
    unlink((dir + "/f").c_str());
    EXPECT_EQ(RemoveDirectory(dir.c_str()), TRUE);
    EXPECT_FALSE(PathExists(dir));
    EXPECT_EQ(CreateDirectory(sandbox.Path("no/such/parent").c_str()), FALSE);
}

TEST(LetterCaseTest, StrLowerAndCharConversions)
{
    char text[] = "MiXeD 123 \xC4 Z";
    EXPECT_EQ(StrLower(text), text);
    // Only ASCII letters change in the process's default locale.
    EXPECT_STREQ(text, "mixed 123 \xC4 z");
    EXPECT_EQ(StrLower(nullptr), nullptr);

    EXPECT_EQ(CharLower('Q'), static_cast<uintptr_t>('q'));
    EXPECT_EQ(CharUpper('q'), static_cast<uintptr_t>('Q'));
    EXPECT_EQ(CharUpper(0xE4), static_cast<uintptr_t>(0xE4));
    char upper[] = "abc/Def";
    uintptr_t asValue = reinterpret_cast<uintptr_t>(upper);
    EXPECT_EQ(CharUpper(asValue), asValue);
    EXPECT_STREQ(upper, "ABC/DEF");
    EXPECT_EQ(CharLower(asValue), asValue);
    EXPECT_STREQ(upper, "abc/def");
}

TEST(MemoryTest, ZeroMemoryFillsExactlyTheGivenLength)
{
    char buf[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    ZeroMemory(buf + 2, 4);
    const char expected[8] = {1, 1, 0, 0, 0, 0, 1, 1};
    EXPECT_EQ(std::string(buf, 8), std::string(expected, 8));
    ZeroMemory(nullptr, 4);
    ZeroMemory(buf, 0);
    EXPECT_EQ(buf[0], 1);
}

}  // namespace
