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

// Public, so the table rows' setup functions can reach the store.
class DiagnosticsTest : public SandboxTest {
public:
    using SandboxTest::sandbox;
    std::string defs = sandbox.DefsDir();
    std::string sets = sandbox.Path("sets");

    // A store whose newest set is kCur, with LastDefs as given ("" for
    // none), and kOld and kNew waiting as source directories.
    void MakeStore(const std::string& last)
    {
        WriteSet(defs + "/" + kCurName, SetSpec(kCur));
        WriteDefInfo(defs, kCurName, last);
        WriteTextFile(defs + "/usage.dat", "[" + kCurName + "]\napp=1\n");
        WriteSet(sets + "/old", SetSpec(kOld));
        WriteSet(sets + "/new", SetSpec(kNew));
    }
};

CallerIdentity Root()
{
    return CallerIdentity{0, "root", {0}};
}

TEST_F(DiagnosticsTest, NamesTheCause)
{
    const std::string conf = sandbox.TarvolixConf();
    const std::string group = sandbox.GroupName();
    const std::string usage = defs + "/usage.dat";
    const std::string noRestore = "nothing to restore: ";
    const struct Row {
        const char* name;
        std::function<void(DiagnosticsTest*)> setup;
        DiagnosedCommand command;
        int result;
        CallerIdentity caller;
        std::string cause;
    } rows[] = {
        {"NoConfigFile",
         [](DiagnosticsTest* t) { unlink(t->sandbox.TarvolixConf().c_str()); },
         {'g', "app", nullptr},
         5,
         Root(),
         conf + " does not exist: copy /etc/Tarvolix.conf.sample there and set BaseDir"},
        {"NoBaseDir",
         [](DiagnosticsTest* t) { t->sandbox.WriteTarvolixConf("[Tarvolix Shared]\n"); },
         {'n', "app", nullptr},
         5,
         Root(),
         conf + " has no BaseDir in [Tarvolix Shared]"},
        {"BaseDirInAnotherSection",
         [](DiagnosticsTest* t) { t->sandbox.WriteTarvolixConf("[tarvolix]\nBaseDir=/x\n"); },
         {'u', "app", nullptr},
         5,
         Root(),
         conf + " has no BaseDir in [Tarvolix Shared]"},
        {"NoGroup",
         [](DiagnosticsTest* t) { t->sandbox.SetGroupName("qdu-no-such-group"); },
         {'i', "/nonexistent", nullptr},
         1,
         Root(),
         "group qdu-no-such-group does not exist: groupadd qdu-no-such-group"},
        {"NotAMember",
         [](DiagnosticsTest* t) { t->MakeStore(""); },
         {'g', "app", nullptr},
         5,
         CallerIdentity{4242, "tester", {4242}},
         "you are not a member of " + group + ": usermod -aG " + group +
             " tester, then log in again"},
        {"MemberThroughSupplementaryGroup",
         [](DiagnosticsTest* t) { t->MakeStore(""); },
         {'g', "other", nullptr},
         4,
         CallerIdentity{4242, "tester", {4242, getegid()}},
         "other is not registered in " + usage + ": qordefutil -n other"},
        {"UnknownContentType",
         [](DiagnosticsTest* t) { t->MakeStore(""); },
         {'g', "app", "Rules"},
         15,
         Root(),
         "no store for content type Rules: " + sandbox.BaseDir() +
             "/tvlxdata/rules does not exist (qordefutil -i DIR Rules creates it)"},
        {"UninstallUnregistered",
         [](DiagnosticsTest* t) { t->MakeStore(""); },
         {'u', "nobody", nullptr},
         6,
         Root(),
         "nobody is not registered in " + usage + ": qordefutil -n nobody"},
        {"NewestWithoutSets",
         [](DiagnosticsTest* t) { MakeDirs(t->defs); },
         {'n', "app", nullptr},
         10,
         Root(),
         "no definitions are installed in " + defs + ": install a set with qordefutil -i DIR"},
        {"StuckGuard",
         [](DiagnosticsTest* t) {
             t->MakeStore("");
             WriteTextFile(t->defs + "/sflock.dat.l2", "");
         },
         {'m', "Product", nullptr},
         17,
         Root(),
         "stuck lock guard " + defs +
             "/sflock.dat.l2: when no qordefutil is running, remove it (rm '" + defs +
             "/sflock.dat.l2')"},
        {"InstallFromNoDirectory",
         nullptr,
         {'i', "/nonexistent/set", nullptr},
         11,
         Root(),
         "/nonexistent/set is not a directory"},
        {"InstallBadHeader",
         [](DiagnosticsTest* t) {
             WriteSet(t->sets + "/bad", SetSpec(DefDate{2010, 13, 1, 1}));
         },
         {'i', nullptr, nullptr},
         3,
         Root(),
         sets + "/bad/virscan1.dat has no valid date in its header"},
        {"InstallIncomplete",
         [](DiagnosticsTest* t) { WriteSet(t->sets + "/part", SetSpec(kNew, {}, {"defs2.dat"})); },
         {'i', nullptr, nullptr},
         3,
         Root(),
         "the set in " + sets +
             "/part is incomplete: catalog.dat lists defs2.dat, which is missing"},
        {"RestoreWithoutPrevious",
         [](DiagnosticsTest* t) { t->MakeStore(""); },
         {'r', nullptr, nullptr},
         0,
         Root(),
         noRestore + "definfo.dat names no previous set"},
        {"RestoreToItself",
         [](DiagnosticsTest* t) { t->MakeStore(kCurName); },
         {'r', nullptr, nullptr},
         0,
         Root(),
         noRestore + "the previous set is the newest one, " + kCurName},
        {"RestoreToDeletedSet",
         [](DiagnosticsTest* t) { t->MakeStore(kOldName); },
         {'r', nullptr, nullptr},
         0,
         Root(),
         noRestore + "the previous set " + kOldName + " is no longer in " + defs},
        {"RestoreWithoutStore",
         nullptr,
         {'r', nullptr, nullptr},
         0,
         Root(),
         noRestore + "no definitions are installed in " + defs},
        {"InstallOlder",
         [](DiagnosticsTest* t) { t->MakeStore(""); },
         {'i', nullptr, nullptr},
         0,
         Root(),
         "not installed: the set in " + sets + "/old (" + kOldName +
             ") is older than the newest, " + kCurName},
        {"InstallSame",
         [](DiagnosticsTest* t) {
             t->MakeStore("");
             WriteSet(t->sets + "/same", SetSpec(kCur));
         },
         {'i', nullptr, nullptr},
         0,
         Root(),
         "not installed: the set in " + sets + "/same (" + kCurName + ") is already the newest"},
        // Nothing to add: the name was refused with its own message, or
        // the command did what was asked.
        {"RefusedAppId", nullptr, {'g', "a=b", nullptr}, 5, Root(), ""},
        {"RefusedContentType", nullptr, {'n', "app", ".."}, 15, Root(), ""},
        {"NewestWorked",
         [](DiagnosticsTest* t) { t->MakeStore(""); },
         {'n', "app", nullptr},
         0,
         Root(),
         ""},
        {"NoCommand", nullptr, {'\0', nullptr, nullptr}, 5, Root(), ""},
    };
    // The -i rows name their source directory by the row's name.
    const std::vector<std::pair<std::string, std::string>> sources = {
        {"InstallBadHeader", sets + "/bad"},
        {"InstallIncomplete", sets + "/part"},
        {"InstallOlder", sets + "/old"},
        {"InstallSame", sets + "/same"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(sandbox.BaseDir());
        RemoveTree(sets);
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "\n");
        sandbox.SetGroupName(group);
        if (row.setup)
            row.setup(this);
        DiagnosedCommand command = row.command;
        for (const auto& source : sources)
            if (source.first == row.name)
                command.pszValue = source.second.c_str();
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
    std::vector<char*> argv{const_cast<char*>("qordefutil")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDOUT_FILENO);
        execv(QDU_SANDBOX_CLI, argv.data());
        _exit(127);
    }
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
        const char* name;
        std::function<void(DiagnosticsTest*)> setup;
        std::vector<std::string> args;
        int status;
        std::string piped;     // standard error through a pipe, as scripts see it
        std::string terminal;  // the line added at a terminal
    } rows[] = {
        {"NothingToRestore",
         [](DiagnosticsTest* t) { t->MakeStore(""); },
         {"-r"},
         0,
         "",
         "qordefutil: nothing to restore: definfo.dat names no previous set\n"},
        {"OlderSet",
         [](DiagnosticsTest* t) { t->MakeStore(""); },
         {"-i", sets + "/old"},
         0,
         "",
         "qordefutil: not installed: the set in " + sets + "/old (" + kOldName +
             ") is older than the newest, " + kCurName + "\n"},
        {"NoBaseDir",
         [](DiagnosticsTest* t) { t->sandbox.WriteTarvolixConf("[Tarvolix Shared]\n"); },
         {"-g", "app"},
         5,
         noInit,
         noInit + "qordefutil: " + sandbox.TarvolixConf() +
             " has no BaseDir in [Tarvolix Shared]\n"},
        {"Registered", [](DiagnosticsTest* t) { t->MakeStore(""); }, {"-n", "app"}, 0, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(sandbox.BaseDir());
        RemoveTree(sets);
        sandbox.WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + sandbox.BaseDir() + "\n");
        row.setup(this);
        CliResult piped = RunCli(row.args);
        EXPECT_EQ(piped.status, row.status);
        EXPECT_EQ(piped.err, row.piped);
        CliResult shown = RunOnTerminal(row.args);
        EXPECT_EQ(shown.status, row.status);
        // An install's copy progress comes first; its own test checks it.
        size_t progress = shown.err.find("\rqordefutil: copied ");
        if (progress != std::string::npos)
            shown.err.erase(progress, shown.err.find('\n', progress) + 1 - progress);
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
