// Whole commands through the sandbox program, compared by their debug log
// with transcripts kept in tests/golden/<name>.log: every line the store
// writes, in order, so a changed message, a skipped step or a new one shows.
//
// What differs from run to run is replaced before the comparison: the
// sandbox directory by "<root>", the logging object's "%p " prefix by
// "<obj>" (a command may log from more than one), other pointers by "<ptr>",
// "tmp<hex>" names by "tmp<1>", "tmp<2>"... in order of appearance, the
// banner's time by "<time>"; lines about a random temporary name that was
// taken are dropped.
// Any differing line fails the test, which then shows them through diff -u.
//
// After a deliberate change of the log, rewrite the transcripts with
//   QDU_GOLDEN_UPDATE=1 ctest --test-dir build/rel -L golden
// and read the diff of tests/golden/ before committing it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/hub_set.h"
#include "tests/support/sandbox.h"

namespace {

// Replaces the first group of each match of pattern by label<N>, N counting
// distinct values in order of appearance.
std::string Number(const std::string& text, const char* pattern, const std::string& label)
{
    std::map<std::string, int> seen;
    std::string out;
    size_t last = 0;
    std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it) {
        int n = seen.emplace(it->str(1), static_cast<int>(seen.size()) + 1).first->second;
        out += text.substr(last, it->position(1) - last) + label + std::to_string(n) + ">";
        last = it->position(1) + it->length(1);
    }
    return out + text.substr(last);
}

std::string Normalise(std::string text, const std::string& root)
{
    for (size_t at; (at = text.find(root)) != std::string::npos;)
        text.replace(at, root.size(), "<root>");
    text = std::regex_replace(text, std::regex("Logging Started @ .*"), "Logging Started @ <time>");
    // Temporary names are drawn from a generator seeded with the time in
    // seconds, so whether a later name first collides with an earlier one
    // depends on the clock.
    text = std::regex_replace(text, std::regex("[^\n]*already exists, trying next random name.\n"),
                              "");
    text = Number(text, "tmp([0-9a-f]+)", "<");
    // An object prefix is a pointer and a blank; it can follow a message
    // that has no line end of its own.
    text = std::regex_replace(text, std::regex("0x[0-9a-f]{6,} "), "<obj> ");
    return std::regex_replace(text, std::regex("0x[0-9a-f]{6,}"), "<ptr>");
}

class DebugLogTest : public SandboxTest {
protected:
    std::string defs = sandbox.DefsDir(), log = defs + "/debug.log";

    void SetUp() override
    {
        sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=debug.log\n");
    }

    // Runs one command with the log starting empty; it must succeed.
    void Run(const std::vector<std::string>& args, const CliOptions& options = CliOptions())
    {
        unlink(log.c_str());
        CliResult r = RunCli(args, options);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    void ExpectTranscript(const std::string& name)
    {
        const std::string actual = Normalise(ReadTextFile(log), sandbox.Root());
        const std::string golden = std::string(QDU_SOURCE_DIR) + "/tests/golden/" + name + ".log";
        if (getenv("QDU_GOLDEN_UPDATE") != nullptr)
            WriteTextFile(golden, actual);
        ASSERT_TRUE(PathExists(golden)) << golden << ": QDU_GOLDEN_UPDATE=1 writes it";
        if (ReadTextFile(golden) == actual)
            return;
        WriteTextFile(sandbox.Path(name + ".log"), actual);
        std::string diff, command = "diff -u " + golden + " " + sandbox.Path(name + ".log");
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buf[4096];
            for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) diff.append(buf, n);
            pclose(pipe);
        }
        ADD_FAILURE() << name << ".log differs (- expected, + actual):\n" << diff;
    }
};

// A newer complete set waits in "incoming"; registering an AppId with the
// newest set integrates it first.
TEST_F(DebugLogTest, NewestIntegratesIncoming)
{
    WriteSet(defs + "/20240102.007", SetDate{2024, 1, 2, 7});
    WriteDefInfo(defs, "20240102.007", "");
    WriteSet(defs + "/incoming", SetDate{2024, 2, 3, 5});
    Run({"-n", "app1"});
    ExpectTranscript("n_with_incoming");
}

TEST_F(DebugLogTest, InstallIntoEmptyStoreThenOverASet)
{
    WriteSet(sandbox.Path("a"), SetDate{2024, 1, 2, 7});
    WriteSet(sandbox.Path("b"), SetDate{2024, 2, 3, 5});
    Run({"-i", sandbox.Path("a")});
    ExpectTranscript("i_into_empty");
    Run({"-i", sandbox.Path("b")});
    ExpectTranscript("i_over_set");
}

// Microdefs through the stand-in client and the reference patch library:
// a hub package moves the store to the next set. The sets are years old,
// so the channel does not depend on today's date.
TEST_F(DebugLogTest, MicroDefsApplyAHubPackage)
{
    const std::string libDir = sandbox.Path("lib"), packages = sandbox.Path("hubpkg");
    WriteHubSet(sandbox.Path("a"), SetDate{2020, 1, 10, 5});
    WriteHubSet(sandbox.Path("b"), SetDate{2020, 2, 3, 1});
    MakeDirs(libDir);
    ASSERT_EQ(symlink(QDU_PATCHAPP_LIBRARY, (libDir + "/libpatchapp.so").c_str()), 0);
    MakeDirs(packages);
    WriteTextFile(packages + "/hub.scr", "apply\n");
    const std::string make = std::string(QDU_MKMICRODEFS) + " --hub " + sandbox.Path("a") + " " +
                             sandbox.Path("b") + " " + packages + "/update.mdp >/dev/null 2>&1";
    ASSERT_EQ(system(make.c_str()), 0) << make;
    Run({"-i", sandbox.Path("a")});

    CliOptions options;
    options.env = {"PATH=" + std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin",
                   "FAKE_JAVA_HUB_FROM=" + packages, "LD_LIBRARY_PATH=" + libDir};
    Run({"-m", "Prod"}, options);
    ASSERT_EQ(DefInfoValue(defs, "CurDefs"), "20200203.001");
    ExpectTranscript("m_hub_package");
}

}  // namespace
