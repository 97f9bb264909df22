// Which set an application uses, new sets into the store and going back.
#include <tuple>

#include "defutils/defutils.h"
#include "platform/profile.h"
#include "tests/support/def_sets.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Names;

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
        MakeDirs(install);
        WriteTextFile(install + "/defloc.dat", "[DefBaseLocation]\nLocation=" + defs + "\n");
    }
    std::string Dir(const std::string& name) const { return name.empty() ? "" : defs + "/" + name; }
    // usage.dat afterwards; "-" when there is none.
    std::string After() const { return PathExists(usage) ? ReadTextFile(usage) : "-"; }

    const std::string defs = sandbox.DefsDir(), usage = defs + "/usage.dat",
                      defInfo = defs + "/definfo.dat", install = sandbox.Path("app");
    WORD y = 0, m = 0, d = 0;
    DWORD r = 0;
    char szDir[DU_MAX_PATH] = "stale";
};

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

// Moving an AppId (s: SetDefs, c: SetCurrentDefs) or leaving (u: StopUsingDefs,
// which also removes the application's defloc.dat) deletes the set it abandons
// unless definfo.dat names it; restoring (r, twice: the second changes nothing)
// drops the newest set unless it is used. before, after: usage.dat ("-": none);
// left: the store afterwards; info: definfo.dat afterwards ("": unchanged).
TEST_F(RegistrationTest, MovingLeavingAndRestoringDropOnlyAbandonedSets)
{
    const std::string kByHand = "[20240101.001]\n app1 = 1\n";  // any rewrite shows
    const std::string kBB = DefInfoText(kB, kB), kI = "definfo.dat", kU = "usage.dat";
    const std::string kUsedB = "[" + kB + "]\nA=1\n", kThem = "[" + kB + "]\nThem=1\n";
    const std::string kPadded = "[DefDates]\nCurDefs= " + kB + " \nLastDefs= " + kA + "\n";
    const Names kAll = {kA, kB, kI, kU}, kNoA = {kB, kI, kU};
    const std::tuple<std::string, std::string, char, std::string, bool, std::string, Names,
                     std::string>
        cases[] = {
            {kBB, kByHand, 's', kA, true, kByHand, kAll, ""},  // the same set: nothing to do
            {kBB, kInA, 's', kB + "/", true, kInB, kNoA, ""},
            {DefInfoText(kB, kA), kInA, 's', kB, true, kInB, kAll, ""},
            {kBB, kInA, 'c', kB, false, kInA, kAll, ""},  // SetCurrentDefs needs a used section
            {kBB, "", 's', kB, true, kInB, kAll, ""},
            {kBB, kInA, 's', kGone, false, kInA, kAll, ""},  // a missing set writes nothing
            {kBB, kInA + "[x]\napp1=1\napp3=1\n", 's', kB, true, "[x]\napp3=1\n" + kInB, kNoA, ""},
            {kBB, "[gone]\n[" + kA + "]\napp1=1\napp2=1\n", 's', kB, true,
             "[" + kA + "]\napp2=1\n" + kInB, kAll, ""},  // an empty section is swept
            {kPadded, "", 'r', "", true, "-", {kA, kI}, DefInfoText(kA, "")},
            {DefInfoText(kB, kA), kUsedB, 'r', "", true, kUsedB, kAll, DefInfoText(kA, "")},
            {DefInfoText(kB, ""), "", 'r', "", false, "-", {kA, kB, kI}, ""},
            {DefInfoText(kA, kA), "", 'r', "", false, "-", {kA, kB, kI}, ""},
            {kBB, kInA + "You=1\n" + kThem, 'u', "", true, "[" + kA + "]\nYou=1\n" + kThem, kAll,
             ""},  // a set another application uses stays
            {DefInfoText(kB, kA), kInA + kThem, 'u', "", true, kThem, kAll, ""},
            {kBB, kInA + kThem, 'u', "", true, kThem, kNoA, ""},
            {kBB, kThem, 'u', "", false, kThem, kAll, ""},  // not registered
        };
    for (const auto& [definfo, before, op, target, bResult, after, left, info] : cases) {
        SCOPED_TRACE(op + (" " + definfo + before + " to " + target));
        Store(definfo, before);
        CDefUtils du;
        ASSERT_TRUE(op == 'r' || (op == 'u' ? du.InitInstallApp("app1", install.c_str())
                                            : du.InitWindowsApp("app1")));
        EXPECT_EQ(bResult, op == 's'   ? du.SetDefs(Dir(target).c_str(), true)
                           : op == 'c' ? du.SetCurrentDefs(Dir(target).c_str())
                           : op == 'u' ? du.StopUsingDefs()
                                       : du.RestoreLastDefs());
        EXPECT_TRUE(op != 'u' || bResult || du.GetLastResult() == DU_E_APPID_NOT_REGISTERED);
        EXPECT_EQ(op != 'u' || !bResult, PathExists(install + "/defloc.dat"));
        EXPECT_TRUE(op != 'r' || !du.RestoreLastDefs());
        EXPECT_EQ(after, After());
        EXPECT_EQ(left, ListDir(defs));
        EXPECT_EQ(info.empty() ? definfo : info, ReadTextFile(defInfo));
    }
    CDefUtils noAppId;
    EXPECT_FALSE(noAppId.SetDefs(Dir(kB).c_str(), true));
    EXPECT_FALSE(noAppId.SetCurrentDefs(Dir(kB).c_str()));
    EXPECT_FALSE(noAppId.UseNewestDefs(nullptr));
    EXPECT_EQ(DU_E_MISSING_APPID, noAppId.GetLastResult());
}

