// The commands that take an AppId (getcurrentdefs, newest, uninstall),
// observed on disk through the sandbox build of the program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

const DefDate kCur = {2024, 1, 2, 7};
const DefDate kNew = {2024, 2, 3, 5};
const char kNoType[] = "Command failed: The specified content type could not be found.\n";
const char kNoInit[] = "Command failed: Failure in initializing the application.\n";

typedef std::vector<std::string> Names;

const char kNoLocation[] =
    "Command failed: Failure in getting the location of current definitions.\n";
const std::string kSet = "/20240102.007";  // kCur's directory

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
    {"GetRegistered", kRegistered, {"-g", "app"}, 0, "/virusdefs" + kSet, ""},
    {"GetLongOptionAnyCase", kRegistered, {"--getcurrentdefs", "APP"}, 0, "/virusdefs" + kSet, ""},
    {"GetUnregistered", kStore, {"-g", "app"}, 4, "", kNoLocation},
    {"GetDeletedSet", kSetDeleted, {"-g", "app"}, 4, "", kNoLocation},
    {"GetMissingUsageFile", kNoUsage, {"-g", "app"}, 4, "", kNoLocation},
    {"GetUnknownContentType", kRegistered, {"-g", "app", "NoSuchType"}, 15, "", kNoType},
    {"GetMixedCaseType", kTypeStore, {"-g", "app", "MyType"}, 0, "/tvlxdata/mytype" + kSet, ""},
    {"GetWithoutBaseDir", kNoBaseDir, {"-g", "app"}, 5, "", kNoInit},
    {"NewestRegisters", kStore, {"-n", "app"}, 0, "", ""},
    {"NewestUnknownContentType", kStore, {"-n", "app", "NoSuchType"}, 15, "", kNoType},
    {"NewestWithoutBaseDir", kNoBaseDir, {"-n", "app"}, 5, "", kNoInit},
    {"NewestWithoutDefInfo", kNoStore, {"-n", "app"}, 10, "",
     "Command failed: Failure in installing the application with the newest defintions.\n"},
    {"UninstallRegistered", kRegistered, {"-u", "app"}, 0, "", ""},
    {"UninstallUnknownContentType", kRegistered, {"-u", "app", "NoSuchType"}, 15, "", kNoType},
    {"UninstallWithoutBaseDir", kNoBaseDir, {"-u", "app"}, 5, "", kNoInit},
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
        WriteSet(defs + kSet, SetSpec{kCur});
        WriteDefInfo(defs, SetName(kCur), SetName(kCur));
    }
    if (row.setup >= kRegistered)
        WriteTextFile(defs + "/usage.dat", "[" + SetName(kCur) + "]\napp=1\n");
    if (row.setup == kSetDeleted)
        RemoveTree(defs + kSet);
    if (row.setup == kNoUsage)
        unlink((defs + "/usage.dat").c_str());
    CliResult r = RunCli(row.args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.out, row.out.empty() ? "" : sandbox.BaseDir() + row.out + "\n");
    // Looking up a content type never creates its store; the last AppId
    // leaving takes the store with it.
    EXPECT_FALSE(PathExists(sandbox.BaseDir() + "/tvlxdata/nosuchtype"));
    if (row.args[0] == "-u" && row.status == 0) {
        EXPECT_FALSE(PathExists(defs));
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, AppIdCommandTest, ::testing::ValuesIn(kResultRows),
                         [](const ::testing::TestParamInfo<ResultRow>& info) {
                             return std::string(info.param.name);
                         });

class NewestUninstallTest : public SandboxTest {};

