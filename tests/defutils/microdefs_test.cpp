// The microdefs post-update step driving purpose-built patch libraries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

class CountingReporter : public CDefUtils::CProgress {
public:
    explicit CountingReporter(bool cancel) : m_cancel(cancel) {}
    void OnProgress(double dPercent, bool* pbCancel) override
    {
        values.push_back(dPercent);
        *pbCancel = m_cancel;
    }
    std::vector<double> values;

private:
    bool m_cancel;
};

struct PostCase {
    const char* name;
    const char* library;      // variant of the test library
    bool process;             // the client succeeded
    bool reporter;            // a progress reporter is given
    bool cancel;              // the reporter asks to stop
    const char* progress;     // FAKE_PATCH_PROGRESS, or null
    const char* patchResult;  // FAKE_PATCH_RESULT, or null
    DuResult expected;
    const char* recordStart;  // first recorded line starts with this ("" = no call)
    const char* lastBinUpdate;  // afterwards, having been "1"
};

class PostMicroDefTest : public SandboxTest, public ::testing::WithParamInterface<PostCase> {
protected:
    SetDate older{2026, 1, 10, 5};
    std::string record = sandbox.Path("patch.rec");

    void SetUp() override
    {
        WriteSet(sandbox.Path("setA"), older);
        ASSERT_EQ(RunCli({"-i", sandbox.Path("setA")}).status, 0);
        setenv("FAKE_PATCH_RECORD", record.c_str(), 1);
    }
    void TearDown() override
    {
        for (const char* name :
             {"FAKE_PATCH_RECORD", "FAKE_PATCH_PROGRESS", "FAKE_PATCH_RESULT", "FAKE_PATCH_SET"})
            unsetenv(name);
    }
    std::string Conf(const char* key)
    {
        char buf[64];
        GetPrivateProfileString("tvlxdata-shareddefs-microdefs", key, "<missing>", buf,
                                sizeof buf, sandbox.DefutilsConf().c_str());
        return buf;
    }
};

TEST_P(PostMicroDefTest, AppliesThroughTheLibraryAndCleansUp)
{
    const PostCase& c = GetParam();
    if (c.progress != nullptr)
        setenv("FAKE_PATCH_PROGRESS", c.progress, 1);
    if (c.patchResult != nullptr)
        setenv("FAKE_PATCH_RESULT", c.patchResult, 1);

    CDefUtils du;
    ASSERT_TRUE(du.InitWindowsApp("Prod"));
    char hubDeltas[4095], directDeltas[4095], channel[4095];
    bool hubIsOk = false;
    ASSERT_TRUE(du.PreMicroDef25Update(hubDeltas, sizeof hubDeltas, directDeltas,
                                       sizeof directDeltas, channel, sizeof channel, &hubIsOk,
                                       DU_ONLINE_UPDATE));
    EXPECT_TRUE(PathExists(sandbox.DefsDir() + "/sflock.dat"));
    WriteTextFile(std::string(hubDeltas) + "/hub.scr", "apply\n");
    WriteTextFile(std::string(hubDeltas) + "/delta.mdp", "package\n");
    // Start from a good hub state so that both outcomes show.
    WritePrivateProfileString("tvlxdata-shareddefs-microdefs", "LastBinUpdate", "1",
                              sandbox.DefutilsConf().c_str());

    CountingReporter reporter(c.cancel);
    std::string library = std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_" + c.library + ".so";
    EXPECT_EQ(du.PostMicroDef25Update(library.c_str(), c.reporter ? &reporter : nullptr,
                                      c.process),
              DuSucceeded(c.expected));
    EXPECT_EQ(du.GetLastResult(), c.expected) << CDefUtils::GetResultName(du.GetLastResult());

    std::string recorded = ReadTextFile(record);
    EXPECT_EQ(recorded.compare(0, strlen(c.recordStart), c.recordStart), 0) << recorded;
    if (*c.recordStart != '\0') {
        EXPECT_NE(recorded.find(" patch=" + std::string(hubDeltas) + " src=" + sandbox.DefsDir() +
                                "/binhub dest=" + sandbox.DefsDir() + "/tmp"),
                  std::string::npos)
            << recorded;
        EXPECT_NE(recorded.find(c.reporter ? "notify=yes" : "notify=no"), std::string::npos);
    }
    if (c.progress != nullptr && c.reporter) {
        ASSERT_FALSE(reporter.values.empty());
        EXPECT_EQ(reporter.values.front(), 10.0);
    }
    EXPECT_EQ(Conf("LastBinUpdate"), c.lastBinUpdate);
    EXPECT_FALSE(PathExists(sandbox.DefsDir() + "/sflock.dat"));
    for (const std::string& entry : ListDir(sandbox.DefsDir()))
        EXPECT_NE(entry.compare(0, 3, "tmp"), 0) << entry;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PostMicroDefTest,
    ::testing::Values(
        PostCase{"Prefers30", "both", true, true, false, nullptr, nullptr, DU_S_OK,
                 "apply-30 ", "1"},
        PostCase{"OlderInterfaceOnly", "onlyold", true, true, false, nullptr, nullptr,
                 DU_S_OK, "apply-old ", "1"},
        PostCase{"NoReporterNoNotify", "only30", true, false, false, nullptr, nullptr,
                 DU_S_OK, "apply-30 ", "1"},
        PostCase{"ApplyFails", "only30", true, true, false, nullptr, "0", DU_E_APPLY_PATCH,
                 "apply-30 ", "0"},
        PostCase{"ReporterCancels", "only30", true, true, true, "10,50,100", nullptr,
                 DU_E_APPLY_PATCH, "apply-30 ", "0"},
        PostCase{"ReporterKeepsGoing", "onlyold", true, true, false, "10,50,100", nullptr,
                 DU_S_OK, "apply-old ", "1"},
        PostCase{"ClientFailedNothingApplied", "both", false, true, false, nullptr, nullptr,
                 DU_S_OK, "", "1"},
        PostCase{"NoEntryPointHubStateKept", "none", true, true, false, nullptr, nullptr,
                 DU_E_GENERAL, "", "1"}),
    [](const ::testing::TestParamInfo<PostCase>& info) { return info.param.name; });

TEST_F(PostMicroDefTest, PatchedNewerSetBecomesTheNewest)
{
    SetDate newer{2026, 2, 1, 0};
    WriteSet(sandbox.Path("setB"), newer);
    setenv("FAKE_PATCH_SET", sandbox.Path("setB").c_str(), 1);
    CDefUtils du;
    du.InitWindowsApp("Prod");
    char hubDeltas[4095], directDeltas[4095], channel[4095];
    bool hubIsOk = false;
    ASSERT_TRUE(du.PreMicroDef25Update(hubDeltas, sizeof hubDeltas, directDeltas,
                                       sizeof directDeltas, channel, sizeof channel, &hubIsOk,
                                       DU_ONLINE_UPDATE));
    WriteTextFile(std::string(directDeltas) + "/cur.scr", "apply\n");
    std::string library = std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_both.so";
    EXPECT_TRUE(du.PostMicroDef25Update(library.c_str(), nullptr, true));
    EXPECT_EQ(DefInfoValue(sandbox.DefsDir(), "CurDefs"), newer.DirName());
    // Direct deltas start from the newest set, not from the hub.
    EXPECT_NE(ReadTextFile(record).find(" src=" + sandbox.DefsDir() + "/" + older.DirName() +
                                        " "),
              std::string::npos);
}

}  // namespace
