// A walk over a set looks the store group up once, yet its debug log must
// read exactly as if every file had looked it up: same lines, same retries.
#include <errno.h>
#include <grp.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "defutils/ownership_internal.h"
#include "tests/support/def_sets.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

size_t g_nFitsAt = 0;  // the fake entry fits a buffer of this many bytes
int g_nLookups = 0;    // look-ups that ended (found, missing or never fitting)

int CountingLookup(const char* pszName, struct group* pGroup, char* pBuffer, size_t nSize,
                   struct group** ppResult)
{
    *ppResult = nullptr;
    if (nSize < g_nFitsAt && nSize < 1048576)
        return ERANGE;
    ++g_nLookups;
    return nSize < g_nFitsAt ? ERANGE : getgrnam_r(pszName, pGroup, pBuffer, nSize, ppResult);
}

class OwnershipWalkTest : public SandboxTest {
protected:
    void TearDown() override
    {
        du.RemoveLogCallback(&log);
        SetGroupLookupForTesting(nullptr);
    }
    CDefUtils du;
    LogCapture log;
};

TEST_F(OwnershipWalkTest, OneLookupPerWalkWithEveryFilesLogLines)
{
    const std::string src = sandbox.Path("src"), dst = sandbox.Path("dst");
    const int kFiles = 5;
    MakeDirs(src);
    for (int i = 0; i < kFiles; ++i) WriteTextFile(src + "/f" + std::to_string(i) + ".dat", "x");
    SetGroupLookupForTesting(CountingLookup);
    du.AddLogCallback(&log);

    // Fits at once; fits after two retries; never fits (the group counts as
    // missing, so the copies keep their group and nothing fails the walk).
    const struct {
        size_t nFitsAt;
        std::vector<std::string> perFile;  // ChangeUnixOwner lines after "for file"
    } rows[] = {
        {1024, {"returning success.\n"}},
        {4096,
         {"getgrnam_r returned ERANGE.\n", "retry with bufsize 2048.\n",
          "getgrnam_r returned ERANGE.\n", "retry with bufsize 4096.\n", "returning success.\n"}},
        {1048577, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.nFitsAt);
        RemoveTree(dst);
        MakeDirs(dst);
        g_nFitsAt = row.nFitsAt;
        g_nLookups = 0;
        log.lines.clear();
        DuCopyContext ctx = {{}, true, true, true};
        snprintf(ctx.szDestDir, sizeof ctx.szDestDir, "%s", dst.c_str());
        EXPECT_TRUE(du.ProcessAllDefFiles(&CDefUtils::CopyFilesCallback, src.c_str(), &ctx, false));
        EXPECT_EQ(1, g_nLookups);

        std::vector<std::string> expected = row.perFile;
        if (row.nFitsAt > 1048576) {
            for (size_t n = 2048; n <= 1048576; n *= 2)
                expected.insert(expected.end(),
                                {"getgrnam_r returned ERANGE.\n",
                                 "retry with bufsize " + std::to_string(n) + ".\n"});
            expected.insert(expected.end(),
                            {"avdefs group doesn't exist - failure\n", "returning failure.\n"});
        }
        int nFiles = 0;
        for (size_t i = 0; i < log.lines.size(); ++i) {
            const std::string kPrefix = "CDefUtils::ChangeUnixOwner() - ";
            if (log.lines[i].compare(0, kPrefix.size() + 8, kPrefix + "for file") != 0)
                continue;
            ++nFiles;
            std::vector<std::string> seen;
            for (size_t j = i + 1; j < log.lines.size() && seen.size() < expected.size(); ++j)
                seen.push_back(log.lines[j].substr(
                    log.lines[j].compare(0, kPrefix.size(), kPrefix) == 0 ? kPrefix.size() : 0));
            EXPECT_EQ(expected, seen) << log.lines[i];
        }
        EXPECT_EQ(kFiles, nFiles);
    }

    // Outside a walk every call looks again.
    g_nFitsAt = 1024;
    g_nLookups = 0;
    const std::string file = dst + "/f0.dat";
    EXPECT_TRUE(du.ChangeUnixOwner(file.c_str(), 0770, false));
    EXPECT_TRUE(du.ChangeUnixOwner(file.c_str(), 0770, false));
    EXPECT_EQ(2, g_nLookups);
}

}  // namespace
