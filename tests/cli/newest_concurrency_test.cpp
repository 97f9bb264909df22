// The newest command under concurrent runs and under a copy that fails
// half-way, through the sandbox build of the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

const DefDate kCur = {2024, 1, 2, 7};
const DefDate kNew = {2024, 2, 3, 5};
constexpr int kProcesses = 32;

typedef std::vector<std::string> Names;

// Starts the sandbox program without waiting for it; its output is thrown
// away. A file size limit makes every write beyond it fail with EFBIG (the
// signal that would kill the process is ignored, and stays ignored across
// exec).
pid_t Spawn(const Names& args, rlim_t fileSizeLimit = RLIM_INFINITY)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("qordefutil"));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDIN_FILENO);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        if (fileSizeLimit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(QDU_SANDBOX_CLI, argv.data());
        _exit(127);
    }
    return pid;
}

int WaitStatus(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string AppId(int i)
{
    return "app" + std::to_string(100 + i);
}

class NewestConcurrencyTest : public SandboxTest {
protected:
    std::string Defs() const { return sandbox.DefsDir(); }
    void StoreWithCurrentSet()
    {
        WriteSet(Defs() + "/" + SetName(kCur), SetSpec{kCur, {{"a.dat", "a"}}});
        WriteDefInfo(Defs(), SetName(kCur), SetName(kCur));
    }

    struct Outcome {
        std::vector<int> statuses;
        std::vector<std::string> sections;
        std::map<std::string, int> entries;  // "AppId=1" -> occurrences
    };

    // Runs `-n` for kProcesses distinct AppIds at once.
    Outcome RegisterAllAtOnce()
    {
        Outcome outcome;
        std::vector<pid_t> pids;
        for (int i = 0; i < kProcesses; ++i)
            pids.push_back(Spawn({"-n", AppId(i)}));
        for (pid_t pid : pids)
            outcome.statuses.push_back(WaitStatus(pid));
        for (const auto& section : ReadSections(Defs() + "/usage.dat")) {
            outcome.sections.push_back(section.first);
            for (const std::string& entry : section.second)
                ++outcome.entries[entry];
        }
        return outcome;
    }

    static bool Registered(const Outcome& outcome, int i)
    {
        auto it = outcome.entries.find(AppId(i) + "=1");
        return it != outcome.entries.end() && it->second == 1;
    }

    void ExpectEachRegisteredOnce(const Outcome& outcome)
    {
        EXPECT_EQ(outcome.statuses, std::vector<int>(kProcesses, 0));
        EXPECT_EQ(outcome.sections, Names{SetName(kCur)});
        for (int i = 0; i < kProcesses; ++i)
            EXPECT_TRUE(Registered(outcome, i)) << AppId(i);
    }
};

// With usage.dat in place every registration is one profile write, which
// the engine's record lock serialises.
TEST_F(NewestConcurrencyTest, ConcurrentRunsRegisterEveryAppIdOnce)
{
    StoreWithCurrentSet();
    WriteTextFile(Defs() + "/usage.dat", "[" + SetName(kCur) + "]\nseed=1\n");
    Outcome outcome = RegisterAllAtOnce();
    ExpectEachRegisteredOnce(outcome);
    EXPECT_EQ(outcome.entries["seed=1"], 1);
    EXPECT_EQ(outcome.entries.size(), static_cast<size_t>(kProcesses + 1));
}

// The first registrations race to create usage.dat; each of them must end
// up in the one file.
TEST_F(NewestConcurrencyTest, ConcurrentFirstRegistrationsShareOneUsageFile)
{
    StoreWithCurrentSet();
    Outcome outcome = RegisterAllAtOnce();
    ExpectEachRegisteredOnce(outcome);
    EXPECT_EQ(outcome.entries.size(), static_cast<size_t>(kProcesses));
}

// Known failure, kept disabled: a registration can be lost when a newest
// run integrates a new set while another AppId joins the set being left.
//
// appA is the only user of X, the newest set; a complete set N waits in
// "incoming". `-n appA` takes the incoming lock and integrates N; `-n appB`
// finds the lock taken, reads CurDefs while it still names X, and registers
// with X. appA then moves to N: UpdateUsageFile writes appA into N, deletes
// appA from X, finds X's section empty (SectionIsEmpty) and deletes the
// whole section. Each of those is a separate profile call, locked only for
// its own duration. When appB's entry is written into X after appA's
// SectionIsEmpty and before appA's section delete, the delete takes appB's
// entry with it: appB is registered nowhere. (X itself survives, as it is
// now LastDefs.) RegistrationTest.SweptSectionTakesAJoiningAppIdWithIt
// replays that interleaving step by step.
TEST_F(NewestConcurrencyTest, DISABLED_MoveAndJoinDuringIntegrationKeepBoth)
{
    for (int round = 0; round < 200; ++round) {
        RemoveTree(Defs());
        StoreWithCurrentSet();
        WriteTextFile(Defs() + "/usage.dat", "[" + SetName(kCur) + "]\nappA=1\n");
        WriteSet(Defs() + "/incoming", SetSpec{kNew, {{"b.dat", "b"}}});
        pid_t a = Spawn({"-n", "appA"});
        pid_t b = Spawn({"-n", "appB"});
        ASSERT_EQ(WaitStatus(a), 0);
        ASSERT_EQ(WaitStatus(b), 0);
        std::string usage = ReadTextFile(Defs() + "/usage.dat");
        ASSERT_NE(usage.find("appA=1"), std::string::npos) << "round " << round;
        ASSERT_NE(usage.find("appB=1"), std::string::npos) << "round " << round << "\n" << usage;
    }
}

// --- A copy that fails half-way --------------------------------------------

struct CopyFaultRow {
    const char* name;
    bool bigFileInNewestSet;  // else in the incoming set
};

class NewestCopyFaultTest : public NewestConcurrencyTest,
                            public ::testing::WithParamInterface<CopyFaultRow> {};

const CopyFaultRow kCopyFaultRows[] = {
    {"SeedingFromNewestSetFails", true},
    {"CopyFromIncomingFails", false},
};

TEST_P(NewestCopyFaultTest, NoHalfBuiltSetAndDefInfoUnchanged)
{
    const CopyFaultRow& row = GetParam();
    constexpr rlim_t kLimit = 64 * 1024;
    const std::string big(4 * kLimit, 'x');
    SetSpec current{kCur, {{"a.dat", "a"}}};
    SetSpec incoming{kNew, {{"b.dat", "b"}}};
    (row.bigFileInNewestSet ? current : incoming).files["big.dat"] = big;
    WriteSet(Defs() + "/" + SetName(kCur), current);
    WriteDefInfo(Defs(), SetName(kCur), SetName(kCur));
    WriteSet(Defs() + "/incoming", incoming);
    const std::string defInfoBefore = ReadTextFile(Defs() + "/definfo.dat");
    const Names currentBefore = ListDir(Defs() + "/" + SetName(kCur));

    // Integration failures are advisory: the AppId still gets the newest set.
    ASSERT_EQ(WaitStatus(Spawn({"-n", "app1"}, kLimit)), 0);

    EXPECT_EQ(ListDir(Defs()), (Names{SetName(kCur), "definfo.dat", "incoming", "usage.dat"}));
    EXPECT_EQ(ReadTextFile(Defs() + "/definfo.dat"), defInfoBefore);
    EXPECT_EQ(ListDir(Defs() + "/" + SetName(kCur)), currentBefore);
    EXPECT_EQ(ReadTextFile(Defs() + "/usage.dat"), "[" + SetName(kCur) + "]\napp1=1\n");
    // A set that failed to integrate is dropped rather than retried forever.
    EXPECT_EQ(ListDir(Defs() + "/incoming"), Names{});
}

INSTANTIATE_TEST_SUITE_P(Newest, NewestCopyFaultTest, ::testing::ValuesIn(kCopyFaultRows),
                         [](const ::testing::TestParamInfo<CopyFaultRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