enum StoreState { kEmpty, kFull, kBroken };  // kBroken: definfo.dat cannot be written

// sets: the store afterwards; target: the files of the source's set afterwards.
TEST_F(RegistrationTest, IntegrateDefsSeedsRotatesAndLeavesNothingHalfBuilt)
{
    const SetDate dLast = {2023, 12, 30, 2}, dCur = {2024, 1, 2, 7}, dNew = {2024, 2, 3, 5};
    const std::string L = dLast.DirName(), C = dCur.DirName(), N = dNew.DirName();
    const Names kSeeded = {"a.dat", "b.dat", "catalog.dat", "virscan1.dat"};
    const Names kKept = {"b.dat", "catalog.dat", "kept.dat", "virscan1.dat"};
    const std::string kNo = "<missing>", kInfo = "definfo.dat", src = sandbox.Path("src");
    const DuResult kFail = DU_E_DEFINFO_UPDATE;
    // The source's date, the store, whether a directory of the source's name is already there.
    const std::tuple<SetDate, StoreState, bool, DuResult, Names, Names, std::string, std::string>
        cases[] = {
            {dCur, kFull, false, DU_S_OK, {C, kInfo}, kSeeded, C, C},  // laid over the newest
            {dNew,
             kEmpty,
             false,
             DU_S_OK,
             {N, kInfo},
             {"b.dat", "catalog.dat", "virscan1.dat"},
             N,
             N},
            {dNew, kBroken, false, kFail, {L, C, kInfo}, {}, kNo, kNo},
            {dNew, kBroken, true, kFail, {L, C, N, kInfo}, kKept, kNo, kNo},
        };
    for (const auto& [source, store, bTargetExists, expected, sets, target, cur, last] : cases) {
        SCOPED_TRACE(source.DirName() + " into " + std::to_string(store));
        RemoveTree(sandbox.BaseDir());
        if (store != kEmpty) {
            for (const SetDate& date : {dLast, dCur})
                WriteSet(defs + "/" + date.DirName(), SetLayout{date, {{"a.dat", "a"}}});
            WriteDefInfo(defs, C, L);
        }
        if (store == kBroken) {  // a directory cannot be written as a file
            RemoveTree(defInfo);
            MakeDirs(defInfo + "/x");
        }
        const std::string dir = defs + "/" + source.DirName();
        if (bTargetExists)
            WriteSet(dir, SetLayout{source, {{"kept.dat", "k"}}});
        RemoveTree(src);
        WriteSet(src, SetLayout{source, {{"b.dat", "b"}}});
        EXPECT_EQ(expected, CDefUtils().IntegrateDefs(src.c_str(), false));
        EXPECT_EQ(sets, ListDir(defs));
        EXPECT_EQ(target, ListDir(dir));
        EXPECT_EQ(cur, DefInfoValue(defs, "CurDefs"));
        EXPECT_EQ(last, DefInfoValue(defs, "LastDefs"));
        if (store == kEmpty) {  // a created definfo.dat is given the store's mode and group
            EXPECT_EQ(0660, PathMode(defInfo));
            EXPECT_EQ(sandbox.GroupId(), PathGroup(defInfo));
        }
    }
    // UpdateNewestDefs takes a new definfo.dat back when the group cannot be set.
    RemoveTree(sandbox.BaseDir());
    WriteSet(defs + "/" + N, SetLayout{dNew});
    CDefUtils du;
    sandbox.SetGroupName("qdu-no-such-group");
    EXPECT_FALSE(du.UpdateNewestDefs((defs + "/" + N).c_str(), true));
    EXPECT_FALSE(PathExists(defInfo));
}

}  // namespace
