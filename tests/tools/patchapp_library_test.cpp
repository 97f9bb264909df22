// libpatchapp.so loaded with dlopen and driven through its virtual slots,
// the way the store manager drives it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/patch_interface.h"
#include "tests/tools/patchapp_sets.h"

namespace {

enum class Entry { k30, kOlder };
enum class Mode { kDirect, kHub };

uint32_t Flags(Mode m)
{
    return m == Mode::kHub ? patchapp::kFlagUpdatesSource : 0;
}

template <class Row>
std::string Name(const Row& r)
{
    return r.name;
}
std::string Name(Entry e)
{
    return e == Entry::k30 ? "Interface30" : "OlderInterface";
}
std::string Name(Mode m)
{
    return m == Mode::kDirect ? "Direct" : "Hub";
}
std::string Name(uint32_t percent)
{
    return "CancelAt" + std::to_string(percent);
}

// A parameterised test's name joins the names of its parameter's parts.
struct JoinNames {
    template <class... T>
    std::string operator()(const ::testing::TestParamInfo<std::tuple<T...>>& info) const
    {
        std::string s;
        std::apply([&](const auto&... part) { ((s += "_" + Name(part)), ...); }, info.param);
        return s.substr(1);
    }
};

// Records every percentage; asks to cancel at the first one >= cancelFrom.
class RecordingNotify final : public CPatchApplicationNotify {
public:
    void OnProgress(uint32_t nProgress, uint32_t* pnCancel) override
    {
        EXPECT_EQ(*pnCancel, 0u);
        values.push_back(nProgress);
        *pnCancel = nProgress >= cancelFrom ? 1 : 0;
    }
    std::vector<uint32_t> values;
    uint32_t cancelFrom = 101;
};

class PatchLibrary : public SandboxTest {
protected:
    void SetUp() override
    {
        m_lib = dlopen(QDU_PATCHAPP_LIBRARY, RTLD_LAZY);
        ASSERT_NE(m_lib, nullptr) << dlerror();
        for (const char* d : {"patch", "src", "dest", "hubtemp"}) MakeDirs(sandbox.Path(d));
    }
    void TearDown() override { dlclose(m_lib); }

    std::string Dir(const char* name) const { return sandbox.Path(name); }
    void WritePackage(const Pkg& p) { WriteTextFile(Dir("patch/update.mdp"), AsString(p)); }

    // Creates one object through the chosen entry point, applies, releases.
    int Apply(Entry entry, CPatchApplicationNotify* notify, const char* src = nullptr,
              const char* dest = nullptr)
    {
        std::string p = Dir("patch"), t = Dir("hubtemp");
        std::string s = src != nullptr ? src : Dir("src"), d = dest != nullptr ? dest : Dir("dest");
        void* create = dlsym(m_lib, entry == Entry::k30 ? "CreatePatchApplication30Instance"
                                                        : "CreatePatchApplicationInstance");
        if (create == nullptr)
            return -1;
        if (entry == Entry::kOlder) {
            IPatchApplication* obj = reinterpret_cast<PFN_CreatePatchApplicationInstance>(create)();
            int rc = obj->ApplyPatch(p.c_str(), s.c_str(), d.c_str(), notify);
            obj->Release();
            return rc;
        }
        IPatchApplication30* obj = reinterpret_cast<PFN_CreatePatchApplication30Instance>(create)();
        int rc = obj->ApplyPatch(p.c_str(), s.c_str(), d.c_str(), t.c_str(), notify);
        obj->Release();
        return rc;
    }

