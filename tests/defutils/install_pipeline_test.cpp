// The pre- and post-update steps around a full set, from a machine without a store.
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Names;
const SetDate kOld = {2009, 3, 15, 12}, kNew = {2009, 4, 1, 3};

class InstallPipelineTest : public SandboxTest {
protected:
    std::string CurDefs() const { return DefDatesValue(defs + "/definfo.dat", "CurDefs"); }

    const std::string defs = sandbox.DefsDir();
};

TEST_F(InstallPipelineTest, FirstInstallCreatesTheStoreIntegratesAndPrimesHubs)
{
    // Only the section used to create a store names the base directory.
    sandbox.WriteTarvolixConf("[tarvolix]\nBaseDir=" + sandbox.BaseDir() + "\n");
    CDefUtils du;
    char szDir[DU_MAX_PATH];
    ASSERT_TRUE(du.PreDefUpdate(szDir, sizeof szDir, DU_INSTALL));
    EXPECT_EQ(0755, PathMode(sandbox.BaseDir()));
    EXPECT_EQ(0770, PathMode(defs));
    const Names entries = ListDir(defs);
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ((Names{"binhub", "incoming", "texthub"}), Names(entries.begin(), entries.end() - 1));
    EXPECT_EQ(defs + "/" + entries[3], szDir);

    WriteSet(szDir, kNew);
    ASSERT_TRUE(du.PostDefUpdate(false));
    EXPECT_EQ(kNew.DirName(), CurDefs());
    EXPECT_TRUE(IsCompleteSet(defs + "/" + kNew.DirName()));
    EXPECT_FALSE(PathExists(szDir));
    EXPECT_EQ((Names{"bincommon.dat", "binlinux.dat"}), ListDir(defs + "/binhub"));
    EXPECT_EQ((Names{"texthub.dat"}), ListDir(defs + "/texthub"));
    EXPECT_EQ("[tvlxdata-shareddefs-microdefs]\nLastTextUpdate=1\nLastBinUpdate=1\n",
              ReadTextFile(sandbox.DefutilsConf()));
}

TEST_F(InstallPipelineTest, FailedPostUpdateRollsBackOnlyAStoreThatHeldNothing)
{
    // set: put into the update directory (null: none); "short" cuts its header,
    // "drop" removes a file its catalog lists.
    const struct {
        const char* name;
        bool bStore, bResult;
        const SetDate* set;
        const char* damage;
    } cases[] = {
        {"older_than_newest_is_no_failure", true, true, &kOld, ""},
        {"empty_update_on_first_install", false, false, nullptr, ""},
        {"invalid_header_on_first_install", false, false, &kNew, "short"},
        {"incomplete_set_on_existing_store", true, false, &kNew, "drop"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(sandbox.BaseDir());
        if (c.bStore) {
            WriteSet(defs + "/" + kOld.DirName(), kOld);
            WriteTextFile(defs + "/definfo.dat", DefInfoText(kOld.DirName(), kOld.DirName()));
        }
        CDefUtils du;
        char szDir[DU_MAX_PATH];
        ASSERT_TRUE(du.PreDefUpdate(szDir, sizeof szDir, DU_INSTALL));
        if (c.set != nullptr)
            WriteSet(szDir, *c.set);
        if (std::string(c.damage) == "short")
            WriteTextFile(std::string(szDir) + "/virscan1.dat", "short");
        if (std::string(c.damage) == "drop")
            RemoveTree(std::string(szDir) + "/defs1.dat");

        EXPECT_EQ(c.bResult, du.PostDefUpdate(false));
        EXPECT_FALSE(PathExists(szDir));
        EXPECT_EQ(c.bStore, PathExists(defs));
        EXPECT_EQ(c.bStore ? kOld.DirName() : "", CurDefs());
    }
}

}  // namespace
