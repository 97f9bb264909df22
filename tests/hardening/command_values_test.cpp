// Values from the command line that end up in the store's files or in a
// shell command: AppIds, content types, product names and the update
// client's value. Hostile ones are refused before they touch anything, with
// the command's own failure status and a line saying why; the ordinary ones
// next to them keep working.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/hardening/hostile_store.h"
#include "tests/support/def_sets.h"

namespace {

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct ValueRow {
    const char* name;
    std::string value;
    bool refused;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const ValueRow& row, std::ostream* os)
{
    *os << row.name;
}

std::string PrintName(const ::testing::TestParamInfo<ValueRow>& info)
{
    return info.param.name;
}

const ValueRow kAppIds[] = {
    {"OpenBracket", "[evil", true},
    {"CloseBracket", "evil]", true},
    {"Equals", "app=x", true},
    {"Tab", "app\tx", true},
    {"NewlineAndSection", "app\n[" + kCur.DirName() + "]", true},
    {"ControlByte", "\001app", true},
    {"Delete", "app\x7f", true},
    {"LeadingBlank", " app", true},
    {"TrailingBlank", "app ", true},
    {"Over251Bytes", std::string(252, 'a'), true},
    {"Plain", "app.Two-3_4", false},
    {"InnerBlank", "my app", false},
    {"HighBytes", "app-\xc3\xa9", false},
    {"Exactly251Bytes", std::string(251, 'a'), false},
};

class AppIdTest : public HostileStoreTest, public ::testing::WithParamInterface<ValueRow> {};

// Registering, asking and leaving under the AppId; a refused one changes
// nobody's registration, an accepted one goes through all three.
TEST_P(AppIdTest, RefusedOrRegisteredWithoutHarmToOthers)
{
    const ValueRow& row = GetParam();
    const std::string usageBefore = ReadTextFile(Defs("usage.dat"));
    for (const char* option : {"-n", "-g", "-u"}) {
        SCOPED_TRACE(option);
        CliResult r = Run({option, row.value});
        if (row.refused) {
            EXPECT_EQ(r.status, 5);
            EXPECT_TRUE(EndsWith(r.err, kInitFailed) && r.err.size() > strlen(kInitFailed))
                << "wanted a line naming the refusal, then the failure: " << r.err;
            EXPECT_EQ(ReadTextFile(Defs("usage.dat")), usageBefore);
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, option == std::string("-g") ? Defs(kCur.DirName()) + "\n" : "");
        }
    }
    EXPECT_EQ(ReadTextFile(Defs("usage.dat")), usageBefore) << "the AppId was to leave again";
    ExpectOthersRegistration();
}

INSTANTIATE_TEST_SUITE_P(Values, AppIdTest, ::testing::ValuesIn(kAppIds), PrintName);

const ValueRow kContentTypes[] = {
    {"ClimbsOut", "../../decoy/store", true},
    {"DotDot", "..", true},
    {"Dot", ".", true},
    {"Slash", "a/b", true},
    {"OpenBracket", "a[b", true},
    {"CloseBracket", "a]b", true},
    {"Equals", "a=b", true},
    {"Tab", "a\tb", true},
    {"Delete", "a\177b", true},
    {"LeadingBlank", " mytype", true},
    {"TrailingBlank", "mytype ", true},
    {"Over128Bytes", std::string(129, 't'), true},
    {"MixedCase", "MyType", false},
    {"Exactly128Bytes", std::string(128, 't'), false},
};

class ContentTypeTest : public HostileStoreTest, public ::testing::WithParamInterface<ValueRow> {};

