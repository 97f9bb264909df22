// Option table, parser and dispatch of the command line.
#include <cstdio>
#include <cstring>

#include "cli/diagnostics.h"
#include "cli/handlers.h"
#include "cli/qordefutil.h"
#include "updater/command_result.h"

const char g_szProgramName[] = "qordefutil";
const char g_szVersion[] = "3.1.36.0";
const char g_szVersionCopyright[] = "qordefutil version:  %s \t%s\n";
const char g_copyRight[] = "Copyright (C) 2004-2026 Tarvolix. All rights reserved.";
const char g_szUsage[] = "type qordefutil -h for full parameter list.\n";

// The sizes count the terminator; the checks below keep them honest.
constexpr OptionEntry g_aOptions[OPTION_COUNT] = {
    {nullptr, 0, "--versiononly", 14, ARG_NONE},
    {"-v", 3, "--version", 10, ARG_NONE},
    {"-h", 3, "--help", 7, ARG_NONE},
    {"-g", 3, "--getcurrentdefs", 17, ARG_REQUIRED},
    {"-i", 3, "--install", 10, ARG_REQUIRED},
    {"-u", 3, "--uninstall", 12, ARG_REQUIRED},
    {"-l", 3, "--skyfetcher", 13, ARG_OPTIONAL},
    {"-n", 3, "--newest", 9, ARG_REQUIRED},
    {"-m", 3, "--mdefs", 8, ARG_REQUIRED},
    {"-r", 3, "--restorelastdefs", 18, ARG_OPTIONAL},
    {"-R", 3, "--registerproduct", 18, ARG_REQUIRED},
    {"-U", 3, "--unregisterproduct", 20, ARG_REQUIRED},
};

