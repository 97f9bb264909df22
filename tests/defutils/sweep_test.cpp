// What a killed command leaves behind is cleared by the next mutating
// command, but only through a marker whose owner is gone: live work, extra
// directories nobody announced and planted markers stay untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

const SetDate kA = {2024, 2, 1, 2}, kB = {2024, 3, 1, 3}, kOld = {2023, 1, 1, 1};
const std::string A = kA.DirName(), B = kB.DirName(), Old = kOld.DirName();
typedef std::map<std::string, std::string> Tree;

// Every entry below root (hidden markers included) and its content; "<dir>"
// for a directory, "<other>" for anything neither a directory nor a file.
Tree Snapshot(const std::string& root, const std::string& rel = "")
{
    Tree tree;
    for (const std::string& name : ListDir(root + rel)) {
        const std::string path = rel + "/" + name;
        struct stat st = {};
        lstat((root + path).c_str(), &st);
        tree[path] = S_ISDIR(st.st_mode)   ? "<dir>"
                     : S_ISREG(st.st_mode) ? ReadTextFile(root + path)
                                           : "<other>";
        if (S_ISDIR(st.st_mode))
            tree.merge(Snapshot(root, path));
    }
    return tree;
}

class SweepTest : public SandboxTest {
protected:
    void SetUp() override
    {
        WriteSet(Src("A"), kA);
        WriteSet(Src("B"), kB);
        ASSERT_EQ(Run({"-i", Src("A")}), 0);
        ASSERT_EQ(Run({"-n", "app1"}), 0);
    }
    std::string Src(const std::string& set) const { return sandbox.Path("src/" + set); }
    int Run(const std::vector<std::string>& args) const
    {
        CliOptions options;
        options.timeLimitSeconds = 30;
        CliResult r = RunCli(args, options);
        EXPECT_FALSE(r.timedOut) << args[0];
        return r.status;
    }
    // What a killed build leaves (part of a set, in a directory of its own) and markers naming it.
    void PlantLeftovers(const std::vector<std::pair<std::string, std::string>>& markers) const
    {
        WriteSet(defs + "/tmp1f2e", kB);
        WriteSet(defs + "/" + Old, kOld);
        unlink((defs + "/" + Old + "/catalog.dat").c_str());
        for (const auto& [leaf, content] : markers) WriteTextFile(defs + "/" + leaf, content);
    }
    // The store without a command's own change (a registration) and without the given marker.
    Tree Store(const std::string& marker) const
    {
        Tree tree = Snapshot(defs);
        tree.erase("/usage.dat");
        tree.erase("/" + marker);
        return tree;
    }

    const std::string defs = sandbox.DefsDir();
};

// A directory nobody announced (tmp9e9e) stays through every command, except
// the last -u, which takes the whole store with it.
TEST_F(SweepTest, DeadMarkersLetTheNextMutatingCommandSweepAndQueriesDoNot)
{
    const std::vector<std::vector<std::string>> commands = {
        {"-n", "app2"}, {"-i", Src("A")}, {"-i", Src("B")}, {"-u", "app1"}, {"-r"}, {"-g", "app1"}};
    const std::string saved = sandbox.Path("saved");
    ASSERT_EQ(Run({"-i", Src("B")}), 0);  // so that -r has a set to go back to
    PlantLeftovers(
        {{".qdu-intent-1-0-0", "dir tmp1f2e\n"}, {".qdu-intent-1-1-0", "dir " + Old + "\n"}});
    WriteSet(defs + "/tmp9e9e", kB);
    sandbox.SaveStore(saved);
    const Tree before = Snapshot(defs), unannounced = Snapshot(defs + "/tmp9e9e");
    for (const auto& command : commands) {
        SCOPED_TRACE(command[0] + " " + command[1 % command.size()]);
        sandbox.RestoreStore(saved);
        EXPECT_EQ(Run(command), 0);
        if (command[0] == "-g") {
            EXPECT_EQ(Snapshot(defs), before);
            continue;
        }
        for (const std::string& name : ListDir(defs)) {
            EXPECT_TRUE(name != "tmp1f2e" && name != Old) << name;
            EXPECT_NE(name.compare(0, 12, ".qdu-intent-"), 0) << name << " left behind";
        }
        EXPECT_EQ(command[0] == "-u" ? Tree() : unannounced, Snapshot(defs + "/tmp9e9e"));
    }
}

