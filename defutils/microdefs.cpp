// The microdefs pipeline: choosing the download channel before the update
// client runs, and applying the downloaded deltas through the patch library
// afterwards.
#include <dlfcn.h>
#include <syslog.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "common/patch_interface.h"
#include "defutils/defutils.h"
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

// The patch library loaded for one update and the object it made, behind
// one Apply for both interfaces. The object is released before the set it
// built is judged and integrated; the library stays loaded until the guard
// ends, after the update client's lock is dropped.
class LoadedPatch {
public:
    LoadedPatch() = default;
    ~LoadedPatch() { Release(); }
    LoadedPatch(const LoadedPatch&) = delete;
    LoadedPatch& operator=(const LoadedPatch&) = delete;

    DuResult Load(CDefUtils* pDefUtils, const char* pszDllName)
    {
        void* hDll = nullptr;
        DuResult result = pDefUtils->CreatePatchAppInstance(pszDllName, &hDll, &m_pApp, &m_pApp30);
        m_dll.reset(hDll);
        return result;
    }

    // Only the newer interface stages the hub's files in a directory of
    // its own.
    bool StagesHub() const { return m_pApp30 != nullptr; }

    bool Apply(const char* pszPatchDir, const char* pszSrcDir, const char* pszDestDir,
               const char* pszHubTempDir, CPatchApplicationNotify* pNotify)
    {
        if (m_pApp30 != nullptr)
            return m_pApp30->ApplyPatch(pszPatchDir, pszSrcDir, pszDestDir, pszHubTempDir,
                                        pNotify) != 0;
        return m_pApp != nullptr &&
               m_pApp->ApplyPatch(pszPatchDir, pszSrcDir, pszDestDir, pNotify) != 0;
    }

    void Release()
    {
        if (m_pApp30 != nullptr)
            m_pApp30->Release();
        if (m_pApp != nullptr)
            m_pApp->Release();
        m_pApp30 = nullptr;
        m_pApp = nullptr;
    }

private:
    std::unique_ptr<void, DlCloser> m_dll;
    IPatchApplication* m_pApp = nullptr;
    IPatchApplication30* m_pApp30 = nullptr;
};

// The two scratch directories of one apply: the set being built and the
// library's staging area for the hub. Whatever was made is removed when
// the guard ends, the staging area first.
class ScratchDirs {
public:
    explicit ScratchDirs(CDefUtils* pDefUtils) : m_pDefUtils(pDefUtils) {}
    ~ScratchDirs()
    {
        if (m_bHubTempMade)
            m_pDefUtils->DeleteDefsAndDirectory(m_hubTemp.c_str(), false);
        if (m_bDestMade)
            m_pDefUtils->DeleteDefsAndDirectory(m_dest.c_str(), false);
    }
    ScratchDirs(const ScratchDirs&) = delete;
    ScratchDirs& operator=(const ScratchDirs&) = delete;

    // Both are attempted even when the first fails; true when both exist.
    bool Create()
    {
        m_bDestMade = m_pDefUtils->GetTempUpdateDir(m_dest.data(), m_dest.size());
        m_bHubTempMade = m_pDefUtils->GetTempUpdateDir(m_hubTemp.data(), m_hubTemp.size());
        return m_bDestMade && m_bHubTempMade;
    }
    const char* dest() const { return m_dest.c_str(); }
    const char* hubTemp() const { return m_hubTemp.c_str(); }

private:
    CDefUtils* m_pDefUtils;
    PathBuf m_dest;
    PathBuf m_hubTemp;
    bool m_bDestMade = false;
    bool m_bHubTempMade = false;
};

