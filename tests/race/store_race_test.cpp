// Rounds of up to 19 commands started at the same instant on one store, for
// QDU_RACE_SECONDS (10); nothing may be lost or invented. Windows too narrow
// to hit by chance are forced with the sandbox build's pause seam.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/support/cli_runner.h"
#include "tests/support/store_check.h"

namespace {

typedef std::chrono::steady_clock Clock;

const int kParallelSets = 8;  // sets newer than the script sets, each newer than the last

struct Job {
    Strings args;
    Strings env = {};
};

// Children forked first wait on a pipe, so all start at once when it closes.
// A child still running after 30 s is killed: a hang shows as 128 + SIGKILL.
std::vector<CliResult> RunTogether(const std::vector<Job>& jobs, const std::string& dir)
{
    int gate[2];
    EXPECT_EQ(pipe2(gate, O_CLOEXEC), 0);
    std::vector<pid_t> pids;
    for (size_t i = 0; i < jobs.size(); ++i) {
        const ExecImage image("qordefutil", jobs[i].args, jobs[i].env);
        const std::string log = dir + "/" + std::to_string(i);
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pids.push_back(fork());
        if (pids.back() == 0) {
            close(gate[1]);  // else the child would hold its own gate shut
            char byte;
            while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
            }
            ExecChild(QDU_SANDBOX_CLI, image, fd, fd);
        }
        EXPECT_GT(pids.back(), 0);
        close(fd);
    }
    close(gate[1]);
    close(gate[0]);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    std::vector<CliResult> results;
    for (size_t i = 0; i < pids.size(); ++i) {
        int st = 0;
        for (; waitpid(pids[i], &st, WNOHANG) == 0; usleep(1000)) {
            if (Clock::now() > deadline)
                kill(pids[i], SIGKILL);
        }
        results.push_back({WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), "",
                           ReadTextFile(dir + "/" + std::to_string(i))});
    }
    return results;
}

class RaceTest : public SandboxTest {
protected:
    const std::string defs = sandbox.DefsDir();
    std::set<std::string> appIds = {"appA", "appB"};  // every AppId a test may register

    void SetUp() override
    {
        for (int i = 0; i < kParallelSets; ++i)
            WriteSet(Source('0' + i), {2024, 4, 1 + i, static_cast<uint32_t>(10 + i)});
        for (int i = 0; i < 40; ++i) appIds.insert("app" + std::to_string(i));
        MakeDirs(sandbox.Path("out"));
    }

    std::string Source(char name) const { return sandbox.Path(std::string("src/") + name); }

    static std::vector<Job> Registrations(int first, int last)
    {
        std::vector<Job> jobs;
        for (int i = first; i <= last; ++i) jobs.push_back({{"-n", "app" + std::to_string(i)}});
        return jobs;
    }

