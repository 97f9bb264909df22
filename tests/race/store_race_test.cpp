// Commands racing each other on one store. Each round starts 8 to 32
// processes at the same instant (tests/support/process_batch.h) and then
// checks that nothing was lost: every -n that reported success is
// registered with a complete set, nothing is registered that no command
// registered, every -u that reported success removed its AppId, and
// definfo.dat names complete sets. Rounds repeat until a time budget is
// spent (QDU_RACE_SECONDS, default 10). The windows that are too narrow to
// hit by chance are forced with the sandbox build's pause seam.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/process_batch.h"
#include "tests/support/sandbox.h"
#include "tests/support/store_check.h"

namespace {

typedef std::vector<std::string> Names;

const SetDate kZ = {2024, 1, 1, 1}, kA = {2024, 2, 1, 2}, kB = {2024, 3, 1, 3};
const std::string Z = kZ.DirName(), A = kA.DirName(), B = kB.DirName();
// Eight sets newer than all of the above; the last is the newest.
const int kParallelSets = 8;

double Seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void Sleep(int ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

std::string Shown(const Names& args)
{
    std::string text = "`qordefutil";
    for (const std::string& arg : args) text += " " + arg;
    return text + "`";
}

SetDate ParallelSet(int i)
{
    return SetDate{2024, 4, 1 + i, static_cast<uint32_t>(10 + i)};
}

struct Job {
    Names args;
    std::vector<std::string> env;
};

void AllSucceeded(const std::vector<Job>& jobs, const std::vector<CliResult>& results,
                  std::vector<std::string>* pProblems)
{
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (results[i].status != 0)
            pProblems->push_back(Shown(jobs[i].args) + " exited " +
                                 std::to_string(results[i].status) + ": " + results[i].err);
    }
}

class RaceTest : public SandboxTest {
protected:
    const std::string defs = sandbox.DefsDir();
    std::set<std::string> appIds;  // every AppId a test may register

    void SetUp() override
    {
        WriteSet(Source("Z"), kZ);
        WriteSet(Source("A"), kA);
        WriteSet(Source("B"), kB);
        for (int i = 0; i < kParallelSets; ++i)
            WriteSet(Source("P" + std::to_string(i)), ParallelSet(i));
        for (int i = 0; i < 40; ++i) appIds.insert("app" + std::to_string(i));
        MakeDirs(sandbox.Path("out"));
    }

    std::string Source(const std::string& name) const { return sandbox.Path("src/" + name); }

    // Builds the store with ordinary commands and keeps a copy of it.
    void BuildTemplate(const std::vector<Names>& commands)
    {
        for (const Names& args : commands) {
            CliResult r = RunCli(args);
            ASSERT_EQ(r.status, 0) << Shown(args) << ": " << r.err;
        }
        sandbox.SaveStore(sandbox.Path("template"));
    }

    void RestoreTemplate() { sandbox.RestoreStore(sandbox.Path("template")); }

    bool TimeLeft(double start, int round) const
    {
        const char* budget = getenv("QDU_RACE_SECONDS");
        return round < 200 && Seconds() - start < (budget != nullptr ? atof(budget) : 10.0);
    }

    // Starts every job at once and waits for all of them.
    std::vector<CliResult> RunTogether(const std::vector<Job>& jobs)
    {
        ProcessBatch batch(sandbox.Path("out"));
        for (const Job& job : jobs) EXPECT_GE(batch.Add(job.args, job.env), 0);
        batch.Release();
        return batch.Wait(30000);
    }

