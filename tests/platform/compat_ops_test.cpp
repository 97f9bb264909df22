// The further file and system operations, one row per group of behaviours a
// caller relies on, limits included. Rows run in order in one sandbox; some
// move the working directory, PATH or TZ, which the fixture puts back.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <utility>

#include "platform/fileops.h"
#include "platform/fileops_extra.h"
#include "tests/support/sandbox.h"

namespace {

std::string Flag(BOOL b)
{
    return b ? "T" : "F";
}
std::string Sign(int n)
{
    return n < 0 ? "-" : n > 0 ? "+" : "0";
}
std::string Num(long long n)
{
    return std::to_string(n) + " ";
}
std::string Err(int err)
{
    return err == ENOENT ? "ENOENT" : err == EINVAL ? "EINVAL" : "other";
}

// What an opener returned, with the size of a real handle, which is closed.
std::string Opened(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE || h == nullptr)
        return h == nullptr ? "null " : "invalid ";
    DWORD high = 7, low = GetFileSize(h, &high);
    CloseHandle(h);
    return "size " + std::to_string(low) + "/" + std::to_string(high) + " ";
}

// Environment variables as they were, "" standing for unset.
class CompatOpsTest : public SandboxTest {
protected:
    void SetUp() override { ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr); }
    void TearDown() override
    {
        EXPECT_EQ(chdir(cwd), 0);
        for (const auto& [name, value] : {std::make_pair("PATH", path), std::make_pair("TZ", tz)})
            value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
        tzset();
    }
    static std::string Env(const char* name) { return getenv(name) ? getenv(name) : ""; }
    char cwd[PATH_MAX] = "";
    const std::string path = Env("PATH"), tz = Env("TZ");
};

// Each row writes what it observed; "<<" evaluates left to right, so a
// row's calls happen in the order they are written.
struct Row {
    const char* name;
    std::function<void(std::ostream&)> run;
    std::string expected;
};

