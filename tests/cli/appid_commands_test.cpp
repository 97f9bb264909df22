// The commands that take an AppId (getcurrentdefs, newest, uninstall)
// through the sandbox build of the program: results, integration of an
// incoming set, concurrent runs and a copy that fails half-way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

const DefDate kCur = {2024, 1, 2, 7};
const DefDate kNew = {2024, 2, 3, 5};
const std::string kCurName = SetName(kCur);  // "20240102.007"
const char kNoType[] = "Command failed: The specified content type could not be found.\n";
const char kNoLocation[] =
    "Command failed: Failure in getting the location of current definitions.\n";

typedef std::vector<std::string> Names;

enum Setup { kNoStore, kNoBaseDir, kStore, kRegistered, kSetDeleted, kNoUsage, kTypeStore };

struct ResultRow {
    const char* name;
    Setup setup;  // kRegistered and later: "app" registered with kCur
    Names args;
    int status;
    std::string out;  // below the base directory, without the line end
    const char* err;
};

const ResultRow kResultRows[] = {
    {"GetRegistered", kRegistered, {"-g", "app"}, 0, "/virusdefs/" + kCurName, ""},
    {"GetLongAnyCase", kRegistered, {"--getcurrentdefs", "APP"}, 0, "/virusdefs/" + kCurName, ""},
    {"GetUnregistered", kStore, {"-g", "app"}, 4, "", kNoLocation},
    {"GetDeletedSet", kSetDeleted, {"-g", "app"}, 4, "", kNoLocation},
    {"GetMissingUsageFile", kNoUsage, {"-g", "app"}, 4, "", kNoLocation},
    {"GetUnknownContentType", kRegistered, {"-g", "app", "NoSuchType"}, 15, "", kNoType},
    {"GetTypeAnyCase", kTypeStore, {"-g", "app", "MyType"}, 0, "/tvlxdata/mytype/" + kCurName, ""},
    {"GetWithoutBaseDir", kNoBaseDir, {"-g", "app"}, 5, "",
     "Command failed: Failure in initializing the application.\n"},
    {"NewestRegisters", kStore, {"-n", "app"}, 0, "", ""},
    {"NewestUnknownContentType", kStore, {"-n", "app", "NoSuchType"}, 15, "", kNoType},
    {"NewestWithoutDefInfo", kNoStore, {"-n", "app"}, 10, "",
     "Command failed: Failure in installing the application with the newest defintions.\n"},
    {"UninstallRegistered", kRegistered, {"-u", "app"}, 0, "", ""},
    {"UninstallUnknownContentType", kRegistered, {"-u", "app", "NoSuchType"}, 15, "", kNoType},
    {"UninstallNotRegistered", kStore, {"-u", "app"}, 6, "",
     "Command failed: Failure in uninstalling an application from using definitions.\n"},
};

class AppIdCommandTest : public SandboxTest, public ::testing::WithParamInterface<ResultRow> {};

TEST_P(AppIdCommandTest, ExitStatusAndOutput)
{
    const ResultRow& row = GetParam();
    const std::string defs =
        row.setup == kTypeStore ? sandbox.BaseDir() + "/tvlxdata/mytype" : sandbox.DefsDir();
    if (row.setup == kNoBaseDir)
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\n");
    if (row.setup >= kStore) {
        WriteSet(defs + "/" + kCurName, SetSpec{kCur});
        WriteDefInfo(defs, kCurName, kCurName);
    }
    if (row.setup >= kRegistered)
        WriteTextFile(defs + "/usage.dat", "[" + kCurName + "]\napp=1\n");
    if (row.setup == kSetDeleted)
        RemoveTree(defs + "/" + kCurName);
    if (row.setup == kNoUsage)
        unlink((defs + "/usage.dat").c_str());
    CliResult r = RunCli(row.args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.out, row.out.empty() ? "" : sandbox.BaseDir() + row.out + "\n");
    // Looking up a content type never creates its store; the last AppId
    // leaving takes the store with it.
    EXPECT_FALSE(PathExists(sandbox.BaseDir() + "/tvlxdata/nosuchtype"));
    EXPECT_TRUE(row.args[0] != "-u" || row.status != 0 || !PathExists(defs));
}

INSTANTIATE_TEST_SUITE_P(Commands, AppIdCommandTest, ::testing::ValuesIn(kResultRows),
                         [](const ::testing::TestParamInfo<ResultRow>& info) {
                             return std::string(info.param.name);
                         });

