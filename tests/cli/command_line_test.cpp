// The command line through the real program, dispatch through test doubles.

#include <algorithm>
#include <cstdlib>
#include <tuple>

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
    "\t-h/--help   \n\t\t  To print this help page: the summary of all command line options.\n"
    "\t-g/--getcurrentdefs <AppId> [Content Type]    \t\n\t\t  To print information about the definitions in use by this <AppId>.\n"
    "\t-i/--install <srcdir> [Content Type] \n\t\t  To install definitions from <srcdir> to a shared def directory.\n"
    "\t-l/--skyfetcher      \n\t\t  To update definitions from internet.\n"
    "\t-n/--newest\t<AppId> [Content Type]      \t\n\t\t  To register AppId with the newest (or newly installed) definition set.\n"
    "\t-u/--uninstall\t<AppId> [Content Type] \n\t\t  To decrement usage count and remove unused definitions.\n"
    "\t-m/--mdefs <product_name> [Content Type] \n\t\t  To download microdefs package for this product_name. \n"
    "\t-r/--restorelastdefs [Content Type]      \n\t\t  To restore the last definitions to be the latest. \n"
    "\t-R/--registerproduct\t<product_name> \n\t\t  To register this <product_name> with Skyfetcher. \n"
    "\t-U/--unregisterproduct\t<product_name> \n\t\t  To unregister this <product_name> from Skyfetcher. \n"
    "\t-v/--version        \n\t\t  To print this tool's version number and copyright to stdout.\n"
    "\t--versiononly \n\t\t  To print this tool's version number to stdout.\n";

TEST(CommandLine, PrintsExactlyAndExits)
{
    // Parse errors name the program as invoked.
    auto bad = [](const std::string& what) { return "./bin/qdu: " + what + ". See --help.\n"; };
    const std::string missingG = bad("required option missing for '-g'");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } kCases[] = {
        {{}, 255, "", bad("Arguments required")},
        {{"--help"}, 0, kHelp, ""},
        {{"-v", "-h"}, 0, kHelp, kVersionLine},
        {{"--versiononly", "-h"}, 0, "3.1.36.0\n" + kHelp, ""},
        {{"--version", "-l"}, 0, "", kVersionLine},  // the update does not run
        {{"-g"}, 255, "", missingG},
        {{"-g", "-h"}, 255, "", missingG},
        {{"-u", "--skyfetcher"}, 255, "", bad("required option missing for '-u'")},
        {{"-h", "extra"}, 255, "", bad("unrecognized option 'extra'")},
        {{"--install=/d"}, 255, "", bad("unrecognized option '--install=/d'")},
        {{"-v", "--versiononly", "-x"}, 0, "", kVersionLine},  // the third is never parsed
        {{"-R", "Prod"}, 0, "registering internal Prod", ""},
        {{"-U", "Prod"}, 0, "unregistering internal", ""},
    };
    Sandbox sandbox;
    CliOptions options;
    options.argv0 = "./bin/qdu";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back());
        CliResult r = RunCli(c.args, options);
        EXPECT_EQ(std::make_tuple(r.status, r.out, r.err), std::make_tuple(c.status, c.out, c.err));
    }
}

// The shipped program opens the machine's configuration in /etc (the trace
// library keeps it from reading it) and nothing of the sandbox. Without a
// store it never opens its own configuration: that name is sought in the image.
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
    EXPECT_NE(std::find(opened.begin(), opened.end(), "/etc/Tarvolix.conf"), opened.end());
    for (const std::string& path : opened)
        EXPECT_EQ(path.find(sandbox.Root()), std::string::npos) << path;

    std::string image = ReadTextFile(QDU_PRODUCTION_CLI);
    for (const char* name : {"/etc/tvlx-defutils.conf", "avdefs"})
        EXPECT_NE(image.find(std::string(name) + '\0'), std::string::npos) << name;
    EXPECT_EQ(image.find("QORDEFUTIL_SANDBOX"), std::string::npos);
}

std::vector<std::string> g_calls;
int g_result = 0;

// Registration handlers answer 7, which must never count.
int Call(const char* name, const char* a = "", const char* b = "")
{
    auto text = [](const char* p) { return std::string(p != nullptr ? p : "null"); };
    g_calls.push_back(std::string(name) + "(" + text(a) + "," + text(b) + ")");
    return *name == 'R' || *name == 'U' ? 7 : g_result;
}

#define FAKE2(name) [](const char* a, const char* b) { return Call(name, a, b); }
#define FAKE1(name) [](const char* a) { return Call(name, a); }
const CommandHandlers kFakes = {FAKE2("g"), FAKE2("i"), FAKE2("u"),
                                FAKE1("l"), FAKE2("n"), FAKE2("m"),
                                FAKE1("r"), FAKE1("R"), [] { return Call("U"); }};

// The quirks of the order, and the messages of the codes the commands' own
// tests cannot produce (the misspelling is the program's own).
TEST(Dispatch, RunsHandlersInFixedOrderAndMapsTheResult)
{
    std::string err;
    auto run = [&](std::vector<std::string> args, int result) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        g_calls.clear();
        g_result = result;
        testing::internal::CaptureStdout();  // the help page, checked through the program
        testing::internal::CaptureStderr();
        int status = QorDefUtilMain(static_cast<int>(args.size()), argv.data(), kFakes);
        testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return status;
    };
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> calls;
        int status;
    } kOrder[] = {
        {{"q", "-l"}, {"l(null,)"}, 0},
        {{"q", "-l", "-g"}, {"l(-g,)"}, 0},
        // Both run, the update first, and -r takes itself as content type.
        {{"q", "-l", "-r"}, {"l(null,)", "r(-r,)"}, 0},
        {{"q", "-r", "-l"}, {"l(null,)", "r(-l,)"}, 0},
        {{"q", "-R", "Prod"}, {"R(Prod,)"}, 0},
        {{"q", "-r", "-h"}, {}, 0},
        {{}, {}, -1},  // and no program name to print
    };
    for (const auto& c : kOrder) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] + " " + c.args.back() : "(none)");
        EXPECT_EQ(run(c.args, 0), c.status);
        EXPECT_EQ(g_calls, c.calls) << err;
    }
    const std::pair<int, const char*> kMessages[] = {
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
    for (const auto& [result, message] : kMessages) {
        SCOPED_TRACE(result);
        EXPECT_EQ(run({"q", "-n", "App"}, result), result);
        EXPECT_EQ(err, message ? std::string("Command failed: ") + message + ".\n" : "");
    }
}

}  // namespace
