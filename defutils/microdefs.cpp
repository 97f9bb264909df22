// The microdefs pipeline: choosing the download channel before the update
// client runs, and applying the downloaded deltas through the patch library
// afterwards.
#include <dlfcn.h>
#include <syslog.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "defutils/defutils.h"
#include "defutils/patch_interface.h"
#include "defutils/patch_loader.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "defutils/system_config.h"
#include "platform/bounded.h"
#include "platform/paths.h"

namespace {

const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Channel prefix and the error channel sent when the hub cannot serve as a
// base.
constexpr char kMicroDefsChannelPrefix[] = "MicroDefsB";
constexpr char kMicroDefsErrorChannel[] = "MicroDefsB.Error";

// A hub set older than this many months is announced as ".Old".
constexpr int kMaxHubAgeMonths = 10;

// Digits of a set directory name, read without checking that they are
// digits; a short name reads as if padded with NULs.
int NameDigits(const char* pszName, size_t nFirst, size_t nCount)
{
    size_t nLength = strlen(pszName);
    int nValue = 0;
    for (size_t i = nFirst; i < nFirst + nCount; ++i) {
        char c = i < nLength ? pszName[i] : '\0';
        nValue = nValue * 10 + (c - '0');
    }
    return nValue;
}

struct DlCloser {
    void operator()(void* h) const
    {
        if (h != nullptr)
            dlclose(h);
    }
};

}  // namespace

bool CDefUtils::DetermineMicroDefChannel(const char* pszDirName, const char* pszPrefix,
                                         char* pszOut, size_t nOutSize)
{
    WriteLog("CDefUtils::DetermineMicroDefChannel(%s, ...) - start\n", OrNull(pszDirName));
    const char* pszName = pszDirName != nullptr ? pszDirName : "";
    int nYear = NameDigits(pszName, 0, 4);
    int nMonth = NameDigits(pszName, 4, 2);

    time_t now = DuCurrentTime();
    struct tm local;
    localtime_r(&now, &local);
    long nAge = (static_cast<long>(local.tm_year + 1900) * 12 + (local.tm_mon + 1)) -
                (static_cast<long>(nYear) * 12 + nMonth);

    BoundedCopy(pszOut, nOutSize, pszPrefix);
    if (nAge > kMaxHubAgeMonths || nAge < 0) {
        BoundedAppend(pszOut, nOutSize, ".Old");
    } else if (nMonth < 1 || nMonth > 12) {
        WriteLog("CDefUtils::DetermineMicroDefChannel() - range check error. Returning failure.\n");
        return false;
    } else {
        BoundedAppend(pszOut, nOutSize, ".");
        BoundedAppend(pszOut, nOutSize, kMonthNames[nMonth - 1]);
    }
    WriteLog(
        "CDefUtils::DetermineMicroDefChannel (..., szSfChannel:%s, nSfChannelSize: %ld) - returning success\n",
        pszOut, static_cast<long>(nOutSize));
    return true;
}