    // What a round may not leave behind, given the registrations before it
    // and what each job reported.
    std::vector<std::string> LostOrPhantom(const StoreView& before, const std::vector<Job>& jobs,
                                           const std::vector<CliResult>& results, StoreView* pView)
    {
        std::vector<std::string> problems = ConsistencyProblems(defs, appIds, pView);
        const StoreView& view = *pView;
        std::set<std::string> mayBeRegistered;
        for (const auto& app : before.appsIn) mayBeRegistered.insert(app.first);
        for (size_t i = 0; i < jobs.size(); ++i) {
            const Names& args = jobs[i].args;
            const int status = results[i].status;
            if (status < 0 || status >= 128) {
                problems.push_back(Shown(args) + (status < 0 ? " hung" : " crashed") + ": " +
                                   results[i].err);
                continue;
            }
            const bool bRegistered = args.size() > 1 && !view.RegisteredSet(args[1]).empty();
            if (args[0] == "-n" && status == 0) {
                mayBeRegistered.insert(args[1]);
                if (!bRegistered)
                    problems.push_back(Shown(args) + " exited 0, but " + args[1] +
                                       " is not registered");
            }
            if (args[0] == "-u" && status == 0) {
                mayBeRegistered.erase(args[1]);
                if (bRegistered)
                    problems.push_back(Shown(args) + " exited 0, but " + args[1] +
                                       " is still registered");
            }
        }
        for (const auto& app : view.appsIn) {
            if (mayBeRegistered.count(app.first) == 0)
                problems.push_back(app.first + " is registered, but no command registered it");
        }
        if (!view.appsIn.empty() && view.cur.empty())
            problems.push_back("AppIds are registered, but definfo.dat names no newest set");
        return problems;
    }

