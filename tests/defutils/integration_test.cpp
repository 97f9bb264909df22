// Integration of new sets: the copy walks, IntegrateDefs, the definfo.dat
// rotation and the incoming directory, on a store manager in a sandbox.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

const DefDate kLast = {2023, 12, 30, 2};
const DefDate kCur = {2024, 1, 2, 7};
const DefDate kNew = {2024, 2, 3, 5};

typedef std::vector<std::string> Names;

class IntegrationTest : public SandboxTest {
protected:
    std::string Defs() const { return sandbox.DefsDir(); }
    std::string Dir(const DefDate& date) const { return Defs() + "/" + SetName(date); }
    std::string Src() const { return sandbox.Path("src"); }
    void AddSet(const DefDate& date) { WriteSet(Dir(date), SetSpec{date, {{"a.dat", "a"}}}); }
};

// --- CopyAllDefs and CopyDefs ------------------------------------------------

struct CopyRow {
    const char* name;
    bool all;           // CopyAllDefs, else CopyDefs
    bool sourceIsSet;   // source holds virscan1.dat
    bool sourceExists;
    bool expectResult;
    const char* expectA;  // contents of a.dat in the destination afterwards
};

class CopyWalkTest : public IntegrationTest, public ::testing::WithParamInterface<CopyRow> {};

const CopyRow kCopyRows[] = {
    {"AllReplacesExistingFiles", true, true, true, true, "new"},
    {"DefsKeepsExistingFiles", false, true, true, true, "old"},
    {"AllCopiesAnyDirectory", true, false, true, true, "new"},
    {"DefsRefusesDirectoryWithoutSet", false, false, true, false, "old"},
    {"DefsFailsOnMissingSource", false, true, false, false, "old"},
};

TEST_P(CopyWalkTest, ExistingFilesAndResult)
{
    const CopyRow& row = GetParam();
    const std::string dst = sandbox.Path("dst");
    MakeDirs(dst);
    WriteTextFile(dst + "/a.dat", "old");
    if (row.sourceExists) {
        MakeDirs(Src());
        WriteTextFile(Src() + "/A.DAT", "new");
        WriteTextFile(Src() + "/b.dat", "b");
        if (row.sourceIsSet)
            WriteTextFile(Src() + "/virscan1.dat", VirscanHeader(kNew));
    }

    CDefUtils du;
    bool result = row.all ? du.CopyAllDefs(Src().c_str(), dst.c_str())
                          : du.CopyDefs(Src().c_str(), dst.c_str());
    EXPECT_EQ(result, row.expectResult);
    EXPECT_EQ(ReadTextFile(dst + "/a.dat"), row.expectA);
    if (row.expectResult) {
        EXPECT_EQ(ReadTextFile(dst + "/b.dat"), "b");
    }
}

INSTANTIATE_TEST_SUITE_P(Integration, CopyWalkTest, ::testing::ValuesIn(kCopyRows),
                         [](const ::testing::TestParamInfo<CopyRow>& info) {
                             return std::string(info.param.name);
                         });

// --- UpdateNewestDefs --------------------------------------------------------

struct RotateRow {
    const char* name;
    const char* cur;   // CurDefs before ("" for none, null for no definfo.dat)
    const char* last;  // LastDefs before
    const char* usage; // usage.dat before (null: none)
    bool rotate;
    const char* expectCur;
    const char* expectLast;
    bool expectLastSetKept;  // kLast's directory afterwards
};

class UpdateNewestDefsTest : public IntegrationTest,
                             public ::testing::WithParamInterface<RotateRow> {};

const RotateRow kRotateRows[] = {
    {"EmptyStoreNamesNewSetTwice", nullptr, nullptr, nullptr, true, "20240203.005",
     "20240203.005", true},
    {"WithoutRotationLastStays", "20240102.007", "20231230.002", nullptr, false, "20240203.005",
     "20231230.002", true},
    {"NoCurDefsNamesNewSetTwice", "", "20231230.002", nullptr, true, "20240203.005",
     "20240203.005", true},
};

