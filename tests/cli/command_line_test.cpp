// The command line: help, version and parse errors through the real
// program, then dispatch order and result messages through test doubles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/qordefutil.h"
#include "tests/support/cli_runner.h"
#include "tests/support/sandbox.h"

namespace {

const std::string kVersionLine =
    "qordefutil version:  3.1.36.0 \tCopyright (C) 2004-2026 Tarvolix. All rights reserved.\n";

// The whole help page, byte for byte, trailing blanks and tabs included.
const std::string kHelp =
    kVersionLine +
    "qordefutil\n"
    "\t-h/--help   \n"
    "\t\t  To print this help page: the summary of all command line options.\n"
    "\t-g/--getcurrentdefs <AppId> [Content Type]    \t\n"
    "\t\t  To print information about the definitions in use by this <AppId>.\n"
    "\t-i/--install <srcdir> [Content Type] \n"
    "\t\t  To install definitions from <srcdir> to a shared def directory.\n"
    "\t-l/--skyfetcher      \n"
    "\t\t  To update definitions from internet.\n"
    "\t-n/--newest\t<AppId> [Content Type]      \t\n"
    "\t\t  To register AppId with the newest (or newly installed) definition set.\n"
    "\t-u/--uninstall\t<AppId> [Content Type] \n"
    "\t\t  To decrement usage count and remove unused definitions.\n"
    "\t-m/--mdefs <product_name> [Content Type] \n"
    "\t\t  To download microdefs package for this product_name. \n"
    "\t-r/--restorelastdefs [Content Type]      \n"
    "\t\t  To restore the last definitions to be the latest. \n"
    "\t-R/--registerproduct\t<product_name> \n"
    "\t\t  To register this <product_name> with Skyfetcher. \n"
    "\t-U/--unregisterproduct\t<product_name> \n"
    "\t\t  To unregister this <product_name> from Skyfetcher. \n"
    "\t-v/--version        \n"
    "\t\t  To print this tool's version number and copyright to stdout.\n"
    "\t--versiononly \n"
    "\t\t  To print this tool's version number to stdout.\n";

// Parse errors name the program as invoked.
std::string Bad(const std::string& what)
{
    return "./bin/qdu: " + what + ". See --help.\n";
}

TEST(CommandLine, PrintsExactlyAndExits)
{
    const std::string missingG = Bad("required option missing for '-g'");
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } kCases[] = {
        {"NoArguments", {}, 255, "", Bad("Arguments required")},
        {"HelpLong", {"--help"}, 0, kHelp, ""},
        {"VersionThenHelp", {"-v", "-h"}, 0, kHelp, kVersionLine},
        {"VersionOnlyHelp", {"--versiononly", "-h"}, 0, "3.1.36.0\n" + kHelp, ""},
        {"VersionStopsUpdate", {"--version", "-l"}, 0, "", kVersionLine},
        {"RequiredValueMissing", {"-g"}, 255, "", missingG},
        {"HelpRefusedAsValue", {"-g", "-h"}, 255, "", missingG},
        {"OptionalRefusedAsValue",
         {"-u", "--skyfetcher"},
         255,
         "",
         Bad("required option missing for '-u'")},
        {"ExtraAfterHelp", {"-h", "extra"}, 255, "", Bad("unrecognized option 'extra'")},
        {"JoinedLongValue", {"--install=/d"}, 255, "", Bad("unrecognized option '--install=/d'")},
        {"ThirdArgumentNeverParsed", {"-v", "--versiononly", "-x"}, 0, "", kVersionLine},
        {"RegisterProduct", {"-R", "Prod"}, 0, "registering internal Prod", ""},
        {"UnregisterProduct", {"-U", "Prod"}, 0, "unregistering internal", ""},
    };
    Sandbox sandbox;
    CliOptions options;
    options.argv0 = "./bin/qdu";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        CliResult r = RunCli(c.args, options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

// The shipped program, run with a sandbox configured, opens the Tarvolix
// configuration in /etc (which the trace library keeps it from reading) and
// nothing of the sandbox. That name is also the update client's, so only a
// run shows which one the store reads. Without a store the utility's own
// configuration is never opened; its name and the group's occur only in the
// machine paths, so the image shows them, and no sandbox variable.
TEST(ShippedProgram, UsesOnlyTheMachinePaths)
{
    Sandbox sandbox;
    std::string trace = sandbox.Path("opened");
    CliOptions options;
    options.binary = QDU_PRODUCTION_CLI;
    options.timeLimitSeconds = 30;
    options.env = {"QDU_OPEN_TRACE=" + trace, std::string("LD_PRELOAD=") + QDU_OPEN_TRACE_SHIM};
#if defined(__SANITIZE_ADDRESS__)
    // The trace library allocates nothing; coming before the runtime is harmless.
    const char* asan = getenv("ASAN_OPTIONS");
    options.env.push_back("ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") +
                          ":verify_asan_link_order=0");
#endif
    RunCli({"-g", "App"}, options);
    std::vector<std::string> opened = PrefixedLines(ReadTextFile(trace));
    auto saw = [&](const std::string& path) {
        return std::find(opened.begin(), opened.end(), path) != opened.end();
    };
    EXPECT_TRUE(saw("/etc/Tarvolix.conf"));
    for (const std::string& path : opened)
        EXPECT_EQ(path.find(sandbox.Root()), std::string::npos) << path;

    std::string image = ReadTextFile(QDU_PRODUCTION_CLI);
    for (const char* name : {"/etc/tvlx-defutils.conf", "avdefs"})
        EXPECT_NE(image.find(std::string(name) + '\0'), std::string::npos) << name;
    EXPECT_EQ(image.find("QORDEFUTIL_SANDBOX"), std::string::npos);
}

std::vector<std::string> g_calls;
int g_result = 0;

int Call(const char* name, const char* a = "", const char* b = "")
{
    auto text = [](const char* p) { return std::string(p != nullptr ? p : "null"); };
    g_calls.push_back(std::string(name) + "(" + text(a) + "," + text(b) + ")");
    return g_result;
}

const CommandHandlers kFakes = {[](const char* a, const char* c) { return Call("g", a, c); },
                                [](const char* a, const char* c) { return Call("i", a, c); },
                                [](const char* a, const char* c) { return Call("u", a, c); },
                                [](const char* v) { return Call("l", v); },
                                [](const char* a, const char* c) { return Call("n", a, c); },
                                [](const char* a, const char* c) { return Call("m", a, c); },
                                [](const char* c) { return Call("r", c); },
                                [](const char* p) {
                                    Call("R", p);
                                    return 7;
                                },
                                []() {
                                    Call("U");
                                    return 7;
                                }};

CliResult Main(std::vector<std::string> args)
{
    g_calls.clear();
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = QorDefUtilMain(static_cast<int>(args.size()), argv.data(), kFakes);
    std::string out = testing::internal::GetCapturedStdout();
    return CliResult{result, out, testing::internal::GetCapturedStderr()};
}

// The program itself shows each handler its arguments; here the quirks of
// the order, and that the registration handlers' own results (7) never count.
TEST(Dispatch, RunsHandlersInFixedOrderWithTheirArguments)
{
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> calls;
        int status;
    } kCases[] = {
        {"UpdateWithoutValue", {"q", "-l"}, {"l(null,)"}, 0},
        {"UpdateTakesRequiredOptionAsValue", {"q", "-l", "-g"}, {"l(-g,)"}, 0},
        // Both run, the update first, and -r takes itself as content type.
        {"UpdateThenRestore", {"q", "-l", "-r"}, {"l(null,)", "r(-r,)"}, 0},
        {"OrderIsFixedNotTyped", {"q", "-r", "-l"}, {"l(null,)", "r(-l,)"}, 0},
        {"RegisterProduct", {"q", "-R", "Prod"}, {"R(Prod,)"}, 0},
        {"HelpRunsNothing", {"q", "-r", "-h"}, {}, 0},
        {"NoArgumentVector", {}, {}, -1},  // and no program name to print
    };
    g_result = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        CliResult r = Main(c.args);
        EXPECT_EQ(g_calls, c.calls) << r.err;
        EXPECT_EQ(r.status, c.status);
    }
}

// Codes the commands can produce are checked where they produce them; these
// are the rest. The misspelling is the program's own text.
TEST(Dispatch, MapsResultToMessage)
{
    const std::pair<int, const char*> kCases[] = {
        // text between "Command failed: " and ".\n"
        {0, nullptr},
        {1, "Failure in initialization while installing definitions"},
        {2, "Failure in creating the temporary structure before definitions update"},
        {7, "No CLASSPATH set"},
        {8, "No BASEDIR set"},
        {12, "Could not find a \"java\" command to execute"},
        {13, "Failure in getting the sequence id of the newest definitions"},
        {18, "An unspecified error occured"},
        {-1, "An unspecified error occured"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.first);
        g_result = c.first;
        CliResult r = Main({"q", "-n", "App"});
        EXPECT_EQ(r.status, c.first);
        EXPECT_EQ(r.err, c.second ? std::string("Command failed: ") + c.second + ".\n" : "");
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
