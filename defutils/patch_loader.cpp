// Loading the patch library and the progress adapter.
#include "defutils/patch_loader.h"

#include <dlfcn.h>
#include <syslog.h>

#include "defutils/store_internal.h"

void CDefUtilsProgress::OnProgress(uint32_t nProgress, uint32_t* pnCancel)
{
    if (pnCancel == nullptr)
        return;
    *pnCancel = 0;
    if (m_pProgress == nullptr)
        return;
    bool bCancel = false;
    m_pProgress->OnProgress(static_cast<double>(nProgress), &bCancel);
    if (bCancel)
        *pnCancel = 1;
}

DuResult CDefUtils::CreatePatchAppInstance(const char* pszDllName, void** phDll,
                                           IPatchApplication** ppObjPatchApp,
                                           IPatchApplication30** ppObjPatchApp30)
{
    *phDll = dlopen(pszDllName, RTLD_LAZY);
    if (*phDll == nullptr) {
        WriteLog(
            "CDefUtils::CreatePatchAppInstance() - Failed to load %s; returning DU_E_MISSING_PATCH_DLL\n",
            OrNull(pszDllName));
        syslog(LOG_ERR | LOG_USER, "%s", "Failed to load the patchapp.\n");
        return DU_E_MISSING_PATCH_DLL;
    }

    // dlsym hands back an object pointer; converting it to a function
    // pointer is what POSIX guarantees to work.
    if (void* pfn30 = dlsym(*phDll, "CreatePatchApplication30Instance")) {
        *ppObjPatchApp30 = reinterpret_cast<PFN_CreatePatchApplication30Instance>(pfn30)();
        WriteLog(
            "CDefUtils::CreatePatchAppInstance(hDll: %s, ppObjPatchApp30: %s) - returning DU_S_OK\n",
            PaddedPointerText(*phDll).c_str(), PaddedPointerText(*ppObjPatchApp30).c_str());
        return DU_S_OK;
    }
    if (void* pfn = dlsym(*phDll, "CreatePatchApplicationInstance")) {
        *ppObjPatchApp = reinterpret_cast<PFN_CreatePatchApplicationInstance>(pfn)();
        WriteLog(
            "CDefUtils::CreatePatchAppInstance(hDll: %s, ppObjPatchApp: %s) - returning DU_S_OK\n",
            PaddedPointerText(*phDll).c_str(), PaddedPointerText(*ppObjPatchApp).c_str());
        return DU_S_OK;
    }
    WriteLog(
        "CDefUtils::CreatePatchAppInstance() - Failed to get proc address; returning DU_E_GENERAL\n");
    syslog(LOG_ERR | LOG_USER, "%s", "Failed to get proc address.\n");
    return DU_E_GENERAL;
}
