#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "defutils/ownership_internal.h"
#include "tests/defutils/store_test_util.h"
#include "tests/support/sandbox.h"

namespace {

gid_t GroupOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
}

// A group other than the sandbox's, when the user has one, so a test can
// see the group actually change.
gid_t OtherGroup(gid_t gidSandbox)
{
    gid_t groups[64];
    int n = getgroups(64, groups);
    for (int i = 0; i < n; ++i)
        if (groups[i] != gidSandbox)
            return groups[i];
    return gidSandbox;
}

// The fake group database: answers ERANGE until the buffer reaches
// g_nFitsAt bytes, then the real entry.
size_t g_nFitsAt = 0;
std::vector<size_t> g_sizesSeen;

int LargeGroupLookup(const char* pszName, struct group* pGroup, char* pBuffer, size_t nSize,
                     struct group** ppResult)
{
    g_sizesSeen.push_back(nSize);
    *ppResult = nullptr;
    if (nSize < g_nFitsAt)
        return ERANGE;
    return getgrnam_r(pszName, pGroup, pBuffer, nSize, ppResult);
}

class OwnershipTest : public SandboxTest {
protected:
    void TearDown() override { SetGroupLookupForTesting(nullptr); }
    std::string File(const std::string& name, mode_t mode = 0600)
    {
        std::string path = sandbox.Path(name);
        WriteTextFile(path, "x", mode);
        return path;
    }
    CDefUtils du;
};

struct LookupCase {
    const char* name;
    size_t nFitsAt;
    bool bFound;
    std::vector<size_t> sizes;
};

TEST_F(OwnershipTest, LargeGroupEntriesAreRetriedWithDoubledBuffers)
{
    const LookupCase cases[] = {
        {"fits_first_time", 0, true, {1024}},
        {"needs_4096", 4096, true, {1024, 2048, 4096}},
        {"needs_the_last_size", 1048576, true,
         {1024, 2048, 4096, 8192, 16384, 32768, 65536, 131072, 262144, 524288, 1048576}},
        {"never_fits", 1048577, false,
         {1024, 2048, 4096, 8192, 16384, 32768, 65536, 131072, 262144, 524288, 1048576}},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = File(std::string(c.name) + ".dat");
        g_nFitsAt = c.nFitsAt;
        g_sizesSeen.clear();
        SetGroupLookupForTesting(LargeGroupLookup);
        LogCapture log;
        du.AddLogCallback(&log);

        EXPECT_EQ(c.bFound, du.ChangeUnixOwner(path.c_str(), 0770, false));

        du.RemoveLogCallback(&log);
        EXPECT_EQ(c.sizes, g_sizesSeen);
        EXPECT_EQ(c.bFound ? 0660 : 0600, PathMode(path));
        EXPECT_EQ(c.sizes.size() > 1, log.Contains("CDefUtils::ChangeUnixOwner() - retry with bufsize 2048.\n"));
        EXPECT_EQ(!c.bFound, log.Contains("CDefUtils::ChangeUnixOwner() - avdefs group doesn't exist - failure\n"));
        EXPECT_TRUE(log.Contains(c.bFound ? "CDefUtils::ChangeUnixOwner() - returning success.\n"
                                          : "CDefUtils::ChangeUnixOwner() - returning failure.\n"));
    }
}

struct ModeCase {
    const char* name;
    bool bDirectory;
    unsigned int nMode;
    int nExpected;
};

TEST_F(OwnershipTest, ModeIsMaskedSoFilesNeverBecomeExecutable)
{
    const ModeCase cases[] = {
        {"file_0775", false, 0775, 0664}, {"dir_0775", true, 0775, 0775},
        {"file_0777", false, 0777, 0666}, {"dir_07777", true, 07777, 0777},
        {"file_04770", false, 04770, 0660}, {"dir_0700", true, 0700, 0700},
    };
    gid_t gidOther = OtherGroup(sandbox.GroupId());
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = sandbox.Path(c.name);
        if (c.bDirectory)
            MakeDirs(path, 0711);
        else
            WriteTextFile(path, "x", 0600);
        chown(path.c_str(), static_cast<uid_t>(-1), gidOther);

        EXPECT_TRUE(du.ChangeUnixOwner(path.c_str(), c.nMode, c.bDirectory));
        EXPECT_EQ(c.nExpected, PathMode(path));
        EXPECT_EQ(sandbox.GroupId(), GroupOf(path));
    }
}

