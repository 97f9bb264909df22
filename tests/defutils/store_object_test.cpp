#include <unistd.h>

#include <string>

#include "tests/defutils/defutils_test_access.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

using Access = CDefUtilsTestAccess;
using StoreObjectTest = SandboxTest;

const char kDefaultNames[] = "default <null> QORDefsInstallDir QORDefsBinInstallDir "
                             "virusdefs-incr-InstallDir <null> <null> <null> <null>";

TEST_F(StoreObjectTest, ConstructionCreatesTheDefaultStoreAndMissingParentsWithTheGroup)
{
    gid_t gid = UseDistinctStoreGroup(&sandbox);
    CDefUtils du;
    EXPECT_EQ(DU_S_OK, du.GetLastResult());
    EXPECT_EQ(sandbox.DefsDir(), Access::DefsDir(du));
    EXPECT_EQ(kDefaultNames, Access::Names(du));
    for (const std::string& dir : {sandbox.BaseDir(), sandbox.DefsDir()}) {
        EXPECT_EQ(0770, PathMode(dir)) << dir;
        EXPECT_EQ(gid, PathGroup(dir)) << dir;
    }
}

TEST_F(StoreObjectTest, WithoutABaseDirectoryTheObjectHasNoStore)
{
    for (const char* conf : {"[Tarvolix Shared]\nOther=1\n", "[Tarvolix Shared]\nBaseDir=\n", ""}) {
        SCOPED_TRACE(conf);
        if (*conf != '\0')
            sandbox.WriteTarvolixConf(conf);
        else
            unlink(sandbox.TarvolixConf().c_str());
        CDefUtils du;
        EXPECT_TRUE(du.InitBase(nullptr));
        EXPECT_EQ("<null>", Access::DefsDir(du));
        EXPECT_FALSE(du.InitWindowsApp("SomeApp"));
        EXPECT_EQ(DU_E_MISSING_DEF_BASE_DIR, du.GetLastResult());
    }
}

TEST_F(StoreObjectTest, InitBaseSelectsTheContentByItsLowerCaseName)
{
    CDefUtils du;
    EXPECT_TRUE(du.InitBase("MyType"));
    EXPECT_EQ(sandbox.BaseDir() + "/tvlxdata/mytype", Access::DefsDir(du));
    EXPECT_EQ(0770, PathMode(Access::DefsDir(du)));
    EXPECT_EQ("alt mytype mytypeInstallDir <null> mytype-incr-InstallDir tvlxdata-mytype "
              "tvlxdata/mytype tvlxdata-shareddefs-tvlxdata-mytype tvlxdata-mytype-microdefs",
              Access::Names(du));
    EXPECT_TRUE(du.ContentTypeExists("MYTYPE"));
    EXPECT_FALSE(du.ContentTypeExists("other"));
    EXPECT_FALSE(PathExists(sandbox.BaseDir() + "/tvlxdata/other")) << "only looks";
    // An empty type returns to the default content.
    EXPECT_TRUE(du.InitBase(""));
    EXPECT_EQ(sandbox.DefsDir(), Access::DefsDir(du));
    EXPECT_EQ(0u, Access::Names(du).find("default <null> QORDefsInstallDir QORDefsBinInstallDir"));
}

TEST_F(StoreObjectTest, InitAppNeedsAnAppIdAndKeepsOnlyAnExistingInstallDirectory)
{
    std::string app = sandbox.Path("app");
    MakeDirs(app);
    const struct { std::string dir; std::string stored; } cases[] = {
        {app + "/", app}, {sandbox.Path("noapp"), "<null>"},
    };
    for (const auto& c : cases) {
        CDefUtils du;
        EXPECT_TRUE(du.InitInstallApp("QORDefUtil", c.dir.c_str()));
        EXPECT_EQ("QORDefUtil", Access::AppId(du));
        EXPECT_EQ(c.stored, Access::InstallDir(du)) << c.dir;
    }
    CDefUtils du;
    EXPECT_FALSE(du.InitInstallApp("", app.c_str()));
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.GetLastResult());
    EXPECT_FALSE(du.InitWindowsApp(nullptr));
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.GetLastResult());
    EXPECT_EQ("<null>", Access::AppId(du));
}

}  // namespace