// Each type names a store that exists (planted by the group for the hostile
// ones), so only the check of the name itself can refuse it.
TEST_P(ContentTypeTest, RefusedAsUnknownOrUsedAsAStore)
{
    const ValueRow& row = GetParam();
    std::string lower = row.value;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    MakeDirs(sandbox.BaseDir() + "/tvlxdata");
    const std::string typeDir = sandbox.BaseDir() + "/tvlxdata/" + lower;
    if (!PathExists(typeDir))
        MakeStore(typeDir);
    const auto outsideBefore = Outside();

    const std::vector<Strings> commands = {{"-g", "other", row.value},
                                           {"-n", "app2", row.value},
                                           {"-u", "other", row.value},
                                           {"-r", row.value},
                                           {"-m", "Prod", row.value}};
    for (const Strings& args : commands) {
        SCOPED_TRACE(args[0]);
        CliResult r = Run(args);
        if (row.refused) {
            EXPECT_EQ(r.status, 15);
            EXPECT_TRUE(EndsWith(r.err, kNoType)) << r.err;
        } else if (args[0] != "-m") {  // microdefs has no patch to fetch here
            EXPECT_EQ(r.status, 0) << r.err;
        }
    }
    CliResult r = Run({"-i", "{src}", row.value});
    if (row.refused) {
        EXPECT_NE(r.status, 0);
    } else {
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(ChangesOutside(outsideBefore), Strings{});
    EXPECT_EQ(CopiesOfSecrets(), Strings{});
    ExpectOthersRegistration();
}

INSTANTIATE_TEST_SUITE_P(Values, ContentTypeTest, ::testing::ValuesIn(kContentTypes), PrintName);

struct ShellRow {
    const char* name;
    const char* option;  // "-m" (product name) or "-l" (update client value)
    const char* value;   // "{pwn}" is a file only an injected command creates
    bool refused;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const ShellRow& row, std::ostream* os)
{
    *os << row.name;
}

const ShellRow kShellValues[] = {
    {"ProductSubstitution", "-m", "$(touch {pwn})", true},
    {"ProductBackquotes", "-m", "`touch {pwn}`", true},
    {"ProductQuoteBreakout", "-m", "x\";touch {pwn};echo \"", true},
    {"ProductSemicolon", "-m", "x;y", true},
    {"ProductBackslash", "-m", "x\\y", true},
    {"ValueSubstitution", "-l", "$(touch {pwn})", true},
    {"ValueBackquotes", "-l", "`touch {pwn}`", true},
    // "#" keeps the client's arguments that follow away from touch.
    {"ValueSemicolon", "-l", "x;touch {pwn} #", true},
    {"ValuePipe", "-l", "x|touch {pwn} #", true},
    {"ValueAnd", "-l", "x&&touch {pwn} #", true},
    {"ValueNewline", "-l", "x\ntouch {pwn} #", true},
    {"ValueRedirect", "-l", "x>{pwn}", true},
    {"ValueQuote", "-l", "x'y", true},
    {"ValueGlob", "-l", "x*", true},
    {"ProductPlain", "-m", "Prod-1.0 Linux_x86,v:2+@%/=\xc3\xa9", false},
    {"ValuePlain", "-l", "mode:full,retry=2 @host%/x+y.z_w-\xc3\xa9", false},
};

class ShellValueTest : public HostileStoreTest, public ::testing::WithParamInterface<ShellRow> {};

TEST_P(ShellValueTest, NeverInterpretedByTheShell)
{
    const ShellRow& row = GetParam();
    // A full update downloads the newer set; microdefs finds no package.
    const bool bFullUpdate = std::string(row.option) == "-l";
    CliResult r = Run({row.option, row.value},
                      bFullUpdate ? Strings{"FAKE_JAVA_COPY_FROM={src}"} : Strings{});
    EXPECT_FALSE(PathExists(Scratch("pwned"))) << "the shell ran an injected command";
    if (row.refused) {
        EXPECT_NE(r.status, 0);
        EXPECT_FALSE(PathExists(Scratch("java.rec"))) << "the client was started";
    } else {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(PathExists(Scratch("java.rec")));
    }
    ExpectOthersRegistration();
}

INSTANTIATE_TEST_SUITE_P(Values, ShellValueTest, ::testing::ValuesIn(kShellValues),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