TEST_P(UpdateNewestDefsTest, DefInfoAndOldLastSet)
{
    const RotateRow& row = GetParam();
    AddSet(kLast);
    AddSet(kCur);
    AddSet(kNew);
    if (row.cur != nullptr)
        WriteDefInfo(Defs(), row.cur, row.last);
    if (row.usage != nullptr)
        WriteTextFile(Defs() + "/usage.dat", row.usage);

    CDefUtils du;
    EXPECT_TRUE(du.UpdateNewestDefs(Dir(kNew).c_str(), row.rotate));
    EXPECT_EQ(DefInfoValue(Defs(), "CurDefs"), row.expectCur);
    EXPECT_EQ(DefInfoValue(Defs(), "LastDefs"), row.expectLast);
    EXPECT_EQ(PathExists(Dir(kLast)), row.expectLastSetKept);
}

INSTANTIATE_TEST_SUITE_P(Integration, UpdateNewestDefsTest, ::testing::ValuesIn(kRotateRows),
                         [](const ::testing::TestParamInfo<RotateRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(IntegrationTest, NewDefInfoIsTakenBackWhenStoreGroupCannotBeSet)
{
    AddSet(kNew);
    CDefUtils du;
    sandbox.SetGroupName("qdu-no-such-group");
    EXPECT_FALSE(du.UpdateNewestDefs(Dir(kNew).c_str(), true));
    EXPECT_FALSE(PathExists(Defs() + "/definfo.dat"));
}

// --- IntegrateDefs --------------------------------------------------------------

struct IntegrateRow {
    const char* name;
    int sourceMonth;       // 13: an invalid header; 0: no virscan1.dat at all
    bool targetExists;     // a directory of the source's name is already there
    bool defInfoBroken;    // definfo.dat is a directory, so it cannot be written
    DuResult expect;
    bool expectTarget;     // the source's set directory afterwards
};

class IntegrateDefsTest : public IntegrationTest,
                          public ::testing::WithParamInterface<IntegrateRow> {};

const IntegrateRow kIntegrateRows[] = {
    {"NewSet", 2, false, false, DU_S_OK, true},
    {"InvalidHeaderCreatesNothing", 13, false, false, DU_E_GENERAL, false},
    {"MissingMainFileCreatesNothing", 0, false, false, DU_E_GENERAL, false},
    {"DefInfoFailureRemovesCreatedSet", 2, false, true, DU_E_DEFINFO_UPDATE, false},
    {"DefInfoFailureKeepsExistingSet", 2, true, true, DU_E_DEFINFO_UPDATE, true},
};

TEST_P(IntegrateDefsTest, ResultAndSetDirectory)
{
    const IntegrateRow& row = GetParam();
    AddSet(kCur);
    if (row.defInfoBroken)
        MakeDirs(Defs() + "/definfo.dat/x");
    else
        WriteDefInfo(Defs(), SetName(kCur), SetName(kCur));
    MakeDirs(Src());
    WriteTextFile(Src() + "/b.dat", "b");
    if (row.sourceMonth != 0)
        WriteTextFile(Src() + "/virscan1.dat",
                      VirscanHeader(DefDate{2024, row.sourceMonth, 3, 5}));
    if (row.targetExists)
        WriteSet(Dir(kNew), SetSpec{kNew, {{"kept.dat", "k"}}});
    Names defsBefore = ListDir(Defs());

    CDefUtils du;
    LogCapture log;
    du.AddLogCallback(&log);
    EXPECT_EQ(du.IntegrateDefs(Src().c_str(), false), row.expect);
    du.RemoveLogCallback(&log);

    EXPECT_EQ(PathExists(Dir(kNew)), row.expectTarget);
    EXPECT_TRUE(log.Has("CDefUtils::IntegrateDefs() - returning " +
                        std::string(CDefUtils::GetResultName(row.expect)) + ".\n"));
    if (row.expect == DU_S_OK) {
        // Seeded from the newest set, then the source laid over it.
        EXPECT_EQ(ListDir(Dir(kNew)), (Names{"a.dat", "b.dat", "catalog.dat", "virscan1.dat"}));
        EXPECT_EQ(DefInfoValue(Defs(), "CurDefs"), SetName(kNew));
        EXPECT_EQ(DefInfoValue(Defs(), "LastDefs"), SetName(kCur));
    } else if (!row.targetExists) {
        EXPECT_EQ(ListDir(Defs()), defsBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(Integration, IntegrateDefsTest, ::testing::ValuesIn(kIntegrateRows),
                         [](const ::testing::TestParamInfo<IntegrateRow>& info) {
                             return std::string(info.param.name);
                         });

// --- ProcessIncomingDir ----------------------------------------------------------

enum class Incoming { kNone, kDotFileOnly, kIncomplete, kComplete, kUndatable };

struct IncomingRow {
    const char* name;
    Incoming incoming;
    bool lockHeld;
    DuResult expect;
    bool expectIntegrated;
    bool expectIncomingUntouched;
};

class ProcessIncomingTest : public IntegrationTest,
                            public ::testing::WithParamInterface<IncomingRow> {};

const IncomingRow kIncomingRows[] = {
    {"NoIncomingDirectory", Incoming::kNone, false, DU_S_OK, false, true},
    {"DotFilesOnlyCountAsEmpty", Incoming::kDotFileOnly, false, DU_S_OK, false, true},
    {"HeldLockLeavesSet", Incoming::kComplete, true, DU_S_INCOMING_LOCK_FAILED, false, true},
    {"UndatableSetDroppedQuietly", Incoming::kUndatable, false, DU_S_OK, false, false},
};

TEST_P(ProcessIncomingTest, StatusAndIncomingFiles)
{
    const IncomingRow& row = GetParam();
    AddSet(kCur);
    WriteDefInfo(Defs(), SetName(kCur), SetName(kCur));
    const std::string in = Defs() + "/incoming";
    switch (row.incoming) {
    case Incoming::kNone:
        break;
    case Incoming::kDotFileOnly:
        MakeDirs(in);
        WriteTextFile(in + "/.partial", "p");
        break;
    case Incoming::kIncomplete:
        WriteSet(in, SetSpec{kNew, {{"b.dat", "b"}}, {"late.dat"}, {}});
        break;
    case Incoming::kComplete:
        WriteSet(in, SetSpec{kNew, {{"b.dat", "b"}}});
        break;
    case Incoming::kUndatable:
        WriteSet(in, SetSpec{DefDate{2024, 0, 3, 5}, {{"b.dat", "b"}}});
        break;
    }
    if (row.lockHeld) {
        MakeDirs(in);
        WriteTextFile(in + "/inlock.dat", "");
    }
    Names before = ListDir(in);

    CDefUtils du;
    LogCapture log;
    du.AddLogCallback(&log);
    EXPECT_EQ(du.ProcessIncomingDir(), row.expect);
    du.RemoveLogCallback(&log);

    EXPECT_TRUE(log.Has("CDefUtils::ProcessIncomingDir() - start.\n"));
    EXPECT_TRUE(log.Has("CDefUtils::ProcessIncomingDir() - returning " +
                        std::string(CDefUtils::GetResultName(row.expect)) + ".\n"));
    EXPECT_EQ(PathExists(Dir(kNew)), row.expectIntegrated);
    EXPECT_EQ(DefInfoValue(Defs(), "CurDefs"), SetName(row.expectIntegrated ? kNew : kCur));
    EXPECT_EQ(ListDir(in), row.expectIncomingUntouched ? before : Names{});
}

INSTANTIATE_TEST_SUITE_P(Integration, ProcessIncomingTest, ::testing::ValuesIn(kIncomingRows),
                         [](const ::testing::TestParamInfo<IncomingRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
