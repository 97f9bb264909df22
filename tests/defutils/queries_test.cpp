#include <unistd.h>

#include <string>

#include "defutils/defutils.h"
#include "tests/defutils/store_test_util.h"
#include "tests/support/sandbox.h"

namespace {

const char kOld[] = "20200101.001";
const char kNew[] = "20210202.002";

// A store with two sets: kOld (2020-01-01 rev 1) and kNew (2021-02-02 rev 2).
class QueriesTest : public SandboxTest {
protected:
    void SetUp() override
    {
        defs = sandbox.DefsDir();
        MakeDirs(defs);
        MakeSet(defs, kOld, 2020, 1, 1, 1);
        MakeSet(defs, kNew, 2021, 2, 2, 2);
    }
    void DefInfo(const std::string& contents) { WriteTextFile(defs + "/definfo.dat", contents); }
    void Usage(const std::string& contents) { WriteTextFile(defs + "/usage.dat", contents); }
    std::string Set(const char* name) { return defs + "/" + name; }

    std::string defs;
};

struct NewestCase {
    const char* name;
    const char* fileName;  // null: no definfo.dat
    std::string contents;
    DuResult expected;
    std::string path;  // relative to the definitions directory, "" for none
};

TEST_F(QueriesTest, NewestSetComesFromCurDefs)
{
    const NewestCase cases[] = {
        {"plain", "definfo.dat", "[DefDates]\nCurDefs=20210202.002\n", DU_S_OK, kNew},
        {"blanks_around_value", "definfo.dat", "[DefDates]\nCurDefs =   20210202.002   \n", DU_S_OK,
         kNew},
        {"other_keys_and_sections", "definfo.dat",
         "[Other]\nCurDefs=20200101.001\n[DefDates]\nLastDefs=20200101.001\nCurDefs=20210202.002\n",
         DU_S_OK, kNew},
        {"upper_case_file", "DEFINFO.DAT", "[DefDates]\nCurDefs=20200101.001\n", DU_S_OK, kOld},
        {"no_cur_defs", "definfo.dat", "[DefDates]\nLastDefs=20200101.001\n", DU_S_OK, ""},
        {"blank_value", "definfo.dat", "[DefDates]\nCurDefs=   \n", DU_S_OK, ""},
        {"garbage", "definfo.dat", std::string("\x01\xff\x00[[[=\n=\n\x7f", sizeof "\x01\xff\x00[[[=\n=\n\x7f" - 1), DU_S_OK, ""},
        {"set_missing", "definfo.dat", "[DefDates]\nCurDefs=20990101.001\n", DU_E_MISSING_DEF_DIR,
         "20990101.001"},
        {"no_definfo", nullptr, "", DU_E_MISSING_DEFINFO, ""},
    };
    for (const NewestCase& c : cases) {
        SCOPED_TRACE(c.name);
        unlink((defs + "/definfo.dat").c_str());
        unlink((defs + "/DEFINFO.DAT").c_str());
        if (c.fileName != nullptr)
            WriteTextFile(defs + "/" + c.fileName, c.contents);

        CDefUtils du;
        char szDir[4096] = "stale";
        EXPECT_EQ(c.expected, du.GetNewestDefs(szDir, sizeof szDir, true));
        EXPECT_EQ(c.path.empty() ? "" : defs + "/" + c.path, szDir);
    }
}

TEST_F(QueriesTest, NewestSetNeedsAStore)
{
    sandbox.WriteTarvolixConf("[Tarvolix Shared]\n");
    CDefUtils du;
    char szDir[64] = "stale";
    EXPECT_EQ(DU_E_MISSING_DEF_BASE_DIR, du.GetNewestDefs(szDir, sizeof szDir, false));
    EXPECT_STREQ("", szDir);
    WORD y, m, d;
    DWORD r;
    EXPECT_FALSE(du.GetNewestDefsDate(&y, &m, &d, &r));
    EXPECT_EQ(DU_E_MISSING_DEF_BASE_DIR, du.GetLastResult());
}

struct NewestDateCase {
    const char* name;
    const char* defInfo;  // null: no definfo.dat
    bool bOk;
    DuResult result;
};

TEST_F(QueriesTest, NewestDateRecordsItsResult)
{
    WriteTextFile(Set(kOld) + "/virscan1.dat", DefHeader(1, 13, 1, 120));  // bad month
    const NewestDateCase cases[] = {
        {"readable", "[DefDates]\nCurDefs=20210202.002\n", true, DU_S_OK},
        {"bad_header", "[DefDates]\nCurDefs=20200101.001\n", false, DU_E_FILE_FORMAT},
        {"no_cur_defs", "[DefDates]\n", false, DU_E_VIRSCAN1_OPEN},
        {"set_missing", "[DefDates]\nCurDefs=20990101.001\n", false, DU_E_MISSING_DEF_DIR},
        {"no_definfo", nullptr, false, DU_E_MISSING_DEFINFO},
    };
    for (const NewestDateCase& c : cases) {
        SCOPED_TRACE(c.name);
        unlink((defs + "/definfo.dat").c_str());
        if (c.defInfo != nullptr)
            DefInfo(c.defInfo);
        CDefUtils du;
        WORD y = 1, m = 1, d = 1;
        DWORD r = 1;
        EXPECT_EQ(c.bOk, du.GetNewestDefsDate(&y, &m, &d, &r));
        EXPECT_EQ(c.result, du.GetLastResult());
        if (c.bOk) {
            EXPECT_EQ(2021, y);
            EXPECT_EQ(2, m);
            EXPECT_EQ(2, d);
            EXPECT_EQ(2u, r);
        }
    }
}

struct CurrentCase {
    const char* name;
    const char* usage;  // null: no usage.dat
    const char* appId;
    bool bOk;
    std::string path;  // relative to the definitions directory, "" for none
};

TEST_F(QueriesTest, CurrentSetIsTheFirstSectionNamingTheAppId)
{
    const CurrentCase cases[] = {
        {"registered", "[20200101.001]\nMyApp=1\n", "MyApp", true, kOld},
        {"first_of_two_sections", "[20210202.002]\nMyApp=1\n[20200101.001]\nMyApp=1\n", "MyApp",
         true, kNew},
        {"among_others", "[20200101.001]\nOther=1\n[20210202.002]\nOther2=1\nMyApp=1\n", "MyApp",
         true, kNew},
        {"key_case_ignored", "[20200101.001]\nmyapp=1\n", "MyApp", true, kOld},
        {"blanks_around_names", "  [ 20200101.001 ]  \n  MyApp  =  1  \n", "MyApp", true, kOld},
        {"value_is_the_sentinel", "[20200101.001]\nMyApp=KeyMissing\n[20210202.002]\nMyApp=1\n",
         "MyApp", true, kNew},
        {"not_registered", "[20200101.001]\nOther=1\n", "MyApp", false, ""},
        {"prefix_is_not_a_match", "[20200101.001]\nMyApp2=1\n", "MyApp", false, ""},
        {"set_deleted", "[20990101.001]\nMyApp=1\n", "MyApp", false, "20990101.001"},
        {"no_sections", "MyApp=1\n", "MyApp", false, ""},
        {"garbage", "\x01\x02\xff\n[\n=\n", "MyApp", false, ""},
        {"no_usage", nullptr, "MyApp", false, ""},
    };
    for (const CurrentCase& c : cases) {
        SCOPED_TRACE(c.name);
        unlink((defs + "/usage.dat").c_str());
        if (c.usage != nullptr)
            Usage(c.usage);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp(c.appId));
        char szDir[4096] = "stale";
        EXPECT_EQ(c.bOk, du.GetCurrentDefs(szDir, sizeof szDir));
        EXPECT_EQ(c.path.empty() ? "" : defs + "/" + c.path, szDir);
    }
}

