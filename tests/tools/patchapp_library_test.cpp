// libpatchapp.so loaded with dlopen and driven through its virtual slots,
// the way the store manager drives it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "defutils/patch_interface.h"
#include "tests/tools/patchapp_sets.h"

namespace {

enum class Entry { k30, kOlder };
enum class Mode { kDirect, kHub };

std::string EntryName(Entry e) { return e == Entry::k30 ? "Interface30" : "OlderInterface"; }
std::string ModeName(Mode m) { return m == Mode::kDirect ? "Direct" : "Hub"; }

class RecordingNotify final : public CPatchApplicationNotify {
public:
    void OnProgress(uint32_t nProgress, uint32_t* pnCancel) override
    {
        values.push_back(nProgress);
        if (*pnCancel != 0)
            badCancelFlag = true;
        if (nProgress >= cancelFrom && !cancelled) {
            *pnCancel = 1;
            cancelled = true;
            cancelCall = values.size();
        }
    }
    std::vector<uint32_t> values;
    uint32_t cancelFrom = 101;  // cancel at the first value at least this
    bool cancelled = false;
    size_t cancelCall = 0;      // 1-based number of the cancelling call
    bool badCancelFlag = false;
};

struct DlCloser {
    void operator()(void* h) const { dlclose(h); }
};

class PatchLibrary : public SandboxTest {
protected:
    void SetUp() override
    {
        m_lib.reset(dlopen(QDU_PATCHAPP_LIBRARY, RTLD_LAZY));
        ASSERT_TRUE(m_lib) << dlerror();
        for (const char* d : {"patch", "src", "dest", "hubtemp"})
            MakeDirs(sandbox.Path(d));
    }

    std::string Dir(const char* name) const { return sandbox.Path(name); }

    void WritePackage(const std::vector<unsigned char>& p, const std::string& name = "update.mdp")
    {
        WriteTextFile(Dir("patch") + "/" + name, AsString(p));
    }

    // Creates one object through the chosen entry point, applies, releases.
    int Apply(Entry entry, CPatchApplicationNotify* notify, const char* src = nullptr,
              const char* dest = nullptr)
    {
        std::string patch = Dir("patch");
        std::string srcDir = src != nullptr ? src : Dir("src");
        std::string destDir = dest != nullptr ? dest : Dir("dest");
        std::string hubTemp = Dir("hubtemp");
        if (entry == Entry::k30) {
            auto create = reinterpret_cast<PFN_CreatePatchApplication30Instance>(
                dlsym(m_lib.get(), "CreatePatchApplication30Instance"));
            EXPECT_NE(create, nullptr);
            IPatchApplication30* obj = create();
            int rc = obj->ApplyPatch(patch.c_str(), srcDir.c_str(), destDir.c_str(), hubTemp.c_str(), notify);
            obj->Release();
            return rc;
        }
        auto create = reinterpret_cast<PFN_CreatePatchApplicationInstance>(
            dlsym(m_lib.get(), "CreatePatchApplicationInstance"));
        EXPECT_NE(create, nullptr);
        IPatchApplication* obj = create();
        int rc = obj->ApplyPatch(patch.c_str(), srcDir.c_str(), destDir.c_str(), notify);
        obj->Release();
        return rc;
    }

    static uint32_t Flags(Mode m) { return m == Mode::kHub ? patchapp::kFlagUpdatesSource : 0; }

    std::unique_ptr<void, DlCloser> m_lib;
};

void ExpectWellFormedProgress(const std::vector<uint32_t>& v)
{
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.front(), 0u);
    EXPECT_EQ(v.back(), 100u);
    for (size_t i = 1; i < v.size(); ++i)
        EXPECT_LE(v[i - 1], v[i]) << "call " << i;
}

// ---- Round trips -----------------------------------------------------------

