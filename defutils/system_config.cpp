#include "defutils/system_config.h"

#ifdef QDU_SANDBOX_BUILD
#include <time.h>

#include <cstdlib>
#include <cstring>

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

void DuTestPause(const char* pszPoint)
{
    const char* pszWanted = getenv("QORDEFUTIL_SANDBOX_PAUSE");
    const char* pszMs = getenv("QORDEFUTIL_SANDBOX_PAUSE_MS");
    if (pszWanted == nullptr || pszMs == nullptr || strcmp(pszWanted, pszPoint) != 0)
        return;
    long ms = strtol(pszMs, nullptr, 10);
    struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}

time_t DuCurrentTime()
{
    const char* pszNow = getenv("QORDEFUTIL_SANDBOX_NOW");
    if (pszNow == nullptr || *pszNow == '\0')
        return time(nullptr);
    return static_cast<time_t>(strtoll(pszNow, nullptr, 10));
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

void DuTestPause(const char*) {}

time_t DuCurrentTime()
{
    return time(nullptr);
}

#endif
