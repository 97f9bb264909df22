// The cause named for each failure or do-nothing outcome, at a terminal only.
// The program runs through a pipe, then at a terminal, where alone it adds it.
#include "cli/diagnostics.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <sstream>

#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Strings;

const DefDate kOld = {2009, 10, 10, 1}, kCur = {2010, 1, 1, 1}, kNew = {2011, 2, 3, 4};
const std::string kOldName = SetName(kOld), kCurName = SetName(kCur);

// kLock: a stuck lock guard; kBare: an empty definitions directory; kSect:
// BaseDir only in another section.
enum Given { kNone, kStore, kLastCur, kLastOld, kLock, kBare, kNoConf, kNoBase, kSect, kNoGroup };

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

TEST(Diagnostics, NamesTheCauseAtATerminalOnly)
{
    Sandbox sandbox;
    const std::string defs = sandbox.DefsDir(), sets = sandbox.Path("sets");
    const std::string group = sandbox.GroupName();
    WriteSet(sets + "/old", SetLayout(kOld));
    WriteSet(sets + "/new", SetLayout(kNew));
    WriteSet(sets + "/same", SetLayout(kCur));
    WriteSet(sets + "/bad", SetLayout(DefDate{2010, 13, 1, 1}));
    WriteSet(sets + "/part", SetLayout(kNew, {}, {"defs2.dat"}));
    // A clean machine; a store's newest set is kCur.
    auto arrange = [&](Given given) {
        RemoveTree(sandbox.BaseDir());
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "\n");
        sandbox.SetGroupName(group);
        if (given >= kStore && given <= kLock) {
            const std::string last = given == kLastCur   ? kCurName
                                     : given == kLastOld ? kOldName
                                                         : "";
            WriteSet(defs + "/" + kCurName, SetLayout(kCur));
            WriteDefInfo(defs, kCurName, last);
            WriteTextFile(defs + "/usage.dat", "[" + kCurName + "]\napp=1\n");
        }
        if (given == kLock)  // a lock file and its stuck guard
            for (const char* name : {"/sflock.dat", "/sflock.dat.l2"})
                WriteTextFile(defs + name, "");
        if (given == kBare)
            MakeDirs(defs);
        if (given == kNoConf)
            unlink(sandbox.TarvolixConf().c_str());
        if (given == kNoBase || given == kSect)
            sandbox.WriteTarvolixConf(given == kNoBase ? "[Tarvolix Shared]\n"
                                                       : "[tarvolix]\nBaseDir=/x\n");
        if (given == kNoGroup)
            sandbox.SetGroupName("qdu-no-such-group");
    };
    const std::string conf = sandbox.TarvolixConf(), usage = defs + "/usage.dat";
    const std::string guard = defs + "/sflock.dat.l2", noConfBaseDir = " has no BaseDir in ";
    const std::string noRestore = "nothing to restore: ", notNewer = "not installed: the set in ";
    const struct {
        Given given;
        std::string command;
        int status;
        std::string cause;  // "": nothing to add
    } rows[] = {
        {kNoConf, "-g app", 5,
         conf + " does not exist: copy /etc/Tarvolix.conf.sample there and set BaseDir"},
        {kNoBase, "-n app", 5, conf + noConfBaseDir + "[Tarvolix Shared]"},
        {kSect, "-u app", 5, conf + noConfBaseDir + "[Tarvolix Shared]"},
        {kNoGroup, "-i /nonexistent", 2,
         "group qdu-no-such-group does not exist: groupadd qdu-no-such-group"},
        {kStore, "-g app Rules extra", 15,
         "no store for content type Rules: " + sandbox.BaseDir() +
             "/tvlxdata/rules does not exist (qordefutil -i DIR Rules creates it)"},
        {kStore, "-u nobody", 6, "nobody is not registered in " + usage + ": qordefutil -n nobody"},
        {kBare, "-n app", 10,
         "no definitions are installed in " + defs + ": install a set with qordefutil -i DIR"},
        {kLock, "-m Product", 17,
         "stuck lock guard " + guard + ": when no qordefutil is running, remove it (rm '" + guard +
             "')"},
        {kNone, "-i /nonexistent/set", 11, "/nonexistent/set is not a directory"},
        {kNone, "-i " + sets + "/bad", 3,
         sets + "/bad/virscan1.dat has no valid date in its header"},
        {kNone, "-i " + sets + "/part", 3,
         "the set in " + sets +
             "/part is incomplete: catalog.dat lists defs2.dat, which is missing"},
        {kStore, "-r", 0, noRestore + "definfo.dat names no previous set"},
        {kLastCur, "-r", 0, noRestore + "the previous set is the newest one, " + kCurName},
        {kLastOld, "-r", 0,
         noRestore + "the previous set " + kOldName + " is no longer in " + defs},
        {kNone, "-r", 0, noRestore + "no definitions are installed in " + defs},
        {kStore, "-i " + sets + "/old", 0,
         notNewer + sets + "/old (" + kOldName + ") is older than the newest, " + kCurName},
        {kStore, "-i " + sets + "/same", 0,
         notNewer + sets + "/same (" + kCurName + ") is already the newest"},
        // The name was refused with its own message, or the command did what was asked.
        {kNone, "-g a=b", 5, ""},
        // The command as the program takes it from its arguments.
        {kNone, "-r Rules", 15,
         "no store for content type Rules: " + sandbox.BaseDir() +
             "/tvlxdata/rules does not exist (qordefutil -i DIR Rules creates it)"},
        {kStore, "-u -odd", 6, "-odd is not registered in " + usage + ": qordefutil -n -odd"},
        {kNone, "-l -r", 15, ""},
        {kNone, "-h -r", 0, ""},
        {kNone, "-R Product", 0, ""},
        {kNone, "-n app ..", 15, ""},
        {kStore, "-n app", 0, ""},
        {kNone, "", 255, ""},
        {kStore, "-i " + sets + "/new", 0, ""},
        {kStore, "-l", 0, ""},  // the stand-in client delivers kNew
    };
    const std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (std::string(QDU_FAKE_JAVA_DIR) + ":" + path).c_str(), 1);
    setenv("FAKE_JAVA_COPY_FROM", (sets + "/new").c_str(), 1);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        std::istringstream words(row.command);
        const Strings args{std::istream_iterator<std::string>(words), {}};
        arrange(row.given);
        const CliResult piped = RunCli(args);
        arrange(row.given);
        CliResult shown = RunOnTerminal(args);
        EXPECT_EQ(piped.status, row.status);
        EXPECT_EQ(shown.status, row.status);
        // Copying a set shows one line, rewritten in place and ended once done.
        const bool bProgress = shown.err.rfind("\rqordefutil: copied ", 0) == 0;
        EXPECT_TRUE(bProgress ||
                    (row.command != "-l" && row.command.find("/new") == std::string::npos));
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
    arrange(kStore);
    const DiagnosedCommand app{'g', "app", nullptr}, other{'g', "other", nullptr};
    EXPECT_EQ(ExplainOutcome(app, 5, TakeSnapshot(app), CallerIdentity{4242, "tester", {4242}}),
              "you are not a member of " + group + ": usermod -aG " + group +
                  " tester, then log in again");
    EXPECT_EQ(ExplainOutcome(other, 4, TakeSnapshot(other),
                             CallerIdentity{4242, "tester", {4242, getegid()}}),
              "other is not registered in " + usage + ": qordefutil -n other");
}

}  // namespace
