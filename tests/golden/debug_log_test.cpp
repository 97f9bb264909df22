// Debug logs of whole commands against tests/golden/<name>.log. After a
// deliberate change: QDU_GOLDEN_UPDATE=1 ctest --test-dir build/rel -L golden,
// then read the diff before committing it.
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <regex>

#include "tests/support/cli_runner.h"
#include "tests/support/hub_set.h"

namespace {

// Masks what differs between runs. Whether a random temporary name collides
// depends on the clock (the generator is seeded with it): those lines go.
std::string Normalise(std::string text, const std::string& root)
{
    for (size_t at; (at = text.find(root)) != std::string::npos;)
        text.replace(at, root.size(), "<root>");
    text = std::regex_replace(text, std::regex("Logging Started @ .*"), "Logging Started @ <time>");
    text = std::regex_replace(text, std::regex("[^\n]*already exists, trying next random name.\n"),
                              "");
    std::map<std::string, size_t> seen;
    std::string numbered;
    std::smatch m;
    const std::regex tmpName("tmp([0-9a-f]+)");
    while (std::regex_search(text, m, tmpName)) {
        size_t n = seen.emplace(m.str(1), seen.size() + 1).first->second;
        numbered += m.prefix().str() + "tmp<" + std::to_string(n) + ">";
        text = m.suffix().str();
    }
    // A prefix can follow a message that has no line end of its own.
    text = std::regex_replace(numbered + text, std::regex("0x[0-9a-f]{6,} "), "<obj> ");
    return std::regex_replace(text, std::regex("0x[0-9a-f]{6,}"), "<ptr>");
}

class DebugLogTest : public SandboxTest {
protected:
    std::string defs = sandbox.DefsDir(), log = defs + "/debug.log";

    void SetUp() override
    {
        sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=debug.log\n");
    }

    // Runs one command, which must succeed, with the log starting empty.
    void Expect(const std::vector<std::string>& args, const std::string& name,
                const CliOptions& options = CliOptions())
    {
        unlink(log.c_str());
        CliResult r = RunCli(args, options);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string actual = Normalise(ReadTextFile(log), sandbox.Root());
        const std::string golden = std::string(QDU_SOURCE_DIR) + "/tests/golden/" + name + ".log";
        if (getenv("QDU_GOLDEN_UPDATE") != nullptr)
            WriteTextFile(golden, actual);
        ASSERT_TRUE(PathExists(golden)) << golden << ": QDU_GOLDEN_UPDATE=1 writes it";
        EXPECT_EQ(ReadTextFile(golden), actual) << name;
    }
};

// A newer complete set waits in "incoming"; registering an AppId integrates it.
TEST_F(DebugLogTest, NewestIntegratesIncoming)
{
    WriteSet(defs + "/20240102.007", SetDate{2024, 1, 2, 7});
    WriteDefInfo(defs, "20240102.007", "");
    WriteSet(defs + "/incoming", SetDate{2024, 2, 3, 5});
    Expect({"-n", "app1"}, "n_with_incoming");
}

TEST_F(DebugLogTest, InstallIntoEmptyStoreThenOverASet)
{
    WriteSet(sandbox.Path("a"), SetDate{2024, 1, 2, 7});
    WriteSet(sandbox.Path("b"), SetDate{2024, 2, 3, 5});
    Expect({"-i", sandbox.Path("a")}, "i_into_empty");
    Expect({"-i", sandbox.Path("b")}, "i_over_set");
}

// The sets are years old, so the channel does not depend on today's date.
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
    ASSERT_EQ(RunCli({"-i", sandbox.Path("a")}).status, 0);

    CliOptions options;
    options.env = {"PATH=" + std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin",
                   "FAKE_JAVA_HUB_FROM=" + packages, "LD_LIBRARY_PATH=" + libDir};
    Expect({"-m", "Prod"}, "m_hub_package", options);
    EXPECT_EQ(DefInfoValue(defs, "CurDefs"), "20200203.001");
}

}  // namespace
