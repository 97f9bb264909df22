#include <sys/stat.h>

#include <string>

#include "defutils/defutils.h"
#include "platform/profile.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

gid_t GroupOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
}

class HubsTest : public SandboxTest {
protected:
    void SetUp() override { MakeDirs(sandbox.DefsDir()); }
    std::string Hub(const char* name) { return sandbox.DefsDir() + "/" + name; }
};

struct LastUpdateCase {
    const char* name;
    const char* conf;  // null: no configuration file
    DWORD nKind;
    bool bFound;
    bool bValue;
};

TEST_F(HubsTest, LastUpdateValueIsTrueOnlyForTheTextOne)
{
    const LastUpdateCase cases[] = {
        {"no_file", nullptr, DU_BINARY, false, false},
        {"no_key", "[tvlxdata-shareddefs-microdefs]\nLastTextUpdate=1\n", DU_BINARY, false, false},
        {"zero", "[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=0\n", DU_BINARY, true, false},
        {"one", "[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=1\n", DU_BINARY, true, true},
        {"ten", "[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=10\n", DU_BINARY, true, false},
        {"text_key", "[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=0\nLastTextUpdate=1\n",
         DU_TEXT, true, true},
        {"other_section", "[tvlxdata-other-microdefs]\nLastBinUpdate=1\n", DU_BINARY, false, false},
    };
    for (const LastUpdateCase& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(sandbox.DefutilsConf().c_str());
        if (c.conf != nullptr)
            sandbox.WriteDefutilsConf(c.conf);
        CDefUtils du;
        bool bValue = !c.bValue;
        EXPECT_EQ(c.bFound, du.GetMicroDefLastUpdateValue(&bValue, c.nKind));
        EXPECT_EQ(c.bValue, bValue);
    }
}

TEST_F(HubsTest, SetLastUpdateWritesTheContentsSectionAndGroupsTheFile)
{
    WriteTextFile(sandbox.DefutilsConf(), "[defutillog]\ndefutillog_name=x.log\n", 0600);
    {
        CDefUtils du;
        EXPECT_TRUE(du.SetMicroDefLastUpdateValue(true, DU_BINARY));
        EXPECT_TRUE(du.SetMicroDefLastUpdateValue(false, DU_TEXT));
    }
    MakeDirs(sandbox.BaseDir() + "/tvlxdata/avx");
    CDefUtils alt;
    ASSERT_TRUE(alt.InitBase("AVX"));
    EXPECT_TRUE(alt.SetMicroDefLastUpdateValue(false, DU_BINARY));

    const char* conf = sandbox.DefutilsConf().c_str();
    char value[16];
    GetPrivateProfileString("tvlxdata-shareddefs-microdefs", "LastBinUpdate", "", value,
                            sizeof value, conf);
    EXPECT_STREQ("1", value);
    GetPrivateProfileString("tvlxdata-shareddefs-microdefs", "LastTextUpdate", "", value,
                            sizeof value, conf);
    EXPECT_STREQ("0", value);
    GetPrivateProfileString("tvlxdata-avx-microdefs", "LastBinUpdate", "", value, sizeof value,
                            conf);
    EXPECT_STREQ("0", value);
    EXPECT_EQ(0660, PathMode(conf));
    EXPECT_EQ(sandbox.GroupId(), GroupOf(conf));

    bool bValue = true;
    EXPECT_TRUE(alt.GetMicroDefLastUpdateValue(&bValue, DU_BINARY));
    EXPECT_FALSE(bValue);
}

struct CreateHubCase {
    const char* name;
    DWORD nKind;
    const char* hub;
    int nExistingMode;  // -1: the hub does not exist yet
};

TEST_F(HubsTest, CreateHubGivesTheDefinitionsDirectorysModeAndGroup)
{
    const CreateHubCase cases[] = {
        {"new_binary", DU_BINARY, "binhub", -1},
        {"new_text", DU_TEXT, "texthub", -1},
        {"existing_binary_repaired", DU_BINARY, "binhub", 0700},
        {"existing_text_repaired", DU_TEXT, "texthub", 0755},
    };
    chmod(sandbox.DefsDir().c_str(), 0750);
    for (const CreateHubCase& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(Hub(c.hub));
        if (c.nExistingMode >= 0) {
            MakeDirs(Hub(c.hub));
            chmod(Hub(c.hub).c_str(), static_cast<mode_t>(c.nExistingMode));
            WriteTextFile(Hub(c.hub) + "/virscan1.dat", "kept");
        }
        CDefUtils du;
        EXPECT_TRUE(du.CreateHubDirectory(c.nKind));
        EXPECT_EQ(0750, PathMode(Hub(c.hub)));
        EXPECT_EQ(sandbox.GroupId(), GroupOf(Hub(c.hub)));
        if (c.nExistingMode >= 0) {
            EXPECT_EQ("kept", ReadTextFile(Hub(c.hub) + "/virscan1.dat"));
        }
    }
}

TEST_F(HubsTest, HubPathIsGivenWhetherOrNotTheHubExists)
{
    CDefUtils du;
    char dir[DU_MAX_PATH] = "untouched";
    EXPECT_FALSE(du.GetHubDirectory(dir, sizeof dir, DU_TEXT));
    EXPECT_EQ(Hub("texthub"), dir);

    MakeDirs(Hub("binhub"));
    EXPECT_TRUE(du.GetHubDirectory(dir, sizeof dir, DU_BINARY));
    EXPECT_EQ(Hub("binhub"), dir);
}

TEST_F(HubsTest, BinaryHubDateComesFromItsMainFile)
{
    CDefUtils du;
    WORD y = 0, m = 0, d = 0;
    DWORD r = 0;
    EXPECT_FALSE(du.GetBinHubDefsDate(&y, &m, &d, &r)) << "no hub yet";

    WriteDefDateFile(Hub("binhub"), 2024, 3, 17, 42);
    ASSERT_TRUE(du.GetBinHubDefsDate(&y, &m, &d, &r));
    EXPECT_EQ(2024, y);
    EXPECT_EQ(3, m);
    EXPECT_EQ(17, d);
    EXPECT_EQ(42u, r);
}

}  // namespace
