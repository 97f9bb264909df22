#include <unistd.h>

#include "tests/defutils/defutils_test_access.h"
#include "tests/support/sandbox.h"

namespace {

using Access = CDefUtilsTestAccess;

void ConfigureLog(const Sandbox& sandbox, const std::string& name)
{
    sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=" + name + "\n");
}

using LogFileTest = SandboxTest;

TEST_F(LogFileTest, LogNameGetsAnExtensionAndLandsInTheDefinitionsDirectory)
{
    const struct { const char* configured; const char* fileName; } cases[] = {
        {"mylog", "mylog.log"},
        {"A.TXT", "A.TXT"},
        {"c.LoG", "c.LoG"},
        {"/var/tmp/run.log", "run.log"},
        {"trace.out", "trace.out.log"},
    };
    for (const auto& c : cases) {
        ConfigureLog(sandbox, c.configured);
        std::string expected = sandbox.DefsDir() + "/" + c.fileName;
        EXPECT_EQ(expected, Access::LogFileName(CDefUtils())) << c.configured;
        EXPECT_EQ(0660, PathMode(expected)) << c.configured;
        EXPECT_NE(std::string::npos, ReadTextFile(expected).find(
            "\n\n" + std::string(74, '+') + "\n\n       Logging Started @ ")) << c.configured;
    }
}

TEST_F(LogFileTest, SymbolicLinkAtTheLogPathIsRefused)
{
    ConfigureLog(sandbox, "mylog");
    MakeDirs(sandbox.DefsDir());
    std::string link = sandbox.DefsDir() + "/mylog.log";
    std::string target = sandbox.Path("target.txt"), dangling = sandbox.Path("through-link");
    WriteTextFile(target, "precious", 0600);
    for (const std::string& to : {target, dangling}) {
        unlink(link.c_str());
        ASSERT_EQ(0, symlink(to.c_str(), link.c_str()));
        EXPECT_FALSE(Access::LogOpen(CDefUtils())) << to;
    }
    EXPECT_EQ("precious", ReadTextFile(target));
    EXPECT_EQ(0600, PathMode(target));
    EXPECT_FALSE(PathExists(dangling));
}

TEST_F(LogFileTest, LogsUpToOneMegabyteAreContinuedLargerOnesRestarted)
{
    ConfigureLog(sandbox, "mylog");
    MakeDirs(sandbox.DefsDir());
    std::string log = sandbox.DefsDir() + "/mylog.log";
    for (size_t nSize : {1048576, 1048577}) {
        std::string old(nSize, 'o');
        WriteTextFile(log, old);
        { CDefUtils du; }
        std::string contents = ReadTextFile(log);
        bool bContinued = contents.size() > nSize && contents.compare(0, nSize, old) == 0;
        EXPECT_EQ(nSize == 1048576, bContinued) << nSize;
    }
}

}  // namespace
