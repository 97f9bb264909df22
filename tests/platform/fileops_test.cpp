#include "platform/fileops.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/bounded.h"
#include "platform/paths.h"
#include "tests/support/sandbox.h"

namespace {

using FileopsTest = SandboxTest;
using Results = std::vector<BOOL>;  // a braced list of calls runs them in order
constexpr DWORD SRW = FILE_SHARE_READ | FILE_SHARE_WRITE, RW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD OE = OPEN_EXISTING, TE = TRUNCATE_EXISTING;

TEST_F(FileopsTest, CopyFileLoopsAndHonoursFailIfExists)
{
    const std::string src = sandbox.Path("src"), dst = sandbox.Path("dst"), dir = sandbox.Root();
    const std::string fifo = sandbox.Path("fifo");
    std::string data(3 * 1024 * 1024 + 17, '\0');  // larger than any internal buffer
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    WriteTextFile(src, data, 0600);
    ASSERT_EQ(CopyFile(src.c_str(), dst.c_str(), TRUE), TRUE);
    EXPECT_EQ(CopyFile("/proc/version", dst.c_str(), TRUE), FALSE) << "the target exists";
    EXPECT_EQ(ReadTextFile(dst), data);
    // A file-size limit makes the write fail part way, even for root.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const struct rlimit small = {1024 * 1024, saved.rlim_max};
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_EQ(CopyFile(src.c_str(), dst.c_str(), FALSE), FALSE);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ReadTextFile(dst), data.substr(0, 1024 * 1024)) << "the partial target stays";
    // Only regular files are copied; FIFOs must fail at once, not wait for a peer.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& path : {std::string(), sandbox.Path("missing"), dir, fifo})
        EXPECT_EQ(CopyFile(path.c_str(), sandbox.Path("out").c_str(), FALSE), FALSE) << path;
    for (const std::string& path : {std::string(), dir, fifo})
        EXPECT_EQ(CopyFile(src.c_str(), path.c_str(), FALSE), FALSE) << path;
    EXPECT_FALSE(PathExists(sandbox.Path("out")));
}

