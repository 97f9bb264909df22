#include <sys/stat.h>
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
        : h(CreateFile(path.c_str(), access, SRW, nullptr, disposition, 0, nullptr))
    {
    }
    ~Handle() { CloseHandle(h); }
    HANDLE h;
};

using FileHandleTest = SandboxTest;

TEST_F(FileHandleTest, CreateFileChecksArgumentsAndDispositions)
{
    std::string old = sandbox.Path("old"), made = sandbox.Path("made"), fifo = sandbox.Path("fifo");
    WriteTextFile(old, "old");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const SecurityAttributes clean = {12, 0, 0}, dirty = {12, 0, 1};
    int tmpl = 0;
    const char *f = old.c_str(), *m = made.c_str(), *d = sandbox.Root().c_str();
    const struct {
        const char *name, *path;
        DWORD access, share;
        const SecurityAttributes* sec;
        DWORD disposition, flags;
        HANDLE tmpl;
        bool opens;
    } rows[] = {
        {"all_valid", f, RW, SRW | FILE_SHARE_DELETE, &clean, OE, 4 | 64, nullptr, true},
        {"access_four", f, 4, SRW, nullptr, OE, 0, nullptr, false},
        {"share_read_only", f, RW, FILE_SHARE_READ, nullptr, OE, 0, nullptr, false},
        {"security_reserved_set", f, RW, SRW, &dirty, OE, 0, nullptr, false},
        {"unknown_flag", f, RW, SRW, nullptr, OE, 128, nullptr, false},
        {"template_given", f, RW, SRW, nullptr, OE, 0, &tmpl, false},
        {"truncate_without_write", f, GENERIC_READ, SRW, nullptr, TE, 0, nullptr, false},
        {"create_new_existing", f, RW, SRW, nullptr, CREATE_NEW, 0, nullptr, false},
        {"open_missing", m, RW, SRW, nullptr, OE, 0, nullptr, false},
        {"truncate_missing", m, RW, SRW, nullptr, TE, 0, nullptr, false},
        {"create_always_directory", d, RW, SRW, nullptr, CREATE_ALWAYS, 0, nullptr, false},
        {"truncate_fifo_never_blocks", fifo.c_str(), RW, SRW, nullptr, TE, 0, nullptr, false},
        {"open_always_creates", m, RW, SRW, nullptr, OPEN_ALWAYS, 0, nullptr, true},
        {"truncate_existing", f, RW, SRW, nullptr, TE, 0, nullptr, true},
    };
    for (const auto& r : rows) {
        HANDLE h = CreateFile(r.path, r.access, r.share, r.sec, r.disposition, r.flags, r.tmpl);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, r.opens) << r.name;
        CloseHandle(h);
        EXPECT_EQ(ReadTextFile(old), r.opens && r.disposition == TE ? "" : "old") << r.name;
        EXPECT_TRUE(r.path != m || PathExists(made) == r.opens) << "failed opens create nothing";
    }
    CloseHandle(CreateFile(m, RW, SRW, nullptr, CREATE_ALWAYS, FILE_FLAG_READONLY_CREATE, nullptr));
    EXPECT_EQ(PathMode(made) & 0222, 0) << "create-always makes the file anew";
}

TEST_F(FileHandleTest, HandlesFollowAccessBits)
{
    const std::string path = sandbox.Path("f");
    struct utimbuf times = {1200000007, 1100000011};
    WriteTextFile(path, "0123456789");
    ASSERT_EQ(utime(path.c_str(), &times), 0);
    Handle r(path, GENERIC_READ), w(path, GENERIC_WRITE);
    FileTime access = {}, write = {};
    EXPECT_EQ(GetFileTime(r.h, &access, &access, &write), FALSE) << "no creation time";
    ASSERT_EQ(GetFileTime(r.h, nullptr, &access, &write), TRUE);
    EXPECT_EQ(FileTimeToPosixTime(access), 1200000000);
    EXPECT_EQ(FileTimeToPosixTime(write), 1100000010);
    write = PosixTimeToFileTime(1300000029);
    EXPECT_EQ(SetFileTime(r.h, nullptr, nullptr, &write), FALSE) << "needs write access";
    ASSERT_EQ(SetFileTime(w.h, nullptr, nullptr, &write), TRUE);
    struct stat st = {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1300000020);
    EXPECT_EQ(st.st_atime, 1200000007) << "the access time not given stays exact";
    char buf[32] = {};
    DWORD n = 99;
    EXPECT_EQ(WriteFile(r.h, "x", 1, &n, nullptr), FALSE);
    EXPECT_EQ(ReadFile(w.h, buf, 4, &n, nullptr), FALSE);
    ASSERT_EQ(ReadFile(r.h, buf, 4, &n, nullptr), TRUE);
    EXPECT_EQ(WriteFile(w.h, "ab", 2, &n, nullptr), TRUE) << "each handle has its own position";
    EXPECT_EQ(ReadTextFile(path), "ab23456789");
    LONG one = 1;
    EXPECT_EQ(SetFilePointer(r.h, 5, nullptr, FILE_END), 15u);
    EXPECT_EQ(SetFilePointer(r.h, 0, &one, FILE_BEGIN), 0xFFFFFFFFu) << "high part set";
    EXPECT_EQ(SetFilePointer(r.h, -16, nullptr, FILE_CURRENT), 0xFFFFFFFFu);
    EXPECT_EQ(SetFilePointer(r.h, 0, nullptr, FILE_CURRENT), 15u) << "failures keep the position";
    DWORD fake[2] = {4111, 0};  // one off the real tag
    for (HANDLE bad : {HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(fake)}) {
        EXPECT_EQ(ReadFile(bad, buf, 4, &n, nullptr) || WriteFile(bad, buf, 4, &n, nullptr), FALSE);
        EXPECT_EQ(SetFilePointer(bad, 0, nullptr, FILE_BEGIN), 0xFFFFFFFFu);
        EXPECT_EQ(GetFileTime(bad, nullptr, nullptr, nullptr) || CloseHandle(bad), FALSE);
    }
}

}  // namespace
