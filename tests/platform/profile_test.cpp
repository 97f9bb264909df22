#include "platform/profile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

using namespace std::string_literals;

constexpr char kGuard = '\x7e';
constexpr size_t kGuardBytes = 16;

// A caller buffer followed by guard bytes that no call may touch.
struct GuardedBuffer {
    explicit GuardedBuffer(size_t size) : size(size), bytes(size + kGuardBytes, kGuard) {}
    char* data() { return bytes.data(); }
    DWORD dsize() const { return static_cast<DWORD>(size); }
    std::string Head(size_t n) const { return std::string(bytes.data(), n); }
    bool GuardIntact() const
    {
        for (size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != kGuard)
                return false;
        return true;
    }
    size_t size;
    std::vector<char> bytes;
};

std::string Repeat(char c, size_t n)
{
    return std::string(n, c);
}

class ProfileTest : public SandboxTest {
protected:
    std::string file = sandbox.Path("test.ini");
};

struct ValueCase {
    const char* name;
    std::string contents;
    const char* section;
    const char* key;
    const char* def;
    size_t size;
    std::string expected;
};

const ValueCase kValueCases[] = {
    {"QuotesRemovedInnerSpacesKept", "[S]\nKey = 'a b' \n", "S", "key", "D", 64, "a b"},
    {"SingleQuoteCharStays", "[S]\nk='\n", "S", "k", "D", 64, "'"},
    {"UnbalancedQuoteStays", "[S]\nk=\"x\n", "S", "k", "D", 64, "\"x"},
    {"MixedQuotesStay", "[S]\nk='x\"\n", "S", "k", "D", 64, "'x\""},
    {"OnlyOnePairRemoved", "[S]\nk=\"\"x\"\"\n", "S", "k", "D", 64, "\"x\""},
    {"SectionCaseInsensitive", "[data]\nk=v\n", "DATA", "k", "D", 64, "v"},
    {"KeyCaseInsensitive", "[S]\nMyKey=v\n", "S", "mYkEY", "D", 64, "v"},
    {"EmptyValueIsNotDefault", "[S]\nk=\n", "S", "k", "D", 64, ""},
    {"MissingKeyGivesDefault", "[S]\na=1\n", "S", "k", "D", 64, "D"},
    {"MissingSectionGivesDefault", "[T]\nk=1\n", "S", "k", "D", 64, "D"},
    {"NullDefaultGivesEmpty", "[S]\n", "S", "k", nullptr, 64, ""},
    {"FirstOfDuplicateKeys", "[S]\nk=1\nk=2\n", "S", "k", "D", 64, "1"},
    {"FirstSectionOfNameWins", "[S]\na=1\n[s]\nk=2\n", "S", "k", "D", 64, "D"},
    {"LinesBeforeFirstSectionIgnored", "k=0\n[S]\n", "S", "k", "D", 64, "D"},
    {"SearchStopsAtNextSection", "[S]\n[T]\nk=1\n", "S", "k", "D", 64, "D"},
    {"HeaderWithBlanks", "  [ Name ]\nk=v\n", "name", "k", "D", 64, "v"},
    {"HeaderDoubleBrackets", "[[Name]]\nk=v\n", "Name", "k", "D", 64, "v"},
    {"HeaderWithoutClosingBracket", "[Name\nk=v\n", "Name", "k", "D", 64, "v"},
    {"TextAfterBracketIsPartOfName", "[Name] x\nk=v\n", "Name] x", "k", "D", 64, "v"},
    {"IndentedBracketLineIsHeader", "[S]\n  [k=v\n", "S", "[k", "D", 64, "D"},
    {"NoCommentSyntax", "[S]\n;x=1\n", "S", ";x", "D", 64, "1"},
    {"EmptyKey", "[S]\n = v\n", "S", "", "D", 64, "v"},
    {"FirstEqualsSplits", "[S]\nk = a=b\n", "S", "k", "D", 64, "a=b"},
    {"TabsTrimmed", "[S]\n\tk\t=\tv\t\n", "S", "k", "D", 64, "v"},
    {"Crlf", "[S]\r\nk=v\r\n", "S", "k", "D", 64, "v"},
    {"ManyTrailingCrLf", "[S]\nk=v\r\r\n\n\r\n", "S", "k", "D", 64, "v"},
    {"NoFinalNewline", "[S]\nk=v", "S", "k", "D", 64, "v"},
    {"NulEndsLineText", "[S]\nk=a\0b\n"s, "S", "k", "D", 64, "a"},
    {"NulLineDoesNotShiftLaterLines", "[S]\n\0junk\nk=v\n"s, "S", "k", "D", 64, "v"},
    {"SizeOneGivesEmpty", "[S]\nk=abc\n", "S", "k", "D", 1, ""},
    {"SizeTwoCuts", "[S]\nk=abc\n", "S", "k", "D", 2, "a"},
    {"SizeOneShort", "[S]\nk=abc\n", "S", "k", "D", 3, "ab"},
    {"SizeExact", "[S]\nk=abc\n", "S", "k", "D", 4, "abc"},
    {"DefaultCut", "[S]\n", "S", "k", "default", 4, "def"},
    // Lines are taken 254 bytes at a time: "k=" plus 252 bytes fills one read.
    {"Line253Whole", "[S]\nk=" + Repeat('x', 251) + "\n", "S", "k", "D", 512, Repeat('x', 251)},
    {"Line254Whole", "[S]\nk=" + Repeat('x', 252) + "\n", "S", "k", "D", 512, Repeat('x', 252)},
    {"Line255Split", "[S]\nk=" + Repeat('x', 253) + "\n", "S", "k", "D", 512, Repeat('x', 252)},
    {"Line256Split", "[S]\nk=" + Repeat('x', 254) + "\n", "S", "k", "D", 512, Repeat('x', 252)},
    {"LongLineTailIsOwnLine", "[S]\nk=" + Repeat('x', 252) + "tail = 46\n", "S", "tail", "D", 64,
     "46"},
    {"LongLineAtEofWithoutNewline", "[S]\nk=" + Repeat('y', 600), "S", "k", "D", 512,
     Repeat('y', 252)},
};

