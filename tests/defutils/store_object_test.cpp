#include <sys/stat.h>

#include <string>

#include "defutils/defutils.h"
#include "tests/defutils/defutils_test_access.h"
#include "tests/defutils/store_test_util.h"
#include "tests/support/sandbox.h"

namespace {

using Access = CDefUtilsTestAccess;

gid_t GroupOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
}

class StoreObjectTest : public SandboxTest {};

TEST_F(StoreObjectTest, ConstructionCreatesTheDefaultStoreWithTheGroup)
{
    CDefUtils du;
    EXPECT_EQ(DU_S_OK, du.GetLastResult());
    EXPECT_EQ(sandbox.DefsDir(), Access::DefsDir(du));
    // Missing parents are created too, each shared with the group.
    for (const std::string& dir : {sandbox.BaseDir(), sandbox.DefsDir()}) {
        EXPECT_EQ(0770, PathMode(dir)) << dir;
        EXPECT_EQ(sandbox.GroupId(), GroupOf(dir)) << dir;
    }
    EXPECT_EQ("QORDefsInstallDir", Access::SfRegName(du));
    EXPECT_EQ("QORDefsBinInstallDir", Access::SfBinRegName(du));
    EXPECT_EQ("virusdefs-incr-InstallDir", Access::IncrRegName(du));
    EXPECT_FALSE(Access::AltContent(du));
    EXPECT_FALSE(Access::LogOpen(du));
}

struct BaseDirCase {
    const char* name;
    const char* tarvolixConf;  // null: no file at all
};

TEST_F(StoreObjectTest, WithoutABaseDirectoryTheObjectHasNoStore)
{
    const BaseDirCase cases[] = {
        {"no_key", "[Tarvolix Shared]\nOther=1\n"},
        {"empty_value", "[Tarvolix Shared]\nBaseDir=\n"},
        {"other_section", "[tarvolix]\nBaseDir=/somewhere\n"},
        {"no_file", nullptr},
    };
    for (const BaseDirCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.tarvolixConf != nullptr)
            sandbox.WriteTarvolixConf(c.tarvolixConf);
        else
            unlink(sandbox.TarvolixConf().c_str());

        CDefUtils du;
        EXPECT_EQ(DU_S_OK, du.GetLastResult());
        EXPECT_EQ("<null>", Access::DefsDir(du));
        EXPECT_TRUE(du.InitBase(nullptr));
        EXPECT_EQ("<null>", Access::DefsDir(du));
        EXPECT_FALSE(du.InitWindowsApp("SomeApp"));
        EXPECT_EQ(DU_E_MISSING_DEF_BASE_DIR, du.GetLastResult());
        EXPECT_FALSE(du.ContentTypeExists("anything"));
        char szBase[64] = "";
        EXPECT_FALSE(du.GetBaseDir(szBase, sizeof szBase));
    }
}

TEST_F(StoreObjectTest, BaseDirWithTrailingSlashGivesADoubleSeparator)
{
    // With the base missing, the recursive creation would stumble over
    // "base/" after creating "base"; an installed store has its base.
    MakeDirs(sandbox.BaseDir());
    sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "/\n");
    CDefUtils du;
    EXPECT_EQ(sandbox.BaseDir() + "//virusdefs", Access::DefsDir(du));
    EXPECT_TRUE(PathExists(sandbox.DefsDir()));
}

struct InitBaseCase {
    const char* name;
    const char* contentType;
    std::string subdir;  // below the base directory
    const char* lowerType;  // null: default content
};

TEST_F(StoreObjectTest, InitBaseSelectsTheContentsDirectory)
{
    const InitBaseCase cases[] = {
        {"null", nullptr, "virusdefs", nullptr},
        {"empty", "", "virusdefs", nullptr},
        {"lower", "spam", "tvlxdata/spam", "spam"},
        {"mixed_case", "MyType", "tvlxdata/mytype", "mytype"},
    };
    for (const InitBaseCase& c : cases) {
        SCOPED_TRACE(c.name);
        CDefUtils du;
        EXPECT_TRUE(du.InitBase(c.contentType));
        EXPECT_EQ(DU_S_OK, du.GetLastResult());
        std::string dir = sandbox.BaseDir() + "/" + c.subdir;
        EXPECT_EQ(dir, Access::DefsDir(du));
        EXPECT_EQ(0770, PathMode(dir));
        EXPECT_EQ(sandbox.GroupId(), GroupOf(dir));
        EXPECT_EQ(c.lowerType != nullptr, Access::AltContent(du));
        if (c.lowerType == nullptr) {
            EXPECT_EQ("<null>", Access::ContentType(du));
            EXPECT_EQ("QORDefsInstallDir", Access::SfRegName(du));
            EXPECT_EQ("QORDefsBinInstallDir", Access::SfBinRegName(du));
            EXPECT_EQ("virusdefs-incr-InstallDir", Access::IncrRegName(du));
            continue;
        }
        std::string type = c.lowerType;
        EXPECT_EQ(type, Access::ContentType(du));
        EXPECT_EQ("tvlxdata-" + type, Access::ContentDataName(du));
        EXPECT_EQ("tvlxdata/" + type, Access::ContentDefsSubdir(du));
        EXPECT_EQ("tvlxdata-shareddefs-tvlxdata-" + type, Access::ContentSharedName(du));
        EXPECT_EQ("tvlxdata-" + type + "-microdefs", Access::MicroDefsSection(du));
        EXPECT_EQ(type + "InstallDir", Access::SfRegName(du));
        EXPECT_EQ("<null>", Access::SfBinRegName(du));
        EXPECT_EQ(type + "-incr-InstallDir", Access::IncrRegName(du));
    }
}

