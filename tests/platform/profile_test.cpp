#include "platform/profile.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

using namespace std::string_literals;

const std::string kX252(252, 'x');

class ProfileTest : public SandboxTest {
protected:
    std::string file = sandbox.Path("test.ini");
    const char* f = file.c_str();
};

TEST_F(ProfileTest, ReadsWithinBuffer)
{
    // Name, file (empty: none), section and key (null key: list the section; null
    // section: list the names), buffer size, result, the buffer's first bytes
    // (the default value is "D").
    const std::tuple<const char*, std::string, const char*, const char*, DWORD, DWORD, std::string>
        rows[] = {
            {"QuotesRemovedInnerSpacesKept", "[S]\nKey = 'a b' \n", "S", "key", 64, 3, "a b\0"s},
            {"EmptyValueIsNotDefault", "[S]\nk=\n", "S", "k", 64, 0, "\0"s},
            {"MissingFileGivesDefault", "", "S", "k", 64, 1, "D\0"s},
            {"FirstOfDuplicateKeys", "[S]\nk=1\nk=2\n", "S", "k", 64, 1, "1\0"s},
            {"FirstSectionOfNameWins", "[S]\na=1\n[s]\nk=2\n", "S", "k", 64, 1, "D\0"s},
            {"TrailingCrLfRuns", "[S]\nk=v\r\r\n\n\r\n", "S", "k", 64, 1, "v\0"s},
            {"NoFinalNewline", "[S]\nk=v", "S", "k", 64, 1, "v\0"s},
            {"NulLineDoesNotShiftLaterLines", "[S]\n\0junk\nk=v\n"s, "S", "k", 64, 1, "v\0"s},
            {"SizeOneShort", "[S]\nk=abc\n", "S", "k", 3, 2, "ab\0"s},
            {"SizeExact", "[S]\nk=abc\n", "S", "k", 4, 3, "abc\0"s},
            {"DefaultCutToSize", "[S]\n", "S", "k", 1, 0, "\0"s},
            // Lines are read 254 bytes at a time.
            {"Line254Whole", "[S]\nk=" + kX252 + "\n", "S", "k", 512, 252, kX252 + '\0'},
            {"Line255Split", "[S]\nk=" + kX252 + "x\n", "S", "k", 512, 252, kX252 + '\0'},
            {"Entries", "[S]\na = 1\nb='x y'\n[T]\nc=3\n", "S", nullptr, 64, 10, "a=1\0b=x y\0\0"s},
            {"EmptySectionOneNul", "[S]\n[T]\nc=3\n", "S", nullptr, 64, 0, "\0~"s},
            {"MissingSectionTwoNuls", "[T]\nc=3\n", "S", nullptr, 64, 0, "\0\0~"s},
            {"SizeTwoNonEmpty", "[S]\na=1\n", "S", nullptr, 2, 0, "\0\0"s},
            {"LongLineGivesTwoItems", "[S]\n" + std::string(300, 'z') + "\n", "S", nullptr, 512,
             302, std::string(254, 'z') + '\0' + std::string(46, 'z') + "\0\0"s},
            {"OverflowCutsInsideItem", "[S]\nabc=1\nxyz=2\n", "S", nullptr, 10, 8,
             "abc=1\0xy\0\0"s},
            {"Names", "x=1\n[A]\n[b]\n  [A] \n[]\n[ C ]\n", nullptr, nullptr, 64, 8,
             "A\0b\0A\0C\0\0"s},
            {"NamesOverflow", "[Alpha]\n[Beta]\n", nullptr, nullptr, 9, 7, "Alpha\0B\0\0"s},
        };
    for (const auto& [name, contents, section, key, size, result, expected] : rows) {
        SCOPED_TRACE(name);
        const std::string path = sandbox.Path(name);
        if (!contents.empty())
            WriteTextFile(path, contents);
        const char* p = path.c_str();
        std::string buf(size + 16, '~'), list = buf;  // 16 guard bytes no call may touch
        EXPECT_EQ(GetPrivateProfileString(section, key, "D", &buf[0], size, p), result);
        EXPECT_EQ(buf.substr(0, expected.size()) + buf.substr(size),
                  expected + std::string(16, '~'));
        EXPECT_EQ(PathExists(path), !contents.empty()) << "reads never create";
        // The list calls give what the string call gives without a key.
        if (key == nullptr) {
            EXPECT_EQ(section ? GetPrivateProfileSection(section, &list[0], size, p)
                              : GetPrivateProfileSectionNames(&list[0], size, p),
                      result);
            EXPECT_EQ(list, buf);
        }
    }
}

