// What a killed command leaves behind is cleared by the next mutating
// command, but only through a marker whose owner is gone: live work, extra
// directories nobody announced and planted markers stay untouched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
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
const char kMicroDefs[] = "tvlxdata-shareddefs-microdefs";

// Every file below root (hidden markers included) and its content; a
// directory maps to "<dir>", a link to "<link>".
void Snapshot(const std::string& root, const std::string& rel,
              std::map<std::string, std::string>* pTree)
{
    for (const std::string& name : ListDir(root + rel)) {
        const std::string path = rel + "/" + name;
        struct stat st;
        if (lstat((root + path).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            (*pTree)[path] = "<dir>";
            Snapshot(root, path, pTree);
        } else if (S_ISREG(st.st_mode)) {
            (*pTree)[path] = ReadTextFile(root + path);
        } else {
            (*pTree)[path] = "<special>";
        }
    }
}

std::map<std::string, std::string> Tree(const std::string& root)
{
    std::map<std::string, std::string> tree;
    Snapshot(root, "", &tree);
    return tree;
}

class SweepTest : public SandboxTest {
protected:
    const std::string defs = sandbox.DefsDir();

    void SetUp() override
    {
        WriteSet(sandbox.Path("src/A"), kA);
        WriteSet(sandbox.Path("src/B"), kB);
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

    // What a killed build leaves: part of a set, in a directory of its own.
    void PlantLeftovers() const
    {
        WriteSet(defs + "/tmp1f2e", kB);
        WriteSet(defs + "/" + Old, kOld);
        unlink((defs + "/" + Old + "/catalog.dat").c_str());
    }

    void PlantMarker(const std::string& leaf, const std::string& content) const
    {
        WriteTextFile(defs + "/" + leaf, content);
    }

    std::string Mark(const std::string& key) const
    {
        char value[16] = "";
        GetPrivateProfileString(kMicroDefs, key.c_str(), "", value, sizeof value,
                                sandbox.DefutilsConf().c_str());
        return value;
    }
};

TEST_F(SweepTest, DeadMarkersLetTheNextMutatingCommandSweep)
{
    const std::vector<std::vector<std::string>> commands = {
        {"-n", "app2"}, {"-i", "{A}"}, {"-i", "{B}"}, {"-u", "app1"}, {"-r"}};
    const std::string saved = sandbox.Path("saved");
    ASSERT_EQ(Run({"-i", Src("B")}), 0);  // so that -r has a set to go back to
    PlantLeftovers();
    PlantMarker(".qdu-intent-1-0-0", "dir tmp1f2e\n");
    PlantMarker(".qdu-intent-1-1-0", "dir " + Old + "\n");
    sandbox.SaveStore(saved);
    for (std::vector<std::string> command : commands) {
        SCOPED_TRACE(command[0]);
        sandbox.RestoreStore(saved);
        if (command.size() > 1 && command[1][0] == '{')
            command[1] = Src(command[1].substr(1, 1));
        EXPECT_EQ(Run(command), 0);
        EXPECT_FALSE(PathExists(defs + "/tmp1f2e"));
        EXPECT_FALSE(PathExists(defs + "/" + Old));
        EXPECT_FALSE(PathExists(defs + "/.qdu-intent-1-0-0"));
        EXPECT_FALSE(PathExists(defs + "/.qdu-intent-1-1-0"));
    }
}

TEST_F(SweepTest, QueriesDoNotSweep)
{
    PlantLeftovers();
    PlantMarker(".qdu-intent-1-0-0", "dir tmp1f2e\n");
    const auto before = Tree(defs);
    EXPECT_EQ(Run({"-g", "app1"}), 0);
    EXPECT_EQ(Tree(defs), before);
}

TEST_F(SweepTest, AMarkerItsOwnerStillLocksKeepsItsDirectory)
{
    PlantLeftovers();
    PlantMarker(".qdu-intent-7-0-0", "dir tmp1f2e\n");
    PlantMarker(".qdu-intent-7-1-0", "dir " + Old + "\n");
    // This test process is the live owner of the first marker; the dead
    // second one names the same set as a live one would, so both stay.
    PlantMarker(".qdu-intent-7-2-0", "dir " + Old + "\n");
    int fd1 = open((defs + "/.qdu-intent-7-0-0").c_str(), O_RDONLY);
    int fd2 = open((defs + "/.qdu-intent-7-2-0").c_str(), O_RDONLY);
    ASSERT_GE(fd1, 0);
    ASSERT_GE(fd2, 0);
    ASSERT_EQ(flock(fd1, LOCK_EX), 0);
    ASSERT_EQ(flock(fd2, LOCK_EX), 0);
    EXPECT_EQ(Run({"-n", "app2"}), 0);
    EXPECT_TRUE(IsCompleteSet(defs + "/tmp1f2e"));
    EXPECT_TRUE(PathExists(defs + "/" + Old + "/virscan1.dat"));
    EXPECT_TRUE(PathExists(defs + "/.qdu-intent-7-0-0"));
    EXPECT_TRUE(PathExists(defs + "/.qdu-intent-7-2-0"));
    close(fd1);
    close(fd2);
}

// (Except the removal of the whole store by the last -u, which takes every
// tmp directory with it.)
TEST_F(SweepTest, WithoutAMarkerAnExtraDirectoryStaysThroughEveryCommand)
{
    PlantLeftovers();
    const auto tmp = Tree(defs + "/tmp1f2e");
    const auto old = Tree(defs + "/" + Old);
    const std::vector<std::vector<std::string>> commands = {
        {"-n", "app2"}, {"-i", Src("A")}, {"-i", Src("B")}, {"-n", "app1"}, {"-r"}, {"-u", "app1"}};
    for (const auto& command : commands) {
        SCOPED_TRACE(command[0] + (command.size() > 1 ? " " + command[1] : ""));
        Run(command);
        EXPECT_EQ(Tree(defs + "/tmp1f2e"), tmp);
        EXPECT_EQ(Tree(defs + "/" + Old), old);
        for (const std::string& name : ListDir(defs))
            EXPECT_NE(name.compare(0, 12, ".qdu-intent-"), 0) << name << " left behind";
    }
}

TEST_F(SweepTest, PlantedMarkersChangeNothing)
{
    ASSERT_EQ(Run({"-i", Src("B")}), 0);
    PlantLeftovers();
    WriteTextFile(sandbox.Path("outside"), "dir tmp1f2e\n");
    mkdir(sandbox.Path("victim").c_str(), 0755);
    WriteTextFile(sandbox.Path("victim/keep.dat"), "keep");
    ASSERT_EQ(symlink(sandbox.Path("victim").c_str(), (defs + "/20230505.005").c_str()), 0);
    const struct {
        const char* what;
        std::string content;
    } planted[] = {
        {"CurDefs", "dir " + B + "\n"},
        {"LastDefs, used by app1", "dir " + A + "\n"},
        {"a parent", "dir ..\n"},
        {"a path", "dir ../victim\n"},
        {"a hub", "dir binhub\n"},
        {"a link to a set", "dir 20230505.005\n"},
        {"a set as a hub", "hub 20230101.001\n"},
        {"garbage", std::string("dir tmp1f2e\0x", 13)},
    };
    const std::string saved = sandbox.Path("saved");
    sandbox.SaveStore(saved);
    for (const auto& marker : planted) {
        SCOPED_TRACE(marker.what);
        sandbox.RestoreStore(saved);
        PlantMarker(".qdu-intent-9-0-0", marker.content);
        auto before = Tree(defs);
        before.erase("/.qdu-intent-9-0-0");
        EXPECT_EQ(Run({"-n", "app2"}), 0);
        auto after = Tree(defs);
        after.erase("/.qdu-intent-9-0-0");
        // app2's registration is the command's own change.
        after.erase("/usage.dat");
        before.erase("/usage.dat");
        EXPECT_EQ(after, before);
        EXPECT_EQ(ReadTextFile(sandbox.Path("victim/keep.dat")), "keep");
    }

    // Not regular files: a link to a marker-like file and a FIFO are not
    // markers at all and are left as they are, without hanging.
    sandbox.RestoreStore(saved);
    ASSERT_EQ(symlink(sandbox.Path("outside").c_str(), (defs + "/.qdu-intent-9-1-0").c_str()), 0);
    ASSERT_EQ(mkfifo((defs + "/.qdu-intent-9-2-0").c_str(), 0644), 0);
    EXPECT_EQ(Run({"-n", "app2"}), 0);
    EXPECT_TRUE(IsCompleteSet(defs + "/tmp1f2e"));
    EXPECT_TRUE(PathExists(defs + "/.qdu-intent-9-1-0"));
    EXPECT_TRUE(PathExists(defs + "/.qdu-intent-9-2-0"));
}

TEST_F(SweepTest, AnInstallOfTheCurrentSetRedoesAHubCopyCutShort)
{
    // What a kill in the middle of the hub copy leaves: marks cleared, part
    // of the hub old or missing.
    for (bool bMarker : {true, false}) {
        SCOPED_TRACE(bMarker ? "with a dead hub marker" : "without one");
        WritePrivateProfileString(kMicroDefs, "LastBinUpdate", "0", sandbox.DefutilsConf().c_str());
        WritePrivateProfileString(kMicroDefs, "LastTextUpdate", "0",
                                  sandbox.DefutilsConf().c_str());
        WriteTextFile(defs + "/binhub/binlinux.dat", "stale");
        unlink((defs + "/texthub/texthub.dat").c_str());
        if (bMarker)
            PlantMarker(".qdu-intent-3-0-0", "hub " + A + "\n");
        const auto before = Tree(defs);

        EXPECT_EQ(Run({"-n", "app2"}), 0);  // an ordinary command keeps the marker
        EXPECT_EQ(PathExists(defs + "/.qdu-intent-3-0-0"), bMarker);
        EXPECT_EQ(Run({"-i", Src("A")}), 0);

        if (bMarker) {
            EXPECT_EQ(ReadTextFile(defs + "/binhub/binlinux.dat"), "binlinux.dat of " + A + "\n");
            EXPECT_EQ(ReadTextFile(defs + "/texthub/texthub.dat"), "texthub.dat of " + A + "\n");
            EXPECT_EQ(Mark("LastBinUpdate"), "1");
            EXPECT_EQ(Mark("LastTextUpdate"), "1");
            EXPECT_FALSE(PathExists(defs + "/.qdu-intent-3-0-0"));
        } else {
            auto after = Tree(defs);
            after.erase("/usage.dat");
            auto expected = before;
            expected.erase("/usage.dat");
            EXPECT_EQ(after, expected);
            EXPECT_EQ(Mark("LastBinUpdate"), "0");
        }
        ASSERT_EQ(Run({"-u", "app2"}), 0);
    }
}

TEST_F(SweepTest, ADeadHubMarkerOfAnOlderSetIsDroppedOnceANewerSetIsInstalled)
{
    PlantMarker(".qdu-intent-3-0-0", "hub " + A + "\n");
    ASSERT_EQ(Run({"-i", Src("B")}), 0);
    EXPECT_FALSE(PathExists(defs + "/.qdu-intent-3-0-0"));
    EXPECT_EQ(ReadTextFile(defs + "/binhub/binlinux.dat"), "binlinux.dat of " + B + "\n");
    EXPECT_EQ(Mark("LastBinUpdate"), "1");
}

}  // namespace
