// The microdefs steps: hub flags and the post-update through test libraries.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "defutils/defutils.h"
#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

const char kSection[] = "tvlxdata-shareddefs-microdefs";

TEST(MicroDefLastUpdate, OnlyOneCountsAsGood)
{
    Sandbox sandbox;
    bool bValue = true;
    EXPECT_FALSE(CDefUtils().GetMicroDefLastUpdateValue(&bValue, DU_BINARY)) << "no file";
    sandbox.WriteDefutilsConf(std::string("[") + kSection + "]\nLastBinUpdate=10\n");
    EXPECT_TRUE(CDefUtils().GetMicroDefLastUpdateValue(&bValue, DU_BINARY));
    EXPECT_FALSE(bValue);
}

// "YYYYMM15.001" for the month nMonthsAgo before now, and that month's name.
std::string MonthsAgo(int nMonthsAgo, const char** ppszMonth = nullptr)
{
    static const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    int total = (local.tm_year + 1900) * 12 + local.tm_mon - nMonthsAgo;
    if (ppszMonth != nullptr)
        *ppszMonth = names[total % 12];
    char name[32];
    snprintf(name, sizeof name, "%04d%02d15.001", total / 12, total % 12 + 1);
    return name;
}

TEST(MicroDefChannel, MonthUpToTenMonthsOldThenOld)
{
    Sandbox sandbox;
    CDefUtils du;
    char out[64];
    for (int ago : {0, 10, 11, -1}) {
        const char* month = nullptr;
        ASSERT_TRUE(du.DetermineMicroDefChannel(MonthsAgo(ago, &month).c_str(), "MicroDefsB", out,
                                                sizeof out));
        EXPECT_EQ(std::string(out),
                  std::string("MicroDefsB.") + (ago >= 0 && ago <= 10 ? month : "Old"))
            << ago;
    }
    ASSERT_TRUE(du.DetermineMicroDefChannel("19990115.001", "MicroDefsB", out, 8));
    EXPECT_STREQ(out, "MicroDe");
    // Month 0 or 13 of a year whose arithmetic lands within ten months is
    // refused by the range check alone.
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    long nowMonths = (local.tm_year + 1900) * 12L + local.tm_mon + 1;
    for (int month : {0, 13}) {
        long year = (nowMonths - month) / 12, age = nowMonths - (year * 12 + month);
        std::string name = std::to_string(year) + (month == 0 ? "00" : "13") + "01.000";
        if (age >= 0 && age <= 10) {
            EXPECT_FALSE(du.DetermineMicroDefChannel(name.c_str(), "MicroDefsB", out, sizeof out));
        }
    }
}

// Files take the directory's parent mode without execute bits; a
// subdirectory is left alone.
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
    WritePrivateProfileString(kSection, "LastBinUpdate", "1", sandbox.DefutilsConf().c_str());
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
        EXPECT_NE(std::string::npos, recorded.find(" patch=" + std::string(hub) + " src=" + defs +
                                                   "/binhub dest=" + defs + "/tmp"))
            << recorded;
        EXPECT_NE(std::string::npos, recorded.find(c.bReporter ? "notify=yes" : "notify=no"));
    }
    if (c.env == kProgress && c.bReporter) {
        EXPECT_EQ(0u, reporter.seen.find("10.000000- ")) << reporter.seen;
    }
    // A failed apply marks the hub bad; the update lock and temporary directories go.
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
