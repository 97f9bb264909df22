// Kills each command that changes the store just before one of its
// state-changing system calls (the preload library tests/tools/crash_shim.c
// counts them): by default the most telling kill points for as long as
// QDU_CRASH_SECONDS allows (8 per command), with QDU_CRASH_EXHAUSTIVE=1
// every one of them. After each kill the store must still be one that every
// reader can trust: definfo.dat names complete sets or nothing, every AppId
// the command did not touch is registered where it was, no bookkeeping line
// is torn. Then the next ordinary commands must succeed and leave the store
// as an uninterrupted run would have.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"
#include "tests/support/store_check.h"

namespace {

typedef std::vector<std::string> Names;

// Z is the oldest set, B the newest.
const SetDate kZ = {2024, 1, 1, 1}, kA = {2024, 2, 1, 2}, kB = {2024, 3, 1, 3};
const std::string Z = kZ.DirName(), A = kA.DirName(), B = kB.DirName();
const std::set<std::string> kAppIds = {"app1", "app2", "app9"};

// Z used by app1 only, A the last set and unused, B the newest, used by app2.
const std::vector<Names> kThreeSets = {
    {"-i", "{Z}"}, {"-n", "app1"}, {"-i", "{A}"}, {"-i", "{B}"}, {"-n", "app2"}};

struct Scenario {
    const char* name;
    std::vector<Names> setup;  // commands building the store; "{Z}": the source of Z
    bool bIncomingB;           // B waits in the incoming directory
    Names command;             // the command that is killed
    std::vector<Names> next;   // the ordinary commands run after the kill
    std::string cur;           // CurDefs at the end; "": any complete set
    // Every AppId registered at the end and its set ("": the one CurDefs names).
    std::map<std::string, std::string> apps;
};

const Scenario kScenarios[] = {
    {"InstallIntoEmptyStore",
     {},
     false,
     {"-i", "{B}"},
     {{"-i", "{B}"}, {"-n", "app9"}},
     B,
     {{"app9", B}}},
    {"InstallIntoStoreWithASet",
     {{"-i", "{A}"}, {"-n", "app1"}, {"-n", "app2"}},
     false,
     {"-i", "{B}"},
     {{"-i", "{B}"}, {"-n", "app9"}},
     B,
     {{"app1", A}, {"app2", A}, {"app9", B}}},
    {"NewestIntegratesIncoming",
     {{"-i", "{A}"}, {"-n", "app1"}, {"-n", "app2"}},
     true,
     {"-n", "app1"},
     {{"-n", "app1"}},
     "",
     {{"app1", ""}, {"app2", A}}},
    {"NewestMovesAnAppId",
     kThreeSets,
     false,
     {"-n", "app1"},
     {{"-n", "app1"}},
     B,
     {{"app1", B}, {"app2", B}}},
    {"UninstallLast",
     {{"-i", "{A}"}, {"-n", "app1"}},
     false,
     {"-u", "app1"},
     {{"-u", "app1"}, {"-i", "{A}"}, {"-n", "app9"}},
     A,
     {{"app9", A}}},
    {"UninstallNotLast",
     kThreeSets,
     false,
     {"-u", "app1"},
     {{"-u", "app1"}, {"-n", "app1"}},
     B,
     {{"app1", B}, {"app2", B}}},
    {"Restore",
     {{"-i", "{A}"}, {"-n", "app1"}, {"-i", "{B}"}},
     false,
     {"-r"},
     {{"-r"}, {"-n", "app9"}},
     A,
     {{"app1", A}, {"app9", A}}},
};

// Names the case in test names and messages instead of dumping its bytes.
void PrintTo(const Scenario& scenario, std::ostream* os)
{
    *os << scenario.name;
}

std::string Shown(const Names& args)
{
    std::string text = "`qordefutil";
    for (const std::string& arg : args) text += " " + arg;
    return text + "`";
}

std::string Trimmed(const std::string& text)
{
    return text.substr(0, text.find_last_not_of('\n') + 1);
}

double Seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

class CrashTest : public SandboxTest, public ::testing::WithParamInterface<Scenario> {
protected:
    const std::string defs = sandbox.DefsDir();
    const std::string templateDir = sandbox.Path("template");

    Names Resolved(const Names& args) const
    {
        Names resolved;
        for (const std::string& arg : args) {
            if (arg.size() == 3 && arg.front() == '{')
                resolved.push_back(sandbox.Path("src/" + arg.substr(1, 1)));
            else
                resolved.push_back(arg);
        }
        return resolved;
    }

    // A command that hangs (on a lock its killed predecessor left, say) is
    // a fault too; the limit turns it into one instead of a hung test.
    static CliOptions Limited()
    {
        CliOptions options;
        options.timeLimitSeconds = 30;
        return options;
    }

