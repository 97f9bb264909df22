// Usage registration on a store manager in a sandbox: moving an AppId
// between sets in usage.dat, dropping sets that lose their last user, and
// registering with the newest set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "platform/profile.h"
#include "tests/support/def_sets.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

const DefDate kA = {2024, 1, 1, 1};
const DefDate kB = {2024, 1, 2, 2};
const char kNameA[] = "20240101.001";
const char kNameB[] = "20240102.002";

class RegistrationTest : public SandboxTest {
protected:
    std::string Defs() const { return sandbox.DefsDir(); }
    std::string Dir(const char* name) const { return Defs() + "/" + name; }
    std::string UsagePath() const { return Defs() + "/usage.dat"; }
    // Sets A and B exist; definfo.dat names B as newest and `last`.
    void Store(const char* last = kNameB)
    {
        WriteSet(Dir(kNameA), SetSpec{kA});
        WriteSet(Dir(kNameB), SetSpec{kB});
        WriteDefInfo(Defs(), kNameB, last);
    }
    void Usage(const char* text)
    {
        if (text != nullptr)
            WriteTextFile(UsagePath(), text);
    }
};

// --- UpdateUsageFile ---------------------------------------------------------

struct UsageRow {
    const char* name;
    const char* before;  // null: no usage.dat
    const char* oldDir;  // set name or null
    const char* newDir;
    bool allowMissing;
    bool expectResult;
    const char* after;  // null: no usage.dat
    bool expectOldEmptied;
};

class UpdateUsageFileTest : public RegistrationTest,
                            public ::testing::WithParamInterface<UsageRow> {};

const UsageRow kUsageRows[] = {
    {"CreatesFileWithOneEntry", nullptr, nullptr, kNameB, true, true, "[20240102.002]\napp1=1\n",
     false},
    {"WithoutAllowMissingNeedsUsedSection", nullptr, nullptr, kNameB, false, false, nullptr,
     false},
    {"EmptySectionIsNotUsed", "[20240102.002]\n", nullptr, kNameB, false, false,
     "[20240102.002]\n", false},
    {"MissingNewDirWritesNothing", "[20240101.001]\napp1=1\n", kNameA, "19990101.001", true,
     false, "[20240101.001]\napp1=1\n", false},
    {"MoveEmptiesOldSection", "[20240101.001]\napp1=1\n", kNameA, kNameB, true, true,
     "[20240102.002]\napp1=1\n", true},
    {"AppIdInTwoSectionsEndsInNewOnly", "[20240101.001]\napp1=1\n[x]\napp1=1\napp3=1\n", kNameA,
     kNameB, true, true, "[x]\napp3=1\n[20240102.002]\napp1=1\n", true},
    {"OtherEmptySectionSweptWithoutFlag", "[gone]\n[20240101.001]\napp1=1\napp2=1\n", kNameA,
     kNameB, true, true, "[20240101.001]\napp2=1\n[20240102.002]\napp1=1\n", false},
    {"NewSectionInOtherLetterCaseIsKept", "[X]\napp2=1\n", nullptr, "x", true, true,
     "[X]\napp1=1\napp2=1\n", false},
};

TEST_P(UpdateUsageFileTest, UsageFileAndResult)
{
    const UsageRow& row = GetParam();
    Store();
    MakeDirs(Dir("x"));
    Usage(row.before);

    CDefUtils du;
    ASSERT_TRUE(du.InitWindowsApp("app1"));
    bool emptied = !row.expectOldEmptied;
    std::string oldDir = row.oldDir != nullptr ? Dir(row.oldDir) : "";
    EXPECT_EQ(du.UpdateUsageFile(row.oldDir != nullptr ? oldDir.c_str() : nullptr,
                                 Dir(row.newDir).c_str(), row.allowMissing, &emptied),
              row.expectResult);
    EXPECT_EQ(emptied, row.expectOldEmptied);
    if (row.after == nullptr) {
        EXPECT_FALSE(PathExists(UsagePath()));
    } else {
        EXPECT_EQ(ReadTextFile(UsagePath()), row.after);
    }
}

