// The full-set install pipeline: the pre-update step that makes sure the
// store exists and hands out fresh temporary directories, the post-update
// step that integrates what the caller put there and cleans up after it,
// priming of the hub directories from a full set, and the creation of a
// store on a machine that has none.
#include <syslog.h>

#include <cstring>

#include "defutils/defutils.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "defutils/system_config.h"
#include "platform/bounded.h"
#include "platform/fileops.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

// A base directory this long leaves no room for the data directory names
// and the set and file names below them.
constexpr size_t kMaxBaseDirLength = 4060;

}  // namespace

bool CDefUtils::CreateNewDefsLoc(char* pszDir, size_t nSize)
{
    if (pszDir == nullptr || nSize < 1)
        return false;

    // Deliberately the "tarvolix" section, not "Tarvolix Shared" that the
    // constructor reads: existing configurations depend on the difference,
    // so do not unify the two.
    DWORD nRead = GetPrivateProfileString(kTarvolixSection, kBaseDirKey, "", pszDir,
                                          static_cast<DWORD>(nSize), TarvolixConfPath());
    if (nRead == 0)
        return false;

    if (strlen(pszDir) >= kMaxBaseDirLength || !CreateFullPath(pszDir, false, false))
        return false;

    const char* pszDataDir = kVirusDefsDir;
    if (m_bAltContent)
        pszDataDir = m_pszContentDefsSubdir ? m_pszContentDefsSubdir.get() : "";
    if (!DuAppendPath(pszDir, pszDataDir, nSize) || !CreateFullPath(pszDir, true, false))
        return false;

    m_pszDefsDir = DuStrDup(pszDir);
    return static_cast<bool>(m_pszDefsDir);
}

DuResult CDefUtils::PreDefUpdateInternal(char* pszDir1, size_t nSize1, char* pszDir2, size_t nSize2,
                                         DWORD nType)
{
    WriteLog("CDefUtils::PreDefUpdateInternal(..., type: %d) - start\n", static_cast<int>(nType));
    DuResult status = DU_S_OK;
    bool bLocked = false;
    m_nUpdateType = nType;

    if (pszDir1 == nullptr) {
        WriteLog(
            "CDefUtils::PreDefUpdateInternal() - NULL not allowed for 1st dir, returning "
            "DU_E_INVALID_PARAMETER\n");
        syslog(LOG_ERR | LOG_USER, "%s", "PreDefUpdateInternal failure!\n");
        return DU_E_INVALID_PARAMETER;
    }
    DuEmptyBuffer(pszDir1, nSize1);
    DuEmptyBuffer(pszDir2, nSize2);

    // The steps run in order; the first failure skips the rest and falls
    // through to the clean-up below.
    do {
        if (nType >= 2 && !m_pszDefsDir) {
            status = DU_E_MISSING_DEF_BASE_DIR;
            break;
        }
        if (!m_pszDefsDir) {
            PathBuf newLoc;
            if (!CreateNewDefsLoc(newLoc.data(), newLoc.size())) {
                WriteLog("CDefUtils::PreDefUpdateInternal() - CreateNewDefsLoc() failed...\n");
                status = DU_E_GENERAL;
                break;
            }
        }

        PathBuf incoming;
        if (DuStorePath(m_pszDefsDir.get(), kIncomingDir, &incoming) &&
            !FileExists(incoming.c_str()))
            CreateFullPath(incoming.c_str(), true, true);

        if (nType == DU_INSTALL)
            CreateDefLocDataFile(m_pszDefsDir.get());

        PathBuf hub;
        if (!GetHubDirectory(hub.data(), hub.size(), DU_BINARY)) {
            WriteLog(
                "CDefUtils::PreDefUpdateInternal() - Failed at Initial GetHubDirectory "
                "(DU_BINARY).\n");
            if (!CreateHubDirectory(DU_BINARY)) {
                WriteLog(
                    "CDefUtils::PreDefUpdateInternal() - Failed CreateHubDirectory (DU_BINARY).\n");
                status = DU_E_GENERAL;
                break;
            }
        }
        if (!m_bAltContent && !GetHubDirectory(hub.data(), hub.size(), DU_TEXT)) {
            WriteLog("CDefUtils::PreDefUpdateInternal() - Failed at GetHubDirectory(DU_TEXT).\n");
            if (!CreateHubDirectory(DU_TEXT)) {
                WriteLog(
                    "CDefUtils::PreDefUpdateInternal() - Failed CreateHubDirectory (DU_TEXT).\n");
                status = DU_E_GENERAL;
                break;
            }
        }

        if (nType == DU_ONLINE_UPDATE) {
            if (!LockSkyfetcher()) {
                status = DU_E_SF_LOCK_FAILED;
                break;
            }
            bLocked = true;
        }

        status = ProcessIncomingDir();

        if (!GetTempUpdateDir(pszDir1, nSize1)) {
            status = DU_E_CREATE_TEMP_DIR;
            break;
        }
        m_pszUpdateDir = DuStrDup(pszDir1);
        if (!m_pszUpdateDir) {
            WriteLog("CDefUtils::PreDefUpdateInternal() - m_pszUpdateDir allocation failed.\n");
            status = DU_E_MEM_ALLOC;
            break;
        }
        WriteLog("CDefUtils::PreDefUpdateInternal() - Saving temp szDir1 to m_pszUpdateDir (%s).\n",
                 pszDir1);

        if (pszDir2 != nullptr) {
            if (!GetTempUpdateDir(pszDir2, nSize2)) {
                WriteLog(
                    "CDefUtils::PreDefUpdateInternal() - Failed to GetTempUpdateDir for szDir2.\n");
                status = DU_E_CREATE_TEMP_DIR;
                break;
            }
            m_pszDirectPatchUpdateDir = DuStrDup(pszDir2);
            if (!m_pszDirectPatchUpdateDir) {
                WriteLog(
                    "CDefUtils::PreDefUpdateInternal() - m_pszDirectPatchUpdateDir allocation "
                    "failed.\n");
                status = DU_E_MEM_ALLOC;
                break;
            }
            WriteLog(
                "CDefUtils::PreDefUpdateInternal() - Saving temp szDir2 to "
                "m_pszDirectPatchUpdateDir (%s).\n",
                pszDir2);
        }
    } while (false);

    if (!DuSucceeded(status)) {
        WriteLog("CDefUtils::PreDefUpdateInternal() - failed ... cleaning up.\n");
        // Only the temporary directories go: a store, hub or incoming
        // directory made above stays for the next run.
        char* apszDirs[2] = {pszDir1, pszDir2};
        size_t anSizes[2] = {nSize1, nSize2};
        for (int i = 0; i < 2; ++i) {
            if (apszDirs[i] == nullptr || anSizes[i] == 0 || apszDirs[i][0] == '\0')
                continue;
            WriteLog("CDefUtils::PreDefUpdateInternal() - removing %s\n", apszDirs[i]);
            RemoveDirectory(apszDirs[i]);
            DuDropKeptIntent(apszDirs[i]);
            apszDirs[i][0] = '\0';
        }
        if (bLocked)
            UnLockSkyfetcher();
    }

    WriteLog("CDefUtils::PreDefUpdateInternal (szDir1: %s, szDir2: %s) - returning %s\n",
             nSize1 > 0 ? pszDir1 : "", OrNull(pszDir2, nSize2), GetResultName(status));
    return status;
}

