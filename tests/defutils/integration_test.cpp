// Integration of new sets: IntegrateDefs and the definfo.dat rotation.
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Names;
const DefDate kLast = {2023, 12, 30, 2}, kCur = {2024, 1, 2, 7}, kNew = {2024, 2, 3, 5};
const std::string L = SetName(kLast), C = SetName(kCur), N = SetName(kNew);

class IntegrationTest : public SandboxTest {
protected:
    // Only kLast and kCur, each holding a.dat, with definfo.dat naming them.
    void MakeStore()
    {
        RemoveTree(sandbox.BaseDir());
        for (const DefDate& date : {kLast, kCur})
            WriteSet(defs + "/" + SetName(date), SetSpec{date, {{"a.dat", "a"}}});
        WriteDefInfo(defs, C, L);
    }

    const std::string defs = sandbox.DefsDir(), src = sandbox.Path("src");
};

enum Store { kEmpty, kFull, kBrokenDefInfo };

TEST_F(IntegrationTest, IntegrateDefsSeedsRotatesAndLeavesNothingHalfBuilt)
{
    const Names kSeeded = {"a.dat", "b.dat", "catalog.dat", "virscan1.dat"};
    const std::string kNone = "<missing>";
    // sets: set directories afterwards; target: the files of the source's set afterwards.
    const struct {
        const char* name;
        DefDate source;  // month 13: an invalid header
        Store store;
        bool bTargetExists;  // a directory of the source's name is already there
        DuResult expected;
        Names sets, target;
        std::string cur, last;
    } cases[] = {
        {"new_set_seeded_from_newest", kNew, kFull, false, DU_S_OK, {C, N}, kSeeded, N, C},
        {"same_date_laid_over_newest", kCur, kFull, false, DU_S_OK, {C}, kSeeded, C, C},
        {"into_empty_store", kNew, kEmpty, false, DU_S_OK, {N},
         {"b.dat", "catalog.dat", "virscan1.dat"}, N, N},
        {"invalid_header", {2024, 13, 3, 5}, kFull, false, DU_E_GENERAL, {L, C}, {}, C, L},
        {"definfo_failure_removes_created_set", kNew, kBrokenDefInfo, false, DU_E_DEFINFO_UPDATE,
         {L, C}, {}, kNone, kNone},
        {"definfo_failure_keeps_existing_set", kNew, kBrokenDefInfo, true, DU_E_DEFINFO_UPDATE,
         {L, C, N}, {"b.dat", "catalog.dat", "kept.dat", "virscan1.dat"}, kNone, kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(sandbox.BaseDir());
        if (c.store != kEmpty)
            MakeStore();
        if (c.store == kBrokenDefInfo) {  // a directory cannot be written as a file
            RemoveTree(defs + "/definfo.dat");
            MakeDirs(defs + "/definfo.dat/x");
        }
        const std::string target = defs + "/" + SetName(c.source);
        if (c.bTargetExists)
            WriteSet(target, SetSpec{c.source, {{"kept.dat", "k"}}});
        RemoveTree(src);
        WriteSet(src, SetSpec{c.source, {{"b.dat", "b"}}});

        EXPECT_EQ(c.expected, CDefUtils().IntegrateDefs(src.c_str(), false));
        Names left = c.sets;
        left.push_back("definfo.dat");
        EXPECT_EQ(left, ListDir(defs));
        EXPECT_EQ(c.target, ListDir(target));
        EXPECT_EQ(c.cur, DefInfoValue(defs, "CurDefs"));
        EXPECT_EQ(c.last, DefInfoValue(defs, "LastDefs"));
        if (c.store == kEmpty) {  // a created definfo.dat is given the store's mode and group
            EXPECT_EQ(0660, PathMode(defs + "/definfo.dat"));
            EXPECT_EQ(sandbox.GroupId(), PathGroup(defs + "/definfo.dat"));
        }
    }
}

TEST_F(IntegrationTest, UpdateNewestDefsTakesANewDefInfoBackWhenTheGroupCannotBeSet)
{
    WriteSet(defs + "/" + N, SetSpec{kNew});
    CDefUtils du;
    sandbox.SetGroupName("qdu-no-such-group");
    EXPECT_FALSE(du.UpdateNewestDefs((defs + "/" + N).c_str(), true));
    EXPECT_FALSE(PathExists(defs + "/definfo.dat"));
}

}  // namespace
