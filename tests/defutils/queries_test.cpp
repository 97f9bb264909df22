#include <unistd.h>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

const std::string kOld = "20200101.001", kNew = "20210202.002", kGone = "20990101.001";
const std::string kCur = "[DefDates]\nCurDefs=" + kNew + "\n";

// A store holding kOld and kNew, dated as named, and the bookkeeping files
// each case writes ("" leaves a file out).
class QueriesTest : public SandboxTest {
protected:
    void SetUp() override
    {
        WriteDefDateFile(Set(kOld), 2020, 1, 1, 1);
        WriteDefDateFile(Set(kNew), 2021, 2, 2, 2);
    }
    void Files(const std::string& definfo, const std::string& usage)
    {
        unlink(Set("definfo.dat").c_str());
        unlink(Set("usage.dat").c_str());
        if (!definfo.empty())
            WriteTextFile(Set("definfo.dat"), definfo);
        if (!usage.empty())
            WriteTextFile(Set("usage.dat"), usage);
    }
    std::string Set(const std::string& name) { return name.empty() ? "" : defs + "/" + name; }
    std::string defs = sandbox.DefsDir();
    WORD y = 0, m = 0, d = 0;
    DWORD r = 0;
    char szDir[4096] = "stale";
};

TEST_F(QueriesTest, NewestSetComesFromCurDefsAndOnlyNewerDirectoriesBeatIt)
{
    const struct { std::string definfo; DuResult result, dateResult; std::string set; } cases[] = {
        {"[DefDates]\nLastDefs=20200101.001\n", DU_S_OK, DU_E_VIRSCAN1_OPEN, ""},
        {"[DefDates]\nCurDefs=   \n", DU_S_OK, DU_E_VIRSCAN1_OPEN, ""},
        {"[DefDates]\nCurDefs=" + kGone + "\n", DU_E_MISSING_DEF_DIR, DU_E_MISSING_DEF_DIR, kGone},
        {"", DU_E_MISSING_DEFINFO, DU_E_MISSING_DEFINFO, ""},
        {"[A]\nCurDefs=x\n[DefDates]\nCurDefs = " + kNew + " \n", DU_S_OK, DU_S_OK, kNew},
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
    // A directory is newest only when strictly newer, or when nothing is newest.
    for (const std::string& definfo : {kCur, "[DefDates]\nCurDefs=" + kOld + "\n", std::string()}) {
        Files(definfo, "");
        bool bNewest = definfo == kCur;
        EXPECT_EQ(DU_S_OK, CDefUtils().DefsInDirAreNewest(Set(kNew).c_str(), &bNewest));
        EXPECT_EQ(definfo != kCur, bNewest) << definfo;
    }
}

TEST_F(QueriesTest, CurrentSetIsTheFirstSectionNamingTheAppIdAndMayBeTheNewest)
{
    // 1000 names of 12 characters overflow the 10000 bytes of names searched.
    std::string crowd;
    for (int i = 0; i < 1000; ++i)
        crowd += "[" + std::to_string(20201000 + i) + ".001]\nX=1\n";
    const struct { std::string usage; std::string set; } cases[] = {
        {"[" + kNew + "]\nMyApp=1\n[" + kOld + "]\nMyApp=1\n", kNew},
        {"[" + kNew + "]\nMyApp=KeyMissing\n[" + kOld + "]\nOther=1\nmyapp=1\n", kOld},
        {"[" + kOld + "]\nMyApp2=1\n", ""},
        {"[" + kGone + "]\nMyApp=1\n", kGone},
        {crowd + "[" + kNew + "]\nMyApp=1\n", ""},
        {"", ""},
        {"  [ " + kOld + " ]  \n  MyApp  =  1  \n", kOld},
    };
    for (const auto& c : cases) {
        Files(kCur, c.usage);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("MyApp"));
        bool bFound = c.set == kNew || c.set == kOld;
        EXPECT_EQ(bFound, du.GetCurrentDefs(szDir, sizeof szDir)) << c.usage.substr(0, 60);
        EXPECT_EQ(Set(c.set), szDir);
        EXPECT_EQ(bFound, du.GetCurrentDefsDate(&y, &m, &d, &r));
        EXPECT_EQ(bFound ? DU_S_OK : DU_E_GENERAL, du.GetLastResult()) << c.usage.substr(0, 60);
        bool bNewest = true;
        EXPECT_EQ(bFound, du.DefsAreNewest(&bNewest));
        EXPECT_EQ(c.set == kNew, bNewest);
    }
    EXPECT_EQ(2020, y);
    CDefUtils noAppId;
    EXPECT_FALSE(noAppId.GetCurrentDefsDate(&y, &m, &d, &r));
    EXPECT_EQ(DU_E_MISSING_APPID, noAppId.GetLastResult());
}

}  // namespace