// Applies one update's deltas into the scratch set: the direct deltas
// against the newest set when there are any, else the hub deltas against
// the hub. A failure to find the newest set is returned as it is; else
// DU_E_APPLY_PATCH when the library's apply failed, DU_S_OK otherwise
// (nothing to apply included).
DuResult ApplyDeltas(CDefUtils* pDu, LoadedPatch* pPatch, const ScratchDirs& scratch,
                     const char* pszDirect, const char* pszHubDeltas, const char* pszHubDir,
                     CPatchApplicationNotify* pNotify)
{
    bool bPatchOk = true;
    if (pszDirect != nullptr && *pszDirect != '\0' && !pDu->DirIsEmpty(pszDirect)) {
        pDu->WriteLog("CDefUtil::PostMicroDefUpdateInternal() - processing direct deltas in %s\n",
                      pszDirect);
        PathBuf newestDir;
        DuResult duNewest = pDu->GetNewestDefs(newestDir.data(), newestDir.size(), false);
        if (!DuSucceeded(duNewest))
            return duNewest;
        bPatchOk =
            pPatch->Apply(pszDirect, newestDir.c_str(), scratch.dest(), scratch.hubTemp(), pNotify);
        if (pPatch->StagesHub())
            pDu->WriteLog(
                "CDefUtil::PostMicroDefUpdateInternal() - ApplyPatch (PatchDir: %s, SrcDir: %s, DestDir: %s, HubTempDir: %s) %s\n",
                pszDirect, newestDir.c_str(), scratch.dest(), scratch.hubTemp(),
                SuccessText(bPatchOk));
        else
            pDu->WriteLog(
                "CDefUtil::PostMicroDefUpdateInternal() - ApplyPatch (PatchDir: %s, SrcDir: %s, DestDir: %s) %s\n",
                pszDirect, newestDir.c_str(), scratch.dest(), SuccessText(bPatchOk));
        pDu->RestoreDirPermissions(newestDir.c_str());
    } else if (!pDu->DirIsEmpty(pszHubDeltas)) {
        pDu->WriteLog("CDefUtil::PostMicroDefUpdateInternal() - processing hub deltas in %s\n",
                      pszHubDeltas);
        bPatchOk =
            pPatch->Apply(pszHubDeltas, pszHubDir, scratch.dest(), scratch.hubTemp(), pNotify);
        pDu->RestoreDirPermissions(pszHubDir);
        pDu->WriteLog(
            "CDefUtil::PostMicroDefUpdateInternal() - ApplyPatch (PatchDir: %s, SrcDir: %s, DestDir: %s) %s\n",
            pszHubDeltas, pszHubDir, scratch.dest(), SuccessText(bPatchOk));
    }
    return bPatchOk ? DU_S_OK : DU_E_APPLY_PATCH;
}

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
    PathBuf hubDir;
    if (!m_pszUpdateDir) {
        WriteLog("CDefUtil::PostMicroDefUpdateInternal() - m_pszUpdateDir is null.\n");
    } else if (GetHubDirectory(hubDir.data(), hubDir.size(), DU_BINARY)) {
        duStatus = DU_S_OK;
    }

    // Clean-up in this order: lock, library, the delta directories, then
    // the scratch directories.
    {
        ScratchDirs scratch(this);
        {
            LoadedPatch patch;
            if (duStatus == DU_S_OK && bProcess)
                duStatus = patch.Load(this, pszPatchDllName);
            if (duStatus == DU_S_OK && bProcess) {
                // Scratch directories that cannot be made leave nothing to
                // apply, which is not a failure of its own.
                if (scratch.Create()) {
                    CDefUtilsProgress adapter(pProgress);
                    duStatus = ApplyDeltas(this, &patch, scratch, m_pszDirectPatchUpdateDir.get(),
                                           m_pszUpdateDir.get(), hubDir.c_str(),
                                           pProgress != nullptr ? &adapter : nullptr);
                }
                patch.Release();
                if (DuSucceeded(duStatus) && DefsInPatchTargetDirAreNewest(scratch.dest()))
                    duStatus = IntegrateDefs(scratch.dest(), false);
                SetMicroDefLastUpdateValue(DuSucceeded(duStatus), DU_BINARY);
            }
            if (m_nUpdateType == DU_ONLINE_UPDATE)
                UnLockSkyfetcher();
        }
        if (m_pszUpdateDir) {
            DeleteDefsAndDirectory(m_pszUpdateDir.get(), true);
            m_pszUpdateDir.reset();
        }
        if (m_pszDirectPatchUpdateDir) {
            DeleteDefsAndDirectory(m_pszDirectPatchUpdateDir.get(), true);
            m_pszDirectPatchUpdateDir.reset();
        }
    }

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