    // Runs rounds until the budget is spent; setUp prepares each round's
    // store and returns its jobs, check adds the round's own expectations.
    // Reports every problem kind once, with the number of faulty rounds.
    void Rounds(const std::function<std::vector<Job>(int round)>& setUp,
                const std::function<void(const std::vector<Job>&, const std::vector<CliResult>&,
                                         const StoreView&, std::vector<std::string>*)>& check)
    {
        const double start = Seconds();
        std::map<std::string, int> kinds;
        int round = 0, faulty = 0;
        for (; round == 0 || TimeLeft(start, round); ++round) {
            std::vector<Job> jobs = setUp(round);
            if (HasFatalFailure())
                return;
            StoreView before, after;
            ConsistencyProblems(defs, appIds, &before);
            std::vector<CliResult> results = RunTogether(jobs);
            std::vector<std::string> problems = LostOrPhantom(before, jobs, results, &after);
            check(jobs, results, after, &problems);
            faulty += problems.empty() ? 0 : 1;
            for (const std::string& problem : problems) ++kinds[problem];
        }
        std::string report;
        for (const auto& kind : kinds)
            report += "\n  " + std::to_string(kind.second) + "x " + kind.first;
        EXPECT_EQ(faulty, 0) << "faulty rounds, of " << round << ":" << report;
        RecordProperty("rounds", round);
    }
};

// The last AppId leaves while others register and sets are installed; in
// odd rounds the removal is slowed down as on a busy disk.
TEST_F(RaceTest, LastUninstallAgainstNewestAndInstall)
{
    ASSERT_NO_FATAL_FAILURE(BuildTemplate({{"-i", Source("A")}, {"-n", "app0"}}));
    Rounds(
        [&](int round) {
            RestoreTemplate();
            std::vector<Job> jobs;
            std::vector<std::string> slow;
            if (round % 2 == 1)
                slow = {"QORDEFUTIL_SANDBOX_PAUSE=last-uninstall", "QORDEFUTIL_SANDBOX_PAUSE_MS=5"};
            jobs.push_back(Job{{"-u", "app0"}, slow});
            for (int i = 1; i <= 12; ++i)
                jobs.push_back(Job{{"-n", "app" + std::to_string(i)}, {}});
            jobs.push_back(Job{{"-i", Source("B")}, {}});
            jobs.push_back(Job{{"-i", Source("B")}, {}});
            jobs.push_back(Job{{"-i", Source("A")}, {}});
            return jobs;
        },
        [](const std::vector<Job>&, const std::vector<CliResult>&, const StoreView&,
           std::vector<std::string>*) {});
}

// Eight installs of ever newer sets at once, in odd rounds with an older set
// waiting in incoming and four registrations that integrate it: the newest
// set must end up current, and a hub marked good must be one set's.
TEST_F(RaceTest, ParallelInstallsLeaveTheNewestSetCurrent)
{
    ASSERT_NO_FATAL_FAILURE(BuildTemplate({{"-i", Source("A")}, {"-n", "app0"}}));
    const std::string newest = ParallelSet(kParallelSets - 1).DirName();
    Rounds(
        [&](int round) {
            RestoreTemplate();
            std::vector<Job> jobs;
            for (int i = 0; i < kParallelSets; ++i)
                jobs.push_back(Job{{"-i", Source("P" + std::to_string(i))}, {}});
            if (round % 2 == 1) {
                WriteSet(defs + "/incoming", kB);
                for (int i = 1; i <= 4; ++i)
                    jobs.push_back(Job{{"-n", "app" + std::to_string(i)}, {}});
            }
            return jobs;
        },
        [&](const std::vector<Job>& jobs, const std::vector<CliResult>& results,
            const StoreView& view, std::vector<std::string>* pProblems) {
            AllSucceeded(jobs, results, pProblems);
            if (view.cur != newest)
                pProblems->push_back("CurDefs is " + view.cur + ", not the newest set " + newest);
            for (const std::string& problem : HubProblems(defs, sandbox.DefutilsConf()))
                pProblems->push_back(problem);
        });
}

// Distinct AppIds register at once: six move away from a set they share,
// twelve join, and in odd rounds a newer set waiting in incoming is
// integrated by whichever gets the incoming lock. Every one must end up
// registered, once, while sweeps of emptied sections run all around.
TEST_F(RaceTest, DistinctAppIdsMoveAndJoinDuringIntegration)
{
    std::vector<Names> build = {{"-i", Source("Z")}};
    for (int i = 1; i <= 6; ++i) build.push_back({"-n", "app" + std::to_string(i)});
    build.push_back({"-i", Source("A")});
    ASSERT_NO_FATAL_FAILURE(BuildTemplate(build));
    Rounds(
        [&](int round) {
            RestoreTemplate();
            if (round % 2 == 1)
                WriteSet(defs + "/incoming", kB);
            std::vector<Job> jobs;
            for (int i = 1; i <= 18; ++i)
                jobs.push_back(Job{{"-n", "app" + std::to_string(i)}, {}});
            return jobs;
        },
        [&](const std::vector<Job>& jobs, const std::vector<CliResult>& results,
            const StoreView& view, std::vector<std::string>* pProblems) {
            AllSucceeded(jobs, results, pProblems);
            for (size_t i = 0; i < jobs.size(); ++i) {
                auto in = view.appsIn.find(jobs[i].args[1]);
                if (in != view.appsIn.end() && in->second.size() > 1)
                    pProblems->push_back(jobs[i].args[1] + " is registered in " +
                                         std::to_string(in->second.size()) + " sections");
            }
        });
}

// A command held inside a window by the pause seam while another command
// runs into it. The holder's state on disk tells when it has reached the
// window; the second command starts well inside the pause.
struct Window {
    const char* name;
    std::vector<Names> build;  // the store before the round
    bool bIncomingB;
    Names holder;                  // runs with the pause
    const char* point;             // the pause seam it stops at
    std::string reachedApp;        // the holder has reached the window when
    std::string reachedSet;        // this AppId is registered with this set ("": with none)
    std::vector<Names> intruders;  // run one after the other inside the window
    bool bIntrudersSucceed;        // each must exit 0 (else it may fail, but lose nothing)
    std::string cur;               // CurDefs at the end, when any command installed
    std::map<std::string, std::string> apps;  // registered at the end, and where
};

const Window kWindows[] = {
    // appA's move to B empties A's section; before the sweep deletes it, a
    // restore makes A current again and appB joins A's section.
    {"JoinDuringTheSweep",
     {{"-i", "{A}"}, {"-n", "appA"}},
     true,
     {"-n", "appA"},
     "sweep",
     "appA",
     B,
     {{"-r"}, {"-n", "appB"}},
     true,
     A,
     {{"appA", B}, {"appB", A}}},
    // The last AppId is gone and the store is about to be removed when
    // another AppId registers with the set the store still names.
    {"NewestDuringTheLastUninstall",
     {{"-i", "{A}"}, {"-n", "app1"}},
     false,
     {"-u", "app1"},
     "last-uninstall",
     "app1",
     "",
     {{"-n", "app2"}},
     false,
     "",
     {}},
    // The same window, with an install instead: an install that reports
    // success leaves a store holding its set.
    {"InstallDuringTheLastUninstall",
     {{"-i", "{A}"}, {"-n", "app1"}},
     false,
     {"-u", "app1"},
     "last-uninstall",
     "app1",
     "",
     {{"-i", "{B}"}},
     true,
     B,
     {}},
};

// Names the case in test names and messages instead of dumping its bytes.
void PrintTo(const Window& window, std::ostream* os)
{
    *os << window.name;
}

class WindowTest : public RaceTest, public ::testing::WithParamInterface<Window> {
protected:
    Names Resolved(const Names& args) const
    {
        Names resolved;
        for (const std::string& arg : args)
            resolved.push_back(arg.size() == 3 && arg[0] == '{' ? Source(arg.substr(1, 1)) : arg);
        return resolved;
    }
};

TEST_P(WindowTest, ForcedWindowLosesNothing)
{
    const Window& window = GetParam();
    appIds.insert({"appA", "appB"});
    std::vector<Names> build;
    for (const Names& args : window.build) build.push_back(Resolved(args));
    ASSERT_NO_FATAL_FAILURE(BuildTemplate(build));
    const int kPauseMs = 1500;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        RestoreTemplate();
        if (window.bIncomingB)
            WriteSet(defs + "/incoming", kB);

        ProcessBatch holder(sandbox.Path("out"));
        holder.Add(Resolved(window.holder),
                   {std::string("QORDEFUTIL_SANDBOX_PAUSE=") + window.point,
                    "QORDEFUTIL_SANDBOX_PAUSE_MS=" + std::to_string(kPauseMs)},
                   true);
        const double start = Seconds();
        for (StoreView view;; Sleep(1)) {
            ConsistencyProblems(defs, appIds, &view);
            const auto& in = view.appsIn[window.reachedApp];
            bool bReached = window.reachedSet.empty()
                                ? in.empty()
                                : std::find(in.begin(), in.end(), window.reachedSet) != in.end();
            if (bReached || holder.Exited(0) || Seconds() - start > 10)
                break;
        }
        Sleep(30);
        ASSERT_FALSE(holder.Exited(0))
            << Shown(window.holder) << " ended before the test saw it reach the \"" << window.point
            << "\" pause, so the window could not be forced";

        std::vector<CliResult> intruders;
        CliOptions limited;
        limited.timeLimitSeconds = 30;
        for (const Names& args : window.intruders)
            intruders.push_back(RunCli(Resolved(args), limited));
        std::vector<CliResult> held = holder.Wait(30000);
        EXPECT_EQ(held[0].status, 0) << held[0].err;

        StoreView view;
        EXPECT_EQ(ConsistencyProblems(defs, appIds, &view), Names{});
        for (size_t i = 0; i < intruders.size(); ++i) {
            const Names& args = window.intruders[i];
            if (args[0] == "-n" && intruders[i].status == 0) {
                EXPECT_NE(view.RegisteredSet(args[1]), "")
                    << Shown(args) << " exited 0 inside the window, and its registration is lost";
            }
            EXPECT_FALSE(intruders[i].timedOut) << Shown(args) << " hung";
            if (window.bIntrudersSucceed) {
                EXPECT_EQ(intruders[i].status, 0) << Shown(args) << ": " << intruders[i].err;
            }
        }
        if (!window.cur.empty()) {
            EXPECT_EQ(view.cur, window.cur);
        }
        for (const auto& app : window.apps) EXPECT_EQ(view.RegisteredSet(app.first), app.second);
    }
}

INSTANTIATE_TEST_SUITE_P(Pause, WindowTest, ::testing::ValuesIn(kWindows),
                         [](const ::testing::TestParamInfo<Window>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
