// Handler of the microdefs command.
#include "cli/microdefs_command.h"

#include <strings.h>

#include <cstdio>

#include "cli/console_progress.h"
#include "cli/diagnostics.h"
#include "cli/handlers.h"
#include "defutils/defutils.h"
#include "defutils/input_checks.h"
#include "platform/bounded.h"
#include "updater/command_result.h"
#include "updater/update_client.h"

namespace {

// Each working buffer of the command holds 4094 characters.
constexpr size_t kWorkSize = 4095;
constexpr char kPatchLibraryName[] = "libpatchapp.so";
constexpr char kErrorChannel[] = "MicroDefsB.Error";

long SequenceFromDate(WORD wYear, WORD wMonth, WORD wDay, DWORD dwRev)
{
    if (wYear < 2000 || wYear > 2100 || wMonth < 1 || wMonth > 12 || wDay < 1 || wDay > 31 ||
        dwRev > 999)
        return 0;
    return (wYear - 2000) * 10000000L + wMonth * 100000L + wDay * 1000L + static_cast<long>(dwRev);
}

void SequenceText(int nSource, const char* pszContentType, char* pszText, size_t nSize)
{
    long nSequence = 0;
    if (GetDefsSequenceNumber(&nSequence, nSource, pszContentType))
        BoundedFormat(pszText, nSize, "%ld", nSequence);
    else
        BoundedCopy(pszText, nSize, "0");
}

}  // namespace

bool GetDefsSequenceNumber(long* pnSequence, int nSource, const char* pszContentType)
{
    CDefUtils du;
    du.InitBase(pszContentType);
    WORD wYear = 0;
    WORD wMonth = 0;
    WORD wDay = 0;
    DWORD dwRev = 0;
    bool bRead;
    if (nSource == SEQUENCE_SOURCE_HUB)
        bRead = du.GetBinHubDefsDate(&wYear, &wMonth, &wDay, &dwRev);
    else if (nSource == SEQUENCE_SOURCE_NEWEST)
        bRead = du.GetNewestDefsDate(&wYear, &wMonth, &wDay, &dwRev);
    else
        return false;
    *pnSequence = bRead ? SequenceFromDate(wYear, wMonth, wDay, dwRev) : 0;
    return bRead;
}

void BuildMicroDefArguments(const char* pszProduct, const char* pszChannel, const char* pszContent,
                            const char* pszSequence, char* pszBuffer, size_t nSize)
{
    BoundedCopy(pszBuffer, nSize, " [ -p ");
    // A product already given in quotes is passed as it is.
    if (pszProduct[0] == '"') {
        BoundedAppend(pszBuffer, nSize, pszProduct);
    } else {
        BoundedAppend(pszBuffer, nSize, "\"");
        BoundedAppend(pszBuffer, nSize, pszProduct);
        BoundedAppend(pszBuffer, nSize, "\"");
    }
    const struct {
        const char* pszSwitch;
        const char* pszValue;
    } quoted[] = {
        {" -v ", pszChannel},
        {" -l ", TVLALLLANGUAGES},
        {" -t ", pszContent},
        {" -z ", pszSequence},
    };
    for (const auto& item : quoted) {
        BoundedAppend(pszBuffer, nSize, item.pszSwitch);
        BoundedAppend(pszBuffer, nSize, "\"");
        BoundedAppend(pszBuffer, nSize, item.pszValue);
        BoundedAppend(pszBuffer, nSize, "\"");
    }
    BoundedAppend(pszBuffer, nSize, " ] ");
}

void BuildMicroDefArgumentText(const char* pszProduct, const char* pszChannel,
                               const char* pszHubSequence, const char* pszNewestSequence,
                               char* pszText, size_t nSize)
{
    char aszGroups[3][kWorkSize] = {};
    BuildMicroDefArguments(pszProduct, pszChannel, HUBDEFSTYPE, pszHubSequence, aszGroups[0],
                           kWorkSize);
    BuildMicroDefArguments(pszProduct, pszChannel, CURDEFSTYPE, pszNewestSequence, aszGroups[1],
                           kWorkSize);
    BuildMicroDefArguments(pszProduct, MICRODEFCURDEFS, CURDEFSTYPE, pszNewestSequence,
                           aszGroups[2], kWorkSize);
    BoundedCopy(pszText, nSize, "");
    for (const char* pszGroup : aszGroups) BoundedAppend(pszText, nSize, pszGroup);
}

int DoMicroDefs(const char* pszProduct, const char* pszContentType)
{
    char szHubPatchDir[kWorkSize] = {};
    char szDirectPatchDir[kWorkSize] = {};
    char szChannel[kWorkSize] = {};
    char szHubSequence[kWorkSize] = {};
    char szNewestSequence[kWorkSize] = {};
    char szArguments[MICRODEF_ARGUMENT_TEXT_SIZE] = {};
    bool bHubIsOk = false;

    CCopyProgress copyProgress;  // outlives du, which reports to it
    CDefUtils du;
    copyProgress.Attach(&du);
    CUpdateClient client;
    if (pszContentType != nullptr && !du.ContentTypeExists(pszContentType)) {
        ReportRefusedContentType(pszContentType);
        return kCmdNoContentType;
    }
    // The product name goes into the client's shell command line.
    if (const char* pszWhy = DuShellValueProblem(pszProduct, true)) {
        ReportRefusedValue("product name", pszProduct, pszWhy);
        return kCmdMicroDefPreUpdateFailed;
    }
    du.InitBase(pszContentType);
    du.InitWindowsApp(pszProduct);

    if (!du.PreMicroDef25Update(szHubPatchDir, sizeof szHubPatchDir, szDirectPatchDir,
                                sizeof szDirectPatchDir, szChannel, sizeof szChannel, &bHubIsOk,
                                DU_ONLINE_UPDATE))
        return kCmdMicroDefPreUpdateFailed;

    if (bHubIsOk) {
        SequenceText(SEQUENCE_SOURCE_HUB, pszContentType, szHubSequence, sizeof szHubSequence);
        SequenceText(SEQUENCE_SOURCE_NEWEST, pszContentType, szNewestSequence,
                     sizeof szNewestSequence);
    } else if (strcasecmp(szChannel, kErrorChannel) == 0) {
        // The hub's state is unknown: announce no base at all.
        BoundedCopy(szHubSequence, sizeof szHubSequence, "0");
        BoundedCopy(szNewestSequence, sizeof szNewestSequence, "0");
    } else {
        BoundedCopy(szHubSequence, sizeof szHubSequence, "0");
        SequenceText(SEQUENCE_SOURCE_NEWEST, pszContentType, szNewestSequence,
                     sizeof szNewestSequence);
    }

    BuildMicroDefArgumentText(pszProduct, szChannel, szHubSequence, szNewestSequence, szArguments,
                              sizeof szArguments);

    bool bClientOk =
        client.RunMicroDefUpdate(szHubPatchDir, szDirectPatchDir, szArguments) == kCmdOk;

    CQorDefUtilProgress progress;
    bool bPostOk = du.PostMicroDef25Update(kPatchLibraryName, &progress, bClientOk);

    if (bClientOk)
        return bPostOk ? kCmdOk : kCmdMicroDefPostUpdateFailed;
    return bPostOk ? kCmdUpdateClientFailed : kCmdClientAndMicroDefPostFailed;
}
