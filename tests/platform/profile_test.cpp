#include "platform/profile.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

using namespace std::string_literals;

// A caller buffer followed by 16 guard bytes ('~') that no call may touch.
struct Buf {
    explicit Buf(DWORD n) : size(n), bytes(n + 16, '~') {}
    char* data() { return &bytes[0]; }
    bool GuardIntact() const { return bytes.compare(size, 16, std::string(16, '~')) == 0; }
    DWORD size;
    std::string bytes;
};

const std::string kX252(252, 'x');

class ProfileTest : public SandboxTest {
protected:
    std::string file = sandbox.Path("test.ini");
    const char* f = file.c_str();
};

TEST_F(ProfileTest, ReadsValueWithinBuffer)
{
    const struct {
        const char* name;
        std::string contents;  // empty: no file
        const char *section, *key, *def;
        DWORD size;
        std::string expected;
    } rows[] = {
        {"QuotesRemovedInnerSpacesKept", "[S]\nKey = 'a b' \n", "S", "key", "D", 64, "a b"},
        {"OnlyOnePairRemoved", "[S]\nk=\"\"x\"\"\n", "S", "k", "D", 64, "\"x\""},
        {"NamesCaseInsensitive", "[data]\nMyKey=v\n", "DATA", "mYkEY", "D", 64, "v"},
        {"EmptyValueIsNotDefault", "[S]\nk=\n", "S", "k", "D", 64, ""},
        {"MissingFileGivesDefault", "", "S", "k", "dflt", 64, "dflt"},
        {"MissingSectionGivesDefault", "[T]\nk=1\n", "S", "k", "D", 64, "D"},
        {"FirstOfDuplicateKeys", "[S]\nk=1\nk=2\n", "S", "k", "D", 64, "1"},
        {"FirstSectionOfNameWins", "[S]\na=1\n[s]\nk=2\n", "S", "k", "D", 64, "D"},
        {"HeaderWithBlanks", "  [ Name ]\nk=v\n", "name", "k", "D", 64, "v"},
        {"FirstEqualsSplits", "[S]\nk = a=b\n", "S", "k", "D", 64, "a=b"},
        {"TrailingCrLfRuns", "[S]\nk=v\r\r\n\n\r\n", "S", "k", "D", 64, "v"},
        {"NoFinalNewline", "[S]\nk=v", "S", "k", "D", 64, "v"},
        {"NulLineDoesNotShiftLaterLines", "[S]\n\0junk\nk=v\n"s, "S", "k", "D", 64, "v"},
        {"SizeOneShort", "[S]\nk=abc\n", "S", "k", "D", 3, "ab"},
        {"SizeExact", "[S]\nk=abc\n", "S", "k", "D", 4, "abc"},
        {"DefaultCut", "[S]\n", "S", "k", "default", 4, "def"},
        // Lines are read 254 bytes at a time.
        {"Line254Whole", "[S]\nk=" + kX252 + "\n", "S", "k", "D", 512, kX252},
        {"Line255Split", "[S]\nk=" + kX252 + "x\n", "S", "k", "D", 512, kX252},
        {"LongLineTailIsOwnLine", "[S]\nk=" + kX252 + "tail = 46\n", "S", "tail", "D", 64, "46"},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        unlink(f);
        if (!c.contents.empty())
            WriteTextFile(file, c.contents);
        Buf buf(c.size);
        DWORD n = GetPrivateProfileString(c.section, c.key, c.def, buf.data(), c.size, f);
        EXPECT_EQ(n, c.expected.size());
        EXPECT_EQ(buf.bytes.substr(0, c.expected.size() + 1), c.expected + '\0');
        EXPECT_TRUE(buf.GuardIntact());
        EXPECT_EQ(PathExists(file), !c.contents.empty()) << "reads never create";
    }
}

