// Going back to the previous definition set.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

const SetDate kLast = {2009, 3, 15, 12};
const SetDate kCur = {2009, 4, 1, 3};

class RestoreTest : public SandboxTest {
protected:
    std::string Defs(const std::string& entry = "") const
    {
        return entry.empty() ? sandbox.DefsDir() : sandbox.DefsDir() + "/" + entry;
    }
    std::string DefInfo() const { return ReadTextFile(Defs("definfo.dat")); }
};

struct RestoreCase {
    const char* name;
    const char* defInfo;  // null: no definfo.dat
    const char* usage;    // null: no usage.dat
    bool bLastDirExists;
    bool bExpected;
    const char* curAfter;  // expected CurDefs afterwards
    bool bLastKeyAfter;    // LastDefs still present
    bool bCurDirAfter;     // the former newest set still exists
};

const RestoreCase kCases[] = {
    {"RestoresAndDropsUnusedNewest", "[DefDates]\nCurDefs={C}\nLastDefs={L}\n", nullptr, true, true,
     "{L}", false, false},
    {"NewestStillUsedSurvives", "[DefDates]\nCurDefs={C}\nLastDefs={L}\n", "[{C}]\nApp1=1\n", true,
     true, "{L}", false, true},
    {"BlanksAroundNamesAreTrimmed", "[DefDates]\nCurDefs=  {C}  \nLastDefs=  {L}  \n", nullptr,
     true, true, "{L}", false, false},
    {"NoLastKey", "[DefDates]\nCurDefs={C}\n", nullptr, true, false, "{C}", false, true},
    {"LastEqualsCur", "[DefDates]\nCurDefs={L}\nLastDefs={L}\n", nullptr, true, false, "{L}", true,
     true},
    {"LastDirMissing", "[DefDates]\nCurDefs={C}\nLastDefs={L}\n", nullptr, false, false, "{C}",
     true, true},
    // Cur reads as "KeyMissing": no such directory to remove, LastDefs goes.
    {"NoCurKey", "[DefDates]\nLastDefs={L}\n", nullptr, true, true, "{L}", false, true},
    {"NoDefInfo", nullptr, nullptr, true, false, "", false, true},
};

// Fills in the set names for the placeholders {C} and {L}.
std::string Names(std::string text)
{
    const std::pair<std::string, std::string> kNames[] = {{"{C}", kCur.DirName()},
                                                          {"{L}", kLast.DirName()}};
    for (const auto& name : kNames) {
        for (size_t n = text.find(name.first); n != std::string::npos; n = text.find(name.first))
            text.replace(n, name.first.size(), name.second);
    }
    return text;
}

TEST_F(RestoreTest, RestoreLastDefs)
{
    for (const RestoreCase& c : kCases) {
        SCOPED_TRACE(c.name);
        RemoveTree(Defs());
        WriteSet(Defs(kCur.DirName()), kCur);
        if (c.bLastDirExists)
            WriteSet(Defs(kLast.DirName()), kLast);
        if (c.defInfo != nullptr)
            WriteTextFile(Defs("definfo.dat"), Names(c.defInfo));
        if (c.usage != nullptr)
            WriteTextFile(Defs("usage.dat"), Names(c.usage));

        CDefUtils du;
        EXPECT_EQ(c.bExpected, du.RestoreLastDefs());

        std::string defInfo = DefInfo();
        EXPECT_EQ(Names(c.curAfter), DefDatesValue(Defs("definfo.dat"), "CurDefs")) << defInfo;
        EXPECT_EQ(c.bLastKeyAfter, !DefDatesValue(Defs("definfo.dat"), "LastDefs").empty())
            << defInfo;
        EXPECT_EQ(c.bCurDirAfter, PathExists(Defs(kCur.DirName())));
        if (c.bLastDirExists) {
            EXPECT_TRUE(IsCompleteSet(Defs(kLast.DirName())));
        }
    }
}

TEST_F(RestoreTest, SecondRestoreChangesNothing)
{
    WriteSet(Defs(kCur.DirName()), kCur);
    WriteSet(Defs(kLast.DirName()), kLast);
    WriteTextFile(Defs("definfo.dat"), DefInfoText(kCur.DirName(), kLast.DirName()));

    CDefUtils du;
    ASSERT_TRUE(du.RestoreLastDefs());
    std::string afterFirst = DefInfo();
    EXPECT_FALSE(du.RestoreLastDefs());
    EXPECT_EQ(afterFirst, DefInfo());
    EXPECT_EQ(std::vector<std::string>({kLast.DirName(), "definfo.dat"}), ListDir(Defs()));
}

TEST_F(RestoreTest, RevertIsANoOpThatSucceeds)
{
    WriteSet(Defs(kCur.DirName()), kCur);
    WriteTextFile(Defs("definfo.dat"), DefInfoText(kCur.DirName(), kLast.DirName()));
    CDefUtils du;
    EXPECT_TRUE(du.RevertToLastGoodDefs());
    EXPECT_EQ(DefInfoText(kCur.DirName(), kLast.DirName()), DefInfo());
}

}  // namespace
