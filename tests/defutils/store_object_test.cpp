#include "tests/defutils/defutils_test_access.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

using Access = CDefUtilsTestAccess;
using StoreObjectTest = SandboxTest;

TEST_F(StoreObjectTest, ConstructionCreatesTheDefaultStoreAndMissingParentsWithTheGroup)
{
    gid_t gid = UseDistinctStoreGroup(&sandbox);
    CDefUtils du;
    EXPECT_EQ(sandbox.DefsDir(), Access::DefsDir(du));
    EXPECT_EQ("default <null> QORDefsInstallDir QORDefsBinInstallDir virusdefs-incr-InstallDir "
              "<null> <null> <null> <null>", Access::Names(du));
    for (const std::string& dir : {sandbox.BaseDir(), sandbox.DefsDir()}) {
        EXPECT_EQ(0770, PathMode(dir)) << dir;
        EXPECT_EQ(gid, PathGroup(dir)) << dir;
    }
}

TEST_F(StoreObjectTest, WithoutABaseDirectoryTheObjectHasNoStore)
{
    sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=\n");
    CDefUtils du;
    EXPECT_TRUE(du.InitBase(nullptr));
    EXPECT_EQ("<null>", Access::DefsDir(du));
    EXPECT_FALSE(du.InitWindowsApp("SomeApp"));
    EXPECT_EQ(DU_E_MISSING_DEF_BASE_DIR, du.GetLastResult());
}

TEST_F(StoreObjectTest, InitBaseSelectsTheContentByItsLowerCaseName)
{
    CDefUtils du;
    EXPECT_TRUE(du.InitBase("MyType"));
    EXPECT_EQ(sandbox.BaseDir() + "/tvlxdata/mytype", Access::DefsDir(du));
    EXPECT_EQ("alt mytype mytypeInstallDir <null> mytype-incr-InstallDir tvlxdata-mytype "
              "tvlxdata/mytype tvlxdata-shareddefs-tvlxdata-mytype tvlxdata-mytype-microdefs",
              Access::Names(du));
    EXPECT_TRUE(du.ContentTypeExists("MYTYPE"));
    EXPECT_FALSE(du.ContentTypeExists("other"));
    EXPECT_TRUE(du.InitBase(""));
    EXPECT_EQ(sandbox.DefsDir(), Access::DefsDir(du));
}

TEST_F(StoreObjectTest, InitAppNeedsAnAppIdAndKeepsOnlyAnExistingInstallDirectory)
{
    MakeDirs(sandbox.Path("app"));
    CDefUtils du;
    EXPECT_TRUE(du.InitInstallApp("QORDefUtil", sandbox.Path("app/").c_str()));
    EXPECT_EQ(sandbox.Path("app"), Access::InstallDir(du));
    EXPECT_TRUE(du.InitInstallApp("QORDefUtil", sandbox.Path("noapp").c_str()));
    EXPECT_EQ("<null>", Access::InstallDir(du));
    EXPECT_FALSE(du.InitWindowsApp(""));
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.GetLastResult());
}

}  // namespace