TEST_F(QueriesTest, CurrentSetNeedsAnAppId)
{
    Usage("[20200101.001]\nMyApp=1\n");
    CDefUtils du;
    char szDir[64] = "stale";
    EXPECT_FALSE(du.GetCurrentDefs(szDir, sizeof szDir));
    EXPECT_STREQ("", szDir);
    WORD y = 7, m = 7, d = 7;
    DWORD r = 7;
    EXPECT_FALSE(du.GetCurrentDefsDate(&y, &m, &d, &r));
    EXPECT_EQ(DU_E_MISSING_APPID, du.GetLastResult());
    EXPECT_EQ(7, y);
}

TEST_F(QueriesTest, CurrentDate)
{
    Usage("[20200101.001]\nMyApp=1\n");
    CDefUtils du;
    ASSERT_TRUE(du.InitWindowsApp("MyApp"));
    WORD y = 0, m = 0, d = 0;
    DWORD r = 0;
    EXPECT_TRUE(du.GetCurrentDefsDate(&y, &m, &d, &r));
    EXPECT_EQ(DU_S_OK, du.GetLastResult());
    EXPECT_EQ(2020, y);
    EXPECT_EQ(1, m);
    EXPECT_EQ(1, d);
    EXPECT_EQ(1u, r);

    ASSERT_TRUE(du.InitWindowsApp("Stranger"));
    EXPECT_FALSE(du.GetCurrentDefsDate(&y, &m, &d, &r));
    EXPECT_EQ(DU_E_GENERAL, du.GetLastResult());
}

struct AreNewestCase {
    const char* name;
    const char* defInfo;  // null: none
    const char* usage;    // null: none
    bool bOk;
    bool bNewest;
    DuResult result;
};