TEST_F(ProfileTest, ListsWithinBuffer)
{
    const struct {
        const char* name;
        std::string contents;  // empty: no file
        const char* section;   // null: list the section names
        DWORD size, result;
        std::string expected;  // the buffer's first bytes
    } rows[] = {
        {"Entries", "[S]\na = 1\nb='x y'\n[T]\nc=3\n", "S", 64, 10, "a=1\0b=x y\0\0"s},
        {"EmptySectionOneNul", "[S]\n[T]\nc=3\n", "S", 64, 0, "\0~"s},
        {"MissingSectionTwoNuls", "[T]\nc=3\n", "S", 64, 0, "\0\0~"s},
        {"SizeTwoNonEmpty", "[S]\na=1\n", "S", 2, 0, "\0\0"s},
        {"LongLineGivesTwoItems", "[S]\n" + std::string(300, 'z') + "\n", "S", 512, 302,
         std::string(254, 'z') + '\0' + std::string(46, 'z') + "\0\0"s},
        {"OverflowCutsInsideItem", "[S]\nabc=1\nxyz=2\n", "S", 10, 8, "abc=1\0xy\0\0"s},
        {"Names", "x=1\n[A]\n[b]\n  [A] \n[]\n[ C ]\n", nullptr, 64, 8, "A\0b\0A\0C\0\0"s},
        {"NamesOverflow", "[Alpha]\n[Beta]\n", nullptr, 9, 7, "Alpha\0B\0\0"s},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        unlink(f);
        if (!c.contents.empty())
            WriteTextFile(file, c.contents);
        Buf buf(c.size), again(c.size);
        DWORD n = c.section != nullptr ? GetPrivateProfileSection(c.section, buf.data(), c.size, f)
                                       : GetPrivateProfileSectionNames(buf.data(), c.size, f);
        EXPECT_EQ(n, c.result);
        EXPECT_EQ(buf.bytes.substr(0, c.expected.size()), c.expected);
        EXPECT_TRUE(buf.GuardIntact());
        // A null key makes the string call give the same lists.
        EXPECT_EQ(GetPrivateProfileString(c.section, nullptr, "D", again.data(), c.size, f), n);
        EXPECT_EQ(again.bytes, buf.bytes);
    }
}

// Large enough that moving the tail takes several 8192-byte chunks.
std::string BigSection()
{
    std::string s = "[Big]\n";
    for (int i = 0; i < 2000; ++i)
        s += "key" + std::to_string(i) + "=value" + std::to_string(i) + "\n";
    return s;
}

TEST_F(ProfileTest, WritesEditInPlace)
{
    const struct {
        const char* name;
        std::string before;  // empty: no file
        const char *section, *key, *value;
        BOOL result;
        std::string after;
    } rows[] = {
        {"Duplicates", "[S]\na=1\na=3\n[T]\na=9\n", "S", "A", "x", 1, "[S]\nA=x\n[T]\na=9\n"},
        {"NewSectionAppended", "[S]\na=1\n", "T", "k", "v", 1, "[S]\na=1\n[T]\nk=v\n"},
        {"AppendKeepsMissingNewline", "[S]\na=1", "T", "k", "v", 1, "[S]\na=1[T]\nk=v\n"},
        {"WrittenAsGiven", "", " S ", " k", "'v' ", 1, "[ S ]\n k='v' \n"},
        {"DeleteKey", "[S]\na=1\nb=2\n", "S", "a", nullptr, 1, "[S]\nb=2\n"},
        {"DeleteKeyOnlyInSection", "[T]\na=0\n[S]\na=1\n[U]\na=2\n", "S", "a", nullptr, 1,
         "[T]\na=0\n[S]\n[U]\na=2\n"},
        {"DeleteSectionInMiddle", "[A]\nx=1\n[B]\ny=2\n\n[C]\n", "b", nullptr, nullptr, 1,
         "[A]\nx=1\n[C]\n"},
        {"DeleteCreatesEmptyFile", "", "S", "k", nullptr, 1, ""},
        {"AllNullDoesNotCreate", "", nullptr, nullptr, nullptr, 0, ""},
        {"KeyWithoutSectionFails", "[S]\n", nullptr, "k", "v", 0, "[S]\n"},
        {"InsertMovesLargeTailUp", "[S]\n" + BigSection(), "S", "new", "1", 1,
         "[S]\nnew=1\n" + BigSection()},
        {"DeleteMovesLargeTailDown", "[S]\nold=1\n" + BigSection(), "S", "old", nullptr, 1,
         "[S]\n" + BigSection()},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        std::string path = sandbox.Path(c.name);
        bool exists = !c.before.empty();
        if (exists)
            WriteTextFile(path, c.before);
        mode_t old = umask(077);
        EXPECT_EQ(WritePrivateProfileString(c.section, c.key, c.value, path.c_str()), c.result);
        umask(old);
        EXPECT_EQ(PathExists(path), exists || c.result);
        EXPECT_EQ(ReadTextFile(path), c.after);
        if (!exists && c.result) {
            EXPECT_EQ(PathMode(path), 0664) << "created whatever the umask";
        }
    }
}

