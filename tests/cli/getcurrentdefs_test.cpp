// The getcurrentdefs command end to end against a hand-made store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/sandbox.h"

namespace {

const std::string kSet = "20210202.002";
const char kNoLocation[] =
    "Command failed: Failure in getting the location of current definitions.\n";

// A store in dir with one set used by MyApp.
void MakeStore(const std::string& dir)
{
    MakeDirs(dir + "/" + kSet);
    WriteTextFile(dir + "/" + kSet + "/virscan1.dat", std::string(32, '\0'));
    WriteTextFile(dir + "/definfo.dat", "[DefDates]\nCurDefs=" + kSet + "\n");
    WriteTextFile(dir + "/usage.dat", "[" + kSet + "]\nMyApp=1\n");
}

struct Case {
    const char* name;
    void (*arrange)(const Sandbox& box);
    std::vector<std::string> args;
    int status;
    std::string out;  // below the base directory, without the line end
    std::string err;
};

void Store(const Sandbox& box)
{
    MakeStore(box.DefsDir());
}

const Case kCases[] = {
    {"Registered", Store, {"-g", "MyApp"}, 0, "/virusdefs/" + kSet, ""},
    {"LongOptionAnyCase", Store, {"--getcurrentdefs", "MYAPP"}, 0, "/virusdefs/" + kSet, ""},
    {"Unregistered", Store, {"-g", "Stranger"}, 4, "", kNoLocation},
    {"DeletedSetDirectory",
     [](const Sandbox& box) { Store(box); RemoveTree(box.DefsDir() + "/" + kSet); },
     {"-g", "MyApp"}, 4, "", kNoLocation},
    {"MissingUsageFile",
     [](const Sandbox& box) { Store(box); unlink((box.DefsDir() + "/usage.dat").c_str()); },
     {"-g", "MyApp"}, 4, "", kNoLocation},
    {"UnknownContentType", Store, {"-g", "MyApp", "NoSuchType"}, 15, "",
     "Command failed: The specified content type could not be found.\n"},
    {"MixedCaseContentTypeUsesLowerCaseStore",
     [](const Sandbox& box) { MakeStore(box.BaseDir() + "/tvlxdata/mytype"); },
     {"-g", "MyApp", "MyType"}, 0, "/tvlxdata/mytype/" + kSet, ""},
    {"MissingBaseDir", [](const Sandbox& box) { box.WriteTarvolixConf("[Tarvolix Shared]\n"); },
     {"-g", "MyApp"}, 5, "", "Command failed: Failure in initializing the application.\n"},
};

TEST(GetCurrentDefsTest, PrintsTheSetOrFails)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        c.arrange(sandbox);
        CliResult r = RunCli(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out.empty() ? "" : sandbox.BaseDir() + c.out + "\n");
        EXPECT_EQ(r.err, c.err);
        // Looking up a store never creates one.
        EXPECT_FALSE(PathExists(sandbox.BaseDir() + "/tvlxdata/nosuchtype"));
    }
}

}  // namespace
