// qordefpublish as an operator runs it: the documented exit statuses and
// messages for a normal session, for mistakes and for a damaged mirror.
#include <gtest/gtest.h>

#include "tests/publisher/mirror_fixture.h"
#include "tests/support/cli_runner.h"

namespace pubtest {
namespace {

CliResult Tool(const std::vector<std::string>& args)
{
    CliOptions options;
    options.argv0 = "qordefpublish";
    options.binary = QDU_PUBLISH_TOOL;
    return RunCli(args, options);
}

class CommandTest : public MirrorTest {};

TEST_F(CommandTest, OperatorSession)
{
    for (int i = 1; i <= 3; ++i)
        WriteSetDir(sandbox.Path("s" + std::to_string(i)),
                    SetFiles{2026, 4, i, 0, DataFiles(3, 3000, i, 2)});
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string output;  // expected in standard output + error
    } steps[] = {
        {{"init", "--repo", repo, "--mirror", mirror, "--root-keys", "2", "--root-threshold", "2"},
         0,
         "clients trust"},
        {{"init", "--repo", repo, "--mirror", mirror}, 4, "already a repository"},
        {{"add", "--repo", repo, "--product", "Example Defs", sandbox.Path("s1")},
         0,
         "published example-defs/_default 20260401.000"},
        {{"add", "--repo", repo, "--product", "Example Defs", sandbox.Path("s2")},
         0,
         "package direct 20260401.000 -> 20260402.000"},
        {{"add", "--repo", repo, "--product", "Example Defs", sandbox.Path("s3")},
         0,
         "package binhub 20260401.000 -> 20260403.000"},
        {{"add", "--repo", repo, "--product", "Example Defs", sandbox.Path("s2")},
         3,
         "not newer than the published 20260403.000"},
        {{"refresh", "--repo", repo}, 0, "timestamp version"},
        {{"verify", "--mirror", mirror}, 0, "mirror is sound"},
        {{"verify", "--mirror", mirror, "--root", mirror + "/metadata/1.root.json"},
         0,
         "1 product/content pairs, 10 targets checked"},
        {{"rotate-root", "--repo", repo}, 0, "published root version 2"},
        {{"prune", "--repo", repo, "--dry-run"}, 0, ""},
        {{"verify", "--mirror", mirror}, 0, "root version 2"},
        {{"add", "--repo", sandbox.Path("nothing"), "--product", "X", sandbox.Path("s1")},
         4,
         "not a publisher repository"},
        {{"add", "--repo", repo, sandbox.Path("s1")}, 2, "--product is required"},
        {{"add", "--repo", repo, "--product", "X"}, 2, "exactly one set directory"},
        {{"refresh", "--repo", repo, "--bogus"}, 2, "unknown option"},
        {{"frobnicate"}, 2, "unknown command"},
        {{}, 2, "no command given"},
        {{"init", "--repo", "r", "--mirror", "m", "--timestamp-expiry", "5x"}, 2, "bad value"},
        {{"refresh", "--repo", repo, "--now", "yesterday"}, 2, "--now needs"},
    };
    for (const Step& step : steps) {
        CliResult r = Tool(step.args);
        std::string all = r.out + r.err;
        EXPECT_EQ(r.status, step.status) << all;
        EXPECT_NE(all.find(step.output), std::string::npos) << "wanted: " << step.output << "\n"
                                                            << all;
    }
}

TEST_F(CommandTest, VerifyPrintsWhatIsWrong)
{
    Init();
    WriteSetDir(sandbox.Path("s1"), SetFiles{2026, 4, 1, 0, DataFiles(2, 3000, 1, 2)});
    ASSERT_EQ(Tool({"add", "--repo", repo, "--product", "Example Defs", sandbox.Path("s1")}).status,
              0);
    json targets = Envelope("metadata/2.targets.json")["signed"]["targets"];
    std::string path = "example-defs/_default/set/defs001.dat";
    std::string file =
        MirrorFile(publisher::TargetFilePath(path, targets[path]["hashes"]["sha256"]));
    WriteTextFile(file, ReadTextFile(file) + "!");
    CliResult r = Tool({"verify", "--mirror", mirror});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, path + ": length 3001, recorded 3000\n");
    r = Tool({"verify", "--mirror", mirror, "--now", "2030-01-01T00:00:00Z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "expired: the newest root expired at " +
                         Envelope("metadata/1.root.json")["signed"]["expires"].get<std::string>() +
                         "\n");
}

// The repository remembers where its mirror is, whatever directory the
// next command runs from.
TEST_F(CommandTest, RelativePathsGivenToInit)
{
    WriteSetDir(sandbox.Path("s1"), SetFiles{2026, 4, 1, 0, DataFiles(2, 3000, 1, 2)});
    CliOptions shell;
    shell.argv0 = "sh";
    shell.binary = "/bin/sh";
    CliResult r = RunCli({"-c", "cd " + sandbox.Root() + " && " + QDU_PUBLISH_TOOL +
                                    " init --repo repo --mirror mirror"},
                         shell);
    ASSERT_EQ(r.status, 0) << r.err;
    r = Tool({"add", "--repo", repo, "--product", "Example Defs", sandbox.Path("s1")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Tool({"verify", "--mirror", mirror}).status, 0);
}

TEST_F(CommandTest, EveryCommandExplainsItself)
{
    for (const char* command : {"init", "add", "refresh", "rotate-root", "prune", "verify"}) {
        CliResult r = Tool({command, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("usage: qordefpublish ") + command, 0), 0u) << r.out;
    }
    EXPECT_EQ(Tool({"--help"}).status, 0);
}

}  // namespace
}  // namespace pubtest
