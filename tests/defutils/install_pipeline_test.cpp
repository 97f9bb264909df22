// The pre- and post-update steps around a full set, hub priming, and the
// creation of a store on a machine that has none.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/defutils/defutils_test_access.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

const SetDate kOld = {2009, 3, 15, 12};
const SetDate kNew = {2009, 4, 1, 3};

class InstallPipelineTest : public SandboxTest {
protected:
    std::string Defs(const std::string& entry = "") const
    {
        return entry.empty() ? sandbox.DefsDir() : sandbox.DefsDir() + "/" + entry;
    }

    // A store whose newest and last set is kOld.
    void MakeStore()
    {
        WriteSet(Defs(kOld.DirName()), kOld);
        WriteTextFile(Defs("definfo.dat"), DefInfoText(kOld.DirName(), kOld.DirName()));
    }

    std::vector<std::string> TempDirs() const
    {
        std::vector<std::string> found;
        for (const std::string& name : ListDir(Defs()))
            if (name.compare(0, 3, "tmp") == 0)
                found.push_back(name);
        return found;
    }

    std::string CurDefs() const { return DefDatesValue(Defs("definfo.dat"), "CurDefs"); }
};

TEST_F(InstallPipelineTest, FirstInstallCreatesStoreFromCreationSection)
{
    // Only the section used to create a store names the base directory, so
    // the store manager starts without a definitions directory.
    sandbox.WriteTarvolixConf("[tarvolix]\nBaseDir=" + sandbox.BaseDir() + "\n");
    CDefUtils du;
    ASSERT_EQ("<null>", CDefUtilsTestAccess::DefsDir(du));

    char szDir[DU_MAX_PATH];
    ASSERT_TRUE(du.PreDefUpdate(szDir, sizeof szDir, DU_INSTALL));
    EXPECT_EQ(DU_S_OK, du.GetLastResult());
    EXPECT_EQ(sandbox.DefsDir(), CDefUtilsTestAccess::DefsDir(du));
    EXPECT_EQ(0755, PathMode(sandbox.BaseDir()));
    EXPECT_EQ(0770, PathMode(Defs()));
    for (const char* pszEntry : {"incoming", "binhub", "texthub"})
        EXPECT_TRUE(PathExists(Defs(pszEntry))) << pszEntry;
    std::vector<std::string> temps = TempDirs();
    ASSERT_EQ(1u, temps.size());
    EXPECT_EQ(Defs(temps[0]), szDir);
}

TEST_F(InstallPipelineTest, PreUpdateRefusals)
{
    struct {
        const char* name;
        const char* conf;
        bool bNullDir;
        DWORD nType;
        DuResult expected;
    } const kCases[] = {
        {"NoBaseDirAnywhere", "[Tarvolix Shared]\n", false, DU_INSTALL, DU_E_GENERAL},
        {"TypeTwoNeedsAStore", "[tarvolix]\nBaseDir=%s\n", false, 2, DU_E_MISSING_DEF_BASE_DIR},
        {"NullFirstDirectory", "[tarvolix]\nBaseDir=%s\n", true, DU_INSTALL,
         DU_E_INVALID_PARAMETER},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string conf = c.conf;
        size_t nAt = conf.find("%s");
        if (nAt != std::string::npos)
            conf.replace(nAt, 2, sandbox.BaseDir());
        sandbox.WriteTarvolixConf(conf);

        CDefUtils du;
        char szDir[DU_MAX_PATH] = "stale";
        DuResult result = du.PreDefUpdateInternal(c.bNullDir ? nullptr : szDir, sizeof szDir,
                                                  nullptr, 0, c.nType);
        EXPECT_EQ(c.expected, result);
        if (!c.bNullDir) {
            EXPECT_STREQ("", szDir);
        }
        EXPECT_FALSE(PathExists(sandbox.BaseDir()));
    }
}