namespace {

// Rows of g_aOptions, by position.
enum OptionRow {
    ROW_VERSIONONLY,
    ROW_VERSION,
    ROW_HELP,
    ROW_GETCURRENTDEFS,
    ROW_INSTALL,
    ROW_UNINSTALL,
    ROW_SKYFETCHER,
    ROW_NEWEST,
    ROW_MDEFS,
    ROW_RESTORELASTDEFS,
    ROW_REGISTERPRODUCT,
    ROW_UNREGISTERPRODUCT,
    ROW_COUNT
};
static_assert(ROW_COUNT == OPTION_COUNT, "one row name per option");

constexpr uint32_t TerminatedSize(const char* psz)
{
    if (psz == nullptr)
        return 0;
    uint32_t n = 1;
    while (*psz++ != '\0') ++n;
    return n;
}

// Also catches a row left out, which would be zero-filled.
constexpr bool OptionSizesMatch()
{
    for (const OptionEntry& row : g_aOptions) {
        if (row.pszLong == nullptr || row.nShortSize != TerminatedSize(row.pszShort) ||
            row.nLongSize != TerminatedSize(row.pszLong))
            return false;
    }
    return true;
}
static_assert(OptionSizesMatch(), "an option's size does not match its name");

// The name as invoked (argv[0]), not g_szProgramName: the parse messages
// show what the user typed.
const char* g_pszInvokedName = nullptr;

const char* OrNull(const char* psz)
{
    return psz != nullptr ? psz : "<null>";
}

// Advancing past the stop argument ends the parse.
void Advance(char*** pppCursor, char** ppszStop, int nSteps)
{
    for (int i = 0; i < nSteps && *pppCursor != nullptr; ++i) {
        if (*pppCursor == ppszStop)
            *pppCursor = nullptr;
        else
            ++*pppCursor;
    }
}

const OptionEntry* FindOption(const char* pszArg)
{
    if (pszArg == nullptr)
        return nullptr;
    for (const OptionEntry& row : g_aOptions) {
        if (row.pszShort != nullptr && strcmp(row.pszShort, pszArg) == 0)
            return &row;
        if (strcmp(row.pszLong, pszArg) == 0)
            return &row;
    }
    return nullptr;
}

struct CommandMessage {
    CommandResult eResult;
    const char* pszText;
};

// Indexed by the result; the row's own code guards the order.
constexpr CommandMessage kCommandMessages[] = {
    {kCmdOk, nullptr},
    {kCmdInstallInitFailed, "Failure in initialization while installing definitions"},
    {kCmdPreUpdateFailed, "Failure in creating the temporary structure before definitions update"},
    {kCmdPostUpdateFailed, "Failure in post processing of definitions during update"},
    {kCmdCurrentDefsFailed, "Failure in getting the location of current definitions"},
    {kCmdAppInitFailed, "Failure in initializing the application"},
    {kCmdUninstallFailed, "Failure in uninstalling an application from using definitions"},
    {kCmdNoClassPath, "No CLASSPATH set"},
    {kCmdNoBaseDir, "No BASEDIR set"},
    {kCmdUpdateClientFailed, "Problem with Skyfetcher"},
    {kCmdNewestFailed, "Failure in installing the application with the newest defintions"},
    {kCmdCopyFailed, "Failure in copying the definitions"},
    {kCmdNoJava, "Could not find a \"java\" command to execute"},
    {kCmdSequenceFailed, "Failure in getting the sequence id of the newest definitions"},
    {kCmdMicroDefPostUpdateFailed, "Failure in post processing of micro definitions during update"},
    {kCmdNoContentType, "The specified content type could not be found"},
    {kCmdClientAndMicroDefPostFailed, "Both the Skyfetcher and post microdef clean have failed"},
    {kCmdMicroDefPreUpdateFailed, "Failure in pre processing of micro definitions before update"},
};
static_assert(sizeof kCommandMessages / sizeof kCommandMessages[0] == kCmdResultCount,
              "one message per command result");

constexpr bool MessagesInResultOrder()
{
    for (int i = 0; i < kCmdResultCount; ++i) {
        if (kCommandMessages[i].eResult != i)
            return false;
    }
    return true;
}
static_assert(MessagesInResultOrder(), "message rows out of order");

void PrintHelp()
{
    // One write per line; the trailing blanks and tabs are part of the text.
    printf(g_szVersionCopyright, g_szVersion, g_copyRight);
    printf("%s\n", g_szProgramName);
    printf("\t-h/--help   \n");
    printf("\t\t  To print this help page: the summary of all command line options.\n");
    printf("\t-g/--getcurrentdefs <AppId> [Content Type]    \t\n");
    printf("\t\t  To print information about the definitions in use by this <AppId>.\n");
    printf("\t-i/--install <srcdir> [Content Type] \n");
    printf("\t\t  To install definitions from <srcdir> to a shared def directory.\n");
    printf("\t-l/--skyfetcher      \n");
    printf("\t\t  To update definitions from internet.\n");
    printf("\t-n/--newest\t<AppId> [Content Type]      \t\n");
    printf("\t\t  To register AppId with the newest (or newly installed) definition set.\n");
    printf("\t-u/--uninstall\t<AppId> [Content Type] \n");
    printf("\t\t  To decrement usage count and remove unused definitions.\n");
    printf("\t-m/--mdefs <product_name> [Content Type] \n");
    printf("\t\t  To download microdefs package for this product_name. \n");
    printf("\t-r/--restorelastdefs [Content Type]      \n");
    printf("\t\t  To restore the last definitions to be the latest. \n");
    printf("\t-R/--registerproduct\t<product_name> \n");
    printf("\t\t  To register this <product_name> with Skyfetcher. \n");
    printf("\t-U/--unregisterproduct\t<product_name> \n");
    printf("\t\t  To unregister this <product_name> from Skyfetcher. \n");
    printf("\t-v/--version        \n");
    printf("\t\t  To print this tool's version number and copyright to stdout.\n");
    printf("\t--versiononly \n");
    printf("\t\t  To print this tool's version number to stdout.\n");
}

}  // namespace

const OptionEntry* ParseOption(char*** pppCursor, char** ppszStop, bool bReport, char** ppszValue,
                               int* pnStatus)
{
    if (*pppCursor == nullptr)
        return nullptr;
    *ppszValue = nullptr;
    *pnStatus = 0;

    char** ppszArg = *pppCursor;
    const OptionEntry* pRow = FindOption(*ppszArg);
    if (pRow == nullptr) {
        if (bReport) {
            fprintf(stderr, "%s: unrecognized option '%s'. See --help.\n", OrNull(g_pszInvokedName),
                    OrNull(*ppszArg));
        }
        *pppCursor = nullptr;
        *pnStatus = -1;
        return nullptr;
    }
    if (pRow->nArgMode == ARG_NONE) {
        Advance(pppCursor, ppszStop, 1);
        return pRow;
    }

    // The next argument is a value unless it parses as an option itself.
    // The look-ahead sits on the stop argument, where a required-value
    // option cannot find its own value, so only the names of ARG_OPTIONAL
    // and ARG_NONE options are refused as values.
    char* pszValue = nullptr;
    if (ppszArg != ppszStop) {
        char** ppszLook = ppszArg + 1;
        char* pszLookValue = nullptr;
        int nLookStatus = 0;
        if (ParseOption(&ppszLook, ppszStop, false, &pszLookValue, &nLookStatus) == nullptr)
            pszValue = ppszArg[1];
    }

    if (pRow->nArgMode == ARG_OPTIONAL) {
        Advance(pppCursor, ppszStop, pszValue != nullptr ? 2 : 1);
        *ppszValue = pszValue;
        return pRow;
    }
    if (pszValue != nullptr) {
        Advance(pppCursor, ppszStop, 2);
        *ppszValue = pszValue;
        return pRow;
    }
    if (bReport) {
        fprintf(stderr, "%s: required option missing for '%s'. See --help.\n",
                OrNull(g_pszInvokedName), OrNull(*ppszArg));
    }
    *pppCursor = nullptr;
    *pnStatus = -1;
    return nullptr;
}

