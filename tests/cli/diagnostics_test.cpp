// Diagnostics for a person: the cause named for each kind of failure or
// do-nothing outcome, and that the extra lines appear only when standard
// error is a terminal (the program run under a pseudo-terminal and through
// pipes).
#include "cli/diagnostics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

const DefDate kOld = {2009, 10, 10, 1};
const DefDate kCur = {2010, 1, 1, 1};
const DefDate kNew = {2011, 2, 3, 4};
const std::string kOldName = SetName(kOld);  // 20091010.001
const std::string kCurName = SetName(kCur);  // 20100101.001

class DiagnosticsTest : public SandboxTest {
protected:
    std::string defs = sandbox.DefsDir();
    std::string sets = sandbox.Path("sets");

    // A store whose newest set is kCur, with LastDefs as given ("" for
    // none), and kOld and kNew waiting as source directories.
    void MakeStore(const std::string& last)
    {
        WriteSet(defs + "/" + kCurName, SetLayout(kCur));
        WriteDefInfo(defs, kCurName, last);
        WriteTextFile(defs + "/usage.dat", "[" + kCurName + "]\napp=1\n");
        WriteSet(sets + "/old", SetLayout(kOld));
        WriteSet(sets + "/new", SetLayout(kNew));
    }
    // A clean machine, then the row's own setup.
    void Arrange(const std::function<void()>& setup)
    {
        RemoveTree(sandbox.BaseDir());
        RemoveTree(sets);
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "\n");
        sandbox.SetGroupName(group);
        setup();
    }

    const std::string group = sandbox.GroupName();
    const std::function<void()> kNothing = [] {};
    const std::function<void()> kStore = [this] { MakeStore(""); };
    const std::function<void()> kNoBaseDir = [this] {
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\n");
    };
};

