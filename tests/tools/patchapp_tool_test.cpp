// The package maker's command line, and the hub commit's undo.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/tools/patchapp_sets.h"
#include "tools/patchapp/hub_commit.h"

namespace {

using namespace patchapp;

class MkMicrodefs : public SandboxTest {
protected:
    CliResult Run(const std::vector<std::string>& args)
    {
        CliOptions options;
        options.binary = QDU_MKMICRODEFS;
        options.argv0 = "mkmicrodefs";
        options.env.push_back("TMPDIR=" + sandbox.Root());
        return RunCli(args, options);
    }
};

TEST_F(MkMicrodefs, ExitStatusAndMessageForEachKindOfCall)
{
    WriteSet(sandbox.Path("old"), {{"virscan1.dat", std::string(9000, 'v')}, {"gone.dat", "g"}});
    WriteSet(sandbox.Path("new"), {{"virscan1.dat", std::string(9000, 'v') + "+"}, {"new.dat", "n"}});
    MakeDirs(sandbox.Path("nested/sub"));
    std::string pkg = sandbox.Path("out.mdp");
    struct Row {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string errStart;  // expected start of standard error
    } rows[] = {
        {"NoArguments", {}, 2, "usage: mkmicrodefs"},
        {"TooFewArguments", {sandbox.Path("old"), sandbox.Path("new")}, 2, "usage: mkmicrodefs"},
        {"UnknownOption", {"--fast", sandbox.Path("old"), sandbox.Path("new"), pkg}, 2, "usage: mkmicrodefs"},
        {"MissingOldSet", {sandbox.Path("none"), sandbox.Path("new"), pkg}, 1,
         "mkmicrodefs: cannot list " + sandbox.Path("none")},
        {"SetWithSubdirectory", {sandbox.Path("old"), sandbox.Path("nested"), pkg}, 1,
         "mkmicrodefs: not a regular file: " + sandbox.Path("nested") + "/sub"},
        {"UnwritablePackageDir", {sandbox.Path("old"), sandbox.Path("new"), sandbox.Path("none/x.mdp")}, 1,
         "mkmicrodefs: cannot write " + sandbox.Path("none/x.mdp")},
        {"Verified", {"--verify", sandbox.Path("old"), sandbox.Path("new"), pkg}, 0, ""},
        {"VerifiedHub", {"--hub", "--verify", sandbox.Path("old"), sandbox.Path("new"), pkg}, 0, ""},
    };
    for (const Row& r : rows) {
        CliResult res = Run(r.args);
        EXPECT_EQ(res.status, r.status) << r.name;
        EXPECT_EQ(res.err.substr(0, r.errStart.size()), r.errStart) << r.name << ": " << res.err;
        if (r.status == 0) {
            EXPECT_EQ(res.out, pkg + ": 0 unchanged, 1 delta, 1 whole, 1 removed, " +
                                   std::to_string(ReadTextFile(pkg).size()) + " bytes\n")
                << r.name;
        }
    }
    // The verification's scratch directories are gone again.
    for (const std::string& name : ListDir(sandbox.Root()))
        EXPECT_EQ(name.find("mkmicrodefs-"), std::string::npos) << name;
}

TEST_F(SandboxTest, HubCommitUndoesEarlierStepsWhenALaterOneFails)
{
    std::string src = sandbox.Path("hub");
    std::string staging = sandbox.Path("staging");
    WriteSet(src, {{"a.dat", "old a"}, {"b.dat", "old b"}, {"gone.dat", "old gone"}});
    WriteSet(staging, {{StagedNewName(0), "new a"}, {StagedNewName(1), "new c"}});
    // Step 3 has no staged file, so its rename fails after the first three
    // steps changed the hub.
    std::vector<CommitStep> steps{
        {"a.dat", 0, true, true},
        {"c.dat", 1, true, false},
        {"gone.dat", 2, false, true},
        {"b.dat", 3, true, true},
    };
    EXPECT_EQ(CommitToSource(src.c_str(), staging.c_str(), steps), PA_E_IO);
    EXPECT_TRUE(ReadSet(src) == FileSet({{"a.dat", "old a"}, {"b.dat", "old b"}, {"gone.dat", "old gone"}}));

    steps.pop_back();
    WriteTextFile(staging + "/" + StagedNewName(0), "new a");
    WriteTextFile(staging + "/" + StagedNewName(1), "new c");
    EXPECT_EQ(CommitToSource(src.c_str(), staging.c_str(), steps), PA_OK);
    EXPECT_TRUE(ReadSet(src) == FileSet({{"a.dat", "new a"}, {"b.dat", "old b"}, {"c.dat", "new c"}}));
}

}  // namespace
