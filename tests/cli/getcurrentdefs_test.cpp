// The getcurrentdefs command end to end: the sandbox build of the program
// against a hand-made store.
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/sandbox.h"

namespace {

const char kSet[] = "20210202.002";
const char kNoLocation[] =
    "Command failed: Failure in getting the location of current definitions.\n";

class GetCurrentDefsTest : public SandboxTest {
protected:
    // A store in dir with one set used by MyApp.
    void MakeStore(const std::string& dir)
    {
        MakeDirs(dir + "/" + kSet);
        WriteTextFile(dir + "/" + kSet + "/virscan1.dat", std::string(32, '\0'));
        WriteTextFile(dir + "/definfo.dat", std::string("[DefDates]\nCurDefs=") + kSet + "\n");
        WriteTextFile(dir + "/usage.dat", std::string("[") + kSet + "]\nMyApp=1\n");
    }
};

struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;  // relative to the base directory; "" for no output
    std::string err;
};

TEST_F(GetCurrentDefsTest, PrintsTheSetOrFails)
{
    const std::string set = std::string("/virusdefs/") + kSet;
    const Case cases[] = {
        {"registered", {"-g", "MyApp"}, 0, set, ""},
        {"long_option", {"--getcurrentdefs", "MyApp"}, 0, set, ""},
        {"unregistered", {"-g", "Stranger"}, 4, "", kNoLocation},
        {"appid_case_ignored", {"-g", "MYAPP"}, 0, set, ""},
    };
    MakeStore(sandbox.DefsDir());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CliResult r = RunCli(c.args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.out.empty() ? "" : sandbox.BaseDir() + c.out + "\n", r.out);
        EXPECT_EQ(c.err, r.err);
    }
}

TEST_F(GetCurrentDefsTest, DeletedSetDirectoryFails)
{
    MakeStore(sandbox.DefsDir());
    RemoveTree(sandbox.DefsDir() + "/" + kSet);
    CliResult r = RunCli({"-g", "MyApp"});
    EXPECT_EQ(4, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(kNoLocation, r.err);
}

TEST_F(GetCurrentDefsTest, MissingUsageFileFails)
{
    MakeStore(sandbox.DefsDir());
    unlink((sandbox.DefsDir() + "/usage.dat").c_str());
    CliResult r = RunCli({"-g", "MyApp"});
    EXPECT_EQ(4, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(kNoLocation, r.err);
}

TEST_F(GetCurrentDefsTest, UnknownContentTypeIsReportedAndCreatesNothing)
{
    MakeStore(sandbox.DefsDir());
    CliResult r = RunCli({"-g", "MyApp", "NoSuchType"});
    EXPECT_EQ(15, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Command failed: The specified content type could not be found.\n", r.err);
    EXPECT_FALSE(PathExists(sandbox.BaseDir() + "/tvlxdata/nosuchtype"));
}

TEST_F(GetCurrentDefsTest, MixedCaseContentTypeUsesTheLowerCaseStore)
{
    std::string store = sandbox.BaseDir() + "/tvlxdata/mytype";
    MakeStore(store);
    CliResult r = RunCli({"-g", "MyApp", "MyType"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(store + "/" + kSet + "\n", r.out);
    EXPECT_EQ("", r.err);
}

TEST_F(GetCurrentDefsTest, MissingBaseDirFailsToInitialise)
{
    sandbox.WriteTarvolixConf("[Tarvolix Shared]\n");
    CliResult r = RunCli({"-g", "MyApp"});
    EXPECT_EQ(5, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Command failed: Failure in initializing the application.\n", r.err);
}

}  // namespace