    CliOptions Shimmed(const std::vector<std::string>& env) const
    {
        CliOptions options = Limited();
        options.env = env;
        options.env.push_back(std::string("LD_PRELOAD=") + QDU_CRASH_SHIM);
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer runtime wants to be the first library loaded; the
        // crash library allocates nothing, so coming before it is harmless.
        const char* asan = getenv("ASAN_OPTIONS");
        options.env.push_back("ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") +
                              ":verify_asan_link_order=0");
#endif
        return options;
    }

    // Builds the scenario's store and keeps a copy of it and of the
    // configuration file, which holds the hubs' state.
    void BuildTemplate(const Scenario& scenario)
    {
        WriteSet(sandbox.Path("src/Z"), kZ);
        WriteSet(sandbox.Path("src/A"), kA);
        WriteSet(sandbox.Path("src/B"), kB);
        for (const Names& step : scenario.setup) {
            CliResult r = RunCli(Resolved(step));
            ASSERT_EQ(r.status, 0) << Shown(step) << ": " << r.err;
        }
        if (scenario.bIncomingB)
            WriteSet(defs + "/incoming", kB);
        sandbox.SaveStore(templateDir);
    }

    void RestoreTemplate()
    {
        sandbox.RestoreStore(templateDir);
    }

    // The command run to its end under the shim, tracing every counted call.
    Names CleanTrace(const Scenario& scenario)
    {
        const std::string tracePath = sandbox.Path("clean.trace");
        CliResult r = RunCli(Resolved(scenario.command), Shimmed({"QDU_CRASH_TRACE=" + tracePath}));
        EXPECT_EQ(r.status, 0) << r.err;
        return PrefixedLines(ReadTextFile(tracePath));
    }

    // Kills the command before call n, then checks the store, runs the next
    // commands and checks again. Returns the problems found.
    std::vector<std::string> KillAndRecover(const Scenario& scenario, int n,
                                            const StoreView& before)
    {
        std::vector<std::string> problems;
        CliResult killed =
            RunCli(Resolved(scenario.command), Shimmed({"QDU_CRASH_AT=" + std::to_string(n)}));
        if (killed.timedOut)
            problems.push_back("the command hung before reaching the kill point");
        else if (killed.status != 128 + SIGKILL && killed.status != 0)
            problems.push_back("the command ended with status " + std::to_string(killed.status) +
                               " instead of being killed: " + killed.err);

        StoreView view;
        for (const std::string& problem : ConsistencyProblems(defs, kAppIds, &view))
            problems.push_back("after the kill: " + problem);
        const std::string touched = scenario.command.size() > 1 ? scenario.command[1] : "";
        for (const auto& app : before.appsIn) {
            const std::string was = before.RegisteredSet(app.first);
            if (app.first != touched && view.RegisteredSet(app.first) != was)
                problems.push_back("after the kill: " + app.first + ", registered with " + was +
                                   " and not named by the command, is registered with \"" +
                                   view.RegisteredSet(app.first) + "\"");
        }

        for (const Names& step : scenario.next) {
            std::set<int> expected = {0};
            if (step[0] == "-u") {
                ConsistencyProblems(defs, kAppIds, &view);
                if (view.RegisteredSet(step[1]).empty())
                    expected = {5, 6};  // not registered (any more)
            }
            CliResult r = RunCli(Resolved(step), Limited());
            if (r.timedOut || expected.count(r.status) == 0)
                problems.push_back("then " + Shown(step) + " exited " + std::to_string(r.status) +
                                   ": " + Trimmed(r.err));
        }

        std::vector<std::string> after = ConsistencyProblems(defs, kAppIds, &view);
        for (const std::string& problem : LeftoverProblems(defs, view)) after.push_back(problem);
        for (const std::string& problem : HubProblems(defs, sandbox.DefutilsConf()))
            after.push_back(problem);
        if (scenario.cur.empty() ? view.cur.empty() : view.cur != scenario.cur)
            after.push_back("CurDefs is \"" + view.cur + "\", not " +
                            (scenario.cur.empty() ? "a set" : scenario.cur));
        for (const auto& app : view.appsIn) {
            if (scenario.apps.count(app.first) == 0)
                after.push_back(app.first + " is registered, but nothing registered it");
        }
        for (const auto& app : scenario.apps) {
            const std::string set = app.second.empty() ? view.cur : app.second;
            CliResult r = RunCli({"-g", app.first}, Limited());
            if (r.status != 0 || r.out != defs + "/" + set + "\n")
                after.push_back("-g " + app.first + " exited " + std::to_string(r.status) +
                                " printing \"" + Trimmed(r.out) + "\", not the path of " + set);
        }
        for (const std::string& problem : after) problems.push_back("at the end: " + problem);
        return problems;
    }
};

