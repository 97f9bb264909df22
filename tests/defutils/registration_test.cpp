// Which set an application uses: queries, moving AppIds, dropping abandoned sets.
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
    const struct {
        std::string definfo;
        DuResult result, dateResult;
        std::string set;
    } cases[] = {
        {"[DefDates]\nLastDefs=" + kA + "\n", DU_S_OK, DU_E_VIRSCAN1_OPEN, ""},
        {"[DefDates]\nCurDefs=" + kGone + "\n", DU_E_MISSING_DEF_DIR, DU_E_MISSING_DEF_DIR, kGone},
        {"", DU_E_MISSING_DEFINFO, DU_E_MISSING_DEFINFO, ""},
        {"[A]\nCurDefs=x\n[DefDates]\nCurDefs = " + kB + " \n", DU_S_OK, DU_S_OK, kB},
    };
    for (const auto& c : cases) {
        Store(c.definfo, "");
        CDefUtils du;
        EXPECT_EQ(c.result, du.GetNewestDefs(szDir, sizeof szDir, true)) << c.definfo;
        EXPECT_EQ(Dir(c.set), szDir);
        EXPECT_EQ(c.dateResult == DU_S_OK, du.GetNewestDefsDate(&y, &m, &d, &r));
        EXPECT_EQ(c.dateResult, du.GetLastResult()) << c.definfo;
    }
    EXPECT_EQ(2, d);
}

TEST_F(RegistrationTest, CurrentSetIsTheFirstSectionNamingTheAppIdAndMayBeTheNewest)
{
    // 1000 names of 12 characters overflow the 10000 bytes of names searched.
    std::string crowd;
    for (int i = 0; i < 1000; ++i) crowd += "[" + std::to_string(20201000 + i) + ".001]\nX=1\n";
    const struct {
        std::string usage;
        std::string set;
    } cases[] = {
        {"[" + kB + "]\nMyApp=1\n[" + kA + "]\nMyApp=1\n", kB},
        {"[" + kB + "]\nMyApp=KeyMissing\n[" + kA + "]\nOther=1\nmyapp=1\n", kA},
        {"[" + kA + "]\nMyApp2=1\n", ""},
        {"[" + kGone + "]\nMyApp=1\n", kGone},
        {crowd + "[" + kB + "]\nMyApp=1\n", ""},
        {"", ""},
        {"  [ " + kA + " ]  \n  MyApp  =  1  \n", kA},
    };
    for (const auto& c : cases) {
        Store(kCur, c.usage);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("MyApp"));
        bool bFound = c.set == kA || c.set == kB;
        EXPECT_EQ(bFound, du.GetCurrentDefs(szDir, sizeof szDir)) << c.usage.substr(0, 60);
        EXPECT_EQ(Dir(c.set), szDir);
        EXPECT_EQ(bFound, du.GetCurrentDefsDate(&y, &m, &d, &r));
        EXPECT_EQ(bFound ? DU_S_OK : DU_E_GENERAL, du.GetLastResult()) << c.usage.substr(0, 60);
        bool bNewest = true;
        EXPECT_EQ(bFound, du.DefsAreNewest(&bNewest));
        EXPECT_EQ(c.set == kB, bNewest);
    }
    EXPECT_EQ(1, d);
    CDefUtils noAppId;
    EXPECT_FALSE(noAppId.GetCurrentDefsDate(&y, &m, &d, &r));
    EXPECT_EQ(DU_E_MISSING_APPID, noAppId.GetLastResult());
}

TEST_F(RegistrationTest, UpdateUsageFileMovesTheAppIdAndSweepsEmptySections)
{
    // before: usage.dat ("": none); oldDir: "" for none.
    const struct {
        const char* name;
        std::string before, oldDir, newDir, after;
        bool bResult, bOldEmptied;
    } cases[] = {
        {"creates_file", "", "", kB, kInB, true, false},
        {"missing_new_dir_writes_nothing", kInA, kA, "19990101.001", kInA, false, false},
        {"move_empties_old_section", kInA, kA, kB, kInB, true, true},
        {"in_two_sections_ends_in_new_only", kInA + "[x]\napp1=1\napp3=1\n", kA, kB,
         "[x]\napp3=1\n" + kInB, true, true},
        {"other_empty_section_swept", "[gone]\n[20240101.001]\napp1=1\napp2=1\n", kA, kB,
         "[20240101.001]\napp2=1\n" + kInB, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Store(kCur, c.before);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("app1"));
        bool bEmptied = !c.bOldEmptied;
        EXPECT_EQ(c.bResult, du.UpdateUsageFile(c.oldDir.empty() ? nullptr : Dir(c.oldDir).c_str(),
                                                Dir(c.newDir).c_str(), true, &bEmptied));
        EXPECT_EQ(c.bOldEmptied, bEmptied);
        EXPECT_EQ(c.after, After());
    }
}

TEST_F(RegistrationTest, MovingDeletesAnAbandonedSetUnlessDefInfoNamesIt)
{
    // last: LastDefs; before, after: usage.dat.
    const std::string kByHand = "[20240101.001]\n app1 = 1\n";  // any rewrite shows as "app1=1"
    const struct {
        const char* name;
        std::string last, before, after, target;
        bool bCurrent, bResult, bAKept;
    } cases[] = {
        {"same_dir_leaves_file_alone", kB, kByHand, kByHand, kA, false, true, true},
        {"abandoned_set_deleted", kB, kInA, kInB, kB + "/", false, true, false},
        {"abandoned_last_defs_kept", kA, kInA, kInB, kB, false, true, true},
        {"current_needs_used_section", kB, kInA, kInA, kB, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Store(DefInfoText(kB, c.last), c.before);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("app1"));
        const std::string target = Dir(c.target);
        EXPECT_EQ(c.bResult, c.bCurrent ? du.SetCurrentDefs(target.c_str())
                                        : du.SetDefs(target.c_str(), true));
        EXPECT_EQ(c.after, After());
        EXPECT_EQ(c.bAKept, PathExists(Dir(kA)));
        EXPECT_TRUE(PathExists(Dir(kB)));
    }
    CDefUtils noAppId;
    EXPECT_FALSE(noAppId.SetDefs(Dir(kB).c_str(), true));
    EXPECT_FALSE(noAppId.SetCurrentDefs(Dir(kB).c_str()));
    EXPECT_FALSE(noAppId.UseNewestDefs(nullptr));
    EXPECT_EQ(DU_E_MISSING_APPID, noAppId.GetLastResult());
}

}  // namespace
