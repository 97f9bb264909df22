#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "defutils/cleanup_internal.h"
#include "defutils/defutils.h"
#include "platform/profile.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

const char kS1[] = "20240101.001";  // older
const char kS2[] = "20240201.001";  // newest
const char kS3[] = "20231201.001";  // oldest

class CleanupTest : public SandboxTest {
protected:
    void SetUp() override
    {
        defs = sandbox.DefsDir();
        MakeDefSet(defs, kS1, 2024, 1, 1, 1, {"a.dat"});
        MakeDefSet(defs, kS2, 2024, 2, 1, 1, {"a.dat"});
        MakeDefSet(defs, kS3, 2023, 12, 1, 1, {"a.dat"});
        install = sandbox.Path("app");
        MakeDirs(install);
        WriteTextFile(install + "/defloc.dat", "[DefBaseLocation]\nLocation=" + defs + "\n");
    }
    void Store(const std::string& definfo, const std::string& usage)
    {
        WriteTextFile(defs + "/definfo.dat", definfo);
        WriteTextFile(defs + "/usage.dat", usage);
    }
    // Set directories left in the store, in name order.
    std::vector<std::string> Sets() const
    {
        std::vector<std::string> sets;
        for (const std::string& name : ListDir(defs))
            if (!name.empty() && name[0] >= '0' && name[0] <= '9')
                sets.push_back(name);
        return sets;
    }

    std::string defs;
    std::string install;
};

struct StopCase {
    const char* name;
    std::string definfo;
    std::string usage;
    bool bResult;
    DuResult code;
    std::vector<std::string> sets;
    const char* otherUser;  // still registered afterwards, or null
};

TEST_F(CleanupTest, StopUsingRemovesOnlyTheRegistrationAndUnprotectedSets)
{
    const std::string definfo =
        std::string("[DefDates]\nCurDefs=") + kS2 + "\nLastDefs=" + kS1 + "\n";
    const StopCase cases[] = {
        {"set_shared_with_another_app", definfo,
         std::string("[") + kS3 + "]\nMe=1\nYou=1\n[" + kS2 + "]\nThem=1\n", true, DU_S_OK,
         {kS3, kS1, kS2}, "You"},
        {"previous_set_is_protected", definfo,
         std::string("[") + kS1 + "]\nMe=1\n[" + kS2 + "]\nThem=1\n", true, DU_S_OK,
         {kS3, kS1, kS2}, "Them"},
        {"unprotected_set_goes_with_its_last_user", definfo,
         std::string("[") + kS3 + "]\nMe=1\n[" + kS2 + "]\nThem=1\n", true, DU_S_OK, {kS1, kS2},
         "Them"},
        {"not_registered", definfo, std::string("[") + kS2 + "]\nThem=1\n", false,
         DU_E_APPID_NOT_REGISTERED, {kS3, kS1, kS2}, "Them"},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Store(c.definfo, c.usage);
        CDefUtils du;
        ASSERT_TRUE(du.InitInstallApp("Me", install.c_str()));
        EXPECT_EQ(c.bResult, du.StopUsingDefs());
        EXPECT_EQ(c.code, du.GetLastResult());
        EXPECT_EQ(c.sets, Sets());

        char section[DU_MAX_PATH];
        std::string usage = defs + "/usage.dat";
        EXPECT_FALSE(du.GetSectionNameFromKey(section, sizeof section, "Me", usage.c_str()));
        EXPECT_TRUE(du.GetSectionNameFromKey(section, sizeof section, c.otherUser, usage.c_str()));
        // Only the set's own last user takes its section away.
        EXPECT_EQ(c.otherUser == std::string("You"), !du.SectionIsEmpty(kS3, usage.c_str()));
        EXPECT_EQ(!c.bResult, PathExists(install + "/defloc.dat"));
    }
}

struct LastAppCase {
    const char* name;
    const char* conf;
    bool bConfKept;
};