TEST_F(StoreObjectTest, InitBaseAgainReturnsToTheDefaultContent)
{
    CDefUtils du;
    ASSERT_TRUE(du.InitBase("Alt"));
    ASSERT_TRUE(du.InitBase(nullptr));
    EXPECT_EQ(sandbox.DefsDir(), Access::DefsDir(du));
    EXPECT_FALSE(Access::AltContent(du));
    EXPECT_EQ("<null>", Access::ContentType(du));
    EXPECT_EQ("QORDefsBinInstallDir", Access::SfBinRegName(du));
}

TEST_F(StoreObjectTest, ContentTypeExistsLooksForTheLowerCaseDirectory)
{
    MakeDirs(sandbox.BaseDir() + "/tvlxdata/mytype");
    CDefUtils du;
    EXPECT_TRUE(du.ContentTypeExists("MyType"));
    EXPECT_TRUE(du.ContentTypeExists("mytype"));
    EXPECT_FALSE(du.ContentTypeExists("other"));
    EXPECT_FALSE(du.ContentTypeExists(nullptr));
    EXPECT_FALSE(PathExists(sandbox.BaseDir() + "/tvlxdata/other")) << "only looks";
}

struct AppCase {
    const char* name;
    const char* appId;
    bool bOk;
    DuResult result;
};

TEST_F(StoreObjectTest, InitWindowsAppNeedsAnAppIdAndAStore)
{
    const AppCase cases[] = {
        {"plain", "MyApp_1", true, DU_S_OK},
        {"null", nullptr, false, DU_E_INVALID_PARAMETER},
        {"empty", "", false, DU_E_INVALID_PARAMETER},
    };
    for (const AppCase& c : cases) {
        SCOPED_TRACE(c.name);
        CDefUtils du;
        EXPECT_EQ(c.bOk, du.InitWindowsApp(c.appId));
        EXPECT_EQ(c.result, du.GetLastResult());
        EXPECT_EQ(c.bOk ? c.appId : "<null>", Access::AppId(du));
    }
}

struct InstallCase {
    const char* name;
    std::string installDir;  // "<none>" for null
    std::string stored;
};

TEST_F(StoreObjectTest, InitInstallAppKeepsOnlyAnExistingInstallDirectory)
{
    std::string app = sandbox.Path("app");
    MakeDirs(app);
    const InstallCase cases[] = {
        {"trailing_slash", app + "/", app},
        {"plain", app, app},
        {"missing", sandbox.Path("noapp"), "<null>"},
        {"none", "<none>", "<null>"},
    };
    for (const InstallCase& c : cases) {
        SCOPED_TRACE(c.name);
        CDefUtils du;
        EXPECT_TRUE(du.InitInstallApp(
            "QORDefUtil", c.installDir == "<none>" ? nullptr : c.installDir.c_str()));
        EXPECT_EQ(DU_S_OK, du.GetLastResult());
        EXPECT_EQ("QORDefUtil", Access::AppId(du));
        EXPECT_EQ(c.stored, Access::AppInstallDir(du));
    }
    CDefUtils du;
    EXPECT_FALSE(du.InitInstallApp("", app.c_str()));
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.GetLastResult());
}

TEST_F(StoreObjectTest, StoreCannotBeCreatedWithoutTheGroup)
{
    sandbox.SetGroupName("qdu-no-such-group-7f3a");
    CDefUtils du;
    EXPECT_EQ(DU_S_OK, du.GetLastResult());
    EXPECT_EQ("<null>", Access::DefsDir(du));
    EXPECT_FALSE(PathExists(sandbox.BaseDir()));
}

}  // namespace
