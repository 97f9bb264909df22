// Microdefs end to end: the stand-in client delivers real delta packages that
// the reference patch library applies (its own failures are unit tested).
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "cli/console_progress.h"
#include "cli/microdefs_command.h"
#include "platform/profile.h"
#include "tests/support/cli_runner.h"
#include "tests/support/hub_set.h"

namespace {

typedef std::vector<std::string> Strings;

// A package for the current set wins over a hub package and leaves the hub
// alone. A bad hub is announced on the error channel without sequences; one
// more than ten months old on ".Old". No run leaves a temporary directory or
// a lock it took.
TEST(MicroDefs, UpdatesOrReportsAndCleansUp)
{
    const SetDate kOlder = {2020, 1, 10, 5}, kNewer = {2020, 2, 3, 1};
    const struct {
        const char* name;
        int status;
        const char* message;  // between "Command failed: " and ".\n"; null: none
        int lastBinUpdate;    // afterwards
        bool clientRan, moved;
        std::string channel = "";  // the hub's; every run asks for the current set's too
    } kCases[] = {
        {"HubPackage", 0, nullptr, 1, true, true, "Jan"},
        {"HubAndDirectPackages", 0, nullptr, 1, true, true, "Jan"},
        {"BadHub", 0, nullptr, 1, true, false, "Error"},  // its files copied again
        {"OldHub", 0, nullptr, 1, true, false, "Old"},
        {"ClientFails", 9, "Problem with Skyfetcher", 1, true, false, "Jan"},
        {"PackageForAnotherBase", 14,
         "Failure in post processing of micro definitions during update", 0, true, false, "Jan"},
        {"ClientFailsAndHubVanishes", 16, "Both the Skyfetcher and post microdef clean have failed",
         1, true, false, "Jan"},
        {"ClientLockHeld", 17, "Failure in pre processing of micro definitions before update", 1,
         false, false},
        {"UnknownContentType", 15, "The specified content type could not be found", 1, false,
         false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string name = c.name;
        Sandbox sandbox;
        const std::string defs = sandbox.DefsDir(), record = sandbox.Path("java.rec");
        const std::string libDir = sandbox.Path("lib"), hubPackages = sandbox.Path("hubpkg");
        const std::string setA = sandbox.Path("setA"), setB = sandbox.Path("setB");
        auto lastBinUpdate = [&] {
            return GetPrivateProfileInt("tvlxdata-shareddefs-microdefs", "LastBinUpdate", -1,
                                        sandbox.DefutilsConf().c_str());
        };
        // A package, and the marker script by which the store knows its kind.
        auto makePackage = [](const std::string& from, const std::string& to,
                              const std::string& dir, bool hub) {
            MakeDirs(dir);
            WriteTextFile(dir + (hub ? "/hub.scr" : "/cur.scr"), "apply\n");
            std::string command = std::string(QDU_MKMICRODEFS) + (hub ? " --hub " : " ") + from +
                                  " " + to + " " + dir + "/update.mdp >/dev/null 2>&1";
            EXPECT_EQ(system(command.c_str()), 0) << command;
        };
        WriteHubSet(setA, kOlder);
        WriteHubSet(setB, kNewer);
        MakeDirs(libDir);
        ASSERT_EQ(symlink(QDU_PATCHAPP_LIBRARY, (libDir + "/libpatchapp.so").c_str()), 0);
        ASSERT_EQ(RunCli({"-i", setA}).status, 0);
        ASSERT_EQ(lastBinUpdate(), 1);
        const std::string hubMain = defs + "/binhub/virscan1.dat",
                          hubBefore = ReadTextFile(hubMain);
        // Mid-March 2020 in every time zone: the hub's January set is recent.
        CliOptions options;
        options.env = {"PATH=" + std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin",
                       "FAKE_JAVA_RECORD=" + record, "LD_LIBRARY_PATH=" + libDir,
                       "QORDEFUTIL_SANDBOX_NOW=1584273600"};
        Strings args = {"-m", "\"Quoted Prod\""};
        if (name.compare(0, 3, "Hub") == 0) {
            makePackage(setA, setB, hubPackages, true);
            options.env.push_back("FAKE_JAVA_HUB_FROM=" + hubPackages);
        }
        if (name == "HubAndDirectPackages") {
            makePackage(defs + "/" + kOlder.DirName(), setB, sandbox.Path("cur"), false);
            options.env.push_back("FAKE_JAVA_DIRECT_FROM=" + sandbox.Path("cur"));
        }
        if (name == "BadHub")
            sandbox.WriteDefutilsConf("[tvlxdata-shareddefs-microdefs]\nLastBinUpdate=0\n");
        if (name == "OldHub")
            WriteTextFile(hubMain, SetDate{2018, 12, 1, 0}.Header());
        if (name.compare(0, 11, "ClientFails") == 0)
            options.env.push_back("FAKE_JAVA_EXIT=3");
        if (name == "PackageForAnotherBase") {  // made against B, applied to a hub holding A
            makePackage(setB, setA, hubPackages, true);
            options.env.push_back("FAKE_JAVA_HUB_FROM=" + hubPackages);
        }
        if (name == "ClientFailsAndHubVanishes")
            options.env.push_back("FAKE_JAVA_REMOVE=" + defs + "/binhub");
        if (name == "ClientLockHeld")
            WriteTextFile(defs + "/sflock.dat", "");
        if (name == "UnknownContentType")
            args.push_back("Mail");

        CliResult r = RunCli(args, options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.message ? std::string("Command failed: ") + c.message + ".\n" : "");
        EXPECT_EQ(lastBinUpdate(), c.lastBinUpdate);
        EXPECT_EQ(DefInfoValue(defs, "CurDefs"), (c.moved ? kNewer : kOlder).DirName());
        for (const std::string& entry : ListDir(defs))
            EXPECT_NE(entry.compare(0, 3, "tmp"), 0) << entry;
        EXPECT_EQ(PathExists(defs + "/sflock.dat"), name == "ClientLockHeld");
        if (c.moved) {
            EXPECT_EQ(PrefixedLines(r.out).back(), "100.000000%") << "the library's progress";
            EXPECT_EQ(ReadTextFile(hubMain),
                      name == "HubPackage" ? ReadTextFile(setB + "/virscan1.dat") : hubBefore);
        }
        EXPECT_EQ(PathExists(record), c.clientRan);
        if (c.clientRan) {  // the three argument groups, quotes removed
            const std::string channel = "MicroDefsB." + c.channel;
            const std::string cur = c.channel == "Error" ? "0" : "200110005";
            const std::string hub = c.channel == "Old" ? "181201000" : cur;
            Strings expected = {"Skyfetcher"};
            for (const Strings& g :
                 {Strings{channel, "HubDefs", hub}, Strings{channel, "CurDefs", cur},
                  Strings{"MicroDefsB.CurDefs", "CurDefs", cur}})
                expected.insert(expected.end(), {"[", "-p", "Quoted Prod", "-v", g[0], "-l",
                                                 "TvlAllLanguages", "-t", g[1], "-z", g[2], "]"});
            EXPECT_EQ(PrefixedLines(ReadTextFile(record), "arg "), expected);
        }
    }
}

TEST(ArgumentText, LongGroupsAreCutAt8189Characters)
{
    // Each group alone fits its 4095-byte buffer; the three together do not.
    std::string product(3000, 'p');
    char text[MICRODEF_ARGUMENT_TEXT_SIZE + 16];
    memset(text, 'X', sizeof text);
    BuildMicroDefArgumentText(product.c_str(), "c", "0", "0", text, MICRODEF_ARGUMENT_TEXT_SIZE);
    EXPECT_EQ(strlen(text), 8189u);
    EXPECT_EQ(text[MICRODEF_ARGUMENT_TEXT_SIZE], 'X');
    char group[4095];
    BuildMicroDefArguments(product.c_str(), "c", "HubDefs", "0", group, sizeof group);
    EXPECT_EQ(std::string(text, strlen(group)), group);
}

// The value goes through single precision, so large values round.
TEST(ConsoleProgress, PrintsSinglePrecisionPercentAndNeverCancels)
{
    CQorDefUtilProgress progress;
    bool cancel = false;
    testing::internal::CaptureStdout();
    progress.OnProgress(33.3333333333, &cancel);
    progress.OnProgress(4294967295.0, &cancel);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "33.333332%\n4294967296.000000%\n");
    EXPECT_FALSE(cancel);
}

}  // namespace
