// The store commands as a user runs them, through the sandbox program: exit
// status, output and the store afterwards; then the cause a person is told,
// which the program adds at a terminal only.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <iterator>
#include <sstream>

#include "cli/diagnostics.h"
#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"

namespace {

typedef std::vector<std::string> Strings;

std::string Failed(const std::string& what)
{
    return "Command failed: " + what + ".\n";
}

const SetDate kOld = {2009, 10, 10, 1}, kCur = {2024, 1, 2, 7}, kNew = {2024, 2, 3, 5};
const std::string kOldName = kOld.DirName(), kCurName = kCur.DirName(), kNewName = kNew.DirName();
const SetDate kNewer = {2025, 4, 1, 3};
const std::string kNoType = Failed("The specified content type could not be found");
constexpr rlim_t kLimit = 64 * 1024;  // file size limit for the rows with big.dat

enum Given {
    kNone,
    kNoConf,
    kNoBaseDir,
    kOtherSection,  // BaseDir only in another section
    kNoGroup,
    kBare,         // an empty definitions directory
    kStore,        // kCur newest, no previous set
    kLastCur,      // kCur newest and named previous
    kLastOld,      // kOld named previous, but gone
    kLock,         // a lock file and a stuck guard
    kRegistered,   // "app" registered with kCur
    kSetDeleted,   // and kCur's directory gone
    kTypeStore,    // in the store of content type MyType
    kIncomplete,   // kStore, kNew waiting in incoming, one of its files missing
    kLocked,       // complete, under a lock 1700 s old
    kStaleLock,    // under a lock 1800 s old
    kBigInNewest,  // complete; big.dat in kCur, beyond the file size limit
    kBigIncoming,  // the same in kNew
};

class StoreCommandsTest : public SandboxTest {
protected:
    const std::string src = sandbox.Path("src/"), group = sandbox.GroupName();

    // Sources to install; a FIFO must not block the copy, a subdirectory is skipped.
    void SetUp() override
    {
        for (const char* name : {"full", "header", "fifo", "nested", "nested/set"})
            WriteSet(src + name, kNewer);
        MakeDirs(src + "empty");
        WriteTextFile(src + "header/virscan1.dat", "tiny");
        unlink((src + "fifo/defs1.dat").c_str());
        ASSERT_EQ(mkfifo((src + "fifo/defs1.dat").c_str(), 0600), 0);
        WriteSet(src + "old", SetLayout(kOld));
        WriteSet(src + "same", SetLayout(kCur));
        WriteSet(src + "part", SetLayout(kNew, {}, {"defs2.dat"}));
    }