TEST_F(InstallPipelineTest, HeldIncomingLockIsOnlyAdvisory)
{
    MakeStore();
    WriteSet(Defs("incoming"), kNew);
    WriteTextFile(Defs("incoming/inlock.dat"), "");

    CDefUtils du;
    char szDir[DU_MAX_PATH];
    ASSERT_TRUE(du.PreDefUpdate(szDir, sizeof szDir, DU_INSTALL));
    EXPECT_EQ(DU_S_INCOMING_LOCK_FAILED, du.GetLastResult());
    EXPECT_TRUE(PathExists(szDir));
    EXPECT_TRUE(PathExists(Defs("incoming/virscan1.dat")));
    EXPECT_EQ(kOld.DirName(), CurDefs());
}

TEST_F(InstallPipelineTest, OnlineUpdateHoldsClientLockUntilPostUpdate)
{
    MakeStore();
    CDefUtils du;
    char szDir1[DU_MAX_PATH];
    char szDir2[DU_MAX_PATH];
    ASSERT_EQ(DU_S_OK, du.PreDefUpdateInternal(szDir1, sizeof szDir1, szDir2, sizeof szDir2,
                                               DU_ONLINE_UPDATE));
    EXPECT_TRUE(PathExists(Defs("sflock.dat")));
    EXPECT_TRUE(PathExists(szDir1));
    EXPECT_TRUE(PathExists(szDir2));
    EXPECT_STRNE(szDir1, szDir2);

    // Nothing arrived: nothing newer to integrate, which is no failure;
    // the lock and the first directory go.
    EXPECT_TRUE(du.PostDefUpdate(false));
    EXPECT_FALSE(PathExists(Defs("sflock.dat")));
    EXPECT_FALSE(PathExists(szDir1));
    EXPECT_EQ(kOld.DirName(), CurDefs());
}

TEST_F(InstallPipelineTest, OnlineUpdateWithLockHeldElsewhereCleansUp)
{
    MakeStore();
    WriteTextFile(Defs("sflock.dat"), "");
    CDefUtils du;
    char szDir1[DU_MAX_PATH] = "stale";
    char szDir2[DU_MAX_PATH] = "stale";
    EXPECT_EQ(DU_E_SF_LOCK_FAILED, du.PreDefUpdateInternal(szDir1, sizeof szDir1, szDir2,
                                                           sizeof szDir2, DU_ONLINE_UPDATE));
    EXPECT_STREQ("", szDir1);
    EXPECT_STREQ("", szDir2);
    EXPECT_EQ(std::vector<std::string>(), TempDirs());
    EXPECT_TRUE(PathExists(Defs("sflock.dat")));
}

TEST_F(InstallPipelineTest, PostUpdateIntegratesNewerSetAndPrimesHubs)
{
    MakeStore();
    CDefUtils du;
    char szDir[DU_MAX_PATH];
    ASSERT_TRUE(du.PreDefUpdate(szDir, sizeof szDir, DU_INSTALL));
    WriteSet(szDir, kNew);

    ASSERT_TRUE(du.PostDefUpdate(false));
    EXPECT_EQ(DU_S_OK, du.GetLastResult());
    EXPECT_EQ(kNew.DirName(), CurDefs());
    EXPECT_TRUE(IsCompleteSet(Defs(kNew.DirName())));
    EXPECT_FALSE(PathExists(szDir));
    EXPECT_EQ(std::vector<std::string>({"bincommon.dat", "binlinux.dat"}), ListDir(Defs("binhub")));
    EXPECT_EQ(std::vector<std::string>({"texthub.dat"}), ListDir(Defs("texthub")));
    std::string conf = ReadTextFile(sandbox.DefutilsConf());
    EXPECT_NE(std::string::npos, conf.find("LastBinUpdate=1")) << conf;
    EXPECT_NE(std::string::npos, conf.find("LastTextUpdate=1")) << conf;
}

