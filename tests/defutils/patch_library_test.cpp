// Loading patch libraries, the progress adapter, and the channel choice.
#include <dlfcn.h>

#include <ctime>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "defutils/patch_interface.h"
#include "defutils/patch_loader.h"
#include "tests/support/sandbox.h"

namespace {

using PatchLibraryTest = SandboxTest;

TEST_F(PatchLibraryTest, CreatePatchAppInstancePrefersThe30EntryPoint)
{
    const struct { const char* variant; DuResult result; bool b30, bOld; } cases[] = {
        {"both", DU_S_OK, true, false}, {"only30", DU_S_OK, true, false},
        {"onlyold", DU_S_OK, false, true}, {"none", DU_E_GENERAL, false, false},
        {"missing", DU_E_MISSING_PATCH_DLL, false, false},
    };
    CDefUtils du;
    for (const auto& c : cases) {
        std::string lib = std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_" + c.variant + ".so";
        void* hDll = nullptr;
        IPatchApplication* pOld = nullptr;
        IPatchApplication30* p30 = nullptr;
        EXPECT_EQ(c.result, du.CreatePatchAppInstance(lib.c_str(), &hDll, &pOld, &p30)) << lib;
        EXPECT_EQ(c.b30, p30 != nullptr) << lib;
        EXPECT_EQ(c.bOld, pOld != nullptr) << lib;
        EXPECT_EQ(c.result != DU_E_MISSING_PATCH_DLL, hDll != nullptr) << lib;
        if (p30 != nullptr)
            p30->Release();
        if (pOld != nullptr)
            pOld->Release();
        if (hDll != nullptr)
            dlclose(hDll);
    }
}

struct Reporter : CDefUtils::CProgress {
    bool bCancel = false;
    std::vector<std::pair<double, bool>> seen;  // value and the flag on entry
    void OnProgress(double dPercent, bool* pbCancel) override
    {
        seen.emplace_back(dPercent, *pbCancel);
        *pbCancel = bCancel;
    }
};

TEST(DefUtilsProgress, ForwardsValuesAndCancelRequests)
{
    Reporter keepGoing, stop;
    stop.bCancel = true;
    uint32_t nCancel = 5;
    CDefUtilsProgress(&keepGoing).OnProgress(50, &nCancel);
    EXPECT_EQ(0u, nCancel);
    CDefUtilsProgress(&stop).OnProgress(4000000000u, &nCancel);
    EXPECT_EQ(1u, nCancel);
    EXPECT_EQ((std::vector<std::pair<double, bool>>{{50.0, false}}), keepGoing.seen);
    EXPECT_EQ((std::vector<std::pair<double, bool>>{{4000000000.0, false}}), stop.seen);
    nCancel = 9;
    CDefUtilsProgress(nullptr).OnProgress(10, &nCancel);
    EXPECT_EQ(0u, nCancel);
}

TEST_F(PatchLibraryTest, ChannelIsTheMonthUpToTenMonthsBackThenOld)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    CDefUtils du;
    char szOut[64];
    for (int nAgo : {-1, 0, 10, 11}) {
        int nMonths = (local.tm_year + 1900) * 12 + local.tm_mon - nAgo;
        std::string name = std::to_string(nMonths / 12 * 10000 + nMonths % 12 * 100 + 115) + ".001";
        ASSERT_TRUE(du.DetermineMicroDefChannel(name.c_str(), "MicroDefsB", szOut, sizeof szOut));
        bool bMonth = nAgo >= 0 && nAgo <= 10;
        EXPECT_EQ(std::string("MicroDefsB.") + (bMonth ? kMonths[nMonths % 12] : "Old"), szOut);
    }
    // Months 0 and 13 dated so that the age arithmetic alone would accept them.
    long nNow = (local.tm_year + 1900) * 12L + local.tm_mon + 1;
    for (int nMonth : {0, 13}) {
        long nYear = (nNow - nMonth) / 12;
        std::string bad = std::to_string(nYear * 10000 + nMonth * 100 + 1) + ".000";
        if (nNow - (nYear * 12 + nMonth) <= 10) {
            EXPECT_FALSE(du.DetermineMicroDefChannel(bad.c_str(), "M", szOut, 64)) << bad;
        }
    }
    ASSERT_TRUE(du.DetermineMicroDefChannel("19990115.001", "MicroDefsB", szOut, 8));
    EXPECT_STREQ("MicroDe", szOut);
}

}  // namespace
