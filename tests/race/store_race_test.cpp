// Commands racing each other on one store. Each round starts up to 19
// processes at the same instant, then checks that nothing was lost: every -n
// that reported success is registered with a complete set, nothing is
// registered that no command registered, every -u that reported success
// removed its AppId, and definfo.dat names complete sets. Rounds repeat for
// QDU_RACE_SECONDS (10). Windows too narrow to hit by chance are forced with
// the sandbox build's pause seam.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/store_check.h"

namespace {

typedef std::chrono::steady_clock Clock;

// Newer than the script sets.
const int kParallelSets = 8;

SetDate ParallelSet(int i)
{
    return SetDate{2024, 4, 1 + i, static_cast<uint32_t>(10 + i)};
}

struct Job {
    Strings args;
    Strings env = {};
};

// Children forked at Start() block reading a pipe before they exec, so all
// proceed at once when Release() closes its last write end (bNow: start
// at once). Output goes to files, so dozens of children never block on a
// full pipe. A child still running at Wait()'s deadline is killed and
// reported with status -1: a hang is a fault, not a reason to hang the test.
class Batch {
public:
    explicit Batch(const std::string& dir) : m_dir(dir)
    {
        if (pipe2(m_gate, O_CLOEXEC) != 0)
            m_gate[0] = m_gate[1] = -1;
    }
    ~Batch()
    {
        Wait(0);
        close(m_gate[0]);
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    void Start(const Job& job, bool bNow = false)
    {
        const std::string base = m_dir + "/" + std::to_string(m_children.size());
        const ExecImage image("qordefutil", job.args, job.env);
        const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
        const int out = open((base + ".out").c_str(), flags, 0644);
        const int err = open((base + ".err").c_str(), flags, 0644);
        const int gate = bNow ? -1 : m_gate[0], writeEnd = m_gate[1];
        const pid_t pid = fork();
        if (pid == 0) {
            close(writeEnd);  // else the child would hold its own gate shut
            char byte;
            while (gate >= 0 && read(gate, &byte, 1) < 0 && errno == EINTR) {
            }
            ExecChild(QDU_SANDBOX_CLI, image, out, err);
        }
        close(out);
        close(err);
        m_children.push_back({pid, -1, base});
    }
    void Release()
    {
        if (m_gate[1] >= 0)
            close(m_gate[1]);
        m_gate[1] = -1;
    }
    bool Exited(size_t i)
    {
        Child& child = m_children.at(i);
        int st = 0;
        if (child.pid > 0 && waitpid(child.pid, &st, WNOHANG) == child.pid) {
            child.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            child.pid = 0;
        }
        return child.pid <= 0;
    }
    std::vector<CliResult> Wait(int timeoutMs)
    {
        Release();
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<CliResult> results;
        for (size_t i = 0; i < m_children.size(); ++i) {
            while (!Exited(i) && Clock::now() < deadline) usleep(1000);
            Child& child = m_children[i];
            if (!Exited(i)) {
                kill(child.pid, SIGKILL);
                waitpid(child.pid, nullptr, 0);
                child.pid = 0;
            }
            results.push_back({child.status, ReadTextFile(child.base + ".out"),
                               ReadTextFile(child.base + ".err")});
        }
        return results;
    }

private:
    struct Child {
        pid_t pid;  // 0 once reaped
        int status;
        std::string base;
    };
    std::string m_dir;
    int m_gate[2];
    std::vector<Child> m_children;
};

// What a round must end with besides losing nothing.
struct Round {
    std::vector<Job> jobs;
    // Every job exits 0 and no AppId is left in two sections.
    bool bAllSucceed = false;
    // CurDefs at the end ("": unchecked); then hubs marked good must be whole.
    std::string cur;
};

class RaceTest : public SandboxTest {
protected:
    const std::string defs = sandbox.DefsDir();
    std::set<std::string> appIds = {"appA", "appB"};  // every AppId a test may register

