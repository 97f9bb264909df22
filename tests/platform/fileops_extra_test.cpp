#include "platform/fileops_extra.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/fileops.h"
#include "tests/support/sandbox.h"

namespace {

using FileopsExtraTest = SandboxTest;

TEST_F(FileopsExtraTest, MoveFileExReplacesOnlyWhenAskedAndLikeForLike)
{
    std::string a = sandbox.Path("a"), b = sandbox.Path("b"), d = sandbox.Path("d");
    WriteTextFile(a, "moved");
    WriteTextFile(b, "old");
    MakeDirs(d);
    EXPECT_EQ(MoveFileEx(a.c_str(), b.c_str(), MOVEFILE_COPY_ALLOWED), FALSE);
    EXPECT_EQ(MoveFileEx(a.c_str(), d.c_str(), MOVEFILE_REPLACE_EXISTING), FALSE);
    EXPECT_EQ(MoveFileEx(d.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING), FALSE);
    ASSERT_EQ(MoveFileEx(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING), TRUE);
    EXPECT_FALSE(PathExists(a));
    EXPECT_EQ(ReadTextFile(b), "moved");
}

TEST_F(FileopsExtraTest, GetTempFileNameFormsOrCreatesFreeNames)
{
    char out[DU_MAX_PATH];
    std::string dir = sandbox.Root();
    EXPECT_EQ(GetTempFileName(dir.c_str(), "abcdef", 0x1A2B, out), 0x1A2Bu);
    EXPECT_EQ(out, dir + "/abc1a2b.tmp");
    EXPECT_FALSE(PathExists(out)) << "a given number only forms the name";
    EXPECT_EQ(GetTempFileName(dir.c_str(), "p", 0x100000, out), 0u);
    EXPECT_EQ(GetTempFileName(sandbox.Path("missing").c_str(), "q", 0, out), 0u);
    // Counter numbers create the first free name and skip taken ones.
    DWORD first = GetTempFileName(dir.c_str(), "q", 0, out);
    ASSERT_TRUE(first != 0 && PathExists(out));
    char taken[64];
    snprintf(taken, sizeof taken, "/q%x.tmp", first + 1);
    WriteTextFile(dir + taken, "");
    EXPECT_EQ(GetTempFileName(dir.c_str(), "q", 0, out), first + 2);
}

TEST_F(FileopsExtraTest, OpenFileSearchesCurrentDirectoryThenPath)
{
    for (const char* dir : {"cwd", "p1/only2", "p2"})  // p1/only2: directories do not count
        MakeDirs(sandbox.Path(dir));
    for (const char* file : {"cwd/local", "p1/tool", "p2/tool", "p2/only2"})
        WriteTextFile(sandbox.Path(file), file);
    std::string savedPath = getenv("PATH");
    char saved[DU_MAX_PATH];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    setenv("PATH", (sandbox.Path("p1") + "::" + sandbox.Path("p2")).c_str(), 1);
    ASSERT_EQ(SetCurrentDirectory(sandbox.Path("cwd").c_str()), TRUE);
    EXPECT_EQ(SetCurrentDirectory(sandbox.Path("missing").c_str()), FALSE);
    char buf[DU_MAX_PATH];
    DWORD len = static_cast<DWORD>(sandbox.Path("cwd").size());
    EXPECT_EQ(GetCurrentDirectory(len, buf), len + 1) << "too small: the size needed";
    EXPECT_EQ(GetCurrentDirectory(len + 1, buf), len);
    const char* names[] = {"local", "tool", "only2"};
    std::string found[3];
    OpenFileRecord rec = {};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(OpenFile(names[i], &rec, OF_PARSE), nullptr);
        found[i] = rec.szPathName;
    }
    EXPECT_EQ(OpenFile("nowhere", &rec, OF_EXIST), INVALID_HANDLE_VALUE);
    HANDLE h = OpenFile("tool", &rec, OF_READ);
    DWORD n = 0;
    EXPECT_EQ(WriteFile(h, "x", 1, &n, nullptr), FALSE) << "opened for reading only";
    CloseHandle(h);
    setenv("PATH", savedPath.c_str(), 1);
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(found[0], sandbox.Path("cwd/local")) << "the current directory comes first";
    EXPECT_EQ(found[1], sandbox.Path("p1/tool")) << "then the first path entry";
    EXPECT_EQ(found[2], sandbox.Path("p2/only2"));
}

TEST_F(FileopsExtraTest, SimpleOpenersSizeAndTruncation)
{
    std::string path = sandbox.Path("f");
    WriteTextFile(path, "0123456789");
    EXPECT_EQ(OpenExistingFile(path.c_str(), 4), INVALID_HANDLE_VALUE) << "mode 4 is unknown";
    HANDLE h = OpenExistingFile(path.c_str(), 3);
    EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
    EXPECT_EQ(SetEndOfFile(h), TRUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 4u);
    CloseHandle(h);
    h = OpenExistingFile(path.c_str(), 1);
    EXPECT_EQ(SetEndOfFile(h), FALSE) << "needs write access";
    CloseHandle(h);
    EXPECT_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), 0xFFFFFFFFu);
    CloseHandle(CreateTruncatedFile(path.c_str(), TRUE));
    EXPECT_EQ(ReadTextFile(path), "");
    EXPECT_EQ(CreateTruncatedFile(sandbox.Root().c_str(), FALSE), INVALID_HANDLE_VALUE);
    FileAttributeData data = {};
    ASSERT_EQ(GetFileAttributesEx(path.c_str(), &data), TRUE);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTR_NORMAL);
    EXPECT_EQ(GetFileAttributesEx("/dev/null", &data), FALSE);
}

TEST_F(FileopsExtraTest, SystemHelpers)
{
    setenv("TZ", "UTC+5", 1);  // five hours behind UTC, no daylight saving
    tzset();
    EXPECT_EQ(GetTimeZoneBias(), 300);
    char text[16], small[4];
    ASSERT_EQ(GetDateText(text, sizeof text), text);
    EXPECT_EQ(strlen(text), 9u) << "mm/dd/yy and a line feed";
    EXPECT_STREQ(GetDateText(small, sizeof small), std::string(text, 3).c_str());
    EXPECT_EQ(GetDateText(nullptr, 4), nullptr);
    EXPECT_LT(CompareStringLocale("ABC", "abc", FALSE), 0);
    EXPECT_EQ(CompareStringLocale("ABC", "abc", TRUE), 0);
    EXPECT_LT(CompareStringLocale(nullptr, "", FALSE), 0);
    char out[16] = "#";
    EXPECT_EQ(WideCharToMultiByte(L"ab\x20AC" L"c", -1, out, 4), 0) << "does not fit";
    EXPECT_STREQ(out, "#");
    EXPECT_EQ(WideCharToMultiByte(L"ab\x20AC" L"c", -1, out, sizeof out), 5);
    EXPECT_STREQ(out, "ab?c");
}

}  // namespace