TEST_F(FileopsTest, DeleteAndAttributesTouchOnlyFilesAndLinksToThem)
{
    auto P = [&](const char* name) { return sandbox.Path(name); };
    WriteTextFile(P("file"), "x");
    ASSERT_EQ(symlink(P("file").c_str(), P("link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", P("dangling").c_str()), 0);
    ASSERT_EQ(symlink(sandbox.Root().c_str(), P("dirlink").c_str()), 0);
    EXPECT_EQ((Results{CreateDirectory(P("d").c_str()), CreateDirectory(P("d").c_str()),
                       DeleteFile(P("dangling").c_str()), DeleteFile(P("dirlink").c_str()),
                       DeleteFile(P("d").c_str()), DeleteFile(P("link").c_str()),
                       PathExists(P("dangling")) && PathExists(P("file"))}),
              (Results{TRUE, FALSE, FALSE, FALSE, FALSE, TRUE, TRUE}));
    WriteTextFile(P("d/f"), "x");
    EXPECT_EQ((Results{RemoveDirectory(P("d").c_str()), DeleteFile(P("d/f").c_str()),
                       RemoveDirectory(P("d").c_str())}),
              (Results{FALSE, TRUE, TRUE}));

    // Mode before, attributes given, mode after (unchanged when refused).
    const std::tuple<int, DWORD, int> rows[] = {
        {0444, FILE_ATTR_NORMAL, 0644},    {0400, 0, 0600},
        {06775, FILE_ATTR_READONLY, 0555}, {0644, FILE_ATTR_READONLY | FILE_ATTR_NORMAL, 0444},
        {0644, FILE_ATTR_NORMAL | 1, -1},  {0444, FILE_ATTR_DIRECTORY, -1}};
    for (const auto& [before, attributes, after] : rows) {
        const std::string path = sandbox.Path(std::to_string(attributes));
        WriteTextFile(path, "x", before);
        EXPECT_EQ(SetFileAttributes(path.c_str(), attributes), after >= 0) << attributes;
        EXPECT_EQ(PathMode(path), after >= 0 ? after : before) << attributes;
    }
    EXPECT_EQ((Results{SetFileAttributes(sandbox.Root().c_str(), FILE_ATTR_NORMAL),
                       SetFileAttributes(P("missing").c_str(), FILE_ATTR_NORMAL)}),
              (Results{FALSE, FALSE}));
}

TEST_F(FileopsTest, HandlesFollowDispositionsAndAccessBits)
{
    std::string old = sandbox.Path("old"), made = sandbox.Path("made"), fifo = sandbox.Path("fifo");
    WriteTextFile(old, "0123456789");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const char *f = old.c_str(), *m = made.c_str(), *d = sandbox.Root().c_str(), *p = fifo.c_str();
    // Only existing regular files open: a fifo must fail without blocking, and
    // a failed open creates nothing.
    for (const char* path : {p, d, m})
        EXPECT_EQ(CreateFile(path, RW, SRW, nullptr, TE, 0, nullptr), INVALID_HANDLE_VALUE) << path;
    EXPECT_FALSE(PathExists(made));
    EXPECT_EQ(CreateFile(f, GENERIC_READ, SRW, nullptr, TE, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadTextFile(old), "0123456789") << "truncating needs write access";

    // The store's header rewrite tests the handles' use; here, what it does not
    // reach: access refusals, failed seeks and bad handles.
    HANDLE r = CreateFile(f, GENERIC_READ, SRW, nullptr, OE, 0, nullptr);
    HANDLE w = CreateFile(f, GENERIC_WRITE, SRW, nullptr, OE, 0, nullptr);
    FileTime t = {};
    char buf[32] = {};
    DWORD n = 99;
    LONG one = 1;
    EXPECT_EQ((Results{GetFileTime(r, &t, &t, &t), SetFileTime(r, nullptr, nullptr, &t),
                       WriteFile(r, "x", 1, &n, nullptr), ReadFile(w, buf, 4, &n, nullptr),
                       SetFilePointer(r, 0, &one, FILE_BEGIN) == 0xFFFFFFFFu,
                       SetFilePointer(r, -1, nullptr, FILE_CURRENT) == 0xFFFFFFFFu,
                       CloseHandle(r) && CloseHandle(w)}),
              (Results{FALSE, FALSE, FALSE, FALSE, TRUE, TRUE, TRUE}));
    EXPECT_EQ(CloseHandle(CreateFile(f, RW, SRW, nullptr, TE, 0, nullptr)), TRUE);
    EXPECT_EQ(ReadTextFile(old), "") << "truncated";
    DWORD fake[2] = {4111, 0};  // one off the real tag
    for (HANDLE bad : {HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(fake)})
        EXPECT_EQ(ReadFile(bad, buf, 4, &n, nullptr) || WriteFile(bad, buf, 4, &n, nullptr) ||
                      SetFilePointer(bad, 0, nullptr, FILE_BEGIN) != 0xFFFFFFFFu ||
                      GetFileTime(bad, nullptr, nullptr, nullptr) || CloseHandle(bad),
                  FALSE);
}

TEST(PathsTest, SplitsAndJoinsWithinSize)
{
    // Path, then the directory (cut at flag 0) and the name (from flag 1).
    const char* const splits[][3] = {{"a/b/c.dat", "a/b", "c.dat"},
                                     {"dir/", "dir", ""},
                                     {"//srv/share/f", "//srv/share", "f"},
                                     {"x:/f", "x:/", "f"}};
    for (const auto& [path, dir, name] : splits) {
        char buf[64];
        strcpy(buf, path);
        EXPECT_STREQ(DuStripFileName(buf, 1), name) << path;
        *DuStripFileName(buf, 0) = '\0';
        EXPECT_STREQ(buf, dir) << path;
    }
    // The store's join keeps one separator; the bounded one adds one whatever
    // dir ends with. Bounded, dir, name, size, result (null: fails and leaves
    // the buffer unchanged); neither writes past the size.
    const std::tuple<bool, const char*, const char*, size_t, const char*> rows[] = {
        {false, "/a/", "/b", 64, "/a/b"},      {false, "x:", "/b", 64, "x:/b"},
        {false, "a/", "//b", 64, "a//b"},      {false, "dir", "name", 8, nullptr},
        {false, "dir", "name", 9, "dir/name"}, {false, "", "name", 4, nullptr},
        {false, "", "name", 5, "name"},        {true, "dir", "name", 9, "dir/name"},
        {true, "dir", "name", 8, nullptr},     {true, "dir/", "name", 64, "dir//name"},
        {true, "x:", "name", 64, "x:/name"},   {true, "", "name", 6, "/name"},
        {true, "", "name", 5, nullptr},
    };
    for (const auto& [bounded, dir, name, size, after] : rows) {
        char buf[72];
        memset(buf, '#', sizeof buf);
        const char* before = bounded ? "old" : dir;
        strcpy(buf, before);
        EXPECT_EQ(
            bounded ? BoundedJoin(buf, size, dir, name) : DuAppendPath(buf, name, size) == TRUE,
            after != nullptr)
            << dir << "+" << name << " in " << size;
        EXPECT_STREQ(buf, after != nullptr ? after : before);
        EXPECT_EQ(buf[size], '#');
    }
}

TEST(PathsTest, FileExistsToleratesWholeNameCaseOnly)
{
    Sandbox sandbox;
    // On disk, asked for, the path after (unchanged: not found).
    const char* const rows[][3] = {{"virscan1.dat", "ViRsCaN1.dAt", "virscan1.dat"},
                                   {"VIRSCAN1.DAT", "virscan1.dat", "VIRSCAN1.DAT"},
                                   {"Virscan1.Dat", "VIRSCAN1.DAT", nullptr},
                                   {"other.dat", "sub", "SUB"}};
    for (const auto& [onDisk, asked, after] : rows) {
        std::string dir = sandbox.Path(asked) + "/";
        MakeDirs(dir + "SUB");  // directories count too
        WriteTextFile(dir + onDisk, "x");
        char buf[4096];
        strcpy(buf, (dir + asked).c_str());
        EXPECT_EQ(DuFileExists(buf), after != nullptr) << asked;
        EXPECT_EQ(buf, dir + (after != nullptr ? after : asked));
    }
    std::string tooLong(5000, 'a');
    EXPECT_EQ(DuFileExists(&tooLong[0]), FALSE);
    // Sizes by name must not wait for a FIFO's writer.
    ASSERT_EQ(mkfifo(sandbox.Path("fifo").c_str(), 0644), 0);
    EXPECT_EQ(GetFileSizeByName(sandbox.Path("fifo").c_str()), 0u);
    EXPECT_EQ(GetFileSizeByName(sandbox.Path("sub/other.dat").c_str()), 1u);
}

}  // namespace
