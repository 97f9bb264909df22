// Dispatch order and result reporting, observed through test doubles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/qordefutil.h"

namespace {

std::vector<std::string> g_calls;
int g_result = 0;

std::string Arg(const char* psz)
{
    return psz != nullptr ? psz : "null";
}

int FakeGet(const char* a, const char* c)
{
    g_calls.push_back("g(" + Arg(a) + "," + Arg(c) + ")");
    return g_result;
}
int FakeInstall(const char* a, const char* c)
{
    g_calls.push_back("i(" + Arg(a) + "," + Arg(c) + ")");
    return g_result;
}
int FakeUninstall(const char* a, const char* c)
{
    g_calls.push_back("u(" + Arg(a) + "," + Arg(c) + ")");
    return g_result;
}
int FakeSky(const char* v)
{
    g_calls.push_back("l(" + Arg(v) + ")");
    return g_result;
}
int FakeNewest(const char* a, const char* c)
{
    g_calls.push_back("n(" + Arg(a) + "," + Arg(c) + ")");
    return g_result;
}
int FakeMdefs(const char* a, const char* c)
{
    g_calls.push_back("m(" + Arg(a) + "," + Arg(c) + ")");
    return g_result;
}
int FakeRestore(const char* c)
{
    g_calls.push_back("r(" + Arg(c) + ")");
    return g_result;
}
int FakeRegister(const char* p)
{
    g_calls.push_back("R(" + Arg(p) + ")");
    return 7;  // ignored by main
}
int FakeUnregister()
{
    g_calls.push_back("U()");
    return 7;  // ignored by main
}

const CommandHandlers kFakes = {FakeGet,    FakeInstall, FakeUninstall, FakeSky,       FakeNewest,
                                FakeMdefs, FakeRestore, FakeRegister,  FakeUnregister};

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
    std::string err = testing::internal::GetCapturedStderr();
    return MainRun{result, out, err};
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
        DispatchCase{"GetCurrentDefs", {"q", "-g", "App"}, {"g(App,null)"}},
        DispatchCase{"ContentTypeIsThirdArgument", {"q", "-g", "App", "Mail", "extra"},
                     {"g(App,Mail)"}},
        DispatchCase{"Install", {"q", "--install", "/src", "ct"}, {"i(/src,ct)"}},
        DispatchCase{"Uninstall", {"q", "-u", "App"}, {"u(App,null)"}},
        DispatchCase{"UpdateWithoutValue", {"q", "-l"}, {"l(null)"}},
        DispatchCase{"UpdateTakesRequiredOptionAsValue", {"q", "-l", "-g"}, {"l(-g)"}},
        DispatchCase{"UpdateTakesWord", {"q", "-l", "Live"}, {"l(Live)"}},
        DispatchCase{"Newest", {"q", "-n", "App", "ct"}, {"n(App,ct)"}},
        DispatchCase{"MicroDefs", {"q", "-m", "Prod"}, {"m(Prod,null)"}},
        DispatchCase{"RestoreWithoutType", {"q", "-r"}, {"r(null)"}},
        DispatchCase{"RestoreTypeIsSecondArgument", {"q", "-r", "Mail"}, {"r(Mail)"}},
        // Both run, the update first, and -r takes itself as content type.
        DispatchCase{"UpdateThenRestore", {"q", "-l", "-r"}, {"l(null)", "r(-r)"}},
        DispatchCase{"OrderIsFixedNotTyped", {"q", "-r", "-l"}, {"l(null)", "r(-l)"}},
        DispatchCase{"RegisterProduct", {"q", "-R", "Prod"}, {"R(Prod)"}},
        DispatchCase{"UnregisterIgnoresName", {"q", "-U", "Prod"}, {"U()"}},
        DispatchCase{"VersionRunsNothing", {"q", "-v", "-l"}, {}},
        DispatchCase{"HelpRunsNothing", {"q", "-r", "-h"}, {}},
        DispatchCase{"UpdateTakesAnyNonOptionWord", {"q", "-l", "bogus", "x"}, {"l(bogus)"}},
        DispatchCase{"ParseErrorRunsNothing", {"q", "-g", "-h"}, {}}),
    [](const ::testing::TestParamInfo<DispatchCase>& info) { return info.param.name; });

struct ResultCase {
    int handlerResult;
    int returned;
    const char* err;
};

class ResultMessageTest : public ::testing::TestWithParam<ResultCase> {};

TEST_P(ResultMessageTest, MapsResultToMessage)
{
    g_result = GetParam().handlerResult;
    MainRun r = Main({"q", "-n", "App"});
    EXPECT_EQ(r.result, GetParam().returned);
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResultMessageTest,
    ::testing::Values(
        ResultCase{0, 0, ""},
        ResultCase{1, 1, "Command failed: Failure in initialization while installing definitions.\n"},
        ResultCase{2, 2,
                   "Command failed: Failure in creating the temporary structure before "
                   "definitions update.\n"},
        ResultCase{3, 3, "Command failed: Failure in post processing of definitions during update.\n"},
        ResultCase{4, 4, "Command failed: Failure in getting the location of current definitions.\n"},
        ResultCase{5, 5, "Command failed: Failure in initializing the application.\n"},
        ResultCase{6, 6,
                   "Command failed: Failure in uninstalling an application from using "
                   "definitions.\n"},
        ResultCase{7, 7, "Command failed: No CLASSPATH set.\n"},
        ResultCase{8, 8, "Command failed: No BASEDIR set.\n"},
        ResultCase{9, 9, "Command failed: Problem with Skyfetcher.\n"},
        ResultCase{10, 10,
                   "Command failed: Failure in installing the application with the newest "
                   "defintions.\n"},
        ResultCase{11, 11, "Command failed: Failure in copying the definitions.\n"},
        ResultCase{12, 12, "Command failed: Could not find a \"java\" command to execute.\n"},
        ResultCase{13, 13,
                   "Command failed: Failure in getting the sequence id of the newest "
                   "definitions.\n"},
        ResultCase{14, 14,
                   "Command failed: Failure in post processing of micro definitions during "
                   "update.\n"},
        ResultCase{15, 15, "Command failed: The specified content type could not be found.\n"},
        ResultCase{16, 16,
                   "Command failed: Both the Skyfetcher and post microdef clean have failed.\n"},
        ResultCase{17, 17,
                   "Command failed: Failure in pre processing of micro definitions before "
                   "update.\n"},
        ResultCase{18, 18, "Command failed: An unspecified error occured.\n"},
        ResultCase{-1, -1, "Command failed: An unspecified error occured.\n"},
        ResultCase{256, 256, "Command failed: An unspecified error occured.\n"}),
    [](const ::testing::TestParamInfo<ResultCase>& info) {
        int v = info.param.handlerResult;
        return v < 0 ? "Minus" + std::to_string(-v) : "Code" + std::to_string(v);
    });

TEST(DispatchResult, LastHandlerDecides)
{
    g_result = 9;
    MainRun r = Main({"q", "-l", "-r"});
    EXPECT_EQ(r.result, 9);
    EXPECT_EQ(r.err, "Command failed: Problem with Skyfetcher.\n");
}

TEST(DispatchResult, RegistrationResultIsNotKept)
{
    MainRun r = Main({"q", "-R", "Prod"});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "");
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
