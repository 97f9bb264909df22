// Stores with links, hard links, FIFOs and crafted bookkeeping values planted
// by a member of the store's group, then the ordinary commands run as root.
// Whatever is planted: nothing outside the store changes, appears, vanishes
// or is copied into it, no command hangs or reports a location outside a
// store, and where the bookkeeping itself is intact the other applications
// keep their registrations.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <iterator>
#include <sstream>

#include "tests/hardening/hostile_store.h"
#include "tests/support/def_sets.h"

namespace {

enum Flags {
    kOthersLost = 1,      // the bookkeeping itself was planted
    kNewestComplete = 2,  // at the end CurDefs names a complete set...
    kNewestIsNew = 4,     // ... and it is kNew
};

// plant: actions (see Plant()) separated by ';'. steps: commands separated
// by ';', each of which must exit 0 when it ends in "=0"; a NAME=value word
// goes to its environment.
struct PlantedRow {
    const char* name;
    const char* plant;
    const char* steps;
    int flags = 0;
};

const PlantedRow kRows[] = {
    // Well-formed stores keep working, so the suite cannot pass by refusing all.
    {"WellFormedStore", "", "-g other =0; -n app2 =0; -i {src} =0; -u victim =0; -r =0",
     kNewestComplete},
    {"WellFormedIncomingSet", "incoming", "-n app2 =0", kNewestIsNew},
    // The base directory and the install source are the administrator's
    // choice and may be links; so may the source's files.
    {"WellFormedThroughAdministratorsLinks", "adminlinks",
     "-g other =0; -i {R}/scratch/srclink =0; -n app2 =0", kNewestIsNew},

    // Links to files.
    {"IncomingFileLinksToSecret", "incoming; link etc/shadow incoming/stolen.dat", "-n app2 =0",
     kNewestComplete},
    {"IncomingListedFileLinksToSecret", "incoming; link etc/shadow incoming/defs1.dat",
     "-n app2 =0"},
    {"NewestSetFileLinksToSecretSeedsIncoming", "incoming; link etc/shadow {cur}/extra.dat",
     "-n app2 =0"},
    {"NewestSetFileLinksToSecretSeedsInstall", "link etc/shadow {cur}/extra.dat", "-i {src}"},
    {"UsageLinksOutside", "link store/usage.dat usage.dat", "-n app2; -u someone", kOthersLost},
    {"DefInfoLinksOutside", "link store/definfo.dat definfo.dat", "-i {src}; -r"},
    {"DebugLogLinksToSecret", "log; link etc/shadow debug.log", "-g other =0"},
    // A hub package the library cannot apply; the hub is still tidied afterwards.
    {"HubFileLinksToSecretDuringMicroDefs", "link etc/shadow binhub/binlinux.dat",
     "-m Prod FAKE_JAVA_HUB_FROM={R}/scratch/hubpkg"},
    {"HubFileDanglingLink", "link empty/planted binhub/binlinux.dat", "-i {src}"},
    {"NewSetFileDanglingLinkDuringInstall", "mkdir {new}; link empty/planted {new}/defs1.dat",
     "-i {src}"},
    {"NewSetFileDanglingLinkDuringIntegration",
     "incoming; mkdir {new}; link empty/planted {new}/defs1.dat", "-n app2 =0"},
    {"DefInfoDanglingLink", "link empty/definfo.dat definfo.dat", "-i {src}"},
    {"UsageDanglingLink", "link empty/usage.dat usage.dat", "-n app2", kOthersLost},
    {"DebugLogDanglingLink", "log; link empty/debug.log debug.log", "-g other =0"},

    // Links to directories.
    {"NewSetDirLinksToDecoySetDuringIntegration", "incoming; link set {new}", "-n app2 =0"},
    {"NewSetDirLinksToEmptyDirDuringInstall", "link empty {new}", "-i {src}"},
    {"BinHubLinksToEmptyDir", "link empty binhub", "-i {src}; -m Prod"},
    {"TextHubLinksToEmptyDir", "link empty texthub", "-i {src}"},
    {"IncomingLinksToDecoySet", "link set incoming", "-n app2 =0; -i {src}"},
    {"LastSetDirLinksToDecoySet", "link set {last}", "-i {src}"},
    {"UsedSetDirLinksToDecoySet", "link set {used}", "-u victim"},
    // The last two applications leave, so the whole store is removed.
    {"TempDirLinksToDecoySetAtFullRemoval", "link set tmp1f2e", "-u victim; -u other", kOthersLost},
    {"BinHubLinksToDecoySetAtFullRemoval", "link set binhub", "-u victim; -u other", kOthersLost},
    {"DefsDirLinksToEmptyDir", "link empty .", "-i {src}; -n app2", kOthersLost},
    {"DefsDirLinksToDecoyStore", "link store .", "-n app2; -u someone", kOthersLost},
    {"ContentParentLinksToEmptyDir", "link empty ../tvlxdata", "-i {src} MyType"},
    {"ContentStoreLinksToDecoyStore", "mkdir ../tvlxdata; link store ../tvlxdata/mytype",
     "-n app2 MyType; -u someone MyType"},

    // ".." and absolute values in every bookkeeping field.
    {"LastDefsClimbsOut", "definfo {cur} ../../decoy/set", "-i {src}"},
    {"LastDefsAbsolute", "definfo {cur} {R}/decoy/set", "-i {src}"},
    {"CurDefsClimbsOutRestore", "definfo ../../decoy/set {last}", "-r"},
    {"CurDefsClimbsOutSeedsIncoming", "definfo ../../decoy/set {last}; incoming",
     "-n app2 =0; -g app2"},
    {"CurDefsClimbsOutRegisters", "definfo ../../decoy/set {last}", "-n app2; -g app2; -u app2"},
    {"CurDefsAbsolute", "definfo {R}/decoy/set {last}", "-n app2; -g app2; -u app2"},
    {"CurDefsDot", "definfo . {last}", "-n app2; -g app2; -u app2"},
    {"CurDefsDotDot", "definfo .. {last}", "-n app2; -g app2; -u app2"},
    {"UsageSectionClimbsOutUninstall", "usage ../../decoy/set", "-u victim"},
    {"UsageSectionClimbsOutNewest", "usage ../../decoy/set", "-n victim"},
    {"UsageSectionAbsolute", "usage {R}/decoy/set", "-g victim; -u victim"},
    {"UsageSectionDot", "usage .", "-g victim; -u victim"},
    {"UsageSectionDotDot", "usage ..", "-g victim; -u victim"},
    // Catalog entries name files in the set's own directory, nothing else.
    {"CatalogFilesEntriesWithPaths",
     "incoming; files ../../../decoy/set/notes.dat {R}/decoy/etc/shadow .. .", "-n app2 =0"},
    {"HubCatalogEntriesWithPaths", "hubfiles ../../../decoy/etc/shadow {R}/decoy/etc/shadow ..",
     "-i {src}"},
    // Cleanup entries are names in the new set; none may empty it.
    {"CleanupEntriesWithPaths", "incoming ../* ../../decoy/set/* {R}/decoy/set/* ..", "-n app2 =0",
     kNewestComplete},
    {"CleanupEverything", "incoming *", "-n app2 =0", kNewestComplete},

    // Hard links: the shared inode must not be written, chowned or copied.
    {"UsageHardLinkedOutside", "hard store/usage.dat usage.dat", "-n app2", kOthersLost},
    {"DefInfoHardLinkedOutside", "hard store/definfo.dat definfo.dat", "-i {src}"},
    {"DebugLogHardLinkedToSecret", "log; hard etc/shadow debug.log", "-g other =0"},
    {"IncomingFileHardLinkedToSecret", "incoming; hard etc/shadow incoming/stolen.dat",
     "-n app2 =0"},
    {"NewestSetFileHardLinkedToSecret", "incoming; hard etc/shadow {cur}/extra.dat", "-n app2 =0"},
    {"HubFileHardLinkedToSecretDuringInstall", "hard etc/shadow binhub/binlinux.dat", "-i {src}"},
    {"HubFileHardLinkedToSecretDuringMicroDefs", "hard etc/shadow binhub/binlinux.dat",
     "-m Prod FAKE_JAVA_HUB_FROM={R}/scratch/hubpkg"},

    // FIFOs must not block any command.
    {"DebugLogFifo", "log; fifo debug.log", "-g other =0"},
    {"NewestMainFileFifo", "fifo {cur}/virscan1.dat", "-i {src}"},
    {"UsageFifo", "fifo usage.dat", "-g other", kOthersLost},
    {"DefInfoFifo", "fifo definfo.dat", "-n app2"},
    {"IncomingCatalogFifo", "incoming; fifo incoming/catalog.dat", "-n app2 =0"},
    {"IncomingDataFileFifo", "incoming; fifo incoming/defs1.dat", "-n app2 =0"},
    {"HubCatalogFifo", "fifo binhub/catalog.dat", "-m Prod"},
};

class PlantedStoreTest : public HostileStoreTest, public ::testing::WithParamInterface<size_t> {
protected:
    // Adds entries at the top of a section of dir/catalog.dat (adding the
    // section when it is missing).
    static void AddEntries(const std::string& dir, const std::string& section,
                           const Strings& entries)
    {
        std::string catalog = ReadTextFile(dir + "/catalog.dat"), lines;
        const std::string header = "[" + section + "]\n";
        if (catalog.find(header) == std::string::npos)
            catalog += header;
        for (const std::string& entry : entries) lines += entry + "\n";
        WriteTextFile(dir + "/catalog.dat",
                      catalog.insert(catalog.find(header) + header.size(), lines));
    }