DuResult CDefUtils::PreMicroDefUpdateInternal(char* pszPatchHubDir, size_t nHubSize,
                                              char* pszPatchDirectDir, size_t nDirectSize,
                                              char* pszVersion, size_t nVersionSize,
                                              bool* pbHubIsOk, DWORD nType)
{
    WriteLog("CDefUtils::PreMicroDefUpdateInternal(..., type: %d) - start\n",
             static_cast<int>(nType));
    BoundedCopy(pszPatchHubDir, nHubSize, "");
    BoundedCopy(pszVersion, nVersionSize, "");
    if (pszPatchDirectDir != nullptr)
        BoundedCopy(pszPatchDirectDir, nDirectSize, "");
    *pbHubIsOk = false;

    DuResult duStatus =
        PreDefUpdateInternal(pszPatchHubDir, nHubSize, pszPatchDirectDir, nDirectSize, nType);
    if (!DuSucceeded(duStatus)) {
        WriteLog("CDefUtils::PreMicroDefUpdateInternal() - returning %s\n",
                 GetResultName(duStatus));
        syslog(LOG_ERR | LOG_USER, "%s", "PreDefUpdateInternal failed.\n");
        return duStatus;
    }

    PathBuf hubDir;
    GetHubDirectory(hubDir.data(), hubDir.size(), DU_BINARY);
    *pbHubIsOk = AllHubFilesArePresent(hubDir.c_str(), DU_BINARY);

    bool bLastValue = false;
    bool bFound = GetMicroDefLastUpdateValue(&bLastValue, DU_BINARY);
    bool bDataOk = bFound && *pbHubIsOk && bLastValue;
    WriteLog("CDefUtils::PreMicroDefUpdateInternal() - current bGetDataSuccess: %s.\n",
             SuccessText(bDataOk));

    bool bBinResult = false;
    if (bDataOk) {
        PathBuf name;
        bool bNamed = CreateDefDirName(hubDir.c_str(), name.data(), name.size(), false);
        WriteLog(
            "CDefUtils::PreMicroDefUpdateInternal() - After calling CreateDefDirName, result is: %s.\n",
            SuccessText(bNamed));
        if (bNamed)
            bBinResult = DetermineMicroDefChannel(name.c_str(), kMicroDefsChannelPrefix, pszVersion,
                                                  nVersionSize);
    }
    if (!bDataOk || !bBinResult) {
        BoundedCopy(pszVersion, nVersionSize, kMicroDefsErrorChannel);
        SetMicroDefLastUpdateValue(false, DU_BINARY);
        WriteLog(
            "CDefUtils::PreMicroDefUpdateInternal() - Either bGetDataSuccess or bBinResult is false, save the err value.\n");
        *pbHubIsOk = false;
    }

    WriteLog(
        "CDefUtils::PreMicroDefUpdateInternal (HubDir:%s, DirectDir: %s, Version: %s, HubIsOk: %s) - returning %s\n",
        pszPatchHubDir, OrNull(pszPatchDirectDir), pszVersion, TrueText(*pbHubIsOk),
        GetResultName(duStatus));
    return duStatus;
}

bool CDefUtils::PreMicroDef25Update(char* pszPatchHubDir, size_t nHubSize, char* pszPatchDirectDir,
                                    size_t nDirectSize, char* pszVersion, size_t nVersionSize,
                                    bool* pbHubIsOk, DWORD nType)
{
    WriteLog("CDefUtils::PreMicroDef25Update() - start\n");
    if (pszPatchHubDir == nullptr || pszPatchDirectDir == nullptr || pszVersion == nullptr) {
        m_duLastResult = DU_E_INVALID_PARAMETER;
        WriteLog(
            "CDefUtils::PreMicroDef25Update() - null pointer for szPatchHubDir or szPatchDirectDir or szVersion, returning %s.\n",
            GetLastResultName());
        return false;
    }
    m_duLastResult =
        PreMicroDefUpdateInternal(pszPatchHubDir, nHubSize, pszPatchDirectDir, nDirectSize,
                                  pszVersion, nVersionSize, pbHubIsOk, nType);
    WriteLog("CDefUtils::PreMicroDef25Update() - returning %s\n", GetLastResultName());
    return DuSucceeded(m_duLastResult);
}

bool CDefUtils::PreMicroDefUpdate(char* pszPatchHubDir, size_t nHubSize, char* pszVersion,
                                  size_t nVersionSize, bool* pbFlag, bool* pbHubIsOk, DWORD nType)
{
    WriteLog("CDefUtils::PreMicroDefUpdate() - start\n");
    if (pszPatchHubDir == nullptr || pszVersion == nullptr) {
        m_duLastResult = DU_E_INVALID_PARAMETER;
        WriteLog(
            "CDefUtils::PreMicroDefUpdate() - szPatchHubDir or szVersion is null, returning false.\n");
        return false;
    }
    if (pbFlag != nullptr)
        *pbFlag = true;
    m_duLastResult = PreMicroDefUpdateInternal(pszPatchHubDir, nHubSize, nullptr, 0, pszVersion,
                                               nVersionSize, pbHubIsOk, nType);
    WriteLog("CDefUtils::PreMicroDefUpdate()- returning %s\n", GetLastResultName());
    return DuSucceeded(m_duLastResult);
}

