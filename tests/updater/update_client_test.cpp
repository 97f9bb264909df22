// The update client's environment, the command line the shell hands the
// stand-in "java" (put first on PATH), and how the runs judge its end.
#include "updater/update_client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Strings;

const std::string kFakePath = std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin";

// The launcher changes this process's own environment: every run starts
// from the stand-in alone on PATH and gets the caller's PATH back afterwards.
class UpdateClientTest : public SandboxTest {
protected:
    void SetUp() override
    {
        for (const char* name :
             {"CLASSPATH", "JSFDEBUG", "FAKE_JAVA_COPY_FROM", "FAKE_JAVA_EXIT", "FAKE_JAVA_SIGNAL"})
            unsetenv(name);
        setenv("PATH", kFakePath.c_str(), 1);
        setenv("FAKE_JAVA_RECORD", m_record.c_str(), 1);
        unlink(m_record.c_str());
    }
    void TearDown() override { setenv("PATH", m_path.c_str(), 1); }
    void MakeStoreWithNewest(const SetDate& date)
    {
        WriteSet(sandbox.DefsDir() + "/" + date.DirName(), date);
        WriteDefInfo(sandbox.DefsDir(), date.DirName(), date.DirName());
    }
    // What the stand-in recorded: "arg <argument>" and "env <NAME>=<value>" lines.
    Strings Recorded(const std::string& prefix) const
    {
        return PrefixedLines(ReadTextFile(m_record), prefix);
    }

    std::string m_jar = sandbox.BaseDir() + "/Skyfetcher/jsf.jar";
    std::string m_record = sandbox.Path("java-record.txt");
    std::string m_path = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
};

// The product name goes unquoted and so is split into words; the value
// sits between the class name and the group; the stamp's revision is capped;
// the jar goes first on CLASSPATH.
TEST_F(UpdateClientTest, FullUpdateCommandLine)
{
    const struct {
        const char* name;
        uint32_t rev;
        const char* value;
        const char* debug;  // JSFDEBUG, null: unset
        Strings head;       // before the group
        const char* stamp;
    } kCases[] = {
        {"NoValue", 0, nullptr, nullptr, {"Skyfetcher"}, "2009031500"},
        {"EmptyValue", 99, "", nullptr, {"Skyfetcher"}, "2009031599"},
        {"DebugEmpty", 12, nullptr, "", {"Skyfetcher", "-d"}, "2009031512"},
        {"OptionValueDebugStampCapped", 250, "-g", "yes", {"Skyfetcher", "-g", "-d"}, "2009031599"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        SetUp();
        RemoveTree(sandbox.DefsDir());
        MakeStoreWithNewest({2009, 3, 15, c.rev});
        if (c.debug != nullptr)
            setenv("JSFDEBUG", c.debug, 1);
        setenv("CLASSPATH", "/opt/x.jar", 1);

        EXPECT_EQ(CUpdateClient().RunDefUpdate(c.value), 0);
        Strings expected = c.head;
        expected.insert(expected.end(),
                        {"[", "-p", "Morvik1.5", "Definitions", "Linux", "-v", "1.0", "-l",
                         "English", "-z", c.stamp, "-t", "VirusDef", "]"});
        EXPECT_EQ(Recorded("arg "), expected);
        EXPECT_EQ(Recorded("env CLASSPATH="), Strings{m_jar + ":/opt/x.jar"});
        std::string qorDefsDir = Recorded("env QORDEFSDIR=").at(0);
        EXPECT_EQ(qorDefsDir.substr(0, sandbox.DefsDir().size() + 4), sandbox.DefsDir() + "/tmp");
        EXPECT_FALSE(PathExists(qorDefsDir));
    }
}

TEST_F(UpdateClientTest, FullUpdateOutcomes)
{
    MakeDirs(sandbox.Path("jdir/java"));
    const std::string full = sandbox.Path("full"), part = sandbox.Path("part");
    WriteSet(full, SetDate{2009, 4, 1, 3});
    WriteSet(part, SetDate{2009, 4, 1, 3});
    unlink((part + "/defs1.dat").c_str());
    auto withStore = [this] { MakeStoreWithNewest({2009, 3, 15, 12}); };
    auto withEnv = [&](const char* name, std::string value) {
        return [=] {
            withStore();
            setenv(name, value.c_str(), 1);
        };
    };
    const struct {
        const char* name;
        std::function<void()> arrange;
        int expected;
        bool bClientRuns;
    } kCases[] = {
        {"NewerSetDownloaded", withEnv("FAKE_JAVA_COPY_FROM", full), 0, true},
        {"NothingNewDownloaded", withStore, 0, true},
        {"IncompleteSetDownloaded", withEnv("FAKE_JAVA_COPY_FROM", part), 3, true},
        {"ClientExitsNonZero", withEnv("FAKE_JAVA_EXIT", "1"), 9, true},
        {"ClientKilledBySignal", withEnv("FAKE_JAVA_SIGNAL", std::to_string(SIGKILL)), 9, true},
        {"EmptyPathEntriesSkipped", withEnv("PATH", "::/none::" + kFakePath), 0, true},
        {"NoJavaOnPath", withEnv("PATH", sandbox.Path("nowhere")), 9, false},
        {"PathUnset",
         [&] {
             withStore();
             unsetenv("PATH");
         },
         9, false},
        {"JavaIsADirectory", withEnv("PATH", sandbox.Path("jdir") + ":" + kFakePath), 9, false},
        {"NewestSetHasNoDate", [] {}, 9, false},
        {"BaseDirMissing", [this] { sandbox.WriteTarvolixConf("[Tarvolix Shared]\n"); }, 5, false},
        // A file where the store should be: found, but nothing can be built in it.
        {"StoreIsAFile", [this] { WriteTextFile(sandbox.DefsDir(), "not a directory"); }, 2, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        RemoveTree(sandbox.BaseDir());
        MakeDirs(sandbox.BaseDir());
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "\n");
        SetUp();
        c.arrange();

        EXPECT_EQ(CUpdateClient().RunDefUpdate(nullptr), c.expected);
        EXPECT_EQ(PathExists(m_record), c.bClientRuns);
        for (const std::string& name : ListDir(sandbox.DefsDir()))
            EXPECT_NE(name.compare(0, 3, "tmp"), 0) << name;
    }
}

}  // namespace