    // bAllSucceed: every job exits 0, no AppId ends in two sections. cur:
    // CurDefs at the end ("": unchecked), and then hubs must be whole too.
    void Rounds(const std::string& build, const std::function<std::vector<Job>(int round)>& jobsOf,
                bool bAllSucceed = false, const std::string& cur = "")
    {
        ASSERT_NO_FATAL_FAILURE(BuildStore(sandbox, build));
        const char* budget = getenv("QDU_RACE_SECONDS");
        const auto end = Clock::now() + std::chrono::duration<double>(budget ? atof(budget) : 10.0);
        std::map<std::string, int> kinds;
        int round = 0, faulty = 0;
        for (; round == 0 || (round < 200 && Clock::now() < end); ++round) {
            sandbox.RestoreStore(sandbox.Path("template"));
            const std::vector<Job> jobs = jobsOf(round);
            StoreView before, view;
            ConsistencyProblems(defs, appIds, &before);
            const std::vector<CliResult> results = RunTogether(jobs, sandbox.Path("out"));
            Strings problems = ConsistencyProblems(defs, appIds, &view);
            std::set<std::string> mayBeRegistered;
            for (const auto& app : before.appsIn) mayBeRegistered.insert(app.first);
            for (size_t i = 0; i < jobs.size(); ++i) {
                const Strings& args = jobs[i].args;
                const int status = results[i].status;
                const bool bJoins = args[0] == "-n";
                if (status >= 128 || (bAllSucceed && status != 0))
                    problems.push_back(::testing::PrintToString(args) + " exited " +
                                       std::to_string(status) + ": " + results[i].err);
                if (status != 0 || (!bJoins && args[0] != "-u"))
                    continue;
                bJoins ? (void)mayBeRegistered.insert(args[1])
                       : (void)mayBeRegistered.erase(args[1]);
                if (view.RegisteredSet(args[1]).empty() == bJoins)
                    problems.push_back(::testing::PrintToString(args) + " exited 0, but " +
                                       args[1] +
                                       (bJoins ? " is not registered" : " is still registered"));
            }
            for (const auto& app : view.appsIn) {
                if (mayBeRegistered.count(app.first) == 0)
                    problems.push_back(app.first + " is registered, but no command registered it");
                if (bAllSucceed && app.second.size() > 1)
                    problems.push_back(app.first + " is registered in " +
                                       std::to_string(app.second.size()) + " sections");
            }
            if (!view.appsIn.empty() && view.cur.empty())
                problems.push_back("AppIds are registered, but definfo.dat names no newest set");
            if (!cur.empty() && view.cur != cur)
                problems.push_back("CurDefs is " + view.cur + ", not the newest set " + cur);
            for (const std::string& problem :
                 cur.empty() ? Strings{} : HubProblems(defs, sandbox.DefutilsConf()))
                problems.push_back(problem);
            faulty += problems.empty() ? 0 : 1;
            for (const std::string& problem : problems) ++kinds[problem];
        }
        std::string report;
        for (const auto& kind : kinds)
            report += "\n  " + std::to_string(kind.second) + "x " + kind.first;
        EXPECT_EQ(faulty, 0) << "faulty rounds, of " << round << ":" << report;
    }
};

// The last AppId leaves while others register and sets are installed; in
// odd rounds the removal is slowed down as on a busy disk.
TEST_F(RaceTest, LastUninstallAgainstNewestAndInstall)
{
    Rounds("-i {A}; -n app0", [&](int round) {
        std::vector<Job> jobs = Registrations(1, 12);
        jobs.push_back({{"-u", "app0"}, {"QORDEFUTIL_SANDBOX_PAUSE_MS=5"}});
        if (round % 2 == 1)
            jobs.back().env.push_back("QORDEFUTIL_SANDBOX_PAUSE=last-uninstall");
        for (char set : {'B', 'B', 'A'}) jobs.push_back({{"-i", Source(set)}});
        return jobs;
    });
}

// Eight installs of ever newer sets at once, in odd rounds with an older set
// waiting in incoming and four registrations that integrate it.
TEST_F(RaceTest, ParallelInstallsLeaveTheNewestSetCurrent)
{
    Rounds(
        "-i {A}; -n app0",
        [&](int round) {
            std::vector<Job> jobs = Registrations(1, round % 2 == 0 ? 0 : 4);
            if (round % 2 == 1)
                WriteSet(defs + "/incoming", ScriptSet('B'));
            for (int i = 0; i < kParallelSets; ++i) jobs.push_back({{"-i", Source('0' + i)}});
            return jobs;
        },
        true, SetDate{2024, 4, kParallelSets, 9 + kParallelSets}.DirName());
}

// Six AppIds move away from a set they share, twelve join; in odd rounds
// whichever gets the incoming lock integrates a newer set.
TEST_F(RaceTest, DistinctAppIdsMoveAndJoinDuringIntegration)
{
    Rounds(
        "-i {Z}; -n app1; -n app2; -n app3; -n app4; -n app5; -n app6; -i {A}",
        [&](int round) {
            if (round % 2 == 1)
                WriteSet(defs + "/incoming", ScriptSet('B'));
            return Registrations(1, 18);
        },
        true);
}