    // "incoming [PATTERN...]": a complete kNew in incoming, with those
    // cleanup patterns; "log": the debug log on; "link|hard T P": a symbolic
    // or hard link at P (below the definitions) to T (below decoy/); "fifo
    // P"; "mkdir P"; "definfo CUR LAST"; "usage SECTION": victim's section;
    // "files ENTRY...": in incoming's file list; "hubfiles ENTRY...": in the
    // newer set's hub lists; "adminlinks": the base directory, the install
    // source and one of its files reached through links.
    void Plant(const std::string& actions)
    {
        std::istringstream list(Expand(actions));
        for (std::string action; std::getline(list, action, ';');) {
            std::istringstream words(action);
            const Strings w{std::istream_iterator<std::string>(words), {}};
            if (w.empty())
                continue;
            const Strings rest(w.begin() + 1, w.end());
            const std::string at = Defs(w.back()), src = sandbox.Path("src/");
            if (w[0] == "link" || w[0] == "hard" || w[0] == "fifo")
                RemoveTree(at);
            if (w[0] == "incoming") {
                WriteSet(Defs("incoming"), kNew);
                if (!rest.empty())
                    AddEntries(Defs("incoming"), "Cleanup Files", rest);
            } else if (w[0] == "log") {
                EnableDebugLog();
            } else if (w[0] == "link" || w[0] == "hard") {
                const std::string target = Decoy(w[1]);
                ASSERT_EQ((w[0] == "link" ? symlink : link)(target.c_str(), at.c_str()), 0) << at;
            } else if (w[0] == "fifo") {
                ASSERT_EQ(mkfifo(at.c_str(), 0660), 0) << at;
            } else if (w[0] == "mkdir") {
                MakeDirs(at);
            } else if (w[0] == "definfo") {
                WriteTextFile(Defs("definfo.dat"),
                              "[DefDates]\nCurDefs=" + w[1] + "\nLastDefs=" + w[2] + "\n");
            } else if (w[0] == "usage") {
                WriteTextFile(Defs("usage.dat"),
                              "[" + kCur.DirName() + "]\nother=1\n[" + w[1] + "]\nvictim=1\n");
            } else if (w[0] == "files") {
                AddEntries(Defs("incoming"), "Files", rest);
            } else if (w[0] == "hubfiles") {
                AddEntries(src + "new", "Binary Hub Files - Linux", rest);
                AddEntries(src + "new", "Text Hub Files", rest);
            } else if (w[0] == "adminlinks") {
                configuredBase = Scratch("baselink");
                sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + configuredBase + "\n");
                MakeDirs(src + "elsewhere");
                ASSERT_EQ(
                    rename((src + "new/defs1.dat").c_str(), (src + "elsewhere/defs1.dat").c_str()),
                    0);
                ASSERT_EQ(
                    symlink((src + "elsewhere/defs1.dat").c_str(), (src + "new/defs1.dat").c_str()),
                    0);
                ASSERT_EQ(symlink((src + "new").c_str(), Scratch("srclink").c_str()), 0);
                ASSERT_EQ(symlink(sandbox.BaseDir().c_str(), configuredBase.c_str()), 0);
            } else {
                FAIL() << "no such action: " << action;
            }
        }
    }
};