TEST_F(ProfileTest, WritesEditInPlace)
{
    std::string big = "[Big]\n";  // moving it takes several 8192-byte chunks
    for (int i = 0; i < 2000; ++i) big += "key" + std::to_string(i) + "=value\n";
    // Name, file before (empty: none), section, key, value, file after; only a
    // call without a section fails.
    const std::tuple<const char*, std::string, const char*, const char*, const char*, std::string>
        rows[] = {
            {"Duplicates", "[S]\na=1\na=3\n[T]\na=9\n", "S", "A", "x", "[S]\nA=x\n[T]\na=9\n"},
            {"NewSectionAppended", "[S]\na=1\n", "T", "k", "v", "[S]\na=1\n[T]\nk=v\n"},
            {"AppendKeepsMissingNewline", "[S]\na=1", "T", "k", "v", "[S]\na=1[T]\nk=v\n"},
            {"WrittenAsGiven", "", " S ", " k", "'v' ", "[ S ]\n k='v' \n"},
            {"DeleteKey", "[S]\na=1\nb=2\n", "S", "a", nullptr, "[S]\nb=2\n"},
            {"DeleteKeyOnlyInSection", "[T]\na=0\n[S]\na=1\n", "S", "a", nullptr,
             "[T]\na=0\n[S]\n"},
            {"DeleteSection", "[A]\n[B]\ny=2\n\n[C]\n", "b", nullptr, nullptr, "[A]\n[C]\n"},
            {"DeleteCreatesEmptyFile", "", "S", "k", nullptr, ""},
            {"AllNullDoesNotCreate", "", nullptr, nullptr, nullptr, ""},
            {"InsertMovesLargeTailUp", "[S]\n" + big, "S", "new", "1", "[S]\nnew=1\n" + big},
            {"DeleteMovesLargeTailDown", "[S]\nold=1\n" + big, "S", "old", nullptr, "[S]\n" + big},
        };
    const mode_t mask = umask(077);
    for (const auto& [name, before, section, key, value, after] : rows) {
        SCOPED_TRACE(name);
        std::string path = sandbox.Path(name);
        if (!before.empty())
            WriteTextFile(path, before);
        EXPECT_EQ(WritePrivateProfileString(section, key, value, path.c_str()), section != nullptr);
        EXPECT_EQ(ReadTextFile(path), after);
        // Existing files keep their mode; new ones get 0664 whatever the umask.
        EXPECT_EQ(PathMode(path), !before.empty() ? 0644 : section ? 0664 : -1);
    }
    umask(mask);
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
    std::string buf(24, '~');
    EXPECT_EQ(GetPrivateProfileString("S", "k", "D", nullptr, 8, f), 0u);
    EXPECT_EQ(GetPrivateProfileSection("S", &buf[0], 1, f), 0u);
    EXPECT_EQ(buf, std::string(24, '~'));
}

// Threads share their process's record locks, so only the engine's mutex
// keeps their in-place edits apart; the record locks keep the processes apart.
TEST_F(ProfileTest, ProcessesAndThreadsWritingOneFileLoseNothing)
{
    constexpr int kProcesses = 16, kKeys = 200;
    auto key = [](int p, int k) { return "p" + std::to_string(p) + "k" + std::to_string(k); };
    std::vector<pid_t> children(kProcesses);
    for (int p = 0; p < kProcesses; ++p) {
        ASSERT_GE(children[p] = fork(), 0);
        if (children[p] == 0) {
            auto write = [&](int half) {  // a failed write shows in the file
                for (int k = half * kKeys / 2; k < (half + 1) * kKeys / 2; ++k)
                    WritePrivateProfileString(k % 2 ? "Odd" : "Even",  // appends and moves others
                                              key(p, k).c_str(), key(p, k).c_str(), f);
            };
            std::thread other(write, 1);
            write(0);
            other.join();
            _exit(0);
        }
    }
    std::multiset<std::string> expected = {"[Even]", "[Odd]"};
    for (int i = 0; i < kProcesses * kKeys; ++i)
        expected.insert(key(i / kKeys, i % kKeys) + "=" + key(i / kKeys, i % kKeys));
    for (pid_t pid : children) {
        int status = -1;
        EXPECT_EQ(waitpid(pid, &status, 0) == pid ? status : -1, 0);
    }
    // Nothing lost, doubled or half-written.
    const std::vector<std::string> lines = PrefixedLines(ReadTextFile(file));
    EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()), expected);
}

TEST_F(ProfileTest, IntReadsLikePercentDAndRefusesOverflow)
{
    std::string got;  // 99 is the default
    for (const char* value : {"42", "  7", "+5", "12abc", "-3", "abc", "", "2147483647",
                              "2147483648", "-2147483649", "99999999999999999999"}) {
        WriteTextFile(file, std::string("[S]\nk=") + value + "\n");
        got += std::to_string(GetPrivateProfileInt("S", "k", 99, f)) + " ";
    }
    EXPECT_EQ(got, "42 7 5 12 0 99 99 2147483647 99 99 99 ");
}

}  // namespace
