#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <string>

#include "platform/fileops.h"
#include "platform/find.h"
#include "tests/support/sandbox.h"

namespace {

constexpr DWORD SRW = FILE_SHARE_READ | FILE_SHARE_WRITE, RW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD OE = OPEN_EXISTING, TE = TRUNCATE_EXISTING;

// Closes the handle at the end of a test whatever its outcome.
struct Handle {
    explicit Handle(const std::string& path, DWORD access = RW, DWORD disposition = OE)
        : h(CreateFile(path.c_str(), access, SRW, nullptr, disposition, 0, nullptr)) {}
    ~Handle() { CloseHandle(h); }
    HANDLE h;
};

using FileHandleTest = SandboxTest;

TEST_F(FileHandleTest, CreateFileRefusesInvalidArguments)
{
    WriteTextFile(sandbox.Path("f"), "data");
    const std::string f = sandbox.Path("f");
    const SecurityAttributes clean = {12, 0, 0}, dirty = {12, 0, 1};
    int tmpl = 0;
    const struct {
        const char *name, *path;
        DWORD access, share;
        const SecurityAttributes* sec;
        DWORD disposition, flags;
        HANDLE tmpl;
    } rows[] = {  // the first row is valid, each other one breaks one argument
        {"all_valid", f.c_str(), RW, SRW | FILE_SHARE_DELETE, &clean, OE, 4 | 64, nullptr},
        {"null_path", nullptr, RW, SRW, nullptr, OE, 0, nullptr},
        {"empty_path", "", RW, SRW, nullptr, OE, 0, nullptr},
        {"access_four", f.c_str(), 4, SRW, nullptr, OE, 0, nullptr},
        {"share_read_only", f.c_str(), RW, FILE_SHARE_READ, nullptr, OE, 0, nullptr},
        {"security_reserved_set", f.c_str(), RW, SRW, &dirty, OE, 0, nullptr},
        {"disposition_three", f.c_str(), RW, SRW, nullptr, 3, 0, nullptr},
        {"unknown_flag", f.c_str(), RW, SRW, nullptr, OE, 128, nullptr},
        {"template_given", f.c_str(), RW, SRW, nullptr, OE, 0, &tmpl},
        {"truncate_without_write", f.c_str(), GENERIC_READ, SRW, nullptr, TE, 0, nullptr},
        {"directory", sandbox.Root().c_str(), GENERIC_READ, SRW, nullptr, OE, 0, nullptr},
    };
    for (const auto& r : rows) {
        HANDLE h = CreateFile(r.path, r.access, r.share, r.sec, r.disposition, r.flags, r.tmpl);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, &r == rows) << r.name;
        CloseHandle(h);
    }
    EXPECT_EQ(ReadTextFile(f), "data");
}