TEST_F(ProfileTest, IntParsesLeadingDecimal)
{
    WriteTextFile(file, "[S]\nneg=-5\nabc=abc\nmix=12abc\nempty=\n");
    const std::pair<const char*, DWORD> rows[] = {{"neg", 0}, {"abc", 77}, {"mix", 12}, {"empty", 77}};
    for (const auto& row : rows)
        EXPECT_EQ(GetPrivateProfileInt("S", row.first, 77, f), row.second) << row.first;
}

// Paths that are not regular files must neither hang nor be written.
TEST_F(ProfileTest, NonRegularPathsFailWithoutHanging)
{
    std::string fifo = sandbox.Path("fifo"), link = sandbox.Path("link");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    for (const std::string& path : {fifo, link, sandbox.Root(), sandbox.Path("no/such/dir.ini")}) {
        char buf[16];
        EXPECT_EQ(GetPrivateProfileString("S", "k", "D", buf, sizeof buf, path.c_str()), 1u);
        EXPECT_EQ(GetPrivateProfileSectionNames(buf, sizeof buf, path.c_str()), 0u) << path;
        EXPECT_EQ(WritePrivateProfileString("S", "k", "v", path.c_str()), 0) << path;
    }
    // Arguments a buffer cannot be filled from leave it untouched.
    WriteTextFile(file, "[S]\nk=v\n");
    Buf buf(8);
    EXPECT_EQ(GetPrivateProfileString("S", "k", "D", nullptr, 8, f), 0u);
    EXPECT_EQ(GetPrivateProfileString("S", "k", "D", buf.data(), 8, nullptr), 0u);
    EXPECT_EQ(GetPrivateProfileSection("S", buf.data(), 1, f), 0u);
    EXPECT_EQ(GetPrivateProfileSectionNames(buf.data(), 1, f), 0u);
    EXPECT_EQ(buf.bytes, std::string(24, '~'));
}

// Threads share the process's record locks, so only the engine's mutex
// keeps their in-place edits apart.
TEST_F(ProfileTest, ThreadsWritingOneFileLoseNothing)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this, t] {
            for (int k = 0; k < 50; ++k)
                WritePrivateProfileString("S", std::to_string(t * 100 + k).c_str(), "1", f);
        });
    for (std::thread& t : threads)
        t.join();
    std::vector<char> buf(64 * 1024);
    DWORD n = GetPrivateProfileSection("S", buf.data(), 64 * 1024, f);
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + n, '\0'), 200);
}

TEST_F(ProfileTest, ProcessesWritingOneFileLoseNothing)
{
    constexpr int kProcesses = 16, kKeys = 200;
    auto key = [](int p, int k) { return "p" + std::to_string(p) + "k" + std::to_string(k); };
    // Alternate sections so writers also append and move other sections.
    auto section = [](int k) { return k % 2 ? "Odd" : "Even"; };
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int k = 0; k < kKeys; ++k) {
                std::string name = key(p, k);
                failures += !WritePrivateProfileString(section(k), name.c_str(), name.c_str(), f);
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<std::string> seen, expected;
    for (int p = 0; p < kProcesses; ++p)
        for (int k = 0; k < kKeys; ++k)
            expected.push_back(section(k) + (":" + key(p, k) + "=" + key(p, k)));
    for (const char* name : {"Even", "Odd"}) {
        std::vector<char> buf(256 * 1024);
        DWORD n = GetPrivateProfileSection(name, buf.data(), 256 * 1024, f);
        for (const char* it = buf.data(); it < buf.data() + n; it += strlen(it) + 1)
            seen.push_back(name + (":" + std::string(it)));
    }
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
    // Two headers and one line per key: nothing half-written.
    std::string text = ReadTextFile(file);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kProcesses * kKeys + 2);
}

}  // namespace
