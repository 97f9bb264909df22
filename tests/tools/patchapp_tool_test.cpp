// The package maker's command line, and the hub commit's undo.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/tools/patchapp_sets.h"
#include "tools/patchapp/hub_commit.h"

namespace {

using namespace patchapp;

TEST_F(SandboxTest, MkMicrodefsExitStatusAndMessageForEachKindOfCall)
{
    const std::string oldDir = sandbox.Path("old"), newDir = sandbox.Path("new");
    const std::string pkg = sandbox.Path("out.mdp"), none = sandbox.Path("none");
    WriteSet(oldDir, {{"virscan1.dat", std::string(9000, 'v')}, {"gone.dat", "g"}});
    WriteSet(newDir, {{"virscan1.dat", std::string(9000, 'v') + "+"}, {"new.dat", "n"}});
    MakeDirs(sandbox.Path("nested/sub"));
    struct Row {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string errStart;
    } rows[] = {
        {"NoArguments", {}, 2, "usage: mkmicrodefs"},
        {"UnknownOption", {"--fast", oldDir, newDir, pkg}, 2, "usage: mkmicrodefs"},
        {"MissingOldSet", {none, newDir, pkg}, 1, "mkmicrodefs: cannot list " + none},
        {"SetWithSubdirectory",
         {oldDir, sandbox.Path("nested"), pkg},
         1,
         "mkmicrodefs: not a regular file: " + sandbox.Path("nested/sub")},
        {"UnwritablePackageDir",
         {oldDir, newDir, none + "/x.mdp"},
         1,
         "mkmicrodefs: cannot write " + none + "/x.mdp"},
        {"Verified", {"--verify", oldDir, newDir, pkg}, 0, ""},
        {"VerifiedHub", {"--hub", "--verify", oldDir, newDir, pkg}, 0, ""},
    };
    CliOptions options;
    options.binary = QDU_MKMICRODEFS;
    options.argv0 = "mkmicrodefs";
    options.env.push_back("TMPDIR=" + sandbox.Root());
    for (const Row& r : rows) {
        CliResult res = RunCli(r.args, options);
        EXPECT_EQ(res.status, r.status) << r.name;
        EXPECT_EQ(res.err.substr(0, r.errStart.size()), r.errStart) << r.name << ": " << res.err;
        std::string size = std::to_string(ReadTextFile(pkg).size());
        std::string out = pkg + ": 0 unchanged, 1 delta, 1 whole, 1 removed, " + size + " bytes\n";
        EXPECT_EQ(res.out, r.status == 0 ? out : "") << r.name;  // only success prints
    }
    // The verification's scratch directories are gone again.
    for (const std::string& name : ListDir(sandbox.Root()))
        EXPECT_EQ(name.find("mkmicrodefs-"), std::string::npos) << name;
}

TEST_F(SandboxTest, HubCommitUndoesEarlierStepsWhenALaterOneFails)
{
    const std::string src = sandbox.Path("hub"), staging = sandbox.Path("staging");
    const FileSet old{{"a.dat", "old a"}, {"b.dat", "old b"}, {"gone.dat", "old gone"}};
    WriteSet(src, old);
    WriteSet(staging, {{StagedNewName(0), "new a"}, {StagedNewName(1), "new c"}});
    // Step 3 has no staged file, so its rename fails after three steps
    // changed the hub.
    std::vector<CommitStep> steps{
        {"a.dat", 0, true, true},
        {"c.dat", 1, true, false},
        {"gone.dat", 2, false, true},
        {"b.dat", 3, true, true},
    };
    EXPECT_EQ(CommitToSource(src.c_str(), staging.c_str(), steps), PA_E_IO);
    EXPECT_TRUE(ReadSet(src) == old);

    steps.pop_back();
    WriteSet(staging, {{StagedNewName(0), "new a"}, {StagedNewName(1), "new c"}});
    EXPECT_EQ(CommitToSource(src.c_str(), staging.c_str(), steps), PA_OK);
    EXPECT_TRUE(ReadSet(src) ==
                FileSet({{"a.dat", "new a"}, {"b.dat", "old b"}, {"c.dat", "new c"}}));
}

}  // namespace
