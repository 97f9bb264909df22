// Kills each command that changes the store before one of its state-changing
// system calls (tests/tools/crash_shim.c): the most telling ones for
// QDU_CRASH_SECONDS (8), or all with QDU_CRASH_EXHAUSTIVE=1. Every reader must
// still trust the store, and the next ordinary commands must leave it as an
// uninterrupted run would have.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>

#include "tests/support/cli_runner.h"
#include "tests/support/store_check.h"

namespace {

const std::set<std::string> kAppIds = {"app1", "app2", "app9"};

struct Scenario {
    const char* name;
    const char* setup;    // builds the store
    const char* command;  // the one that is killed
    const char* next;     // the ordinary commands run after the kill
    const char* cur;      // CurDefs at the end; "": any complete set
    const char* apps;     // every AppId registered at the end and its set; "*": CurDefs'
};

// "-i {Z}; -n app1; -i {A}; -i {B}; -n app2": Z used by app1, A unused, B by app2.
const Scenario kScenarios[] = {
    {"InstallIntoEmptyStore", "", "-i {B}", "-i {B}; -n app9", "B", "app9=B"},
    {"InstallIntoStoreWithASet", "-i {A}; -n app1; -n app2", "-i {B}", "-i {B}; -n app9", "B",
     "app1=A app2=A app9=B"},
    {"NewestIntegratesIncoming", "-i {A}; -n app1; -n app2; incoming", "-n app1", "-n app1", "",
     "app1=* app2=A"},
    {"NewestMovesAnAppId", "-i {Z}; -n app1; -i {A}; -i {B}; -n app2", "-n app1", "-n app1", "B",
     "app1=B app2=B"},
    {"UninstallLast", "-i {A}; -n app1", "-u app1", "-u app1; -i {A}; -n app9", "A", "app9=A"},
    {"UninstallNotLast", "-i {Z}; -n app1; -i {A}; -i {B}; -n app2", "-u app1", "-u app1; -n app1",
     "B", "app1=B app2=B"},
    {"Restore", "-i {A}; -n app1; -i {B}", "-r", "-r; -n app9", "A", "app1=A app9=A"},
};

// Calls on bookkeeping files first, then the first and last in each
// directory (phase boundaries), then every third; with bAll the rest too.
std::vector<std::pair<int, int>> KillPoints(const Strings& trace, bool bAll)
{
    static const std::regex kBookkeeping("definfo\\.dat|usage\\.dat|tvlx-defutils\\.conf"),
        kNotDir("^\\S+ \\S+ |/[^/]*$");  // a trace line is "N call target"
    auto dir = [&](size_t i) { return std::regex_replace(trace[i], kNotDir, ""); };
    std::vector<std::pair<int, int>> points;  // tier, kill point
    for (size_t i = 0; i < trace.size(); ++i) {
        const int tier =
            std::regex_search(trace[i], kBookkeeping)                                         ? 0
            : i == 0 || i + 1 == trace.size() || dir(i) != dir(i - 1) || dir(i) != dir(i + 1) ? 1
            : i % 3 == 0                                                                      ? 2
                                                                                              : 3;
        if (bAll || tier < 3)
            points.push_back({tier, static_cast<int>(i) + 1});
    }
    std::sort(points.begin(), points.end());
    return points;
}

class CrashTest : public SandboxTest, public ::testing::WithParamInterface<size_t> {
protected:
    const std::string defs = sandbox.DefsDir(), src = sandbox.Path("src");

    // A hang on a lock a killed predecessor left is a fault, not a hung test.
    CliResult Run(const Strings& args, const std::string& shimEnv = "") const
    {
        CliOptions options;
        options.timeLimitSeconds = 30;
        if (!shimEnv.empty())
            options.env = {shimEnv, std::string("LD_PRELOAD=") + QDU_CRASH_SHIM};
#if defined(__SANITIZE_ADDRESS__)
        // The crash library allocates nothing, so preceding the runtime is harmless.
        const char* asan = getenv("ASAN_OPTIONS");
        options.env.push_back("ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") +
                              ":verify_asan_link_order=0");
#endif
        return RunCli(args, options);
    }