    // A clean machine as given; returns the definitions directory.
    std::string Arrange(Given given)
    {
        RemoveTree(sandbox.BaseDir());
        const std::string base = "[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "\n";
        sandbox.WriteTarvolixConf(given == kNoBaseDir      ? "[Tarvolix Shared]\n"
                                  : given == kOtherSection ? "[tarvolix]\nBaseDir=/x\n"
                                                           : base);
        if (given == kNoConf)
            unlink(sandbox.TarvolixConf().c_str());
        sandbox.SetGroupName(given == kNoGroup ? "qdu-no-such-group" : group);
        const std::string defs =
            given == kTypeStore ? sandbox.BaseDir() + "/tvlxdata/mytype" : sandbox.DefsDir();
        const std::string incoming = defs + "/incoming";
        SetLayout current{kCur, {{"a.dat", "old a"}, {"b.dat", "old b"}, {"x.tmp", "t"}}};
        // A main file in capitals and a cleanup pattern.
        SetLayout arriving{kNew, {{"B.DAT", "new b"}}, {}, {"*.tmp"}};
        arriving.virscanName = "VIRSCAN1.DAT";
        if (given == kIncomplete)
            arriving.missingFiles = {"late.dat"};
        if (given >= kBigInNewest)
            (given == kBigInNewest ? current : arriving).files["big.dat"] =
                std::string(4 * kLimit, 'x');
        if (given == kBare)
            MakeDirs(defs);
        if (given >= kStore) {
            WriteSet(defs + "/" + kCurName, current);
            WriteDefInfo(defs, kCurName,
                         given == kLastCur   ? kCurName
                         : given == kLastOld ? kOldName
                                             : "");
            chmod(defs.c_str(), 0750);  // not the store's default, so inheritance shows
        }
        if (given == kLock)
            for (const char* name : {"/sflock.dat", "/sflock.dat.l2"})
                WriteTextFile(defs + name, "");
        if (given >= kRegistered && given <= kTypeStore)
            WriteTextFile(defs + "/usage.dat", "[" + kCurName + "]\napp=1\n");
        if (given == kSetDeleted)
            RemoveTree(defs + "/" + kCurName);
        if (given >= kIncomplete)
            WriteSet(incoming, arriving);
        if (given == kLocked || given == kStaleLock) {
            const time_t when = time(nullptr) - (given == kLocked ? 1700 : 1800);
            WriteTextFile(incoming + "/inlock.dat", "");
            struct timeval times[2] = {{when, 0}, {when, 0}};
            utimes((incoming + "/inlock.dat").c_str(), times);
        }
        return defs;
    }
};

TEST_F(StoreCommandsTest, ExitStatusOutputAndResultingStore)
{
    const std::string noLocation = Failed("Failure in getting the location of current definitions");
    const std::string noNewest =
        Failed("Failure in installing the application with the newest defintions");
    const std::string noUninstall =
        Failed("Failure in uninstalling an application from using definitions");
    const std::string noInit = Failed("Failure in initializing the application");
    const std::string noCopy = Failed("Failure in copying the definitions");
    const std::string noPost = Failed("Failure in post processing of definitions during update");
    const std::string cur = "/virusdefs/" + kCurName, none = "<missing>";
    const std::string newer = kNewer.DirName();
    const struct {
        Given given;
        Strings args;
        int status;
        std::string out;  // below the base directory, without the line end
        std::string err;
        std::string newest;  // CurDefs afterwards
    } kRows[] = {
        {kRegistered, {"-g", "app"}, 0, cur, "", kCurName},
        {kRegistered, {"--getcurrentdefs", "APP"}, 0, cur, "", kCurName},
        {kStore, {"-g", "app"}, 4, "", noLocation, kCurName},
        {kSetDeleted, {"-g", "app"}, 4, "", noLocation, kCurName},
        {kRegistered, {"-g", "app", "NoSuchType"}, 15, "", kNoType, kCurName},
        {kTypeStore, {"-g", "app", "MyType"}, 0, "/tvlxdata/mytype/" + kCurName, "", kCurName},
        {kNoBaseDir, {"-g", "app"}, 5, "", noInit, none},
        {kStore, {"-n", "app"}, 0, "", "", kCurName},
        {kStore, {"-n", "app", "NoSuchType"}, 15, "", kNoType, kCurName},
        {kNone, {"-n", "app"}, 10, "", noNewest, none},
        {kRegistered, {"-u", "app"}, 0, "", "", none},
        {kRegistered, {"-u", "app", "NoSuchType"}, 15, "", kNoType, kCurName},
        {kStore, {"-u", "app"}, 6, "", noUninstall, kCurName},
        // "-r" after "-l" is its content type: the update runs, the restore refuses.
        {kStore, {"-l", "-r"}, 15, "", kNoType, kCurName},
        // A failed first install is rolled back; a failure leaves a store as it was.
        {kNone, {"-i", src + "full"}, 0, "", "", newer},
        {kNone, {"-i", src + "missing"}, 11, "", noCopy, none},
        {kNone, {"-i", src + "empty"}, 11, "", noCopy, none},
        {kNone, {"-i", src + "header"}, 3, "", noPost, none},
        {kNone, {"-i", src + "fifo"}, 3, "", noPost, none},
        {kNone, {"-i", src + "nested"}, 0, "", "", newer},
        {kStore, {"-i", src + "full"}, 0, "", "", newer},
        {kStore, {"-i", src + "empty"}, 11, "", noCopy, kCurName},
        // An unreadable header never counts as newer than a set the store has.
        {kStore, {"-i", src + "header"}, 0, "", "", kCurName},
        {kStore, {"-i", src + "fifo"}, 3, "", noPost, kCurName},
        // An incoming set waits; a lock abandoned for 30 minutes is broken.
        {kIncomplete, {"-n", "app"}, 0, "", "", kCurName},
        {kLocked, {"-n", "app"}, 0, "", "", kCurName},
        {kStaleLock, {"-n", "app"}, 0, "", "", kNewName},
        // A copy failing half-way leaves no half-built set, and drops the
        // incoming one rather than retrying it forever.
        {kBigInNewest, {"-n", "app"}, 0, "", "", kCurName},
        {kBigIncoming, {"-n", "app"}, 0, "", "", kCurName},
    };
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const struct rlimit limit = {kLimit, saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);  // writes beyond the limit fail with EFBIG, in the child too
    CliOptions options;
    options.env = {std::string("PATH=") + QDU_FAKE_JAVA_DIR + ":/usr/bin:/bin"};
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back() + " " + std::to_string(row.given));
        const std::string defs = Arrange(row.given);
        const std::string incoming = defs + "/incoming", set = defs + "/" + kNewName + "/";
        const Strings currentBefore = ListDir(defs + "/" + kCurName);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, row.given >= kBigInNewest ? &limit : &saved), 0);
        CliResult r = RunCli(row.args, options);
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, row.out.empty() ? "" : sandbox.BaseDir() + row.out + "\n");
        EXPECT_EQ(DefInfoValue(defs, "CurDefs"), row.newest);
        // A failed first install and the last AppId leaving take the store along.
        EXPECT_TRUE(row.args[0] == "-n" || PathExists(defs) == (row.newest != none));
        EXPECT_TRUE(row.newest != newer || IsCompleteSet(defs + "/" + newer));
        if (row.args[0] == "-n" && row.status == 0) {
            EXPECT_EQ(ReadTextFile(defs + "/usage.dat"), "[" + row.newest + "]\napp=1\n");
        }
        // Looking up a content type never creates its store.
        EXPECT_FALSE(PathExists(sandbox.BaseDir() + "/tvlxdata/nosuchtype"));
        for (const std::string& entry : ListDir(defs))
            EXPECT_NE(entry.compare(0, 3, "tmp"), 0) << entry;
        if (row.given < kIncomplete)
            continue;
        EXPECT_EQ(ListDir(defs + "/" + kCurName), currentBefore);
        EXPECT_EQ(ListDir(incoming).empty(), row.given != kIncomplete && row.given != kLocked);
        EXPECT_EQ(PathExists(set), row.newest == kNewName);
        if (row.newest != kNewName)
            continue;
        // Seeded from the newest set, laid over it (contents, modes: unit tests).
        EXPECT_EQ(ListDir(set), (Strings{"a.dat", "b.dat", "catalog.dat", "virscan1.dat"}));
        EXPECT_EQ(ReadTextFile(set + "b.dat"), "new b");
        EXPECT_EQ(PathMode(set), 0750);
    }
}

