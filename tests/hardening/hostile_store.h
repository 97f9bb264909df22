// Fixture for running the program as root against stores that a member of
// the store's group has tampered with. Next to the sandbox it builds:
//   decoy/  what lies outside the store and must stay as it is, owned by a
//           stranger with modes the store never uses, so any chown or chmod
//           shows: etc/shadow (a secret, the target of links into the
//           store), set/ (a complete set, every file holding the secret),
//           store/ (a complete store of its own) and empty/ (to catch files
//           created through links)
//   base/keep.dat, base/virscan1.dat   the same next to the store
//   src/new/  a newer set to install; scratch/  the update client's record
//           and the patch library
// and a well-formed store: sets kLast, kCur (newest, used by "other") and
// kUsed (used by "victim" only), hubs and an empty incoming directory.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

typedef std::vector<std::string> Strings;

const SetDate kLast = {2023, 12, 1, 3}, kCur = {2024, 1, 2, 7}, kUsed = {2023, 11, 5, 1},
              kNew = {2024, 2, 3, 5};

constexpr char kSecret[] = "DECOY-SECRET";
const SetDate kDecoySet = {2024, 3, 4, 1};  // newer than anything in the store
const SetDate kDecoyStoreSet = {2023, 1, 1, 1};

typedef std::function<void(const std::string& path, const struct stat& st)> Visit;

// path and, below a directory, everything in it, never through a link.
inline void Walk(const std::string& path, const Visit& visit)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    visit(path, st);
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : ListDir(path)) Walk(path + "/" + name, visit);
    }
}

// Hands a tree to a stranger, with modes the store never gives.
inline void Estrange(const std::string& path)
{
    Walk(path, [](const std::string& p, const struct stat& st) {
        EXPECT_EQ(0, lchown(p.c_str(), 4242, 4343)) << p;
        EXPECT_TRUE(S_ISLNK(st.st_mode) || chmod(p.c_str(), S_ISDIR(st.st_mode) ? 0750 : 0640) == 0)
            << p;
    });
}

// The bytes of the regular file at path, never through a link nor from a
// FIFO: a racer may swap the name between our look and our read. The
// file's identity goes to *pSt.
inline std::string ReadRegularFile(const std::string& path, struct stat* pSt)
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
        // A file no store set has, so a copy of the decoy set cannot hide under
        // the files of a set laid over it.
        WriteTextFile(Decoy("set/notes.dat"), kSecret);
        WriteSet(Decoy("store/" + decoyStoreSet), kDecoyStoreSet, kSecret);
        WriteDefInfo(Decoy("store"), decoyStoreSet, decoyStoreSet);
        WriteTextFile(Decoy("store/usage.dat"), "[" + decoyStoreSet + "]\nsomeone=1\n");
        MakeDirs(Decoy("empty"));
        Estrange(Decoy());
        MakeDirs(base);
        WriteTextFile(base + "/keep.dat", kSecret);
        WriteTextFile(base + "/virscan1.dat", VirscanHeader({2024, 1, 1, 1}) + kSecret);
        Estrange(base + "/keep.dat");
        Estrange(base + "/virscan1.dat");
        for (const std::string& dir : {Decoy(), base}) {
            Walk(dir, [&](const std::string&, const struct stat& st) {
                m_decoyFiles.insert({st.st_dev, st.st_ino});
            });
        }
        WriteSet(sandbox.Path("src/new"), kNew);
        MakeDirs(Scratch("lib"));
        ASSERT_EQ(symlink(QDU_PATCHAPP_LIBRARY, Scratch("lib/libpatchapp.so").c_str()), 0);
        MakeStore(Defs());
        m_outside = Outside();
    }

    std::string Defs(const std::string& rel = "") const { return Below(sandbox.DefsDir(), rel); }
    std::string Decoy(const std::string& rel = "") const
    {
        return Below(sandbox.Path("decoy"), rel);
    }
    std::string Scratch(const std::string& rel) const { return sandbox.Path("scratch/" + rel); }
    // "{R}": the sandbox root, "{src}": the newer set, "{pwn}": a file only an
    // injected shell command creates; "{cur}", "{last}", "{used}", "{new}":
    // the names of those sets.
    std::string Expand(std::string text) const
    {
        const std::pair<std::string, std::string> kPlaceholders[] = {
            {"{R}", sandbox.Root()},     {"{src}", sandbox.Path("src/new")},
            {"{pwn}", Scratch("pwned")}, {"{cur}", kCur.DirName()},
            {"{last}", kLast.DirName()}, {"{used}", kUsed.DirName()},
            {"{new}", kNew.DirName()}};
        for (const auto& p : kPlaceholders) {
            for (size_t at = text.find(p.first); at != std::string::npos;
                 at = text.find(p.first, at))
                text.replace(at, p.first.size(), p.second);
        }
        return text;
    }
    // The well-formed store described above, in defsDir.
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
    // Runs args and env expanded, with a time limit, the stand-in update
    // client first on PATH and the reference patch library; printing a
    // location outside a store fails the test.
    CliResult Run(const Strings& args, const Strings& env = {}) const
    {
        CliOptions options;
        // Generous: sanitizer builds on a busy machine are many times slower,
        // and a false hang would be a flaky test.
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
    // What changed outside the store since SetUp, and copies of the secret in it.
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
    // "other" still gets its set.
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
        // One line per entry, with a file's bytes and a link's target, so that
        // any change of kind, content, mode, owner or time shows.
        std::map<std::string, std::string> entries;
        const Visit describe = [&](const std::string& path, const struct stat& st) {
            std::ostringstream line;
            line << std::oct << st.st_mode << std::dec << " " << st.st_uid << ":" << st.st_gid;
            char target[4096];
            struct stat opened;
            if (S_ISREG(st.st_mode))
                line << " mtime " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec << " ["
                     << ReadRegularFile(path, &opened) << "]";
            else if (S_ISLNK(st.st_mode))
                line << " -> "
                     << std::string(target, std::max<ssize_t>(
                                                0, readlink(path.c_str(), target, sizeof target)));
            entries[path.substr(sandbox.Root().size() + 1)] = line.str();
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
