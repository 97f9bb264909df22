// The microdefs steps: hub flags and the post-update through test libraries.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <tuple>

#include "defutils/defutils.h"
#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

TEST(MicroDefLastUpdate, OnlyOneCountsAsGood)
{
    Sandbox sandbox;
    bool bValue = true;
    EXPECT_FALSE(CDefUtils().GetMicroDefLastUpdateValue(&bValue, DU_BINARY)) << "no file";
    sandbox.WriteDefutilsConf("[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=10\n");
    EXPECT_TRUE(CDefUtils().GetMicroDefLastUpdateValue(&bValue, DU_BINARY));
    EXPECT_FALSE(bValue);
}

// A set names its hub channel by month up to ten months back; older, or
// from the future, it is "Old". A month outside 1..12 is refused only when
// the age arithmetic lands within the ten months.
TEST(MicroDefChannel, MonthUpToTenMonthsOldThenOld)
{
    const std::tuple<int, int, const char*, const char*> rows[] = {
        // null: refused
        {2024, 6, "20240615.001", "Jun"},    {2024, 6, "20230815.001", "Aug"},
        {2024, 6, "20230715.001", "Old"},    {2024, 6, "20240715.001", "Old"},
        {2025, 1, "20241215.001", "Dec"},    {2025, 1, "20240315.001", "Mar"},
        {2025, 1, "20240215.001", "Old"},    {2024, 12, "20250001.000", nullptr},
        {2025, 11, "20241301.000", nullptr}, {2024, 11, "20240001.000", "Old"},
        {2024, 12, "20241301.000", "Old"},
    };
    Sandbox sandbox;
    CDefUtils du;
    char out[64];
    for (const auto& [nYear, nMonth, set, channel] : rows) {
        SCOPED_TRACE(std::to_string(nYear) + "-" + std::to_string(nMonth) + " " + set);
        // Noon on the 15th, local time: the same month in any time zone.
        struct tm local = {};
        local.tm_year = nYear - 1900;
        local.tm_mon = nMonth - 1;
        local.tm_mday = 15;
        local.tm_hour = 12;
        local.tm_isdst = -1;
        setenv("QORDEFUTIL_SANDBOX_NOW", std::to_string(mktime(&local)).c_str(), 1);
        const bool bDone = du.DetermineMicroDefChannel(set, "MicroDefsB", out, sizeof out);
        EXPECT_EQ(bDone, channel != nullptr);
        EXPECT_EQ(bDone ? std::string("MicroDefsB.") + channel : "", bDone ? out : "");
    }
    unsetenv("QORDEFUTIL_SANDBOX_NOW");
    ASSERT_TRUE(du.DetermineMicroDefChannel("19990115.001", "MicroDefsB", out, 8));
    EXPECT_STREQ(out, "MicroDe");
}

// Files take the parent's mode without execute bits; a subdirectory is left alone.
TEST(RestoreDirPermissions, GivesFilesTheParentModeAndSkipsSubdirectories)
{
    Sandbox sandbox;
    std::string dir = sandbox.Path("p/d");
    MakeDirs(dir + "/sub");
    chmod(sandbox.Path("p").c_str(), 0775);
    WriteTextFile(dir + "/f", "x", 0600);
    chmod((dir + "/sub").c_str(), 0700);
    CDefUtils().RestoreDirPermissions(dir.c_str());
    EXPECT_EQ(PathMode(dir), 0775);
    EXPECT_EQ(PathMode(dir + "/f"), 0664);
    EXPECT_EQ(PathMode(dir + "/sub"), 0700);
}

struct Reporter : CDefUtils::CProgress {
    bool bCancel = false;
    std::string seen;  // each value and the flag on entry
    void OnProgress(double dPercent, bool* pbCancel) override
    {
        seen += std::to_string(dPercent) + (*pbCancel ? "+ " : "- ");
        *pbCancel = bCancel;
    }
};