INSTANTIATE_TEST_SUITE_P(Registration, UpdateUsageFileTest, ::testing::ValuesIn(kUsageRows),
                         [](const ::testing::TestParamInfo<UsageRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RegistrationTest, NewUsageFileWithoutStoreGroupFailsButKeepsEntry)
{
    Store();
    CDefUtils du;
    ASSERT_TRUE(du.InitWindowsApp("app1"));
    sandbox.SetGroupName("qdu-no-such-group");
    LogCapture log;
    du.AddLogCallback(&log);
    EXPECT_FALSE(du.UpdateUsageFile(nullptr, Dir(kNameB).c_str(), true, nullptr));
    du.RemoveLogCallback(&log);
    EXPECT_EQ(ReadTextFile(UsagePath()), "[20240102.002]\napp1=1\n");
    EXPECT_TRUE(log.Has("CDefUtils::UpdateUsageFile() - returning failure"));
}

// Replays, with the real profile engine, the interleaving behind the
// disabled NewestConcurrencyTest.DISABLED_MoveAndJoinDuringIntegrationKeepBoth:
// appA's sweep of its old section X is several profile calls, and appB's
// whole registration with X fits between the emptiness test and the
// section delete. The result is that appB is registered nowhere.
TEST_F(RegistrationTest, SweptSectionTakesAJoiningAppIdWithIt)
{
    Store();
    Usage("[20240101.001]\nappA=1\n");
    const std::string usage = UsagePath();
    CDefUtils appA;
    CDefUtils appB;
    ASSERT_TRUE(appB.InitWindowsApp("appB"));

    // appA moving from A to B: its entry in B, then out of A.
    ASSERT_TRUE(WritePrivateProfileString(kNameB, "appA", "1", usage.c_str()));
    ASSERT_TRUE(WritePrivateProfileString(kNameA, "appA", nullptr, usage.c_str()));
    ASSERT_TRUE(appA.SectionIsEmpty(kNameA, usage.c_str()));
    // appB, which still saw A as the newest set, registers with it.
    ASSERT_TRUE(appB.UpdateUsageFile(nullptr, Dir(kNameA).c_str(), true, nullptr));
    ASSERT_EQ(ReadTextFile(usage), "[20240101.001]\nappB=1\n[20240102.002]\nappA=1\n");
    // appA finishes the sweep step it had decided on.
    ASSERT_TRUE(WritePrivateProfileString(kNameA, nullptr, nullptr, usage.c_str()));

    EXPECT_EQ(ReadTextFile(usage), "[20240102.002]\nappA=1\n");
}

// --- SetDefs and SetCurrentDefs -------------------------------------------------

struct SetDefsRow {
    const char* name;
    bool viaSetCurrentDefs;
    const char* last;    // LastDefs of definfo.dat
    const char* before;  // usage.dat
    std::string (*target)(const std::string& defs);
    bool expectResult;
    const char* after;
    bool expectAKept;
};

std::string TargetA(const std::string& defs)
{
    return defs + "/" + kNameA;
}
std::string TargetASlash(const std::string& defs)
{
    return defs + "/" + kNameA + "/";
}
std::string TargetBSlash(const std::string& defs)
{
    return defs + "/" + kNameB + "/";
}

class SetDefsTest : public RegistrationTest, public ::testing::WithParamInterface<SetDefsRow> {};

// " app1 = 1" is written by hand: any rewrite by the store shows as "app1=1".
const SetDefsRow kSetDefsRows[] = {
    {"SameDirLeavesFileByteForByte", false, kNameB, "[20240101.001]\n app1 = 1\n", TargetA, true,
     "[20240101.001]\n app1 = 1\n", true},
    {"TrailingSlashRewritesSameEntry", false, kNameB, "[20240101.001]\n app1 = 1\n",
     TargetASlash, true, "[20240101.001]\napp1=1\n", true},
    {"SetCurrentDefsNeedsUsedSection", true, kNameB, "[20240101.001]\napp1=1\n", TargetBSlash,
     false, "[20240101.001]\napp1=1\n", true},
    {"SetCurrentDefsJoinsUsedSection", true, kNameB,
     "[20240101.001]\napp1=1\n[20240102.002]\napp2=1\n", TargetBSlash, true,
     "[20240102.002]\napp1=1\napp2=1\n", false},
};

TEST_P(SetDefsTest, RegistrationAndAbandonedSet)
{
    const SetDefsRow& row = GetParam();
    Store(row.last);
    Usage(row.before);
    CDefUtils du;
    ASSERT_TRUE(du.InitWindowsApp("app1"));
    std::string target = row.target(Defs());
    bool result = row.viaSetCurrentDefs ? du.SetCurrentDefs(target.c_str())
                                        : du.SetDefs(target.c_str(), true);
    EXPECT_EQ(result, row.expectResult);
    EXPECT_EQ(ReadTextFile(UsagePath()), row.after);
    EXPECT_EQ(PathExists(Dir(kNameA)), row.expectAKept);
    EXPECT_TRUE(PathExists(Dir(kNameB)));
}

INSTANTIATE_TEST_SUITE_P(Registration, SetDefsTest, ::testing::ValuesIn(kSetDefsRows),
                         [](const ::testing::TestParamInfo<SetDefsRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RegistrationTest, SetDefsWithoutAppIdRefuses)
{
    Store();
    CDefUtils du;
    LogCapture log;
    du.AddLogCallback(&log);
    EXPECT_FALSE(du.SetDefs(Dir(kNameB).c_str(), true));
    EXPECT_FALSE(du.SetCurrentDefs(Dir(kNameB).c_str()));
    du.RemoveLogCallback(&log);
    EXPECT_FALSE(PathExists(UsagePath()));
    EXPECT_TRUE(log.Has("CDefUtils::SetDefs(" + Dir(kNameB) +
                        ", bAllowMissing: true) - missing AppId or Defs Dir; returning false.\n"));
}

// --- UseNewestDefs -------------------------------------------------------------

struct NewestRow {
    const char* name;
    const char* defInfo;  // whole definfo.dat; null: none
    const char* before;   // usage.dat
    size_t bufferSize;
    bool expectResult;
    DuResult expectCode;
    bool expectChanged;
    bool expectPathInBuffer;  // else the buffer is empty
    const char* after;        // null: no usage.dat
};

class UseNewestDefsTest : public RegistrationTest,
                          public ::testing::WithParamInterface<NewestRow> {};

const NewestRow kNewestRows[] = {
    {"AlreadyNewestIsNoChange", "[DefDates]\nCurDefs=20240102.002\n",
     "[20240102.002]\napp1=1\n", 4096, true, DU_S_OK, false, true, "[20240102.002]\napp1=1\n"},
    {"NoCurDefsFailsGenerally", "[DefDates]\nLastDefs=20240102.002\n", nullptr, 4096, false,
     DU_E_GENERAL, false, false, nullptr},
    {"NoDefInfoWithoutRegistration", nullptr, nullptr, 4096, false, DU_E_GENERAL, false, false,
     nullptr},
    {"NoDefInfoKeepsReasonForRegisteredApp", nullptr, "[20240101.001]\napp1=1\n", 4096, false,
     DU_E_MISSING_DEFINFO, false, false, "[20240101.001]\napp1=1\n"},
    {"SmallBufferWithRegistrationChangesNothing", "[DefDates]\nCurDefs=20240102.002\n",
     "[20240101.001]\napp1=1\n", 8, true, DU_S_OK, false, false, "[20240101.001]\napp1=1\n"},
    {"SmallBufferWithoutRegistrationFails", "[DefDates]\nCurDefs=20240102.002\n", nullptr, 8,
     false, DU_E_GENERAL, false, false, nullptr},
};

TEST_P(UseNewestDefsTest, ResultBufferAndUsage)
{
    const NewestRow& row = GetParam();
    WriteSet(Dir(kNameA), SetSpec{kA});
    WriteSet(Dir(kNameB), SetSpec{kB});
    if (row.defInfo != nullptr)
        WriteTextFile(Defs() + "/definfo.dat", row.defInfo);
    Usage(row.before);

    CDefUtils du;
    ASSERT_TRUE(du.InitWindowsApp("app1"));
    std::vector<char> buffer(row.bufferSize, 'x');
    bool changed = !row.expectChanged;
    LogCapture log;
    du.AddLogCallback(&log);
    EXPECT_EQ(du.UseNewestDefs(buffer.data(), buffer.size(), &changed), row.expectResult);
    EXPECT_EQ(du.GetLastResult(), row.expectCode);
    du.RemoveLogCallback(&log);  // records a result of its own

    EXPECT_EQ(changed, row.expectChanged);
    std::string shown = row.expectPathInBuffer ? Dir(kNameB) : "";
    EXPECT_EQ(std::string(buffer.data()), shown);
    EXPECT_TRUE(log.Has("CDefUtils::UseNewestDefs (" + shown + ", ..., pbChanged: true ) - returning " +
                        CDefUtils::GetResultName(row.expectCode) + "\n"));
    if (row.after == nullptr) {
        EXPECT_FALSE(PathExists(UsagePath()));
    } else {
        EXPECT_EQ(ReadTextFile(UsagePath()), row.after);
    }
}

INSTANTIATE_TEST_SUITE_P(Registration, UseNewestDefsTest, ::testing::ValuesIn(kNewestRows),
                         [](const ::testing::TestParamInfo<NewestRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RegistrationTest, UseNewestDefsWithoutAppIdOrStore)
{
    Store();
    CDefUtils du;
    EXPECT_FALSE(du.UseNewestDefs(nullptr));
    EXPECT_EQ(du.GetLastResult(), DU_E_MISSING_APPID);

    sandbox.WriteTarvolixConf("[Tarvolix Shared]\n");
    CDefUtils noStore;
    EXPECT_FALSE(noStore.InitWindowsApp("app1"));
    LogCapture log;
    noStore.AddLogCallback(&log);
    EXPECT_FALSE(noStore.UseNewestDefs(nullptr));
    EXPECT_EQ(noStore.GetLastResult(), DU_E_MISSING_DEF_BASE_DIR);
    noStore.RemoveLogCallback(&log);
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{
                  "CDefUtils::UseNewestDefs() - start\n", "CDefUtils::UseNewestDefs() - start\n",
                  "CDefUtils::UseNewestDefs (, ..., pbChanged: false ) - returning "
                  "DU_E_MISSING_DEF_BASE_DIR\n",
                  "CDefUtils::UseNewestDefs() - end, returning: failure\n"}));
}

// --- RemoveEmptyKey --------------------------------------------------------------

TEST_F(RegistrationTest, RemoveEmptyKeyDeletesWholeSectionOfTarvolixConf)
{
    sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() +
                              "\n[old]\nk=v\n[tarvolix]\nBaseDir=/x\n");
    CDefUtils du;
    du.RemoveEmptyKey("old");
    EXPECT_EQ(ReadTextFile(sandbox.TarvolixConf()),
              "[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "\n[tarvolix]\nBaseDir=/x\n");
}

}  // namespace
