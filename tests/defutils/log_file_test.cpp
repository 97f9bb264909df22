#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

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
}

TEST_F(LogFileTest, ConfigurationFileIsSharedWithTheGroup)
{
    ConfigureLog("mylog");
    chmod(sandbox.DefutilsConf().c_str(), 0644);
    CDefUtils du;
    EXPECT_EQ(0660, PathMode(sandbox.DefutilsConf()));
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
    std::string target = sandbox.Path("target.txt");
    WriteTextFile(target, "precious", 0600);
    ASSERT_EQ(0, symlink(target.c_str(), (sandbox.DefsDir() + "/mylog.log").c_str()));
    {
        CDefUtils du;
        EXPECT_FALSE(Access::LogOpen(du));
    }
    EXPECT_EQ("precious", ReadTextFile(target));
    EXPECT_EQ(0600, PathMode(target));
}

TEST_F(LogFileTest, DanglingSymbolicLinkIsRefusedToo)
{
    ConfigureLog("mylog");
    MakeDirs(sandbox.DefsDir());
    std::string target = sandbox.Path("created-through-link");
    ASSERT_EQ(0, symlink(target.c_str(), (sandbox.DefsDir() + "/mylog.log").c_str()));
    {
        CDefUtils du;
        EXPECT_FALSE(Access::LogOpen(du));
    }
    EXPECT_FALSE(PathExists(target));
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

TEST_F(LogFileTest, BannerIsWrittenAfterTheOwnershipLinesAndBeforeTheRest)
{
    ConfigureLog("mylog");
    { CDefUtils du; }
    std::string contents = ReadTextFile(sandbox.DefsDir() + "/mylog.log");
    // Opening the log changes its group (logged already), then the banner
    // goes straight to the file without the address prefix.
    const std::regex expected(
        "(0x[0-9a-f]+ CDefUtils::ChangeUnixOwner\\(\\) - [^\n]*\n)+"
        "\n\n\\+{74}\n"
        "\n       Logging Started @ [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
        "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n"
        "\n\\+{74}\n\n"
        "0x[0-9a-f]+ CDefUtils::SetupNames\\(<null>\\) - start\n"
        "(0x[0-9a-f]+ [^\n]*\n)*"
        "0x[0-9a-f]+ CDefUtils::CDefUtils\\(\\) - ending with DU_S_OK\n"
        "0x[0-9a-f]+ CDefUtils::~CDefUtils\\(\\): destructor exiting.\n");
    EXPECT_TRUE(std::regex_match(contents, expected)) << contents;
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
