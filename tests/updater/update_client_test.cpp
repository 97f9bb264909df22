// The argument group, the command the shell hands the client, and how the
// runs judge the client's end.
#include "updater/update_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/updater/update_client_support.h"

namespace {

const SetDate kNewest = {2009, 3, 15, 12};
const SetDate kNewer = {2009, 4, 1, 3};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(UpdateClientTest, StampHasTenDigitsWithRevisionCapped)
{
    struct {
        const char* name;
        uint32_t rev;
        const char* expected;
    } const kCases[] = {
        {"Zero", 0, "2009031500"},
        {"TwoDigits", 12, "2009031512"},
        {"Ninety nine", 99, "2009031599"},
        {"Hundred", 100, "2009031599"},
        {"TwoHundredFifty", 250, "2009031599"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        RemoveTree(sandbox.DefsDir());
        MakeStoreWithNewest({2009, 3, 15, c.rev});
        CUpdateClient client;
        char szStamp[UPDATE_CLIENT_PATH_SIZE] = "stale";
        client.GetNewestDefsStamp(szStamp, sizeof szStamp);
        EXPECT_STREQ(c.expected, szStamp);
    }
}

TEST_F(UpdateClientTest, NoNewestSetGivesEmptyStampAndArguments)
{
    CUpdateClient client;
    char szStamp[UPDATE_CLIENT_PATH_SIZE] = "stale";
    client.GetNewestDefsStamp(szStamp, sizeof szStamp);
    EXPECT_STREQ("", szStamp);
    char szArgs[UPDATE_ARGUMENTS_SIZE] = "stale";
    client.BuildClientArguments(szArgs, sizeof szArgs);
    EXPECT_STREQ("", szArgs);
}

TEST_F(UpdateClientTest, ArgumentGroupText)
{
    MakeStoreWithNewest(kNewest);
    const std::string group =
        "[ -p Morvik1.5 Definitions Linux -v 1.0 -l English -z 2009031512 -t VirusDef ]";
    struct {
        const char* name;
        const char* debug;  // null: JSFDEBUG unset
        std::string expected;
    } const kCases[] = {
        {"NoDebug", nullptr, group},
        {"DebugEmptyValue", "", " -d " + group},
        {"DebugAnyValue", "0", " -d " + group},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        if (c.debug != nullptr)
            setenv("JSFDEBUG", c.debug, 1);
        else
            unsetenv("JSFDEBUG");
        CUpdateClient client;
        char szArgs[UPDATE_ARGUMENTS_SIZE] = "stale";
        client.BuildClientArguments(szArgs, sizeof szArgs);
        EXPECT_EQ(c.expected, szArgs);
    }
}

// What the client receives from the shell: the product name unquoted and
// so split into words, the value between the class name and the group.
TEST_F(UpdateClientTest, FullUpdateCommandLine)
{
    const std::vector<std::string> group = {
        "[",  "-p",      "Morvik1.5", "Definitions", "Linux", "-v",       "1.0",
        "-l", "English", "-z",        "2009031512",  "-t",    "VirusDef", "]"};
    struct {
        const char* name;
        const char* value;
        const char* debug;
        std::vector<std::string> expected;
    } const kCases[] = {
        {"NoValue", nullptr, nullptr, Concat({"Skyfetcher"}, group)},
        {"EmptyValue", "", nullptr, Concat({"Skyfetcher"}, group)},
        {"Value", "-g", nullptr, Concat({"Skyfetcher", "-g"}, group)},
        {"DebugEmpty", nullptr, "", Concat({"Skyfetcher", "-d"}, group)},
        {"ValueAndDebug", "now", "yes", Concat({"Skyfetcher", "now", "-d"}, group)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        RemoveTree(sandbox.DefsDir());
        MakeStoreWithNewest(kNewest);
        if (c.debug != nullptr)
            setenv("JSFDEBUG", c.debug, 1);
        else
            unsetenv("JSFDEBUG");
        unlink(m_record.c_str());

        CUpdateClient client;
        client.RunDefUpdate(c.value);

        ASSERT_TRUE(ClientRan());
        EXPECT_EQ(c.expected, ClientArgs());
        EXPECT_EQ(JarPath(), ClientEnv("CLASSPATH"));
        std::string qorDefsDir = ClientEnv("QORDEFSDIR");
        EXPECT_EQ(sandbox.DefsDir() + "/tmp", qorDefsDir.substr(0, sandbox.DefsDir().size() + 4));
        EXPECT_FALSE(PathExists(qorDefsDir));
    }
}

struct RunCase {
    const char* name;
    std::function<void()> arrange;
    int expected;
    bool bClientRuns;
};

TEST_F(UpdateClientTest, FullUpdateOutcomes)
{
    auto withStore = [this] { MakeStoreWithNewest(kNewest); };
    const RunCase kCases[] = {
        {"NewerSetDownloaded",
         [&] {
             withStore();
             WriteSet(sandbox.Path("download"), kNewer);
             setenv("FAKE_JAVA_COPY_FROM", sandbox.Path("download").c_str(), 1);
         },
         0, true},
        {"ClientExitsNonZero",
         [&] {
             withStore();
             setenv("FAKE_JAVA_EXIT", "1", 1);
         },
         9, true},
        {"ClientKilledBySignal",
         [&] {
             withStore();
             setenv("FAKE_JAVA_SIGNAL", std::to_string(SIGKILL).c_str(), 1);
         },
         9, true},
        {"NothingNewDownloaded", withStore, 0, true},
        {"IncompleteSetDownloadedPostUpdateFails",
         [&] {
             withStore();
             WriteSet(sandbox.Path("download"), kNewer);
             unlink(sandbox.Path("download/defs1.dat").c_str());
             setenv("FAKE_JAVA_COPY_FROM", sandbox.Path("download").c_str(), 1);
         },
         3, true},
        {"NoJavaOnPath",
         [&] {
             withStore();
             setenv("PATH", sandbox.Path("nowhere").c_str(), 1);
         },
         9, false},
        {"PathUnset",
         [&] {
             withStore();
             unsetenv("PATH");
         },
         9, false},
        {"JavaIsADirectory",
         [&] {
             withStore();
             MakeDirs(sandbox.Path("jdir/java"));
             setenv("PATH", (sandbox.Path("jdir") + ":" + QDU_FAKE_JAVA_DIR).c_str(), 1);
         },
         9, false},
        {"NewestSetHasNoDate", [] {}, 9, false},
        {"BaseDirMissing", [this] { sandbox.WriteTarvolixConf("[Tarvolix Shared]\n"); }, 5, false},
        {"PreUpdateFails",
         [this] {
             // A file where the definitions directory should be: the store
             // manager finds it but cannot build anything inside.
             MakeDirs(sandbox.BaseDir());
             WriteTextFile(sandbox.DefsDir(), "not a directory");
         },
         2, false},
    };
    for (const RunCase& c : kCases) {
        SCOPED_TRACE(c.name);
        // Every row starts from a fresh store and default stand-in.
        unlink(sandbox.DefsDir().c_str());
        RemoveTree(sandbox.BaseDir());
        RemoveTree(sandbox.Path("download"));
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "\n");
        setenv("PATH", (std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin").c_str(), 1);
        for (const char* pszName : {"FAKE_JAVA_COPY_FROM", "FAKE_JAVA_EXIT", "FAKE_JAVA_SIGNAL"})
            unsetenv(pszName);
        unlink(m_record.c_str());
        c.arrange();

        CUpdateClient client;
        EXPECT_EQ(c.expected, client.RunDefUpdate(nullptr));
        EXPECT_EQ(c.bClientRuns, ClientRan());
        struct stat st;
        if (stat(sandbox.DefsDir().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            EXPECT_EQ(std::vector<std::string>(), TempDirsLeft());
        }
    }
}

TEST_F(UpdateClientTest, MicroDefsCommandAndEnvironment)
{
    CUpdateClient client;
    EXPECT_EQ(0, client.RunMicroDefUpdate("/hub/patch", "/direct/patch",
                                          "[ -p Some Product -v 1.0 ] [ -p Other -t X ]"));
    ASSERT_TRUE(ClientRan());
    EXPECT_EQ(Words("Skyfetcher [ -p Some Product -v 1.0 ] [ -p Other -t X ]"), ClientArgs());
    EXPECT_EQ("/hub/patch", ClientEnv("HUBDELTADIR"));
    EXPECT_EQ("/direct/patch", ClientEnv("CURDELTADIR"));
    EXPECT_EQ(JarPath(), ClientEnv("CLASSPATH"));
}

TEST_F(UpdateClientTest, MicroDefsOutcomes)
{
    struct {
        const char* name;
        const char* variable;
        std::string value;
        int expected;
        bool bClientRuns;
    } const kCases[] = {
        {"ClientSucceeds", "FAKE_JAVA_EXIT", "0", 0, true},
        {"ClientExitsThree", "FAKE_JAVA_EXIT", "3", 9, true},
        {"ClientKilled", "FAKE_JAVA_SIGNAL", std::to_string(SIGTERM), 9, true},
        {"NoJavaOnPath", "PATH", "/nonexistent-dir", 9, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        setenv("PATH", (std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin").c_str(), 1);
        unsetenv("FAKE_JAVA_EXIT");
        unsetenv("FAKE_JAVA_SIGNAL");
        unlink(m_record.c_str());
        setenv(c.variable, c.value.c_str(), 1);

        CUpdateClient client;
        EXPECT_EQ(c.expected, client.RunMicroDefUpdate("/h", "/c", "[ -p P ]"));
        EXPECT_EQ(c.bClientRuns, ClientRan());
    }
}

// Without a base directory the microdefs client still runs, with
// CLASSPATH as it was.
TEST_F(UpdateClientTest, MicroDefsWithoutBaseDirKeepsClassPath)
{
    sandbox.WriteTarvolixConf("[Tarvolix Shared]\n");
    setenv("CLASSPATH", "/opt/x.jar", 1);
    CUpdateClient client;
    EXPECT_EQ(0, client.RunMicroDefUpdate("/h", "/c", "[ -p P ]"));
    EXPECT_EQ("/opt/x.jar", ClientEnv("CLASSPATH"));
}

}  // namespace