bool CDefUtils::PreDefUpdate(char* pszDir1, size_t nSize1, DWORD nType)
{
    WriteLog("CDefUtils::PreDefUpdate() - start\n");
    m_duLastResult = PreDefUpdateInternal(pszDir1, nSize1, nullptr, 0, nType);
    WriteLog("CDefUtils::PreDefUpdate() - returning %s\n", GetLastResultName());
    return DuSucceeded(m_duLastResult);
}

bool CDefUtils::PostDefUpdate(bool bSkipIntegrateCheck)
{
    WriteLog("CDefUtils::PostDefUpdate() - start\n");
    DuResult status = DU_S_OK;

    do {
        if (!m_pszUpdateDir) {
            WriteLog("CDefUtils::PostDefUpdate() - m_pszUpdateDir is null.\n");
            status = DU_E_GENERAL;
            break;
        }
        if (!bSkipIntegrateCheck) {
            bool bWillIntegrate = false;
            DuResult check = WillIntegrateDirInternal(m_pszUpdateDir.get(), &bWillIntegrate);
            if (check != DU_S_OK)
                status = check;
            if (!DuSucceeded(status))
                break;
            if (!bWillIntegrate) {
                status = DU_S_OK;
                WriteLog(
                    "CDefUtils::PostDefUpdate() - WillIntegrateDir() said no need to integrate.\n");
                if (m_nUpdateType == DU_INSTALL) {
                    StoreTransaction transaction(this);
                    DuRefreshInterruptedHub(this, m_pszDefsDir.get(), m_pszUpdateDir.get());
                }
                break;
            }
        }

        DuResult integrated = IntegrateDefs(m_pszUpdateDir.get(), false);
        if (integrated != DU_S_OK && DuSucceeded(status))
            status = integrated;

        // DU_S_FALSE: a newer set arrived meanwhile; its hub stays. The hub
        // copy runs under the store lock and only while the set is still
        // the newest, so parallel installs cannot mix their hubs.
        StoreTransaction transaction(this);
        PathBuf cur;
        DuReadCurDefs(m_pszDefsDir.get(), &cur);
        bool bStillNewest =
            m_pszIntegratedName && strcmp(cur.c_str(), m_pszIntegratedName.get()) == 0;
        if (DuSucceeded(status) && integrated != DU_S_FALSE && bStillNewest &&
            m_nUpdateType == DU_INSTALL) {
            WriteLog(
                "CDefUtils::PostDefUpdate() - DU_INSTALL type, installing files to hub "
                "directories\n");
            // Marked while it runs: a copy cut short is redone by the next
            // install of this set.
            StoreIntent intent(this, m_pszDefsDir.get(), "hub", m_pszIntegratedName.get());
            if (DuSucceeded(InstallMicroDefHubFiles(m_pszUpdateDir.get())))
                DuDeadHubIntents(m_pszDefsDir.get(), nullptr, true);
        }
    } while (false);

    if (m_pszUpdateDir) {
        DeleteDefsAndDirectory(m_pszUpdateDir.get(), true);
        m_pszUpdateDir.reset();
    }
    if (m_nUpdateType == DU_ONLINE_UPDATE)
        UnLockSkyfetcher();

    if (!DuSucceeded(status) && m_nUpdateType <= DU_ONLINE_UPDATE && m_pszDefsDir) {
        StoreTransaction transaction(this);
        PathBuf defInfo;
        PathBuf usage;
        PathBuf binHub;
        DuStorePath(m_pszDefsDir.get(), kDefInfoFile, &defInfo);
        DuStorePath(m_pszDefsDir.get(), kUsageFile, &usage);
        DuStorePath(m_pszDefsDir.get(), kBinHubDir, &binHub);
        bool bDefInfo = DuFileExists(defInfo.data()) != 0;
        WriteLog("CDefUtils::PostDefUpdate() - DuFileExists(%s) is %s.\n", defInfo.c_str(),
                 TrueText(bDefInfo));
        bool bUsage = DuFileExists(usage.data()) != 0;
        WriteLog("CDefUtils::PostDefUpdate() - DuFileExists(%s) is %s.\n", usage.c_str(),
                 TrueText(bUsage));
        bool bHubEmpty = DirIsEmpty(binHub.c_str());
        WriteLog("CDefUtils::PostDefUpdate() - DirIsEmpty(%s) is %s.\n", binHub.c_str(),
                 TrueText(bHubEmpty));
        // A first install that failed leaves a store holding nothing of
        // value; take it away again rather than leave an empty shell.
        if (!bDefInfo && !bUsage && bHubEmpty)
            FullCleanup();
    }

    m_duLastResult = status;
    WriteLog("CDefUtils::PostUpdate() - returning %s\n", GetResultName(status));
    return DuSucceeded(status);
}

