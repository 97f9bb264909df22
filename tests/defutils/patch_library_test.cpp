// Loading patch libraries, the progress adapter, and the channel choice.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "defutils/patch_interface.h"
#include "defutils/patch_loader.h"
#include "tests/support/sandbox.h"

namespace {

std::string PatchLib(const char* variant)
{
    return std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_" + variant + ".so";
}

struct LoadCase {
    const char* name;
    const char* variant;
    DuResult result;
    bool expect30;
    bool expectOld;
};

class CreatePatchAppInstanceTest : public SandboxTest,
                                   public ::testing::WithParamInterface<LoadCase> {};

TEST_P(CreatePatchAppInstanceTest, PrefersThe30EntryPoint)
{
    const LoadCase& c = GetParam();
    CDefUtils du;
    void* hDll = nullptr;
    IPatchApplication* pOld = nullptr;
    IPatchApplication30* p30 = nullptr;
    std::string lib = c.variant != nullptr ? PatchLib(c.variant) : "libdoes-not-exist.so";
    EXPECT_EQ(du.CreatePatchAppInstance(lib.c_str(), &hDll, &pOld, &p30), c.result);
    EXPECT_EQ(p30 != nullptr, c.expect30);
    EXPECT_EQ(pOld != nullptr, c.expectOld);
    EXPECT_EQ(hDll != nullptr, c.variant != nullptr);
    if (p30 != nullptr)
        p30->Release();
    if (pOld != nullptr)
        pOld->Release();
    if (hDll != nullptr)
        dlclose(hDll);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CreatePatchAppInstanceTest,
    ::testing::Values(LoadCase{"Both", "both", DU_S_OK, true, false},
                      LoadCase{"Only30", "only30", DU_S_OK, true, false},
                      LoadCase{"OnlyOld", "onlyold", DU_S_OK, false, true},
                      LoadCase{"NoEntryPoint", "none", DU_E_GENERAL, false, false},
                      LoadCase{"Missing", nullptr, DU_E_MISSING_PATCH_DLL, false, false}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

class ScriptedReporter : public CDefUtils::CProgress {
public:
    explicit ScriptedReporter(bool cancel) : m_cancel(cancel) {}
    void OnProgress(double dPercent, bool* pbCancel) override
    {
        seen.push_back(dPercent);
        flagOnEntry.push_back(*pbCancel);
        if (m_cancel)
            *pbCancel = true;
    }
    std::vector<double> seen;
    std::vector<bool> flagOnEntry;

private:
    bool m_cancel;
};

TEST(DefUtilsProgress, ForwardsValuesAndCancelRequests)
{
    ScriptedReporter keepGoing(false);
    CDefUtilsProgress adapter(&keepGoing);
    uint32_t cancel = 5;
    adapter.OnProgress(50, &cancel);
    EXPECT_EQ(cancel, 0u);
    ScriptedReporter stop(true);
    CDefUtilsProgress cancelling(&stop);
    cancel = 0;
    cancelling.OnProgress(4000000000u, &cancel);
    EXPECT_EQ(cancel, 1u);
    EXPECT_EQ(keepGoing.seen, std::vector<double>{50.0});
    EXPECT_EQ(stop.seen, std::vector<double>{4000000000.0});
    EXPECT_EQ(stop.flagOnEntry, std::vector<bool>{false});
}

TEST(DefUtilsProgress, WithoutReporterClearsTheFlag)
{
    CDefUtilsProgress adapter(nullptr);
    uint32_t cancel = 9;
    adapter.OnProgress(10, &cancel);
    EXPECT_EQ(cancel, 0u);
}

// A set directory name for the month that lies nMonthsAgo before now.
std::string NameMonthsAgo(int nMonthsAgo, int nMonthOverride = 0)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    int total = (local.tm_year + 1900) * 12 + local.tm_mon - nMonthsAgo;
    int year = total / 12;
    int month = nMonthOverride != 0 ? nMonthOverride : total % 12 + 1;
    char buf[32];
    snprintf(buf, sizeof buf, "%04d%02d15.001", year, month);
    return buf;
}

const char* MonthName(int nMonthsAgo)
{
    static const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    int total = (local.tm_year + 1900) * 12 + local.tm_mon - nMonthsAgo;
    return names[total % 12];
}

class ChannelTest : public SandboxTest {};

TEST_F(ChannelTest, MonthNameUpToTenMonthsThenOld)
{
    CDefUtils du;
    char out[64];
    for (int ago : {0, 3, 10}) {
        ASSERT_TRUE(du.DetermineMicroDefChannel(NameMonthsAgo(ago).c_str(), "MicroDefsB", out,
                                                sizeof out));
        EXPECT_EQ(std::string(out), std::string("MicroDefsB.") + MonthName(ago)) << ago;
    }
    for (int ago : {11, 30, -1}) {
        ASSERT_TRUE(du.DetermineMicroDefChannel(NameMonthsAgo(ago).c_str(), "MicroDefsB", out,
                                                sizeof out));
        EXPECT_STREQ(out, "MicroDefsB.Old") << ago;
    }
}

TEST_F(ChannelTest, OutOfRangeMonthWithinAgeFails)
{
    CDefUtils du;
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    long nowMonths = (local.tm_year + 1900) * 12L + local.tm_mon + 1;
    // Month 0 or 13 of a year chosen so that the age arithmetic lands
    // within ten months: only the range check can refuse it.
    for (int month : {0, 13}) {
        long year = (nowMonths - month) / 12;
        long age = nowMonths - (year * 12 + month);
        if (age < 0 || age > 10)
            continue;
        char name[32];
        snprintf(name, sizeof name, "%04ld%02d01.000", year, month);
        char out[64] = "untouched";
        EXPECT_FALSE(du.DetermineMicroDefChannel(name, "MicroDefsB", out, sizeof out)) << name;
    }
}

TEST_F(ChannelTest, OutputIsCutToItsSize)
{
    CDefUtils du;
    char out[8];
    ASSERT_TRUE(du.DetermineMicroDefChannel("19990115.001", "MicroDefsB", out, sizeof out));
    EXPECT_STREQ(out, "MicroDe");
}

}  // namespace
