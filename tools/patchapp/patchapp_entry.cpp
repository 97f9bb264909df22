// The exported face of libpatchapp.so: the two factory functions and the
// objects they return, laid out as common/patch_interface.h fixes them.
//
// Everything behind the virtual calls is apply.h. No exception may cross
// these functions: the caller is C-like code that cannot catch it, so each
// entry catches everything and reports plain failure.
#include <syslog.h>

#include <new>

#include "common/patch_interface.h"
#include "tools/patchapp/apply.h"

#define PATCHAPP_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using patchapp::ApplyRequest;
using patchapp::PaResult;

int RunApply(const char* patchDir, const char* srcDir, const char* destDir, const char* hubTempDir,
             CPatchApplicationNotify* notify)
{
    try {
        ApplyRequest req;
        req.patchDir = patchDir;
        req.srcDir = srcDir;
        req.destDir = destDir;
        req.hubTempDir = hubTempDir;
        if (notify != nullptr) {
            req.progress = [notify](uint32_t percent) {
                uint32_t cancel = 0;
                notify->OnProgress(percent, &cancel);
                return cancel == 0;
            };
        }
        PaResult rc = patchapp::ApplyPackageDirectory(req);
        if (rc != patchapp::PA_OK && rc != patchapp::PA_E_CANCELLED)
            syslog(LOG_USER | LOG_ERR, "libpatchapp: applying %s failed: %s\n",
                   patchDir != nullptr ? patchDir : "<null>", patchapp::PaResultName(rc));
        return rc == patchapp::PA_OK ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

class CPatchApp final : public IPatchApplication {
public:
    uint32_t Release() override
    {
        delete this;
        return 0;
    }
    int ApplyPatch(const char* pszPatchDir, const char* pszSrcDir, const char* pszDestDir,
                   CPatchApplicationNotify* pNotify) override
    {
        return RunApply(pszPatchDir, pszSrcDir, pszDestDir, nullptr, pNotify);
    }
};

class CPatchApp30 final : public IPatchApplication30 {
public:
    uint32_t Release() override
    {
        delete this;
        return 0;
    }
    uint32_t Reserved1() override { return 0; }
    uint32_t Reserved2() override { return 0; }
    int ApplyPatch(const char* pszPatchDir, const char* pszSrcDir, const char* pszDestDir,
                   const char* pszHubTempDir, CPatchApplicationNotify* pNotify) override
    {
        return RunApply(pszPatchDir, pszSrcDir, pszDestDir, pszHubTempDir, pNotify);
    }
};

}  // namespace

PATCHAPP_EXPORT IPatchApplication* CreatePatchApplicationInstance()
{
    return new (std::nothrow) CPatchApp();
}

PATCHAPP_EXPORT IPatchApplication30* CreatePatchApplication30Instance()
{
    return new (std::nothrow) CPatchApp30();
}