DuResult CDefUtils::InstallMicroDefHubFiles(const char* pszDir)
{
    WriteLog("CDefUtils::InstallMicroDefHubFiles(%s) - start\n", OrNull(pszDir));
    DuResult status = DU_S_OK;

    DuCopyContext context;
    context.bOverwrite = true;
    context.bSecondFlag = true;
    context.bAllCopied = true;

    do {
        if (!GetHubDirectory(context.szDestDir, sizeof context.szDestDir, DU_BINARY)) {
            status = DU_E_GENERAL;
            break;
        }
        // A hub copy cut short must not pass for complete: the marks are
        // cleared first, without a log line (the ones written after the
        // copy are what counts), so an install killed half way leaves the
        // next microdefs run asking for a full base.
        ClearMicroDefMarks();
        status = ProcessCatalogFiles(&CDefUtils::CopyFilesCallback, pszDir,
                                     kCatalogBinHubLinuxSection, &context, nullptr);
        if (!DuSucceeded(status))
            break;
        status = ProcessCatalogFiles(&CDefUtils::CopyFilesCallback, pszDir,
                                     kCatalogBinHubCommonSection, &context, nullptr);
        if (!DuSucceeded(status))
            break;

        if (!m_bAltContent) {
            if (!GetHubDirectory(context.szDestDir, sizeof context.szDestDir, DU_TEXT)) {
                status = DU_E_GENERAL;
                break;
            }
            status = ProcessCatalogFiles(&CDefUtils::CopyFilesCallback, pszDir,
                                         kCatalogTextHubSection, &context, nullptr);
        }

        // The marks follow the binary copy: a failed text copy still leaves
        // both hubs marked complete, which the next microdefs run relies on
        // to pick its channel.
        SetMicroDefLastUpdateValue(true, DU_BINARY);
        if (!m_bAltContent)
            SetMicroDefLastUpdateValue(true, DU_TEXT);
    } while (false);

    WriteLog("CDefUtils::InstallMicroDefHubFiles() - returning %s\n", GetResultName(status));
    return status;
}