TEST_F(DiagnosticsTest, NamesTheCause)
{
    const std::string conf = sandbox.TarvolixConf();
    const std::string usage = defs + "/usage.dat", noRestore = "nothing to restore: ";
    const std::string guard = defs + "/sflock.dat.l2", notNewer = "not installed: the set in ";
    const CallerIdentity root{0, "root", {0}}, stranger{4242, "tester", {4242}};
    const CallerIdentity member{4242, "tester", {4242, getegid()}};
    auto noConf = [this] { unlink(sandbox.TarvolixConf().c_str()); };
    auto otherSection = [this] { sandbox.WriteTarvolixConf("[tarvolix]\nBaseDir=/x\n"); };
    auto noGroup = [this] { sandbox.SetGroupName("qdu-no-such-group"); };
    auto emptyDefs = [this] { MakeDirs(defs); };
    auto guarded = [this] {
        MakeStore("");
        WriteTextFile(defs + "/sflock.dat.l2", "");
    };
    auto badSet = [this] { WriteSet(sets + "/bad", SetLayout(DefDate{2010, 13, 1, 1})); };
    auto partSet = [this] { WriteSet(sets + "/part", SetLayout(kNew, {}, {"defs2.dat"})); };
    auto lastIsCur = [this] { MakeStore(kCurName); };
    auto lastIsOld = [this] { MakeStore(kOldName); };
    auto sameSet = [this] {
        MakeStore("");
        WriteSet(sets + "/same", SetLayout(kCur));
    };
    const struct Row {
        const char* name;
        std::function<void()> setup;
        char option;
        std::string value;  // "": none
        const char* type;
        int result;
        const CallerIdentity& caller;
        std::string cause;  // "": nothing to add
    } rows[] = {
        {"NoConfigFile", noConf, 'g', "app", nullptr, 5, root,
         conf + " does not exist: copy /etc/Tarvolix.conf.sample there and set BaseDir"},
        {"NoBaseDir", kNoBaseDir, 'n', "app", nullptr, 5, root,
         conf + " has no BaseDir in [Tarvolix Shared]"},
        {"BaseDirInAnotherSection", otherSection, 'u', "app", nullptr, 5, root,
         conf + " has no BaseDir in [Tarvolix Shared]"},
        {"NoGroup", noGroup, 'i', "/nonexistent", nullptr, 1, root,
         "group qdu-no-such-group does not exist: groupadd qdu-no-such-group"},
        {"NotAMember", kStore, 'g', "app", nullptr, 5, stranger,
         "you are not a member of " + group + ": usermod -aG " + group +
             " tester, then log in again"},
        {"MemberThroughSupplementaryGroup", kStore, 'g', "other", nullptr, 4, member,
         "other is not registered in " + usage + ": qordefutil -n other"},
        {"UnknownContentType", kStore, 'g', "app", "Rules", 15, root,
         "no store for content type Rules: " + sandbox.BaseDir() +
             "/tvlxdata/rules does not exist (qordefutil -i DIR Rules creates it)"},
        {"UninstallUnregistered", kStore, 'u', "nobody", nullptr, 6, root,
         "nobody is not registered in " + usage + ": qordefutil -n nobody"},
        {"NewestWithoutSets", emptyDefs, 'n', "app", nullptr, 10, root,
         "no definitions are installed in " + defs + ": install a set with qordefutil -i DIR"},
        {"StuckGuard", guarded, 'm', "Product", nullptr, 17, root,
         "stuck lock guard " + guard + ": when no qordefutil is running, remove it (rm '" + guard +
             "')"},
        {"InstallFromNoDirectory", kNothing, 'i', "/nonexistent/set", nullptr, 11, root,
         "/nonexistent/set is not a directory"},
        {"InstallBadHeader", badSet, 'i', sets + "/bad", nullptr, 3, root,
         sets + "/bad/virscan1.dat has no valid date in its header"},
        {"InstallIncomplete", partSet, 'i', sets + "/part", nullptr, 3, root,
         "the set in " + sets +
             "/part is incomplete: catalog.dat lists defs2.dat, which is missing"},
        {"RestoreWithoutPrevious", kStore, 'r', "", nullptr, 0, root,
         noRestore + "definfo.dat names no previous set"},
        {"RestoreToItself", lastIsCur, 'r', "", nullptr, 0, root,
         noRestore + "the previous set is the newest one, " + kCurName},
        {"RestoreToDeletedSet", lastIsOld, 'r', "", nullptr, 0, root,
         noRestore + "the previous set " + kOldName + " is no longer in " + defs},
        {"RestoreWithoutStore", kNothing, 'r', "", nullptr, 0, root,
         noRestore + "no definitions are installed in " + defs},
        {"InstallOlder", kStore, 'i', sets + "/old", nullptr, 0, root,
         notNewer + sets + "/old (" + kOldName + ") is older than the newest, " + kCurName},
        {"InstallSame", sameSet, 'i', sets + "/same", nullptr, 0, root,
         notNewer + sets + "/same (" + kCurName + ") is already the newest"},
        // The name was refused with its own message, or the command did what was asked.
        {"RefusedAppId", kNothing, 'g', "a=b", nullptr, 5, root, ""},
        {"RefusedContentType", kNothing, 'n', "app", "..", 15, root, ""},
        {"NewestWorked", kStore, 'n', "app", nullptr, 0, root, ""},
        {"NoCommand", kNothing, '\0', "", nullptr, 5, root, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Arrange(row.setup);
        DiagnosedCommand command{row.option, row.value.empty() ? nullptr : row.value.c_str(),
                                 row.type};
        StoreSnapshot before = TakeSnapshot(command);
        EXPECT_EQ(ExplainOutcome(command, row.result, before, row.caller), row.cause);
    }
}

TEST(DiagnosedCommandTest, TakesTheCommandFromTheArguments)
{
    const struct {
        std::vector<const char*> args;
        char option;
        const char* value;
        const char* contentType;
    } rows[] = {
        {{"-g", "app", "Type", "extra"}, 'g', "app", "Type"},
        {{"--install", "/d"}, 'i', "/d", nullptr},
        {{"-r", "Type"}, 'r', nullptr, "Type"},  // -r has its content type second
        {{"-u", "-odd"}, 'u', "-odd", nullptr},  // not an option name: a value
        {{"-l", "-r"}, '\0', nullptr, nullptr},  // two commands ran
        {{"-h"}, '\0', nullptr, nullptr},
        {{"-R", "Product"}, '\0', nullptr, nullptr},
        {{}, '\0', nullptr, nullptr},
    };
    for (const auto& row : rows) {
        std::vector<char*> argv{const_cast<char*>("qordefutil")};
        for (const char* arg : row.args) argv.push_back(const_cast<char*>(arg));
        argv.push_back(nullptr);
        DiagnosedCommand command =
            CommandFromArguments(static_cast<int>(argv.size() - 1), argv.data());
        SCOPED_TRACE(row.args.empty() ? "(none)" : row.args[0]);
        EXPECT_EQ(command.cOption, row.option);
        EXPECT_STREQ(command.pszValue, row.value);
        EXPECT_STREQ(command.pszContentType, row.contentType);
    }
}

// Runs the program with standard error on a pseudo-terminal (standard
// output to /dev/null) and returns what the terminal showed, with the
// terminal's "\r\n" line ends turned back into "\n".
CliResult RunOnTerminal(const std::vector<std::string>& args)
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
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0)
            result.err.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;  // EIO once the child has closed the terminal
    }
    close(master);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    for (size_t at; (at = result.err.find("\r\n")) != std::string::npos;)
        result.err.replace(at, 2, "\n");
    return result;
}

