#include <grp.h>
#include <sys/stat.h>

#include <cerrno>

#include "defutils/defutils.h"
#include "defutils/ownership_internal.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

// Fake group database: ERANGE until the buffer reaches g_nFitsAt bytes.
size_t g_nFitsAt = 0;
std::string g_sizesSeen;

int LargeGroupLookup(const char* pszName, struct group* pGroup, char* pBuffer, size_t nSize,
                     struct group** ppResult)
{
    g_sizesSeen += std::to_string(nSize / 1024) + "k ";
    *ppResult = nullptr;
    return nSize < g_nFitsAt ? ERANGE : getgrnam_r(pszName, pGroup, pBuffer, nSize, ppResult);
}

class OwnershipTest : public SandboxTest {
protected:
    void TearDown() override { SetGroupLookupForTesting(nullptr); }
    CDefUtils du;
};

TEST_F(OwnershipTest, LargeGroupEntriesAreRetriedWithDoubledBuffersUpToOneMegabyte)
{
    const std::string kAll = "1k 2k 4k 8k 16k 32k 64k 128k 256k 512k 1024k ";
    SetGroupLookupForTesting(LargeGroupLookup);
    for (size_t nFitsAt : {4096, 1048576, 1048577}) {
        std::string path = sandbox.Path(std::to_string(nFitsAt));
        WriteTextFile(path, "x", 0600);
        g_nFitsAt = nFitsAt;
        g_sizesSeen.clear();
        EXPECT_EQ(nFitsAt <= 1048576, du.ChangeUnixOwner(path.c_str(), 0770, false)) << nFitsAt;
        EXPECT_EQ(nFitsAt <= 1048576 ? 0660 : 0600, PathMode(path)) << nFitsAt;
        EXPECT_EQ(nFitsAt == 4096 ? "1k 2k 4k " : kAll, g_sizesSeen);
    }
}

TEST_F(OwnershipTest, FilesNeverBecomeExecutableOrSpecial)
{
    gid_t gid = UseDistinctStoreGroup(&sandbox);
    for (unsigned int nMode : {0775, 04770}) {
        std::string path = sandbox.Path(std::to_string(nMode));
        WriteTextFile(path, "x", 0600);
        EXPECT_TRUE(du.ChangeUnixOwner(path.c_str(), nMode, false));
        EXPECT_EQ(nMode == 0775 ? 0664 : 0660, PathMode(path)) << nMode;
        EXPECT_EQ(gid, PathGroup(path));
    }
}

TEST_F(OwnershipTest, CreateFullPathCreatesMissingParentsWithModesOrNothing)
{
    gid_t gid = UseDistinctStoreGroup(&sandbox);
    const struct { const char* name; bool bOwn, bParentMode; mode_t nTop; int nMode; } cases[] = {
        {"owned_default_mode", true, false, 0755, 0770},
        {"owned_parent_mode_sticky", true, true, 01750, 0750},
        {"not_owned_ignores_parent", false, true, 0700, 0755},
    };
    for (const auto& c : cases) {
        std::string top = sandbox.Path(c.name);
        MakeDirs(top);
        chmod(top.c_str(), c.nTop);
        EXPECT_TRUE(du.CreateFullPath((top + "/a/b").c_str(), c.bOwn, c.bParentMode)) << c.name;
        EXPECT_EQ(static_cast<int>(c.nTop), PathMode(top)) << "existing parent untouched";
        for (const std::string& dir : {top + "/a", top + "/a/b"}) {
            EXPECT_EQ(c.nMode, PathMode(dir)) << dir;
            EXPECT_EQ(c.bOwn ? gid : PathGroup(top), PathGroup(dir)) << dir;
        }
    }
    // Without the group a new directory fails its ownership change and goes again.
    sandbox.SetGroupName("qdu-no-such-group-7f3a");
    EXPECT_FALSE(du.CreateFullPath(sandbox.Path("store/virusdefs").c_str(), true, false));
    EXPECT_FALSE(PathExists(sandbox.Path("store")));
    EXPECT_TRUE(du.CreateFullPath(sandbox.Path("store/virusdefs").c_str(), false, false));
}

}  // namespace
