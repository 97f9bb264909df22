#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/defutils/defutils_test_access.h"
#include "tests/support/sandbox.h"

namespace {

using Access = CDefUtilsTestAccess;

const std::string kRule(74, '+');

class LogFileTest : public SandboxTest {
protected:
    void ConfigureLog(const std::string& name)
    {
        sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=" + name + "\n");
    }
};

struct NameCase {
    const char* name;
    const char* configured;
    const char* fileName;  // in the definitions directory
};

TEST_F(LogFileTest, LogNameGetsAnExtensionAndLandsInTheDefinitionsDirectory)
{
    const NameCase cases[] = {
        {"no_extension", "mylog", "mylog.log"},
        {"upper_txt", "A.TXT", "A.TXT"},
        {"lower_log", "b.log", "b.log"},
        {"mixed_case_log", "c.LoG", "c.LoG"},
        {"directory_dropped", "/var/tmp/run.log", "run.log"},
        {"relative_directory_dropped", "../../escape", "escape.log"},
        {"other_extension", "trace.out", "trace.out.log"},
        {"log_not_last", "x.log.bak", "x.log.bak.log"},
        {"trailing_dot", "dot.", "dot..log"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigureLog(c.configured);
        std::string expected = sandbox.DefsDir() + "/" + c.fileName;
        {
            CDefUtils du;
            EXPECT_TRUE(Access::LogOpen(du));
            EXPECT_EQ(expected, Access::LogFileName(du));
        }
        EXPECT_EQ(0660, PathMode(expected));
        std::string contents = ReadTextFile(expected);
        EXPECT_NE(std::string::npos, contents.find("CDefUtils::~CDefUtils(): destructor exiting.\n"));
        unlink(expected.c_str());
    }
    EXPECT_EQ(0660, PathMode(sandbox.DefutilsConf())) << "the configuration is shared too";
}

struct OffCase {
    const char* name;
    const char* conf;  // null: no configuration file
};

TEST_F(LogFileTest, LogStaysOffWithoutAConfiguredName)
{
    const OffCase cases[] = {
        {"no_file", nullptr},
        {"no_section", "[other]\ndefutillog_name=x\n"},
        {"no_key", "[defutillog]\nother=x\n"},
        {"empty_value", "[defutillog]\ndefutillog_name=\n"},
    };
    for (const OffCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.conf != nullptr)
            sandbox.WriteDefutilsConf(c.conf);
        else
            unlink(sandbox.DefutilsConf().c_str());
        CDefUtils du;
        EXPECT_FALSE(Access::LogOpen(du));
        EXPECT_EQ("<null>", Access::LogFileName(du));
        EXPECT_EQ(std::vector<std::string>{}, ListDir(sandbox.DefsDir()));
    }
}

TEST_F(LogFileTest, LogStaysOffWithoutADefinitionsDirectory)
{
    sandbox.WriteTarvolixConf("[Tarvolix Shared]\n");
    ConfigureLog("mylog");
    CDefUtils du;
    EXPECT_FALSE(Access::LogOpen(du));
    EXPECT_FALSE(PathExists("mylog.log")) << "never in the working directory";
}

TEST_F(LogFileTest, SymbolicLinkAtTheLogPathIsRefused)
{
    ConfigureLog("mylog");
    MakeDirs(sandbox.DefsDir());
    std::string link = sandbox.DefsDir() + "/mylog.log";
    for (bool bDangling : {false, true}) {
        SCOPED_TRACE(bDangling ? "dangling" : "to_a_file");
        std::string target = sandbox.Path(bDangling ? "created-through-link" : "target.txt");
        if (!bDangling)
            WriteTextFile(target, "precious", 0600);
        unlink(link.c_str());
        ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
        {
            CDefUtils du;
            EXPECT_FALSE(Access::LogOpen(du));
        }
        EXPECT_EQ(!bDangling, PathExists(target));
        if (!bDangling) {
            EXPECT_EQ("precious", ReadTextFile(target));
            EXPECT_EQ(0600, PathMode(target));
        }
    }
}

struct SizeCase {
    const char* name;
    size_t nSize;
    bool bAppended;
};

TEST_F(LogFileTest, LogsUpToOneMegabyteAreContinuedLargerOnesRestarted)
{
    const SizeCase cases[] = {
        {"small", 10, true},
        {"exactly_1048576", 1048576, true},
        {"1048577", 1048577, false},
    };
    ConfigureLog("mylog");
    MakeDirs(sandbox.DefsDir());
    std::string log = sandbox.DefsDir() + "/mylog.log";
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string old(c.nSize, 'o');
        WriteTextFile(log, old);
        { CDefUtils du; }
        std::string contents = ReadTextFile(log);
        EXPECT_EQ(c.bAppended, contents.compare(0, old.size(), old) == 0);
        EXPECT_EQ(c.bAppended, contents.size() > old.size());
        EXPECT_NE(std::string::npos, contents.find("Logging Started @ "));
    }
}