    void SetUp() override
    {
        for (int i = 0; i < kParallelSets; ++i) WriteSet(Source('0' + i), ParallelSet(i));
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

    // What a round may not leave behind, given the registrations before it
    // and what each job reported.
    Strings RoundProblems(const StoreView& before, const Round& round,
                          const std::vector<CliResult>& results)
    {
        StoreView view;
        Strings problems = ConsistencyProblems(defs, appIds, &view);
        std::set<std::string> mayBeRegistered;
        for (const auto& app : before.appsIn) mayBeRegistered.insert(app.first);
        for (size_t i = 0; i < round.jobs.size(); ++i) {
            const Strings& args = round.jobs[i].args;
            const int status = results[i].status;
            if (status < 0 || status >= 128 || (round.bAllSucceed && status != 0)) {
                problems.push_back(Shown(args) +
                                   (status < 0 ? " hung" : " exited " + std::to_string(status)) +
                                   ": " + results[i].err);
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
            if (round.bAllSucceed && app.second.size() > 1)
                problems.push_back(app.first + " is registered in " +
                                   std::to_string(app.second.size()) + " sections");
        }
        if (!view.appsIn.empty() && view.cur.empty())
            problems.push_back("AppIds are registered, but definfo.dat names no newest set");
        if (!round.cur.empty() && view.cur != round.cur)
            problems.push_back("CurDefs is " + view.cur + ", not the newest set " + round.cur);
        if (!round.cur.empty()) {
            for (const std::string& problem : HubProblems(defs, sandbox.DefutilsConf()))
                problems.push_back(problem);
        }
        return problems;
    }

    // Rounds on copies of the store that build makes, until the time budget
    // is spent. Reports every problem once, with the number of faulty rounds.
    void Rounds(const std::string& build, const std::function<Round(int round)>& setUp)
    {
        ASSERT_NO_FATAL_FAILURE(BuildStore(sandbox, build));
        const char* budget = getenv("QDU_RACE_SECONDS");
        const auto end = Clock::now() + std::chrono::duration<double>(budget ? atof(budget) : 10.0);
        std::map<std::string, int> kinds;
        int round = 0, faulty = 0;
        for (; round == 0 || (round < 200 && Clock::now() < end); ++round) {
            sandbox.RestoreStore(sandbox.Path("template"));
            const Round r = setUp(round);
            StoreView before;
            ConsistencyProblems(defs, appIds, &before);
            Batch batch(sandbox.Path("out"));
            for (const Job& job : r.jobs) batch.Start(job);
            const Strings problems = RoundProblems(before, r, batch.Wait(30000));
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
    Rounds("-i {A}; -n app0", [&](int round) {
        Round r;
        r.jobs = Registrations(1, 12);
        r.jobs.push_back({{"-u", "app0"},
                          round % 2 == 0 ? Strings{}
                                         : Strings{"QORDEFUTIL_SANDBOX_PAUSE=last-uninstall",
                                                   "QORDEFUTIL_SANDBOX_PAUSE_MS=5"}});
        for (char set : {'B', 'B', 'A'}) r.jobs.push_back({{"-i", Source(set)}});
        return r;
    });
}

// Eight installs of ever newer sets at once, in odd rounds with an older set
// waiting in incoming and four registrations that integrate it.
TEST_F(RaceTest, ParallelInstallsLeaveTheNewestSetCurrent)
{
    Rounds("-i {A}; -n app0", [&](int round) {
        Round r{round % 2 == 0 ? std::vector<Job>{} : Registrations(1, 4), true,
                ParallelSet(kParallelSets - 1).DirName()};
        if (round % 2 == 1)
            WriteSet(defs + "/incoming", ScriptSet('B'));
        for (int i = 0; i < kParallelSets; ++i) r.jobs.push_back({{"-i", Source('0' + i)}});
        return r;
    });
}

// Distinct AppIds register at once: six move away from a set they share,
// twelve join, and in odd rounds a newer set waiting in incoming is
// integrated by whichever gets the incoming lock, while sweeps of emptied
// sections run all around.
TEST_F(RaceTest, DistinctAppIdsMoveAndJoinDuringIntegration)
{
    Rounds("-i {Z}; -n app1; -n app2; -n app3; -n app4; -n app5; -n app6; -i {A}", [&](int round) {
        if (round % 2 == 1)
            WriteSet(defs + "/incoming", ScriptSet('B'));
        return Round{Registrations(1, 18), true, ""};
    });
}

// A command held inside a window by the pause seam while others run into
// it. The holder's state on disk tells when it has reached the window.
struct Window {
    const char* name;
    const char* build;       // the store before each round; "incoming": B waits there
    const char* holder;      // runs with the pause
    const char* point;       // the pause seam it stops at
    const char* reached;     // it is inside once "appX=S": appX is registered with S ("": none)
    const char* intruders;   // run one after the other inside the window
    bool bIntrudersSucceed;  // each must exit 0 (else it may fail, but lose nothing)
    const char* cur;         // CurDefs at the end ("": unchecked)
    const char* apps;        // every AppId registered at the end, and where
};

const Window kWindows[] = {
    // appA's move to B empties A's section; before the sweep deletes it, a
    // restore makes A current again and appB joins A's section.
    {"JoinDuringTheSweep", "-i {A}; -n appA; incoming", "-n appA", "sweep", "appA=B", "-r; -n appB",
     true, "A", "appA=B appB=A"},
    // The last AppId is gone and the store is about to be removed when
    // another AppId registers with the set the store still names...
    {"NewestDuringTheLastUninstall", "-i {A}; -n app1", "-u app1", "last-uninstall",
     "app1=", "-n app2", false, "", ""},
    // ... or a set is installed: if that reports success, the store holds it.
    {"InstallDuringTheLastUninstall", "-i {A}; -n app1", "-u app1", "last-uninstall",
     "app1=", "-i {B}", true, "B", ""},
};

class WindowTest : public RaceTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(WindowTest, ForcedWindowLosesNothing)
{
    const Window& window = kWindows[GetParam()];
    ASSERT_NO_FATAL_FAILURE(BuildStore(sandbox, window.build));
    const std::string reached = window.reached, reachedApp = reached.substr(0, reached.find('='));
    const std::string reachedSet = reached.back() == '=' ? "" : ScriptSet(reached.back()).DirName();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        sandbox.RestoreStore(sandbox.Path("template"));
        Batch holder(sandbox.Path("out"));
        holder.Start({Commands(window.holder, sandbox.Path("src"))[0],
                      {std::string("QORDEFUTIL_SANDBOX_PAUSE=") + window.point,
                       "QORDEFUTIL_SANDBOX_PAUSE_MS=1500"}},
                     true);
        const auto giveUp = Clock::now() + std::chrono::seconds(10);
        for (StoreView view; !holder.Exited(0) && Clock::now() < giveUp; usleep(1000)) {
            ConsistencyProblems(defs, appIds, &view);
            const Strings& in = view.appsIn[reachedApp];
            if (reachedSet.empty() ? in.empty() : std::count(in.begin(), in.end(), reachedSet) != 0)
                break;
        }
        usleep(30000);  // well inside the pause
        ASSERT_FALSE(holder.Exited(0))
            << window.holder << " ended before the test saw it reach the \"" << window.point
            << "\" pause, so the window was not forced";

        const std::vector<Strings> intruders = Commands(window.intruders, sandbox.Path("src"));
        std::vector<CliResult> results;
        CliOptions limited;
        limited.timeLimitSeconds = 30;
        for (const Strings& args : intruders) results.push_back(RunCli(args, limited));
        const CliResult held = holder.Wait(30000)[0];
        EXPECT_EQ(held.status, 0) << held.err;

        StoreView view;
        EXPECT_EQ(ConsistencyProblems(defs, appIds, &view), Strings{});
        for (size_t i = 0; i < intruders.size(); ++i) {
            const Strings& args = intruders[i];
            EXPECT_FALSE(results[i].timedOut) << Shown(args) << " hung";
            EXPECT_TRUE(args[0] != "-n" || results[i].status != 0 ||
                        !view.RegisteredSet(args[1]).empty())
                << Shown(args) << " exited 0 inside the window, and its registration is lost";
            EXPECT_TRUE(!window.bIntrudersSucceed || results[i].status == 0)
                << Shown(args) << ": " << results[i].err;
        }
        if (*window.cur != '\0') {
            EXPECT_EQ(view.cur, ScriptSet(*window.cur).DirName());
        }
        std::istringstream words(window.apps);
        for (std::string word; words >> word;) {
            EXPECT_EQ(view.RegisteredSet(word.substr(0, word.find('='))),
                      ScriptSet(word.back()).DirName())
                << word;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pause, WindowTest, ::testing::Range<size_t>(0, std::size(kWindows)),
                         [](const auto& info) { return std::string(kWindows[info.param].name); });

}  // namespace
