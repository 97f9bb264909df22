#include "defutils/system_config.h"

#ifdef QDU_SANDBOX_BUILD
#include <cstdlib>

namespace {
// A sandbox build with no sandbox configured must still never reach /etc.
const char* SandboxValue(const char* pszVariable, const char* pszFallback)
{
    const char* pszValue = getenv(pszVariable);
    return (pszValue != nullptr && *pszValue != '\0') ? pszValue : pszFallback;
}
}  // namespace

const char* TarvolixConfPath()
{
    return SandboxValue("QORDEFUTIL_SANDBOX_TARVOLIX_CONF", "/nonexistent-sandbox/Tarvolix.conf");
}

const char* DefutilsConfPath()
{
    return SandboxValue("QORDEFUTIL_SANDBOX_DEFUTILS_CONF",
                        "/nonexistent-sandbox/tvlx-defutils.conf");
}

const char* StoreGroupName()
{
    return SandboxValue("QORDEFUTIL_SANDBOX_GROUP", "avdefs");
}

#else

const char* TarvolixConfPath()
{
    return "/etc/Tarvolix.conf";
}

const char* DefutilsConfPath()
{
    return "/etc/tvlx-defutils.conf";
}

const char* StoreGroupName()
{
    return "avdefs";
}

#endif
