#include "platform/fileops.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/fileops_extra.h"
#include "tests/support/sandbox.h"

namespace {

using FileopsTest = SandboxTest;

TEST_F(FileopsTest, CopyFileLoopsAndHonoursFailIfExists)
{
    std::string src = sandbox.Path("src"), dst = sandbox.Path("dst");
    const std::string dir = sandbox.Root();
    std::string data(3 * 1024 * 1024 + 17, '\0');  // larger than any internal buffer
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i % 251);
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
    BOOL result = CopyFile(src.c_str(), dst.c_str(), FALSE);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(ReadTextFile(dst), data.substr(0, 1024 * 1024)) << "the partial target stays";
    // /proc files claim size 0; the copy must still take their contents.
    ASSERT_EQ(chmod(dst.c_str(), 0640), 0);
    ASSERT_EQ(CopyFile("/proc/version", dst.c_str(), FALSE), TRUE);
    EXPECT_EQ(ReadTextFile(dst), ReadTextFile("/proc/version")) << "overwriting truncates";
    EXPECT_EQ(PathMode(dst), 0640) << "and keeps the target's mode";
    // Only regular files are copied; FIFOs must fail at once, not wait for a peer.
    const std::string fifo = sandbox.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& path : {std::string(), sandbox.Path("missing"), dir, fifo})
        EXPECT_EQ(CopyFile(path.c_str(), sandbox.Path("out").c_str(), FALSE), FALSE) << path;
    for (const std::string& path : {std::string(), dir, fifo})
        EXPECT_EQ(CopyFile(src.c_str(), path.c_str(), FALSE), FALSE) << path;
    EXPECT_FALSE(PathExists(sandbox.Path("out")));
}

TEST_F(FileopsTest, DeleteFileRemovesOnlyFilesAndLinksToThem)
{
    std::string file = sandbox.Path("file"), link = sandbox.Path("link");
    WriteTextFile(file, "x");
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink("nowhere", sandbox.Path("dangling").c_str()), 0);
    ASSERT_EQ(symlink(sandbox.Root().c_str(), sandbox.Path("dirlink").c_str()), 0);
    for (const char* name : {"dangling", "dirlink"})
        EXPECT_EQ(DeleteFile(sandbox.Path(name).c_str()), FALSE) << name;
    EXPECT_EQ(DeleteFile(link.c_str()), TRUE);
    EXPECT_TRUE(PathExists(sandbox.Path("dangling")) && PathExists(file));
    std::string dir = sandbox.Path("d");
    ASSERT_EQ(CreateDirectory(dir.c_str()), TRUE);
    EXPECT_EQ(CreateDirectory(dir.c_str()), FALSE) << "already exists";
    WriteTextFile(dir + "/f", "x");
    EXPECT_EQ(RemoveDirectory(dir.c_str()), FALSE) << "not empty";
    EXPECT_EQ(DeleteFile(dir.c_str()), FALSE);
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

TEST(LetterCaseTest, LowerAndUpperOnlyAsciiLetters)
{
    char text[] = "MiXeD/1 \xC4 Z";
    EXPECT_STREQ(StrLower(text), "mixed/1 \xC4 z");
    EXPECT_EQ(CharLower('Q'), static_cast<uintptr_t>('q'));
    // A value beyond one byte is a string, converted in place.
    EXPECT_EQ(CharUpper(reinterpret_cast<uintptr_t>(text)), reinterpret_cast<uintptr_t>(text));
    EXPECT_STREQ(text, "MIXED/1 \xC4 Z");
    ZeroMemory(text + 1, 2);
    ZeroMemory(nullptr, 4);
    EXPECT_EQ(std::string(text, 4), std::string("M\0\0E", 4));
}

TEST_F(FileopsTest, CompatibilityFileOperations)
{
    std::string a = sandbox.Path("a"), b = sandbox.Path("b");
    WriteTextFile(a, "moved");
    WriteTextFile(b, "0123456789");
    HANDLE h = OpenExistingFile(b.c_str(), 3);
    EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
    EXPECT_EQ(SetEndOfFile(h), TRUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 4u);
    CloseHandle(h);
    EXPECT_EQ(OpenExistingFile(b.c_str(), 4), INVALID_HANDLE_VALUE) << "mode 4 is unknown";
    EXPECT_EQ(SetEndOfFile(INVALID_HANDLE_VALUE), FALSE);
    EXPECT_EQ(MoveFileEx(a.c_str(), b.c_str(), MOVEFILE_COPY_ALLOWED), FALSE) << "no replace";
    EXPECT_EQ(MoveFileEx(a.c_str(), sandbox.Root().c_str(), 2), FALSE) << "onto a directory";
    ASSERT_EQ(MoveFileEx(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING), TRUE);
    EXPECT_EQ(ReadTextFile(b), "moved");
    CloseHandle(CreateTruncatedFile(b.c_str(), TRUE));
    EXPECT_EQ(ReadTextFile(b), "");
    EXPECT_EQ(CreateTruncatedFile(sandbox.Root().c_str(), FALSE), INVALID_HANDLE_VALUE);
    FileAttributeData data = {};
    EXPECT_EQ(GetFileAttributesEx(b.c_str(), &data), TRUE);
    EXPECT_EQ(GetFileAttributesEx("/dev/null", &data), FALSE) << "not a file or directory";
    char out[DU_MAX_PATH], saved[DU_MAX_PATH];
    const std::string dir = sandbox.Root();
    EXPECT_EQ(GetTempFileName(dir.c_str(), "abcdef", 0x1A2B, out), 0x1A2Bu);
    EXPECT_EQ(out, dir + "/abc1a2b.tmp");
    EXPECT_EQ(GetTempFileName(dir.c_str(), "p", 0x100000, out), 0u);
    EXPECT_NE(GetTempFileName(dir.c_str(), "q", 0, out), 0u);
    EXPECT_TRUE(PathExists(out)) << "counter numbers create the name";
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(SetCurrentDirectory(dir.c_str()), TRUE);
    EXPECT_EQ(SetCurrentDirectory(sandbox.Path("missing").c_str()), FALSE);
    EXPECT_EQ(GetCurrentDirectory(dir.size(), out), dir.size() + 1) << "too small: size needed";
    OpenFileRecord rec = {};
    EXPECT_EQ(OpenFile("b", &rec, OF_PARSE), nullptr) << "the current directory comes first";
    EXPECT_EQ(rec.szPathName, b);
    EXPECT_EQ(OpenFile("nowhere", &rec, OF_EXIST), INVALID_HANDLE_VALUE);
    ASSERT_EQ(chdir(saved), 0);
}

TEST(SystemTest, BiasDateTextComparisonAndConversion)
{
    setenv("TZ", "UTC+5", 1);  // five hours behind UTC, no daylight saving
    tzset();
    EXPECT_EQ(GetTimeZoneBias(), 300);
    char text[16];
    ASSERT_EQ(GetDateText(text, sizeof text), text);
    EXPECT_EQ(strlen(text), 9u) << "mm/dd/yy and a line feed";
    EXPECT_LT(CompareStringLocale("ABC", "abc", FALSE), 0);
    EXPECT_EQ(CompareStringLocale("ABC", "abc", TRUE), 0);
    EXPECT_EQ(WideCharToMultiByte(L"ab\x20AC" L"c", -1, text, 4), 0) << "does not fit";
    EXPECT_EQ(WideCharToMultiByte(L"ab\x20AC" L"c", -1, text, sizeof text), 5);
    EXPECT_STREQ(text, "ab?c");
}

}  // namespace