TEST_F(FileHandleTest, CreateFileDispositions)
{
    const struct {
        const char* name;
        bool exists;
        DWORD disposition;
        const char* after;  // null: fails, leaving the file as it was
    } rows[] = {
        {"create_new_existing", true, CREATE_NEW, nullptr},
        {"create_always_existing", true, CREATE_ALWAYS, ""},
        {"open_existing_missing", false, OE, nullptr},
        {"open_always_existing", true, OPEN_ALWAYS, "old"},
        {"open_always_missing", false, OPEN_ALWAYS, ""},
        {"truncate_existing_missing", false, TE, nullptr},
        {"truncate_existing_existing", true, TE, ""},
    };
    for (const auto& r : rows) {
        std::string path = sandbox.Path(r.name);
        if (r.exists)
            WriteTextFile(path, "old");
        Handle file(path, RW, r.disposition);
        EXPECT_EQ(file.h != INVALID_HANDLE_VALUE, r.after != nullptr) << r.name;
        EXPECT_EQ(PathExists(path), r.exists || r.after != nullptr) << r.name;
        EXPECT_EQ(ReadTextFile(path), r.after ? r.after : r.exists ? "old" : "") << r.name;
    }
    std::string ro = sandbox.Path("ro"), fifo = sandbox.Path("fifo");
    CloseHandle(CreateFile(ro.c_str(), RW, SRW, nullptr, CREATE_NEW, FILE_FLAG_READONLY_CREATE,
                           nullptr));
    EXPECT_EQ(PathMode(ro) & 0222, 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(Handle(fifo, RW, TE).h, INVALID_HANDLE_VALUE) << "must not block";
    EXPECT_EQ(Handle(sandbox.Root(), RW, CREATE_ALWAYS).h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(PathExists(sandbox.Root())) << "create-always must not remove a directory";
}

TEST_F(FileHandleTest, ReadWriteAndSeekFollowAccessBits)
{
    std::string path = sandbox.Path("f");
    WriteTextFile(path, "0123456789");
    Handle r(path, GENERIC_READ), w(path, GENERIC_WRITE);
    char buf[32] = {};
    DWORD n = 99;
    EXPECT_EQ(WriteFile(r.h, "x", 1, &n, nullptr), FALSE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ReadFile(w.h, buf, 4, &n, nullptr), FALSE);
    EXPECT_EQ(ReadFile(r.h, buf, 4, nullptr, nullptr), FALSE);
    ASSERT_EQ(ReadFile(r.h, buf, 4, &n, nullptr), TRUE);
    EXPECT_EQ(WriteFile(w.h, "ab", 2, &n, nullptr), TRUE);
    ASSERT_EQ(ReadFile(r.h, buf + 4, sizeof buf - 4, &n, nullptr), TRUE);
    EXPECT_STREQ(buf, "0123456789") << "each handle has its own position";
    EXPECT_EQ(ReadTextFile(path), "ab23456789");
    LONG one = 1;
    EXPECT_EQ(SetFilePointer(r.h, 5, nullptr, FILE_END), 15u);
    EXPECT_EQ(SetFilePointer(r.h, -16, nullptr, FILE_CURRENT), 0xFFFFFFFFu);
    EXPECT_EQ(SetFilePointer(r.h, 0, &one, FILE_BEGIN), 0xFFFFFFFFu) << "high part set";
    EXPECT_EQ(SetFilePointer(r.h, -1, nullptr, FILE_CURRENT), 14u) << "failures keep the position";
}

TEST_F(FileHandleTest, FileTimesUseFifteenSecondSteps)
{
    struct utimbuf times = {1200000007, 1100000011};
    WriteTextFile(sandbox.Path("f"), "x");
    ASSERT_EQ(utime(sandbox.Path("f").c_str(), &times), 0);
    // A relative path is recorded as absolute: times still reach the file
    // after the current directory changed.
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(sandbox.Root().c_str()), 0);
    Handle f("f"), r("f", GENERIC_READ);
    ASSERT_EQ(chdir(saved), 0);
    FileTime access = {}, write = {}, creation = {};
    EXPECT_EQ(GetFileTime(f.h, &creation, &access, &write), FALSE) << "no creation time";
    ASSERT_EQ(GetFileTime(f.h, nullptr, &access, &write), TRUE);
    EXPECT_EQ(FileTimeToPosixTime(access), 1200000000);
    EXPECT_EQ(FileTimeToPosixTime(write), 1100000010);
    FileTime newWrite = PosixTimeToFileTime(1300000029);
    EXPECT_EQ(SetFileTime(r.h, nullptr, nullptr, &newWrite), FALSE) << "needs write access";
    ASSERT_EQ(SetFileTime(f.h, nullptr, nullptr, &newWrite), TRUE);
    struct stat st;
    ASSERT_EQ(stat(sandbox.Path("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1300000020);
    EXPECT_EQ(st.st_atime, 1200000007) << "the access time not given stays exact";
}

TEST_F(FileHandleTest, OperationsRefuseInvalidHandles)
{
    struct {
        DWORD tag;
        int fd;
    } fake = {4111, 0};
    char buf[4];
    DWORD n;
    FileTime ft;
    for (HANDLE h : {HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(&fake)}) {
        EXPECT_EQ(ReadFile(h, buf, 4, &n, nullptr) || WriteFile(h, buf, 4, &n, nullptr), FALSE);
        EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), 0xFFFFFFFFu);
        EXPECT_EQ(GetFileTime(h, nullptr, &ft, nullptr) || SetFileTime(h, nullptr, &ft, nullptr),
                  FALSE);
        EXPECT_EQ(CloseHandle(h), FALSE);
    }
}

}  // namespace
