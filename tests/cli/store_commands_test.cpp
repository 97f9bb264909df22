// The store commands as a user runs them, through the sandbox program.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>

#include "tests/support/cli_runner.h"
#include "tests/support/full_sets.h"

namespace {

typedef std::vector<std::string> Names;

std::string Failed(const std::string& what)
{
    return "Command failed: " + what + ".\n";
}

enum Given {
    kNone,
    kNoBaseDir,
    kStore,        // kCur newest
    kRegistered,   // and "app" registered with it
    kSetDeleted,   // but its directory gone
    kTypeStore,    // in the store of content type MyType
    kIncomplete,   // kStore, kNew waiting in incoming, one of its files missing
    kLocked,       // complete, under a lock 1700 s old
    kStaleLock,    // under a lock 1800 s old
    kBigInNewest,  // complete; big.dat in kCur, beyond the file size limit
    kBigIncoming,  // the same in kNew
};

TEST(StoreCommands, ExitStatusOutputAndResultingStore)
{
    Sandbox sandbox;
    const DefDate kCur = {2024, 1, 2, 7}, kNew = {2024, 2, 3, 5};
    const std::string kCurName = SetName(kCur), kNewName = SetName(kNew);
    const std::string kNoType = Failed("The specified content type could not be found");
    const std::string noLocation = Failed("Failure in getting the location of current definitions");
    const std::string noNewest =
        Failed("Failure in installing the application with the newest defintions");
    const std::string noUninstall =
        Failed("Failure in uninstalling an application from using definitions");
    const std::string noInit = Failed("Failure in initializing the application");
    const std::string noCopy = Failed("Failure in copying the definitions");
    const std::string noPost = Failed("Failure in post processing of definitions during update");
    const std::string cur = "/virusdefs/" + kCurName, none = "<missing>";
    // Sources to install; a FIFO must not block the copy, a subdirectory is skipped.
    const SetDate kNewer = {2025, 4, 1, 3};
    const std::string src = sandbox.Path("src/"), newer = kNewer.DirName();
    for (const char* name : {"full", "header", "fifo", "nested", "nested/set"})
        WriteSet(src + name, kNewer);
    MakeDirs(src + "empty");
    WriteTextFile(src + "header/virscan1.dat", "tiny");
    unlink((src + "fifo/defs1.dat").c_str());
    ASSERT_EQ(mkfifo((src + "fifo/defs1.dat").c_str(), 0600), 0);
    const struct {
        Given given;
        Names args;
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
    constexpr rlim_t kLimit = 64 * 1024;
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const struct rlimit limit = {kLimit, saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);  // writes beyond the limit fail with EFBIG, in the child too
    CliOptions options;
    options.env = {std::string("PATH=") + QDU_FAKE_JAVA_DIR + ":/usr/bin:/bin"};
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back() + " " + std::to_string(row.given));
        RemoveTree(sandbox.BaseDir());
        sandbox.WriteTarvolixConf(
            "[Tarvolix Shared]\n" +
            (row.given == kNoBaseDir ? "" : "BaseDir=" + sandbox.BaseDir() + "\n"));
        const std::string defs =
            row.given == kTypeStore ? sandbox.BaseDir() + "/tvlxdata/mytype" : sandbox.DefsDir();
        const std::string incoming = defs + "/incoming", set = defs + "/" + kNewName + "/";
        SetLayout current{kCur, {{"a.dat", "old a"}, {"b.dat", "old b"}, {"x.tmp", "t"}}};
        // A main file in capitals and a cleanup pattern.
        SetLayout arriving{kNew, {{"B.DAT", "new b"}}, {}, {"*.tmp"}};
        arriving.virscanName = "VIRSCAN1.DAT";
        if (row.given == kIncomplete)
            arriving.missingFiles = {"late.dat"};
        if (row.given >= kBigInNewest)
            (row.given == kBigInNewest ? current : arriving).files["big.dat"] =
                std::string(4 * kLimit, 'x');
        if (row.given >= kStore) {
            WriteSet(defs + "/" + kCurName, current);
            WriteDefInfo(defs, kCurName, kCurName);
            chmod(defs.c_str(), 0750);  // not the store's default, so inheritance shows
        }
        if (row.given >= kIncomplete)
            WriteSet(incoming, arriving);
        if (row.given >= kRegistered && row.given <= kTypeStore)
            WriteTextFile(defs + "/usage.dat", "[" + kCurName + "]\napp=1\n");
        if (row.given == kSetDeleted)
            RemoveTree(defs + "/" + kCurName);
        if (row.given == kLocked || row.given == kStaleLock) {
            const time_t when = time(nullptr) - (row.given == kLocked ? 1700 : 1800);
            WriteTextFile(incoming + "/inlock.dat", "");
            struct timeval times[2] = {{when, 0}, {when, 0}};
            utimes((incoming + "/inlock.dat").c_str(), times);
        }
        const Names currentBefore = ListDir(defs + "/" + kCurName);
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
        EXPECT_EQ(ListDir(set), (Names{"a.dat", "b.dat", "catalog.dat", "virscan1.dat"}));
        EXPECT_EQ(ReadTextFile(set + "b.dat"), "new b");
        EXPECT_EQ(PathMode(set), 0750);
    }
}

}  // namespace
