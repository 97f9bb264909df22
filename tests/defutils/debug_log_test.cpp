#include <cstdio>
#include <cstring>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

namespace {

TEST(ResultNames, ExactlyTheTableCodesHaveNarrowAndWideNames)
{
    // Only the ends of each named range: the names between are a plain table.
    const struct { DuResult code; const char* name; } ends[] = {
        {0, "DU_S_OK"}, {5, "DU_S_MISSING_DEFS_USING_OLD"}, {32, "DU_E_GENERAL"},
        {59, "DU_E_MISSING_DEFS_NO_RECOVERY"}};
    for (const auto& e : ends)
        EXPECT_STREQ(e.name, CDefUtils::GetResultName(e.code));
    for (DuResult code = 0; code < 1000; ++code) {
        std::string name = CDefUtils::GetResultName(code);
        EXPECT_EQ(code < 6 || (code >= 32 && code < 60), !name.empty()) << code;
        EXPECT_EQ(std::wstring(name.begin(), name.end()), CDefUtils::GetResultNameW(code)) << code;
    }
}

TEST(ResultNames, CopyResultNameCutsAndTerminates)
{
    const struct { DuResult code; int size; bool bOk; const char* buffer; } cases[] = {
        {6, 32, false, "unchanged"},
        {DU_S_OK, 0, true, "unchanged"},
        {DU_S_OK, 1, true, ""},
        {DU_S_OK, 7, true, "DU_S_O"},
        {DU_S_OK, 8, true, "DU_S_OK"},
    };
    for (const auto& c : cases) {
        char buf[32] = "unchanged";
        EXPECT_EQ(c.bOk, CDefUtils::CopyResultName(c.code, buf, c.size)) << c.code << "/" << c.size;
        EXPECT_STREQ(c.buffer, buf) << c.code << "/" << c.size;
    }
}

// Lines every Recorder received, each behind "<id>:", or behind "<id>+"
// when the log file g_logFile already ended with the line.
std::vector<std::string> g_lines;
std::string g_logFile;
int g_nRecorders = 0;

struct Recorder : CDefUtils::CLogCallback {
    int id = g_nRecorders++;
    void OnLogLine(const char* psz) override
    {
        std::string text = g_logFile.empty() ? "" : ReadTextFile(g_logFile), line = psz;
        bool bInFile = text.size() >= line.size() && text.substr(text.size() - line.size()) == line;
        g_lines.push_back(std::to_string(id) + (bInFile ? "+" : ":") + line);
    }
};

TEST(LogCallbacks, FiveSlotsInOrderAfterTheFileAndLinesCutAt8191Characters)
{
    Sandbox sandbox;
    sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=trace.log\n");
    g_logFile = sandbox.DefsDir() + "/trace.log";
    Recorder cb[6];  // ids 0 to 5
    CDefUtils du;
    char szPrefix[32];
    snprintf(szPrefix, sizeof szPrefix, "%p ", static_cast<void*>(&du));
    for (int i : {0, 1, 0, 2, 3})
        EXPECT_EQ(DU_S_OK, du.AddLogCallback(&cb[i]));
    EXPECT_EQ(DU_E_LOG_CALLBACKS_FULL, du.AddLogCallback(&cb[4]));
    EXPECT_EQ(DU_E_LOG_CALLBACKS_FULL, du.GetLastResult());
    // Removal frees the first slot holding the callback; a new one goes last.
    EXPECT_EQ(DU_S_OK, du.RemoveLogCallback(&cb[0]));
    EXPECT_EQ(DU_S_OK, du.AddLogCallback(&cb[4]));
    g_lines.clear();
    du.WriteLog("value %d of %s", 7, "x");
    std::string line = szPrefix + std::string("value 7 of x");  // no newline added
    EXPECT_EQ((std::vector<std::string>{"1+" + line, "0+" + line, "2+" + line, "3+" + line,
                                        "4+" + line}), g_lines);
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.AddLogCallback(nullptr));
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.RemoveLogCallback(nullptr));
    EXPECT_EQ(DU_E_MISSING_LOG_CALLBACK, du.RemoveLogCallback(&cb[5]));
    for (size_t nLength : {8190, 8191, 8192}) {
        g_lines.clear();
        du.WriteLog("%s", std::string(nLength - strlen(szPrefix), 'y').c_str());
        EXPECT_EQ(std::min<size_t>(nLength, 8191) + 2, g_lines.at(0).size()) << nLength;
    }
}

}  // namespace