void PrintTo(const ValueCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProfileValueTest : public ProfileTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ProfileValueTest, ReadsValueWithinBuffer)
{
    const ValueCase& c = GetParam();
    WriteTextFile(file, c.contents);
    GuardedBuffer buf(c.size);
    DWORD n =
        GetPrivateProfileString(c.section, c.key, c.def, buf.data(), buf.dsize(), file.c_str());
    EXPECT_EQ(n, c.expected.size());
    EXPECT_EQ(buf.Head(c.expected.size() + 1), c.expected + '\0');
    EXPECT_TRUE(buf.GuardIntact());
}

INSTANTIATE_TEST_SUITE_P(Rows, ProfileValueTest, ::testing::ValuesIn(kValueCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileTest, MissingFileGivesDefault)
{
    GuardedBuffer buf(16);
    EXPECT_EQ(GetPrivateProfileString("S", "k", "dflt", buf.data(), buf.dsize(), file.c_str()), 4u);
    EXPECT_EQ(buf.Head(5), "dflt\0"s);
    EXPECT_FALSE(PathExists(file));
}

TEST_F(ProfileTest, BadArgumentsLeaveBufferUntouched)
{
    WriteTextFile(file, "[S]\nk=v\n");
    GuardedBuffer buf(8);
    EXPECT_EQ(GetPrivateProfileString("S", "k", "D", nullptr, 8, file.c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileString("S", "k", "D", buf.data(), 0, file.c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileString("S", "k", "D", buf.data(), 8, nullptr), 0u);
    EXPECT_EQ(GetPrivateProfileSection("S", buf.data(), 1, file.c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileSection(nullptr, buf.data(), 8, file.c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileSectionNames(buf.data(), 1, file.c_str()), 0u);
    EXPECT_EQ(buf.bytes, std::vector<char>(8 + kGuardBytes, kGuard));
}

struct ListCase {
    const char* name;
    std::string contents;  // empty: no file
    const char* section;   // null: list the section names
    size_t size;
    DWORD result;
    std::string expected;  // the buffer's first bytes
};

const ListCase kListCases[] = {
    {"Entries", "[S]\na = 1\nb='x y'\n[T]\nc=3\n", "S", 64, 10, "a=1\0b=x y\0\0"s},
    {"EmptySectionOneNul", "[S]\n[T]\nc=3\n", "S", 64, 0, "\0\x7e"s},
    {"MissingSectionTwoNuls", "[T]\nc=3\n", "S", 64, 0, "\0\0\x7e"s},
    {"MissingFileTwoNuls", "", "S", 64, 0, "\0\0\x7e"s},
    {"SizeTwoNonEmpty", "[S]\na=1\n", "S", 2, 0, "\0\0"s},
    {"NonEntriesAsRead", "[S]\n;comment\n\nk = v \r\n", "S", 64, 14, ";comment\0\0k=v\0\0"s},
    {"LongLineGivesTwoItems", "[S]\n" + Repeat('z', 300) + "\n", "S", 512, 302,
     Repeat('z', 254) + '\0' + Repeat('z', 46) + "\0\0"s},
    {"OverflowCutsBetweenItems", "[S]\nabc=1\nxyz=2\n", "S", 8, 6, "abc=1\0\0\0"s},
    {"OverflowCutsInsideItem", "[S]\nabc=1\nxyz=2\n", "S", 10, 8, "abc=1\0xy\0\0"s},
    {"OverflowWithOneByteLeft", "[S]\nab\nc\n", "S", 4, 2, "ab\0\0"s},
    {"ExactFit", "[S]\nab\n", "S", 4, 3, "ab\0\0"s},
    {"OneShortOfFit", "[S]\nab\n", "S", 3, 1, "a\0\0"s},
    {"SecondSectionOfNameUnseen", "[S]\na=1\n[s]\nb=2\n", "S", 64, 4, "a=1\0\0"s},
    {"Names", "x=1\n[A]\n[b]\n  [A] \n[]\n[ C ]\n", nullptr, 64, 8, "A\0b\0A\0C\0\0"s},
    {"NamesNone", "k=v\n", nullptr, 64, 0, "\0\x7e"s},
    {"NamesMissingFile", "", nullptr, 64, 0, "\0\0\x7e"s},
    {"NamesOverflow", "[Alpha]\n[Beta]\n", nullptr, 9, 7, "Alpha\0B\0\0"s},
};

void PrintTo(const ListCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProfileListTest : public ProfileTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ProfileListTest, ListsWithinBuffer)
{
    const ListCase& c = GetParam();
    if (!c.contents.empty())
        WriteTextFile(file, c.contents);
    GuardedBuffer buf(c.size);
    DWORD n = c.section != nullptr
                  ? GetPrivateProfileSection(c.section, buf.data(), buf.dsize(), file.c_str())
                  : GetPrivateProfileSectionNames(buf.data(), buf.dsize(), file.c_str());
    EXPECT_EQ(n, c.result);
    EXPECT_EQ(buf.Head(c.expected.size()), c.expected);
    EXPECT_TRUE(buf.GuardIntact());
    // The string call dispatches to the same lists.
    GuardedBuffer again(c.size);
    EXPECT_EQ(
        GetPrivateProfileString(c.section, nullptr, "D", again.data(), again.dsize(), file.c_str()),
        n);
    EXPECT_EQ(again.Head(c.expected.size()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProfileListTest, ::testing::ValuesIn(kListCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct WriteCase {
    const char* name;
    bool exists;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    BOOL result;
    bool existsAfter;
    std::string after;
};

// Large enough that moving the tail takes several 8192-byte chunks.
std::string BigSection()
{
    std::string s = "[Big]\n";
    for (int i = 0; i < 2000; ++i)
        s += "key" + std::to_string(i) + "=value" + std::to_string(i) + "\n";
    return s;
}

const WriteCase kWriteCases[] = {
    {"ReplacesEveryDuplicateFirstInSection", true, "[S]\na=1\nb=2\na=3\n[T]\na=9\n", "S", "A", "x",
     1, true, "[S]\nA=x\nb=2\n[T]\na=9\n"},
    {"NewSectionAppended", true, "[S]\na=1\n", "T", "k", "v", 1, true, "[S]\na=1\n[T]\nk=v\n"},
    {"AppendKeepsMissingNewline", true, "[S]\na=1", "T", "k", "v", 1, true, "[S]\na=1[T]\nk=v\n"},
    {"HeaderAtEof", true, "[S]\n", "s", "k", "v", 1, true, "[S]\nk=v\n"},
    // No line feed is added here either: the entry joins the header's line.
    {"HeaderAtEofWithoutNewline", true, "[S]", "S", "k", "v", 1, true, "[S]k=v\n"},
    {"MissingFileCreated", false, "", "S", "K", "V", 1, true, "[S]\nK=V\n"},
    {"WrittenAsGiven", true, "", " S ", " k", "'v' ", 1, true, "[ S ]\n k='v' \n"},
    {"DeleteKey", true, "[S]\na=1\nb=2\n", "S", "a", nullptr, 1, true, "[S]\nb=2\n"},
    {"DeleteKeyOnLastLine", true, "[S]\nb=2\na=1", "S", "A", nullptr, 1, true, "[S]\nb=2\n"},
    {"DeleteKeyOnlyInItsSection", true, "[T]\na=0\n[S]\na=1\n[U]\na=2\n", "S", "a", nullptr, 1,
     true, "[T]\na=0\n[S]\n[U]\na=2\n"},
    {"DeleteAbsentKey", true, "[S]\nb=2\n", "S", "a", nullptr, 1, true, "[S]\nb=2\n"},
    {"DeleteSectionInMiddle", true, "[A]\nx=1\n[B]\ny=2\n\n[C]\nz=3\n", "b", nullptr, nullptr, 1,
     true, "[A]\nx=1\n[C]\nz=3\n"},
    {"DeleteLastSection", true, "[A]\nx=1\n[B]\ny=2\n", "B", nullptr, nullptr, 1, true,
     "[A]\nx=1\n"},
    {"DeleteAbsentSection", true, "[A]\nx=1\n", "B", nullptr, nullptr, 1, true, "[A]\nx=1\n"},
    {"DeleteKeyCreatesEmptyFile", false, "", "S", "k", nullptr, 1, true, ""},
    {"DeleteSectionCreatesEmptyFile", false, "", "S", nullptr, nullptr, 1, true, ""},
    {"AllNullDoesNotCreate", false, "", nullptr, nullptr, nullptr, 0, false, ""},
    {"KeyWithoutSectionFails", true, "[S]\n", nullptr, "k", "v", 0, true, "[S]\n"},
    {"ValueOnlyFails", true, "[S]\n", nullptr, nullptr, "v", 0, true, "[S]\n"},
    {"InsertMovesLargeTailUp", true, "[S]\n" + BigSection(), "S", "new", "1", 1, true,
     "[S]\nnew=1\n" + BigSection()},
    {"DeleteMovesLargeTailDown", true, "[S]\nold=1\n" + BigSection(), "S", "old", nullptr, 1, true,
     "[S]\n" + BigSection()},
    {"DeleteSectionBeforeLargeTail", true, "[S]\nold=1\n" + BigSection(), "S", nullptr, nullptr, 1,
     true, BigSection()},
};

void PrintTo(const WriteCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProfileWriteTest : public ProfileTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ProfileWriteTest, EditsInPlace)
{
    const WriteCase& c = GetParam();
    if (c.exists)
        WriteTextFile(file, c.before);
    mode_t old = umask(077);
    BOOL ok = WritePrivateProfileString(c.section, c.key, c.value, file.c_str());
    umask(old);
    EXPECT_EQ(ok, c.result);
    ASSERT_EQ(PathExists(file), c.existsAfter);
    if (c.existsAfter) {
        EXPECT_EQ(ReadTextFile(file), c.after);
    }
    if (!c.exists && c.existsAfter) {
        EXPECT_EQ(PathMode(file), 0664);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ProfileWriteTest, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileTest, IntParsesLeadingDecimal)
{
    WriteTextFile(file,
                  "[S]\nneg=-5\nabc=abc\nmix=12abc\nempty=\nplus=+3\nnf=~~~Value#Not$Found~~~\n");
    const struct {
        const char* key;
        DWORD expected;
    } rows[] = {{"neg", 0},  {"abc", 77}, {"mix", 12}, {"empty", 77},
                {"plus", 3}, {"nf", 77},  {"none", 77}};
    for (const auto& row : rows)
        EXPECT_EQ(GetPrivateProfileInt("S", row.key, 77, file.c_str()), row.expected) << row.key;
}

// Paths that are not regular files must neither hang nor be written.
TEST_F(ProfileTest, NonRegularPathsFailWithoutHanging)
{
    std::string fifo = sandbox.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string link = sandbox.Path("link");
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    for (const std::string& path : {fifo, link, sandbox.Root(), sandbox.Path("no/such/dir.ini")}) {
        GuardedBuffer buf(16);
        EXPECT_EQ(GetPrivateProfileString("S", "k", "D", buf.data(), buf.dsize(), path.c_str()), 1u)
            << path;
        EXPECT_EQ(GetPrivateProfileSectionNames(buf.data(), buf.dsize(), path.c_str()), 0u);
        EXPECT_EQ(WritePrivateProfileString("S", "k", "v", path.c_str()), 0) << path;
    }
}

// Random bytes biased towards the characters the parser reacts to.
std::string Garbage(std::mt19937& rng, size_t length)
{
    static const char kSpecial[] = "[]=\r\n\t '\"";
    std::string s(length, '\0');
    for (char& c : s) {
        unsigned r = rng();
        c = (r % 3 == 0) ? kSpecial[(r >> 8) % (sizeof kSpecial)] : static_cast<char>(r >> 16);
    }
    return s;
}

TEST_F(ProfileTest, GarbageFilesStayWithinBuffersAndAcceptWrites)
{
    std::mt19937 rng(12345);
    for (int round = 0; round < 60; ++round) {
        // The final line feed keeps the appended section on a line of its own.
        WriteTextFile(file, Garbage(rng, rng() % 3000) + "\n");
        for (size_t size : {1, 2, 3, 7, 64, 300}) {
            GuardedBuffer buf(size);
            DWORD n = GetPrivateProfileSectionNames(buf.data(), buf.dsize(), file.c_str());
            EXPECT_LT(n, size);
            if (size >= 2) {
                // Closed by an item's NUL and the list's, or cut with two NULs.
                EXPECT_EQ(buf.bytes[n], '\0');
                EXPECT_TRUE(n == 0 || buf.bytes[n - 1] == '\0' ||
                            (n == size - 2 && buf.bytes[n + 1] == '\0'));
            }
            GuardedBuffer sec(size);
            n = GetPrivateProfileSection("\x01", sec.data(), sec.dsize(), file.c_str());
            EXPECT_LT(n, size);
            GuardedBuffer val(size);
            n = GetPrivateProfileString("[", "=", "dd", val.data(), val.dsize(), file.c_str());
            EXPECT_LT(n, size);
            EXPECT_TRUE(buf.GuardIntact() && sec.GuardIntact() && val.GuardIntact()) << round;
        }
        ASSERT_EQ(WritePrivateProfileString("Fresh", "key", "value", file.c_str()), 1);
        char out[16];
        EXPECT_EQ(GetPrivateProfileString("Fresh", "key", "", out, sizeof out, file.c_str()), 5u)
            << "round " << round;
    }
}

// Threads share the process's record locks, so only the engine's mutex
// keeps their in-place edits apart.
TEST_F(ProfileTest, ThreadsWritingOneFileLoseNothing)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this, t] {
            for (int k = 0; k < 50; ++k) {
                std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
                WritePrivateProfileString("S", key.c_str(), "1", file.c_str());
            }
        });
    for (std::thread& t : threads) t.join();
    std::vector<char> buf(64 * 1024);
    DWORD n =
        GetPrivateProfileSection("S", buf.data(), static_cast<DWORD>(buf.size()), file.c_str());
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + n, '\0'), 200);
}

TEST_F(ProfileTest, ProcessesWritingOneFileLoseNothing)
{
    constexpr int kProcesses = 16;
    constexpr int kKeys = 200;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int k = 0; k < kKeys; ++k) {
                char key[32], value[32], back[32];
                snprintf(key, sizeof key, "p%02dk%03d", p, k);
                snprintf(value, sizeof value, "%d", p * 1000 + k);
                // Alternate sections so writers also append and move other sections.
                const char* section = (k % 2 == 0) ? "Even" : "Odd";
                if (!WritePrivateProfileString(section, key, value, file.c_str()))
                    ++failures;
                if (GetPrivateProfileString(section, key, "", back, sizeof back, file.c_str()) ==
                        0 ||
                    strcmp(back, value) != 0)
                    ++failures;
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

    std::multiset<std::string> seen;
    for (const char* section : {"Even", "Odd"}) {
        std::vector<char> buf(256 * 1024);
        DWORD n = GetPrivateProfileSection(section, buf.data(), static_cast<DWORD>(buf.size()),
                                           file.c_str());
        for (const char* item = buf.data(); item < buf.data() + n; item += strlen(item) + 1)
            seen.insert(std::string(section) + ":" + item);
    }
    ASSERT_EQ(seen.size(), static_cast<size_t>(kProcesses * kKeys));
    for (int p = 0; p < kProcesses; ++p)
        for (int k = 0; k < kKeys; ++k) {
            char item[64];
            snprintf(item, sizeof item, "%s:p%02dk%03d=%d", (k % 2 == 0) ? "Even" : "Odd", p, k,
                     p * 1000 + k);
            EXPECT_EQ(seen.count(item), 1u) << item;
        }
    // Exactly two headers and one line per key: nothing half-written.
    std::string text = ReadTextFile(file);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kProcesses * kKeys + 2);
}

}  // namespace