DuResult CDefUtils::PostMicroDefUpdateInternal(CProgress* pProgress, bool bProcess,
                                               const char* pszPatchDllName)
{
    WriteLog(
        "CDefUtil::PostMicroDefUpdateInternal(pProgress: %s, bProcess: %s, szPatchDllName: %s) - start\n",
        PaddedPointerText(pProgress).c_str(), TrueText(bProcess), OrNull(pszPatchDllName));
    DuResult duStatus = DU_E_GENERAL;
    std::unique_ptr<void, DlCloser> dll;
    PathBuf hubDir;
    PathBuf destDir;
    PathBuf hubTempDir;
    bool bDestCreated = false;
    bool bHubTempCreated = false;

    if (!m_pszUpdateDir) {
        WriteLog("CDefUtil::PostMicroDefUpdateInternal() - m_pszUpdateDir is null.\n");
    } else if (GetHubDirectory(hubDir.data(), hubDir.size(), DU_BINARY)) {
        duStatus = DU_S_OK;
    }

    if (duStatus == DU_S_OK && bProcess) {
        void* hDll = nullptr;
        IPatchApplication* pPatchApp = nullptr;
        IPatchApplication30* pPatchApp30 = nullptr;
        duStatus = CreatePatchAppInstance(pszPatchDllName, &hDll, &pPatchApp, &pPatchApp30);
        dll.reset(hDll);
        if (DuSucceeded(duStatus)) {
            bool bPatchOk = true;
            DuResult duPatchStatus = DU_S_OK;
            bDestCreated = GetTempUpdateDir(destDir.data(), destDir.size());
            bHubTempCreated = GetTempUpdateDir(hubTempDir.data(), hubTempDir.size());
            if (bDestCreated && bHubTempCreated) {
                CDefUtilsProgress adapter(pProgress);
                CPatchApplicationNotify* pNotify = pProgress != nullptr ? &adapter : nullptr;
                const char* pszDirect = m_pszDirectPatchUpdateDir.get();
                if (pszDirect != nullptr && *pszDirect != '\0' && !DirIsEmpty(pszDirect)) {
                    WriteLog(
                        "CDefUtil::PostMicroDefUpdateInternal() - processing direct deltas in %s\n",
                        pszDirect);
                    PathBuf newestDir;
                    duPatchStatus = GetNewestDefs(newestDir.data(), newestDir.size(), false);
                    if (DuSucceeded(duPatchStatus)) {
                        if (pPatchApp30 != nullptr) {
                            bPatchOk = pPatchApp30->ApplyPatch(pszDirect, newestDir.c_str(),
                                                               destDir.c_str(), hubTempDir.c_str(),
                                                               pNotify) != 0;
                            WriteLog(
                                "CDefUtil::PostMicroDefUpdateInternal() - ApplyPatch (PatchDir: %s, SrcDir: %s, DestDir: %s, HubTempDir: %s) %s\n",
                                pszDirect, newestDir.c_str(), destDir.c_str(), hubTempDir.c_str(),
                                SuccessText(bPatchOk));
                        } else {
                            bPatchOk = pPatchApp != nullptr &&
                                       pPatchApp->ApplyPatch(pszDirect, newestDir.c_str(),
                                                             destDir.c_str(), pNotify) != 0;
                            WriteLog(
                                "CDefUtil::PostMicroDefUpdateInternal() - ApplyPatch (PatchDir: %s, SrcDir: %s, DestDir: %s) %s\n",
                                pszDirect, newestDir.c_str(), destDir.c_str(),
                                SuccessText(bPatchOk));
                        }
                        RestoreDirPermissions(newestDir.c_str());
                    }
                } else if (!DirIsEmpty(m_pszUpdateDir.get())) {
                    const char* pszHubDeltas = m_pszUpdateDir.get();
                    WriteLog(
                        "CDefUtil::PostMicroDefUpdateInternal() - processing hub deltas in %s\n",
                        pszHubDeltas);
                    if (pPatchApp30 != nullptr) {
                        bPatchOk =
                            pPatchApp30->ApplyPatch(pszHubDeltas, hubDir.c_str(), destDir.c_str(),
                                                    hubTempDir.c_str(), pNotify) != 0;
                    } else {
                        bPatchOk = pPatchApp != nullptr &&
                                   pPatchApp->ApplyPatch(pszHubDeltas, hubDir.c_str(),
                                                         destDir.c_str(), pNotify) != 0;
                    }
                    RestoreDirPermissions(hubDir.c_str());
                    WriteLog(
                        "CDefUtil::PostMicroDefUpdateInternal() - ApplyPatch (PatchDir: %s, SrcDir: %s, DestDir: %s) %s\n",
                        pszHubDeltas, hubDir.c_str(), destDir.c_str(), SuccessText(bPatchOk));
                }
            }
            if (!DuSucceeded(duPatchStatus))
                duStatus = duPatchStatus;
            else
                duStatus = bPatchOk ? DU_S_OK : DU_E_APPLY_PATCH;
            if (pPatchApp30 != nullptr)
                pPatchApp30->Release();
            if (pPatchApp != nullptr)
                pPatchApp->Release();

            if (DuSucceeded(duStatus) && DefsInPatchTargetDirAreNewest(destDir.c_str()))
                duStatus = IntegrateDefs(destDir.c_str(), false);
            SetMicroDefLastUpdateValue(DuSucceeded(duStatus), DU_BINARY);
        }
    }

    // Clean-up in this order: lock, library, then the directories.
    if (m_nUpdateType == DU_ONLINE_UPDATE)
        UnLockSkyfetcher();
    dll.reset();
    if (m_pszUpdateDir) {
        DeleteDefsAndDirectory(m_pszUpdateDir.get(), true);
        m_pszUpdateDir.reset();
    }
    if (m_pszDirectPatchUpdateDir) {
        DeleteDefsAndDirectory(m_pszDirectPatchUpdateDir.get(), true);
        m_pszDirectPatchUpdateDir.reset();
    }
    if (bHubTempCreated)
        DeleteDefsAndDirectory(hubTempDir.c_str(), false);
    if (bDestCreated)
        DeleteDefsAndDirectory(destDir.c_str(), false);

    WriteLog("CDefUtil::PostMicroDefUpdateInternal() - returning %s.\n", GetResultName(duStatus));
    return duStatus;
}