// The kill points to try, most telling first: every call on a bookkeeping
// file, then the first and last call in each directory the command works in
// (where one phase ends and the next begins), then every third of the rest.
// All of them with QDU_CRASH_EXHAUSTIVE set.
std::vector<int> ChosenKillPoints(const Names& trace)
{
    const bool bAll = getenv("QDU_CRASH_EXHAUSTIVE") != nullptr;
    // A trace line is "N call target".
    auto directory = [&](size_t i) {
        const std::string& line = trace[i];
        const size_t target = line.find(' ', line.find(' ') + 1) + 1;
        return line.substr(target, line.rfind('/') - std::min(target, line.rfind('/')));
    };
    std::vector<int> tiers[4];
    for (size_t i = 0; i < trace.size(); ++i) {
        const std::string& line = trace[i];
        int tier = 3;
        if (line.find("definfo.dat") != std::string::npos ||
            line.find("usage.dat") != std::string::npos ||
            line.find("tvlx-defutils.conf") != std::string::npos)
            tier = 0;
        else if (i == 0 || i + 1 == trace.size() || directory(i) != directory(i - 1) ||
                 directory(i) != directory(i + 1))
            tier = 1;
        else if (i % 3 == 0)
            tier = 2;
        if (bAll || tier < 3)
            tiers[tier].push_back(static_cast<int>(i) + 1);
    }
    std::vector<int> points;
    for (const std::vector<int>& tier : tiers)
        points.insert(points.end(), tier.begin(), tier.end());
    return points;
}

// A problem with temporary directory names ("tmp<hex>") blanked, so that
// the same fault counts once however often it recurs.
std::string Kind(const std::string& problem)
{
    std::string kind;
    for (size_t i = 0; i < problem.size(); ++i) {
        kind += problem[i];
        const bool bWordStart = i == 0 || !isalnum(static_cast<unsigned char>(problem[i - 1]));
        if (bWordStart && problem.compare(i, 3, "tmp") == 0 && i + 3 < problem.size() &&
            isxdigit(static_cast<unsigned char>(problem[i + 3]))) {
            kind += "mp*";
            for (i += 3;
                 i + 1 < problem.size() && isxdigit(static_cast<unsigned char>(problem[i + 1]));)
                ++i;
        }
    }
    return kind;
}

TEST_P(CrashTest, EveryKillPointLeavesAStoreTheNextCommandCompletes)
{
#if !defined(__x86_64__)
    GTEST_SKIP() << "the crash-injection library traps system calls on x86-64 only";
#endif
#if defined(__SANITIZE_ADDRESS__)
    // It works here too, but each run of the program costs ten times as much,
    // so the default budget would reach only a handful of kill points.
    if (getenv("QDU_CRASH_SECONDS") == nullptr && getenv("QDU_CRASH_EXHAUSTIVE") == nullptr)
        GTEST_SKIP() << "skipped under AddressSanitizer, where a program run costs ten times as "
                        "much; set QDU_CRASH_SECONDS or QDU_CRASH_EXHAUSTIVE to run it anyway";
#endif
    const Scenario& scenario = GetParam();
    ASSERT_NO_FATAL_FAILURE(BuildTemplate(scenario));
    StoreView before;
    ASSERT_EQ(ConsistencyProblems(defs, kAppIds, &before), Names{});

    const Names trace = CleanTrace(scenario);
    ASSERT_FALSE(trace.empty()) << "the crash library counted no call: is it preloaded?";
    RestoreTemplate();
    // Sampled runs stop after a time budget (CI shares two cores); the
    // most telling kill points come first.
    const char* budget = getenv("QDU_CRASH_SECONDS");
    const bool bAll = getenv("QDU_CRASH_EXHAUSTIVE") != nullptr;
    const double deadline = Seconds() + (budget != nullptr ? atof(budget) : 8.0);
    const std::vector<int> points = ChosenKillPoints(trace);
    struct Seen {
        int count;
        std::string first;  // the first kill point that showed it
    };
    std::map<std::string, Seen> kinds;
    int tried = 0, faulty = 0;
    for (int n : points) {
        if (!bAll && tried > 0 && Seconds() > deadline)
            break;
        ++tried;
        RestoreTemplate();
        std::vector<std::string> problems = KillAndRecover(scenario, n, before);
        faulty += problems.empty() ? 0 : 1;
        for (const std::string& problem : problems) {
            Seen& seen = kinds[Kind(problem)];
            if (seen.count++ == 0)
                seen.first = trace[static_cast<size_t>(n) - 1];
        }
    }
    std::string report;
    for (const auto& kind : kinds)
        report += "\n  " + std::to_string(kind.second.count) + "x " + kind.first +
                  "\n      first when killed before call " + kind.second.first;
    EXPECT_EQ(faulty, 0) << "kill points that left a faulty store, of " << tried << " tried ("
                         << trace.size() << " in all):" << report;
    RecordProperty("kill_points_tried", tried);
}

INSTANTIATE_TEST_SUITE_P(Commands, CrashTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
