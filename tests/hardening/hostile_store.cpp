#include "tests/hardening/hostile_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "tests/support/def_sets.h"

const char kSecret[] = "DECOY-SECRET";
const char kInitFailed[] = "Command failed: Failure in initializing the application.\n";
const char kNoType[] = "Command failed: The specified content type could not be found.\n";

namespace {

const uid_t kStranger = 4242;
const gid_t kStrangerGroup = 4343;
// Generous: the commands take milliseconds, but sanitizer builds on a busy
// machine are many times slower, and a false hang would be a flaky test.
const int kTimeLimitSeconds = 10;

// Hands a tree to the stranger, with modes the store never gives.
void Estrange(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : ListDir(path)) Estrange(path + "/" + name);
    }
    lchown(path.c_str(), kStranger, kStrangerGroup);
    chmod(path.c_str(), S_ISDIR(st.st_mode) ? 0750 : 0640);
}

// The bytes of the regular file at path, never through a link nor from a
// FIFO: a racer may swap the name between our look and our read. The
// file's identity comes back in *pSt.
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

// One line per entry as lstat sees it, with a file's bytes and a link's
// target, so that any change of kind, content, mode, owner or time shows.
void Describe(const std::string& path, const std::string& key,
              std::map<std::string, std::string>* pOut)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    std::ostringstream line;
    line << std::oct << st.st_mode << std::dec << " " << st.st_uid << ":" << st.st_gid;
    if (S_ISREG(st.st_mode)) {
        struct stat opened;
        line << " mtime " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec << " ["
             << ReadRegularFile(path, &opened) << "]";
    } else if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(path.c_str(), target, sizeof target);
        line << " -> " << std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    (*pOut)[key] = line.str();
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : ListDir(path))
            Describe(path + "/" + name, key + "/" + name, pOut);
    }
}

void CollectFiles(const std::string& path, std::vector<std::pair<std::string, struct stat>>* pOut)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISREG(st.st_mode))
        pOut->push_back({path, st});
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : ListDir(path)) CollectFiles(path + "/" + name, pOut);
    }
}

}  // namespace

void HostileStoreTest::SetUp()
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the decoys belong to another user";
    configuredBase = sandbox.BaseDir();
    MakeDirs(Decoy("etc"));
    WriteTextFile(Decoy("etc/shadow"), std::string("root:") + kSecret + ":19000:0:99999:7:::\n");
    WriteSet(Decoy("set"), kDecoySet, kSecret);
    // A file no store set has, so a copy of the decoy set cannot be hidden
    // by the files of a set laid over it.
    WriteTextFile(Decoy("set/notes.dat"), kSecret);
    const std::string decoyStoreSet = Decoy("store/" + kDecoyStoreSet.DirName());
    WriteSet(decoyStoreSet, kDecoyStoreSet, kSecret);
    WriteDefInfo(Decoy("store"), kDecoyStoreSet.DirName(), kDecoyStoreSet.DirName());
    WriteTextFile(Decoy("store/usage.dat"), "[" + kDecoyStoreSet.DirName() + "]\nsomeone=1\n");
    MakeDirs(Decoy("empty"));
    Estrange(Decoy());
    MakeDirs(sandbox.BaseDir());
    WriteTextFile(sandbox.BaseDir() + "/keep.dat", kSecret);
    WriteTextFile(sandbox.BaseDir() + "/virscan1.dat", VirscanHeader({2024, 1, 1, 1}) + kSecret);
    Estrange(sandbox.BaseDir() + "/keep.dat");
    Estrange(sandbox.BaseDir() + "/virscan1.dat");
    std::vector<std::pair<std::string, struct stat>> decoys;
    CollectFiles(Decoy(), &decoys);
    CollectFiles(sandbox.BaseDir(), &decoys);
    for (const auto& file : decoys) m_decoyFiles.insert({file.second.st_dev, file.second.st_ino});

    WriteSet(sandbox.Path("src/new"), kNew);
    MakeDirs(Scratch("lib"));
    ASSERT_EQ(symlink(QDU_PATCHAPP_LIBRARY, Scratch("lib/libpatchapp.so").c_str()), 0);
    MakeStore(Defs());
}

std::string HostileStoreTest::Expand(std::string text) const
{
    const std::pair<std::string, std::string> kPlaceholders[] = {
        {"{R}", sandbox.Root()}, {"{src}", sandbox.Path("src/new")}, {"{pwn}", Scratch("pwned")}};
    for (const auto& p : kPlaceholders) {
        for (size_t at = text.find(p.first); at != std::string::npos; at = text.find(p.first, at))
            text.replace(at, p.first.size(), p.second);
    }
    return text;
}

void HostileStoreTest::MakeStore(const std::string& defsDir) const
{
    for (const SetDate& date : {kLast, kCur, kUsed}) WriteSet(defsDir + "/" + date.DirName(), date);
    WriteDefInfo(defsDir, kCur.DirName(), kLast.DirName());
    WriteTextFile(defsDir + "/usage.dat",
                  "[" + kCur.DirName() + "]\nother=1\n[" + kUsed.DirName() + "]\nvictim=1\n");
    const std::string cur = defsDir + "/" + kCur.DirName() + "/";
    MakeDirs(defsDir + "/binhub");
    MakeDirs(defsDir + "/texthub");
    MakeDirs(defsDir + "/incoming");
    for (const char* file : {"binlinux.dat", "bincommon.dat", "catalog.dat"})
        WriteTextFile(defsDir + "/binhub/" + file, ReadTextFile(cur + file));
    WriteTextFile(defsDir + "/texthub/texthub.dat", ReadTextFile(cur + "texthub.dat"));
}