TEST_F(CleanupTest, LastAppLeavingRemovesTheWholeStore)
{
    const LastAppCase cases[] = {
        {"conf_only_held_microdefs", "[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=1\n", false},
        {"conf_keeps_log_section",
         "[defutillog]\ndefutillog_name=trace.log\n[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=1\n",
         true},
    };
    for (const LastAppCase& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(defs);
        SetUp();
        sandbox.WriteDefutilsConf(c.conf);
        Store(std::string("[DefDates]\nCurDefs=") + kS2 + "\nLastDefs=" + kS1 + "\n",
              std::string("[") + kS3 + "]\nMe=1\n");
        MakeDefSet(defs, "incoming", 2024, 3, 1, 1);
        MakeDefSet(defs, "binhub", 2024, 2, 1, 1);
        MakeDefSet(defs, "texthub", 2024, 2, 1, 1);
        WriteDefDateFile(defs + "/tmp1a2b", 2024, 3, 1, 1);
        MakeDirs(defs + "/tmpff");
        {
            CDefUtils du;
            ASSERT_TRUE(du.InitInstallApp("Me", install.c_str()));
            EXPECT_TRUE(du.StopUsingDefs());
            EXPECT_EQ(DU_S_OK, du.GetLastResult());
        }
        EXPECT_FALSE(PathExists(install + "/defloc.dat"));
        EXPECT_EQ(c.bConfKept, PathExists(sandbox.DefutilsConf()));
        if (c.bConfKept) {
            // The debug log lives in the definitions directory and keeps
            // it; everything of the store itself is gone.
            EXPECT_EQ(std::vector<std::string>{"trace.log"}, ListDir(defs));
            EXPECT_EQ(std::string::npos, ReadTextFile(sandbox.DefutilsConf()).find("microdefs"));
            EXPECT_NE(std::string::npos, ReadTextFile(sandbox.DefutilsConf()).find("[defutillog]"));
        } else {
            EXPECT_FALSE(PathExists(defs));
            EXPECT_TRUE(PathExists(sandbox.BaseDir()));
        }
    }
}

TEST_F(CleanupTest, AlternateContentAlsoRemovesAnEmptyContentDirectory)
{
    for (bool bOtherType : {false, true}) {
        SCOPED_TRACE(bOtherType ? "other_type_present" : "only_type");
        std::string data = sandbox.BaseDir() + "/tvlxdata";
        RemoveTree(data);
        std::string alt = data + "/avx";
        MakeDefSet(alt, kS2, 2024, 2, 1, 1);
        WriteTextFile(alt + "/definfo.dat", std::string("[DefDates]\nCurDefs=") + kS2 + "\n");
        WriteTextFile(alt + "/usage.dat", std::string("[") + kS2 + "]\nMe=1\n");
        if (bOtherType)
            MakeDirs(data + "/other");
        sandbox.WriteDefutilsConf("[tvlxdata-avx-microdefs]\nLastBinUpdate=1\n"
                                  "[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=0\n");
        CDefUtils du;
        ASSERT_TRUE(du.InitBase("AVX"));
        ASSERT_TRUE(du.InitInstallApp("Me", install.c_str()));
        EXPECT_TRUE(du.StopUsingDefs());
        EXPECT_FALSE(PathExists(alt));
        EXPECT_EQ(bOtherType, PathExists(data));
        EXPECT_TRUE(PathExists(install + "/defloc.dat")) << "alternate content has none";
        std::string conf = ReadTextFile(sandbox.DefutilsConf());
        EXPECT_EQ(std::string::npos, conf.find("avx"));
        EXPECT_NE(std::string::npos, conf.find("shareddefs"));
    }
}

struct NewestCase {
    const char* name;
    std::string definfo;
    std::vector<std::string> sets;
};

TEST_F(CleanupTest, DeleteNewestRemovesOnlyTheSetsDefinfoNames)
{
    const NewestCase cases[] = {
        {"both", std::string("[DefDates]\nCurDefs=") + kS2 + "\nLastDefs= " + kS1 + " \n", {kS3}},
        {"missing_keys", "[DefDates]\n", {kS3, kS1, kS2}},
        {"missing_set", "[DefDates]\nCurDefs=20990101.001\n", {kS3, kS1, kS2}},
        {"hostile_names", "[DefDates]\nCurDefs=..\nLastDefs=\n", {kS3, kS1, kS2}},
        {"path_in_name", std::string("[DefDates]\nCurDefs=../virusdefs/") + kS1 + "\n",
         {kS3, kS1, kS2}},
    };
    WriteDefDateFile(sandbox.BaseDir(), 2024, 1, 1, 1);
    for (const NewestCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        WriteTextFile(defs + "/definfo.dat", c.definfo);
        CDefUtils du;
        du.DeleteNewestDefs();
        EXPECT_EQ(c.sets, Sets());
        EXPECT_TRUE(PathExists(sandbox.BaseDir() + "/virscan1.dat"));
        EXPECT_TRUE(PathExists(defs + "/definfo.dat"));
    }
}

TEST_F(CleanupTest, RemoveUnusedKeepsProtectedAndUsedSets)
{
    Store(std::string("[DefDates]\nCurDefs=") + kS2 + "\n", std::string("[") + kS1 + "]\nMe=1\n");
    CDefUtils du;
    du.RemoveUnusedDirectory((defs + "/" + kS2).c_str());
    du.RemoveUnusedDirectory((defs + "/" + kS1 + "/").c_str());
    EXPECT_EQ((std::vector<std::string>{kS3, kS1, kS2}), Sets());
    du.RemoveUnusedDirectory((defs + "/" + kS3 + "/").c_str());
    EXPECT_EQ((std::vector<std::string>{kS1, kS2}), Sets());
}