TEST_F(CompatOpsTest, OperationsAndTheirLimits)
{
    char real[PATH_MAX];
    ASSERT_NE(realpath(sandbox.Root().c_str(), real), nullptr);
    const std::string dir = real;
    auto P = [&](const std::string& rel) { return dir + "/" + rel; };
    auto Rel = [&](const std::string& path) {
        return path.compare(0, dir.size(), dir) == 0 ? path.substr(dir.size()) : path;
    };
    for (const char* d : {"d", "e1", "e2", "bin0/tool", "bin", "bin2"}) MakeDirs(P(d));
    for (const char* f : {"f", "bin/tool", "bin2/tool", "del"}) WriteTextFile(P(f), "hello");
    WriteTextFile(P("ro"), "x", 0444);
    ASSERT_EQ(mkfifo(P("fifo").c_str(), 0644), 0);
    char out[DU_MAX_PATH] = "";
    OpenFileRecord rec = {};
    auto Move = [&](const char* from, const char* to) {
        BOOL moved = MoveFileEx(P(from).c_str(), P(to).c_str(), MOVEFILE_REPLACE_EXISTING);
        return Flag(moved) + Flag(PathExists(P(from))) + " ";
    };
    auto Temp = [&](const std::string& in, const char* prefix, DWORD n) {
        std::string number = Num(GetTempFileName(in.c_str(), prefix, n, out));
        return number + Rel(out) + " ";
    };
    auto Open = [&](const char* name, DWORD style) {
        HANDLE h = OpenFile(name, &rec, style);
        return Opened(h) + (h == INVALID_HANDLE_VALUE ? Err(rec.nErrCode) : Rel(rec.szPathName));
    };
    auto Cd = [&](const char* rel) { EXPECT_EQ(chdir(P(rel).c_str()), 0); };
    const std::string longest = "/" + std::string(4081, 'a');  // 4082 characters
    FileAttributeData a = {};
    auto Attr = [&](const char* name) {
        a = FileAttributeData{};
        std::string ok = Flag(GetFileAttributesEx(P(name).c_str(), &a)) + " ";
        // A directory's size depends on the file system.
        return ok + Num(a.dwFileAttributes) +
               (a.dwFileAttributes == FILE_ATTR_DIRECTORY
                    ? ""
                    : Num(a.nFileSizeLow) + Num(a.nFileSizeHigh));
    };
    DWORD high = 7;

    const Row rows[] = {
        // Only files and directories move, onto nothing or onto their own kind.
        {"Rename",
         [&](std::ostream& o) {
             o << Move("none", "n") << Move("fifo", "n") << Move("f", "d") << Move("e1", "e2");
         },
         "FF FT FT TF "},
        // Prefix cut to three single-byte characters, one separator, hex number.
        {"TempNames",
         [&](std::ostream& o) {
             o << Temp(dir + "/", "wxyz", 0xFFFFF) << Temp(dir, nullptr, 0x10)
               << Temp(dir, "p", 0x100000) << Temp("", "p", 1)
               << Num(GetTempFileName(longest.c_str(), "", 1, out))
               << Num(GetTempFileName((longest + "a").c_str(), "", 1, out));
         },
         "1048575 /wxyfffff.tmp 16 /10.tmp 0 /10.tmp 0 /10.tmp 1 0 "},
        // A counter number is created, and a taken name skipped.
        {"TempNameCounter",
         [&](std::ostream& o) {
             DWORD first = GetTempFileName(dir.c_str(), "c", 0, out);
             char taken[64];
             snprintf(taken, sizeof taken, "c%x.tmp", first + 1);
             WriteTextFile(P(taken), "");
             o << Num(GetTempFileName(dir.c_str(), "c", 0, out) - first) << Flag(PathExists(out));
         },
         "2 T"},
        // Plain names: current directory, then PATH (regular files only), else relative.
        {"SearchPath",
         [&](std::ostream& o) {
             setenv("PATH", (":" + P("bin0") + ":" + P("bin") + ":" + P("bin2")).c_str(), 1);
             Cd("d");
             o << Open("tool", OF_PARSE) << " ";
             Cd("bin2");
             o << Open("tool", OF_PARSE) << " " << Open("nothere", OF_PARSE);
         },
         "null /bin/tool null /bin2/tool null /bin2/nothere"},
        {"OpenRefusals",
         [&](std::ostream& o) {
             o << Open(P("f").c_str(), 3) << " " << Open("", OF_READ) << " "
               << Open(P("none").c_str(), OF_EXIST) << " " << Open(P("d").c_str(), OF_READ);
         },
         "invalid EINVAL invalid EINVAL invalid ENOENT invalid EINVAL"},
        {"OpenDeleteCreateReopen",
         [&](std::ostream& o) {
             o << Open(P("del").c_str(), OF_DELETE) << Flag(PathExists(P("del"))) << " "
               << Open(P("f").c_str(), OF_CREATE | OF_READWRITE) << " ";
             snprintf(rec.szPathName, sizeof rec.szPathName, "%s", P("ro").c_str());
             o << Open(nullptr, OF_REOPEN | OF_READ) << " ";
             rec.szPathName[0] = '\0';
             o << Open(nullptr, OF_REOPEN);
         },
         "null /delF size 0/0 /f size 1/0 /ro invalid EINVAL"},
        {"OpenExistingModes",
         [&](std::ostream& o) {
             for (DWORD mode : {0u, 1u, 3u, 4u})
                 o << Opened(OpenExistingFile(P("bin/tool").c_str(), mode));
             o << Opened(OpenExistingFile(P("d").c_str(), 1))
               << Opened(OpenExistingFile(P("none").c_str(), 1));
         },
         "invalid size 5/0 size 5/0 invalid invalid invalid "},
        {"CreateTruncated",
         [&](std::ostream& o) {
             mode_t mask = umask(022);
             o << Opened(CreateTruncatedFile(P("new").c_str(), TRUE));
             umask(mask);
             o << std::oct << PathMode(P("new")) << std::dec << " "
               << Opened(CreateTruncatedFile(P("bin/tool").c_str(), FALSE))
               << Opened(CreateTruncatedFile(P("d").c_str(), FALSE));
         },
         "size 0/0 444 size 0/0 invalid "},
        // Attributes and sizes, across the 32-bit size boundary.
        {"Attributes",
         [&](std::ostream& o) {
             WriteTextFile(P("big"), "");
             EXPECT_EQ(truncate(P("big").c_str(), (1LL << 32) + 3), 0);
             o << Attr("ro") << Attr("d") << Attr("big") << Attr("fifo")
               << Opened(OpenExistingFile(P("big").c_str(), 1));
         },
         "T 96 1 0 T 512 T 64 3 1 F 0 0 0 size 3/1 "},
        {"SizeAndCut",
         [&](std::ostream& o) {
             o << Num(GetFileSize(INVALID_HANDLE_VALUE, &high)) << Num(high);
             WriteTextFile(P("cut"), "abcdef");
             HANDLE rw = OpenExistingFile(P("cut").c_str(), 3);
             HANDLE r = OpenExistingFile(P("cut").c_str(), 1);
             SetFilePointer(rw, 2, nullptr, FILE_BEGIN);
             o << Flag(SetEndOfFile(rw)) << Flag(SetEndOfFile(r)) << " " << Opened(r) << Opened(rw);
         },
         "4294967295 0 TF size 2/0 size 2/0 "},
        // UTC minus local time: positive west of Greenwich.
        {"TimeZoneBias",
         [&](std::ostream& o) {
             setenv("TZ", "XYZ+5:30", 1);
             tzset();
             o << Num(GetTimeZoneBias());
             setenv("TZ", "XYZ-2", 1);
             tzset();
             o << Num(GetTimeZoneBias());
         },
         "330 -120 "},
        // In the default locale: byte order; a null string first.
        {"Compare",
         [&](std::ostream& o) {
             for (const char* x : {static_cast<const char*>(nullptr), "a"})
                 for (const char* y : {static_cast<const char*>(nullptr), "", "B", "A"})
                     o << Sign(CompareStringLocale(x, y, FALSE))
                       << Sign(CompareStringLocale(x, y, TRUE)) << " ";
         },
         "00 -- -- -- ++ ++ +- +0 "},
        {"WideToMultiByte",
         [&](std::ostream& o) {
             char buf[8] = "zzzzzzz";
             o << Num(WideCharToMultiByte(L"ab", -1, nullptr, 0))
               << Num(WideCharToMultiByte(L"ab", -1, buf, 2)) << buf << " "
               << Num(WideCharToMultiByte(L"ab", -1, buf, 3)) << buf << " "
               << Num(WideCharToMultiByte(L"a\x100z", 3, buf, 3)) << std::string(buf, 3) << " "
               << Num(WideCharToMultiByte(L"a", -2, buf, 3));
         },
         "3 0 zzzzzzz 3 ab 3 a?z 0 "},
        {"CurrentDirectory",
         [&](std::ostream& o) {
             const DWORD len = static_cast<DWORD>(P("d").size());
             char buf[DU_MAX_PATH] = "untouched";
             o << Flag(SetCurrentDirectory(P("d").c_str())) << " "
               << Num(GetCurrentDirectory(len, buf) - len) << buf << " "
               << Num(GetCurrentDirectory(len + 1, buf) - len) << Rel(buf) << " "
               << Flag(SetCurrentDirectory(P("none").c_str()))
               << Flag(SetCurrentDirectory(nullptr));
         },
         "T 1 untouched 0 /d FF"},
    };
    for (const Row& row : rows) {
        std::ostringstream o;
        row.run(o);
        EXPECT_EQ(o.str(), row.expected) << row.name;
    }
}

}  // namespace
