// Dispatch order and result reporting, observed through test doubles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/qordefutil.h"
#include "tests/support/cli_runner.h"

namespace {

std::vector<std::string> g_calls;
int g_result = 0;

int Call(const char* name, const char* a = "", const char* b = "")
{
    auto text = [](const char* p) { return std::string(p != nullptr ? p : "null"); };
    g_calls.push_back(std::string(name) + "(" + text(a) + "," + text(b) + ")");
    return g_result;
}

const CommandHandlers kFakes = {
    [](const char* a, const char* c) { return Call("g", a, c); },
    [](const char* a, const char* c) { return Call("i", a, c); },
    [](const char* a, const char* c) { return Call("u", a, c); },
    [](const char* v) { return Call("l", v); },
    [](const char* a, const char* c) { return Call("n", a, c); },
    [](const char* a, const char* c) { return Call("m", a, c); },
    [](const char* c) { return Call("r", c); },
    [](const char* p) { Call("R", p); return 7; },
    []() { Call("U"); return 7; }};

CliResult Main(std::vector<std::string> args)
{
    g_calls.clear();
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = QorDefUtilMain(static_cast<int>(args.size()), argv.data(), kFakes);
    std::string out = testing::internal::GetCapturedStdout();
    return CliResult{result, out, testing::internal::GetCapturedStderr()};
}

TEST(Dispatch, RunsHandlersInFixedOrderWithTheirArguments)
{
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> calls;
    } kCases[] = {
        {"GetCurrentDefs", {"q", "-g", "App", "Mail", "extra"}, {"g(App,Mail)"}},
        {"Install", {"q", "--install", "/src", "ct"}, {"i(/src,ct)"}},
        {"Uninstall", {"q", "-u", "App"}, {"u(App,null)"}},
        {"UpdateWithoutValue", {"q", "-l"}, {"l(null,)"}},
        {"UpdateTakesRequiredOptionAsValue", {"q", "-l", "-g"}, {"l(-g,)"}},
        {"UpdateTakesAnyNonOptionWord", {"q", "-l", "bogus", "x"}, {"l(bogus,)"}},
        {"Newest", {"q", "-n", "App", "ct"}, {"n(App,ct)"}},
        {"MicroDefs", {"q", "-m", "Prod"}, {"m(Prod,null)"}},
        {"RestoreTypeIsSecondArgument", {"q", "-r", "Mail"}, {"r(Mail,)"}},
        // Both run, the update first, and -r takes itself as content type.
        {"UpdateThenRestore", {"q", "-l", "-r"}, {"l(null,)", "r(-r,)"}},
        {"OrderIsFixedNotTyped", {"q", "-r", "-l"}, {"l(null,)", "r(-l,)"}},
        {"RegisterProduct", {"q", "-R", "Prod"}, {"R(Prod,)"}},
        {"VersionRunsNothing", {"q", "-v", "-l"}, {}},
        {"HelpRunsNothing", {"q", "-r", "-h"}, {}},
        {"ParseErrorRunsNothing", {"q", "-g", "-h"}, {}},
    };
    g_result = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        CliResult r = Main(c.args);
        EXPECT_EQ(g_calls, c.calls) << r.err;
    }
}

// The misspellings are the program's own text.
TEST(Dispatch, MapsResultToMessage)
{
    const std::pair<int, const char*> kCases[] = {  // text between "Command failed: " and ".\n"
        {0, nullptr},
        {1, "Failure in initialization while installing definitions"},
        {2, "Failure in creating the temporary structure before definitions update"},
        {3, "Failure in post processing of definitions during update"},
        {4, "Failure in getting the location of current definitions"},
        {5, "Failure in initializing the application"},
        {6, "Failure in uninstalling an application from using definitions"},
        {7, "No CLASSPATH set"},
        {8, "No BASEDIR set"},
        {9, "Problem with Skyfetcher"},
        {10, "Failure in installing the application with the newest defintions"},
        {11, "Failure in copying the definitions"},
        {12, "Could not find a \"java\" command to execute"},
        {13, "Failure in getting the sequence id of the newest definitions"},
        {14, "Failure in post processing of micro definitions during update"},
        {15, "The specified content type could not be found"},
        {16, "Both the Skyfetcher and post microdef clean have failed"},
        {17, "Failure in pre processing of micro definitions before update"},
        {18, "An unspecified error occured"},
        {-1, "An unspecified error occured"},
        {256, "An unspecified error occured"},
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

// The registration handlers' own results never count.
TEST(Dispatch, LastHandlerDecides)
{
    g_result = 0;
    EXPECT_EQ(Main({"q", "-R", "App"}).status, 0);
    g_result = 9;
    CliResult r = Main({"q", "-l", "-r"});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.err, "Command failed: Problem with Skyfetcher.\n");
}

// With no argument vector at all there is no name to print.
TEST(Dispatch, EmptyArgumentVector)
{
    CliResult r = Main({});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.err, "<null>: Arguments required. See --help.\n");
}

}  // namespace