bool CDefUtils::PostMicroDef25Update(const char* pszPatchDllName, CProgress* pProgress,
                                     bool bProcess)
{
    WriteLog("CDefUtils::PostMicroDef25Update() - start\n");
    m_duLastResult = PostMicroDefUpdateInternal(pProgress, bProcess, pszPatchDllName);
    WriteLog("CDefUtils::PostMicroDef25Update() - returning %s\n", GetLastResultName());
    return DuSucceeded(m_duLastResult);
}

bool CDefUtils::PostMicroDefUpdate(CProgress* pProgress, bool bProcess)
{
    WriteLog("CDefUtils::PostMicroDefUpdate() - start\n");
    m_duLastResult = PostMicroDefUpdateInternal(pProgress, bProcess, "libpatchapp.so");
    WriteLog("CDefUtils::PostMicroDefUpdate() - returning %s\n", GetLastResultName());
    return DuSucceeded(m_duLastResult);
}

bool CDefUtils::DefsInPatchTargetDirAreNewest(const char* pszDir)
{
    WriteLog("CDefUtils::DefsInPatchTargetDirAreNewest(%s) - start.\n", OrNull(pszDir));
    PathBuf newest;
    if (!DuSucceeded(GetNewestDefs(newest.data(), newest.size(), true))) {
        WriteLog("GetNewestDefs(%s) failed\n", newest.c_str());
        WriteLog("Hence,CDefUtils::DefsInPatchTargetDirAreNewest(%s) returns %s\n", OrNull(pszDir),
                 "success");
        return true;
    }
    if (DefsAreNewer(pszDir, newest.c_str(), false, false)) {
        WriteLog("DefsAreNewer(%s, %s) returned success.\n", OrNull(pszDir), newest.c_str());
        return true;
    }
    if (DefsAreNewer(pszDir, newest.c_str(), true, false)) {
        WriteLog("DefsAreNewer(%s, %s, %s, %s) returned success\n", OrNull(pszDir), newest.c_str(),
                 "1", "0");
        return true;
    }
    WriteLog("DefsInPatchTargetDirAreNewest(%s) failed\n", OrNull(pszDir));
    return false;
}