// Standard error on a pseudo-terminal, its "\r\n" turned back into "\n".
CliResult RunOnTerminal(const Strings& args)
{
    CliResult result{-1, "", ""};
    const ExecImage image("qordefutil", args, {});
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0)
        ExecChild(QDU_SANDBOX_CLI, image, open("/dev/null", O_WRONLY), STDERR_FILENO);
    if (pid < 0)
        return result;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
        result.err.append(buf, n > 0 ? static_cast<size_t>(n) : 0);  // EIO once the child is gone
    close(master);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    for (size_t at; (at = result.err.find("\r\n")) != std::string::npos;)
        result.err.replace(at, 2, "\n");
    return result;
}

// Each row runs through a pipe, then at a terminal.
TEST_F(StoreCommandsTest, NamesTheCauseAtATerminalOnly)
{
    const std::string defs = sandbox.DefsDir(), conf = sandbox.TarvolixConf();
    const std::string usage = defs + "/usage.dat", guard = defs + "/sflock.dat.l2";
    const std::string noBaseDir = conf + " has no BaseDir in [Tarvolix Shared]";
    const std::string noType =
        "no store for content type Rules: " + sandbox.BaseDir() +
        "/tvlxdata/rules does not exist (qordefutil -i DIR Rules creates it)";
    const std::string noRestore = "nothing to restore: ", notNewer = "not installed: the set in ";
    const struct {
        Given given;
        std::string command;
        int status;
        std::string cause;  // "": nothing to add
    } rows[] = {
        {kNoConf, "-g app", 5,
         conf + " does not exist: copy /etc/Tarvolix.conf.sample there and set BaseDir"},
        {kNoBaseDir, "-n app", 5, noBaseDir},
        {kOtherSection, "-u app", 5, noBaseDir},
        {kNoGroup, "-i /nonexistent", 2,
         "group qdu-no-such-group does not exist: groupadd qdu-no-such-group"},
        {kStore, "-g app Rules extra", 15, noType},
        {kNone, "-r Rules", 15, noType},  // -r has its content type first
        {kStore, "-u -odd", 6, "-odd is not registered in " + usage + ": qordefutil -n -odd"},
        {kBare, "-n app", 10,
         "no definitions are installed in " + defs + ": install a set with qordefutil -i DIR"},
        {kLock, "-m Product", 17,
         "stuck lock guard " + guard + ": when no qordefutil is running, remove it (rm '" + guard +
             "')"},
        {kNone, "-i /nonexistent/set", 11, "/nonexistent/set is not a directory"},
        {kNone, "-i " + src + "header", 3,
         src + "header/virscan1.dat has no valid date in its header"},
        {kNone, "-i " + src + "part", 3,
         "the set in " + src + "part is incomplete: catalog.dat lists defs2.dat, which is missing"},
        {kStore, "-r", 0, noRestore + "definfo.dat names no previous set"},
        {kLastCur, "-r", 0, noRestore + "the previous set is the newest one, " + kCurName},
        {kLastOld, "-r", 0,
         noRestore + "the previous set " + kOldName + " is no longer in " + defs},
        {kNone, "-r", 0, noRestore + "no definitions are installed in " + defs},
        {kStore, "-i " + src + "old", 0,
         notNewer + src + "old (" + kOldName + ") is older than the newest, " + kCurName},
        {kStore, "-i " + src + "same", 0,
         notNewer + src + "same (" + kCurName + ") is already the newest"},
        // The name was refused with its own message, or nothing needs saying.
        {kNone, "-g a=b", 5, ""},
        {kNone, "-n app ..", 15, ""},
        {kNone, "-l -r", 15, ""},
        {kNone, "-h -r", 0, ""},
        {kNone, "-R Product", 0, ""},
        {kNone, "", 255, ""},
        {kStore, "-n app", 0, ""},
        {kStore, "-i " + src + "full", 0, ""},
        {kStore, "-l", 0, ""},  // the stand-in client delivers a newer set
    };
    const std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (std::string(QDU_FAKE_JAVA_DIR) + ":" + path).c_str(), 1);
    setenv("FAKE_JAVA_COPY_FROM", (src + "full").c_str(), 1);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        const Strings args = Words(row.command);
        Arrange(row.given);
        const CliResult piped = RunCli(args);
        Arrange(row.given);
        CliResult shown = RunOnTerminal(args);
        EXPECT_EQ(piped.status, row.status);
        EXPECT_EQ(shown.status, row.status);
        // Copying a set shows one line, rewritten in place and ended once done.
        const bool bProgress = shown.err.rfind("\rqordefutil: copied ", 0) == 0;
        EXPECT_TRUE(bProgress ||
                    (row.command != "-l" && row.command.find("full") == std::string::npos));
        if (bProgress) {
            const std::string line = shown.err.substr(0, shown.err.find('\n') + 1);
            EXPECT_NE(line.find(" MiB\n"), std::string::npos) << line;
            EXPECT_EQ(line.find("copied 0 files"), std::string::npos) << line;
            shown.err.erase(0, line.size());
        }
        EXPECT_EQ(shown.err,
                  piped.err + (row.cause.empty() ? "" : "qordefutil: " + row.cause + "\n"));
    }
    setenv("PATH", path.c_str(), 1);
    unsetenv("FAKE_JAVA_COPY_FROM");

    // Membership can only be checked for another caller than this process.
    Arrange(kRegistered);
    const DiagnosedCommand app{'g', "app", nullptr}, other{'g', "other", nullptr};
    EXPECT_EQ(ExplainOutcome(app, 5, TakeSnapshot(app), CallerIdentity{4242, "tester", {4242}}),
              "you are not a member of " + group + ": usermod -aG " + group +
                  " tester, then log in again");
    EXPECT_EQ(ExplainOutcome(other, 4, TakeSnapshot(other),
                             CallerIdentity{4242, "tester", {4242, getegid()}}),
              "other is not registered in " + usage + ": qordefutil -n other");
}

}  // namespace
