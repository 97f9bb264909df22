#include "platform/fileops_extra.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/fileops.h"
#include "tests/support/sandbox.h"

namespace {

using FileopsExtraTest = SandboxTest;

TEST_F(FileopsExtraTest, MoveFileExKindsAndReplaceFlag)
{
    struct Row {
        const char* name;
        bool sourceIsDir;
        int target;  // 0 none, 1 file, 2 empty directory
        DWORD flags;
        BOOL result;
    };
    const Row rows[] = {
        {"file_to_free_name", false, 0, 0, TRUE},
        {"file_over_file_without_replace", false, 1, MOVEFILE_COPY_ALLOWED, FALSE},
        {"file_over_file_with_replace", false, 1, MOVEFILE_REPLACE_EXISTING, TRUE},
        {"file_over_directory", false, 2, MOVEFILE_REPLACE_EXISTING, FALSE},
        {"directory_to_free_name", true, 0, 0, TRUE},
        {"directory_over_file", true, 1, MOVEFILE_REPLACE_EXISTING, FALSE},
        {"directory_over_empty_directory", true, 2, MOVEFILE_REPLACE_EXISTING, TRUE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string src = sandbox.Path(std::string(row.name) + ".src");
        std::string dst = sandbox.Path(std::string(row.name) + ".dst");
        if (row.sourceIsDir)
            MakeDirs(src + "/inner");
        else
            WriteTextFile(src, "moved");
        if (row.target == 1)
            WriteTextFile(dst, "old");
        else if (row.target == 2)
            MakeDirs(dst);
        EXPECT_EQ(MoveFileEx(src.c_str(), dst.c_str(), row.flags), row.result);
        EXPECT_EQ(PathExists(src), !row.result);
        if (row.result && !row.sourceIsDir) {
            EXPECT_EQ(ReadTextFile(dst), "moved");
        }
        if (row.result && row.sourceIsDir) {
            EXPECT_TRUE(PathExists(dst + "/inner"));
        }
    }
    EXPECT_EQ(MoveFileEx(sandbox.Path("missing").c_str(), sandbox.Path("x").c_str(), 3), FALSE);
}

TEST_F(FileopsExtraTest, GetTempFileNameFormsAndCreates)
{
    char out[DU_MAX_PATH];
    std::string dir = sandbox.Root();
    EXPECT_EQ(GetTempFileName(dir.c_str(), "abcdef", 0x1A2B, out), 0x1A2Bu);
    EXPECT_EQ(std::string(out), dir + "/abc1a2b.tmp");
    EXPECT_FALSE(PathExists(out)) << "a given number only forms the name";
    EXPECT_EQ(GetTempFileName((dir + "/").c_str(), "", 0xFFFFF, out), 0xFFFFFu);
    EXPECT_EQ(std::string(out), dir + "/fffff.tmp");
    EXPECT_EQ(GetTempFileName(dir.c_str(), "p", 0x100000, out), 0u);
    EXPECT_EQ(GetTempFileName(std::string(4083, 'd').c_str(), "p", 1, out), 0u);

    // Counter numbers: the first free names are created, taken ones skipped.
    DWORD first = GetTempFileName(dir.c_str(), "q", 0, out);
    ASSERT_NE(first, 0u);
    EXPECT_TRUE(PathExists(out));
    char taken[64];
    snprintf(taken, sizeof taken, "/q%x.tmp", first + 1);
    WriteTextFile(dir + taken, "");
    DWORD second = GetTempFileName(dir.c_str(), "q", 0, out);
    EXPECT_EQ(second, first + 2);
    EXPECT_EQ(GetTempFileName(sandbox.Path("missing").c_str(), "q", 0, out), 0u);
}

TEST_F(FileopsExtraTest, OpenFileSearchesCurrentDirectoryThenPath)
{
    MakeDirs(sandbox.Path("cwd"));
    MakeDirs(sandbox.Path("p1"));
    MakeDirs(sandbox.Path("p2"));
    WriteTextFile(sandbox.Path("p1/tool"), "p1");
    WriteTextFile(sandbox.Path("p2/tool"), "p2");
    WriteTextFile(sandbox.Path("p2/only2"), "only2");
    WriteTextFile(sandbox.Path("cwd/local"), "local");
    MakeDirs(sandbox.Path("p1/only2"));  // a directory does not count

    char saved[DU_MAX_PATH];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    const char* oldPath = getenv("PATH");
    std::string savedPath = oldPath != nullptr ? oldPath : "";
    setenv("PATH", (sandbox.Path("p1") + "::" + sandbox.Path("p2")).c_str(), 1);
    ASSERT_EQ(chdir(sandbox.Path("cwd").c_str()), 0);

    struct Row {
        const char* name;
        const char* file;
        std::string resolved;
    };
    const Row rows[] = {
        {"current_directory_first", "local", sandbox.Path("cwd/local")},
        {"first_path_entry_wins", "tool", sandbox.Path("p1/tool")},
        {"skips_directories", "only2", sandbox.Path("p2/only2")},
        {"unfound_is_relative_to_cwd", "nowhere", sandbox.Path("cwd/nowhere")},
        {"slash_is_not_searched", "../p2/tool", sandbox.Path("cwd/../p2/tool")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        OpenFileRecord rec = {};
        EXPECT_EQ(OpenFile(row.file, &rec, OF_PARSE), nullptr);
        EXPECT_EQ(std::string(rec.szPathName), row.resolved);
    }

    OpenFileRecord rec = {};
    HANDLE h = OpenFile("tool", &rec, OF_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[8] = {};
    DWORD n = 0;
    EXPECT_EQ(ReadFile(h, buf, sizeof buf - 1, &n, nullptr), TRUE);
    EXPECT_STREQ(buf, "p1");
    EXPECT_EQ(WriteFile(h, "x", 1, &n, nullptr), FALSE) << "opened for reading only";
    CloseHandle(h);

    EXPECT_EQ(OpenFile("nowhere", &rec, OF_EXIST), INVALID_HANDLE_VALUE);
    EXPECT_NE(rec.nErrCode, 0);
    h = OpenFile("made", &rec, OF_CREATE | OF_READWRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(OpenFile(nullptr, &rec, OF_EXIST | OF_REOPEN), nullptr);
    EXPECT_EQ(OpenFile("made", &rec, OF_DELETE), nullptr);
    EXPECT_FALSE(PathExists(sandbox.Path("cwd/made")));

    ASSERT_EQ(chdir(saved), 0);
    setenv("PATH", savedPath.c_str(), 1);
}

TEST_F(FileopsExtraTest, SimpleOpenersSizeAndTruncation)
{
    std::string path = sandbox.Path("f"), ro = sandbox.Path("ro");
    WriteTextFile(path, "0123456789");
    EXPECT_EQ(OpenExistingFile(sandbox.Path("missing").c_str(), 1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenExistingFile(path.c_str(), 4), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenExistingFile(sandbox.Root().c_str(), 1), INVALID_HANDLE_VALUE);

    HANDLE h = OpenExistingFile(path.c_str(), 3);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 10u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
    EXPECT_EQ(SetEndOfFile(h), TRUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 4u);
    CloseHandle(h);
    EXPECT_EQ(ReadTextFile(path), "0123");

    h = OpenExistingFile(path.c_str(), 1);
    EXPECT_EQ(SetEndOfFile(h), FALSE) << "needs write access";
    CloseHandle(h);
    EXPECT_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), 0xFFFFFFFFu);

    h = CreateTruncatedFile(path.c_str(), FALSE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(ReadTextFile(path), "");
    mode_t mask = umask(022);
    umask(mask);
    h = CreateTruncatedFile(ro.c_str(), TRUE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    EXPECT_EQ(WriteFile(h, "ok", 2, &n, nullptr), TRUE) << "the new file is open for writing";
    CloseHandle(h);
    EXPECT_EQ(PathMode(ro), static_cast<int>(0444 & ~mask));
    EXPECT_EQ(CreateTruncatedFile(sandbox.Root().c_str(), FALSE), INVALID_HANDLE_VALUE);
}

TEST_F(FileopsExtraTest, GetFileAttributesEx)
{
    std::string file = sandbox.Path("f"), dir = sandbox.Path("d");
    WriteTextFile(file, "12345", 0444);
    MakeDirs(dir, 0755);
    FileAttributeData data = {};
    ASSERT_EQ(GetFileAttributesEx(file.c_str(), &data), TRUE);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTR_NORMAL | FILE_ATTR_READONLY);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    ASSERT_EQ(GetFileAttributesEx(dir.c_str(), &data), TRUE);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTR_DIRECTORY);
    EXPECT_EQ(GetFileAttributesEx("/dev/null", &data), FALSE);
    EXPECT_EQ(GetFileAttributesEx(sandbox.Path("missing").c_str(), &data), FALSE);
}

TEST(SystemExtraTest, TimesDateTextAndBias)
{
    setenv("TZ", "UTC+5", 1);  // five hours behind UTC, no daylight saving
    tzset();
    EXPECT_EQ(GetTimeZoneBias(), 300);

    SystemTime utc = {};
    GetSystemTime(&utc);
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    EXPECT_EQ(utc.wYear, tm.tm_year + 1900);
    EXPECT_EQ(utc.wMonth, tm.tm_mon + 1);

    char text[16];
    ASSERT_EQ(GetDateText(text, sizeof text), text);
    localtime_r(&now, &tm);
    char expected[16];
    strftime(expected, sizeof expected, "%m/%d/%y\n", &tm);
    // Read the date on both sides of the call so midnight cannot flake it.
    time_t after = time(nullptr);
    char expectedAfter[16];
    localtime_r(&after, &tm);
    strftime(expectedAfter, sizeof expectedAfter, "%m/%d/%y\n", &tm);
    EXPECT_TRUE(strcmp(text, expected) == 0 || strcmp(text, expectedAfter) == 0) << text;
    char small[4];
    EXPECT_STREQ(GetDateText(small, sizeof small), std::string(expected).substr(0, 3).c_str());
    EXPECT_EQ(GetDateText(nullptr, 4), nullptr);
}

TEST(SystemExtraTest, CompareStringLocale)
{
    struct Row {
        const char* name;
        const char* a;
        const char* b;
        BOOL ignoreCase;
        int sign;
    };
    const Row rows[] = {
        {"equal", "abc", "abc", FALSE, 0},
        {"byte_order_upper_first", "ABC", "abc", FALSE, -1},
        {"case_folded_equal", "ABC", "abc", TRUE, 0},
        {"case_folded_order", "abd", "ABC", TRUE, 1},
        {"null_first", nullptr, "", FALSE, -1},
        {"both_null", nullptr, nullptr, TRUE, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int r = CompareStringLocale(row.a, row.b, row.ignoreCase);
        EXPECT_EQ((r > 0) - (r < 0), row.sign);
    }
}

TEST(SystemExtraTest, WideCharToMultiByteReplacesUnconvertible)
{
    const wchar_t text[] = L"ab\x20AC" L"c";
    char out[16];
    memset(out, '#', sizeof out);
    EXPECT_EQ(WideCharToMultiByte(text, -1, nullptr, 0), 5);
    EXPECT_EQ(WideCharToMultiByte(text, -1, out, sizeof out), 5);
    EXPECT_STREQ(out, "ab?c");
    EXPECT_EQ(WideCharToMultiByte(text, 2, out, sizeof out), 2);
    memset(out, '#', sizeof out);
    EXPECT_EQ(WideCharToMultiByte(text, -1, out, 4), 0) << "does not fit";
    EXPECT_EQ(out[0], '#');
}

TEST_F(FileopsExtraTest, CurrentDirectory)
{
    char saved[DU_MAX_PATH];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(SetCurrentDirectory(sandbox.Root().c_str()), TRUE);
    char buf[DU_MAX_PATH];
    DWORD len = static_cast<DWORD>(sandbox.Root().size());
    EXPECT_EQ(GetCurrentDirectory(sizeof buf, buf), len);
    EXPECT_EQ(std::string(buf), sandbox.Root());
    EXPECT_EQ(GetCurrentDirectory(len, buf), len + 1) << "too small: the size needed";
    EXPECT_EQ(GetCurrentDirectory(len + 1, buf), len);
    EXPECT_EQ(SetCurrentDirectory(sandbox.Path("missing").c_str()), FALSE);
    ASSERT_EQ(SetCurrentDirectory(saved), TRUE);
}

}  // namespace

namespace {

TEST_F(FileopsExtraTest, MoveFileExCopiesAcrossFileSystemsOnlyWhenAllowed)
{
    std::string other = "/dev/shm";
    struct stat a, b;
    if (stat(other.c_str(), &a) != 0 || stat(sandbox.Root().c_str(), &b) != 0 ||
        a.st_dev == b.st_dev || access(other.c_str(), W_OK) != 0)
        GTEST_SKIP() << "needs a second writable file system at /dev/shm";
    std::string src = other + "/qdu-move-" + std::to_string(getpid());
    std::string dst = sandbox.Path("moved");
    WriteTextFile(src, "across");
    EXPECT_EQ(MoveFileEx(src.c_str(), dst.c_str(), MOVEFILE_REPLACE_EXISTING), FALSE);
    EXPECT_TRUE(PathExists(src));
    EXPECT_EQ(MoveFileEx(src.c_str(), dst.c_str(), MOVEFILE_COPY_ALLOWED), TRUE);
    EXPECT_FALSE(PathExists(src));
    EXPECT_EQ(ReadTextFile(dst), "across");
    unlink(src.c_str());
}

}  // namespace
