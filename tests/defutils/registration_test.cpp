// Which set an application uses: queries, moving AppIds, dropping abandoned sets.
#include <tuple>

#include "defutils/defutils.h"
#include "platform/profile.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

const std::string kA = "20240101.001", kB = "20240102.002", kGone = "20990101.001";
const std::string kCur = DefInfoText(kB, "");
const std::string kInA = "[20240101.001]\napp1=1\n", kInB = "[20240102.002]\napp1=1\n";

class RegistrationTest : public SandboxTest {
protected:
    // Sets A and B (B the newer) and the bookkeeping files as given ("": none).
    void Store(const std::string& definfo, const std::string& before)
    {
        RemoveTree(sandbox.BaseDir());
        WriteSet(Dir(kA), SetLayout{{2024, 1, 1, 1}});
        WriteSet(Dir(kB), SetLayout{{2024, 1, 2, 2}});
        if (!definfo.empty())
            WriteTextFile(defs + "/definfo.dat", definfo);
        if (!before.empty())
            WriteTextFile(usage, before);
    }
    std::string Dir(const std::string& name) const { return name.empty() ? "" : defs + "/" + name; }
    // usage.dat afterwards; "-" when there is none.
    std::string After() const { return PathExists(usage) ? ReadTextFile(usage) : "-"; }

    const std::string defs = sandbox.DefsDir(), usage = defs + "/usage.dat";
    WORD y = 0, m = 0, d = 0;
    DWORD r = 0;
    char szDir[DU_MAX_PATH] = "stale";
};

TEST_F(RegistrationTest, NewestSetComesFromCurDefs)
{
    const std::tuple<std::string, DuResult, DuResult, std::string> cases[] = {
        {"[DefDates]\nLastDefs=" + kA + "\n", DU_S_OK, DU_E_VIRSCAN1_OPEN, ""},
        {"[DefDates]\nCurDefs=" + kGone + "\n", DU_E_MISSING_DEF_DIR, DU_E_MISSING_DEF_DIR, kGone},
        {"", DU_E_MISSING_DEFINFO, DU_E_MISSING_DEFINFO, ""},
        {"[A]\nCurDefs=x\n[DefDates]\nCurDefs = " + kB + " \n", DU_S_OK, DU_S_OK, kB},
    };
    for (const auto& [definfo, result, dateResult, set] : cases) {
        SCOPED_TRACE(definfo);
        Store(definfo, "");
        CDefUtils du;
        EXPECT_EQ(result, du.GetNewestDefs(szDir, sizeof szDir, true));
        EXPECT_EQ(Dir(set), szDir);
        EXPECT_EQ(dateResult == DU_S_OK, du.GetNewestDefsDate(&y, &m, &d, &r));
        EXPECT_EQ(dateResult, du.GetLastResult());
    }
    EXPECT_EQ(2, d);
}

TEST_F(RegistrationTest, CurrentSetIsTheFirstSectionNamingTheAppIdAndMayBeTheNewest)
{
    // 1000 names of 12 characters overflow the 10000 bytes of names searched.
    std::string crowd;
    for (int i = 0; i < 1000; ++i) crowd += "[" + std::to_string(20201000 + i) + ".001]\nX=1\n";
    const std::pair<std::string, std::string> cases[] = {
        {"[" + kB + "]\nMyApp=1\n[" + kA + "]\nMyApp=1\n", kB},
        {"[" + kB + "]\nMyApp=KeyMissing\n[" + kA + "]\nOther=1\nmyapp=1\n", kA},
        {"[" + kA + "]\nMyApp2=1\n", ""},
        {"[" + kGone + "]\nMyApp=1\n", kGone},
        {crowd + "[" + kB + "]\nMyApp=1\n", ""},
        {"", ""},
        {"  [ " + kA + " ]  \n  MyApp  =  1  \n", kA},
    };
    for (const auto& [usageText, set] : cases) {
        SCOPED_TRACE(usageText.substr(0, 60));
        Store(kCur, usageText);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("MyApp"));
        bool bFound = set == kA || set == kB, bNewest = true;
        EXPECT_EQ(bFound, du.GetCurrentDefs(szDir, sizeof szDir));
        EXPECT_EQ(Dir(set), szDir);
        EXPECT_EQ(bFound, du.GetCurrentDefsDate(&y, &m, &d, &r));
        EXPECT_EQ(bFound ? DU_S_OK : DU_E_GENERAL, du.GetLastResult());
        EXPECT_EQ(bFound, du.DefsAreNewest(&bNewest));
        EXPECT_EQ(set == kB, bNewest);
    }
    EXPECT_EQ(1, d);
    CDefUtils noAppId;
    EXPECT_FALSE(noAppId.GetCurrentDefsDate(&y, &m, &d, &r));
    EXPECT_EQ(DU_E_MISSING_APPID, noAppId.GetLastResult());
}

