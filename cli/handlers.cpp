// Handlers of the store commands and the product-registration commands.
#include "cli/handlers.h"

#include <cstdio>

#include "defutils/defutils.h"
#include "platform/win32_types.h"

namespace {

// Commands whose store operations are not built yet. They must never claim
// success: main reports this value as "An unspecified error occured" and the
// process exits with 255.
constexpr int kCommandNotBuilt = -1;

}  // namespace

int CommonPreamble(CDefUtils& du, const char* pszAppId, const char* pszContentType)
{
    if (pszContentType != nullptr && !du.ContentTypeExists(pszContentType))
        return 15;
    // A failed switch is not fatal: the AppId step reports what matters.
    du.InitBase(pszContentType);
    if (!du.InitWindowsApp(pszAppId))
        return 5;
    return 0;
}

int DoGetCurrentDefs(const char* pszAppId, const char* pszContentType)
{
    char szCurrentDefs[DU_MAX_PATH] = {};
    CDefUtils du;
    int nResult = CommonPreamble(du, pszAppId, pszContentType);
    if (nResult != 0)
        return nResult;
    if (!du.GetCurrentDefs(szCurrentDefs, sizeof szCurrentDefs))
        return 4;
    printf("%s\n", szCurrentDefs);
    return 0;
}

int DoInstall(const char*, const char*)
{
    return kCommandNotBuilt;
}

int DoUninstall(const char*, const char*)
{
    return kCommandNotBuilt;
}

int DoSkyfetcher(const char*)
{
    return kCommandNotBuilt;
}

int DoNewest(const char*, const char*)
{
    return kCommandNotBuilt;
}

int DoMicroDefs(const char*, const char*)
{
    return kCommandNotBuilt;
}

int DoRestoreLastDefs(const char*)
{
    return kCommandNotBuilt;
}

int RegisterProductInternal(const char* pszProduct)
{
    printf("registering internal %s", pszProduct);
    return 0;
}

int UnregisterProductInternal()
{
    printf("unregistering internal");
    return 0;
}

int DoRegisterProduct(const char* pszProduct)
{
    return RegisterProductInternal(pszProduct);
}

int DoUnregisterProduct()
{
    return UnregisterProductInternal();
}