// The holder is inside the window once its AppId's registration changed.
struct Window {
    const char* name;
    const char* build;       // the store before each round
    const char* holder;      // runs with the pause...
    const char* point;       // ... at this seam
    const char* intruders;   // run one after the other inside the window
    bool bIntrudersSucceed;  // each must exit 0 (else it may fail, but lose nothing)
    const char* end;         // "CurDefs=A appA=B": what the store names at the end
};

const Window kWindows[] = {
    // appA's move to B empties A's section; before the sweep deletes it, a
    // restore makes A current again and appB joins A's section.
    {"JoinDuringTheSweep", "-i {A}; -n appA; incoming", "-n appA", "sweep", "-r; -n appB", true,
     "CurDefs=A appA=B appB=A"},
    // The store is about to be removed when an AppId registers...
    {"NewestDuringTheLastUninstall", "-i {A}; -n app1", "-u app1", "last-uninstall", "-n app2",
     false, ""},
    // ... or a set is installed.
    {"InstallDuringTheLastUninstall", "-i {A}; -n app1", "-u app1", "last-uninstall", "-i {B}",
     true, "CurDefs=B"},
};

class WindowTest : public RaceTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(WindowTest, ForcedWindowLosesNothing)
{
    const Window& window = kWindows[GetParam()];
    ASSERT_NO_FATAL_FAILURE(BuildStore(sandbox, window.build));
    const Strings held = Commands(window.holder, sandbox.Path("src"))[0];
    const std::vector<Strings> intruders = Commands(window.intruders, sandbox.Path("src"));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        sandbox.RestoreStore(sandbox.Path("template"));
        StoreView view;
        ConsistencyProblems(defs, appIds, &view);
        const std::string was = view.RegisteredSet(held[1]);
        CliOptions options;
        options.timeLimitSeconds = 30;
        options.env = {std::string("QORDEFUTIL_SANDBOX_PAUSE=") + window.point,
                       "QORDEFUTIL_SANDBOX_PAUSE_MS=1500"};
        CliResult heldResult;
        std::atomic<bool> bHeldEnded{false};
        std::thread holder([&, options] {
            heldResult = RunCli(held, options);
            bHeldEnded = true;
        });
        for (auto giveUp = Clock::now() + std::chrono::seconds(10);
             !bHeldEnded && Clock::now() < giveUp && view.RegisteredSet(held[1]) == was;
             usleep(1000))
            ConsistencyProblems(defs, appIds, &view);
        usleep(30000);  // well inside the pause
        const bool bInside = !bHeldEnded;
        std::vector<CliResult> results;
        options.env.clear();
        for (size_t i = 0; bInside && i < intruders.size(); ++i)
            results.push_back(RunCli(intruders[i], options));
        holder.join();
        ASSERT_TRUE(bInside) << window.holder << " ended before the test saw it reach the \""
                             << window.point << "\" pause, so the window was not forced";
        EXPECT_EQ(heldResult.status, 0) << heldResult.err;

        EXPECT_EQ(ConsistencyProblems(defs, appIds, &view), Strings{});
        for (size_t i = 0; i < intruders.size(); ++i) {
            const Strings& args = intruders[i];
            EXPECT_TRUE(!results[i].timedOut &&
                        (!window.bIntrudersSucceed || results[i].status == 0))
                << ::testing::PrintToString(args) << " exited " << results[i].status << ": "
                << results[i].err;
            EXPECT_TRUE(args[0] != "-n" || results[i].status != 0 ||
                        !view.RegisteredSet(args[1]).empty())
                << ::testing::PrintToString(args)
                << " exited 0 inside the window, and its registration is lost";
        }
        std::istringstream words(window.end);
        for (std::string word; words >> word;) {
            const std::string name = word.substr(0, word.find('='));
            EXPECT_EQ(name == "CurDefs" ? view.cur : view.RegisteredSet(name),
                      ScriptSet(word.back()).DirName())
                << word;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pause, WindowTest, ::testing::Range<size_t>(0, std::size(kWindows)),
                         [](const auto& info) { return std::string(kWindows[info.param].name); });

}  // namespace
