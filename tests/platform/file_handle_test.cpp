#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <string>

#include "platform/fileops.h"
#include "platform/find.h"
#include "tests/support/sandbox.h"

namespace {

constexpr DWORD SHARE_RW = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD RW = GENERIC_READ | GENERIC_WRITE;
const DWORD SEEK_FAIL = 0xFFFFFFFFu;

// Closes a handle at the end of a test whatever its outcome.
struct HandleGuard {
    HANDLE h;
    ~HandleGuard()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};

using FileHandleTest = SandboxTest;

TEST_F(FileHandleTest, CreateFileRefusesInvalidArguments)
{
    std::string path = sandbox.Path("f");
    WriteTextFile(path, "data");
    const SecurityAttributes cleanSec = {12, 0, 0};
    const SecurityAttributes dirtySec = {12, 0, 1};
    int dummy = 0;
    struct Row {
        const char* name;
        const char* path;
        DWORD access;
        DWORD share;
        const SecurityAttributes* sec;
        DWORD disposition;
        DWORD flags;
        HANDLE tmpl;
        bool valid;
    };
    const Row rows[] = {
        {"all_valid", path.c_str(), RW, SHARE_RW, &cleanSec, OPEN_EXISTING, 4 | 64, nullptr, true},
        {"share_delete_allowed", path.c_str(), RW, SHARE_RW | FILE_SHARE_DELETE, nullptr,
         OPEN_EXISTING, 0, nullptr, true},
        {"null_path", nullptr, RW, SHARE_RW, nullptr, OPEN_EXISTING, 0, nullptr, false},
        {"empty_path", "", RW, SHARE_RW, nullptr, OPEN_EXISTING, 0, nullptr, false},
        {"access_zero", path.c_str(), 0, SHARE_RW, nullptr, OPEN_EXISTING, 0, nullptr, false},
        {"access_four", path.c_str(), 4, SHARE_RW, nullptr, OPEN_EXISTING, 0, nullptr, false},
        {"share_read_only", path.c_str(), RW, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr,
         false},
        {"share_unknown_bit", path.c_str(), RW, SHARE_RW | 1, nullptr, OPEN_EXISTING, 0, nullptr,
         false},
        {"security_reserved_set", path.c_str(), RW, SHARE_RW, &dirtySec, OPEN_EXISTING, 0,
         nullptr, false},
        {"disposition_zero", path.c_str(), RW, SHARE_RW, nullptr, 0, 0, nullptr, false},
        {"disposition_three", path.c_str(), RW, SHARE_RW, nullptr, 3, 0, nullptr, false},
        {"unknown_flag", path.c_str(), RW, SHARE_RW, nullptr, OPEN_EXISTING, 128, nullptr, false},
        {"template_given", path.c_str(), RW, SHARE_RW, nullptr, OPEN_EXISTING, 0, &dummy, false},
        {"truncate_without_write", path.c_str(), GENERIC_READ, SHARE_RW, nullptr,
         TRUNCATE_EXISTING, 0, nullptr, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HandleGuard g{CreateFile(row.path, row.access, row.share, row.sec, row.disposition,
                                 row.flags, row.tmpl)};
        EXPECT_EQ(g.h != INVALID_HANDLE_VALUE, row.valid);
    }
    EXPECT_EQ(ReadTextFile(path), "data");
}

TEST_F(FileHandleTest, CreateFileDispositions)
{
    struct Row {
        const char* name;
        bool exists;
        DWORD disposition;
        bool valid;
        const char* contentAfter;  // null: file absent afterwards
    };
    const Row rows[] = {
        {"create_new_missing", false, CREATE_NEW, true, ""},
        {"create_new_existing", true, CREATE_NEW, false, "old"},
        {"create_always_missing", false, CREATE_ALWAYS, true, ""},
        {"create_always_existing", true, CREATE_ALWAYS, true, ""},
        {"open_existing_missing", false, OPEN_EXISTING, false, nullptr},
        {"open_existing_existing", true, OPEN_EXISTING, true, "old"},
        {"open_always_missing", false, OPEN_ALWAYS, true, ""},
        {"open_always_existing", true, OPEN_ALWAYS, true, "old"},
        {"truncate_existing_missing", false, TRUNCATE_EXISTING, false, nullptr},
        {"truncate_existing_existing", true, TRUNCATE_EXISTING, true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = sandbox.Path(row.name);
        if (row.exists)
            WriteTextFile(path, "old");
        HandleGuard g{CreateFile(path.c_str(), RW, SHARE_RW, nullptr, row.disposition, 0, nullptr)};
        EXPECT_EQ(g.h != INVALID_HANDLE_VALUE, row.valid);
        if (row.contentAfter == nullptr)
            EXPECT_FALSE(PathExists(path));
        else
            EXPECT_EQ(ReadTextFile(path), row.contentAfter);
    }
}

TEST_F(FileHandleTest, CreateFileNewFileModesAndNonFiles)
{
    mode_t mask = umask(022);
    umask(mask);
    std::string ro = sandbox.Path("ro"), rw = sandbox.Path("rw"), dir = sandbox.Path("dir");
    HandleGuard a{CreateFile(ro.c_str(), RW, SHARE_RW, nullptr, CREATE_NEW,
                             FILE_FLAG_READONLY_CREATE, nullptr)};
    HandleGuard b{CreateFile(rw.c_str(), RW, SHARE_RW, nullptr, CREATE_NEW, 0, nullptr)};
    ASSERT_NE(a.h, INVALID_HANDLE_VALUE);
    ASSERT_NE(b.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(PathMode(ro), static_cast<int>(0444 & ~mask));
    EXPECT_EQ(PathMode(rw), static_cast<int>(0666 & ~mask));

    MakeDirs(dir);
    EXPECT_EQ(CreateFile(dir.c_str(), GENERIC_READ, SHARE_RW, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFile(dir.c_str(), RW, SHARE_RW, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_TRUE(PathExists(dir)) << "create-always must not remove a directory";
    std::string fifo = sandbox.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(CreateFile(fifo.c_str(), RW, SHARE_RW, nullptr, TRUNCATE_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

TEST_F(FileHandleTest, RelativePathIsResolvedAgainstCurrentDirectory)
{
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(sandbox.Root().c_str()), 0);
    HandleGuard g{CreateFile("rel.txt", RW, SHARE_RW, nullptr, CREATE_NEW, 0, nullptr)};
    ASSERT_EQ(chdir(saved), 0);
    ASSERT_NE(g.h, INVALID_HANDLE_VALUE);
    // Times are set by the recorded absolute path, so they still reach the
    // file after the current directory changed.
    FileTime ft = PosixTimeToFileTime(1000000005);
    EXPECT_EQ(SetFileTime(g.h, nullptr, nullptr, &ft), TRUE);
    struct stat st;
    ASSERT_EQ(stat(sandbox.Path("rel.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000005 / 15 * 15);

    std::string longName(4200, 'n');
    EXPECT_EQ(CreateFile(longName.c_str(), RW, SHARE_RW, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

TEST_F(FileHandleTest, ReadAndWriteFollowTheAccessBits)
{
    std::string path = sandbox.Path("f");
    WriteTextFile(path, "0123456789");
    HandleGuard r{CreateFile(path.c_str(), GENERIC_READ, SHARE_RW, nullptr, OPEN_EXISTING, 0,
                             nullptr)};
    HandleGuard w{CreateFile(path.c_str(), GENERIC_WRITE, SHARE_RW, nullptr, OPEN_EXISTING, 0,
                             nullptr)};
    ASSERT_NE(r.h, INVALID_HANDLE_VALUE);
    ASSERT_NE(w.h, INVALID_HANDLE_VALUE);
    char buf[32] = {};
    DWORD n = 99;

    EXPECT_EQ(WriteFile(r.h, "x", 1, &n, nullptr), FALSE) << "read-only handle";
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ReadFile(w.h, buf, 4, &n, nullptr), FALSE) << "write-only handle";
    EXPECT_EQ(ReadFile(r.h, buf, 4, nullptr, nullptr), FALSE) << "no count";
    EXPECT_EQ(ReadFile(r.h, nullptr, 4, &n, nullptr), FALSE) << "no buffer";
    int overlapped = 0;
    EXPECT_EQ(ReadFile(r.h, buf, 4, &n, &overlapped), FALSE);

    EXPECT_EQ(ReadFile(r.h, buf, 4, &n, nullptr), TRUE);
    EXPECT_EQ(std::string(buf, n), "0123");
    EXPECT_EQ(ReadFile(r.h, nullptr, 0, &n, nullptr), TRUE);
    EXPECT_EQ(WriteFile(w.h, "ab", 2, &n, nullptr), TRUE);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(ReadFile(r.h, buf, sizeof buf, &n, nullptr), TRUE);
    EXPECT_EQ(std::string(buf, n), "456789");
    EXPECT_EQ(ReadFile(r.h, buf, sizeof buf, &n, nullptr), TRUE) << "end of file";
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ReadTextFile(path), "ab23456789");
}

TEST_F(FileHandleTest, EmptyWriteTouchesTheFile)
{
    std::string path = sandbox.Path("f");
    WriteTextFile(path, "x");
    struct utimbuf old = {1000, 1000};
    ASSERT_EQ(utime(path.c_str(), &old), 0);
    HandleGuard g{CreateFile(path.c_str(), RW, SHARE_RW, nullptr, OPEN_EXISTING, 0, nullptr)};
    DWORD n = 5;
    EXPECT_EQ(WriteFile(g.h, nullptr, 0, &n, nullptr), TRUE);
    EXPECT_EQ(n, 0u);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, 1000);
}

TEST_F(FileHandleTest, SetFilePointerMethods)
{
    std::string path = sandbox.Path("f");
    WriteTextFile(path, "0123456789");
    HandleGuard g{CreateFile(path.c_str(), GENERIC_READ, SHARE_RW, nullptr, OPEN_EXISTING, 0,
                             nullptr)};
    ASSERT_NE(g.h, INVALID_HANDLE_VALUE);
    LONG zero = 0, one = 1;
    struct Row {
        const char* name;
        LONG distance;
        LONG* high;
        DWORD method;
        DWORD result;
    };
    // Rows run in order; each starts where the previous one left the file.
    const Row rows[] = {
        {"begin", 3, nullptr, FILE_BEGIN, 3},
        {"current_forward", 4, &zero, FILE_CURRENT, 7},
        {"current_backward", -5, nullptr, FILE_CURRENT, 2},
        {"end", -1, nullptr, FILE_END, 9},
        {"past_end", 5, nullptr, FILE_END, 15},
        {"negative_target", -16, nullptr, FILE_CURRENT, SEEK_FAIL},
        {"high_part_nonzero", 0, &one, FILE_BEGIN, SEEK_FAIL},
        {"method_zero", 0, nullptr, 0, SEEK_FAIL},
        {"method_four", 0, nullptr, 4, SEEK_FAIL},
        {"failure_keeps_position", 0, nullptr, FILE_CURRENT, 15},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(SetFilePointer(g.h, row.distance, row.high, row.method), row.result);
    }
}

TEST_F(FileHandleTest, FileTimesUseFifteenSecondSteps)
{
    std::string path = sandbox.Path("f");
    WriteTextFile(path, "x");
    struct utimbuf times = {1200000007, 1100000011};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
    HandleGuard g{CreateFile(path.c_str(), RW, SHARE_RW, nullptr, OPEN_EXISTING, 0, nullptr)};
    ASSERT_NE(g.h, INVALID_HANDLE_VALUE);

    FileTime access = {}, write = {}, creation = {};
    EXPECT_EQ(GetFileTime(g.h, &creation, &access, &write), FALSE) << "no creation time";
    EXPECT_EQ(GetFileTime(g.h, nullptr, nullptr, nullptr), TRUE);
    ASSERT_EQ(GetFileTime(g.h, nullptr, &access, &write), TRUE);
    EXPECT_EQ(FileTimeToPosixTime(access), 1200000000);
    EXPECT_EQ(FileTimeToPosixTime(write), 1100000010);

    FileTime newWrite = PosixTimeToFileTime(1300000029);
    EXPECT_EQ(SetFileTime(g.h, &creation, nullptr, &newWrite), FALSE);
    ASSERT_EQ(SetFileTime(g.h, nullptr, nullptr, &newWrite), TRUE);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1300000020);
    EXPECT_EQ(st.st_atime, 1200000007) << "the access time not given stays exact";

    HandleGuard r{CreateFile(path.c_str(), GENERIC_READ, SHARE_RW, nullptr, OPEN_EXISTING, 0,
                             nullptr)};
    EXPECT_EQ(SetFileTime(r.h, nullptr, nullptr, &newWrite), FALSE) << "needs write access";
}

TEST_F(FileHandleTest, OperationsRefuseInvalidHandles)
{
    struct Fake {
        DWORD tag;
        int fd;
    } fake = {4111, 0};
    char buf[4];
    DWORD n;
    FileTime ft;
    const HANDLE bad[] = {nullptr, INVALID_HANDLE_VALUE, &fake};
    for (HANDLE h : bad) {
        EXPECT_EQ(ReadFile(h, buf, 4, &n, nullptr), FALSE);
        EXPECT_EQ(WriteFile(h, buf, 4, &n, nullptr), FALSE);
        EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), SEEK_FAIL);
        EXPECT_EQ(GetFileTime(h, nullptr, &ft, nullptr), FALSE);
        EXPECT_EQ(SetFileTime(h, nullptr, &ft, nullptr), FALSE);
        EXPECT_EQ(CloseHandle(h), FALSE);
    }
}

}  // namespace
