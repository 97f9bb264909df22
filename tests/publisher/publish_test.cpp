// Publishing end to end, through the library and qordefpublish: the mirror
// must verify, and every package must turn what a store holds of an earlier
// set into the newest set when the reference patch code applies it.
#include <gtest/gtest.h>

#include "publisher/crypto.h"
#include "tests/publisher/mirror_fixture.h"
#include "tests/support/cli_runner.h"
#include "tools/patchapp/apply.h"

namespace pubtest {
namespace {

using namespace publisher;

// A set directory as the store holds it for a package of `kind`.
Files StoreView(const std::string& dir, const std::string& kind)
{
    Files out;
    for (const auto& [name, data] : ReadDirFiles(dir)) {
        std::string lower = Lower(name);
        if (kind == "texthub" ? lower.rfind("text", 0) == 0
                              : kind != "direct" || lower != "junk.tmp")
            out[lower] = data;
    }
    return out;
}

std::string DirDigest(const std::string& dir)
{
    std::vector<FileRecord> files;
    for (const auto& [name, data] : ReadDirFiles(dir))
        files.push_back({name, data.size(), Sha256Hex(data)});
    return SetDigest(files);
}

class PublishTest : public MirrorTest {
public:
    // Files edited, added, removed, upper case, cleaned up, in a text hub.
    void PublishThreeSets()
    {
        Init();
        for (int i = 1; i <= 3; ++i) {
            SetFiles set{1, 2 + i, uint32_t(i), DataFiles(6 - i / 3, 20000, i)};
            set.files["TEXT1.DAT"] = "text hub of set " + std::to_string(i) + "\n";
            set.files["junk.tmp"] = "scratch " + std::to_string(i);
            if (i >= 2)
                set.files["added.dat"] = std::string(3000, static_cast<char>('a' + i));
            set.catalogExtra = "[Cleanup Files]\n*.tmp\n";
            WriteSetDir(sandbox.Path("s" + std::to_string(i)), set);
            Add(sandbox.Path("s" + std::to_string(i)), kT0 + 60 * i);
        }
    }
};

CliResult Tool(const std::vector<std::string>& args)
{
    CliOptions options;
    options.argv0 = "qordefpublish";
    options.binary = args.size() && args[0] == "-c" ? "/bin/sh" : QDU_PUBLISH_TOOL;
    return RunCli(args, options);
}

TEST_F(PublishTest, PackagesTurnWhatTheStoreHoldsIntoTheNewestSet)
{
    PublishThreeSets();
    EXPECT_EQ(Tool({"verify", "--mirror", mirror, "--now", FormatTime(kT0 + 300)}).status, 0);
    json targets = Signed(TargetsPath(4))["targets"];
    const std::string set = "example-defs/_default/set/";
    Files published, newest = StoreView(sandbox.Path("s3"), "binhub");
    int packages = 0;
    for (auto it = targets.begin(); it != targets.end(); ++it) {
        SCOPED_TRACE(it.key());
        std::string data =
            ReadTextFile(MirrorFile(TargetFilePath(it.key(), it.value()["hashes"]["sha256"])));
        if (it.key().rfind(set, 0) == 0)
            published[it.key().substr(set.size())] = data;
        if (it.key().find("/packages/") == std::string::npos)
            continue;
        const json& custom = it.value()["custom"];
        std::string kind = custom["kind"];
        Files expected = StoreView(sandbox.Path("s3"), kind == "texthub" ? kind : "binhub");
        std::string from = custom["from"]["set"] == "20260103.001" ? "s1" : "s2";
        std::string work = sandbox.Path("apply-" + std::to_string(++packages)), src = work + "/src",
                    dest = work + "/dest", hubTemp = work + "/hubtemp", patch = work + "/patch";
        for (const std::string& dir : {src, dest, hubTemp, patch}) ::MakeDirs(dir);
        for (const auto& [name, bytes] : StoreView(sandbox.Path(from), kind))
            WriteTextFile(src + "/" + name, bytes);
        WriteTextFile(patch + "/update.mdp", data);
        EXPECT_EQ(DirDigest(src), custom["from"]["digest"]);
        ASSERT_EQ(patchapp::ApplyPackageDirectory(
                      {patch.c_str(), src.c_str(), dest.c_str(), hubTemp.c_str(), {}}),
                  patchapp::PA_OK);
        EXPECT_EQ(ReadDirFiles(dest), expected);
        EXPECT_EQ(DirDigest(dest), custom["to"]["digest"]);
        if (kind != "direct") {
            EXPECT_EQ(ReadDirFiles(src), expected) << "a hub package brings the hub along";
        }
    }
    EXPECT_EQ(published, newest);
    EXPECT_EQ(packages, 6) << "direct, binhub and texthub from each of two earlier sets";
    EXPECT_EQ(targets["example-defs/_default/set.json"]["custom"]["set"], "20260105.003");
    EXPECT_EQ(targets["example-defs/_default/set.json"]["custom"]["sequence"], 260105003);

    // What verify prints about a damaged file, and about an expired root.
    std::string file = MirrorFile(
        TargetFilePath(set + "defs001.dat", targets[set + "defs001.dat"]["hashes"]["sha256"]));
    WriteTextFile(file, ReadTextFile(file) + "!");
    CliResult r = Tool({"verify", "--mirror", mirror, "--now", "2026-01-05T13:00:00Z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, set + "defs001.dat: length 20001, recorded 20000\n");
    r = Tool({"verify", "--mirror", mirror, "--now", "2030-01-01T00:00:00Z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "expired: the newest root expired at " +
                         Signed(RootPath(1))["expires"].get<std::string>() + "\n");
}

// A refused set leaves the mirror exactly as it was.
TEST_F(PublishTest, RefusedSetsLeaveTheMirrorAlone)
{
    const Files files = DataFiles(2, 1000, 2);
    const SetFiles newer{3, 2, 0, files};
    auto keep = [](const std::string&) {};
    struct Row {
        const char* name;
        SetFiles set;
        void (*spoil)(const std::string& dir);
        const char* product = "Example Defs";
    } rows[] = {
        {"SameSetAgain", SetFiles{3, 1, 5, files}, keep},
        {"OlderSet", SetFiles{2, 28, 999, files}, keep},
        {"ProductNameClash", newer, keep, "EXAMPLE-defs"},
        {"UnusableProductName", newer, keep, " Example"},
        {"HubFileMissing", SetFiles{3, 2, 0, files, "[Text Hub Files]\nghost.dat\n"}, keep},
        {"NamesCollideInLowerCase", newer,
         [](auto& d) { WriteTextFile(d + "/DEFS000.DAT", "other"); }},
        {"NameWithABlank", newer, [](auto& d) { WriteTextFile(d + "/a b.dat", ""); }},
        {"Subdirectory", newer, [](auto& d) { ::MakeDirs(d + "/sub"); }},
        {"NoCatalog", newer, [](auto& d) { unlink((d + "/catalog.dat").c_str()); }},
        {"MissingDirectory", newer, [](auto& d) { ::RemoveTree(d); }},
    };
    Init();
    WriteSetDir(sandbox.Path("good"), SetFiles{3, 1, 5, files});
    Add(sandbox.Path("good"), kT0);
    std::string before = ReadTextFile(MirrorFile(kTimestampPath));
    for (const Row& row : rows) {
        std::string dir = sandbox.Path(row.name);
        WriteSetDir(dir, row.set);
        row.spoil(dir);
        Status st = Add(dir, kT0 + 1, row.product, true);
        EXPECT_EQ(st.code, Exit::kRefused) << row.name << ": " << st.message;
        EXPECT_EQ(ReadTextFile(MirrorFile(kTimestampPath)), before) << row.name;
    }
}

// refresh re-signs only what is due: the timestamp always, snapshot and
// targets once less than half of their lifetime (7 and 90 days) is left.
// prune removes only what no metadata named for a timestamp lifetime.
TEST_F(PublishTest, RefreshAndPruneOverTime)
{
    PublishThreeSets();
    const char kFile[] = "example-defs/_default/set/defs000.dat";
    std::string oldFile = MirrorFile(
        TargetFilePath(kFile, Signed(TargetsPath(2))["targets"][kFile]["hashes"]["sha256"]));
    struct Row {
        int64_t after;
        bool snapshot, targets, pruned;
    } rows[] = {{3600, false, false, false},
                {86400 + 200, false, false, true},
                {4 * 86400, true, false, true},
                {50 * 86400, true, true, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.after);
        json ts = Signed(kTimestampPath);
        for (bool prune : {false, true}) {
            Publisher pub;
            ASSERT_TRUE(Publisher::Open(repo, kT0 + row.after, &pub).ok());
            ASSERT_TRUE((prune ? pub.Prune(false) : pub.Refresh()).ok());
        }
        json now = Signed(kTimestampPath);
        EXPECT_EQ(now["version"], ts["version"].get<uint64_t>() + 1);
        EXPECT_EQ(now["expires"], FormatTime(kT0 + row.after + 86400));
        EXPECT_EQ(now["meta"]["snapshot.json"] != ts["meta"]["snapshot.json"], row.snapshot);
        EXPECT_EQ(::PathExists(MirrorFile(TargetsPath(5))), row.targets);
        EXPECT_EQ(::PathExists(oldFile), !row.pruned);
        EXPECT_EQ(::PathExists(MirrorFile(TargetsPath(2))), !row.pruned);
        EXPECT_EQ(Tool({"verify", "--mirror", mirror, "--now", FormatTime(kT0 + row.after)}).status,
                  0);
    }
}

// qordefpublish as an operator runs it: exit statuses and messages.
TEST_F(PublishTest, OperatorSession)
{
    for (int i = 1; i <= 5; ++i)
        WriteSetDir(sandbox.Path("s" + std::to_string(i)),
                    {4, i, 0, DataFiles(3, 3000, i), "", i <= 3});
    auto add = [this](const char* set, const char* product = "Example Defs",
                      const char* type = "") {
        return std::vector<std::string>{"add",   "--repo",         repo, "--product",
                                        product, "--content-type", type, sandbox.Path(set)};
    };
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string output;  // expected in standard output, or error when failing
    } steps[] = {
        // The repository remembers where its mirror is, from any directory.
        {{"-c", "cd " + sandbox.Root() +
                    " && " QDU_PUBLISH_TOOL
                    " init --repo repo --mirror mirror --root-keys 2 --root-threshold 2"},
         0,
         "clients trust mirror/metadata/1.root.json"},
        {{"init", "--repo", repo, "--mirror", mirror}, 4, "already a repository"},
        {add("s1"), 0, "published example-defs/_default 20260401.000"},
        {add("s2"), 0, "package direct 20260401.000 -> 20260402.000"},
        {add("s3"), 0, "package binhub 20260401.000 -> 20260403.000"},
        {add("s2"), 3, "not newer than the published 20260403.000"},
        {{"refresh", "--repo", repo}, 0, "timestamp version"},
        {{"verify", "--mirror", mirror, "--root", mirror + "/metadata/1.root.json"},
         0,
         "1 product/content pairs, 10 targets checked"},
        // Each product and content type has sets of its own.
        {add("s4", "Other Product (2)"), 0, "published other-product-2/_default 20260404.000"},
        {add("s5", "Other Product (2)"), 0, "no binhub packages"},
        {add("s1", "Example Defs", "Extra.Type"), 0,
         "published example-defs/extra.type 20260401.000"},
        {{"verify", "--mirror", mirror}, 0, "3 product/content pairs"},
        {{"rotate-root", "--repo", repo}, 0, "published root version 2"},
        {{"prune", "--repo", repo, "--dry-run"}, 0, ""},
        {{"verify", "--mirror", mirror}, 0, "mirror is sound: root version 2"},
        {{"refresh", "--repo", sandbox.Path("nothing")}, 4, "not a publisher repository"},
        {{"add", "--repo", repo, sandbox.Path("s1")}, 2, "--product is required"},
        {{"add", "--repo", repo, "--product", "X"}, 2, "exactly one set directory"},
        {{"refresh", "--repo", repo, "--bogus"}, 2, "unknown option"},
        {{"frobnicate"}, 2, "unknown command"},
        {{}, 2, "no command given"},
        {{"init", "--repo", "r", "--mirror", "m", "--timestamp-expiry", "5x"}, 2, "bad value"},
        {{"refresh", "--repo", repo, "--now", "yesterday"}, 2, "--now needs"},
        {{"--help"}, 0, "usage: qordefpublish COMMAND"},
    };
    for (const Step& step : steps) {
        CliResult r = Tool(step.args);
        EXPECT_EQ(r.status, step.status) << r.out << r.err;
        EXPECT_NE((r.status ? r.err : r.out).find(step.output), std::string::npos)
            << "wanted: " << step.output << "\n"
            << r.out << r.err;
    }
}

}  // namespace
}  // namespace pubtest
