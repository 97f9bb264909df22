// Stores with links, hard links, FIFOs and crafted bookkeeping values planted
// by a member of the store's group, then the ordinary commands run as root.
// Whatever is planted: nothing outside the store changes, appears, vanishes
// or is copied into it, no command hangs, no location outside a store is
// reported, and where the bookkeeping itself is intact the other
// applications keep their registrations.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/hardening/hostile_store.h"
#include "tests/support/def_sets.h"

namespace {

struct Step {
    Strings args;
    int status;
    Strings env = {};
};

enum NewestCheck {
    kNewestUnchecked,
    kNewestComplete,  // whatever CurDefs names is a complete set
    kNewestIsNew,     // CurDefs names kNew, complete
};

class PlantedStoreTest;
typedef PlantedStoreTest& P;

struct PlantedRow {
    const char* name;
    void (*plant)(P);
    std::vector<Step> steps;
    bool othersSurvive = true;  // false where the bookkeeping itself was planted
    NewestCheck newest = kNewestUnchecked;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const PlantedRow& row, std::ostream* os)
{
    *os << row.name;
}

class PlantedStoreTest : public HostileStoreTest, public ::testing::WithParamInterface<PlantedRow> {
public:
    std::string Source(const std::string& rel) const { return sandbox.Path("src/" + rel); }
};

const std::string kCurName = kCur.DirName(), kNewName = kNew.DirName();
const Step kNewest = {{"-n", "app2"}, 0};
const Step kInstall = {{"-i", "{src}"}, kAnyStatus};
const Step kGetOther = {{"-g", "other"}, 0};
// The last two applications leave, so the whole store is removed.
const std::vector<Step> kRemoveAll = {{{"-u", "victim"}, kAnyStatus},
                                      {{"-u", "other"}, kAnyStatus}};
const std::vector<Step> kRegisterAndLeave = {
    {{"-n", "app2"}, kAnyStatus}, {{"-g", "app2"}, kAnyStatus}, {{"-u", "app2"}, kAnyStatus}};
// A hub package the library cannot apply; the hub is still tidied afterwards.
const Step kMicroDefsWithHubPackage = {
    {"-m", "Prod"}, kAnyStatus, {"FAKE_JAVA_HUB_FROM={R}/scratch/hubpkg"}};

const PlantedRow kRows[] = {
    // Well-formed stores keep working, so the suite cannot pass by refusing all.
    {"WellFormedStore",
     [](P p) { (void)p; },
     {kGetOther, kNewest, {{"-i", "{src}"}, 0}, {{"-u", "victim"}, 0}, {{"-r"}, 0}},
     true,
     kNewestComplete},
    {"WellFormedIncomingSet", [](P p) { p.PlantIncoming(); }, {kNewest}, true, kNewestIsNew},
    // The base directory and the install source are the administrator's
    // choice and may be links; so may the source's files.
    {"WellFormedThroughAdministratorsLinks",
     [](P p) {
         p.UseBaseDirThroughLink();
         MakeDirs(p.Source("elsewhere"));
         rename(p.Source("new/defs1.dat").c_str(), p.Source("elsewhere/defs1.dat").c_str());
         p.PlantSymlink(p.Source("elsewhere/defs1.dat"), p.Source("new/defs1.dat"));
         p.PlantSymlink(p.Source("new"), p.Scratch("srclink"));
     },
     {kGetOther, {{"-i", "{R}/scratch/srclink"}, 0}, kNewest},
     true,
     kNewestIsNew},

    // Links to files.
    {"IncomingFileLinksToSecret",
     [](P p) {
         p.PlantIncoming();
         p.Link("etc/shadow", "incoming/stolen.dat");
     },
     {kNewest},
     true,
     kNewestComplete},
    {"IncomingListedFileLinksToSecret",
     [](P p) {
         p.PlantIncoming();
         p.Link("etc/shadow", "incoming/defs1.dat");
     },
     {kNewest}},
    {"NewestSetFileLinksToSecretSeedsIncoming",
     [](P p) {
         p.PlantIncoming();
         p.Link("etc/shadow", kCurName + "/extra.dat");
     },
     {kNewest}},
    {"NewestSetFileLinksToSecretSeedsInstall",
     [](P p) { p.Link("etc/shadow", kCurName + "/extra.dat"); },
     {kInstall}},
    {"UsageLinksOutside",
     [](P p) { p.Link("store/usage.dat", "usage.dat"); },
     {{{"-n", "app2"}, kAnyStatus}, {{"-u", "someone"}, kAnyStatus}},
     false},
    {"DefInfoLinksOutside",
     [](P p) { p.Link("store/definfo.dat", "definfo.dat"); },
     {kInstall, {{"-r"}, kAnyStatus}}},
    {"DebugLogLinksToSecret",
     [](P p) {
         p.EnableDebugLog();
         p.Link("etc/shadow", "debug.log");
     },
     {kGetOther}},
    {"HubFileLinksToSecretDuringMicroDefs",
     [](P p) { p.Link("etc/shadow", "binhub/binlinux.dat"); },
     {kMicroDefsWithHubPackage}},
    {"HubFileDanglingLink",
     [](P p) { p.Link("empty/planted", "binhub/binlinux.dat"); },
     {kInstall}},
    {"NewSetFileDanglingLinkDuringInstall",
     [](P p) {
         MakeDirs(p.Defs(kNewName));
         p.Link("empty/planted", kNewName + "/defs1.dat");
     },
     {kInstall}},
    {"NewSetFileDanglingLinkDuringIntegration",
     [](P p) {
         p.PlantIncoming();
         MakeDirs(p.Defs(kNewName));
         p.Link("empty/planted", kNewName + "/defs1.dat");
     },
     {kNewest}},
    {"DefInfoDanglingLink", [](P p) { p.Link("empty/definfo.dat", "definfo.dat"); }, {kInstall}},
    {"UsageDanglingLink",
     [](P p) { p.Link("empty/usage.dat", "usage.dat"); },
     {{{"-n", "app2"}, kAnyStatus}},
     false},
    {"DebugLogDanglingLink",
     [](P p) {
         p.EnableDebugLog();
         p.Link("empty/debug.log", "debug.log");
     },
     {kGetOther}},

    // Links to directories.
    {"NewSetDirLinksToDecoySetDuringIntegration",
     [](P p) {
         p.PlantIncoming();
         p.Link("set", kNewName);
     },
     {kNewest}},
    {"NewSetDirLinksToEmptyDirDuringInstall", [](P p) { p.Link("empty", kNewName); }, {kInstall}},
    {"BinHubLinksToEmptyDir",
     [](P p) { p.Link("empty", "binhub"); },
     {kInstall, {{"-m", "Prod"}, kAnyStatus}}},
    {"TextHubLinksToEmptyDir", [](P p) { p.Link("empty", "texthub"); }, {kInstall}},
    {"IncomingLinksToDecoySet", [](P p) { p.Link("set", "incoming"); }, {kNewest, kInstall}},
    {"LastSetDirLinksToDecoySet", [](P p) { p.Link("set", kLast.DirName()); }, {kInstall}},
    {"UsedSetDirLinksToDecoySet",
     [](P p) { p.Link("set", kUsed.DirName()); },
     {{{"-u", "victim"}, kAnyStatus}}},
    {"TempDirLinksToDecoySetAtFullRemoval", [](P p) { p.Link("set", "tmp1f2e"); }, kRemoveAll,
     false},
    {"BinHubLinksToDecoySetAtFullRemoval", [](P p) { p.Link("set", "binhub"); }, kRemoveAll, false},
    {"DefsDirLinksToEmptyDir",
     [](P p) { p.Link("empty", ""); },
     {kInstall, {{"-n", "app2"}, kAnyStatus}},
     false},
    {"DefsDirLinksToDecoyStore",
     [](P p) { p.Link("store", ""); },
     {{{"-n", "app2"}, kAnyStatus}, {{"-u", "someone"}, kAnyStatus}},
     false},
    {"ContentParentLinksToEmptyDir",
     [](P p) { p.Link("empty", "../tvlxdata"); },
     {{{"-i", "{src}", "MyType"}, kAnyStatus}}},
    {"ContentStoreLinksToDecoyStore",
     [](P p) {
         MakeDirs(p.Defs("../tvlxdata"));
         p.Link("store", "../tvlxdata/mytype");
     },
     {{{"-n", "app2", "MyType"}, kAnyStatus}, {{"-u", "someone", "MyType"}, kAnyStatus}}},

    // ".." and absolute values in every bookkeeping field.
    {"LastDefsClimbsOut", [](P p) { p.PlantDefInfo(kCurName, "../../decoy/set"); }, {kInstall}},
    {"LastDefsAbsolute", [](P p) { p.PlantDefInfo(kCurName, "{R}/decoy/set"); }, {kInstall}},
    {"CurDefsClimbsOutRestore",
     [](P p) { p.PlantDefInfo("../../decoy/set", kLast.DirName()); },
     {{{"-r"}, kAnyStatus}}},
    {"CurDefsClimbsOutSeedsIncoming",
     [](P p) {
         p.PlantDefInfo("../../decoy/set", kLast.DirName());
         p.PlantIncoming();
     },
     {kNewest, {{"-g", "app2"}, kAnyStatus}}},
    {"CurDefsClimbsOutRegisters", [](P p) { p.PlantDefInfo("../../decoy/set", kLast.DirName()); },
     kRegisterAndLeave},
    {"CurDefsAbsolute", [](P p) { p.PlantDefInfo("{R}/decoy/set", kLast.DirName()); },
     kRegisterAndLeave},
    {"CurDefsDot", [](P p) { p.PlantDefInfo(".", kLast.DirName()); }, kRegisterAndLeave},
    {"CurDefsDotDot", [](P p) { p.PlantDefInfo("..", kLast.DirName()); }, kRegisterAndLeave},
    {"UsageSectionClimbsOutUninstall",
     [](P p) { p.PlantUsage("[" + kCurName + "]\nother=1\n[../../decoy/set]\nvictim=1\n"); },
     {{{"-u", "victim"}, kAnyStatus}}},
    {"UsageSectionClimbsOutNewest",
     [](P p) { p.PlantUsage("[" + kCurName + "]\nother=1\n[../../decoy/set]\nvictim=1\n"); },
     {{{"-n", "victim"}, kAnyStatus}}},
    {"UsageSectionAbsolute",
     [](P p) { p.PlantUsage("[" + kCurName + "]\nother=1\n[{R}/decoy/set]\nvictim=1\n"); },
     {{{"-g", "victim"}, kAnyStatus}, {{"-u", "victim"}, kAnyStatus}}},
    {"UsageSectionDot",
     [](P p) { p.PlantUsage("[" + kCurName + "]\nother=1\n[.]\nvictim=1\n"); },
     {{{"-g", "victim"}, kAnyStatus}, {{"-u", "victim"}, kAnyStatus}}},
    {"UsageSectionDotDot",
     [](P p) { p.PlantUsage("[" + kCurName + "]\nother=1\n[..]\nvictim=1\n"); },
     {{{"-g", "victim"}, kAnyStatus}, {{"-u", "victim"}, kAnyStatus}}},
    // Catalog entries name files in the set's own directory, nothing else.
    {"CatalogFilesEntriesWithPaths",
     [](P p) {
         p.PlantIncoming();
         p.AddCatalogEntries(p.Defs("incoming"), "Files",
                             {"../../../decoy/set/notes.dat", "{R}/decoy/etc/shadow", "..", "."});
     },
     {kNewest}},
    {"HubCatalogEntriesWithPaths",
     [](P p) {
         for (const char* section : {"Binary Hub Files - Linux", "Text Hub Files"}) {
             p.AddCatalogEntries(p.Source("new"), section,
                                 {"../../../decoy/etc/shadow", "{R}/decoy/etc/shadow", ".."});
         }
     },
     {kInstall}},
    // Cleanup entries are names in the new set; none may empty it.
    {"CleanupEntriesWithPaths",
     [](P p) {
         p.PlantIncoming({"../*", "../../decoy/set/*", "{R}/decoy/set/*", ".."});
     },
     {kNewest},
     true,
     kNewestComplete},
    {"CleanupEverything", [](P p) { p.PlantIncoming({"*"}); }, {kNewest}, true, kNewestComplete},

    // Hard links: the shared inode must not be written, chowned or copied.
    {"UsageHardLinkedOutside",
     [](P p) { p.HardLink("store/usage.dat", "usage.dat"); },
     {{{"-n", "app2"}, kAnyStatus}},
     false},
    {"DefInfoHardLinkedOutside",
     [](P p) { p.HardLink("store/definfo.dat", "definfo.dat"); },
     {kInstall}},
    {"DebugLogHardLinkedToSecret",
     [](P p) {
         p.EnableDebugLog();
         p.HardLink("etc/shadow", "debug.log");
     },
     {kGetOther}},
    {"IncomingFileHardLinkedToSecret",
     [](P p) {
         p.PlantIncoming();
         p.HardLink("etc/shadow", "incoming/stolen.dat");
     },
     {kNewest}},
    {"NewestSetFileHardLinkedToSecret",
     [](P p) {
         p.PlantIncoming();
         p.HardLink("etc/shadow", kCurName + "/extra.dat");
     },
     {kNewest}},
    {"HubFileHardLinkedToSecretDuringInstall",
     [](P p) { p.HardLink("etc/shadow", "binhub/binlinux.dat"); },
     {kInstall}},
    {"HubFileHardLinkedToSecretDuringMicroDefs",
     [](P p) { p.HardLink("etc/shadow", "binhub/binlinux.dat"); },
     {kMicroDefsWithHubPackage}},

    // FIFOs must not block any command.
    {"DebugLogFifo",
     [](P p) {
         p.EnableDebugLog();
         p.PlantFifo(p.Defs("debug.log"));
     },
     {kGetOther}},
    {"NewestMainFileFifo",
     [](P p) { p.PlantFifo(p.Defs(kCurName + "/virscan1.dat")); },
     {kInstall}},
    {"UsageFifo",
     [](P p) { p.PlantFifo(p.Defs("usage.dat")); },
     {{{"-g", "other"}, kAnyStatus}},
     false},
    {"DefInfoFifo",
     [](P p) { p.PlantFifo(p.Defs("definfo.dat")); },
     {{{"-n", "app2"}, kAnyStatus}}},
    {"IncomingCatalogFifo",
     [](P p) {
         p.PlantIncoming();
         p.PlantFifo(p.Defs("incoming/catalog.dat"));
     },
     {kNewest}},
    {"IncomingDataFileFifo",
     [](P p) {
         p.PlantIncoming();
         p.PlantFifo(p.Defs("incoming/defs1.dat"));
     },
     {kNewest}},
    {"HubCatalogFifo",
     [](P p) { p.PlantFifo(p.Defs("binhub/catalog.dat")); },
     {{{"-m", "Prod"}, kAnyStatus}}},
};

TEST_P(PlantedStoreTest, NothingOutsideTheStoreIsTouched)
{
    const PlantedRow& row = GetParam();
    MakeDirs(Scratch("hubpkg"));
    WriteTextFile(Scratch("hubpkg/hub.scr"), "apply\n");
    WriteTextFile(Scratch("hubpkg/update.mdp"), "not a package\n");
    row.plant(*this);
    const auto outsideBefore = Outside();

    bool bHung = false;
    for (const Step& step : row.steps) {
        SCOPED_TRACE(::testing::PrintToString(step.args));
        CliResult r = Run(step.args, step.env);
        if (r.timedOut) {
            bHung = true;
            break;
        }
        EXPECT_TRUE(step.status == kAnyStatus || r.status == step.status)
            << "exit status " << r.status << ", wanted " << step.status << ": " << r.err;
        if (step.args[0] == "-g" && r.status == 0)
            ExpectSetInStore(r.out);
    }
    EXPECT_EQ(ChangesOutside(outsideBefore), Strings{});
    EXPECT_EQ(CopiesOfSecrets(), Strings{});
    if (bHung)
        return;  // the store may be locked by the killed run
    if (row.othersSurvive)
        ExpectOthersRegistration();
    if (row.newest != kNewestUnchecked) {
        const std::string cur = DefInfoValue(Defs(), "CurDefs");
        ASSERT_NE(cur, "<missing>");
        EXPECT_TRUE(IsCompleteSet(Defs(cur))) << "CurDefs " << cur;
        if (row.newest == kNewestIsNew) {
            EXPECT_EQ(cur, kNewName);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Planted, PlantedStoreTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