TEST_F(InstallPipelineTest, PostUpdateOutcomes)
{
    struct {
        const char* name;
        bool bStore;          // a store with a newest set exists before
        const SetDate* pSet;  // set put into the update directory, or none
        bool bTruncateMain;   // the main file loses its header
        bool bDropFile;       // a file listed in the catalog is missing
        bool bExpected;
        bool bStoreRemains;
    } const kCases[] = {
        {"OlderThanNewestIsNotIntegrated", true, &kOld, false, false, true, true},
        // Nothing readable is never newer than the newest set.
        {"EmptyUpdateOnExistingStore", true, nullptr, false, false, true, true},
        {"EmptyUpdateOnFirstInstall", false, nullptr, false, false, false, false},
        {"InvalidHeaderOnFirstInstall", false, &kNew, true, false, false, false},
        {"InvalidHeaderOnExistingStore", true, &kNew, true, false, true, true},
        {"IncompleteNewerSetOnFirstInstall", false, &kNew, false, true, false, false},
        {"IncompleteNewerSetOnExistingStore", true, &kNew, false, true, false, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        RemoveTree(sandbox.BaseDir());
        if (c.bStore)
            MakeStore();
        CDefUtils du;
        char szDir[DU_MAX_PATH];
        ASSERT_TRUE(du.PreDefUpdate(szDir, sizeof szDir, DU_INSTALL));
        if (c.pSet != nullptr)
            WriteSet(szDir, *c.pSet);
        if (c.bTruncateMain)
            WriteTextFile(std::string(szDir) + "/virscan1.dat", "short");
        if (c.bDropFile)
            unlink((std::string(szDir) + "/defs1.dat").c_str());

        EXPECT_EQ(c.bExpected, du.PostDefUpdate(false));
        EXPECT_FALSE(PathExists(szDir));
        EXPECT_EQ(c.bStoreRemains, PathExists(Defs()));
        if (c.bStoreRemains) {
            EXPECT_EQ(kOld.DirName(), CurDefs());
            EXPECT_TRUE(IsCompleteSet(Defs(kOld.DirName())));
        }
    }
}

TEST_F(InstallPipelineTest, PostUpdateWithoutPreUpdate)
{
    MakeStore();
    CDefUtils du;
    EXPECT_FALSE(du.PostDefUpdate(false));
    EXPECT_EQ(DU_E_GENERAL, du.GetLastResult());
    // The store holds a definfo.dat, so it is kept.
    EXPECT_EQ(kOld.DirName(), CurDefs());
}

TEST_F(InstallPipelineTest, HubPriming)
{
    struct {
        const char* name;
        const char* contentType;  // null: default content
        bool bMakeBinHub;
        DuResult expected;
    } const kCases[] = {
        {"DefaultContentFillsBothHubs", nullptr, true, DU_S_OK},
        {"AltContentFillsBinaryHubOnly", "Mail", true, DU_S_OK},
        {"NoBinaryHub", nullptr, false, DU_E_GENERAL},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        RemoveTree(sandbox.BaseDir());
        RemoveTree(sandbox.DefutilsConf());
        std::string set = sandbox.Path("set");
        WriteSet(set, kNew);

        CDefUtils du;
        du.InitBase(c.contentType);
        char szDefs[DU_MAX_PATH];
        ASSERT_TRUE(du.GetVirusDefsDir(szDefs, sizeof szDefs));
        std::string defs = szDefs;
        if (c.bMakeBinHub)
            MakeDirs(defs + "/binhub");
        if (c.contentType == nullptr && c.bMakeBinHub)
            MakeDirs(defs + "/texthub");

        EXPECT_EQ(c.expected, du.InstallMicroDefHubFiles(set.c_str()));
        if (c.bMakeBinHub) {
            EXPECT_EQ(std::vector<std::string>({"bincommon.dat", "binlinux.dat"}),
                      ListDir(defs + "/binhub"));
        }
        EXPECT_EQ(c.contentType == nullptr && c.bMakeBinHub,
                  PathExists(defs + "/texthub/texthub.dat"));
        std::string conf = ReadTextFile(sandbox.DefutilsConf());
        EXPECT_EQ(c.bMakeBinHub, conf.find("LastBinUpdate=1") != std::string::npos) << conf;
    }
}

}  // namespace