class NewestUninstallTest : public SandboxTest {
protected:
    std::string defs = sandbox.DefsDir();
    // The store with kCur newest and, when given, an incoming set.
    void MakeStore(const SetSpec& current, const SetSpec* incoming = nullptr)
    {
        RemoveTree(defs);
        WriteSet(defs + "/" + kCurName, current);
        WriteDefInfo(defs, kCurName, kCurName);
        if (incoming != nullptr)
            WriteSet(defs + "/incoming", *incoming);
    }
};

// The incoming set, with a main file in capitals and a cleanup pattern, is
// seeded from the newest set, laid over it and given the store's modes.
TEST_F(NewestUninstallTest, NewestIntegratesTheIncomingSet)
{
    const std::string setDir = defs + "/" + SetName(kNew);
    SetSpec incoming{kNew, {{"B.DAT", "new b"}}, {}, {"*.tmp"}};
    incoming.virscanName = "VIRSCAN1.DAT";
    MakeStore(SetSpec{kCur, {{"a.dat", "old a"}, {"b.dat", "old b"}, {"x.tmp", "t"}}}, &incoming);
    chmod(defs.c_str(), 0750);  // not the store's default, so inheritance shows

    CliResult r = RunCli({"-n", "app1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListDir(setDir), (Names{"a.dat", "b.dat", "catalog.dat", "virscan1.dat"}));
    EXPECT_EQ(ReadTextFile(setDir + "/a.dat"), "old a");
    EXPECT_EQ(ReadTextFile(setDir + "/b.dat"), "new b");
    EXPECT_EQ(ReadTextFile(setDir + "/virscan1.dat"), VirscanHeader(kNew) + "body");
    EXPECT_EQ(ReadTextFile(defs + "/definfo.dat"),
              "[DefDates]\nLastDefs=" + kCurName + "\nCurDefs=" + SetName(kNew) + "\n");
    EXPECT_EQ(ListDir(defs + "/incoming"), Names{});
    EXPECT_EQ(ReadTextFile(defs + "/usage.dat"), "[" + SetName(kNew) + "]\napp1=1\n");
    EXPECT_TRUE(PathExists(defs + "/" + kCurName));
    EXPECT_EQ(PathMode(setDir), 0750);
    for (const std::string& name : ListDir(setDir))
        EXPECT_EQ(PathMode(setDir + "/" + name), 0640) << name;
    EXPECT_EQ(PathMode(defs + "/usage.dat"), 0640);
}

// An incoming set waits while it is incomplete or while another process
// holds the incoming lock; a lock abandoned for 30 minutes is broken.
TEST_F(NewestUninstallTest, IncomingSetWaitsForCompletenessAndTheLock)
{
    const struct {
        const char* name;
        bool complete;
        int lockAge;  // seconds; -1 for no lock
    } rows[] = {{"Incomplete", false, -1}, {"LockHeld", true, 1799}, {"LockStale", true, 1800}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string incoming = defs + "/incoming";
        SetSpec setSpec{kNew};
        if (!row.complete)
            setSpec.missingFiles = {"late.dat"};
        MakeStore(SetSpec{kCur}, &setSpec);
        if (row.lockAge >= 0) {
            WriteTextFile(incoming + "/inlock.dat", "");
            struct timeval times[2] = {{time(nullptr) - row.lockAge, 0},
                                       {time(nullptr) - row.lockAge, 0}};
            utimes((incoming + "/inlock.dat").c_str(), times);
        }
        Names before = ListDir(incoming);
        bool integrated = row.lockAge >= 1800;
        ASSERT_EQ(RunCli({"-n", "app"}).status, 0);
        EXPECT_EQ(DefInfoValue(defs, "CurDefs"), SetName(integrated ? kNew : kCur));
        EXPECT_EQ(ListDir(incoming), integrated ? Names{} : before);
    }
}

// Names in definfo.dat that are not set names never lead a clean-up out of
// the definitions directory.
TEST_F(NewestUninstallTest, LastUninstallIgnoresHostileSetNames)
{
    WriteSet(defs + "/" + kCurName, SetSpec{kCur});
    WriteTextFile(defs + "/definfo.dat", "[DefDates]\nCurDefs=..\nLastDefs=../..\n");
    WriteTextFile(defs + "/usage.dat", "[" + kCurName + "]\napp=1\n");
    WriteTextFile(sandbox.BaseDir() + "/keep.dat", "keep");
    ASSERT_EQ(RunCli({"-u", "app"}).status, 0);
    EXPECT_EQ(ReadTextFile(sandbox.BaseDir() + "/keep.dat"), "keep");
    EXPECT_FALSE(PathExists(defs + "/usage.dat"));
}

// Starts `-n appId` without waiting, output thrown away. Under the file size
// limit writes beyond it fail with EFBIG (SIGXFSZ stays ignored across exec).
pid_t Spawn(const std::string& appId, rlim_t fileSizeLimit = RLIM_INFINITY)
{
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            dup2(devnull, fd);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {fileSizeLimit, fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
        execl(QDU_SANDBOX_CLI, "qordefutil", "-n", appId.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int WaitStatus(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// With usage.dat in place every registration is one profile write, which
// the engine's record lock serialises; without it the first registrations
// race to create the file. Either way each AppId must end up in it once.
TEST_F(NewestUninstallTest, ConcurrentRunsRegisterEveryAppIdOnce)
{
    for (bool bSeeded : {true, false}) {
        SCOPED_TRACE(bSeeded ? "usage.dat present" : "no usage.dat");
        MakeStore(SetSpec{kCur, {{"a.dat", "a"}}});
        Names expected = {"[" + kCurName + "]"};
        if (bSeeded) {
            WriteTextFile(defs + "/usage.dat", "[" + kCurName + "]\nseed=1\n");
            expected.push_back("seed=1");
        }
        std::vector<pid_t> pids;
        for (int i = 100; i < 132; ++i) {
            pids.push_back(Spawn("app" + std::to_string(i)));
            expected.push_back("app" + std::to_string(i) + "=1");
        }
        for (pid_t pid : pids)
            EXPECT_EQ(WaitStatus(pid), 0);
        Names lines = PrefixedLines(ReadTextFile(defs + "/usage.dat"));
        std::sort(lines.begin(), lines.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(lines, expected);
    }
}

// Known failure, kept disabled: appA, sole user of the newest set X, moves to
// the incoming set N it integrates, while appB, finding the incoming lock
// taken, joins X. appA's move empties X's section and deletes it, each step
// locked only for itself; appB's entry written in between goes with it.
// RegistrationTest.SweptSectionTakesAJoiningAppIdWithIt replays this.
TEST_F(NewestUninstallTest, DISABLED_MoveAndJoinDuringIntegrationKeepBoth)
{
    for (int round = 0; round < 200; ++round) {
        const SetSpec incoming{kNew, {{"b.dat", "b"}}};
        MakeStore(SetSpec{kCur, {{"a.dat", "a"}}}, &incoming);
        WriteTextFile(defs + "/usage.dat", "[" + kCurName + "]\nappA=1\n");
        pid_t a = Spawn("appA"), b = Spawn("appB");
        ASSERT_EQ(WaitStatus(a), 0);
        ASSERT_EQ(WaitStatus(b), 0);
        std::string usage = ReadTextFile(defs + "/usage.dat");
        ASSERT_NE(usage.find("appA=1"), std::string::npos) << "round " << round;
        ASSERT_NE(usage.find("appB=1"), std::string::npos) << "round " << round << "\n" << usage;
    }
}

// A copy that fails half-way, whether it seeds from the newest set or
// copies from incoming, leaves no half-built set and definfo.dat as it was.
TEST_F(NewestUninstallTest, HalfWayCopyFailureLeavesNoTrace)
{
    constexpr rlim_t kLimit = 64 * 1024;
    for (bool bBigInNewest : {true, false}) {
        SCOPED_TRACE(bBigInNewest ? "seeding from the newest set" : "copying from incoming");
        SetSpec current{kCur, {{"a.dat", "a"}}}, incoming{kNew, {{"b.dat", "b"}}};
        (bBigInNewest ? current : incoming).files["big.dat"] = std::string(4 * kLimit, 'x');
        MakeStore(current, &incoming);
        const std::string defInfoBefore = ReadTextFile(defs + "/definfo.dat");
        const Names currentBefore = ListDir(defs + "/" + kCurName);

        // Integration failures are advisory: the AppId still gets the newest set.
        ASSERT_EQ(WaitStatus(Spawn("app1", kLimit)), 0);
        EXPECT_EQ(ListDir(defs), (Names{kCurName, "definfo.dat", "incoming", "usage.dat"}));
        EXPECT_EQ(ReadTextFile(defs + "/definfo.dat"), defInfoBefore);
        EXPECT_EQ(ListDir(defs + "/" + kCurName), currentBefore);
        EXPECT_EQ(ReadTextFile(defs + "/usage.dat"), "[" + kCurName + "]\napp1=1\n");
        // A set that failed to integrate is dropped rather than retried forever.
        EXPECT_EQ(ListDir(defs + "/incoming"), Names{});
    }
}

}  // namespace