struct Scenario {
    const char* name;
    FileSet oldSet;
    FileSet newSet;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

std::vector<Scenario> Scenarios()
{
    std::mt19937_64 rng(2024);
    std::string v1 = RandomBytes(rng, 300000);
    std::string v2 = RandomBytes(rng, 70000);
    std::string cat = "[Files]\nvirscan1.dat=1\n";
    std::vector<Scenario> s;
    s.push_back({"Growth", {{"virscan1.dat", v1}, {"catalog.dat", cat}},
                 {{"virscan1.dat", v1.substr(0, 1000) + RandomBytes(rng, 40000) + v1.substr(1000) + "end"},
                  {"catalog.dat", cat + "x\n"}}});
    s.push_back({"Shrinkage", {{"virscan1.dat", v1}, {"virscan2.dat", v2}},
                 {{"virscan1.dat", v1.substr(0, 100000) + v1.substr(250000)}, {"virscan2.dat", v2.substr(9)}}});
    s.push_back({"AddedAndRemoved", {{"virscan1.dat", v1}, {"old.dat", v2}},
                 {{"virscan1.dat", Edit(rng, v1, 5)}, {"new.dat", RandomBytes(rng, 12345)}}});
    s.push_back({"Unchanged", {{"virscan1.dat", v1}, {"catalog.dat", cat}},
                 {{"virscan1.dat", v1}, {"catalog.dat", cat}}});
    s.push_back({"EmptyFiles", {{"empty1.dat", ""}, {"empty2.dat", ""}, {"full.dat", v2}},
                 {{"empty1.dat", ""}, {"empty2.dat", "now filled"}, {"full.dat", ""}, {"empty3.dat", ""}}});
    s.push_back({"CompleteChange", {{"virscan1.dat", v1}}, {{"virscan1.dat", RandomBytes(rng, 250000)}}});
    s.push_back({"EmptySetToFull", {}, {{"virscan1.dat", v2}, {"catalog.dat", cat}}});
    FileSet many;
    for (int i = 0; i < 30; ++i)
        many["file" + std::to_string(i) + ".dat"] = RandomBytes(rng, rng() % 20000);
    FileSet manyNew = many;
    for (auto& f : manyNew)
        if (rng() % 3 != 0)
            f.second = Edit(rng, f.second, 4);
    manyNew.erase("file3.dat");
    manyNew["CATALOG.DAT"] = cat;
    s.push_back({"ManyRandomFiles", many, manyNew});
    return s;
}

class RoundTrip : public PatchLibrary,
                  public ::testing::WithParamInterface<std::tuple<Scenario, Entry, Mode>> {};

TEST_P(RoundTrip, DestinationHoldsTheNewSetAndSourceFollowsOnlyForHubPackages)
{
    const Scenario& sc = std::get<0>(GetParam());
    Entry entry = std::get<1>(GetParam());
    Mode mode = std::get<2>(GetParam());
    WriteSet(Dir("src"), sc.oldSet);
    WritePackage(MakePackage(sandbox, sc.oldSet, sc.newSet, Flags(mode)));
    RecordingNotify notify;

    ASSERT_EQ(Apply(entry, &notify), 1);

    EXPECT_TRUE(ReadSet(Dir("dest")) == sc.newSet);
    EXPECT_TRUE(ReadSet(Dir("src")) == (mode == Mode::kHub ? sc.newSet : sc.oldSet));
    EXPECT_TRUE(ListDir(Dir("hubtemp")).empty());
    ExpectWellFormedProgress(notify.values);
    EXPECT_FALSE(notify.badCancelFlag);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, RoundTrip,
    ::testing::Combine(::testing::ValuesIn(Scenarios()), ::testing::Values(Entry::k30, Entry::kOlder),
                       ::testing::Values(Mode::kDirect, Mode::kHub)),
    [](const ::testing::TestParamInfo<RoundTrip::ParamType>& i) {
        return std::string(std::get<0>(i.param).name) + "_" + EntryName(std::get<1>(i.param)) + "_" +
               ModeName(std::get<2>(i.param));
    });

TEST_F(PatchLibrary, NullNotificationObjectIsAllowed)
{
    FileSet oldSet{{"a.dat", "old"}};
    FileSet newSet{{"a.dat", "new"}};
    WriteSet(Dir("src"), oldSet);
    WritePackage(MakePackage(sandbox, oldSet, newSet, 0));
    ASSERT_EQ(Apply(Entry::k30, nullptr), 1);
    EXPECT_TRUE(ReadSet(Dir("dest")) == newSet);
}

// ---- Failures leave the source as it was and the destination empty ---------

const FileSet kOld{{"catalog.dat", "[Files]\n"},
                   {"virscan1.dat", std::string(30000, 'a') + "one"},
                   {"virscan2.dat", std::string(30000, 'b') + "two"},
                   {"virscan3.dat", std::string(20000, 'c') + "same"},
                   {"zz.dat", "last"}};
const FileSet kNew{{"catalog.dat", "[Files]\nnew\n"},
                   {"virscan1.dat", std::string(29000, 'a') + "ONE"},
                   {"virscan2.dat", std::string(31000, 'b') + "TWO"},
                   {"virscan3.dat", std::string(20000, 'c') + "same"},
                   {"added.dat", "a file only the new set has"}};

struct Failure {
    const char* name;
    // Damages the package, the patch directory or the source set.
    std::function<void(PatchLibrary&, std::vector<unsigned char>&)> damage;
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class FailingApply : public PatchLibrary,
                     public ::testing::WithParamInterface<std::tuple<Failure, Mode>> {
public:
    // Lets the table reach the fixture's helpers.
    using PatchLibrary::Dir;
    using PatchLibrary::WritePackage;
    const Sandbox& Box() const { return sandbox; }
};

void FlipBit(std::vector<unsigned char>& p, size_t at) { p[at] ^= 0x10; }

std::vector<Failure> Failures()
{
    using F = FailingApply;
    auto pkg = [](void (*f)(std::vector<unsigned char>&)) {
        return [f](PatchLibrary& t, std::vector<unsigned char>& p) {
            f(p);
            static_cast<F&>(t).WritePackage(p);
        };
    };
    auto src = [](void (*f)(const std::string& dir)) {
        return [f](PatchLibrary& t, std::vector<unsigned char>& p) {
            f(static_cast<F&>(t).Dir("src"));
            static_cast<F&>(t).WritePackage(p);
        };
    };
    return {
        {"EmptyPackage", pkg([](std::vector<unsigned char>& p) { p.clear(); })},
        {"TruncatedInHeader", pkg([](std::vector<unsigned char>& p) { p.resize(10); })},
        {"TruncatedInTheMiddle", pkg([](std::vector<unsigned char>& p) { p.resize(p.size() / 2); })},
        {"LastByteMissing", pkg([](std::vector<unsigned char>& p) { p.pop_back(); })},
        {"BitFlipInHeader", pkg([](std::vector<unsigned char>& p) { FlipBit(p, 13); })},
        {"BitFlipInThePayload", pkg([](std::vector<unsigned char>& p) { FlipBit(p, p.size() / 2); })},
        {"BitFlipInTrailer", pkg([](std::vector<unsigned char>& p) { FlipBit(p, p.size() - 1); })},
        {"ForgedResultContent", pkg([](std::vector<unsigned char>& p) {
             size_t at = AsString(p).find("only the new set");
             p[at] ^= 1;
             Reseal(p);
         })},
        {"ForgedDeltaInstructions", pkg([](std::vector<unsigned char>& p) {
             // The delta of virscan2.dat starts after its name and five fields.
             size_t at = AsString(p).find("virscan2.dat") + 12 + 40;
             const unsigned char bad[] = {0x08, 0xFE, 0xFF, 0xFF, 0x0F};
             std::copy(bad, bad + sizeof bad, p.begin() + static_cast<long>(at));
             Reseal(p);
         })},
        {"SourceFileEdited", src([](const std::string& d) { WriteTextFile(d + "/virscan2.dat", std::string(30000, 'b') + "tw0"); })},
        {"SourceFileMissing", src([](const std::string& d) { unlink((d + "/virscan1.dat").c_str()); })},
        // Unchanged files are linked, not read for a copy: the check must
        // still catch them, and the link must go again.
        {"UnchangedFileEdited", src([](const std::string& d) { WriteTextFile(d + "/virscan3.dat", std::string(20000, 'c') + "SAME"); })},
        {"UnchangedFileTruncated", src([](const std::string& d) { WriteTextFile(d + "/virscan3.dat", std::string(20000, 'c')); })},
        {"RemovedFileEdited", src([](const std::string& d) { WriteTextFile(d + "/zz.dat", "LAST"); })},
        {"SourceHasExtraFile", src([](const std::string& d) { WriteTextFile(d + "/extra.dat", "x"); })},
        {"SourceAlreadyHasAddedFile", src([](const std::string& d) { WriteTextFile(d + "/added.dat", "x"); })},
        {"SourceFileIsSymlink", src([](const std::string& d) {
             std::string real = d + "/../real-virscan1.dat";
             WriteTextFile(real, ReadTextFile(d + "/virscan1.dat"));
             unlink((d + "/virscan1.dat").c_str());
             ASSERT_EQ(symlink(real.c_str(), (d + "/virscan1.dat").c_str()), 0);
         })},
        {"NoPackageInPatchDir", [](PatchLibrary& t, std::vector<unsigned char>& p) {
             static_cast<F&>(t).WritePackage(p, "update.bin");
         }},
        {"TwoPackagesInPatchDir", [](PatchLibrary& t, std::vector<unsigned char>& p) {
             static_cast<F&>(t).WritePackage(p, "a.mdp");
             static_cast<F&>(t).WritePackage(p, "b.mdp");
         }},
        {"PackageForAnotherSet", [](PatchLibrary& t, std::vector<unsigned char>&) {
             FileSet other = kOld;
             other["virscan1.dat"] += "!";
             static_cast<F&>(t).WritePackage(MakePackage(static_cast<F&>(t).Box(), other, kNew, 0));
         }},
    };
}

TEST_P(FailingApply, ReturnsFailureAndLeavesNothingBehind)
{
    const Failure& f = std::get<0>(GetParam());
    Mode mode = std::get<1>(GetParam());
    WriteSet(Dir("src"), kOld);
    std::vector<unsigned char> package = MakePackage(sandbox, kOld, kNew, Flags(mode));
    f.damage(*this, package);
    FileSet before = ReadSet(Dir("src"));

    EXPECT_EQ(Apply(Entry::k30, nullptr), 0);

    EXPECT_TRUE(ReadSet(Dir("src")) == before);
    EXPECT_EQ(ListDir(Dir("dest")), std::vector<std::string>());
    EXPECT_EQ(ListDir(Dir("hubtemp")), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(
    Damage, FailingApply,
    ::testing::Combine(::testing::ValuesIn(Failures()), ::testing::Values(Mode::kDirect, Mode::kHub)),
    [](const ::testing::TestParamInfo<FailingApply::ParamType>& i) {
        return std::string(std::get<0>(i.param).name) + "_" + ModeName(std::get<1>(i.param));
    });

// ---- Cancellation -----------------------------------------------------------

// Files are built on two threads, so how many calls come before the end
// varies; these thresholds are always crossed before the final 100.
struct CancelCase {
    const char* name;
    uint32_t cancelFrom;
    int expected;  // ApplyPatch's result
};

void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }

class CancelledApply : public PatchLibrary,
                       public ::testing::WithParamInterface<std::tuple<CancelCase, Mode, Entry>> {};

TEST_P(CancelledApply, StopsAtOnceAndLeavesNothingBehindUnlessTheWorkIsDone)
{
    const CancelCase& c = std::get<0>(GetParam());
    Mode mode = std::get<1>(GetParam());
    WriteSet(Dir("src"), kOld);
    WritePackage(MakePackage(sandbox, kOld, kNew, Flags(mode)));
    RecordingNotify notify;
    notify.cancelFrom = c.cancelFrom;

    ASSERT_EQ(Apply(std::get<2>(GetParam()), &notify), c.expected);

    ASSERT_TRUE(notify.cancelled);
    EXPECT_EQ(notify.values.size(), notify.cancelCall);
    if (c.expected == 0) {
        EXPECT_TRUE(ReadSet(Dir("src")) == kOld);
        EXPECT_EQ(ListDir(Dir("dest")), std::vector<std::string>());
    } else {
        // A cancel with the final 100 comes too late: the work stands.
        EXPECT_TRUE(ReadSet(Dir("src")) == (mode == Mode::kHub ? kNew : kOld));
        EXPECT_TRUE(ReadSet(Dir("dest")) == kNew);
    }
    EXPECT_EQ(ListDir(Dir("hubtemp")), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CancelledApply,
    ::testing::Combine(::testing::Values(CancelCase{"FirstCall", 0, 0}, CancelCase{"FirstAdvance", 1, 0},
                                         CancelCase{"HalfWay", 50, 0}, CancelCase{"AtHundred", 100, 1}),
                       ::testing::Values(Mode::kDirect, Mode::kHub),
                       ::testing::Values(Entry::k30, Entry::kOlder)),
    [](const ::testing::TestParamInfo<CancelledApply::ParamType>& i) {
        return std::string(std::get<0>(i.param).name) + "_" + ModeName(std::get<1>(i.param)) + "_" +
               EntryName(std::get<2>(i.param));
    });

// ---- Unchanged files are linked from the source --------------------------

ino_t Inode(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class LinkedApply : public PatchLibrary, public ::testing::WithParamInterface<Mode> {};

// A later hub apply replaces the shared file by rename; the destination of
// the earlier apply must keep the content it was verified with.
TEST_P(LinkedApply, SharedFilesKeepTheirContentWhenTheSourceMovesOn)
{
    Mode mode = GetParam();
    FileSet next = mode == Mode::kHub ? kNew : kOld;
    next["virscan3.dat"] = "rewritten by the next update";
    WriteSet(Dir("src"), kOld);
    WritePackage(MakePackage(sandbox, kOld, kNew, Flags(mode)));
    ASSERT_EQ(Apply(Entry::k30, nullptr), 1);
    EXPECT_EQ(Inode(Dir("dest") + "/virscan3.dat"), Inode(Dir("src") + "/virscan3.dat"));

    // The next update is a hub package: it replaces source files by rename.
    WritePackage(MakePackage(sandbox, ReadSet(Dir("src")), next, Flags(Mode::kHub)));
    MakeDirs(Dir("dest2"));
    ASSERT_EQ(Apply(Entry::k30, nullptr, nullptr, Dir("dest2").c_str()), 1);

    EXPECT_TRUE(ReadSet(Dir("dest")) == kNew);
    EXPECT_TRUE(ReadSet(Dir("dest2")) == next);
    EXPECT_TRUE(ReadSet(Dir("src")) == next);
}

INSTANTIATE_TEST_SUITE_P(Modes, LinkedApply, ::testing::Values(Mode::kDirect, Mode::kHub),
                         [](const ::testing::TestParamInfo<Mode>& i) { return ModeName(i.param); });

// Names already in the destination are replaced, never written through:
// a hard link from an earlier apply shares its file with the source, and a
// planted symbolic link points anywhere.
TEST_F(PatchLibrary, NamesAlreadyInTheDestinationAreReplacedNotWrittenThrough)
{
    const std::string outside = Dir("outside.dat");
    struct Row {
        const char* name;
        std::function<void()> prepare;
    } rows[] = {
        {"LinksIntoTheSourceFromAnEarlierApply", [&] {
             WritePackage(MakePackage(sandbox, kOld, kNew, 0));
             ASSERT_EQ(Apply(Entry::k30, nullptr), 1);
         }},
        {"SymbolicLinksToAnotherFile", [&] {
             for (const char* name : {"/virscan1.dat", "/virscan3.dat"})
                 ASSERT_EQ(symlink(outside.c_str(), (Dir("dest") + name).c_str()), 0);
         }},
    };
    FileSet other = kNew;
    other["virscan3.dat"] = "changed this time";
    for (const Row& r : rows) {
        RemoveTree(Dir("dest"));
        MakeDirs(Dir("dest"));
        WriteSet(Dir("src"), kOld);
        WriteTextFile(outside, "not ours");
        r.prepare();
        WritePackage(MakePackage(sandbox, kOld, other, 0));

        ASSERT_EQ(Apply(Entry::kOlder, nullptr), 1) << r.name;

        EXPECT_TRUE(ReadSet(Dir("src")) == kOld) << r.name;
        EXPECT_TRUE(ReadSet(Dir("dest")) == other) << r.name;
        EXPECT_EQ(ReadTextFile(outside), "not ours") << r.name;
    }
}

// ---- Arguments ---------------------------------------------------------------

TEST_F(PatchLibrary, UnusableDirectoriesFailWithoutTouchingTheSource)
{
    WriteSet(Dir("src"), kOld);
    WritePackage(MakePackage(sandbox, kOld, kNew, patchapp::kFlagUpdatesSource));
    std::string src = Dir("src");
    std::string missing = Dir("missing");
    std::string longDir = "/" + std::string(4000, 'd');
    struct Row {
        const char* name;
        const char* src;
        const char* dest;
    } rows[] = {
        {"EmptySource", "", nullptr},
        {"MissingSource", missing.c_str(), nullptr},
        {"MissingDestination", nullptr, missing.c_str()},
        {"DestinationIsSource", nullptr, src.c_str()},
        {"OverlongDestination", nullptr, longDir.c_str()},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(Apply(Entry::k30, nullptr, r.src, r.dest), 0) << r.name;
        EXPECT_TRUE(ReadSet(src) == kOld) << r.name;
    }
}

}  // namespace
