// Publishing end to end: sets published one after another must verify, and
// every package must turn exactly what a store holds of an earlier set into
// the newest published set when the reference patch code applies it.
#include <gtest/gtest.h>

#include <functional>

#include "publisher/crypto.h"
#include "publisher/defset.h"
#include "publisher/fs_util.h"
#include "publisher/verify_mirror.h"
#include "tests/publisher/mirror_fixture.h"
#include "tools/patchapp/apply.h"

namespace pubtest {
namespace {

using namespace publisher;

const char kPair[] = "example-defs/_default/";

// The files of a set directory as the store keeps them: lower-case names,
// optionally only some of them.
std::map<std::string, std::string> StoreView(const std::string& dir,
                                             const std::function<bool(const std::string&)>& keep)
{
    std::map<std::string, std::string> out;
    for (const auto& [name, data] : ReadDirFiles(dir)) {
        if (keep(Lower(name)))
            out[Lower(name)] = data;
    }
    return out;
}

void WriteFiles(const std::string& dir, const std::map<std::string, std::string>& files)
{
    ::MakeDirs(dir);
    for (const auto& [name, data] : files) WriteTextFile(dir + "/" + name, data);
}

bool IsText(const std::string& name)
{
    return name.compare(0, 4, "text") == 0;
}

class PublishTest : public MirrorTest {
public:
    // Three sets: files edited, one added, one removed, an upper-case name,
    // a cleanup pattern that drops a file after install, a text hub.
    void WriteThreeSets()
    {
        for (int i = 1; i <= 3; ++i) {
            SetFiles set{2026, 1, 2 + i, static_cast<uint32_t>(i),
                         DataFiles(6 - i / 3, 20000, i, 3)};
            set.files["TEXT1.DAT"] = "text hub of set " + std::to_string(i) + "\n";
            set.files["junk.tmp"] = "scratch " + std::to_string(i);
            if (i >= 2)
                set.files["added.dat"] = std::string(3000, static_cast<char>('a' + i));
            set.catalogExtra = "[Cleanup Files]\n*.tmp\n";
            WriteSetDir(sandbox.Path("s" + std::to_string(i)), set);
        }
    }
    std::vector<std::string> Verify(int64_t now) const
    {
        std::string summary;
        return VerifyMirror(mirror, RootBytes(1), now, ProgressFn(), &summary);
    }
    json Targets() const
    {
        json ts = Envelope(kTimestampPath)["signed"];
        json snap = Envelope(SnapshotPath(ts["meta"]["snapshot.json"]["version"]))["signed"];
        return Envelope(TargetsPath(snap["meta"]["targets.json"]["version"]))["signed"]["targets"];
    }
};

TEST_F(PublishTest, PackagesTurnWhatTheStoreHoldsIntoTheNewestSet)
{
    Init();
    WriteThreeSets();
    for (int i = 1; i <= 3; ++i) Add(sandbox.Path("s" + std::to_string(i)), kT0 + 60 * i);
    EXPECT_EQ(Verify(kT0 + 300), std::vector<std::string>{});

    DirectoryFetcher fetcher(mirror);
    TrustClient client(&fetcher, kT0 + 300);
    ASSERT_TRUE(client.SetTrustedRoot(RootBytes(1)).ok());
    ASSERT_TRUE(client.Update().ok());
    const json& targets = client.Targets()["targets"];
    std::map<std::string, std::string> published;
    for (auto it = targets.begin(); it != targets.end(); ++it) {
        std::string prefix = std::string(kPair) + "set/", data;
        if (it.key().compare(0, prefix.size(), prefix) != 0)
            continue;
        ASSERT_TRUE(client.FetchTarget(it.key(), &data).ok()) << it.key();
        published[it.key().substr(prefix.size())] = data;
    }
    auto all = [](const std::string&) { return true; };
    ASSERT_EQ(published, StoreView(sandbox.Path("s3"), all));
    json record = targets[std::string(kPair) + "set.json"]["custom"];
    EXPECT_EQ(record["set"], "20260105.003");
    EXPECT_EQ(record["sequence"], 260105003);

    int packages = 0;
    for (auto it = targets.begin(); it != targets.end(); ++it) {
        if (it.key().find("/packages/") == std::string::npos)
            continue;
        SCOPED_TRACE(it.key());
        ++packages;
        const json& custom = it.value()["custom"];
        std::string kind = custom["kind"], from = custom["from"]["set"], data;
        int fromIndex = from == "20260103.001" ? 1 : 2;
        std::string setDir = sandbox.Path("s" + std::to_string(fromIndex));
        // What the store holds for the package's kind.
        std::function<bool(const std::string&)> keep =
            kind == "direct"    ? [](const std::string& n) { return n != "junk.tmp"; }
            : kind == "texthub" ? std::function<bool(const std::string&)>(IsText)
                                : all;
        std::map<std::string, std::string> expected =
            kind == "texthub" ? StoreView(sandbox.Path("s3"), IsText) : published;
        std::string work = sandbox.Path("apply-" + std::to_string(packages));
        WriteFiles(work + "/src", StoreView(setDir, keep));
        ::MakeDirs(work + "/dest");
        ::MakeDirs(work + "/hubtemp");
        ASSERT_TRUE(client.FetchTarget(it.key(), &data).ok());
        WriteFiles(work + "/patch", {{"update.mdp", data}});
        EXPECT_EQ(DirDigest(work + "/src"), custom["from"]["digest"]);

        patchapp::ApplyRequest request;
        std::string patch = work + "/patch", src = work + "/src", dest = work + "/dest",
                    hubTemp = work + "/hubtemp";
        request.patchDir = patch.c_str();
        request.srcDir = src.c_str();
        request.destDir = dest.c_str();
        request.hubTempDir = hubTemp.c_str();
        ASSERT_EQ(patchapp::ApplyPackageDirectory(request), patchapp::PA_OK);
        EXPECT_EQ(ReadDirFiles(dest), expected);
        EXPECT_EQ(DirDigest(dest), custom["to"]["digest"]);
        if (kind != "direct") {
            EXPECT_EQ(ReadDirFiles(src), expected) << "a hub package brings the hub along";
        }
    }
    EXPECT_EQ(packages, 6) << "direct, binhub and texthub from each of two earlier sets";
}

TEST_F(PublishTest, HubThatIsNotTheWholeSetGetsNoHubPackages)
{
    Init();
    for (int i = 1; i <= 2; ++i) {
        SetFiles set{2026, 2, i, 0, DataFiles(3, 5000, i, 2)};
        set.hubIsWholeSet = false;
        WriteSetDir(sandbox.Path("s" + std::to_string(i)), set);
        Add(sandbox.Path("s" + std::to_string(i)), kT0 + i);
    }
    std::vector<std::string> kinds;
    json targets = Targets();
    for (auto it = targets.begin(); it != targets.end(); ++it) {
        if (it.value().contains("custom") && it.value()["custom"].contains("kind"))
            kinds.push_back(it.value()["custom"]["kind"]);
    }
    EXPECT_EQ(kinds, std::vector<std::string>{"direct"});
    EXPECT_EQ(Verify(kT0 + 10), std::vector<std::string>{});
}

TEST_F(PublishTest, ProductsAndContentTypesLiveSideBySide)
{
    Init();
    WriteSetDir(sandbox.Path("a1"), SetFiles{2026, 1, 1, 1, DataFiles(2, 1000, 1, 1)});
    WriteSetDir(sandbox.Path("a2"), SetFiles{2026, 1, 2, 1, DataFiles(2, 1000, 2, 1)});
    Add(sandbox.Path("a1"), kT0, "Example Defs");
    Add(sandbox.Path("a1"), kT0 + 1, "Other Product (2)", "");
    Add(sandbox.Path("a1"), kT0 + 2, "Example Defs", "Extra.Type");
    Add(sandbox.Path("a2"), kT0 + 3, "Example Defs");
    json targets = Targets();
    EXPECT_EQ(targets["example-defs/_default/set.json"]["custom"]["set"], "20260102.001");
    EXPECT_EQ(targets["example-defs/extra.type/set.json"]["custom"]["set"], "20260101.001");
    EXPECT_EQ(targets["example-defs/extra.type/set.json"]["custom"]["content_type"], "extra.type");
    EXPECT_EQ(targets["other-product-2/_default/set.json"]["custom"]["product"],
              "Other Product (2)");
    EXPECT_EQ(Verify(kT0 + 10), std::vector<std::string>{});
}

struct Refusal {
    const char* name;
    SetFiles set;
    void (*spoil)(const std::string& dir);
    const char* product = "Example Defs";
};

class RefusalTest : public PublishTest, public ::testing::WithParamInterface<Refusal> {};

// The refused set leaves the mirror exactly as it was.
TEST_P(RefusalTest, MirrorUnchanged)
{
    Init();
    WriteSetDir(sandbox.Path("good"), SetFiles{2026, 3, 1, 5, DataFiles(2, 1000, 1, 1)});
    Add(sandbox.Path("good"), kT0);
    std::string before = ReadTextFile(MirrorFile(kTimestampPath));
    WriteSetDir(sandbox.Path("bad"), GetParam().set);
    GetParam().spoil(sandbox.Path("bad"));
    Status st = TryAdd(sandbox.Path("bad"), kT0 + 1, GetParam().product);
    EXPECT_EQ(st.code, Exit::kRefused) << st.message;
    EXPECT_EQ(ReadTextFile(MirrorFile(kTimestampPath)), before);
}

SetFiles Set(int month, int day, uint32_t revision, const std::string& catalogExtra = "")
{
    SetFiles set{2026, month, day, revision, DataFiles(2, 1000, 2, 1)};
    set.catalogExtra = catalogExtra;
    return set;
}
const SetFiles kNewer = Set(3, 2, 0);
void Keep(const std::string&) {}

INSTANTIATE_TEST_SUITE_P(
    Add, RefusalTest,
    ::testing::Values(
        Refusal{"SameSetAgain", Set(3, 1, 5), Keep}, Refusal{"OlderSet", Set(2, 28, 999), Keep},
        Refusal{"ProductNameClash", kNewer, Keep, "EXAMPLE-defs"},
        Refusal{"UnusableProductName", kNewer, Keep, " Example"},
        Refusal{"HubFileMissing", Set(3, 2, 0, "[Text Hub Files]\nghost.dat\n"), Keep},
        Refusal{"NamesCollideInLowerCase", kNewer,
                [](const std::string& d) { WriteTextFile(d + "/DEFS000.DAT", "other"); }},
        Refusal{"NameWithABlank", kNewer,
                [](const std::string& d) { WriteTextFile(d + "/two words.dat", "x"); }},
        Refusal{"Subdirectory", kNewer, [](const std::string& d) { ::MakeDirs(d + "/sub"); }},
        Refusal{"NoCatalog", kNewer,
                [](const std::string& d) { unlink((d + "/catalog.dat").c_str()); }},
        Refusal{"MonthThirteen", Set(13, 1, 0), Keep},
        Refusal{"MissingDirectory", kNewer, [](const std::string& d) { ::RemoveTree(d); }}),
    [](const auto& info) { return std::string(info.param.name); });

// refresh re-signs only what is due: the timestamp always, snapshot and
// targets once less than half of their lifetime (7 and 90 days) is left.
TEST_F(PublishTest, RefreshResignsWhatIsDue)
{
    struct Row {
        int64_t after;
        bool snapshot, targets;
    } rows[] = {{3600, false, false}, {4 * 86400, true, false}, {50 * 86400, true, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.after);
        ::RemoveTree(repo);
        ::RemoveTree(mirror);
        Init();
        json ts = Envelope(kTimestampPath)["signed"];
        Publisher pub;
        ASSERT_TRUE(Publisher::Open(repo, kT0 + row.after, &pub).ok());
        ASSERT_TRUE(pub.Refresh().ok());
        json now = Envelope(kTimestampPath)["signed"];
        EXPECT_EQ(now["version"], ts["version"].get<uint64_t>() + 1);
        EXPECT_EQ(now["expires"], FormatTime(kT0 + row.after + 86400));
        EXPECT_EQ(now["meta"]["snapshot.json"]["version"] != ts["meta"]["snapshot.json"]["version"],
                  row.snapshot);
        EXPECT_EQ(::PathExists(MirrorFile(TargetsPath(2))), row.targets);
        EXPECT_EQ(Verify(kT0 + row.after + 60), std::vector<std::string>{});
    }
}

// prune keeps whatever metadata named within a timestamp lifetime, then
// removes what only older metadata named.
TEST_F(PublishTest, PruneWaitsOneTimestampLifetime)
{
    Init();
    WriteThreeSets();
    for (int i = 1; i <= 3; ++i) Add(sandbox.Path("s" + std::to_string(i)), kT0 + 60 * i);
    json oldEntry = json::parse(ReadTextFile(
        MirrorFile(TargetsPath(2))))["signed"]["targets"]["example-defs/_default/set/defs000.dat"];
    std::string oldFile = MirrorFile(
        TargetFilePath("example-defs/_default/set/defs000.dat", oldEntry["hashes"]["sha256"]));
    ASSERT_TRUE(::PathExists(oldFile));
    struct Row {
        int64_t at;
        bool oldGone;
    } rows[] = {{kT0 + 3600, false}, {kT0 + 200 + 86400, true}};
    for (const Row& row : rows) {
        Publisher pub;
        ASSERT_TRUE(Publisher::Open(repo, row.at, &pub).ok());
        ASSERT_TRUE(pub.Prune(false).ok());
        EXPECT_EQ(!::PathExists(oldFile), row.oldGone);
        EXPECT_EQ(::PathExists(MirrorFile(TargetsPath(2))), !row.oldGone);
        EXPECT_TRUE(::PathExists(MirrorFile(RootPath(1))));
    }
    // The timestamp has expired by now; verify an hour after the last add.
    EXPECT_EQ(Verify(kT0 + 3600), std::vector<std::string>{});
}

}  // namespace
}  // namespace pubtest
