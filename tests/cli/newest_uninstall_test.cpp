// The newest (-n) and uninstall (-u) commands, observed on disk through the
// sandbox build of the program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

const DefDate kOld = {2024, 1, 1, 1};
const DefDate kCur = {2024, 1, 2, 7};
const DefDate kNew = {2024, 2, 3, 5};

typedef std::vector<std::string> Names;

class NewestUninstallTest : public SandboxTest {
public:
    Sandbox* Box() { return &sandbox; }
    std::string Defs() const { return sandbox.DefsDir(); }
    std::string Dir(const DefDate& date) const { return Defs() + "/" + SetName(date); }
    std::string Incoming() const { return Defs() + "/incoming"; }
    std::string Usage() const { return ReadTextFile(Defs() + "/usage.dat"); }
    void AddSet(const DefDate& date, const std::string& aContents = "a")
    {
        SetSpec spec{date, {{"a.dat", aContents}}, {}, {}};
        WriteSet(Dir(date), spec);
    }
    // A store whose newest and last set is kCur.
    void StoreWithCurrentSet()
    {
        AddSet(kCur);
        WriteDefInfo(Defs(), SetName(kCur), SetName(kCur));
    }
    void RegisterOnCurrentSet(const std::string& appId)
    {
        WriteTextFile(Defs() + "/usage.dat", "[" + SetName(kCur) + "]\n" + appId + "=1\n");
    }
};

// --- Result codes and messages ------------------------------------------------

struct ResultRow {
    const char* name;
    void (*setup)(NewestUninstallTest*);
    Names args;
    int status;
    const char* err;
};

void NoSetup(NewestUninstallTest*) {}
void NoBaseDir(NewestUninstallTest* t)
{
    t->Box()->WriteTarvolixConf("[Tarvolix Shared]\n");
}
void CurrentSet(NewestUninstallTest* t)
{
    t->StoreWithCurrentSet();
}
void Registered(NewestUninstallTest* t)
{
    t->StoreWithCurrentSet();
    t->RegisterOnCurrentSet("app");
}

class NewestUninstallResultTest : public NewestUninstallTest,
                                  public ::testing::WithParamInterface<ResultRow> {};

const ResultRow kResultRows[] = {
    {"NewestRegisters", CurrentSet, {"-n", "app"}, 0, ""},
    {"NewestUnknownContentType", CurrentSet, {"-n", "app", "NoSuchType"}, 15,
     "Command failed: The specified content type could not be found.\n"},
    {"NewestWithoutBaseDir", NoBaseDir, {"-n", "app"}, 5,
     "Command failed: Failure in initializing the application.\n"},
    {"NewestWithoutDefInfo", NoSetup, {"-n", "app"}, 10,
     "Command failed: Failure in installing the application with the newest defintions.\n"},
    {"UninstallRegistered", Registered, {"-u", "app"}, 0, ""},
    {"UninstallUnknownContentType", Registered, {"-u", "app", "NoSuchType"}, 15,
     "Command failed: The specified content type could not be found.\n"},
    {"UninstallWithoutBaseDir", NoBaseDir, {"-u", "app"}, 5,
     "Command failed: Failure in initializing the application.\n"},
    {"UninstallNotRegistered", CurrentSet, {"-u", "app"}, 6,
     "Command failed: Failure in uninstalling an application from using definitions.\n"},
};