// The incoming set, with a main file in capitals and a cleanup pattern, is
// seeded from the newest set, laid over it and given the store's modes.
TEST_F(NewestUninstallTest, NewestIntegratesTheIncomingSet)
{
    const std::string defs = sandbox.DefsDir(), setDir = defs + "/" + SetName(kNew);
    MakeDirs(defs);
    chmod(defs.c_str(), 0750);  // not the store's default, so inheritance shows
    WriteSet(defs + "/" + SetName(kCur),
             SetSpec{kCur, {{"a.dat", "old a"}, {"b.dat", "old b"}, {"x.tmp", "t"}}});
    WriteDefInfo(defs, SetName(kCur), SetName(kCur));
    SetSpec incoming{kNew, {{"B.DAT", "new b"}}, {}, {"*.tmp"}};
    incoming.virscanName = "VIRSCAN1.DAT";
    WriteSet(defs + "/incoming", incoming);

    CliResult r = RunCli({"-n", "app1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListDir(setDir), (Names{"a.dat", "b.dat", "catalog.dat", "virscan1.dat"}));
    EXPECT_EQ(ReadTextFile(setDir + "/a.dat"), "old a");
    EXPECT_EQ(ReadTextFile(setDir + "/b.dat"), "new b");
    EXPECT_EQ(ReadTextFile(setDir + "/virscan1.dat"), VirscanHeader(kNew) + "body");
    EXPECT_EQ(ReadTextFile(defs + "/definfo.dat"),
              "[DefDates]\nLastDefs=" + SetName(kCur) + "\nCurDefs=" + SetName(kNew) + "\n");
    EXPECT_EQ(ListDir(defs + "/incoming"), Names{});
    EXPECT_EQ(ReadTextFile(defs + "/usage.dat"), "[" + SetName(kNew) + "]\napp1=1\n");
    EXPECT_TRUE(PathExists(defs + "/" + SetName(kCur)));
    EXPECT_EQ(PathMode(setDir), 0750);
    for (const std::string& name : ListDir(setDir))
        EXPECT_EQ(PathMode(setDir + "/" + name), 0640) << name;
    EXPECT_EQ(PathMode(defs + "/usage.dat"), 0640);
}

struct IncomingRow {
    const char* name;
    bool complete;
    int lockAge;  // seconds; -1 for no lock
    bool integrated;
};

// An incoming set waits while it is incomplete or while another process
// holds the incoming lock; a lock abandoned for 30 minutes is broken.
TEST_F(NewestUninstallTest, IncomingSetWaitsForCompletenessAndTheLock)
{
    const IncomingRow rows[] = {{"Incomplete", false, -1, false},
                                {"LockHeld", true, 1799, false},
                                {"LockStale", true, 1800, true}};
    for (const IncomingRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string defs = sandbox.DefsDir(), incoming = defs + "/incoming";
        RemoveTree(defs);
        WriteSet(defs + "/" + SetName(kCur), SetSpec{kCur});
        WriteDefInfo(defs, SetName(kCur), SetName(kCur));
        SetSpec setSpec{kNew};
        if (!row.complete)
            setSpec.missingFiles = {"late.dat"};
        WriteSet(incoming, setSpec);
        if (row.lockAge >= 0) {
            WriteTextFile(incoming + "/inlock.dat", "");
            struct timeval times[2] = {{time(nullptr) - row.lockAge, 0},
                                       {time(nullptr) - row.lockAge, 0}};
            utimes((incoming + "/inlock.dat").c_str(), times);
        }
        Names before = ListDir(incoming);
        ASSERT_EQ(RunCli({"-n", "app"}).status, 0);
        EXPECT_EQ(DefInfoValue(defs, "CurDefs"), SetName(row.integrated ? kNew : kCur));
        EXPECT_EQ(ListDir(incoming), row.integrated ? Names{} : before);
    }
}

// Names in definfo.dat that are not set names never lead a clean-up out of
// the definitions directory.
TEST_F(NewestUninstallTest, LastUninstallIgnoresHostileSetNames)
{
    const std::string defs = sandbox.DefsDir();
    WriteSet(defs + "/" + SetName(kCur), SetSpec{kCur});
    WriteTextFile(defs + "/definfo.dat", "[DefDates]\nCurDefs=..\nLastDefs=../..\n");
    WriteTextFile(defs + "/usage.dat", "[" + SetName(kCur) + "]\napp=1\n");
    WriteTextFile(sandbox.BaseDir() + "/keep.dat", "keep");
    ASSERT_EQ(RunCli({"-u", "app"}).status, 0);
    EXPECT_EQ(ReadTextFile(sandbox.BaseDir() + "/keep.dat"), "keep");
    EXPECT_FALSE(PathExists(defs + "/usage.dat"));
}

}  // namespace