// The messages of the prefixed lines in text, in order; false when a line
// lacks the "0x... " address prefix.
bool SplitLogLines(const std::string& text, std::vector<std::string>* pMessages)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t nBlank = line.find(' ');
        if (line.compare(0, 2, "0x") != 0 || nBlank == std::string::npos)
            return false;
        pMessages->push_back(line.substr(nBlank + 1));
    }
    return true;
}

TEST_F(LogFileTest, BannerIsWrittenAfterTheOwnershipLinesAndBeforeTheRest)
{
    ConfigureLog("mylog");
    { CDefUtils du; }
    std::string contents = ReadTextFile(sandbox.DefsDir() + "/mylog.log");

    // Opening the log changes its group (logged already); then the banner
    // goes straight to the file without the address prefix.
    const std::string head = "\n\n" + kRule + "\n\n       Logging Started @ ";
    const std::string tail = "\n" + kRule + "\n\n";
    size_t nBanner = contents.find(head);
    ASSERT_NE(std::string::npos, nBanner) << contents;
    std::vector<std::string> before, after;
    ASSERT_TRUE(SplitLogLines(contents.substr(0, nBanner), &before)) << contents;
    ASSERT_FALSE(before.empty());
    for (const std::string& message : before)
        EXPECT_EQ(0u, message.find("CDefUtils::ChangeUnixOwner() - ")) << message;

    // ctime's fixed layout: "Www Mmm dd hh:mm:ss yyyy\n".
    std::string stamp = contents.substr(nBanner + head.size(), 25);
    ASSERT_EQ(25u, stamp.size());
    EXPECT_TRUE(stamp[3] == ' ' && stamp[7] == ' ' && stamp[10] == ' ' && stamp[13] == ':' &&
                stamp[16] == ':' && stamp[19] == ' ' && stamp[24] == '\n')
        << stamp;
    size_t nRest = nBanner + head.size() + stamp.size();
    ASSERT_EQ(tail, contents.substr(nRest, tail.size()));

    ASSERT_TRUE(SplitLogLines(contents.substr(nRest + tail.size()), &after)) << contents;
    ASSERT_GE(after.size(), 3u);
    EXPECT_EQ("CDefUtils::SetupNames(<null>) - start", after.front());
    EXPECT_EQ("CDefUtils::CDefUtils() - ending with DU_S_OK", after[after.size() - 2]);
    EXPECT_EQ("CDefUtils::~CDefUtils(): destructor exiting.", after.back());
}

TEST_F(LogFileTest, TwoObjectsShareOneLog)
{
    ConfigureLog("shared.txt");
    {
        CDefUtils first;
        CDefUtils second;
        first.WriteLog("from first\n");
        second.WriteLog("from second\n");
        first.WriteLog("first again\n");
    }
    std::string contents = ReadTextFile(sandbox.DefsDir() + "/shared.txt");
    size_t a = contents.find(" from first\n"), b = contents.find(" from second\n"),
           c = contents.find(" first again\n");
    ASSERT_NE(std::string::npos, a);
    ASSERT_NE(std::string::npos, b);
    ASSERT_NE(std::string::npos, c);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
}

}  // namespace
