// Handlers of the store commands and the product-registration commands.
#include "cli/handlers.h"

#include <cstdio>

#include "cli/diagnostics.h"
#include "defutils/defutils.h"
#include "defutils/input_checks.h"
#include "updater/command_result.h"
#include "updater/update_client.h"

namespace {
// Checks the content type, switches the store manager to it and sets the
// AppId. Returns kCmdOk to go on, else the command's result. A content type
// whose store is missing stops the command before any store operation; a
// failed InitBase does not (the store manager falls back to the default
// content).
int InitStoreForApp(CDefUtils* pDefUtils, const char* pszAppId, const char* pszContentType)
{
    if (pszContentType != nullptr && !pDefUtils->ContentTypeExists(pszContentType)) {
        ReportRefusedContentType(pszContentType);
        return kCmdNoContentType;
    }
    pDefUtils->InitBase(pszContentType);
    if (const char* pszWhy = pszAppId != nullptr ? DuAppIdProblem(pszAppId) : nullptr)
        ReportRefusedValue("AppId", pszAppId, pszWhy);
    if (!pDefUtils->InitWindowsApp(pszAppId))
        return kCmdAppInitFailed;
    return kCmdOk;
}

}  // namespace

void ReportRefusedValue(const char* pszWhat, const char* pszValue, const char* pszWhy)
{
    fprintf(stderr, "qordefutil: refused %s \"%s\": %s.\n", pszWhat,
            DuPrintableValue(pszValue).c_str(), pszWhy);
}

bool ReportRefusedContentType(const char* pszContentType)
{
    const char* pszWhy = DuContentTypeProblem(pszContentType);
    if (pszWhy != nullptr)
        ReportRefusedValue("content type", pszContentType, pszWhy);
    return pszWhy != nullptr;
}

namespace {
// The AppId under which the install command works on the store.
constexpr char kInstallAppId[] = "QORDefUtil";
}  // namespace

int DoGetCurrentDefs(const char* pszAppId, const char* pszContentType)
{
    char szCurrentDefs[DU_MAX_PATH] = {};
    CDefUtils defUtils;
    int result = InitStoreForApp(&defUtils, pszAppId, pszContentType);
    if (result != kCmdOk)
        return result;
    if (!defUtils.GetCurrentDefs(szCurrentDefs, sizeof szCurrentDefs))
        return kCmdCurrentDefsFailed;
    printf("%s\n", szCurrentDefs);
    return kCmdOk;
}

int DoInstall(const char* pszSourceDir, const char* pszContentType)
{
    CCopyProgress progress;  // outlives defUtils, which reports to it
    CDefUtils defUtils;
    progress.Attach(&defUtils);
    // No ContentTypeExists check: install is how an alternate store comes
    // into being, so a type without a store is fine here; but not a type
    // that cannot name a store.
    if (pszContentType != nullptr && ReportRefusedContentType(pszContentType))
        return kCmdInstallInitFailed;
    defUtils.InitBase(pszContentType);
    if (!defUtils.InitInstallApp(kInstallAppId, nullptr))
        return kCmdInstallInitFailed;

    int nResult = kCmdOk;
    char szUpdateDir[DU_MAX_PATH];
    if (!defUtils.PreDefUpdate(szUpdateDir, sizeof szUpdateDir, DU_INSTALL))
        nResult = kCmdPreUpdateFailed;
    else if (!defUtils.CopyDefs(pszSourceDir, szUpdateDir))
        nResult = kCmdCopyFailed;

    // Also after a failure above: it removes the temporary directory and,
    // on a first install that went wrong, the empty store. The first
    // failure is the one reported.
    if (!defUtils.PostDefUpdate(false) && nResult == kCmdOk)
        nResult = kCmdPostUpdateFailed;
    return nResult;
}

int DoUninstall(const char* pszAppId, const char* pszContentType)
{
    CDefUtils defUtils;
    int result = InitStoreForApp(&defUtils, pszAppId, pszContentType);
    if (result != kCmdOk)
        return result;
    return defUtils.StopUsingDefs() ? kCmdOk : kCmdUninstallFailed;
}

int DoSkyfetcher(const char* pszValue)
{
    if (const char* pszWhy = pszValue != nullptr ? DuShellValueProblem(pszValue) : nullptr)
        ReportRefusedValue("value of -l", pszValue, pszWhy);
    CCopyProgress progress;  // the integration of the downloaded set
    CUpdateClient client;
    return client.RunDefUpdate(pszValue, progress.ObserverAtTerminal());
}

int DoNewest(const char* pszAppId, const char* pszContentType)
{
    CDefUtils defUtils;
    int result = InitStoreForApp(&defUtils, pszAppId, pszContentType);
    if (result != kCmdOk)
        return result;
    return defUtils.UseNewestDefs(nullptr) ? kCmdOk : kCmdNewestFailed;
}

int DoRestoreLastDefs(const char* pszContentType)
{
    CDefUtils defUtils;
    if (pszContentType != nullptr && !defUtils.ContentTypeExists(pszContentType)) {
        ReportRefusedContentType(pszContentType);
        return kCmdNoContentType;
    }
    defUtils.InitBase(pszContentType);
    // Nothing to restore is not a failure of the command.
    defUtils.RestoreLastDefs();
    return kCmdOk;
}

int RegisterProductInternal(const char* pszProduct)
{
    printf("registering internal %s", pszProduct);
    return kCmdOk;
}

int UnregisterProductInternal()
{
    printf("unregistering internal");
    return kCmdOk;
}

int DoRegisterProduct(const char* pszProduct)
{
    return RegisterProductInternal(pszProduct);
}

int DoUnregisterProduct()
{
    return UnregisterProductInternal();
}
