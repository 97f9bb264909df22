// A store object's setup: its store, content names and debug log file.
#include <unistd.h>

#include "tests/defutils/defutils_test_access.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

using Access = CDefUtilsTestAccess;
using StoreObjectTest = SandboxTest;

void ConfigureLog(const Sandbox& sandbox, const std::string& name)
{
    sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=" + name + "\n");
}

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

TEST_F(StoreObjectTest, LogNameGetsAnExtensionAndLandsInTheDefinitionsDirectory)
{
    const struct { const char* configured; const char* fileName; } cases[] = {
        {"mylog", "mylog.log"},
        {"A.TXT", "A.TXT"},
        {"c.LoG", "c.LoG"},
        {"/var/tmp/run.log", "run.log"},
        {"trace.out", "trace.out.log"},
    };
    for (const auto& c : cases) {
        ConfigureLog(sandbox, c.configured);
        std::string expected = sandbox.DefsDir() + "/" + c.fileName;
        EXPECT_EQ(expected, Access::LogFileName(CDefUtils())) << c.configured;
        EXPECT_EQ(0660, PathMode(expected)) << c.configured;
        EXPECT_NE(std::string::npos, ReadTextFile(expected).find(
            "\n\n" + std::string(74, '+') + "\n\n       Logging Started @ ")) << c.configured;
    }
}

TEST_F(StoreObjectTest, SymbolicLinkAtTheLogPathIsRefused)
{
    ConfigureLog(sandbox, "mylog");
    MakeDirs(sandbox.DefsDir());
    std::string link = sandbox.DefsDir() + "/mylog.log";
    std::string target = sandbox.Path("target.txt"), dangling = sandbox.Path("through-link");
    WriteTextFile(target, "precious", 0600);
    for (const std::string& to : {target, dangling}) {
        unlink(link.c_str());
        ASSERT_EQ(0, symlink(to.c_str(), link.c_str()));
        EXPECT_FALSE(Access::LogOpen(CDefUtils())) << to;
    }
    EXPECT_EQ("precious", ReadTextFile(target));
    EXPECT_EQ(0600, PathMode(target));
    EXPECT_FALSE(PathExists(dangling));
}

TEST_F(StoreObjectTest, LogsUpToOneMegabyteAreContinuedLargerOnesRestarted)
{
    ConfigureLog(sandbox, "mylog");
    MakeDirs(sandbox.DefsDir());
    std::string log = sandbox.DefsDir() + "/mylog.log";
    for (size_t nSize : {1048576, 1048577}) {
        std::string old(nSize, 'o');
        WriteTextFile(log, old);
        { CDefUtils du; }
        std::string contents = ReadTextFile(log);
        bool bContinued = contents.size() > nSize && contents.compare(0, nSize, old) == 0;
        EXPECT_EQ(nSize == 1048576, bContinued) << nSize;
    }
}

}  // namespace
