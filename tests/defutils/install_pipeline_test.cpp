// New sets into the store (pre- and post-update, IntegrateDefs) and going back.
#include <tuple>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Names;

class InstallPipelineTest : public SandboxTest {
protected:
    const std::string defs = sandbox.DefsDir(), defInfo = defs + "/definfo.dat";
};

// Only the section used to create a store names the base directory. The
// temporary directory's marker stays while the directory is in use.
TEST_F(InstallPipelineTest, FirstInstallCreatesTheStoreMarksItsWorkAndPrimesHubs)
{
    sandbox.WriteTarvolixConf("[tarvolix]\nBaseDir=" + sandbox.BaseDir() + "\n");
    CDefUtils du;
    char szDir[DU_MAX_PATH];
    ASSERT_TRUE(du.PreDefUpdate(szDir, sizeof szDir, DU_INSTALL));
    EXPECT_EQ(0755, PathMode(sandbox.BaseDir()));
    EXPECT_EQ(0770, PathMode(defs));
    Names listed = ListDir(defs);
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(listed[0].compare(0, 12, ".qdu-intent-"), 0) << listed[0];
    EXPECT_EQ((Names{"binhub", "incoming", "texthub", std::string(szDir).substr(defs.size() + 1)}),
              Names(listed.begin() + 1, listed.end()));
    WriteSet(szDir, SetDate{2009, 4, 1, 3});
    ASSERT_TRUE(du.PostDefUpdate(false));
    EXPECT_EQ((Names{"20090401.003", "binhub", "definfo.dat", "incoming", "texthub"}),
              ListDir(defs));
    EXPECT_EQ((Names{"texthub.dat"}), ListDir(defs + "/texthub"));
    EXPECT_EQ("[tvlxdata-shareddefs-microdefs]\nLastTextUpdate=1\nLastBinUpdate=1\n",
              ReadTextFile(sandbox.DefutilsConf()));
}

// A second restore changes nothing. left: the store afterwards.
TEST_F(InstallPipelineTest, RestoreLastDefsTwice)
{
    const std::string L = "20090315.012", C = "20090401.003", kInfo = "definfo.dat";
    const std::string back = DefInfoText(L, "");
    const std::tuple<const char*, std::string, std::string, bool, Names> cases[] = {
        {nullptr, "[DefDates]\nCurDefs= " + C + " \nLastDefs= " + L + "\n", back, true, {L, kInfo}},
        {"[20090401.003]\nA=1\n", DefInfoText(C, L), back, true, {L, C, kInfo, "usage.dat"}},
        {nullptr, DefInfoText(C, ""), DefInfoText(C, ""), false, {L, C, kInfo}},
        {nullptr, DefInfoText(L, L), DefInfoText(L, L), false, {L, C, kInfo}},
    };
    for (const auto& [usage, before, after, bResult, left] : cases) {
        SCOPED_TRACE(before);
        RemoveTree(defs);
        WriteSet(defs + "/" + C, SetDate{2009, 4, 1, 3});
        WriteSet(defs + "/" + L, SetDate{2009, 3, 15, 12});
        WriteTextFile(defInfo, before);
        if (usage != nullptr)
            WriteTextFile(defs + "/usage.dat", usage);
        CDefUtils du;
        EXPECT_EQ(bResult, du.RestoreLastDefs());
        EXPECT_FALSE(du.RestoreLastDefs());
        EXPECT_EQ(after, ReadTextFile(defInfo));
        EXPECT_EQ(left, ListDir(defs));
    }
}

enum Store { kEmpty, kFull, kBroken };  // kBroken: definfo.dat cannot be written

// sets: the store afterwards; target: the files of the source's set afterwards.
TEST_F(InstallPipelineTest, IntegrateDefsSeedsRotatesAndLeavesNothingHalfBuilt)
{
    const DefDate dLast = {2023, 12, 30, 2}, dCur = {2024, 1, 2, 7}, dNew = {2024, 2, 3, 5};
    const std::string L = SetName(dLast), C = SetName(dCur), N = SetName(dNew);
    const Names kSeeded = {"a.dat", "b.dat", "catalog.dat", "virscan1.dat"};
    const Names kKept = {"b.dat", "catalog.dat", "kept.dat", "virscan1.dat"};
    const std::string kNo = "<missing>", kInfo = "definfo.dat", src = sandbox.Path("src");
    const DuResult kFail = DU_E_DEFINFO_UPDATE;
    // The source's date, the store, whether a directory of the source's name is already there.
    const std::tuple<DefDate, Store, bool, DuResult, Names, Names, std::string, std::string>
        cases[] = {
            {dNew, kFull, false, DU_S_OK, {C, N, kInfo}, kSeeded, N, C},
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
        SCOPED_TRACE(SetName(source) + " into " + std::to_string(store));
        RemoveTree(sandbox.BaseDir());
        if (store != kEmpty) {
            for (const DefDate& date : {dLast, dCur})
                WriteSet(defs + "/" + SetName(date), SetLayout{date, {{"a.dat", "a"}}});
            WriteDefInfo(defs, C, L);
        }
        if (store == kBroken) {  // a directory cannot be written as a file
            RemoveTree(defInfo);
            MakeDirs(defInfo + "/x");
        }
        const std::string dir = defs + "/" + SetName(source);
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
