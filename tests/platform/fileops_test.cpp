#include "platform/fileops.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/fileops_extra.h"
#include "tests/support/sandbox.h"

namespace {

using FileopsTest = SandboxTest;

TEST_F(FileopsTest, CopyFileLoopsAndHonoursFailIfExists)
{
    const std::string src = sandbox.Path("src"), dst = sandbox.Path("dst"), dir = sandbox.Root();
    const std::string fifo = sandbox.Path("fifo");
    std::string data(3 * 1024 * 1024 + 17, '\0');  // larger than any internal buffer
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    WriteTextFile(src, data, 0600);
    mode_t mask = umask(022);
    ASSERT_EQ(CopyFile(src.c_str(), dst.c_str(), TRUE), TRUE);
    umask(mask);
    EXPECT_EQ(CopyFile("/proc/version", dst.c_str(), TRUE), FALSE) << "the target exists";
    EXPECT_EQ(ReadTextFile(dst), data);
    EXPECT_EQ(PathMode(dst), 0644) << "a new target gets the default mode";
    // A file-size limit makes the write fail part way, even for root.
    struct rlimit saved, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = {1024 * 1024, saved.rlim_max};
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_EQ(CopyFile(src.c_str(), dst.c_str(), FALSE), FALSE);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ReadTextFile(dst), data.substr(0, 1024 * 1024)) << "the partial target stays";
    // /proc files claim size 0; the copy must still take their contents.
    ASSERT_EQ(chmod(dst.c_str(), 0640), 0);
    ASSERT_EQ(CopyFile("/proc/version", dst.c_str(), FALSE), TRUE);
    EXPECT_EQ(ReadTextFile(dst), ReadTextFile("/proc/version")) << "overwriting truncates";
    EXPECT_EQ(PathMode(dst), 0640) << "and keeps the target's mode";
    // Only regular files are copied; FIFOs must fail at once, not wait for a peer.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& path : {std::string(), sandbox.Path("missing"), dir, fifo})
        EXPECT_EQ(CopyFile(path.c_str(), sandbox.Path("out").c_str(), FALSE), FALSE) << path;
    for (const std::string& path : {std::string(), dir, fifo})
        EXPECT_EQ(CopyFile(src.c_str(), path.c_str(), FALSE), FALSE) << path;
    EXPECT_FALSE(PathExists(sandbox.Path("out")));
}

TEST_F(FileopsTest, DeleteFileRemovesOnlyFilesAndLinksToThem)
{
    std::string file = sandbox.Path("file"), link = sandbox.Path("link"), dir = sandbox.Path("d");
    WriteTextFile(file, "x");
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink("nowhere", sandbox.Path("dangling").c_str()), 0);
    ASSERT_EQ(symlink(sandbox.Root().c_str(), sandbox.Path("dirlink").c_str()), 0);
    ASSERT_EQ(CreateDirectory(dir.c_str()), TRUE);
    EXPECT_EQ(CreateDirectory(dir.c_str()), FALSE) << "already exists";
    for (const char* name : {"dangling", "dirlink", "d"})
        EXPECT_EQ(DeleteFile(sandbox.Path(name).c_str()), FALSE) << name;
    EXPECT_EQ(DeleteFile(link.c_str()), TRUE);
    EXPECT_TRUE(PathExists(sandbox.Path("dangling")) && PathExists(file));
    WriteTextFile(dir + "/f", "x");
    EXPECT_EQ(RemoveDirectory(dir.c_str()), FALSE) << "not empty";
    EXPECT_EQ(DeleteFile((dir + "/f").c_str()), TRUE);
    EXPECT_EQ(RemoveDirectory(dir.c_str()), TRUE);
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
        {"readonly_drops_setid_bits", 06775, FILE_ATTR_READONLY, TRUE, 0555},
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
    EXPECT_EQ(SetFileAttributes(sandbox.Root().c_str(), FILE_ATTR_NORMAL), FALSE);
    EXPECT_EQ(SetFileAttributes(sandbox.Path("missing").c_str(), FILE_ATTR_NORMAL), FALSE);
}

// Most extras are unused by the store yet: only their traps.
TEST_F(FileopsTest, CompatibilityOperations)
{
    char text[] = "MiXeD/1 \xC4 Z";
    EXPECT_STREQ(StrLower(text), "mixed/1 \xC4 z") << "ASCII letters only";
    std::string a = sandbox.Path("a"), b = sandbox.Path("b"), dir = sandbox.Root();
    WriteTextFile(a, "moved");
    WriteTextFile(b, "old");
    EXPECT_EQ(MoveFileEx(a.c_str(), b.c_str(), MOVEFILE_COPY_ALLOWED), FALSE) << "no replace";
    ASSERT_EQ(MoveFileEx(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING), TRUE);
    EXPECT_EQ(ReadTextFile(b), "moved");
    char out[DU_MAX_PATH];
    EXPECT_EQ(GetTempFileName(dir.c_str(), "abcdef", 0x1A2B, out), 0x1A2Bu);
    EXPECT_EQ(out, dir + "/abc1a2b.tmp");
    EXPECT_EQ(GetTempFileName(dir.c_str(), "p", 0x100000, out), 0u);
    EXPECT_NE(GetTempFileName(dir.c_str(), "q", 0, out), 0u);
    EXPECT_TRUE(PathExists(out)) << "counter numbers create the name";
}

}  // namespace
