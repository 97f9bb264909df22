// Result names, log callbacks and the log writer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

namespace {

struct NameCase {
    DuResult code;
    const char* name;
};

const NameCase kNames[] = {
    {0, "DU_S_OK"},
    {1, "DU_S_FALSE"},
    {2, "DU_S_INCOMING_LOCK_FAILED"},
    {3, "DU_S_INCOMING_AUTH_FAILED"},
    {4, "DU_S_AUTH_FAILED_USING_OLD"},
    {5, "DU_S_MISSING_DEFS_USING_OLD"},
    {32, "DU_E_GENERAL"},
    {33, "DU_E_INVALID_PARAMETER"},
    {34, "DU_E_FILE_FORMAT"},
    {35, "DU_E_MEM_ALLOC"},
    {36, "DU_E_FILE_COPY"},
    {37, "DU_E_DEFINFO_UPDATE"},
    {38, "DU_E_MISSING_PATCH_DLL"},
    {39, "DU_E_SF_LOCK_FAILED"},
    {40, "DU_E_APPLY_PATCH"},
    {41, "DU_E_MISSING_DEF_BASE_DIR"},
    {42, "DU_E_MISSING_DEF_DIR"},
    {43, "DU_E_MISSING_DEFINFO"},
    {44, "DU_E_AUTH"},
    {45, "DU_E_VIRSCAN1_OPEN"},
    {46, "DU_E_VIRSCAN1_READ"},
    {47, "DU_E_MISSING_APPID"},
    {48, "DU_E_MISSING_SECTION"},
    {49, "DU_E_SECURITY"},
    {50, "DU_E_MISSING_GUARD_FILE"},
    {51, "DU_E_MISSING_SIGNATURE_FILE"},
    {52, "DU_E_MISSING_CATALOG_FILE"},
    {53, "DU_E_AUTH_FAILED_NO_RECOVERY"},
    {54, "DU_E_CREATE_TEMP_DIR"},
    {55, "DU_E_LOG_CALLBACKS_FULL"},
    {56, "DU_E_MISSING_LOG_CALLBACK"},
    {57, "DU_E_MISSING_FILES"},
    {58, "DU_E_APPID_NOT_REGISTERED"},
    {59, "DU_E_MISSING_DEFS_NO_RECOVERY"},
};

std::string Narrow(const wchar_t* w)
{
    std::string s;
    for (; *w != L'\0'; ++w)
        s.push_back(static_cast<char>(*w));
    return s;
}

TEST(ResultNames, EveryCodeHasItsNarrowAndWideName)
{
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(CDefUtils::GetResultName(c.code), c.name);
        EXPECT_EQ(Narrow(CDefUtils::GetResultNameW(c.code)), c.name);
        char buf[64];
        EXPECT_TRUE(CDefUtils::CopyResultName(c.code, buf, sizeof buf));
        EXPECT_STREQ(buf, c.name);
    }
}

TEST(ResultNames, ExactlyTheTableCodesHaveNames)
{
    int named = 0;
    for (DuResult code = 0; code < 1000; ++code) {
        if (*CDefUtils::GetResultName(code) != '\0')
            ++named;
    }
    EXPECT_EQ(named, 34);
    for (DuResult code : {6u, 31u, 60u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(CDefUtils::GetResultName(code), "");
        EXPECT_STREQ(CDefUtils::GetResultNameW(code), L"");
    }
}

TEST(ResultNames, SuccessIsBelow32)
{
    EXPECT_TRUE(DuSucceeded(DU_S_MISSING_DEFS_USING_OLD));
    EXPECT_TRUE(DuSucceeded(31));
    EXPECT_FALSE(DuSucceeded(DU_E_GENERAL));
}

struct CopyCase {
    const char* name;
    DuResult code;
    int size;
    bool result;
    const char* buffer;  // contents afterwards; the buffer starts as "unchanged"
};

class CopyResultNameTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CopyResultNameTest, CutsAndTerminates)
{
    const CopyCase& c = GetParam();
    char buf[32];
    memset(buf, 'X', sizeof buf);
    strcpy(buf, "unchanged");
    EXPECT_EQ(CDefUtils::CopyResultName(c.code, buf, c.size), c.result);
    EXPECT_STREQ(buf, c.buffer);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CopyResultNameTest,
    ::testing::Values(CopyCase{"Unnamed6", 6, 32, false, "unchanged"},
                      CopyCase{"Unnamed31", 31, 32, false, "unchanged"},
                      CopyCase{"Unnamed60", 60, 32, false, "unchanged"},
                      CopyCase{"ZeroSize", DU_S_OK, 0, true, "unchanged"},
                      CopyCase{"NegativeSize", DU_S_OK, -3, true, "unchanged"},
                      CopyCase{"SizeOne", DU_S_OK, 1, true, ""},
                      CopyCase{"CutToSizeMinusOne", DU_E_SF_LOCK_FAILED, 5, true, "DU_E"},
                      CopyCase{"ExactFit", DU_S_OK, 8, true, "DU_S_OK"},
                      CopyCase{"OneShort", DU_S_OK, 7, true, "DU_S_O"}),
    [](const ::testing::TestParamInfo<CopyCase>& info) { return info.param.name; });

// Records every line it receives, tagged with its own id.
class RecordingCallback : public CDefUtils::CLogCallback {
public:
    RecordingCallback(int id, std::vector<std::pair<int, std::string>>* sink)
        : m_id(id), m_sink(sink)
    {
    }
    void OnLogLine(const char* pszLine) override { m_sink->emplace_back(m_id, pszLine); }

private:
    int m_id;
    std::vector<std::pair<int, std::string>>* m_sink;
};