// before, after: usage.dat ("": none); no old directory for "".
TEST_F(RegistrationTest, UpdateUsageFileMovesTheAppIdAndSweepsEmptySections)
{
    const std::tuple<std::string, std::string, std::string, std::string, bool, bool> cases[] = {
        {"", "", kB, kInB, true, false},
        {kInA, kA, "19990101.001", kInA, false, false},  // a missing new set writes nothing
        {kInA, kA, kB, kInB, true, true},
        {kInA + "[x]\napp1=1\napp3=1\n", kA, kB, "[x]\napp3=1\n" + kInB, true, true},
        {"[gone]\n[20240101.001]\napp1=1\napp2=1\n", kA, kB, "[20240101.001]\napp2=1\n" + kInB,
         true, false},
    };
    for (const auto& [before, oldDir, newDir, after, bResult, bOldEmptied] : cases) {
        SCOPED_TRACE(before + " to " + newDir);
        Store(kCur, before);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("app1"));
        bool bEmptied = !bOldEmptied;
        EXPECT_EQ(bResult, du.UpdateUsageFile(oldDir.empty() ? nullptr : Dir(oldDir).c_str(),
                                              Dir(newDir).c_str(), true, &bEmptied));
        EXPECT_EQ(bOldEmptied, bEmptied);
        EXPECT_EQ(after, After());
    }
}

// last: LastDefs; before, after: usage.dat; a hand-written file shows any rewrite.
TEST_F(RegistrationTest, MovingDeletesAnAbandonedSetUnlessDefInfoNamesIt)
{
    const std::string kByHand = "[20240101.001]\n app1 = 1\n";
    const std::tuple<std::string, std::string, std::string, std::string, bool, bool, bool> cases[] =
        {
            {kB, kByHand, kByHand, kA, false, true, true},  // the same set: nothing to do
            {kB, kInA, kInB, kB + "/", false, true, false},
            {kA, kInA, kInB, kB, false, true, true},
            {kB, kInA, kInA, kB, true, false, true},  // SetCurrentDefs needs a used section
        };
    for (const auto& [last, before, after, target, bCurrent, bResult, bAKept] : cases) {
        SCOPED_TRACE(before + " to " + target);
        Store(DefInfoText(kB, last), before);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("app1"));
        EXPECT_EQ(bResult, bCurrent ? du.SetCurrentDefs(Dir(target).c_str())
                                    : du.SetDefs(Dir(target).c_str(), true));
        EXPECT_EQ(after, After());
        EXPECT_EQ(bAKept, PathExists(Dir(kA)));
        EXPECT_TRUE(PathExists(Dir(kB)));
    }
    CDefUtils noAppId;
    EXPECT_FALSE(noAppId.SetDefs(Dir(kB).c_str(), true));
    EXPECT_FALSE(noAppId.SetCurrentDefs(Dir(kB).c_str()));
    EXPECT_FALSE(noAppId.UseNewestDefs(nullptr));
    EXPECT_EQ(DU_E_MISSING_APPID, noAppId.GetLastResult());
}

}  // namespace
