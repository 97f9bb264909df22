// A full update through the stand-in "java" (first on PATH).
#include "updater/update_client.h"

#include <unistd.h>

#include <cstdlib>

#include "tests/support/full_sets.h"

namespace {

typedef std::vector<std::string> Strings;

enum Store { kStore, kNoStore, kNoBaseDir, kStoreIsAFile };

// The value goes unquoted, so it is split into words; the stamp's revision
// is capped at 99; the jar goes first on CLASSPATH.
TEST(UpdateClient, FullUpdate)
{
    Sandbox sandbox;
    const std::string fakePath = std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin";
    const std::string callerPath = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
    const std::string record = sandbox.Path("record"), defs = sandbox.DefsDir();
    const std::string full = sandbox.Path("full"), part = sandbox.Path("part");
    WriteSet(full, SetDate{2009, 4, 1, 3});
    WriteSet(part, SetDate{2009, 4, 1, 3});
    unlink((part + "/defs1.dat").c_str());
    MakeDirs(sandbox.Path("jdir/java"));
    const std::string inPath = "PATH=" + sandbox.Path("jdir") + ":" + fakePath;
    const struct {
        const char* name;
        Store store;
        uint32_t rev;  // of the store's set
        const char* value;
        std::string env;  // "NAME=value" sets, "NAME" unsets
        int expected;
        bool bClientRuns;
        std::string head = "";  // the arguments before the group; "": unchecked, no CLASSPATH
        const char* stamp = "";
    } kCases[] = {
        {"NoValue", kStore, 0, nullptr, "", 0, true, "Skyfetcher", "2009031500"},
        {"EmptyValue", kStore, 99, "", "", 0, true, "Skyfetcher", "2009031599"},
        {"DebugEmpty", kStore, 12, nullptr, "JSFDEBUG=", 0, true, "Skyfetcher|-d", "2009031512"},
        {"StampCapped", kStore, 250, "-g", "JSFDEBUG=y", 0, true, "Skyfetcher|-g|-d", "2009031599"},
        {"NewerSetDownloaded", kStore, 1, nullptr, "FAKE_JAVA_COPY_FROM=" + full, 0, true},
        {"IncompleteSetDownloaded", kStore, 1, nullptr, "FAKE_JAVA_COPY_FROM=" + part, 3, true},
        {"ClientExitsNonZero", kStore, 1, nullptr, "FAKE_JAVA_EXIT=1", 9, true},
        {"ClientKilledBySignal", kStore, 1, nullptr, "FAKE_JAVA_SIGNAL=9", 9, true},
        {"EmptyPathEntriesSkipped", kStore, 1, nullptr, "PATH=::/none::" + fakePath, 0, true},
        {"NoJavaOnPath", kStore, 1, nullptr, "PATH=" + sandbox.Path("nowhere"), 9, false},
        {"PathUnset", kStore, 1, nullptr, "PATH", 9, false},
        {"JavaIsADirectory", kStore, 1, nullptr, inPath, 9, false},
        {"NewestSetHasNoDate", kNoStore, 1, nullptr, "", 9, false},
        {"BaseDirMissing", kNoBaseDir, 1, nullptr, "", 5, false},
        // Found, but nothing can be built in it.
        {"StoreIsAFile", kStoreIsAFile, 1, nullptr, "", 2, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        for (const char* name :
             {"CLASSPATH", "JSFDEBUG", "FAKE_JAVA_COPY_FROM", "FAKE_JAVA_EXIT", "FAKE_JAVA_SIGNAL"})
            unsetenv(name);
        setenv("PATH", fakePath.c_str(), 1);
        setenv("FAKE_JAVA_RECORD", record.c_str(), 1);
        unlink(record.c_str());
        RemoveTree(sandbox.BaseDir());
        MakeDirs(sandbox.BaseDir());
        const std::string baseDir = c.store == kNoBaseDir ? "" : "BaseDir=" + sandbox.BaseDir();
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\n" + baseDir + "\n");
        const SetDate date = {2009, 3, 15, c.rev};
        if (c.store == kStore) {
            WriteSet(defs + "/" + date.DirName(), date);
            WriteDefInfo(defs, date.DirName(), date.DirName());
        }
        if (c.store == kStoreIsAFile)
            WriteTextFile(defs, "not a directory");
        if (!c.head.empty())
            setenv("CLASSPATH", "/opt/x.jar", 1);
        const size_t equals = c.env.find('=');
        if (equals != std::string::npos)
            setenv(c.env.substr(0, equals).c_str(), c.env.substr(equals + 1).c_str(), 1);
        else if (!c.env.empty())
            unsetenv(c.env.c_str());

        EXPECT_EQ(CUpdateClient().RunDefUpdate(c.value), c.expected);
        EXPECT_EQ(PathExists(record), c.bClientRuns);
        for (const std::string& name : ListDir(defs))
            EXPECT_NE(name.compare(0, 3, "tmp"), 0) << name;
        if (c.head.empty())
            continue;
        const std::string recorded = ReadTextFile(record);
        std::string args;
        for (const std::string& arg : PrefixedLines(recorded, "arg "))
            args += (args.empty() ? "" : "|") + arg;
        EXPECT_EQ(args, c.head + "|[|-p|Morvik1.5|Definitions|Linux|-v|1.0|-l|English|-z|" +
                            c.stamp + "|-t|VirusDef|]");
        EXPECT_EQ(PrefixedLines(recorded, "env CLASSPATH="),
                  Strings{sandbox.BaseDir() + "/Skyfetcher/jsf.jar:/opt/x.jar"});
        EXPECT_EQ(PrefixedLines(recorded, "env QORDEFSDIR=").at(0).rfind(defs + "/tmp", 0), 0u);
    }
    setenv("PATH", callerPath.c_str(), 1);
}

}  // namespace
