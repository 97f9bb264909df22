// Values from the command line that end up in the store's files or in a
// shell command: AppIds, content types, product names and the update
// client's value. Hostile ones are refused before they touch anything, with
// the command's own failure status and a line saying why; the ordinary ones
// next to them keep working.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "tests/hardening/hostile_store.h"

namespace {

const std::string kInitFailed = "Command failed: Failure in initializing the application.\n";
const std::string kNoType = "Command failed: The specified content type could not be found.\n";

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// kind: "-n" an AppId, "type" a content type, "-m" a product name, "-l" the
// update client's value ("{pwn}": a file only an injected command creates).
struct ValueRow {
    const char* name;
    const char* kind;
    std::string value;
    bool bRefused;
};

const ValueRow kRows[] = {
    {"AppIdOpenBracket", "-n", "[evil", true},
    {"AppIdCloseBracket", "-n", "evil]", true},
    {"AppIdEquals", "-n", "app=x", true},
    {"AppIdTab", "-n", "app\tx", true},
    {"AppIdNewlineAndSection", "-n", "app\n[" + kCur.DirName() + "]", true},
    {"AppIdControlByte", "-n", "\001app", true},
    {"AppIdDelete", "-n", "app\x7f", true},
    {"AppIdLeadingBlank", "-n", " app", true},
    {"AppIdTrailingBlank", "-n", "app ", true},
    {"AppIdOver251Bytes", "-n", std::string(252, 'a'), true},
    {"AppIdPlain", "-n", "app.Two-3_4", false},
    {"AppIdInnerBlank", "-n", "my app", false},
    {"AppIdHighBytes", "-n", "app-\xc3\xa9", false},
    {"AppIdExactly251Bytes", "-n", std::string(251, 'a'), false},

    {"TypeClimbsOut", "type", "../../decoy/store", true},
    {"TypeDotDot", "type", "..", true},
    {"TypeDot", "type", ".", true},
    {"TypeSlash", "type", "a/b", true},
    {"TypeOpenBracket", "type", "a[b", true},
    {"TypeCloseBracket", "type", "a]b", true},
    {"TypeEquals", "type", "a=b", true},
    {"TypeTab", "type", "a\tb", true},
    {"TypeDelete", "type", "a\177b", true},
    {"TypeLeadingBlank", "type", " mytype", true},
    {"TypeTrailingBlank", "type", "mytype ", true},
    {"TypeOver128Bytes", "type", std::string(129, 't'), true},
    {"TypeMixedCase", "type", "MyType", false},
    {"TypeExactly128Bytes", "type", std::string(128, 't'), false},

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

class ValueTest : public HostileStoreTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(ValueTest, RefusedOrUsedWithoutHarm)
{
    const ValueRow& row = kRows[GetParam()];
    const std::string kind = row.kind, usageBefore = ReadTextFile(Defs("usage.dat"));
    if (kind == "-n") {
        // Registering, asking and leaving: a refused AppId changes nobody's
        // registration, an accepted one goes through all three.
        for (const std::string option : {"-n", "-g", "-u"}) {
            SCOPED_TRACE(option);
            const CliResult r = Run({option, row.value});
            if (row.bRefused) {
                EXPECT_EQ(r.status, 5);
                EXPECT_TRUE(EndsWith(r.err, kInitFailed) && r.err.size() > kInitFailed.size())
                    << "wanted a line naming the refusal, then the failure: " << r.err;
                EXPECT_EQ(ReadTextFile(Defs("usage.dat")), usageBefore);
            } else {
                EXPECT_EQ(std::to_string(r.status) + " " + r.out,
                          "0 " + (option == "-g" ? Defs(kCur.DirName()) + "\n" : ""))
                    << r.err;
            }
        }
        EXPECT_EQ(ReadTextFile(Defs("usage.dat")), usageBefore) << "the AppId was to leave again";
    } else if (kind == "type") {
        // Each type names a store that exists (planted by the group for the
        // hostile ones), so only the check of the name itself can refuse it.
        std::string lower = row.value;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        MakeDirs(sandbox.BaseDir() + "/tvlxdata");
        if (!PathExists(sandbox.BaseDir() + "/tvlxdata/" + lower))
            MakeStore(sandbox.BaseDir() + "/tvlxdata/" + lower);
        for (const Strings& args : std::vector<Strings>{{"-g", "other"},
                                                        {"-n", "app2"},
                                                        {"-u", "other"},
                                                        {"-r"},
                                                        {"-m", "Prod"},
                                                        {"-i", "{src}"}}) {
            SCOPED_TRACE(args[0]);
            Strings withType = args;
            withType.push_back(row.value);
            const CliResult r = Run(withType);
            // Microdefs has no patch to fetch here, an install fails as it may.
            EXPECT_TRUE(
                row.bRefused
                    ? (args[0] == "-i" ? r.status != 0 : r.status == 15 && EndsWith(r.err, kNoType))
                    : args[0] == "-m" || r.status == 0)
                << r.status << ": " << r.err;
        }
    } else {
        // A full update downloads the newer set; microdefs finds no package.
        const CliResult r = Run({row.kind, row.value},
                                kind == "-l" ? Strings{"FAKE_JAVA_COPY_FROM={src}"} : Strings{});
        EXPECT_FALSE(PathExists(Scratch("pwned"))) << "the shell ran an injected command";
        EXPECT_EQ(r.status != 0, row.bRefused) << r.err;
        EXPECT_EQ(PathExists(Scratch("java.rec")), !row.bRefused) << "whether the client ran";
    }
    EXPECT_EQ(Harm(), Strings{});
    ExpectOthersRegistration();
}

INSTANTIATE_TEST_SUITE_P(Values, ValueTest, ::testing::Range<size_t>(0, std::size(kRows)),
                         [](const auto& info) { return std::string(kRows[info.param].name); });

}  // namespace
