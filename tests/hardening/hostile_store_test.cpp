// The program run as root against a store a member of its group has tampered
// with (planted links, hard links, FIFOs, crafted values; names swapped for
// links while a command runs) and with hostile command-line values. Nothing
// outside the store may change, appear, vanish or be copied into it, no
// command may hang or report a location outside a store, and where the
// bookkeeping is intact the other applications keep their registrations.
// Outside lie decoy/ (owned by a stranger, modes the store never uses: any
// chown or chmod shows) with etc/shadow (a secret), set/ (a set holding the
// secret), store/ (a store of its own) and empty/, and two files next to the
// store. Inside: sets kLast, kCur (newest, used by "other"), kUsed (by
// "victim"), hubs and an empty incoming directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"

namespace {

typedef std::vector<std::string> Strings;

const SetDate kLast = {2023, 12, 1, 3}, kCur = {2024, 1, 2, 7}, kUsed = {2023, 11, 5, 1},
              kNew = {2024, 2, 3, 5};

constexpr char kSecret[] = "DECOY-SECRET";
const SetDate kDecoySet = {2024, 3, 4, 1}, kDecoyStoreSet = {2023, 1, 1, 1};  // kDecoySet: newest

typedef std::function<void(const std::string& path, const struct stat& st)> Visit;

// path and, below a directory, everything in it, never through a link.
void Walk(const std::string& path, const Visit& visit)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    visit(path, st);
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : ListDir(path)) Walk(path + "/" + name, visit);
    }
}