TEST_F(QueriesTest, DefsAreNewestComparesPaths)
{
    const AreNewestCase cases[] = {
        {"uses_newest", "[DefDates]\nCurDefs=20210202.002\n", "[20210202.002]\nMyApp=1\n", true,
         true, DU_S_OK},
        {"uses_older", "[DefDates]\nCurDefs=20210202.002\n", "[20200101.001]\nMyApp=1\n", true,
         false, DU_S_OK},
        {"no_usage", "[DefDates]\nCurDefs=20210202.002\n", nullptr, false, false, DU_E_GENERAL},
        {"no_definfo", nullptr, "[20210202.002]\nMyApp=1\n", false, false, DU_E_MISSING_DEFINFO},
    };
    for (const AreNewestCase& c : cases) {
        SCOPED_TRACE(c.name);
        unlink((defs + "/definfo.dat").c_str());
        unlink((defs + "/usage.dat").c_str());
        if (c.defInfo != nullptr)
            DefInfo(c.defInfo);
        if (c.usage != nullptr)
            Usage(c.usage);
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("MyApp"));
        bool bNewest = !c.bNewest;
        EXPECT_EQ(c.bOk, du.DefsAreNewest(&bNewest));
        EXPECT_EQ(c.bNewest, bNewest);
        EXPECT_EQ(c.result, du.GetLastResult());
    }
}

struct InDirCase {
    const char* name;
    const char* defInfo;  // null: none
    int nYear;            // date of the candidate directory
    bool bNewest;
    DuResult result;
};

TEST_F(QueriesTest, DefsInDirAreNewestComparesDates)
{
    const InDirCase cases[] = {
        {"newer", "[DefDates]\nCurDefs=20210202.002\n", 2022, true, DU_S_OK},
        {"same_date_is_not_newer", "[DefDates]\nCurDefs=20210202.002\n", 2021, false, DU_S_OK},
        {"older", "[DefDates]\nCurDefs=20210202.002\n", 2020, false, DU_S_OK},
        {"no_definfo_means_newest", nullptr, 2000, true, DU_S_OK},
        {"newest_set_missing", "[DefDates]\nCurDefs=20990101.001\n", 2000, true, DU_S_OK},
        {"newest_unnamed", "[DefDates]\n", 2000, true, DU_S_OK},
    };
    int nRow = 0;
    for (const InDirCase& c : cases) {
        SCOPED_TRACE(c.name);
        unlink((defs + "/definfo.dat").c_str());
        if (c.defInfo != nullptr)
            DefInfo(c.defInfo);
        std::string candidate =
            MakeSet(sandbox.Root(), "candidate" + std::to_string(nRow++), c.nYear, 2, 2, 2);
        CDefUtils du;
        bool bNewest = !c.bNewest;
        EXPECT_EQ(c.result, du.DefsInDirAreNewest(candidate.c_str(), &bNewest));
        EXPECT_EQ(c.bNewest, bNewest);
    }
}

struct ProtectedCase {
    const char* name;
    std::string dir;
    bool bProtected;
};

TEST_F(QueriesTest, CurDefsAndLastDefsAreProtected)
{
    DefInfo("[DefDates]\nCurDefs= 20210202.002 \nLastDefs=20200101.001\n");
    const ProtectedCase cases[] = {
        {"cur_defs", Set(kNew), true},
        {"cur_defs_trailing_slash", Set(kNew) + "/", true},
        {"last_defs", Set(kOld), true},
        {"bare_name", kOld, true},
        {"other_set", Set("20190101.001"), false},
        {"name_differs_in_case", defs + "/20210202.002X", false},
        {"empty", "", false},
    };
    CDefUtils du;
    for (const ProtectedCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.bProtected, du.DefsDirIsNewest(c.dir.c_str()));
    }
    unlink((defs + "/definfo.dat").c_str());
    EXPECT_FALSE(du.DefsDirIsNewest(Set(kNew).c_str()));
}

TEST_F(QueriesTest, SectionLookupSearchesOnlyTheFirst10000BytesOfNames)
{
    // 1000 sections of 12-character names fill 13000 bytes of the list; an
    // AppId registered only in the last one is out of reach.
    std::string contents;
    for (int i = 0; i < 1000; ++i) {
        char szName[16];
        snprintf(szName, sizeof szName, "2020%04d.001", i);
        contents += std::string("[") + szName + "]\nOther=1\n";
    }
    Usage(contents + "[20210202.002]\nMyApp=1\n");
    CDefUtils du;
    ASSERT_TRUE(du.InitWindowsApp("MyApp"));
    char szDir[4096];
    EXPECT_FALSE(du.GetCurrentDefs(szDir, sizeof szDir));
    EXPECT_TRUE(du.GetSectionNameFromKey(szDir, sizeof szDir, "Other", (defs + "/usage.dat").c_str()));
    EXPECT_STREQ("20200000.001", szDir);
}

}  // namespace