    void* m_lib = nullptr;
};

struct Scenario {
    const char* name;
    FileSet oldSet, newSet;
    size_t maxPackage;  // what a working delta matcher stays within
};
void PrintTo(const Scenario& s, std::ostream* os)
{
    *os << s.name;
}

std::vector<Scenario> Scenarios()
{
    std::mt19937_64 rng(2024);
    std::string v1 = RandomBytes(rng, 300000), v2 = RandomBytes(rng, 70000);
    std::string cat = "[Files]\nvirscan1.dat=1\n";
    // Many files keep both threads busy; an upper-case catalog must still go last.
    FileSet many, manyNew{{"CATALOG.DAT", cat}};
    for (int i = 0; i < 30; ++i) {
        std::string name = "file" + std::to_string(i) + ".dat";
        many[name] = RandomBytes(rng, rng() % 20000);
        if (i != 3)
            manyNew[name] = i % 3 != 0 ? many[name] + RandomBytes(rng, 20) : many[name];
    }
    std::string grown = v1.substr(0, 1000) + RandomBytes(rng, 40000) + v1.substr(1000) + "end";
    std::string shrunk = v1.substr(0, 100000) + v1.substr(250000);
    return {
        {"GrowthAddedAndRemoved",
         {{"virscan1.dat", v1}, {"catalog.dat", cat}, {"old.dat", v2}},
         {{"virscan1.dat", grown}, {"catalog.dat", cat + "x\n"}, {"new.dat", "added"}},
         41500},
        {"Shrinkage",
         {{"virscan1.dat", v1}, {"virscan2.dat", v2}},
         {{"virscan1.dat", shrunk}, {"virscan2.dat", v2.substr(9)}},
         400},
        {"Unchanged",
         {{"virscan1.dat", v1}, {"catalog.dat", cat}},
         {{"virscan1.dat", v1}, {"catalog.dat", cat}},
         200},
        {"EmptyFiles",
         {{"empty1.dat", ""}, {"empty2.dat", ""}, {"full.dat", v2}},
         {{"empty1.dat", ""}, {"empty2.dat", "filled"}, {"full.dat", ""}, {"empty3.dat", ""}},
         400},
        {"CompleteChange",
         {{"virscan1.dat", v1}},
         {{"virscan1.dat", RandomBytes(rng, 250000)}},
         250100},
        {"ManyFiles", many, manyNew, 5000},
    };
}

class RoundTrip : public PatchLibrary,
                  public ::testing::WithParamInterface<std::tuple<Scenario, Entry, Mode>> {};

TEST_P(RoundTrip, DestinationGetsTheNewSetAndOnlyAHubPackageMovesTheSource)
{
    const Scenario& sc = std::get<0>(GetParam());
    Mode mode = std::get<2>(GetParam());
    WriteSet(Dir("src"), sc.oldSet);
    Pkg package = MakePackage(sandbox, sc.oldSet, sc.newSet, Flags(mode));
    EXPECT_LE(package.size(), sc.maxPackage);
    WritePackage(package);
    RecordingNotify notify;
    notify.cancelFrom = 100;  // comes after the work, too late to undo it

    ASSERT_EQ(Apply(std::get<1>(GetParam()), &notify), 1);

    EXPECT_TRUE(ReadSet(Dir("dest")) == sc.newSet);
    EXPECT_TRUE(ReadSet(Dir("src")) == (mode == Mode::kHub ? sc.newSet : sc.oldSet));
    EXPECT_TRUE(ListDir(Dir("hubtemp")).empty());
    const std::vector<uint32_t>& v = notify.values;
    EXPECT_TRUE(v.size() >= 2 && v.front() == 0 && v.back() == 100 && is_sorted(v.begin(), v.end()))
        << ::testing::PrintToString(v);
}

INSTANTIATE_TEST_SUITE_P(Sets, RoundTrip,
                         ::testing::Combine(::testing::ValuesIn(Scenarios()),
                                            ::testing::Values(Entry::k30, Entry::kOlder),
                                            ::testing::Values(Mode::kDirect, Mode::kHub)),
                         JoinNames());

const std::string kSame = std::string(20000, 'c') + "same";
const FileSet kOld{{"catalog.dat", "[Files]\n"},
                   {"virscan1.dat", std::string(30000, 'a') + "one"},
                   {"virscan2.dat", std::string(30000, 'b') + "two"},
                   {"virscan3.dat", kSame},
                   {"zz.dat", "last"}};
const FileSet kNew{{"virscan1.dat", std::string(29000, 'a') + "ONE"},
                   {"catalog.dat", "new"},
                   {"virscan2.dat", std::string(31000, 'b') + "TWO"},
                   {"virscan3.dat", kSame},
                   {"added.dat", "a file only the new set has"}};

using Root = const std::string&;  // holds patch/ and src/
void Put(Root r, const char* name, const std::string& s)
{
    WriteTextFile(r + "/src/" + name, s);
}

// Damages the package before it is written, or the directories; names the
// package file and the destination (below the sandbox).
struct Failure {
    const char* name;
    void (*damage)(Pkg& p, Root root);
    const char* packageName = "update.mdp";
    std::string dest = "dest";
};
void PrintTo(const Failure& f, std::ostream* os)
{
    *os << f.name;
}

const Failure kFailures[] = {
    {"EmptyPackage", [](Pkg& p, Root) { p.clear(); }},
    {"LastByteMissing", [](Pkg& p, Root) { p.pop_back(); }},
    {"BitFlip", [](Pkg& p, Root) { p[p.size() / 2] ^= 0x10; }},
    {"ForgedResultContent",
     [](Pkg& p, Root) {
         p[AsString(p).find("new set")] ^= 1;
         Reseal(p);
     }},
    {"ForgedDeltaCopiesOutsideTheSource",
     [](Pkg& p, Root) {
         // virscan2.dat's delta follows its name and five 64-bit fields.
         const unsigned char bad[] = {0x08, 0xFE, 0xFF, 0xFF, 0x0F};
         std::copy(bad, bad + 5, p.begin() + AsString(p).find("virscan2.dat") + 12 + 40);
         Reseal(p);
     }},
    {"NoPackage", [](Pkg&, Root) {}, "update.bin"},
    {"TwoPackages", [](Pkg& p, Root r) { WriteTextFile(r + "/patch/a.mdp", AsString(p)); }},
    {"SourceFileEdited", [](Pkg&, Root r) { Put(r, "virscan2.dat", std::string(30003, 'b')); }},
    {"SourceFileMissing", [](Pkg&, Root r) { unlink((r + "/src/virscan1.dat").c_str()); }},
    // Unchanged files are linked, not copied: the check must still read them.
    {"UnchangedFileEdited", [](Pkg&, Root r) { Put(r, "virscan3.dat", std::string(20004, 'c')); }},
    {"UnchangedFileTruncated", [](Pkg&, Root r) { Put(r, "virscan3.dat", "c"); }},
    {"RemovedFileEdited", [](Pkg&, Root r) { Put(r, "zz.dat", "LAST"); }},
    {"SourceHasExtraFile", [](Pkg&, Root r) { Put(r, "added.dat", "x"); }},
    {"SourceFileIsSymlink",
     [](Pkg&, Root r) {
         ASSERT_EQ(rename((r + "/src/zz.dat").c_str(), (r + "/zz.dat").c_str()), 0);
         ASSERT_EQ(symlink((r + "/zz.dat").c_str(), (r + "/src/zz.dat").c_str()), 0);
     }},
    {"MissingDestination", [](Pkg&, Root) {}, "update.mdp", "missing"},
    {"DestinationIsSource", [](Pkg&, Root) {}, "update.mdp", "src"},
    {"OverlongDestination", [](Pkg&, Root) {}, "update.mdp", std::string(4000, 'd')},
};

class FailingApply : public PatchLibrary,
                     public ::testing::WithParamInterface<std::tuple<Failure, Mode>> {};

TEST_P(FailingApply, FailsLeavingTheSourceAsItWasAndTheDestinationEmpty)
{
    const Failure& f = std::get<0>(GetParam());
    WriteSet(Dir("src"), kOld);
    Pkg package = MakePackage(sandbox, kOld, kNew, Flags(std::get<1>(GetParam())));
    f.damage(package, sandbox.Root());
    WriteTextFile(Dir("patch") + "/" + f.packageName, AsString(package));
    FileSet before = ReadSet(Dir("src"));

    EXPECT_EQ(Apply(Entry::k30, nullptr, nullptr, Dir(f.dest.c_str()).c_str()), 0);

    EXPECT_TRUE(ReadSet(Dir("src")) == before);
    EXPECT_EQ(ListDir(Dir("dest")), std::vector<std::string>());
    EXPECT_EQ(ListDir(Dir("hubtemp")), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Damage, FailingApply,
                         ::testing::Combine(::testing::ValuesIn(kFailures),
                                            ::testing::Values(Mode::kDirect, Mode::kHub)),
                         JoinNames());

// Files are built on two threads, so the number of calls varies; both
// thresholds are always reached before the work is done. The older interface
// stages a hub package inside SrcDir, which must go again too.
class CancelledApply : public PatchLibrary,
                       public ::testing::WithParamInterface<std::tuple<uint32_t, Mode>> {};

TEST_P(CancelledApply, StopsAtOnceAndUndoesEverything)
{
    RecordingNotify notify;
    notify.cancelFrom = std::get<0>(GetParam());
    WriteSet(Dir("src"), kOld);
    WritePackage(MakePackage(sandbox, kOld, kNew, Flags(std::get<1>(GetParam()))));

    ASSERT_EQ(Apply(Entry::kOlder, &notify), 0);

    // Nothing is reported after the cancel.
    ASSERT_FALSE(notify.values.empty());
    EXPECT_TRUE(notify.values.back() >= notify.cancelFrom &&
                (notify.values.size() == 1 || notify.values.end()[-2] < notify.cancelFrom));
    EXPECT_TRUE(ReadSet(Dir("src")) == kOld);
    EXPECT_EQ(ListDir(Dir("dest")), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Calls, CancelledApply,
                         ::testing::Combine(::testing::Values(0u, 50u),
                                            ::testing::Values(Mode::kDirect, Mode::kHub)),
                         JoinNames());

// Unchanged files are hard links into the source. A later hub apply renames
// over the source names, so an earlier destination keeps what was verified;
// a later apply into the same destination replaces names there, so neither
// such a link nor a planted symbolic link is written through.
TEST_F(PatchLibrary, LinkedAndPlantedFilesAreNeverWrittenThrough)
{
    FileSet next = kNew, last = kNew;
    next["virscan3.dat"] = "rewritten by the next update";
    last["virscan1.dat"] = last["virscan2.dat"] = last["virscan3.dat"] = "the last update";
    WriteSet(Dir("src"), kOld);
    WritePackage(MakePackage(sandbox, kOld, kNew, Flags(Mode::kHub)));
    ASSERT_EQ(Apply(Entry::k30, nullptr), 1);
    struct stat linked, source;
    ASSERT_EQ(stat(Dir("dest/virscan3.dat").c_str(), &linked), 0);
    ASSERT_EQ(stat(Dir("src/virscan3.dat").c_str(), &source), 0);
    EXPECT_EQ(linked.st_ino, source.st_ino);

    const std::string dest2 = Dir("dest2"), outside = Dir("outside.dat");
    MakeDirs(dest2);
    WritePackage(MakePackage(sandbox, kNew, next, Flags(Mode::kHub)));
    ASSERT_EQ(Apply(Entry::kOlder, nullptr, nullptr, dest2.c_str()), 1);
    EXPECT_TRUE(ReadSet(Dir("dest")) == kNew);
    EXPECT_TRUE(ReadSet(Dir("src")) == next);

    WriteTextFile(outside, "not ours");
    ASSERT_EQ(unlink((dest2 + "/virscan1.dat").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (dest2 + "/virscan1.dat").c_str()), 0);
    WritePackage(MakePackage(sandbox, next, last, 0));
    ASSERT_EQ(Apply(Entry::k30, nullptr, nullptr, dest2.c_str()), 1);
    EXPECT_TRUE(ReadSet(dest2) == last);
    EXPECT_TRUE(ReadSet(Dir("src")) == next);
    EXPECT_EQ(ReadTextFile(outside), "not ours");
}

}  // namespace
