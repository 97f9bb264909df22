// The newest (-n) and uninstall (-u) commands, observed on disk through the
// sandbox build of the program.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

struct ResultRow {
    const char* name;
    int setup;  // 0: no store, 1: no BaseDir, 2: store with one set, 3: and "app" registered
    Names args;
    int status;
    const char* err;
};

const ResultRow kResultRows[] = {
    {"NewestRegisters", 2, {"-n", "app"}, 0, ""},
    {"NewestUnknownContentType", 2, {"-n", "app", "NoSuchType"}, 15, kNoType},
    {"NewestWithoutBaseDir", 1, {"-n", "app"}, 5, kNoInit},
    {"NewestWithoutDefInfo", 0, {"-n", "app"}, 10,
     "Command failed: Failure in installing the application with the newest defintions.\n"},
    {"UninstallRegistered", 3, {"-u", "app"}, 0, ""},
    {"UninstallUnknownContentType", 3, {"-u", "app", "NoSuchType"}, 15, kNoType},
    {"UninstallWithoutBaseDir", 1, {"-u", "app"}, 5, kNoInit},
    {"UninstallNotRegistered", 2, {"-u", "app"}, 6,
     "Command failed: Failure in uninstalling an application from using definitions.\n"},
};

class NewestUninstallResultTest : public SandboxTest,
                                  public ::testing::WithParamInterface<ResultRow> {};

TEST_P(NewestUninstallResultTest, ExitStatusAndMessage)
{
    const ResultRow& row = GetParam();
    if (row.setup == 1)
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\n");
    if (row.setup >= 2) {
        WriteSet(sandbox.DefsDir() + "/" + SetName(kCur), SetSpec{kCur});
        WriteDefInfo(sandbox.DefsDir(), SetName(kCur), SetName(kCur));
    }
    if (row.setup == 3)
        WriteTextFile(sandbox.DefsDir() + "/usage.dat", "[" + SetName(kCur) + "]\napp=1\n");
    CliResult r = RunCli(row.args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Commands, NewestUninstallResultTest, ::testing::ValuesIn(kResultRows),
                         [](const ::testing::TestParamInfo<ResultRow>& info) {
                             return std::string(info.param.name);
                         });

class NewestUninstallTest : public SandboxTest {};

// The incoming set, with a main file in capitals and a cleanup pattern, is
// seeded from the newest set, laid over it and owned like the store.
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

// The last AppId leaving takes the store and its own configuration section
// with it, but not the rest of the configuration file.
TEST_F(NewestUninstallTest, UninstallOfLastAppIdRemovesTheStore)
{
    const std::string defs = sandbox.DefsDir();
    WriteSet(defs + "/" + SetName(kCur), SetSpec{kCur});
    WriteDefInfo(defs, SetName(kCur), SetName(kCur));
    WriteTextFile(defs + "/usage.dat", "[" + SetName(kCur) + "]\napp1=1\n");
    sandbox.WriteDefutilsConf("[keep]\nx=1\n[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=1\n");
    CliResult r = RunCli({"-u", "app1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(PathExists(defs));
    EXPECT_TRUE(PathExists(sandbox.BaseDir()));
    EXPECT_EQ(ReadTextFile(sandbox.DefutilsConf()), "[keep]\nx=1\n");
}

}  // namespace
