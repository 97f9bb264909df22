#include <unistd.h>

#include <string>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

const std::string kOld = "20200101.001", kNew = "20210202.002", kGone = "20990101.001";

// A store holding the sets kOld and kNew, dated as named, and the
// bookkeeping files each test writes ("" leaves a file out).
class QueriesTest : public SandboxTest {
protected:
    void SetUp() override
    {
        WriteDefDateFile(defs + "/" + kOld, 2020, 1, 1, 1);
        WriteDefDateFile(defs + "/" + kNew, 2021, 2, 2, 2);
    }
    void Files(const std::string& definfo, const std::string& usage)
    {
        unlink((defs + "/definfo.dat").c_str());
        unlink((defs + "/usage.dat").c_str());
        if (!definfo.empty())
            WriteTextFile(defs + "/definfo.dat", definfo);
        if (!usage.empty())
            WriteTextFile(defs + "/usage.dat", usage);
    }
    std::string Set(const std::string& name) { return name.empty() ? "" : defs + "/" + name; }
    std::string defs = sandbox.DefsDir();
    WORD y = 0, m = 0, d = 0;
    DWORD r = 0;
    char szDir[4096] = "stale";
};

TEST_F(QueriesTest, NewestSetComesFromCurDefs)
{
    const struct { std::string definfo; DuResult result, dateResult; std::string set; } cases[] = {
        {"[DefDates]\nLastDefs=20200101.001\n", DU_S_OK, DU_E_VIRSCAN1_OPEN, ""},
        {"[DefDates]\nCurDefs=   \n", DU_S_OK, DU_E_VIRSCAN1_OPEN, ""},
        {"[DefDates]\nCurDefs=" + kGone + "\n", DU_E_MISSING_DEF_DIR, DU_E_MISSING_DEF_DIR, kGone},
        {"", DU_E_MISSING_DEFINFO, DU_E_MISSING_DEFINFO, ""},
        {"[Other]\nCurDefs=" + kOld + "\n[DefDates]\nCurDefs =  " + kNew + "  \n", DU_S_OK,
         DU_S_OK, kNew},
    };
    for (const auto& c : cases) {
        Files(c.definfo, "");
        CDefUtils du;
        EXPECT_EQ(c.result, du.GetNewestDefs(szDir, sizeof szDir, true)) << c.definfo;
        EXPECT_EQ(Set(c.set), szDir);
        EXPECT_EQ(c.dateResult == DU_S_OK, du.GetNewestDefsDate(&y, &m, &d, &r));
        EXPECT_EQ(c.dateResult, du.GetLastResult()) << c.definfo;
    }
    EXPECT_EQ(2021, y);
}

TEST_F(QueriesTest, CurrentSetIsTheFirstSectionNamingTheAppId)
{
    const struct { std::string usage; std::string set; } cases[] = {
        {"[" + kNew + "]\nMyApp=1\n[" + kOld + "]\nMyApp=1\n", kNew},
        {"[" + kNew + "]\nMyApp=KeyMissing\n[" + kOld + "]\nOther=1\nmyapp=1\n", kOld},
        {"[" + kOld + "]\nMyApp2=1\n", ""},
        {"[" + kGone + "]\nMyApp=1\n", kGone},
        {"", ""},
        {"  [ " + kOld + " ]  \n  MyApp  =  1  \n", kOld},
    };
    for (const auto& c : cases) {
        Files("", c.usage);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("MyApp"));
        bool bFound = c.set == kNew || c.set == kOld;
        EXPECT_EQ(bFound, du.GetCurrentDefs(szDir, sizeof szDir)) << c.usage;
        EXPECT_EQ(Set(c.set), szDir);
        EXPECT_EQ(bFound, du.GetCurrentDefsDate(&y, &m, &d, &r));
        EXPECT_EQ(bFound ? DU_S_OK : DU_E_GENERAL, du.GetLastResult()) << c.usage;
    }
    EXPECT_EQ(2020, y);
    CDefUtils noAppId;
    EXPECT_FALSE(noAppId.GetCurrentDefsDate(&y, &m, &d, &r));
    EXPECT_EQ(DU_E_MISSING_APPID, noAppId.GetLastResult());
}

TEST_F(QueriesTest, NewestComparisons)
{
    const std::string kCur = "[DefDates]\nCurDefs=" + kNew + "\n";
    const struct { std::string definfo, usage; DuResult result; bool bNewest; } cases[] = {
        {kCur, "[" + kNew + "]\nMyApp=1\n", DU_S_OK, true},
        {kCur, "[" + kOld + "]\nMyApp=1\n", DU_S_OK, false},
        {"", "[" + kNew + "]\nMyApp=1\n", DU_E_MISSING_DEFINFO, false},
    };
    for (const auto& c : cases) {
        Files(c.definfo, c.usage);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("MyApp"));
        bool bNewest = !c.bNewest;
        EXPECT_EQ(c.result == DU_S_OK, du.DefsAreNewest(&bNewest)) << c.usage;
        EXPECT_EQ(c.bNewest, bNewest) << c.usage;
        EXPECT_EQ(c.result, du.GetLastResult()) << c.usage;
    }
    // A directory is newest when strictly newer, or when nothing is newest.
    const struct { std::string definfo; int nYear; bool bNewest; } dirCases[] = {
        {kCur, 2022, true}, {kCur, 2021, false}, {"", 2000, true},
    };
    for (const auto& c : dirCases) {
        Files(c.definfo, "");
        std::string dir = sandbox.Path("c" + std::to_string(c.nYear));
        WriteDefDateFile(dir, c.nYear, 2, 2, 2);
        bool bNewest = !c.bNewest;
        EXPECT_EQ(DU_S_OK, CDefUtils().DefsInDirAreNewest(dir.c_str(), &bNewest));
        EXPECT_EQ(c.bNewest, bNewest) << dir;
    }
}

TEST_F(QueriesTest, CurDefsAndLastDefsAreProtected)
{
    Files("[DefDates]\nCurDefs= " + kNew + " \nLastDefs=" + kOld + "\n", "");
    CDefUtils du;
    for (const std::string& dir : {Set(kNew) + "/", Set(kOld), kOld})
        EXPECT_TRUE(du.DefsDirIsNewest(dir.c_str())) << dir;
    for (const std::string& dir : {Set("20190101.001"), Set(kNew) + "X", std::string()})
        EXPECT_FALSE(du.DefsDirIsNewest(dir.c_str())) << dir;
    Files("", "");
    EXPECT_FALSE(du.DefsDirIsNewest(Set(kNew).c_str()));
}

TEST_F(QueriesTest, SectionLookupSearchesOnlyTheFirst10000BytesOfNames)
{
    // 1000 names of 12 characters fill 13000 bytes: the last is out of reach.
    std::string usage;
    for (int i = 0; i < 1000; ++i)
        usage += "[" + std::to_string(20201000 + i) + ".001]\nX=1\n";
    Files("", usage + "[" + kNew + "]\nMyApp=1\n");
    CDefUtils du;
    ASSERT_TRUE(du.InitWindowsApp("MyApp"));
    EXPECT_FALSE(du.GetCurrentDefs(szDir, sizeof szDir));
    EXPECT_TRUE(du.GetSectionNameFromKey(szDir, sizeof szDir, "X", Set("usage.dat").c_str()));
    EXPECT_STREQ("20201000.001", szDir);
}

}  // namespace