// Never through a link nor from a FIFO: a racer may swap the name meanwhile.
std::string ReadRegularFile(const std::string& path, struct stat* pSt)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    std::string text;
    if (fd < 0)
        return text;
    if (fstat(fd, pSt) == 0 && S_ISREG(pSt->st_mode)) {
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

class HostileStoreTest : public SandboxTest {
public:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the decoys belong to another user";
        const std::string base = sandbox.BaseDir(), decoyStoreSet = kDecoyStoreSet.DirName();
        configuredBase = base;
        MakeDirs(Decoy("etc"));
        WriteTextFile(Decoy("etc/shadow"),
                      std::string("root:") + kSecret + ":19000:0:99999:7:::\n");
        WriteSet(Decoy("set"), kDecoySet, kSecret);
        // No store set has it, so a copied decoy set cannot hide under another.
        WriteTextFile(Decoy("set/notes.dat"), kSecret);
        WriteSet(Decoy("store/" + decoyStoreSet), kDecoyStoreSet, kSecret);
        WriteDefInfo(Decoy("store"), decoyStoreSet, decoyStoreSet);
        WriteTextFile(Decoy("store/usage.dat"), "[" + decoyStoreSet + "]\nsomeone=1\n");
        MakeDirs(Decoy("empty"));
        MakeDirs(base);
        WriteTextFile(base + "/keep.dat", kSecret);
        WriteTextFile(base + "/virscan1.dat", SetDate{2024, 1, 1, 1}.Header() + kSecret);
        // A stranger's, with modes the store never gives.
        for (const std::string& path : {Decoy(), base + "/keep.dat", base + "/virscan1.dat"}) {
            Walk(path, [&](const std::string& p, const struct stat& st) {
                EXPECT_EQ(0, lchown(p.c_str(), 4242, 4343)) << p;
                EXPECT_TRUE(S_ISLNK(st.st_mode) ||
                            chmod(p.c_str(), S_ISDIR(st.st_mode) ? 0750 : 0640) == 0)
                    << p;
                m_decoyFiles.insert({st.st_dev, st.st_ino});
            });
        }
        WriteSet(sandbox.Path("src/new"), kNew);
        MakeDirs(Scratch("lib"));
        ASSERT_EQ(symlink(QDU_PATCHAPP_LIBRARY, Scratch("lib/libpatchapp.so").c_str()), 0);
        MakeStore(Defs());
        m_outside = Outside();
    }

    std::string Defs(const std::string& r = "") const { return Below(sandbox.DefsDir(), r); }
    std::string Decoy(const std::string& r = "") const { return Below(sandbox.Path("decoy"), r); }
    std::string Scratch(const std::string& rel) const { return sandbox.Path("scratch/" + rel); }
    // "{pwn}": a file only an injected shell command creates.
    std::string Expand(std::string text) const
    {
        const std::pair<std::string, std::string> kPlaceholders[] = {
            {"R", sandbox.Root()},   {"src", sandbox.Path("src/new")}, {"pwn", Scratch("pwned")},
            {"cur", kCur.DirName()}, {"last", kLast.DirName()},        {"used", kUsed.DirName()},
            {"new", kNew.DirName()}};
        for (const auto& p : kPlaceholders)
            text = std::regex_replace(text, std::regex("\\{" + p.first + "\\}"), p.second);
        return text;
    }
    void MakeStore(const std::string& defsDir) const
    {
        for (const SetDate& date : {kLast, kCur, kUsed})
            WriteSet(defsDir + "/" + date.DirName(), date);
        WriteDefInfo(defsDir, kCur.DirName(), kLast.DirName());
        WriteTextFile(defsDir + "/usage.dat",
                      "[" + kCur.DirName() + "]\nother=1\n[" + kUsed.DirName() + "]\nvictim=1\n");
        const std::string cur = defsDir + "/" + kCur.DirName() + "/";
        for (const char* dir : {"/binhub", "/texthub", "/incoming"}) MakeDirs(defsDir + dir);
        for (const char* file : {"binlinux.dat", "bincommon.dat", "catalog.dat"})
            WriteTextFile(defsDir + "/binhub/" + file, ReadTextFile(cur + file));
        WriteTextFile(defsDir + "/texthub/texthub.dat", ReadTextFile(cur + "texthub.dat"));
    }
    void EnableDebugLog() const
    {
        sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=debug.log\n");
    }
    CliResult Run(const Strings& args, const Strings& env = {}) const
    {
        CliOptions options;
        // Generous: a false hang on a busy machine would be a flaky test.
        options.timeLimitSeconds = 10;
        // Never the real update client: the stand-in is first on PATH.
        options.env = {std::string("PATH=") + QDU_FAKE_JAVA_DIR + ":/usr/bin:/bin",
                       "FAKE_JAVA_RECORD=" + Scratch("java.rec"),
                       "LD_LIBRARY_PATH=" + Scratch("lib")};
        for (const std::string& entry : env) options.env.push_back(Expand(entry));
        Strings expanded;
        for (const std::string& arg : args) expanded.push_back(Expand(arg));
        CliResult r = RunCli(expanded, options);
        EXPECT_FALSE(r.timedOut) << "hung: " << ::testing::PrintToString(expanded);
        static const std::regex kSetInStore("(virusdefs|tvlxdata/[a-z]+)/[0-9]{8}\\.[0-9]{3}\n");
        const std::string prefix = configuredBase + "/";
        EXPECT_TRUE(args[0] != "-g" || r.status != 0 ||
                    (r.out.compare(0, prefix.size(), prefix) == 0 &&
                     std::regex_match(r.out.substr(prefix.size()), kSetInStore)))
            << "reported a location outside a store: " << r.out;
        return r;
    }
    Strings Harm() const
    {
        std::map<std::string, std::string> was = m_outside, now = Outside();
        Strings harm;
        for (const auto& entry : now) was.emplace(entry.first, "absent");
        for (const auto& entry : was) {
            const std::string& is = now.emplace(entry.first, "absent").first->second;
            if (is != entry.second)
                harm.push_back(entry.first + " was " + entry.second + ", is " + is);
        }
        Walk(sandbox.BaseDir(), [&](const std::string& path, const struct stat& seen) {
            struct stat st;
            if (S_ISREG(seen.st_mode) &&
                ReadRegularFile(path, &st).find(kSecret) != std::string::npos &&
                m_decoyFiles.count({st.st_dev, st.st_ino}) == 0)
                harm.push_back(path + " holds a copy of the secret");
        });
        return harm;
    }
    void ExpectOthersRegistration() const
    {
        const CliResult r = Run({"-g", "other"});
        EXPECT_EQ(std::to_string(r.status) + " " + r.out,
                  "0 " + configuredBase + "/virusdefs/" + kCur.DirName() + "\n")
            << r.err;
    }

    std::string configuredBase;  // as written in the configuration file

private:
    static std::string Below(const std::string& dir, const std::string& rel)
    {
        return rel.empty() || rel == "." ? dir : dir + "/" + rel;
    }
    std::map<std::string, std::string> Outside() const
    {
        // Any change of kind, content, mode, owner or time shows.
        std::map<std::string, std::string> entries;
        const Visit describe = [&](const std::string& path, const struct stat& st) {
            char target[4096] = "";
            struct stat opened;
            (void)!readlink(path.c_str(), target, sizeof target - 1);
            entries[path.substr(sandbox.Root().size() + 1)] =
                std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                std::to_string(st.st_gid) + " mtime " + std::to_string(st.st_mtim.tv_sec) + "." +
                std::to_string(st.st_mtim.tv_nsec) + " -> " + target + " [" +
                ReadRegularFile(path, &opened) + "]";
        };
        Walk(Decoy(), describe);
        for (const std::string& name : ListDir(sandbox.BaseDir())) {
            if (name != "virusdefs" && name != "tvlxdata")
                Walk(sandbox.BaseDir() + "/" + name, describe);
        }
        for (const std::string& name : ListDir(sandbox.Root())) entries["root/" + name] = "present";
        return entries;
    }
    std::map<std::string, std::string> m_outside;
    std::set<std::pair<dev_t, ino_t>> m_decoyFiles;
};

