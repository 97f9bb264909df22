// The command line through the real program: help, version, parse errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/cli_runner.h"
#include "tests/support/sandbox.h"

namespace {

const std::string kVersionLine =
    "qordefutil version:  3.1.36.0 \tCopyright (C) 2004-2026 Tarvolix. All rights reserved.\n";

// The whole help page, byte for byte, trailing blanks and tabs included.
const std::string kHelp = kVersionLine +
    "qordefutil\n"
    "\t-h/--help   \n"
    "\t\t  To print this help page: the summary of all command line options.\n"
    "\t-g/--getcurrentdefs <AppId> [Content Type]    \t\n"
    "\t\t  To print information about the definitions in use by this <AppId>.\n"
    "\t-i/--install <srcdir> [Content Type] \n"
    "\t\t  To install definitions from <srcdir> to a shared def directory.\n"
    "\t-l/--skyfetcher      \n"
    "\t\t  To update definitions from internet.\n"
    "\t-n/--newest\t<AppId> [Content Type]      \t\n"
    "\t\t  To register AppId with the newest (or newly installed) definition set.\n"
    "\t-u/--uninstall\t<AppId> [Content Type] \n"
    "\t\t  To decrement usage count and remove unused definitions.\n"
    "\t-m/--mdefs <product_name> [Content Type] \n"
    "\t\t  To download microdefs package for this product_name. \n"
    "\t-r/--restorelastdefs [Content Type]      \n"
    "\t\t  To restore the last definitions to be the latest. \n"
    "\t-R/--registerproduct\t<product_name> \n"
    "\t\t  To register this <product_name> with Skyfetcher. \n"
    "\t-U/--unregisterproduct\t<product_name> \n"
    "\t\t  To unregister this <product_name> from Skyfetcher. \n"
    "\t-v/--version        \n"
    "\t\t  To print this tool's version number and copyright to stdout.\n"
    "\t--versiononly \n"
    "\t\t  To print this tool's version number to stdout.\n";

// Parse errors name the program as invoked.
std::string Bad(const std::string& what)
{
    return "./bin/qdu: " + what + ". See --help.\n";
}

TEST(CommandLine, PrintsExactlyAndExits)
{
    const std::string missingG = Bad("required option missing for '-g'");
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } kCases[] = {
        {"NoArguments", {}, 255, "", Bad("Arguments required")},
        {"HelpLong", {"--help"}, 0, kHelp, ""},
        {"VersionThenHelp", {"-v", "-h"}, 0, kHelp, kVersionLine},
        {"VersionOnlyHelp", {"--versiononly", "-h"}, 0, "3.1.36.0\n" + kHelp, ""},
        {"VersionOnly", {"--versiononly"}, 0, "3.1.36.0\n", ""},
        {"VersionStopsUpdate", {"--version", "-l"}, 0, "", kVersionLine},
        {"RequiredValueMissing", {"-g"}, 255, "", missingG},
        {"HelpRefusedAsValue", {"-g", "-h"}, 255, "", missingG},
        {"OptionalRefusedAsValue", {"-u", "--skyfetcher"}, 255, "",
         Bad("required option missing for '-u'")},
        {"ExtraAfterHelp", {"-h", "extra"}, 255, "", Bad("unrecognized option 'extra'")},
        {"UnknownFirst", {"-x"}, 255, "", Bad("unrecognized option '-x'")},
        {"JoinedLongValue", {"--install=/d"}, 255, "", Bad("unrecognized option '--install=/d'")},
        {"ThirdArgumentNeverParsed", {"-v", "--versiononly", "-x"}, 0, "", kVersionLine},
        {"RegisterProduct", {"-R", "Prod"}, 0, "registering internal Prod", ""},
        {"UnregisterProduct", {"-U", "Prod"}, 0, "unregistering internal", ""},
    };
    Sandbox sandbox;
    CliOptions options;
    options.argv0 = "./bin/qdu";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        CliResult r = RunCli(c.args, options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

// The shipped program must carry the /etc names and no trace of the
// sandbox variables.
TEST(ShippedProgram, UsesOnlyTheMachinePaths)
{
    std::string image = ReadTextFile(QDU_PRODUCTION_CLI);
    EXPECT_NE(image.find("/etc/Tarvolix.conf"), std::string::npos);
    EXPECT_NE(image.find("/etc/tvlx-defutils.conf"), std::string::npos);
    EXPECT_EQ(image.find("QORDEFUTIL_SANDBOX"), std::string::npos);
}

}  // namespace