TEST_P(NewestUninstallResultTest, ExitStatusAndMessage)
{
    const ResultRow& row = GetParam();
    row.setup(this);
    CliResult r = RunCli(row.args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Commands, NewestUninstallResultTest, ::testing::ValuesIn(kResultRows),
                         [](const ::testing::TestParamInfo<ResultRow>& info) {
                             return std::string(info.param.name);
                         });

// --- Integration of the incoming directory ------------------------------------

TEST_F(NewestUninstallTest, IncomingSetIsIntegratedSeededCleanedAndOwned)
{
    gid_t gid = UseDistinctStoreGroup(&sandbox);
    MakeDirs(Defs());
    chmod(Defs().c_str(), 0750);  // not the store's default, so inheritance shows
    WriteSet(Dir(kCur), SetSpec{kCur, {{"a.dat", "old a"}, {"b.dat", "old b"}, {"x.tmp", "t"}}});
    WriteDefInfo(Defs(), SetName(kCur), SetName(kCur));
    SetSpec incoming{kNew, {{"B.DAT", "new b"}}, {}, {"*.tmp"}};
    incoming.virscanName = "VIRSCAN1.DAT";
    WriteSet(Incoming(), incoming);

    CliResult r = RunCli({"-n", "app1"});
    ASSERT_EQ(r.status, 0) << r.err;

    const std::string setDir = Dir(kNew);
    EXPECT_EQ(ListDir(setDir), (Names{"a.dat", "b.dat", "catalog.dat", "virscan1.dat"}));
    EXPECT_EQ(ReadTextFile(setDir + "/a.dat"), "old a");
    EXPECT_EQ(ReadTextFile(setDir + "/b.dat"), "new b");
    EXPECT_EQ(ReadTextFile(setDir + "/virscan1.dat"), VirscanHeader(kNew) + "body");
    EXPECT_EQ(DefInfoValue(Defs(), "CurDefs"), SetName(kNew));
    EXPECT_EQ(DefInfoValue(Defs(), "LastDefs"), SetName(kCur));
    EXPECT_EQ(ListDir(Incoming()), Names{});
    EXPECT_EQ(Usage(), "[" + SetName(kNew) + "]\napp1=1\n");
    EXPECT_TRUE(PathExists(Dir(kCur)));

    EXPECT_EQ(PathMode(setDir), 0750);
    EXPECT_EQ(PathGroup(setDir), gid);
    for (const std::string& name : ListDir(setDir)) {
        EXPECT_EQ(PathMode(setDir + "/" + name), 0640) << name;
        EXPECT_EQ(PathGroup(setDir + "/" + name), gid) << name;
    }
    EXPECT_EQ(PathMode(Defs() + "/usage.dat"), 0640);
    EXPECT_EQ(PathGroup(Defs() + "/usage.dat"), gid);
}

TEST_F(NewestUninstallTest, FirstSetInEmptyStoreCreatesOwnedDefInfo)
{
    gid_t gid = UseDistinctStoreGroup(&sandbox);
    MakeDirs(Defs());
    chmod(Defs().c_str(), 0770);
    WriteSet(Incoming(), SetSpec{kNew, {{"a.dat", "a"}}});

    CliResult r = RunCli({"-n", "app1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadSections(Defs() + "/definfo.dat"),
              (decltype(ReadSections("")){{"DefDates", {"LastDefs=" + SetName(kNew),
                                                         "CurDefs=" + SetName(kNew)}}}));
    EXPECT_EQ(PathMode(Defs() + "/definfo.dat"), 0660);
    EXPECT_EQ(PathGroup(Defs() + "/definfo.dat"), gid);
    EXPECT_EQ(PathMode(Dir(kNew)), 0770);
    EXPECT_EQ(PathGroup(Dir(kNew)), gid);
}

struct RotationRow {
    const char* name;
    bool lastSetInUse;
    DefDate incoming;
    const char* expectCur;
    const char* expectLast;
    bool expectOldLastKept;
};

class NewestRotationTest : public NewestUninstallTest,
                           public ::testing::WithParamInterface<RotationRow> {};

const RotationRow kRotationRows[] = {
    {"UnusedLastSetIsDeleted", false, kNew, "20240203.005", "20240102.007", false},
    {"LastSetInUseStays", true, kNew, "20240203.005", "20240102.007", true},
    // Same date as the newest set: laid over it, and it becomes both sets.
    {"SameDateOverlaysNewest", false, kCur, "20240102.007", "20240102.007", false},
};

TEST_P(NewestRotationTest, CurDefsMovesToLastDefs)
{
    const RotationRow& row = GetParam();
    AddSet(kOld);
    AddSet(kCur);
    WriteDefInfo(Defs(), SetName(kCur), SetName(kOld));
    std::string usage = "[" + SetName(kCur) + "]\napp0=1\n";
    if (row.lastSetInUse)
        usage += "[" + SetName(kOld) + "]\nappOld=1\n";
    WriteTextFile(Defs() + "/usage.dat", usage);
    WriteSet(Incoming(), SetSpec{row.incoming, {{"z.dat", "fresh"}}});

    CliResult r = RunCli({"-n", "app1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(DefInfoValue(Defs(), "CurDefs"), row.expectCur);
    EXPECT_EQ(DefInfoValue(Defs(), "LastDefs"), row.expectLast);
    EXPECT_EQ(PathExists(Dir(kOld)), row.expectOldLastKept);
    EXPECT_TRUE(PathExists(Dir(kCur)));
    EXPECT_EQ(ReadTextFile(Defs() + "/" + row.expectCur + "/z.dat"), "fresh");
    EXPECT_EQ(ReadTextFile(Defs() + "/" + row.expectCur + "/a.dat"), "a");
}

INSTANTIATE_TEST_SUITE_P(Newest, NewestRotationTest, ::testing::ValuesIn(kRotationRows),
                         [](const ::testing::TestParamInfo<RotationRow>& info) {
                             return std::string(info.param.name);
                         });

struct IncomingRow {
    const char* name;
    bool complete;
    int lockAgeSeconds;  // -1: no lock file
    bool expectIntegrated;
};

class NewestIncomingTest : public NewestUninstallTest,
                           public ::testing::WithParamInterface<IncomingRow> {};

const IncomingRow kIncomingRows[] = {
    {"IncompleteSetStays", false, -1, false},
    {"HeldLockLeavesSetForLater", true, 0, false},
    {"StaleLockIsBroken", true, 1800, true},
};

TEST_P(NewestIncomingTest, IncomingSetWaitsOrIsTaken)
{
    const IncomingRow& row = GetParam();
    StoreWithCurrentSet();
    SetSpec spec{kNew, {{"b.dat", "b"}}, {}, {}};
    if (!row.complete)
        spec.missingFiles = {"late.dat"};
    WriteSet(Incoming(), spec);
    if (row.lockAgeSeconds >= 0) {
        WriteTextFile(Incoming() + "/inlock.dat", "");
        time_t then = time(nullptr) - row.lockAgeSeconds;
        struct utimbuf times = {then, then};
        utime((Incoming() + "/inlock.dat").c_str(), &times);
    }
    Names before = ListDir(Incoming());

    CliResult r = RunCli({"-n", "app1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const DefDate& used = row.expectIntegrated ? kNew : kCur;
    EXPECT_EQ(Usage(), "[" + SetName(used) + "]\napp1=1\n");
    EXPECT_EQ(DefInfoValue(Defs(), "CurDefs"), SetName(used));
    EXPECT_EQ(PathExists(Dir(kNew)), row.expectIntegrated);
    EXPECT_EQ(ListDir(Incoming()), row.expectIntegrated ? Names{} : before);
}

INSTANTIATE_TEST_SUITE_P(Newest, NewestIncomingTest, ::testing::ValuesIn(kIncomingRows),
                         [](const ::testing::TestParamInfo<IncomingRow>& info) {
                             return std::string(info.param.name);
                         });

// --- Registration moves -------------------------------------------------------

struct MoveRow {
    const char* name;
    const char* lastDefs;  // LastDefs value of definfo.dat
    const char* usageBefore;
    bool expectOldKept;
    const char* usageAfter;
};

class NewestMoveTest : public NewestUninstallTest, public ::testing::WithParamInterface<MoveRow> {};

const MoveRow kMoveRows[] = {
    {"OldSetLosingLastUserIsDeleted", "20240102.007", "[20240101.001]\napp1=1\n", false,
     "[20240102.007]\napp1=1\n"},
    {"OldSetNamedLastDefsStays", "20240101.001", "[20240101.001]\napp1=1\n", true,
     "[20240102.007]\napp1=1\n"},
    {"SharedOldSetStays", "20240102.007", "[20240101.001]\napp1=1\napp2=1\n", true,
     "[20240101.001]\napp2=1\n[20240102.007]\napp1=1\n"},
    {"EmptySectionsAreSwept", "20240102.007", "[gone]\n[20240101.001]\napp1=1\n[other]\n", false,
     "[20240102.007]\napp1=1\n"},
};

TEST_P(NewestMoveTest, AppIdEndsInNewestSection)
{
    const MoveRow& row = GetParam();
    AddSet(kOld);
    AddSet(kCur);
    WriteDefInfo(Defs(), SetName(kCur), row.lastDefs);
    WriteTextFile(Defs() + "/usage.dat", row.usageBefore);

    CliResult r = RunCli({"-n", "app1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Usage(), row.usageAfter);
    EXPECT_EQ(PathExists(Dir(kOld)), row.expectOldKept);
    EXPECT_TRUE(PathExists(Dir(kCur)));
}

INSTANTIATE_TEST_SUITE_P(Newest, NewestMoveTest, ::testing::ValuesIn(kMoveRows),
                         [](const ::testing::TestParamInfo<MoveRow>& info) {
                             return std::string(info.param.name);
                         });

// --- Uninstall ----------------------------------------------------------------

TEST_F(NewestUninstallTest, UninstallingOneOfTwoAppIdsKeepsTheSet)
{
    StoreWithCurrentSet();
    RegisterOnCurrentSet("app1");
    WriteTextFile(Defs() + "/usage.dat", Usage() + "app2=1\n");
    CliResult r = RunCli({"-u", "app1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Usage(), "[" + SetName(kCur) + "]\napp2=1\n");
    EXPECT_TRUE(PathExists(Dir(kCur) + "/a.dat"));
}

struct CleanupRow {
    const char* name;
    const char* contentType;  // null: default content
    bool otherContentPresent;
    const char* defutilsConf;  // null: no file
    const char* defutilsAfter;  // null: file must be gone
    const char* expectGone;     // relative to the base directory
    const char* expectKept;     // relative to the base directory, or null
};

const CleanupRow kCleanupRows[] = {
    {"DefaultStoreRemoved", nullptr, false, nullptr, nullptr, "virusdefs", nullptr},
    {"EmptiedDefutilsConfDeleted", nullptr, false,
     "[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=1\n", nullptr, "virusdefs", nullptr},
    {"DefutilsConfWithOtherSectionsKept", nullptr, false,
     "[keep]\nx=1\n[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=1\n", "[keep]\nx=1\n",
     "virusdefs", nullptr},
    {"AltContentRemovesTvlxdata", "Email", false, "[tvlxdata-email-microdefs]\nLastBinUpdate=0\n",
     nullptr, "tvlxdata", nullptr},
    {"AltContentKeepsSharedTvlxdata", "Email", true, nullptr, nullptr, "tvlxdata/email",
     "tvlxdata/web"},
};

class UninstallCleanupTest : public NewestUninstallTest,
                             public ::testing::WithParamInterface<CleanupRow> {};

TEST_P(UninstallCleanupTest, LastAppIdRemovesTheStore)
{
    const CleanupRow& row = GetParam();
    std::string defs = row.contentType != nullptr
                           ? sandbox.BaseDir() + "/tvlxdata/" + "email"
                           : Defs();
    SetSpec spec{kCur, {{"a.dat", "a"}}, {}, {}};
    WriteSet(defs + "/" + SetName(kCur), spec);
    WriteSet(defs + "/" + SetName(kOld), SetSpec{kOld, {}, {}, {}});
    WriteDefInfo(defs, SetName(kCur), SetName(kOld));
    WriteTextFile(defs + "/usage.dat", "[" + SetName(kCur) + "]\napp1=1\n");
    MakeDirs(defs + "/incoming");
    if (row.otherContentPresent)
        MakeDirs(sandbox.BaseDir() + "/tvlxdata/web");
    if (row.defutilsConf != nullptr)
        sandbox.WriteDefutilsConf(row.defutilsConf);

    Names args = {"-u", "app1"};
    if (row.contentType != nullptr)
        args.push_back(row.contentType);
    CliResult r = RunCli(args);
    ASSERT_EQ(r.status, 0) << r.err;

    EXPECT_FALSE(PathExists(sandbox.BaseDir() + "/" + row.expectGone));
    if (row.expectKept != nullptr) {
        EXPECT_TRUE(PathExists(sandbox.BaseDir() + "/" + row.expectKept));
    }
    EXPECT_TRUE(PathExists(sandbox.BaseDir()));
    if (row.defutilsAfter == nullptr) {
        EXPECT_FALSE(PathExists(sandbox.DefutilsConf()));
    } else {
        EXPECT_EQ(ReadTextFile(sandbox.DefutilsConf()), row.defutilsAfter);
    }
}

INSTANTIATE_TEST_SUITE_P(Uninstall, UninstallCleanupTest, ::testing::ValuesIn(kCleanupRows),
                         [](const ::testing::TestParamInfo<CleanupRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