struct CreateCase {
    const char* name;
    bool bChangeOwner;
    bool bUseParentMode;
    mode_t nParentMode;
    int nExpected;  // mode of every directory created
};

TEST_F(OwnershipTest, CreateFullPathCreatesMissingParentsWithTheirModes)
{
    const CreateCase cases[] = {
        {"owned_default_mode", true, false, 0755, 0770},
        {"owned_parent_mode", true, true, 0750, 0750},
        {"owned_parent_mode_sticky", true, true, 01775, 0775},
        {"not_owned", false, false, 0700, 0755},
        {"not_owned_ignores_parent", false, true, 0700, 0755},
    };
    for (const CreateCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string top = sandbox.Path(c.name);
        MakeDirs(top);
        chmod(top.c_str(), c.nParentMode);
        std::string leaf = top + "/a/b/c";

        EXPECT_TRUE(du.CreateFullPath(leaf.c_str(), c.bChangeOwner, c.bUseParentMode));

        EXPECT_EQ(static_cast<int>(c.nParentMode), PathMode(top)) << "existing parent untouched";
        for (const std::string& dir : {top + "/a", top + "/a/b", leaf}) {
            EXPECT_EQ(c.nExpected, PathMode(dir)) << dir;
            if (c.bChangeOwner) {
                EXPECT_EQ(sandbox.GroupId(), GroupOf(dir)) << dir;
            }
        }
    }
}

TEST_F(OwnershipTest, CreateFullPathLeavesAnExistingPathAlone)
{
    std::string dir = sandbox.Path("existing");
    MakeDirs(dir);
    chmod(dir.c_str(), 0701);
    chown(dir.c_str(), static_cast<uid_t>(-1), OtherGroup(sandbox.GroupId()));
    gid_t gidBefore = GroupOf(dir);
    EXPECT_TRUE(du.CreateFullPath(dir.c_str(), true, false));
    EXPECT_EQ(0701, PathMode(dir));
    EXPECT_EQ(gidBefore, GroupOf(dir));
}

TEST_F(OwnershipTest, CreateFullPathRefusesWhatItCannotCreate)
{
    EXPECT_FALSE(du.CreateFullPath(nullptr, true, false));
    // A relative single component has no parent to create it in.
    EXPECT_FALSE(du.CreateFullPath("qdu-relative-7f3a", true, false));
    EXPECT_FALSE(PathExists("qdu-relative-7f3a"));
    // A file in the way of a parent.
    std::string file = File("blocker");
    EXPECT_FALSE(du.CreateFullPath((file + "/sub").c_str(), true, false));
}

TEST_F(OwnershipTest, CreateFullPathWithoutTheGroupRemovesWhatItCreated)
{
    sandbox.SetGroupName("qdu-no-such-group-7f3a");
    std::string top = sandbox.Path("store");
    EXPECT_FALSE(du.CreateFullPath((top + "/virusdefs").c_str(), true, false));
    // The first directory fails its ownership change and is removed again.
    EXPECT_FALSE(PathExists(top));
    // Without ownership the group is not needed.
    EXPECT_TRUE(du.CreateFullPath((top + "/virusdefs").c_str(), false, false));
}

TEST_F(OwnershipTest, RestoreDirPermissionsCoversFilesButNotSubdirectories)
{
    std::string parent = sandbox.Path("parent");
    std::string dir = parent + "/dir";
    MakeDirs(dir + "/sub");
    chmod(parent.c_str(), 0750);
    chmod(dir.c_str(), 0700);
    chmod((dir + "/sub").c_str(), 0701);
    WriteTextFile(dir + "/a.dat", "a", 0600);
    WriteTextFile(dir + "/B.DAT", "b", 0777);
    WriteTextFile(dir + "/sub/c.dat", "c", 0600);

    du.RestoreDirPermissions(dir.c_str());

    EXPECT_EQ(0750, PathMode(dir));
    EXPECT_EQ(0640, PathMode(dir + "/a.dat"));
    EXPECT_EQ(0640, PathMode(dir + "/B.DAT"));
    EXPECT_EQ(0701, PathMode(dir + "/sub"));
    EXPECT_EQ(0600, PathMode(dir + "/sub/c.dat"));
}

}  // namespace
