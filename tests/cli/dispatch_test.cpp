// Dispatch order and result reporting, observed through test doubles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/qordefutil.h"

namespace {

std::vector<std::string> g_calls;
int g_result = 0;

int Call(const char* name, const char* a = "", const char* b = "")
{
    auto text = [](const char* p) { return std::string(p != nullptr ? p : "null"); };
    g_calls.push_back(std::string(name) + "(" + text(a) + "," + text(b) + ")");
    return g_result;
}

// The registration handlers' results are ignored by main.
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

struct MainRun {
    int result;
    std::string out;
    std::string err;
};

MainRun Main(std::vector<std::string> args)
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
    return MainRun{result, out, testing::internal::GetCapturedStderr()};
}

struct DispatchCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> calls;
};

class DispatchTest : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(DispatchTest, RunsHandlersInFixedOrderWithTheirArguments)
{
    g_result = 0;
    MainRun r = Main(GetParam().args);
    EXPECT_EQ(g_calls, GetParam().calls) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DispatchTest,
    ::testing::Values(
        DispatchCase{"GetCurrentDefs", {"q", "-g", "App", "Mail", "extra"}, {"g(App,Mail)"}},
        DispatchCase{"Install", {"q", "--install", "/src", "ct"}, {"i(/src,ct)"}},
        DispatchCase{"Uninstall", {"q", "-u", "App"}, {"u(App,null)"}},
        DispatchCase{"UpdateWithoutValue", {"q", "-l"}, {"l(null,)"}},
        DispatchCase{"UpdateTakesRequiredOptionAsValue", {"q", "-l", "-g"}, {"l(-g,)"}},
        DispatchCase{"UpdateTakesAnyNonOptionWord", {"q", "-l", "bogus", "x"}, {"l(bogus,)"}},
        DispatchCase{"Newest", {"q", "-n", "App", "ct"}, {"n(App,ct)"}},
        DispatchCase{"MicroDefs", {"q", "-m", "Prod"}, {"m(Prod,null)"}},
        DispatchCase{"RestoreWithoutType", {"q", "-r"}, {"r(null,)"}},
        DispatchCase{"RestoreTypeIsSecondArgument", {"q", "-r", "Mail"}, {"r(Mail,)"}},
        // Both run, the update first, and -r takes itself as content type.
        DispatchCase{"UpdateThenRestore", {"q", "-l", "-r"}, {"l(null,)", "r(-r,)"}},
        DispatchCase{"OrderIsFixedNotTyped", {"q", "-r", "-l"}, {"l(null,)", "r(-l,)"}},
        DispatchCase{"RegisterProduct", {"q", "-R", "Prod"}, {"R(Prod,)"}},
        DispatchCase{"UnregisterIgnoresName", {"q", "-U", "Prod"}, {"U(,)"}},
        DispatchCase{"VersionRunsNothing", {"q", "-v", "-l"}, {}},
        DispatchCase{"HelpRunsNothing", {"q", "-r", "-h"}, {}},
        DispatchCase{"ParseErrorRunsNothing", {"q", "-g", "-h"}, {}}),
    [](const ::testing::TestParamInfo<DispatchCase>& info) { return info.param.name; });

struct ResultCase {
    int result;
    const char* message;  // between "Command failed: " and ".\n"
};

class ResultMessageTest : public ::testing::TestWithParam<ResultCase> {};

TEST_P(ResultMessageTest, MapsResultToMessage)
{
    g_result = GetParam().result;
    MainRun r = Main({"q", "-n", "App"});
    EXPECT_EQ(r.result, GetParam().result);
    EXPECT_EQ(r.err, std::string("Command failed: ") + GetParam().message + ".\n");
    EXPECT_EQ(r.out, "");
}

// The misspellings are the program's own text.
INSTANTIATE_TEST_SUITE_P(
    Table, ResultMessageTest,
    ::testing::Values(
        ResultCase{1, "Failure in initialization while installing definitions"},
        ResultCase{2, "Failure in creating the temporary structure before definitions update"},
        ResultCase{3, "Failure in post processing of definitions during update"},
        ResultCase{4, "Failure in getting the location of current definitions"},
        ResultCase{5, "Failure in initializing the application"},
        ResultCase{6, "Failure in uninstalling an application from using definitions"},
        ResultCase{7, "No CLASSPATH set"},
        ResultCase{8, "No BASEDIR set"},
        ResultCase{9, "Problem with Skyfetcher"},
        ResultCase{10, "Failure in installing the application with the newest defintions"},
        ResultCase{11, "Failure in copying the definitions"},
        ResultCase{12, "Could not find a \"java\" command to execute"},
        ResultCase{13, "Failure in getting the sequence id of the newest definitions"},
        ResultCase{14, "Failure in post processing of micro definitions during update"},
        ResultCase{15, "The specified content type could not be found"},
        ResultCase{16, "Both the Skyfetcher and post microdef clean have failed"},
        ResultCase{17, "Failure in pre processing of micro definitions before update"},
        ResultCase{18, "An unspecified error occured"},
        ResultCase{-1, "An unspecified error occured"},
        ResultCase{256, "An unspecified error occured"}),
    [](const ::testing::TestParamInfo<ResultCase>& info) {
        int v = info.param.result;
        return v < 0 ? "Minus" + std::to_string(-v) : "Code" + std::to_string(v);
    });

TEST(DispatchResult, SuccessIsSilentAndLastHandlerDecides)
{
    g_result = 0;
    for (const char* option : {"-n", "-R"}) {
        MainRun r = Main({"q", option, "App"});
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.err, "");
    }
    g_result = 9;
    MainRun r = Main({"q", "-l", "-r"});
    EXPECT_EQ(r.result, 9);
    EXPECT_EQ(r.err, "Command failed: Problem with Skyfetcher.\n");
}

// With no argument vector at all there is no name to print.
TEST(DispatchResult, EmptyArgumentVector)
{
    char* argv[] = {nullptr};
    testing::internal::CaptureStderr();
    int result = QorDefUtilMain(0, argv, kFakes);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "<null>: Arguments required. See --help.\n");
    EXPECT_EQ(result, -1);
}

}  // namespace
