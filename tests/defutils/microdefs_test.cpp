// The microdefs post-update step driving purpose-built patch libraries.
#include <cstdlib>
#include <cstring>

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

// bProcess: the client succeeded; env: a setting for the library, or null;
// recordStart: how the library's record begins ("": never called).
struct PostCase {
    const char* name;
    const char* library;
    bool bProcess, bReporter, bCancel;
    const char* env;
    DuResult expected;
    const char* recordStart;
};

const char kFail[] = "FAKE_PATCH_RESULT=0";
const char kProgress[] = "FAKE_PATCH_PROGRESS=10,50,100";

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
        for (const char* name : {"FAKE_PATCH_RECORD", "FAKE_PATCH_PROGRESS", "FAKE_PATCH_RESULT"})
            unsetenv(name);
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
    if (c.env != nullptr)
        putenv(const_cast<char*>(c.env));
    WriteTextFile(std::string(hub) + "/hub.scr", "apply\n");
    WriteTextFile(std::string(hub) + "/delta.mdp", "package\n");
    Reporter reporter;
    reporter.bCancel = c.bCancel;

    std::string lib = std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_" + c.library + ".so";
    EXPECT_EQ(DuSucceeded(c.expected),
              du.PostMicroDef25Update(lib.c_str(), c.bReporter ? &reporter : nullptr, c.bProcess));
    EXPECT_EQ(c.expected, du.GetLastResult()) << CDefUtils::GetResultName(du.GetLastResult());
    std::string recorded = ReadTextFile(record);
    EXPECT_EQ(0, recorded.compare(0, strlen(c.recordStart), c.recordStart)) << recorded;
    if (*c.recordStart != '\0') {
        std::string defs = sandbox.DefsDir();
        EXPECT_NE(std::string::npos, recorded.find(" patch=" + std::string(hub) + " src=" + defs +
                                                   "/binhub dest=" + defs + "/tmp")) << recorded;
        EXPECT_NE(std::string::npos, recorded.find(c.bReporter ? "notify=yes" : "notify=no"));
    }
    if (c.env == kProgress && c.bReporter) {
        EXPECT_EQ(10.0, reporter.values.at(0));
    }
    // A failed apply marks the hub bad.
    char szLast[8];
    GetPrivateProfileString(kSection, "LastBinUpdate", "", szLast, 8, sandbox.DefutilsConf().c_str());
    EXPECT_STREQ(c.expected == DU_E_APPLY_PATCH ? "0" : "1", szLast);
    EXPECT_FALSE(PathExists(sandbox.DefsDir() + "/sflock.dat"));
    for (const std::string& entry : ListDir(sandbox.DefsDir()))
        EXPECT_NE(0, entry.compare(0, 3, "tmp")) << entry;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PostMicroDefTest,
    ::testing::Values(
        PostCase{"Prefers30", "both", true, true, false, nullptr, DU_S_OK, "apply-30 "},
        PostCase{"OldOnly", "onlyold", true, true, false, nullptr, DU_S_OK, "apply-old "},
        PostCase{"NoReporter", "only30", true, false, false, nullptr, DU_S_OK, "apply-30 "},
        PostCase{"Fails", "only30", true, true, false, kFail, DU_E_APPLY_PATCH, "apply-30 "},
        PostCase{"Cancel", "only30", true, true, true, kProgress, DU_E_APPLY_PATCH, "apply-30 "},
        PostCase{"KeepGoing", "onlyold", true, true, false, kProgress, DU_S_OK, "apply-old "},
        PostCase{"ClientFailed", "both", false, true, false, nullptr, DU_S_OK, ""},
        PostCase{"NoEntryPoint", "none", true, true, false, nullptr, DU_E_GENERAL, ""}),
    [](const ::testing::TestParamInfo<PostCase>& info) { return info.param.name; });

}  // namespace
