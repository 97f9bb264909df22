// Handlers of the store commands and the product-registration commands.
#include "cli/handlers.h"

#include <cstdio>

namespace {
// Commands whose store operations are not built yet. They must never claim
// success: main reports this value as "An unspecified error occured" and the
// process exits with 255.
constexpr int kCommandNotBuilt = -1;
}  // namespace

int DoGetCurrentDefs(const char*, const char*)
{
    return kCommandNotBuilt;
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
