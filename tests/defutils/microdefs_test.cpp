// The microdefs post-update step driving purpose-built patch libraries.
#include <cstdlib>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

struct Reporter : CDefUtils::CProgress {
    bool bCancel = false;
    std::vector<double> values;
    void OnProgress(double dPercent, bool* pbCancel) override
    {
        values.push_back(dPercent);
        *pbCancel = bCancel;
    }
};

struct PostCase {
    const char* name;
    const char* library;      // variant of the test library
    bool bProcess;            // the client succeeded
    bool bReporter;           // a progress reporter is given
    bool bCancel;             // the reporter asks to stop
    const char* progress;     // FAKE_PATCH_PROGRESS, or null
    const char* patchResult;  // FAKE_PATCH_RESULT, or null
    DuResult expected;
    const char* recordStart;  // first recorded line starts with this ("" = no call)
};

// A store holding one installed set, with the microdefs pre-update done and
// the hub marked good, so each outcome shows in LastBinUpdate.
class PostMicroDefTest : public SandboxTest, public ::testing::WithParamInterface<PostCase> {
protected:
    void SetUp() override
    {
        WriteSet(sandbox.Path("setA"), older);
        ASSERT_EQ(0, RunCli({"-i", sandbox.Path("setA")}).status);
        setenv("FAKE_PATCH_RECORD", record.c_str(), 1);
        ASSERT_TRUE(du.InitWindowsApp("Prod"));
        bool bHubIsOk = false;
        ASSERT_TRUE(du.PreMicroDef25Update(hub, sizeof hub, direct, sizeof direct, channel,
                                           sizeof channel, &bHubIsOk, DU_ONLINE_UPDATE));
        EXPECT_TRUE(PathExists(sandbox.DefsDir() + "/sflock.dat"));
        WritePrivateProfileString(kSection, "LastBinUpdate", "1", sandbox.DefutilsConf().c_str());
    }
    void TearDown() override
    {
        for (const char* name :
             {"FAKE_PATCH_RECORD", "FAKE_PATCH_PROGRESS", "FAKE_PATCH_RESULT", "FAKE_PATCH_SET"})
            unsetenv(name);
    }
    bool Post(const char* variant, Reporter* pReporter, bool bProcess)
    {
        std::string lib = std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_" + variant + ".so";
        return du.PostMicroDef25Update(lib.c_str(), pReporter, bProcess);
    }
    static constexpr const char* kSection = "tvlxdata-shareddefs-microdefs";
    SetDate older{2026, 1, 10, 5};
    std::string record = sandbox.Path("patch.rec");
    CDefUtils du;
    char hub[4095], direct[4095], channel[4095];
};

TEST_P(PostMicroDefTest, AppliesThroughTheLibraryAndCleansUp)
{
    const PostCase& c = GetParam();
    if (c.progress != nullptr)
        setenv("FAKE_PATCH_PROGRESS", c.progress, 1);
    if (c.patchResult != nullptr)
        setenv("FAKE_PATCH_RESULT", c.patchResult, 1);
    WriteTextFile(std::string(hub) + "/hub.scr", "apply\n");
    WriteTextFile(std::string(hub) + "/delta.mdp", "package\n");
    Reporter reporter;
    reporter.bCancel = c.bCancel;

    EXPECT_EQ(DuSucceeded(c.expected), Post(c.library, c.bReporter ? &reporter : nullptr, c.bProcess));
    EXPECT_EQ(c.expected, du.GetLastResult()) << CDefUtils::GetResultName(du.GetLastResult());
    std::string recorded = ReadTextFile(record);
    EXPECT_EQ(0, recorded.compare(0, strlen(c.recordStart), c.recordStart)) << recorded;
    if (*c.recordStart != '\0') {
        std::string defs = sandbox.DefsDir();
        EXPECT_NE(std::string::npos, recorded.find(" patch=" + std::string(hub) + " src=" + defs +
                                                   "/binhub dest=" + defs + "/tmp")) << recorded;
        EXPECT_NE(std::string::npos, recorded.find(c.bReporter ? "notify=yes" : "notify=no"));
    }
    if (c.progress != nullptr && c.bReporter) {
        EXPECT_EQ(10.0, reporter.values.at(0));
    }
    char szLast[8];
    GetPrivateProfileString(kSection, "LastBinUpdate", "", szLast, 8, sandbox.DefutilsConf().c_str());
    EXPECT_STREQ(c.expected == DU_E_APPLY_PATCH ? "0" : "1", szLast) << "a failed apply marks the hub";
    EXPECT_FALSE(PathExists(sandbox.DefsDir() + "/sflock.dat"));
    for (const std::string& entry : ListDir(sandbox.DefsDir()))
        EXPECT_NE(0, entry.compare(0, 3, "tmp")) << entry;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PostMicroDefTest,
    ::testing::Values(
        PostCase{"Prefers30", "both", true, true, false, nullptr, nullptr, DU_S_OK, "apply-30 "},
        PostCase{"OldOnly", "onlyold", true, true, false, nullptr, nullptr, DU_S_OK, "apply-old "},
        PostCase{"NoReporter", "only30", true, false, false, nullptr, nullptr, DU_S_OK, "apply-30 "},
        PostCase{"Fails", "only30", true, true, false, nullptr, "0", DU_E_APPLY_PATCH, "apply-30 "},
        PostCase{"Cancel", "only30", true, true, true, "10,50,100", nullptr, DU_E_APPLY_PATCH,
                 "apply-30 "},
        PostCase{"KeepGoing", "onlyold", true, true, false, "10,50,100", nullptr, DU_S_OK,
                 "apply-old "},
        PostCase{"ClientFailed", "both", false, true, false, nullptr, nullptr, DU_S_OK, ""},
        PostCase{"NoEntryPoint", "none", true, true, false, nullptr, nullptr, DU_E_GENERAL, ""}),
    [](const ::testing::TestParamInfo<PostCase>& info) { return info.param.name; });

TEST_F(PostMicroDefTest, PatchedNewerSetBecomesTheNewest)
{
    SetDate newer{2026, 2, 1, 0};
    WriteSet(sandbox.Path("setB"), newer);
    setenv("FAKE_PATCH_SET", sandbox.Path("setB").c_str(), 1);
    WriteTextFile(std::string(direct) + "/cur.scr", "apply\n");
    EXPECT_TRUE(Post("both", nullptr, true));
    EXPECT_EQ(newer.DirName(), DefInfoValue(sandbox.DefsDir(), "CurDefs"));
    // Direct deltas start from the newest set, not from the hub.
    EXPECT_NE(std::string::npos,
              ReadTextFile(record).find(" src=" + sandbox.DefsDir() + "/" + older.DirName() + " "));
}

}  // namespace