// Planted stores.

enum Flags {
    kOthersLost = 1,      // the bookkeeping itself was planted
    kNewestComplete = 2,  // at the end CurDefs names a complete set...
    kNewestIsNew = 6,     // ... and it is kNew
};

// plant: see Plant(). steps: commands; those ending in "=0" must succeed.
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

    // "incoming [CLEANUP...]": kNew waits in incoming; "link|hard T P": a link
    // at P (in the store) to T (in decoy/); "usage S": victim's section;
    // "adminlinks": base directory, source and a source file through links.
    void Plant(const std::string& actions)
    {
        std::istringstream list(Expand(actions));
        for (std::string action; std::getline(list, action, ';');) {
            const Strings w = Words(action);
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

    std::istringstream steps(row.steps);
    for (std::string step; std::getline(steps, step, ';');) {
        SCOPED_TRACE(step);
        Strings args, env;
        for (const std::string& word : Words(step))
            (isupper(word[0]) && word.find('=') != std::string::npos ? env : args).push_back(word);
        const bool bMustSucceed = args.back() == "=0";
        if (bMustSucceed)
            args.pop_back();
        const CliResult r = Run(args, env);
        EXPECT_TRUE(!bMustSucceed || r.status == 0) << "exit status " << r.status << ": " << r.err;
    }
    EXPECT_EQ(Harm(), Strings{});
    if ((row.flags & kOthersLost) == 0)
        ExpectOthersRegistration();
    const std::string cur = DefInfoValue(Defs(), "CurDefs");
    EXPECT_TRUE((row.flags & kNewestComplete) == 0 || IsCompleteSet(Defs(cur))) << cur;
    EXPECT_TRUE((row.flags & kNewestIsNew) != kNewestIsNew || cur == kNew.DirName()) << cur;
}

INSTANTIATE_TEST_SUITE_P(Planted, PlantedStoreTest, ::testing::Range<size_t>(0, std::size(kRows)),
                         [](const auto& info) { return std::string(kRows[info.param].name); });

// Command-line values.

const std::string kInitFailed = "Command failed: Failure in initializing the application.\n";
const std::string kNoType = "Command failed: The specified content type could not be found.\n";

// kind: "-n" an AppId, "type" a content type, "-m" a product, "-l" a value.
struct ValueRow {
    const char* name;
    const char* kind;
    std::string value;
    bool bRefused;
};

const ValueRow kValues[] = {
    {"AppIdOpenBracket", "-n", "[evil", true},
    {"AppIdCloseBracket", "-n", "evil]", true},
    {"AppIdEquals", "-n", "app=x", true},
    {"AppIdTab", "-n", "app\tx", true},
    {"AppIdNewlineAndSection", "-n", "app\n[" + kCur.DirName() + "]", true},
    {"AppIdControlByte", "-n", "\001app", true},
    {"AppIdDelete", "-n", "app\x7f", true},
    {"AppIdLeadingBlank", "-n", " app", true},
    {"AppIdTrailingBlank", "-n", "app ", true},
    {"AppIdOver251Bytes", "-n", std::string(252, 'a'), true},
    {"AppIdPlain", "-n", "app.Two-3_4", false},
    {"AppIdInnerBlank", "-n", "my app", false},
    {"AppIdHighBytes", "-n", "app-\xc3\xa9", false},
    {"AppIdExactly251Bytes", "-n", std::string(251, 'a'), false},

    {"TypeClimbsOut", "type", "../../decoy/store", true},
    {"TypeDotDot", "type", "..", true},
    {"TypeDot", "type", ".", true},
    {"TypeSlash", "type", "a/b", true},
    {"TypeOpenBracket", "type", "a[b", true},
    {"TypeCloseBracket", "type", "a]b", true},
    {"TypeEquals", "type", "a=b", true},
    {"TypeTab", "type", "a\tb", true},
    {"TypeDelete", "type", "a\177b", true},
    {"TypeLeadingBlank", "type", " mytype", true},
    {"TypeTrailingBlank", "type", "mytype ", true},
    {"TypeOver128Bytes", "type", std::string(129, 't'), true},
    {"TypeMixedCase", "type", "MyType", false},
    {"TypeExactly128Bytes", "type", std::string(128, 't'), false},

    {"ProductSubstitution", "-m", "$(touch {pwn})", true},
    {"ProductBackquotes", "-m", "`touch {pwn}`", true},
    {"ProductQuoteBreakout", "-m", "x\";touch {pwn};echo \"", true},
    {"ProductSemicolon", "-m", "x;y", true},
    {"ProductBackslash", "-m", "x\\y", true},
    {"ValueSubstitution", "-l", "$(touch {pwn})", true},
    {"ValueBackquotes", "-l", "`touch {pwn}`", true},
    // "#" keeps the client's arguments that follow away from touch.
    {"ValueSemicolon", "-l", "x;touch {pwn} #", true},
    {"ValuePipe", "-l", "x|touch {pwn} #", true},
    {"ValueAnd", "-l", "x&&touch {pwn} #", true},
    {"ValueNewline", "-l", "x\ntouch {pwn} #", true},
    {"ValueRedirect", "-l", "x>{pwn}", true},
    {"ValueQuote", "-l", "x'y", true},
    {"ValueGlob", "-l", "x*", true},
    {"ProductPlain", "-m", "Prod-1.0 Linux_x86,v:2+@%/=\xc3\xa9", false},
    {"ValuePlain", "-l", "mode:full,retry=2 @host%/x+y.z_w-\xc3\xa9", false},
};

class ValueTest : public HostileStoreTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(ValueTest, RefusedOrUsedWithoutHarm)
{
    const ValueRow& row = kValues[GetParam()];
    const std::string kind = row.kind, usageBefore = ReadTextFile(Defs("usage.dat"));
    if (kind == "-n") {
        // Registering, asking and leaving: a refused AppId changes nobody's
        // registration, an accepted one goes through all three.
        for (const std::string option : {"-n", "-g", "-u"}) {
            const CliResult r = Run({option, row.value});
            EXPECT_EQ(
                std::to_string(r.status) + " " + r.out,
                row.bRefused ? "5 " : "0 " + (option == "-g" ? Defs(kCur.DirName()) + "\n" : ""))
                << option << ": " << r.err;
            EXPECT_TRUE(!row.bRefused ||
                        (std::regex_search(r.err, std::regex(".\n" + kInitFailed + "$")) &&
                         ReadTextFile(Defs("usage.dat")) == usageBefore))
                << option
                << ": wanted a line naming the refusal, then the failure, and no change: " << r.err;
        }
        EXPECT_EQ(ReadTextFile(Defs("usage.dat")), usageBefore) << "the AppId was to leave again";
    } else if (kind == "type") {
        // Each type names a store that exists (planted by the group for the
        // hostile ones), so only the check of the name itself can refuse it.
        std::string lower = row.value;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        MakeDirs(sandbox.BaseDir() + "/tvlxdata");
        if (!PathExists(sandbox.BaseDir() + "/tvlxdata/" + lower))
            MakeStore(sandbox.BaseDir() + "/tvlxdata/" + lower);
        for (const char* command :
             {"-g other", "-n app2", "-u other", "-r", "-m Prod", "-i {src}"}) {
            Strings args = Words(command);
            SCOPED_TRACE(args[0]);
            args.push_back(row.value);
            const CliResult r = Run(args);
            // Microdefs has no patch to fetch here, an install fails as it may.
            EXPECT_TRUE(row.bRefused ? (args[0] == "-i" ? r.status != 0
                                                        : r.status == 15 &&
                                                              std::regex_search(
                                                                  r.err, std::regex(kNoType + "$")))
                                     : args[0] == "-m" || r.status == 0)
                << r.status << ": " << r.err;
        }
    } else {
        // A full update downloads the newer set; microdefs finds no package.
        const CliResult r = Run({row.kind, row.value},
                                kind == "-l" ? Strings{"FAKE_JAVA_COPY_FROM={src}"} : Strings{});
        EXPECT_FALSE(PathExists(Scratch("pwned"))) << "the shell ran an injected command";
        EXPECT_EQ(r.status != 0, row.bRefused) << r.err;
        EXPECT_EQ(PathExists(Scratch("java.rec")), !row.bRefused) << "whether the client ran";
    }
    EXPECT_EQ(Harm(), Strings{});
    ExpectOthersRegistration();
}

INSTANTIATE_TEST_SUITE_P(Values, ValueTest, ::testing::Range<size_t>(0, std::size(kValues)),
                         [](const auto& info) { return std::string(kValues[info.param].name); });

// Names swapped for links while a command runs, for a wall-clock budget.

const int kMaxRounds = 60;

// Dated after everything in the store, one day apart.
SetDate RoundDate(int round)
{
    return {2024, 4 + round / 28, 1 + round % 28, 1};
}

struct RaceRow {
    const char* name;
    const char* target;      // below decoy/
    const char* links;       // below the definitions; "{set}": every round's set
    const char* command;     // "{k}": the round; "src/r{k}": a source written for it
    bool bIncoming = false;  // a set waits in incoming before each round
};

const RaceRow kRaces[] = {
    {"HubFilesDuringInstall", "etc/shadow",
     "binhub/binlinux.dat binhub/bincommon.dat texthub/texthub.dat", "-i {R}/src/r{k}"},
    {"SetFileDuringInstall", "etc/shadow", "{set}/defs1.dat", "-i {R}/src/r{k}"},
    {"SetDirDuringInstall", "empty", "{set}", "-i {R}/src/r{k}"},
    {"DefInfoDuringInstall", "etc/shadow", "definfo.dat", "-i {R}/src/r{k}"},
    {"UsageDuringNewest", "etc/shadow", "usage.dat", "-n app{k}"},
    {"IncomingFileDuringIntegration", "etc/shadow", "incoming/stolen.dat", "-n app{k}", true},
    {"DebugLogDuringQuery", "etc/shadow", "debug.log", "-g other"},
};

// Until destroyed, atomically puts a link to target at each path (moving a
// directory aside), every eighth pass removing them so names also vanish.
class Racer {
public:
    Racer(const std::string& target, const Strings& paths)
        : m_thread([this, target, paths] {
              for (unsigned long pass = 0, asides = 0; !m_bStop; ++pass) {
                  for (const std::string& path : paths) {
                      const std::string temp = path + ".racer";
                      struct stat st;
                      const bool bExists = lstat(path.c_str(), &st) == 0;
                      if (bExists && S_ISDIR(st.st_mode))
                          rename(path.c_str(),
                                 (path + ".aside" + std::to_string(asides++)).c_str());
                      if (pass % 8 == 7 && bExists && S_ISLNK(st.st_mode))
                          unlink(path.c_str());
                      else if (symlink(target.c_str(), temp.c_str()) == 0 &&
                               rename(temp.c_str(), path.c_str()) != 0)
                          unlink(temp.c_str());
                  }
              }
          })
    {
    }
    ~Racer()
    {
        m_bStop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

class LinkRaceTest : public HostileStoreTest, public ::testing::WithParamInterface<size_t> {
protected:
    // Large data files keep the window between copying and chowning open;
    // as links to one copy each they stay cheap to write.
    void WriteRoundSource(int k) const
    {
        const std::string source = sandbox.Path("src/r" + std::to_string(k));
        WriteSet(source, RoundDate(k));
        for (const std::string& file : SetDataFiles()) {
            const std::string big = sandbox.Path("src/" + file), at = source + "/" + file;
            if (!PathExists(big))
                WriteTextFile(big, std::string(64 * 1024, 'x'));
            RemoveTree(at);
            ASSERT_EQ(symlink(big.c_str(), at.c_str()), 0) << at;
        }
    }
};

TEST_P(LinkRaceTest, NoRoundTouchesAnythingOutside)
{
    const RaceRow& row = kRaces[GetParam()];
    EnableDebugLog();  // its log is one more file opened by path
    Strings paths;
    for (const std::string& link : Words(row.links)) {
        const bool bPerRound = link.find("{set}") != std::string::npos;
        for (int k = 0; k < (bPerRound ? kMaxRounds : 1); ++k)
            paths.push_back(
                Defs(std::regex_replace(link, std::regex("\\{set\\}"), RoundDate(k).DirName())));
    }
    int rounds = 0;
    {
        const Racer racer(Decoy(row.target), paths);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (int k = 0; k < kMaxRounds && std::chrono::steady_clock::now() < end; ++k) {
            if (row.bIncoming)
                WriteSet(Defs("incoming"), RoundDate(k));
            const Strings args =
                Words(std::regex_replace(row.command, std::regex("\\{k\\}"), std::to_string(k)));
            if (args[1].find("src/r") != std::string::npos)
                WriteRoundSource(k);
            ++rounds;
            if (Run(args).timedOut || !Harm().empty())
                break;
        }
    }
    SCOPED_TRACE("after " + std::to_string(rounds) + " rounds");
    EXPECT_EQ(Harm(), Strings{});
}

INSTANTIATE_TEST_SUITE_P(Races, LinkRaceTest, ::testing::Range<size_t>(0, std::size(kRaces)),
                         [](const auto& info) { return std::string(kRaces[info.param].name); });

}  // namespace