TEST_F(CleanupTest, TmpDirsAreRemovedWhenTheyHoldASetOrNothing)
{
    WriteDefDateFile(defs + "/tmp01", 2024, 1, 1, 1);
    MakeDirs(defs + "/tmp02");
    MakeDirs(defs + "/tmp03");
    WriteTextFile(defs + "/tmp03/partial.dat", "x");  // not a set: left alone
    WriteTextFile(defs + "/tmpfile", "x");
    MakeDirs(defs + "/keep");
    // A planted link must not lead the deletion out of the store.
    std::string outside = sandbox.Path("outside");
    WriteDefDateFile(outside, 2024, 1, 1, 1);
    WriteTextFile(outside + "/precious", "x", 0444);
    ASSERT_EQ(0, symlink(outside.c_str(), (defs + "/tmplink").c_str()));
    ASSERT_EQ(0, symlink((outside + "/precious").c_str(), (defs + "/tmp01/link").c_str()));
    CDefUtils du;
    du.DeleteTmpDirs(defs.c_str());
    EXPECT_EQ((std::vector<std::string>{kS3, kS1, kS2, "keep", "tmp03", "tmpfile", "tmplink"}),
              ListDir(defs));
    EXPECT_EQ((std::vector<std::string>{"precious", "virscan1.dat"}), ListDir(outside));
    EXPECT_EQ(0444, PathMode(outside + "/precious"));
}

TEST_F(CleanupTest, CleanupFilesAreDeletedByPattern)
{
    std::string set = defs + "/" + kS1;
    for (const char* f : {"x.tmp", "y.tmp", "old1.dat", "old22.dat", "keep.dat"})
        WriteTextFile(set + "/" + f, f);
    chmod((set + "/x.tmp").c_str(), 0444);
    CDefUtils du;
    du.DeleteCleanupFiles(set.c_str());
    EXPECT_EQ(8u, ListDir(set).size()) << "no Cleanup Files section: unchanged";

    WriteCatalog(set, {{"Files", {"virscan1.dat"}}, {"Cleanup Files", {"*.tmp", "sub/old?.dat"}}});
    du.DeleteCleanupFiles(set.c_str());
    EXPECT_EQ((std::vector<std::string>{"a.dat", "catalog.dat", "keep.dat", "old22.dat",
                                        "virscan1.dat"}),
              ListDir(set));
}

int g_nNext = 0;
int Counting()
{
    return ++g_nNext;
}

TEST_F(CleanupTest, TempUpdateDirGivesUpAfterFiftyTakenNames)
{
    DuRandomFn pfnPrevious = SetTempNameRandomForTesting(Counting);
    for (int nTaken : {49, 50}) {
        SCOPED_TRACE(nTaken);
        for (int i = 1; i <= 50; ++i) {
            char name[16];
            snprintf(name, sizeof name, "/tmp%x", i);
            RemoveTree(defs + name);
            if (i <= nTaken)
                MakeDirs(defs + name);
        }
        g_nNext = 0;
        CDefUtils du;
        char dir[DU_MAX_PATH] = "stale";
        EXPECT_EQ(nTaken == 49, du.GetTempUpdateDir(dir, sizeof dir));
        EXPECT_EQ(nTaken == 49 ? defs + "/tmp32" : "", dir);
        EXPECT_EQ(50, g_nNext) << "never more than fifty attempts";
    }
    SetTempNameRandomForTesting(pfnPrevious);
}

TEST_F(CleanupTest, TempUpdateDirIsANewTmpHexDirectory)
{
    mode_t previous = umask(022);
    CDefUtils du;
    char dir[DU_MAX_PATH];
    ASSERT_TRUE(du.GetTempUpdateDir(dir, sizeof dir));
    umask(previous);
    std::string name = std::string(dir).substr(std::min(strlen(dir), defs.size() + 1));
    EXPECT_EQ(defs + "/tmp", std::string(dir).substr(0, defs.size() + 4));
    EXPECT_GT(name.size(), 3u);
    EXPECT_EQ(std::string::npos, name.find_first_not_of("0123456789abcdef", 3)) << dir;
    EXPECT_EQ(0755, PathMode(dir));
    EXPECT_FALSE(du.GetTempUpdateDir(nullptr, 10));
}

TEST_F(CleanupTest, LocationFileNamesTheStoreWithoutATrailingSlash)
{
    std::string file = install + "/defloc.dat";
    RemoveTree(file);
    CDefUtils du;
    ASSERT_TRUE(du.InitInstallApp("Me", install.c_str()));
    EXPECT_TRUE(du.CreateDefLocDataFile("/some/defs/"));
    char location[DU_MAX_PATH];
    GetPrivateProfileString("DefBaseLocation", "Location", "", location, sizeof location,
                            file.c_str());
    EXPECT_STREQ("/some/defs", location);
    du.RemoveDefLocDataFile();
    EXPECT_FALSE(PathExists(file));
}

}  // namespace