// env: a setting for the library; recordStart: its record's start ("": not called).
struct PostCase {
    const char *name, *library;
    bool bProcess, bReporter, bCancel;
    const char* env;
    DuResult expected;
    const char* recordStart;
};

const char kFail[] = "FAKE_PATCH_RESULT=0";
const char kProgress[] = "FAKE_PATCH_PROGRESS=10,50,100";

class PostMicroDefTest : public SandboxTest, public ::testing::WithParamInterface<PostCase> {};

// A failed apply marks the hub bad; the update lock and temporary directories go either way.
TEST_P(PostMicroDefTest, AppliesThroughTheLibraryAndCleansUp)
{
    const PostCase& c = GetParam();
    for (const char* name : {"FAKE_PATCH_PROGRESS", "FAKE_PATCH_RESULT"})  // left by another row
        unsetenv(name);
    // One installed set, the pre-update done and the hub marked good.
    WriteSet(sandbox.Path("setA"), SetDate{2026, 1, 10, 5});
    ASSERT_EQ(0, RunCli({"-i", sandbox.Path("setA")}).status);
    const std::string record = sandbox.Path("patch.rec"), defs = sandbox.DefsDir();
    setenv("FAKE_PATCH_RECORD", record.c_str(), 1);
    if (c.env != nullptr)
        putenv(const_cast<char*>(c.env));
    CDefUtils du;
    ASSERT_TRUE(du.InitWindowsApp("Prod"));
    char hub[4095], direct[4095], channel[4095];
    bool bHubIsOk = false;
    ASSERT_TRUE(du.PreMicroDef25Update(hub, sizeof hub, direct, sizeof direct, channel,
                                       sizeof channel, &bHubIsOk, DU_ONLINE_UPDATE));
    WritePrivateProfileString("tvlxdata-shareddefs-microdefs", "LastBinUpdate", "1",
                              sandbox.DefutilsConf().c_str());
    WriteTextFile(std::string(hub) + "/hub.scr", "apply\n");
    WriteTextFile(std::string(hub) + "/delta.mdp", "package\n");
    Reporter reporter;
    reporter.bCancel = c.bCancel;

    std::string lib = std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_" + c.library + ".so";
    EXPECT_EQ(DuSucceeded(c.expected),
              du.PostMicroDef25Update(lib.c_str(), c.bReporter ? &reporter : nullptr, c.bProcess));
    EXPECT_EQ(c.expected, du.GetLastResult()) << CDefUtils::GetResultName(du.GetLastResult());
    const std::string recorded = ReadTextFile(record);
    EXPECT_EQ(0, recorded.compare(0, strlen(c.recordStart), c.recordStart)) << recorded;
    if (*c.recordStart != '\0') {
        EXPECT_NE(std::string::npos, recorded.find(" patch=" + std::string(hub) + " src=" + defs +
                                                   "/binhub dest=" + defs + "/tmp"))
            << recorded;
        EXPECT_NE(std::string::npos, recorded.find(c.bReporter ? "notify=yes" : "notify=no"));
    }
    if (c.env == kProgress && c.bReporter) {
        EXPECT_EQ(0u, reporter.seen.find("10.000000- ")) << reporter.seen;
    }
    bool bGood = false;
    EXPECT_TRUE(du.GetMicroDefLastUpdateValue(&bGood, DU_BINARY));
    EXPECT_EQ(c.expected != DU_E_APPLY_PATCH, bGood);
    for (const std::string& entry : ListDir(defs))
        EXPECT_TRUE(entry.compare(0, 3, "tmp") != 0 && entry != "sflock.dat") << entry;
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
        PostCase{"NoEntryPoint", "none", true, true, false, nullptr, DU_E_GENERAL, ""},
        PostCase{"NoLibrary", "absent", true, true, false, nullptr, DU_E_MISSING_PATCH_DLL, ""}),
    [](const ::testing::TestParamInfo<PostCase>& info) { return info.param.name; });

}  // namespace