void HostileStoreTest::PlantIncoming(const Strings& cleanup) const
{
    WriteSet(Defs("incoming"), kNew);
    if (!cleanup.empty())
        AddCatalogEntries(Defs("incoming"), "Cleanup Files", cleanup);
}

void HostileStoreTest::AddCatalogEntries(const std::string& dir, const std::string& section,
                                         const Strings& entries) const
{
    std::string catalog = ReadTextFile(dir + "/catalog.dat");
    const std::string header = "[" + section + "]\n";
    size_t at = catalog.find(header);
    if (at == std::string::npos) {
        at = catalog.size();
        catalog += header;
    }
    std::string lines;
    for (const std::string& entry : entries) lines += Expand(entry) + "\n";
    catalog.insert(at + header.size(), lines);
    WriteTextFile(dir + "/catalog.dat", catalog);
}

void HostileStoreTest::PlantDefInfo(const std::string& cur, const std::string& last) const
{
    WriteTextFile(Defs("definfo.dat"),
                  "[DefDates]\nCurDefs=" + Expand(cur) + "\nLastDefs=" + Expand(last) + "\n");
}

void HostileStoreTest::PlantUsage(const std::string& text) const
{
    WriteTextFile(Defs("usage.dat"), Expand(text));
}

void HostileStoreTest::EnableDebugLog() const
{
    sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=debug.log\n");
}

void HostileStoreTest::UseBaseDirThroughLink()
{
    configuredBase = Scratch("baselink");
    PlantSymlink(sandbox.BaseDir(), configuredBase);
    sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + configuredBase + "\n");
}

void HostileStoreTest::PlantSymlink(const std::string& target, const std::string& path) const
{
    RemoveTree(path);
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

void HostileStoreTest::PlantHardLink(const std::string& existing, const std::string& path) const
{
    RemoveTree(path);
    ASSERT_EQ(link(existing.c_str(), path.c_str()), 0) << path;
}

void HostileStoreTest::PlantFifo(const std::string& path) const
{
    RemoveTree(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0660), 0) << path;
}

CliResult HostileStoreTest::Run(const Strings& args, const Strings& env) const
{
    CliOptions options;
    options.timeLimitSeconds = kTimeLimitSeconds;
    // Never the real update client: the stand-in is first on PATH.
    options.env = {std::string("PATH=") + QDU_FAKE_JAVA_DIR + ":/usr/bin:/bin",
                   "FAKE_JAVA_RECORD=" + Scratch("java.rec"), "LD_LIBRARY_PATH=" + Scratch("lib")};
    for (const std::string& entry : env) options.env.push_back(Expand(entry));
    Strings expanded;
    for (const std::string& arg : args) expanded.push_back(Expand(arg));
    CliResult r = RunCli(expanded, options);
    EXPECT_FALSE(r.timedOut) << "hung: " << ::testing::PrintToString(expanded);
    EXPECT_EQ(r.out.find("decoy"), std::string::npos) << "disclosed a path outside: " << r.out;
    return r;
}

HostileStoreTest::Snapshot HostileStoreTest::Outside() const
{
    Snapshot entries;
    Describe(Decoy(), "decoy", &entries);
    const std::string base = sandbox.BaseDir();
    for (const std::string& name : ListDir(base)) {
        if (name != "virusdefs" && name != "tvlxdata")
            Describe(base + "/" + name, "base/" + name, &entries);
    }
    for (const std::string& name : ListDir(sandbox.Root())) entries["root/" + name] = "present";
    return entries;
}

Strings HostileStoreTest::ChangesOutside(const Snapshot& before) const
{
    const Snapshot after = Outside();
    Strings changes;
    for (const auto& entry : before) {
        auto now = after.find(entry.first);
        if (now == after.end())
            changes.push_back(entry.first + " vanished");
        else if (now->second != entry.second)
            changes.push_back(entry.first + " was " + entry.second + ", is " + now->second);
    }
    for (const auto& entry : after) {
        if (before.count(entry.first) == 0)
            changes.push_back(entry.first + " appeared: " + entry.second);
    }
    return changes;
}

Strings HostileStoreTest::CopiesOfSecrets() const
{
    std::vector<std::pair<std::string, struct stat>> files;
    CollectFiles(sandbox.BaseDir(), &files);
    Strings copies;
    for (const auto& file : files) {
        struct stat st;
        std::string text = ReadRegularFile(file.first, &st);
        if (m_decoyFiles.count({st.st_dev, st.st_ino}) == 0 &&
            text.find(kSecret) != std::string::npos)
            copies.push_back(file.first);
    }
    return copies;
}

void HostileStoreTest::ExpectOthersRegistration() const
{
    CliResult r = Run({"-g", "other"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, configuredBase + "/virusdefs/" + kCur.DirName() + "\n");
}

void HostileStoreTest::ExpectSetInStore(const std::string& out) const
{
    const std::string prefix = configuredBase + "/";
    static const std::regex kSetInStore("(virusdefs|tvlxdata/[a-z]+)/[0-9]{8}\\.[0-9]{3}\n");
    EXPECT_TRUE(out.compare(0, prefix.size(), prefix) == 0 &&
                std::regex_match(out.substr(prefix.size()), kSetInStore))
        << "reported location: " << out;
}
