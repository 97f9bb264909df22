// Result names, log callbacks and the log writer.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

namespace {

// Every named result in code order: 0 to 5, then 32 to 59.
const char* const kNames[] = {
    "DU_S_OK", "DU_S_FALSE", "DU_S_INCOMING_LOCK_FAILED", "DU_S_INCOMING_AUTH_FAILED",
    "DU_S_AUTH_FAILED_USING_OLD", "DU_S_MISSING_DEFS_USING_OLD", "DU_E_GENERAL",
    "DU_E_INVALID_PARAMETER", "DU_E_FILE_FORMAT", "DU_E_MEM_ALLOC", "DU_E_FILE_COPY",
    "DU_E_DEFINFO_UPDATE", "DU_E_MISSING_PATCH_DLL", "DU_E_SF_LOCK_FAILED", "DU_E_APPLY_PATCH",
    "DU_E_MISSING_DEF_BASE_DIR", "DU_E_MISSING_DEF_DIR", "DU_E_MISSING_DEFINFO", "DU_E_AUTH",
    "DU_E_VIRSCAN1_OPEN", "DU_E_VIRSCAN1_READ", "DU_E_MISSING_APPID", "DU_E_MISSING_SECTION",
    "DU_E_SECURITY", "DU_E_MISSING_GUARD_FILE", "DU_E_MISSING_SIGNATURE_FILE",
    "DU_E_MISSING_CATALOG_FILE", "DU_E_AUTH_FAILED_NO_RECOVERY", "DU_E_CREATE_TEMP_DIR",
    "DU_E_LOG_CALLBACKS_FULL", "DU_E_MISSING_LOG_CALLBACK", "DU_E_MISSING_FILES",
    "DU_E_APPID_NOT_REGISTERED", "DU_E_MISSING_DEFS_NO_RECOVERY",
};

TEST(ResultNames, ExactlyTheTableCodesHaveNarrowAndWideNames)
{
    for (DuResult code = 0; code < 1000; ++code) {
        std::string name = code < 6 ? kNames[code] : code >= 32 && code < 60 ? kNames[code - 26] : "";
        EXPECT_EQ(name, CDefUtils::GetResultName(code)) << code;
        std::wstring wide(name.begin(), name.end());
        EXPECT_EQ(wide, CDefUtils::GetResultNameW(code)) << code;
    }
    EXPECT_STREQ("", CDefUtils::GetResultName(0xFFFFFFFFu));
    EXPECT_TRUE(DuSucceeded(31));
    EXPECT_FALSE(DuSucceeded(DU_E_GENERAL));
}

TEST(ResultNames, CopyResultNameCutsAndTerminates)
{
    const struct { DuResult code; int size; bool bOk; const char* buffer; } cases[] = {
        {6, 32, false, "unchanged"}, {DU_S_OK, 0, true, "unchanged"}, {DU_S_OK, 1, true, ""},
        {DU_S_OK, 7, true, "DU_S_O"}, {DU_S_OK, 8, true, "DU_S_OK"},
        {DU_E_MISSING_DEFS_NO_RECOVERY, 32, true, "DU_E_MISSING_DEFS_NO_RECOVERY"},
    };
    for (const auto& c : cases) {
        char buf[32] = "unchanged";
        EXPECT_EQ(c.bOk, CDefUtils::CopyResultName(c.code, buf, c.size)) << c.code << "/" << c.size;
        EXPECT_STREQ(c.buffer, buf) << c.code << "/" << c.size;
    }
}

std::vector<std::pair<int, std::string>> g_lines;

struct Recorder : CDefUtils::CLogCallback {
    int id = 0;
    void OnLogLine(const char* pszLine) override { g_lines.emplace_back(id, pszLine); }
};

class LogCallbackTest : public SandboxTest {
protected:
    void SetUp() override
    {
        g_lines.clear();
        for (int i = 0; i < 6; ++i)
            callbacks[i].id = i;
    }
    std::vector<int> Receivers() const
    {
        std::vector<int> ids;
        for (const auto& line : g_lines)
            ids.push_back(line.first);
        return ids;
    }
    Recorder callbacks[6];
    CDefUtils du;
};

TEST_F(LogCallbackTest, FiveSlotsFilledInOrderAndRemovalMovesTheRestUp)
{
    for (int i : {0, 1, 0, 2, 3})
        EXPECT_EQ(DU_S_OK, du.AddLogCallback(&callbacks[i]));
    EXPECT_EQ(DU_E_LOG_CALLBACKS_FULL, du.AddLogCallback(&callbacks[4]));
    EXPECT_EQ(DU_E_LOG_CALLBACKS_FULL, du.GetLastResult());
    // Removal drops the first slot holding the callback; the freed slot is the last.
    EXPECT_EQ(DU_S_OK, du.RemoveLogCallback(&callbacks[0]));
    EXPECT_EQ(DU_S_OK, du.AddLogCallback(&callbacks[4]));
    du.WriteLog("value %d of %s", 7, "x");
    EXPECT_EQ((std::vector<int>{1, 0, 2, 3, 4}), Receivers());
    char szPrefix[32];
    snprintf(szPrefix, sizeof szPrefix, "%p ", static_cast<void*>(&du));
    EXPECT_EQ(szPrefix + std::string("value 7 of x"), g_lines[0].second) << "no newline added";

    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.AddLogCallback(nullptr));
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.RemoveLogCallback(nullptr));
    EXPECT_EQ(DU_E_MISSING_LOG_CALLBACK, du.RemoveLogCallback(&callbacks[5]));
    EXPECT_EQ(DU_E_MISSING_LOG_CALLBACK, du.GetLastResult());
}

TEST_F(LogCallbackTest, LongLineIsCutAt8191Characters)
{
    du.AddLogCallback(&callbacks[0]);
    size_t nPrefix = snprintf(nullptr, 0, "%p ", static_cast<void*>(&du));
    for (size_t nLength : {8190, 8191, 8192}) {
        g_lines.clear();
        du.WriteLog("%s", std::string(nLength - nPrefix, 'y').c_str());
        ASSERT_EQ(1u, g_lines.size());
        EXPECT_EQ(std::min<size_t>(nLength, 8191), g_lines[0].second.size());
    }
}

// Sees whether the log file already ends with each line it is handed.
struct FileChecker : CDefUtils::CLogCallback {
    std::string path;
    std::vector<bool> inFileFirst;
    void OnLogLine(const char* pszLine) override
    {
        std::string contents = ReadTextFile(path), line = pszLine;
        inFileFirst.push_back(contents.size() >= line.size() &&
                              contents.substr(contents.size() - line.size()) == line);
    }
};

TEST_F(LogCallbackTest, FileIsWrittenAndFlushedBeforeCallbacks)
{
    sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=trace.log\n");
    FileChecker checker;
    checker.path = sandbox.DefsDir() + "/trace.log";
    CDefUtils logging;
    logging.AddLogCallback(&checker);
    logging.WriteLog("first line\n");
    logging.WriteLog("second line\n");
    logging.RemoveLogCallback(&checker);
    EXPECT_EQ((std::vector<bool>{true, true}), checker.inFileFirst);
}

}  // namespace
