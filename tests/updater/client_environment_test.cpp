// The client's directory, CLASSPATH, and finding the interpreter on PATH.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/updater/update_client_support.h"
#include "updater/update_client.h"

namespace {

struct ClientDirCase {
    const char* name;
    const char* conf;  // "%s" stands for the sandbox base directory
    const char* expected;
};

const ClientDirCase kClientDirCases[] = {
    {"BaseDirConfigured", "[Tarvolix Shared]\nBaseDir=%s\n", "%s/Skyfetcher"},
    {"BaseDirKeyMissing", "[Tarvolix Shared]\nOther=1\n", ""},
    {"BaseDirEmpty", "[Tarvolix Shared]\nBaseDir=\n", ""},
    // Only the shared section counts; the section used to create a store
    // does not name the client's home.
    {"OnlyCreationSection", "[tarvolix]\nBaseDir=%s\n", ""},
};

std::string Fill(const char* pszFormat, const std::string& value)
{
    std::string text = pszFormat;
    size_t nAt = text.find("%s");
    if (nAt != std::string::npos)
        text.replace(nAt, 2, value);
    return text;
}

TEST_F(UpdateClientTest, GetClientDirReadsSharedBaseDir)
{
    for (const ClientDirCase& c : kClientDirCases) {
        SCOPED_TRACE(c.name);
        sandbox.WriteTarvolixConf(Fill(c.conf, sandbox.BaseDir()));
        CClientEnvironment environment;
        char szDir[UPDATE_CLIENT_PATH_SIZE] = "stale";
        environment.GetClientDir(szDir, sizeof szDir);
        EXPECT_EQ(Fill(c.expected, sandbox.BaseDir()), szDir);
    }
}

struct ClassPathCase {
    const char* name;
    bool bBaseDir;
    const char* before;  // null: unset; "%s" stands for the jar path
    const char* after;   // null: unset
};

const ClassPathCase kClassPathCases[] = {
    {"UnsetGetsJarAlone", true, nullptr, "%s"},
    {"OtherValueGoesBehindJar", true, "/opt/x.jar:/opt/y", "%s:/opt/x.jar:/opt/y"},
    {"AlreadyFirstUnchanged", true, "%s:/opt/x.jar", "%s:/opt/x.jar"},
    {"ContainedLaterUnchanged", true, "/opt/x.jar:%s", "/opt/x.jar:%s"},
    {"EmptyValueGetsJarAlone", true, "", "%s"},
    {"NoBaseDirLeavesUnset", false, nullptr, nullptr},
    {"NoBaseDirLeavesValue", false, "/opt/x.jar", "/opt/x.jar"},
};

TEST_F(UpdateClientTest, ConstructorPutsJarFirstOnClassPath)
{
    for (const ClassPathCase& c : kClassPathCases) {
        SCOPED_TRACE(c.name);
        sandbox.WriteTarvolixConf(c.bBaseDir
                                      ? "[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "\n"
                                      : "[Tarvolix Shared]\n");
        if (c.before != nullptr)
            setenv("CLASSPATH", Fill(c.before, JarPath()).c_str(), 1);
        else
            unsetenv("CLASSPATH");
        {
            CClientEnvironment environment;
        }
        // The entry must outlive the object that made it.
        const char* pszAfter = getenv("CLASSPATH");
        if (c.after == nullptr) {
            EXPECT_EQ(nullptr, pszAfter);
        } else {
            ASSERT_NE(nullptr, pszAfter);
            EXPECT_EQ(Fill(c.after, JarPath()), pszAfter);
        }
    }
}

TEST_F(UpdateClientTest, PathExistsAcceptsFilesAndDirectoriesOnly)
{
    std::string dir = sandbox.Path("probe");
    MakeDirs(dir);
    WriteTextFile(dir + "/file", "x");
    ASSERT_EQ(0, symlink((dir + "/file").c_str(), (dir + "/good-link").c_str()));
    ASSERT_EQ(0, symlink((dir + "/gone").c_str(), (dir + "/dangling").c_str()));
    ASSERT_EQ(0, mkfifo((dir + "/fifo").c_str(), 0600));

    struct {
        const char* name;
        bool expected;
    } const kCases[] = {
        {"file", true},     {"good-link", true}, {"", true},  // the directory itself
        {"missing", false}, {"dangling", false}, {"fifo", false},
    };
    CClientEnvironment environment;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string path = *c.name != '\0' ? dir + "/" + c.name : dir;
        EXPECT_EQ(c.expected, environment.PathExists(path.c_str()));
    }
    EXPECT_FALSE(environment.PathExists(nullptr));
}

TEST_F(UpdateClientTest, FindJavaTakesFirstExistingCandidate)
{
    std::string fake = QDU_FAKE_JAVA_DIR;
    std::string missing = sandbox.Path("no-such-dir");
    std::string javaDir = sandbox.Path("dir-with-java-dir");
    MakeDirs(javaDir + "/java");
    std::string empty = sandbox.Path("empty");
    MakeDirs(empty);

    struct {
        const char* name;
        std::string path;  // "<unset>" unsets PATH
        std::string expected;
    } const kCases[] = {
        {"EmptyEntriesAndMissingDirSkipped", "::" + missing + "::" + empty + ":" + fake + ":",
         fake + "/java"},
        {"DirectoryNamedJavaIsTaken", javaDir + ":" + fake, javaDir + "/java"},
        {"NoJavaAnywhere", missing + ":" + empty, ""},
        {"OnlySeparators", ":::", ""},
        {"PathUnset", "<unset>", ""},
    };
    CClientEnvironment environment;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        if (c.path == "<unset>")
            unsetenv("PATH");
        else
            setenv("PATH", c.path.c_str(), 1);
        char szJava[UPDATE_JAVA_PATH_SIZE] = "stale";
        environment.FindJava(szJava, sizeof szJava);
        EXPECT_EQ(c.expected, szJava);
    }
}

}  // namespace