const CommandHandlers& DefaultCommandHandlers()
{
    static const CommandHandlers handlers = {
        DoGetCurrentDefs, DoInstall,         DoUninstall,       DoSkyfetcher,        DoNewest,
        DoMicroDefs,      DoRestoreLastDefs, DoRegisterProduct, DoUnregisterProduct,
    };
    return handlers;
}

int QorDefUtilMain(int argc, char** argv, const CommandHandlers& handlers)
{
    g_pszInvokedName = argc > 0 ? argv[0] : nullptr;

    // Only the first two arguments are parsed; the content type is read
    // directly from its position below.
    char** ppszCursor = argc >= 2 ? &argv[1] : nullptr;
    char** ppszStop = argc >= 3 ? &argv[2] : &argv[1];
    int nStatus = 0;
    bool abSeen[OPTION_COUNT] = {};
    char* pszShared = nullptr;
    char* pszInstallDir = nullptr;
    char* pszSkyfetcherValue = nullptr;

    char* pszValue = nullptr;
    while (const OptionEntry* pRow =
               ParseOption(&ppszCursor, ppszStop, true, &pszValue, &nStatus)) {
        int nRow = static_cast<int>(pRow - g_aOptions);
        abSeen[nRow] = true;
        switch (nRow) {
            case ROW_GETCURRENTDEFS:
            case ROW_UNINSTALL:
            case ROW_NEWEST:
            case ROW_MDEFS:
            case ROW_REGISTERPRODUCT:
            case ROW_UNREGISTERPRODUCT:
                pszShared = pszValue;
                break;
            case ROW_INSTALL:
                pszInstallDir = pszValue;
                break;
            case ROW_SKYFETCHER:
                pszSkyfetcherValue = pszValue;
                break;
            default:
                break;
        }
    }
    if (nStatus == -1)
        return -1;
    if (argc < 2) {
        fprintf(stderr, "%s: Arguments required. See --help.\n", OrNull(g_pszInvokedName));
        return -1;
    }

    if (abSeen[ROW_VERSION]) {
        fprintf(stderr, g_szVersionCopyright, g_szVersion, g_copyRight);
        if (!abSeen[ROW_HELP])
            return kCmdOk;
    }
    if (abSeen[ROW_VERSIONONLY]) {
        printf("%s\n", g_szVersion);
        if (!abSeen[ROW_HELP])
            return kCmdOk;
    }
    if (abSeen[ROW_HELP]) {
        PrintHelp();
        return kCmdOk;
    }

    // At a terminal only: one line more on why a command failed or did nothing.
    CCommandDiagnostics diagnostics(argc, argv);
    const char* pszContentType = argc >= 4 ? argv[3] : nullptr;
    int nResult = kCmdOk;
    if (abSeen[ROW_GETCURRENTDEFS])
        nResult = handlers.getCurrentDefs(pszShared, pszContentType);
    if (abSeen[ROW_INSTALL])
        nResult = handlers.install(pszInstallDir, pszContentType);
    if (abSeen[ROW_UNINSTALL])
        nResult = handlers.uninstall(pszShared, pszContentType);
    if (abSeen[ROW_SKYFETCHER])
        nResult = handlers.skyfetcher(pszSkyfetcherValue);
    if (abSeen[ROW_NEWEST])
        nResult = handlers.newest(pszShared, pszContentType);
    if (abSeen[ROW_MDEFS])
        nResult = handlers.microDefs(pszShared, pszContentType);
    if (abSeen[ROW_RESTORELASTDEFS])
        nResult = handlers.restoreLastDefs(argc >= 3 ? argv[2] : nullptr);
    // The product-registration commands only print; their results are not kept.
    if (abSeen[ROW_REGISTERPRODUCT])
        handlers.registerProduct(pszShared);
    if (abSeen[ROW_UNREGISTERPRODUCT])
        handlers.unregisterProduct();

    if (nResult == kCmdOk) {
        diagnostics.Report(kCmdOk);
        return kCmdOk;
    }
    if (nResult > kCmdOk && nResult < kCmdResultCount)
        fprintf(stderr, "Command failed: %s.\n", kCommandMessages[nResult].pszText);
    else
        fprintf(stderr, "Command failed: An unspecified error occured.\n");
    diagnostics.Report(nResult);
    return nResult;
}