std::string Prefix(const CDefUtils& du)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%p ", static_cast<const void*>(&du));
    return buf;
}

class LogCallbackTest : public SandboxTest {
protected:
    std::vector<std::pair<int, std::string>> lines;
    std::vector<RecordingCallback> callbacks;

    void SetUp() override
    {
        for (int i = 0; i < 6; ++i)
            callbacks.emplace_back(i, &lines);
    }
    std::vector<int> Receivers() const
    {
        std::vector<int> ids;
        for (const auto& line : lines)
            ids.push_back(line.first);
        return ids;
    }
};

TEST_F(LogCallbackTest, SixthCallbackIsRefusedAndFiveStay)
{
    CDefUtils du;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(du.AddLogCallback(&callbacks[i]), DU_S_OK);
    EXPECT_EQ(du.AddLogCallback(&callbacks[5]), DU_E_LOG_CALLBACKS_FULL);
    EXPECT_EQ(du.GetLastResult(), DU_E_LOG_CALLBACKS_FULL);
    du.WriteLog("x\n");
    EXPECT_EQ(Receivers(), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(LogCallbackTest, RemovingSecondMovesTheRestUp)
{
    CDefUtils du;
    for (int i = 0; i < 5; ++i)
        du.AddLogCallback(&callbacks[i]);
    EXPECT_EQ(du.RemoveLogCallback(&callbacks[1]), DU_S_OK);
    du.WriteLog("a\n");
    EXPECT_EQ(Receivers(), (std::vector<int>{0, 2, 3, 4}));
    // The freed fifth slot takes a new callback at the end.
    lines.clear();
    EXPECT_EQ(du.AddLogCallback(&callbacks[5]), DU_S_OK);
    du.WriteLog("b\n");
    EXPECT_EQ(Receivers(), (std::vector<int>{0, 2, 3, 4, 5}));
}

TEST_F(LogCallbackTest, SameCallbackTwiceTakesTwoSlots)
{
    CDefUtils du;
    du.AddLogCallback(&callbacks[0]);
    du.AddLogCallback(&callbacks[1]);
    du.AddLogCallback(&callbacks[0]);
    EXPECT_EQ(du.RemoveLogCallback(&callbacks[0]), DU_S_OK);
    du.WriteLog("a\n");
    EXPECT_EQ(Receivers(), (std::vector<int>{1, 0}));
}

TEST_F(LogCallbackTest, InvalidAndUnknownCallbacks)
{
    CDefUtils du;
    EXPECT_EQ(du.AddLogCallback(nullptr), DU_E_INVALID_PARAMETER);
    EXPECT_EQ(du.RemoveLogCallback(nullptr), DU_E_INVALID_PARAMETER);
    EXPECT_EQ(du.RemoveLogCallback(&callbacks[3]), DU_E_MISSING_LOG_CALLBACK);
    EXPECT_EQ(du.GetLastResult(), DU_E_MISSING_LOG_CALLBACK);
}

TEST_F(LogCallbackTest, LineCarriesObjectAddressAndNoAddedNewline)
{
    CDefUtils du;
    du.AddLogCallback(&callbacks[0]);
    du.WriteLog("value %d of %s", 7, "x");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].second, Prefix(du) + "value 7 of x");
}

TEST_F(LogCallbackTest, LongLineIsCutAt8191Characters)
{
    CDefUtils du;
    du.AddLogCallback(&callbacks[0]);
    std::string prefix = Prefix(du);
    struct {
        size_t bodyLength;
        size_t expected;
    } rows[] = {
        {8191 - prefix.size() - 1, 8190},
        {8191 - prefix.size(), 8191},
        {8191 - prefix.size() + 1, 8191},
        {20000, 8191},
    };
    for (const auto& row : rows) {
        lines.clear();
        std::string body(row.bodyLength, 'y');
        du.WriteLog("%s", body.c_str());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].second.size(), row.expected) << row.bodyLength;
        EXPECT_EQ(lines[0].second.compare(0, prefix.size(), prefix), 0);
    }
}

// The file receives each line, flushed, before any callback sees it.
class FileCheckingCallback : public CDefUtils::CLogCallback {
public:
    explicit FileCheckingCallback(std::string path) : m_path(std::move(path)) {}
    void OnLogLine(const char* pszLine) override
    {
        std::string contents = ReadTextFile(m_path);
        std::string line = pszLine;
        inFileFirst.push_back(contents.size() >= line.size() &&
                              contents.compare(contents.size() - line.size(), line.size(),
                                               line) == 0);
    }
    std::vector<bool> inFileFirst;

private:
    std::string m_path;
};

TEST_F(LogCallbackTest, FileIsWrittenAndFlushedBeforeCallbacks)
{
    sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=trace.log\n");
    std::string logPath = sandbox.DefsDir() + "/trace.log";
    FileCheckingCallback checker(logPath);
    {
        CDefUtils du;
        du.AddLogCallback(&checker);
        du.WriteLog("first line\n");
        du.WriteLog("second line\n");
        du.RemoveLogCallback(&checker);
    }
    EXPECT_EQ(checker.inFileFirst, (std::vector<bool>{true, true}));
    std::string log = ReadTextFile(logPath);
    EXPECT_NE(log.find(" first line\n"), std::string::npos);
    EXPECT_NE(log.find("CDefUtils::~CDefUtils(): destructor exiting.\n"), std::string::npos);
}

}  // namespace