TEST_F(SweepTest, PlantedMarkersChangeNothing)
{
    ASSERT_EQ(Run({"-i", Src("B")}), 0);
    PlantLeftovers({});
    WriteTextFile(sandbox.Path("outside"), "dir tmp1f2e\n");
    MakeDirs(sandbox.Path("victim"));
    WriteTextFile(sandbox.Path("victim/keep.dat"), "keep");
    ASSERT_EQ(symlink(sandbox.Path("victim").c_str(), (defs + "/20230505.005").c_str()), 0);
    // CurDefs; LastDefs, used by app1; a parent; a path; a hub; a link to a set; a set as a hub.
    const std::string planted[] = {"dir " + B + "\n",    "dir " + A + "\n",
                                   "dir ..\n",           "dir ../victim\n",
                                   "dir binhub\n",       "dir 20230505.005\n",
                                   "hub 20230101.001\n", std::string("dir tmp1f2e\0x", 13)};
    const std::string saved = sandbox.Path("saved"), marker = ".qdu-intent-9-0-0";
    sandbox.SaveStore(saved);
    for (const std::string& content : planted) {
        SCOPED_TRACE(content);
        sandbox.RestoreStore(saved);
        WriteTextFile(defs + "/" + marker, content);
        const Tree before = Store(marker);
        EXPECT_EQ(Run({"-n", "app2"}), 0);
        EXPECT_EQ(Store(marker), before);
        EXPECT_EQ(ReadTextFile(sandbox.Path("victim/keep.dat")), "keep");
    }
    // A link to a marker-like file and a FIFO are not markers; neither hangs the sweep.
    sandbox.RestoreStore(saved);
    ASSERT_EQ(symlink(sandbox.Path("outside").c_str(), (defs + "/.qdu-intent-9-1-0").c_str()), 0);
    ASSERT_EQ(mkfifo((defs + "/.qdu-intent-9-2-0").c_str(), 0644), 0);
    EXPECT_EQ(Run({"-n", "app2"}), 0);
    EXPECT_TRUE(IsCompleteSet(defs + "/tmp1f2e"));
    EXPECT_TRUE(PathExists(defs + "/.qdu-intent-9-1-0"));
    EXPECT_TRUE(PathExists(defs + "/.qdu-intent-9-2-0"));
}

// A kill in the middle of the hub copy leaves the marks cleared and part of
// the hub old or missing. The dead hub marker outlives ordinary commands; the
// next install redoes the copy, for the marker's set or a newer one.
TEST_F(SweepTest, ADeadHubMarkerMakesTheNextInstallRedoTheHubCopy)
{
    const std::string conf = "[tvlxdata-shareddefs-microdefs]\nLastTextUpdate=",
                      marker = ".qdu-intent-3-0-0";
    for (const char* set : {"A", "B"}) {
        SCOPED_TRACE(set);
        sandbox.WriteDefutilsConf(conf + "0\nLastBinUpdate=0\n");
        WriteTextFile(defs + "/binhub/binlinux.dat", "stale");
        unlink((defs + "/texthub/texthub.dat").c_str());
        WriteTextFile(defs + "/" + marker, "hub " + A + "\n");
        EXPECT_EQ(Run({"-n", "app2"}), 0);
        EXPECT_TRUE(PathExists(defs + "/" + marker));
        EXPECT_EQ(Run({"-i", Src(set)}), 0);
        const std::string name = *set == 'A' ? A : B;
        EXPECT_EQ(ReadTextFile(defs + "/binhub/binlinux.dat"), "binlinux.dat of " + name + "\n");
        EXPECT_EQ(ReadTextFile(defs + "/texthub/texthub.dat"), "texthub.dat of " + name + "\n");
        EXPECT_EQ(ReadTextFile(sandbox.DefutilsConf()), conf + "1\nLastBinUpdate=1\n");
        EXPECT_FALSE(PathExists(defs + "/" + marker));
    }
}

}  // namespace