TEST_P(PlantedStoreTest, NothingOutsideTheStoreIsTouched)
{
    const PlantedRow& row = kRows[GetParam()];
    MakeDirs(Scratch("hubpkg"));
    WriteTextFile(Scratch("hubpkg/hub.scr"), "apply\n");
    WriteTextFile(Scratch("hubpkg/update.mdp"), "not a package\n");
    ASSERT_NO_FATAL_FAILURE(Plant(row.plant));

    bool bHung = false;
    std::istringstream steps(row.steps);
    for (std::string step; !bHung && std::getline(steps, step, ';');) {
        SCOPED_TRACE(step);
        std::istringstream words(step);
        Strings args, env;
        bool bMustSucceed = false;
        for (std::string word; words >> word;) {
            if (word == "=0")
                bMustSucceed = true;
            else
                (isupper(word[0]) && word.find('=') != std::string::npos ? env : args)
                    .push_back(word);
        }
        const CliResult r = Run(args, env);
        bHung = r.timedOut;
        EXPECT_TRUE(!bMustSucceed || r.status == 0) << "exit status " << r.status << ": " << r.err;
    }
    EXPECT_EQ(Harm(), Strings{});
    if (bHung)
        return;  // the store may be locked by the killed run
    if ((row.flags & kOthersLost) == 0)
        ExpectOthersRegistration();
    if ((row.flags & (kNewestComplete | kNewestIsNew)) != 0) {
        const std::string cur = DefInfoValue(Defs(), "CurDefs");
        EXPECT_TRUE(cur != "<missing>" && IsCompleteSet(Defs(cur))) << "CurDefs " << cur;
        EXPECT_TRUE((row.flags & kNewestIsNew) == 0 || cur == kNew.DirName()) << cur;
    }
}

INSTANTIATE_TEST_SUITE_P(Planted, PlantedStoreTest, ::testing::Range<size_t>(0, std::size(kRows)),
                         [](const auto& info) { return std::string(kRows[info.param].name); });

}  // namespace