    Strings KillAndRecover(const Scenario& s, int n, const StoreView& before)
    {
        const Strings command = Commands(s.command, src)[0];
        Strings problems, after;
        CliResult killed = Run(command, "QDU_CRASH_AT=" + std::to_string(n));
        if (killed.timedOut || (killed.status != 128 + SIGKILL && killed.status != 0))
            problems.push_back(
                "the command was not killed but " +
                (killed.timedOut ? "hung" : "exited " + std::to_string(killed.status)) + ": " +
                killed.err);
        StoreView view;
        for (const std::string& problem : ConsistencyProblems(defs, kAppIds, &view))
            problems.push_back("after the kill: " + problem);
        for (const auto& app : before.appsIn) {
            const std::string was = before.RegisteredSet(app.first);
            if (app.first != command.back() && view.RegisteredSet(app.first) != was)
                problems.push_back("after the kill: " + app.first + ", registered with " + was +
                                   " and not named by the command, is registered with \"" +
                                   view.RegisteredSet(app.first) + "\"");
        }
        for (const Strings& step : Commands(s.next, src)) {
            ConsistencyProblems(defs, kAppIds, &view);
            // -u of an AppId no longer registered fails, with 5 or 6.
            const std::set<int> expected = step[0] == "-u" && view.RegisteredSet(step[1]).empty()
                                               ? std::set<int>{5, 6}
                                               : std::set<int>{0};
            CliResult r = Run(step);
            if (r.timedOut || expected.count(r.status) == 0)
                problems.push_back("then " + ::testing::PrintToString(step) + " exited " +
                                   std::to_string(r.status) + ": " +
                                   r.err.substr(0, r.err.find('\n')));
        }
        after = ConsistencyProblems(defs, kAppIds, &view);
        for (const std::string& problem : LeftoverProblems(defs, view)) after.push_back(problem);
        for (const std::string& problem : HubProblems(defs, sandbox.DefutilsConf()))
            after.push_back(problem);
        const std::string cur = *s.cur != '\0' ? ScriptSet(*s.cur).DirName() : "";
        if (cur.empty() ? view.cur.empty() : view.cur != cur)
            after.push_back("CurDefs is \"" + view.cur + "\", not " +
                            (cur.empty() ? "a set" : cur));
        std::map<std::string, std::string> want, got;
        for (const std::string& word : Words(s.apps))
            want[word.substr(0, word.find('='))] =
                defs + "/" + (word.back() == '*' ? view.cur : ScriptSet(word.back()).DirName()) +
                "\n";
        for (const auto& app : view.appsIn) want.emplace(app.first, "(not registered)");
        for (const auto& app : want) got[app.first] = Run({"-g", app.first}).out;
        if (got != want)
            after.push_back("-g printed " + ::testing::PrintToString(got) + ", not " +
                            ::testing::PrintToString(want));
        for (const std::string& problem : after) problems.push_back("at the end: " + problem);
        return problems;
    }
};

TEST_P(CrashTest, EveryKillPointLeavesAStoreTheNextCommandCompletes)
{
#if !defined(__x86_64__)
    GTEST_SKIP() << "the crash-injection library traps system calls on x86-64 only";
#endif
    const char* budget = getenv("QDU_CRASH_SECONDS");
    const bool bAll = getenv("QDU_CRASH_EXHAUSTIVE") != nullptr;
#if defined(__SANITIZE_ADDRESS__)
    // A run costs ten times as much: the default budget would reach a handful.
    if (budget == nullptr && !bAll)
        GTEST_SKIP() << "set QDU_CRASH_SECONDS or QDU_CRASH_EXHAUSTIVE to run it under "
                        "AddressSanitizer";
#endif
    const Scenario& s = kScenarios[GetParam()];
    ASSERT_NO_FATAL_FAILURE(BuildStore(sandbox, s.setup));
    StoreView before;
    ASSERT_EQ(ConsistencyProblems(defs, kAppIds, &before), Strings{});

    const std::string tracePath = sandbox.Path("clean.trace");
    CliResult clean = Run(Commands(s.command, src)[0], "QDU_CRASH_TRACE=" + tracePath);
    EXPECT_EQ(clean.status, 0) << clean.err;
    const Strings trace = PrefixedLines(ReadTextFile(tracePath));
    ASSERT_FALSE(trace.empty()) << "the crash library counted no call: is it preloaded?";

    // Sampled runs stop at a time budget (CI shares two cores).
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration<double>(budget != nullptr ? atof(budget) : 8.0);
    static const std::regex kTmpName("(^|[^[:alnum:]])tmp[[:xdigit:]]+");
    std::map<std::string, std::pair<int, std::string>> kinds;  // -> count, first kill point
    int tried = 0, faulty = 0;
    for (const auto& point : KillPoints(trace, bAll)) {
        const int n = point.second;
        if (!bAll && tried > 0 && std::chrono::steady_clock::now() > deadline)
            break;
        ++tried;
        sandbox.RestoreStore(sandbox.Path("template"));
        const Strings problems = KillAndRecover(s, n, before);
        faulty += problems.empty() ? 0 : 1;
        for (const std::string& problem : problems) {
            // One fault counts once, whichever temporary directory it hits.
            auto& kind = kinds[std::regex_replace(problem, kTmpName, "$1tmp*")];
            if (kind.first++ == 0)
                kind.second = trace[static_cast<size_t>(n) - 1];
        }
    }
    std::string report;
    for (const auto& kind : kinds)
        report += "\n  " + std::to_string(kind.second.first) + "x " + kind.first +
                  "\n      first when killed before call " + kind.second.second;
    std::cout << "[ KILLS    ] " << tried << " of " << trace.size() << " kill points tried\n";
    EXPECT_EQ(faulty, 0) << "kill points that left a faulty store, of " << tried << " tried ("
                         << trace.size() << " in all):" << report;
}

INSTANTIATE_TEST_SUITE_P(Commands, CrashTest, ::testing::Range<size_t>(0, std::size(kScenarios)),
                         [](const auto& info) { return std::string(kScenarios[info.param].name); });

}  // namespace
