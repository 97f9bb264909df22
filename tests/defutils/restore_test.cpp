// Going back to the previous definition set.
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

const SetDate kLast = {2009, 3, 15, 12}, kCur = {2009, 4, 1, 3};
const std::string L = kLast.DirName(), C = kCur.DirName(), kInfo = "definfo.dat";

using RestoreTest = SandboxTest;

TEST_F(RestoreTest, RestoreLastDefsTwice)
{
    const std::string defs = sandbox.DefsDir(), defInfo = defs + "/" + kInfo;
    // before, after: definfo.dat; left: the store afterwards.
    const struct {
        const char *name, *usage;
        std::string before, after;
        bool bResult;
        std::vector<std::string> left;
    } cases[] = {
        {"unused_newest_dropped", nullptr, "[DefDates]\nCurDefs= " + C + " \nLastDefs= " + L + "\n",
         DefInfoText(L, ""), true, {L, kInfo}},
        {"newest_still_used_survives", "[20090401.003]\nA=1\n", DefInfoText(C, L),
         DefInfoText(L, ""), true, {L, C, kInfo, "usage.dat"}},
        {"no_last_key", nullptr, DefInfoText(C, ""), DefInfoText(C, ""), false, {L, C, kInfo}},
        {"last_equals_cur", nullptr, DefInfoText(L, L), DefInfoText(L, L), false, {L, C, kInfo}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(defs);
        WriteSet(defs + "/" + C, kCur);
        WriteSet(defs + "/" + L, kLast);
        WriteTextFile(defInfo, c.before);
        if (c.usage != nullptr)
            WriteTextFile(defs + "/usage.dat", c.usage);
        CDefUtils du;
        EXPECT_EQ(c.bResult, du.RestoreLastDefs());
        EXPECT_FALSE(du.RestoreLastDefs()) << "a second restore changes nothing";
        EXPECT_EQ(c.after, ReadTextFile(defInfo));
        EXPECT_EQ(c.left, ListDir(defs));
    }
}

}  // namespace
