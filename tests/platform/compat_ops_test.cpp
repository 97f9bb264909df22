// The further file and system operations, one group of checks per behaviour a
// caller relies on, limits included. Each group writes what it observed into
// one string ("<<" evaluates left to right, so calls happen in written order).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>

#include "platform/fileops.h"
#include "platform/fileops_extra.h"
#include "tests/support/sandbox.h"

namespace {

TEST(CompatOpsTest, OperationsAndTheirLimits)
{
    Sandbox sandbox;
    char real[PATH_MAX], cwd[PATH_MAX];
    ASSERT_TRUE(realpath(sandbox.Root().c_str(), real) && getcwd(cwd, sizeof cwd));
    auto Env = [](const char* name) { return std::string(getenv(name) ? getenv(name) : ""); };
    const std::string dir = real, path = Env("PATH"), tz = Env("TZ");  // "" for unset
    auto P = [&](const std::string& rel) { return dir + "/" + rel; };
    auto Rel = [&](std::string p) { return p.erase(0, p.rfind(dir, 0) ? 0 : dir.size()); };
    auto Flag = [](BOOL b) { return b ? "T" : "F"; };
    auto Num = [](long long n) { return std::to_string(n) + " "; };
    auto Sign = [](int n) { return n < 0 ? "-" : n > 0 ? "+" : "0"; };
    auto Err = [](int e) { return e == ENOENT ? "ENOENT" : e == EINVAL ? "EINVAL" : "other"; };
    for (const char* d : {"d", "e1", "e2", "bin0/tool", "bin", "bin2"}) MakeDirs(P(d));
    for (const char* f : {"f", "bin/tool", "bin2/tool", "del"}) WriteTextFile(P(f), "hello");
    WriteTextFile(P("ro"), "x", 0444);
    WriteTextFile(P("g"), "g");
    ASSERT_EQ(mkfifo(P("fifo").c_str(), 0644), 0);
    std::ostringstream o;
    auto Take = [&o] {
        std::string s = o.str();
        o.str("");
        return s;
    };
    char out[DU_MAX_PATH] = "";
    OpenFileRecord rec = {};
    // What an opener returned, with the size of a real handle, which is closed.
    auto Opened = [](HANDLE h) -> std::string {
        if (h == INVALID_HANDLE_VALUE || h == nullptr)
            return h == nullptr ? "null " : "invalid ";
        DWORD high = 7, low = GetFileSize(h, &high);
        CloseHandle(h);
        return "size " + std::to_string(low) + "/" + std::to_string(high) + " ";
    };
    auto Move = [&](const char* from, const char* to, DWORD how = MOVEFILE_REPLACE_EXISTING) {
        std::string moved = Flag(MoveFileEx(P(from).c_str(), P(to).c_str(), how));
        return moved + Flag(PathExists(P(from))) + " ";
    };
    auto Temp = [&](const std::string& in, const char* prefix, DWORD n) {
        std::string number = Num(GetTempFileName(in.c_str(), prefix, n, out));
        return number + Rel(out) + " ";
    };
    auto Open = [&](const char* name, DWORD style) {
        HANDLE h = OpenFile(name, &rec, style);
        return Opened(h) + (h == INVALID_HANDLE_VALUE ? Err(rec.nErrCode) : Rel(rec.szPathName)) +
               " ";
    };
    auto Attr = [&](const char* name) {
        FileAttributeData a = {};
        std::string ok = Flag(GetFileAttributesEx(P(name).c_str(), &a));
        if (a.dwFileAttributes == FILE_ATTR_DIRECTORY)  // its size depends on the file system
            a.nFileSizeLow = a.nFileSizeHigh = 0;
        return ok + " " + Num(a.dwFileAttributes) + Num(a.nFileSizeLow) + Num(a.nFileSizeHigh);
    };

    // Only files and directories move, onto nothing or onto their own kind,
    // and onto an existing name only when asked to replace it.
    o << Move("none", "n") << Move("fifo", "n") << Move("f", "d") << Move("e1", "e2")
      << Move("g", "f", MOVEFILE_COPY_ALLOWED) << ReadTextFile(P("f")) << " " << Move("g", "f")
      << ReadTextFile(P("f"));
    EXPECT_EQ(Take(), "FF FT FT TF FT hello TF g") << "Rename";

    // Prefix cut to three single-byte characters, one separator, hex number.
    const std::string longest = "/" + std::string(4081, 'a');  // 4082 characters
    o << Temp(dir + "/", "wxyz", 0xFFFFF) << Temp(dir, nullptr, 0x10) << Temp(dir, "p", 0x100000)
      << Temp("", "p", 1) << Num(GetTempFileName(longest.c_str(), "", 1, out))
      << Num(GetTempFileName((longest + "a").c_str(), "", 1, out));
    EXPECT_EQ(Take(), "1048575 /wxyfffff.tmp 16 /10.tmp 0 /10.tmp 0 /10.tmp 1 0 ") << "TempNames";

    // A counter number is created, and a taken name skipped.
    DWORD first = GetTempFileName(dir.c_str(), "c", 0, out);
    char taken[64];
    snprintf(taken, sizeof taken, "c%x.tmp", first + 1);
    WriteTextFile(P(taken), "");
    o << Num(GetTempFileName(dir.c_str(), "c", 0, out) - first) << Flag(PathExists(out));
    EXPECT_EQ(Take(), "2 T") << "TempNameCounter";

    // Plain names: current directory, then PATH (regular files only), else relative.
    setenv("PATH", (":" + P("bin0") + ":" + P("bin") + ":" + P("bin2")).c_str(), 1);
    o << chdir(P("d").c_str()) << Open("tool", OF_PARSE) << chdir(P("bin2").c_str())
      << Open("tool", OF_PARSE) << Open("nothere", OF_PARSE);
    EXPECT_EQ(Take(), "0null /bin/tool 0null /bin2/tool null /bin2/nothere ") << "SearchPath";

    o << Open(P("f").c_str(), 3) << Open("", OF_READ) << Open(P("none").c_str(), OF_EXIST)
      << Open(P("d").c_str(), OF_READ);
    o << Open(P("del").c_str(), OF_DELETE) << Flag(PathExists(P("del"))) << " "
      << Open(P("f").c_str(), OF_CREATE | OF_READWRITE);
    snprintf(rec.szPathName, sizeof rec.szPathName, "%s", P("ro").c_str());
    o << Open(nullptr, OF_REOPEN | OF_READ);
    rec.szPathName[0] = '\0';
    o << Open(nullptr, OF_REOPEN);
    EXPECT_EQ(Take(),
              "invalid EINVAL invalid EINVAL invalid ENOENT invalid EINVAL null /del F "
              "size 0/0 /f size 1/0 /ro invalid EINVAL ")
        << "OpenFile";

    for (DWORD mode : {0u, 1u, 3u, 4u}) o << Opened(OpenExistingFile(P("bin/tool").c_str(), mode));
    o << Opened(OpenExistingFile(P("d").c_str(), 1))
      << Opened(OpenExistingFile(P("none").c_str(), 1));
    EXPECT_EQ(Take(), "invalid size 5/0 size 5/0 invalid invalid invalid ") << "OpenModes";

    mode_t mask = umask(022);
    o << Opened(CreateTruncatedFile(P("new").c_str(), TRUE));
    umask(mask);
    o << std::oct << PathMode(P("new")) << std::dec << " "
      << Opened(CreateTruncatedFile(P("bin/tool").c_str(), FALSE))
      << Opened(CreateTruncatedFile(P("d").c_str(), FALSE));
    EXPECT_EQ(Take(), "size 0/0 444 size 0/0 invalid ") << "CreateTruncated";

    // Attributes and sizes, across the 32-bit size boundary.
    WriteTextFile(P("big"), "");
    EXPECT_EQ(truncate(P("big").c_str(), (1LL << 32) + 3), 0);
    o << Attr("ro") << Attr("d") << Attr("big") << Attr("fifo")
      << Opened(OpenExistingFile(P("big").c_str(), 1));
    EXPECT_EQ(Take(), "T 96 1 0 T 512 0 0 T 64 3 1 F 0 0 0 size 3/1 ") << "Attributes";

    DWORD high = 7;
    o << Num(GetFileSize(INVALID_HANDLE_VALUE, &high)) << Num(high);
    WriteTextFile(P("cut"), "abcdef");
    HANDLE rw = OpenExistingFile(P("cut").c_str(), 3), r = OpenExistingFile(P("cut").c_str(), 1);
    SetFilePointer(rw, 2, nullptr, FILE_BEGIN);
    o << Flag(SetEndOfFile(rw)) << Flag(SetEndOfFile(r)) << " " << Opened(r) << Opened(rw);
    EXPECT_EQ(Take(), "4294967295 0 TF size 2/0 size 2/0 ") << "SizeAndCut";

    // UTC minus local time: positive west of Greenwich.
    for (const char* zone : {"XYZ+5:30", "XYZ-2"}) {
        setenv("TZ", zone, 1);
        tzset();
        o << Num(GetTimeZoneBias());
    }
    EXPECT_EQ(Take(), "330 -120 ") << "TimeZoneBias";

    // In the default locale: byte order; a null string first.
    for (const char* x : {static_cast<const char*>(nullptr), "a"})
        for (const char* y : {static_cast<const char*>(nullptr), "", "B", "A"})
            o << Sign(CompareStringLocale(x, y, FALSE)) << Sign(CompareStringLocale(x, y, TRUE))
              << " ";
    EXPECT_EQ(Take(), "00 -- -- -- ++ ++ +- +0 ") << "Compare";

    char buf[DU_MAX_PATH] = "zzzzzzz";
    o << Num(WideCharToMultiByte(L"ab", -1, nullptr, 0))
      << Num(WideCharToMultiByte(L"ab", -1, buf, 2)) << buf << " "
      << Num(WideCharToMultiByte(L"ab", -1, buf, 3)) << buf << " "
      << Num(WideCharToMultiByte(L"a\x100z", 3, buf, 3)) << std::string(buf, 3) << " "
      << Num(WideCharToMultiByte(L"a", -2, buf, 3));
    char text[] = "MiXeD/1 \xC4 Z";  // only ASCII letters are lowered
    o << StrLower(text);
    EXPECT_EQ(Take(), "3 0 zzzzzzz 3 ab 3 a?z 0 mixed/1 \xC4 z") << "Text";

    const DWORD len = static_cast<DWORD>(P("d").size());
    strcpy(buf, "untouched");
    o << Flag(SetCurrentDirectory(P("d").c_str())) << " "
      << Num(GetCurrentDirectory(len, buf) - len) << buf << " "
      << Num(GetCurrentDirectory(len + 1, buf) - len) << Rel(buf) << " "
      << Flag(SetCurrentDirectory(P("none").c_str())) << Flag(SetCurrentDirectory(nullptr));
    EXPECT_EQ(Take(), "T 1 untouched 0 /d FF") << "CurrentDirectory";

    // Nothing above stops the test early, so what it moved is always put back.
    EXPECT_EQ(chdir(cwd), 0);
    for (const auto& [name, value] : {std::make_pair("PATH", path), std::make_pair("TZ", tz)})
        value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
    tzset();
}

}  // namespace
