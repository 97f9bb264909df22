// qordefpublish as an operator runs it: the documented exit statuses and
// messages for a normal session, for mistakes and for a damaged mirror.
#include <gtest/gtest.h>

#include "tests/publisher/mirror_fixture.h"
#include "tests/support/cli_runner.h"

namespace pubtest {
namespace {

CliResult Tool(const std::vector<std::string>& args, const std::string& binary = QDU_PUBLISH_TOOL)
{
    CliOptions options;
    options.argv0 = "qordefpublish";
    options.binary = binary;
    return RunCli(args, options);
}

class CommandTest : public MirrorTest {};

TEST_F(CommandTest, OperatorSession)
{
    for (int i = 1; i <= 5; ++i) {
        SetFiles set{2026, 4, i, 0, DataFiles(3, 3000, i, 2)};
        set.hubIsWholeSet = i <= 3;
        WriteSetDir(sandbox.Path("s" + std::to_string(i)), set);
    }
    auto add = [this](const char* set, const char* product = "Example Defs") {
        return std::vector<std::string>{"add",       "--repo", repo,
                                        "--product", product,  sandbox.Path(set)};
    };
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string output;  // expected in standard output, or error when failing
    } steps[] = {
        // Relative paths: the repository remembers where its mirror is,
        // whatever directory the next command runs from.
        {{"-c", "cd " + sandbox.Root() +
                    " && " QDU_PUBLISH_TOOL
                    " init --repo repo --mirror mirror --root-keys 2 --root-threshold 2"},
         0,
         "clients trust mirror/metadata/1.root.json"},
        {{"init", "--repo", repo, "--mirror", mirror}, 4, "already a repository"},
        {add("s1"), 0, "published example-defs/_default 20260401.000"},
        {add("s2"), 0, "package direct 20260401.000 -> 20260402.000"},
        {add("s3"), 0, "package binhub 20260401.000 -> 20260403.000"},
        {add("s2"), 3, "not newer than the published 20260403.000"},
        {{"refresh", "--repo", repo}, 0, "timestamp version"},
        {{"verify", "--mirror", mirror}, 0, "mirror is sound"},
        {{"verify", "--mirror", mirror, "--root", mirror + "/metadata/1.root.json"},
         0,
         "1 product/content pairs, 10 targets checked"},
        // Each product and content type has sets of its own.
        {add("s4", "Other Product (2)"), 0, "published other-product-2/_default 20260404.000"},
        {add("s5", "Other Product (2)"), 0, "no binhub packages"},
        {{"add", "--repo", repo, "--product", "Example Defs", "--content-type", "Extra.Type",
          sandbox.Path("s1")},
         0,
         "published example-defs/extra.type 20260401.000"},
        {{"verify", "--mirror", mirror}, 0, "3 product/content pairs"},
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
        {{"--help"}, 0, "usage: qordefpublish COMMAND"},
    };
    for (const Step& step : steps) {
        CliResult r = Tool(step.args,
                           step.args.size() && step.args[0] == "-c" ? "/bin/sh" : QDU_PUBLISH_TOOL);
        EXPECT_EQ(r.status, step.status) << r.out << r.err;
        EXPECT_NE((r.status ? r.err : r.out).find(step.output), std::string::npos)
            << "wanted: " << step.output << "\n"
            << r.out << r.err;
    }
    for (const char* command : {"init", "add", "refresh", "rotate-root", "prune", "verify"}) {
        CliResult r = Tool({command, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("usage: qordefpublish ") + command, 0), 0u) << r.out;
    }
}

TEST_F(CommandTest, VerifyPrintsWhatIsWrong)
{
    Init();
    WriteSetDir(sandbox.Path("s1"), SetFiles{2026, 4, 1, 0, DataFiles(2, 3000, 1, 2)});
    Add(sandbox.Path("s1"), kT0);
    std::string path = "example-defs/_default/set/defs001.dat";
    std::string file = MirrorFile(publisher::TargetFilePath(
        path, Signed("metadata/2.targets.json")["targets"][path]["hashes"]["sha256"]));
    WriteTextFile(file, ReadTextFile(file) + "!");
    CliResult r = Tool({"verify", "--mirror", mirror, "--now", "2026-01-05T13:00:00Z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, path + ": length 3001, recorded 3000\n");
    r = Tool({"verify", "--mirror", mirror, "--now", "2030-01-01T00:00:00Z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "expired: the newest root expired at " +
                         Signed("metadata/1.root.json")["expires"].get<std::string>() + "\n");
}

}  // namespace
}  // namespace pubtest
