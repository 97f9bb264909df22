// The patch library and its package maker: pinned hashes, the parser's bounds, mkmicrodefs,
// the hub commit's undo, and libpatchapp.so driven through its slots as the store drives it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/patch_interface.h"
#include "tests/support/cli_runner.h"
#include "tests/support/sandbox.h"
#include "tools/patchapp/hash.h"
#include "tools/patchapp/hub_commit.h"
#include "tools/patchapp/package_builder.h"
#include "tools/patchapp/package_format.h"

namespace {

using namespace patchapp;
using FileSet = std::map<std::string, std::string>;  // name -> contents
using Pkg = std::string;
using Root = const std::string&;  // the sandbox: patch/, src/, dest/, hubtemp/

void WriteSet(const std::string& dir, const FileSet& set)
{
    MakeDirs(dir);
    for (const auto& f : set) WriteTextFile(dir + "/" + f.first, f.second);
}

FileSet ReadSet(const std::string& dir)
{
    FileSet set;
    for (const std::string& name : ListDir(dir)) set[name] = ReadTextFile(dir + "/" + name);
    return set;
}

Pkg MakePackage(Root root, const FileSet& oldSet, const FileSet& newSet, uint32_t flags)
{
    std::string oldDir = root + "/mk/old", newDir = root + "/mk/new", why;
    WriteSet(oldDir, oldSet), WriteSet(newDir, newSet);
    std::vector<unsigned char> p;
    EXPECT_EQ(BuildPackage(oldDir.c_str(), newDir.c_str(), flags, p, nullptr, &why), PA_OK) << why;
    RemoveTree(root + "/mk");
    return Pkg(p.begin(), p.end());
}

// Recomputes the trailer after a deliberate change, so the damage reaches
// the checks behind it.
void Reseal(Pkg& p)
{
    uint64_t h = Hash64(p.data(), p.size() - 8);
    for (int i = 0; i < 8; ++i) p[p.size() - 8 + i] = static_cast<char>(h >> (8 * i));
}

std::string RandomBytes(size_t n)
{
    static std::mt19937_64 rng(2024);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

// Round trips cannot see a changed hash; packages made earlier would.
TEST(PatchHash, ValuesArePinnedBecausePackagesCarryThem)
{
    const std::pair<std::string, uint64_t> rows[] = {
        {"", 0xE4E078E3FFDC7CFFULL},
        {"catalog.dat", 0xDB0B7843C639F1F2ULL},
        {"The quick brown fox jumps over the lazy dog; the quick brown fox jumps over the lazy dog"
         " again.",
         0x0FCDC66DABD899B5ULL}};
    for (const auto& [text, hash] : rows) EXPECT_EQ(Hash64(text.data(), text.size()), hash) << text;
}

// Behind an intact trailer: fields out of bounds, and names other than plain
// names inside the directory.
TEST_F(SandboxTest, ParserRefusesFieldsOutOfBoundsAndNamesLeavingTheDirectory)
{
    const Pkg good =
        MakePackage(sandbox.Root(), {{"a.dat", "aaaa"}, {"b.dat", std::string(5000, 'b')}},
                    {{"a.dat", "aaaa"}, {"c.dat", "c"}}, 0);
    const size_t a = good.find("a.dat"), c = good.find("c.dat");
    // Entry: kind, flags, 2-byte name length, name, five 64-bit fields, payload.
    const std::tuple<const char*, size_t, char, size_t, PaResult> rows[] = {
        {"Intact", 0, good[0], 1, PA_OK},
        {"CountTooLarge", 19, 0x7F, 1, PA_E_BAD_PACKAGE},
        {"NameWithSlash", a + 1, '/', 1, PA_E_BAD_PACKAGE},
        {"DuplicateName", c, 'b', 1, PA_E_BAD_PACKAGE},
        {"PayloadBeyondEnd", c + 5 + 39, 0x40, 1, PA_E_BAD_PACKAGE},
        {"TrailingBytes", good.size() - 8, 0, 0, PA_E_BAD_PACKAGE}};
    for (const auto& [name, at, value, replaced, result] : rows) {
        Pkg p = good;
        Reseal(p.replace(at, replaced, 1, value));
        Package parsed;
        const auto* bytes = reinterpret_cast<const unsigned char*>(p.data());
        EXPECT_EQ(ParsePackage(bytes, p.size(), parsed), result) << name;
    }
    EXPECT_TRUE(IsValidSetFileName("...") && IsValidSetFileName(std::string(255, 'n')));
    for (const std::string& bad : {std::string(256, 'n'), std::string(), std::string("."),
                                   std::string(".."), std::string("a/b"), std::string("a\0b", 3)})
        EXPECT_FALSE(IsValidSetFileName(bad)) << bad;
}

TEST_F(SandboxTest, MkMicrodefsExitStatusAndMessageForEachKindOfCall)
{
    const std::string oldDir = sandbox.Path("old"), newDir = sandbox.Path("new");
    const std::string pkg = sandbox.Path("out.mdp"), none = sandbox.Path("none"), far = none + "/x";
    const std::string nested = sandbox.Path("nested"), sub = nested + "/sub", mk = "mkmicrodefs: ";
    WriteSet(oldDir, {{"virscan1.dat", std::string(9000, 'v')}, {"gone.dat", "g"}});
    WriteSet(newDir, {{"virscan1.dat", std::string(9000, 'v') + "+"}, {"new.dat", "n"}});
    MakeDirs(sub);
    const std::tuple<const char*, std::vector<std::string>, int, std::string> rows[] = {
        {"NoArguments", {}, 2, "usage: mkmicrodefs"},
        {"UnknownOption", {"--fast", oldDir, newDir, pkg}, 2, "usage: mkmicrodefs"},
        {"MissingOldSet", {none, newDir, pkg}, 1, mk + "cannot list " + none},
        {"SetWithSubdirectory", {oldDir, nested, pkg}, 1, mk + "not a regular file: " + sub},
        {"UnwritablePackageDir", {oldDir, newDir, far}, 1, mk + "cannot write " + far},
        {"Verified", {"--verify", oldDir, newDir, pkg}, 0, ""},
        {"VerifiedHub", {"--hub", "--verify", oldDir, newDir, pkg}, 0, ""}};
    const CliOptions options{"mkmicrodefs", QDU_MKMICRODEFS, {"TMPDIR=" + sandbox.Root()}};
    for (const auto& [name, args, status, errStart] : rows) {
        CliResult res = RunCli(args, options);
        EXPECT_EQ(res.status, status) << name;
        EXPECT_EQ(res.err.substr(0, errStart.size()), errStart) << name << ": " << res.err;
        std::string size = std::to_string(ReadTextFile(pkg).size());
        std::string out = pkg + ": 0 unchanged, 1 delta, 1 whole, 1 removed, " + size + " bytes\n";
        EXPECT_EQ(res.out, status == 0 ? out : "") << name;  // only success prints
    }
    for (const std::string& name : ListDir(sandbox.Root()))
        EXPECT_EQ(name.find("mkmicrodefs-"), std::string::npos) << name;
}

TEST_F(SandboxTest, HubCommitUndoesEarlierStepsWhenALaterOneFails)
{
    const std::string src = sandbox.Path("hub"), staging = sandbox.Path("staging");
    const FileSet old{{"a.dat", "old a"}, {"b.dat", "old b"}, {"gone.dat", "old gone"}};
    WriteSet(src, old);
    WriteSet(staging, {{StagedNewName(0), "new a"}, {StagedNewName(1), "new c"}});
    // Step 3 has no staged file: its rename fails after three steps changed the hub.
    const std::vector<CommitStep> steps{{"a.dat", 0, true, true},
                                        {"c.dat", 1, true, false},
                                        {"gone.dat", 2, false, true},
                                        {"b.dat", 3, true, true}};
    EXPECT_EQ(CommitToSource(src.c_str(), staging.c_str(), steps), PA_E_IO);
    EXPECT_TRUE(ReadSet(src) == old);
}

enum Entry { k30, kOlder };
void* const kLib = dlopen(QDU_PATCHAPP_LIBRARY, RTLD_LAZY);  // open while the tests run

// Also the notification object: records each percentage, cancels from cancelFrom on.
class PatchLibrary : public SandboxTest, public CPatchApplicationNotify {
protected:
    void SetUp() override { ASSERT_NE(kLib, nullptr) << dlerror(); }
    void OnProgress(uint32_t nProgress, uint32_t* pnCancel) override
    {
        EXPECT_EQ(*pnCancel, 0u);
        values.push_back(nProgress);
        *pnCancel = nProgress >= cancelFrom ? 1 : 0;
    }
    void Reset(const FileSet& set, uint32_t cancelAt = 101)
    {
        for (const std::string& d : {patch, src, dest, hubtemp}) RemoveTree(d), MakeDirs(d);
        WriteSet(src, set);
        values.clear();
        cancelFrom = cancelAt;
    }
    void PutPackage(const Pkg& p) { WriteTextFile(patch + "/update.mdp", p); }
    int Apply(Entry entry, bool notify, const std::string& to = "dest")
    {
        const std::string d = sandbox.Path(to);
        CPatchApplicationNotify* n = notify ? this : nullptr;
        if (entry == kOlder) {
            auto* obj = reinterpret_cast<PFN_CreatePatchApplicationInstance>(
                dlsym(kLib, "CreatePatchApplicationInstance"))();
            int rc = obj->ApplyPatch(patch.c_str(), src.c_str(), d.c_str(), n);
            return obj->Release(), rc;
        }
        auto* obj = reinterpret_cast<PFN_CreatePatchApplication30Instance>(
            dlsym(kLib, "CreatePatchApplication30Instance"))();
        int rc = obj->ApplyPatch(patch.c_str(), src.c_str(), d.c_str(), hubtemp.c_str(), n);
        return obj->Release(), rc;
    }

    const std::string patch = sandbox.Path("patch"), src = sandbox.Path("src");
    const std::string dest = sandbox.Path("dest"), hubtemp = sandbox.Path("hubtemp");
    std::vector<uint32_t> values;
    uint32_t cancelFrom = 101;
};

// Every kind of change: grown, shrunk, replaced, emptied and filled files, an
// unchanged one (linked, not copied), added and removed ones.
const std::string kV1 = RandomBytes(300000), kV2 = RandomBytes(70000), kSame = RandomBytes(20000);
const FileSet kOld{{"catalog.dat", "[Files]\n"},
                   {"grown", kV1},
                   {"shrunk", kV2},
                   {"replaced", RandomBytes(5000)},
                   {"emptied", "x"},
                   {"filled", ""},
                   {"same", kSame},
                   {"removed", "last"}};
const FileSet kNew{{"catalog.dat", "new"},
                   {"grown", kV1.substr(0, 1000) + RandomBytes(40000) + kV1.substr(1000)},
                   {"shrunk", kV2.substr(9, 30000) + kV2.substr(50000)},
                   {"replaced", RandomBytes(5000)},
                   {"emptied", ""},
                   {"filled", "filled"},
                   {"same", kSame},
                   {"added", "a file only the new set has"},
                   {"added empty", ""}};

// Damage to the package or the directories, another package name or destination, or a cancel
// (files are built on two threads, so the number of progress calls varies; both thresholds are
// always reached before the work is done).
struct Failure {
    const char* name;
    void (*damage)(Pkg& p, Root root);
    const char* packageName = "update.mdp";
    std::string dest = "dest";
    uint32_t cancelFrom = 101;
};
const Failure kFailures[] = {
    {"EmptyPackage", [](Pkg& p, Root) { p.clear(); }},
    {"LastByteMissing", [](Pkg& p, Root) { p.pop_back(); }},
    {"BitFlip", [](Pkg& p, Root) { p[p.size() / 2] ^= 0x10; }},
    {"ForgedResultContent", [](Pkg& p, Root) { p[p.find("new set")] ^= 1, Reseal(p); }},
    // The delta follows its name and five 64-bit fields.
    {"ForgedDeltaCopiesOutsideTheSource",
     [](Pkg& p, Root) { Reseal(p.replace(p.find("shrunk") + 6 + 40, 5, "\x08\xFE\xFF\xFF\x0F")); }},
    {"NoPackage", [](Pkg&, Root) {}, "update.bin"},
    {"TwoPackages", [](Pkg& p, Root r) { WriteTextFile(r + "/patch/a.mdp", p); }},
    {"SourceFileMissing", [](Pkg&, Root r) { unlink((r + "/src/grown").c_str()); }},
    // Unchanged files are linked, not copied: the check must still read them.
    {"UnchangedEdited", [](Pkg&, Root r) { WriteTextFile(r + "/src/same", kV1.substr(0, 20000)); }},
    {"UnchangedTruncated", [](Pkg&, Root r) { WriteTextFile(r + "/src/same", "c"); }},
    {"RemovedFileEdited", [](Pkg&, Root r) { WriteTextFile(r + "/src/removed", "LAST"); }},
    {"SourceHasExtraFile", [](Pkg&, Root r) { WriteTextFile(r + "/src/added", "x"); }},
    {"SourceFileIsSymlink",
     [](Pkg&, Root r) {
         ASSERT_EQ(rename((r + "/src/removed").c_str(), (r + "/removed").c_str()), 0);
         ASSERT_EQ(symlink((r + "/removed").c_str(), (r + "/src/removed").c_str()), 0);
     }},
    {"MissingDestination", [](Pkg&, Root) {}, "update.mdp", "missing"},
    {"DestinationIsSource", [](Pkg&, Root) {}, "update.mdp", "src"},
    {"OverlongDestination", [](Pkg&, Root) {}, "update.mdp", std::string(4000, 'd')},
    {"CancelAtStart", [](Pkg&, Root) {}, "update.mdp", "dest", 0},
    {"CancelHalfway", [](Pkg&, Root) {}, "update.mdp", "dest", 50}};

// Cancels go through the older interface, which stages a hub package inside
// SrcDir; that staging must go again too.
TEST_F(PatchLibrary, FailedOrCancelledApplyLeavesTheSourceAsItWasAndTheDestinationEmpty)
{
    for (const Failure& f : kFailures)
        for (uint32_t hub : {0u, kFlagUpdatesSource}) {
            SCOPED_TRACE(testing::Message() << f.name << " hub " << hub);
            Pkg package = MakePackage(sandbox.Root(), kOld, kNew, hub);
            Reset(kOld, f.cancelFrom);
            f.damage(package, sandbox.Root());
            WriteTextFile(patch + "/" + f.packageName, package);
            const FileSet was = ReadSet(src);
            const bool cancels = f.cancelFrom <= 100;
            EXPECT_EQ(Apply(cancels ? kOlder : k30, cancels, f.dest), 0);
            EXPECT_TRUE(ReadSet(src) == was && ListDir(dest).empty() && ListDir(hubtemp).empty());
            // Nothing is reported after the cancel.
            EXPECT_TRUE(!cancels || (!values.empty() && values.back() >= f.cancelFrom &&
                                     (values.size() == 1 || values.end()[-2] < f.cancelFrom)))
                << testing::PrintToString(values);
        }
}

// Progress runs from 0 to 100, where a cancel comes too late to undo the work. Unchanged
// files are hard links into the source. A later hub apply renames over the source names, so
// an earlier destination keeps what was verified; a later apply into the same destination
// replaces names there, so neither such a link nor a planted symbolic link is written through.
TEST_F(PatchLibrary, ChainedAppliesGiveEachNewSetAndNeverWriteThroughLinks)
{
    FileSet next = kNew, last = kNew;
    next["same"] = "rewritten by the next update";
    last["grown"] = last["shrunk"] = last["same"] = "the last update";
    const std::string dest2 = sandbox.Path("dest2"), outside = sandbox.Path("outside.dat");
    const Pkg first = MakePackage(sandbox.Root(), kOld, kNew, kFlagUpdatesSource);
    EXPECT_LE(first.size(), 47000u);  // what a working delta matcher stays within
    Reset(kOld, 100);
    PutPackage(first);
    ASSERT_EQ(Apply(k30, true), 1);
    EXPECT_TRUE(ReadSet(dest) == kNew && ReadSet(src) == kNew && ListDir(hubtemp).empty());
    EXPECT_TRUE(values.size() >= 2 && values.front() == 0 && values.back() == 100 &&
                is_sorted(values.begin(), values.end()))
        << testing::PrintToString(values);

    MakeDirs(dest2);
    PutPackage(MakePackage(sandbox.Root(), kNew, next, kFlagUpdatesSource));
    ASSERT_EQ(Apply(kOlder, false, "dest2"), 1);
    EXPECT_TRUE(ReadSet(dest) == kNew && ReadSet(src) == next && ReadSet(dest2) == next);

    WriteTextFile(outside, "not ours");
    ASSERT_EQ(unlink((dest2 + "/grown").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (dest2 + "/grown").c_str()), 0);
    PutPackage(MakePackage(sandbox.Root(), next, last, 0));
    ASSERT_EQ(Apply(k30, false, "dest2"), 1);
    EXPECT_TRUE(ReadSet(dest2) == last && ReadSet(src) == next && ListDir(hubtemp).empty());
    EXPECT_EQ(ReadTextFile(outside), "not ours");
}

}  // namespace