TEST_F(DiagnosticsTest, AddsALineOnlyAtATerminal)
{
    const std::string noInit = "Command failed: Failure in initializing the application.\n";
    const struct {
        std::function<void()> setup;
        std::vector<std::string> args;
        int status;
        std::string piped;     // standard error through a pipe, as scripts see it
        std::string terminal;  // the line added at a terminal
    } rows[] = {
        {kStore,
         {"-r"},
         0,
         "",
         "qordefutil: nothing to restore: definfo.dat names no previous set\n"},
        {kNoBaseDir,
         {"-g", "app"},
         5,
         noInit,
         noInit + "qordefutil: " + sandbox.TarvolixConf() +
             " has no BaseDir in [Tarvolix Shared]\n"},
        {kStore, {"-n", "app"}, 0, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0]);
        Arrange(row.setup);
        CliResult piped = RunCli(row.args);
        EXPECT_EQ(piped.status, row.status);
        EXPECT_EQ(piped.err, row.piped);
        CliResult shown = RunOnTerminal(row.args);
        EXPECT_EQ(shown.status, row.status);
        EXPECT_EQ(shown.err, row.terminal);
    }
}

TEST_F(DiagnosticsTest, UpdatesShowCopyProgressAtATerminal)
{
    // The full update's client is the stand-in, which delivers set kNew.
    std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (std::string(QDU_FAKE_JAVA_DIR) + ":" + path).c_str(), 1);
    setenv("FAKE_JAVA_COPY_FROM", (sets + "/new").c_str(), 1);
    const std::vector<std::vector<std::string>> commands = {{"-i", sets + "/new"}, {"-l"}};
    for (const auto& args : commands) {
        SCOPED_TRACE(args[0]);
        MakeStore("");
        EXPECT_EQ(RunCli(args).err, "");
        RemoveTree(defs);
        MakeStore("");
        CliResult shown = RunOnTerminal(args);
        EXPECT_EQ(shown.status, 0);
        // One line, rewritten in place, ending once the copying is done.
        ASSERT_EQ(shown.err.rfind("\rqordefutil: copied ", 0), 0u) << shown.err;
        EXPECT_EQ(shown.err.find('\n'), shown.err.size() - 1) << shown.err;
        EXPECT_NE(shown.err.find(" MiB\n"), std::string::npos) << shown.err;
        EXPECT_EQ(shown.err.find("copied 0 files"), std::string::npos) << shown.err;
        RemoveTree(defs);
    }
    setenv("PATH", path.c_str(), 1);
    unsetenv("FAKE_JAVA_COPY_FROM");
}

}  // namespace
