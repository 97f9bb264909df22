// The hub directories of the microdefs scheme (the base sets that deltas
// are applied to) and the record, in the defutils configuration file, of
// whether the last update of each hub succeeded.
#include <sys/stat.h>
#include <syslog.h>

#include <cstring>

#include "defutils/defutils.h"
#include "defutils/store_helpers.h"
#include "defutils/store_layout.h"
#include "defutils/system_config.h"
#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/fileops.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

// Used when the definitions directory cannot be examined.
constexpr unsigned int kDefaultHubMode = 0770;
// Handed to ChangeUnixOwner for the configuration file, which masks it to
// 0660 for a file.
constexpr unsigned int kConfigFileMode = 0770;
// Profile values are read into buffers one short of a path buffer.
constexpr DWORD kValueSize = DU_MAX_PATH - 1;

// Any kind other than binary is the text hub, as everywhere a kind is
// taken from a caller.
const char* HubName(DWORD nKind)
{
    return nKind == DU_BINARY ? kBinHubDir : kTextHubDir;
}

const char* KindKey(DWORD nKind)
{
    return nKind == DU_BINARY ? kLastBinUpdateKey : kLastTextUpdateKey;
}

}  // namespace

bool CDefUtils::GetHubDirectory(char* pszDir, size_t nSize, DWORD nKind)
{
    if (!m_pszDefsDir)
        return false;

    PathBuf hub;
    bool bJoined = DuStorePath(m_pszDefsDir.get(), HubName(nKind), &hub);
    if (pszDir != nullptr && nSize > 0)
        BoundedCopy(pszDir, nSize, hub.c_str());
    // The whole path is tested, not a copy cut to the caller's buffer: a
    // cut path could name some other directory.
    bool bExists = bJoined && FileExists(hub.c_str());
    WriteLog("CDefUtils::GetHubDirectory(%s) - returning %s\n", hub.c_str(),
             bExists ? "true" : "false");
    return bExists;
}

bool CDefUtils::CreateHubDirectory(DWORD nKind)
{
    WriteLog("CDefUtils::CreateHubDirectory - start.\n");
    if (!m_pszDefsDir) {
        WriteLog("CDefUtils::CreateHubDirectory - end. HubDir: %s, result: %s\n", "<null>",
                 "failure");
        return false;
    }

    PathBuf hub;
    bool bCreated = DuStorePath(m_pszDefsDir.get(), HubName(nKind), &hub) &&
                    CreateFullPath(hub.c_str(), false, false);

    // The group and mode are applied even to a hub that already existed, so
    // a hub left behind with other permissions is repaired here.
    unsigned int nMode = DuDirModeOr(m_pszDefsDir.get(), kDefaultHubMode);
    if (!ChangeUnixOwner(hub.c_str(), nMode, true)) {
        RemoveDirectory(hub.c_str());
        return false;
    }

    WriteLog("CDefUtils::CreateHubDirectory - end. HubDir: %s, result: %s\n", hub.c_str(),
             bCreated ? "success" : "failure");
    return bCreated;
}

bool CDefUtils::GetMicroDefLastUpdateValue(bool* pbValue, DWORD nKind)
{
    if (pbValue != nullptr)
        *pbValue = false;
    WriteLog("CDefUtils::GetMicroDefLastUpdateValue - start. \n");

    const char* pszSection = m_bAltContent && m_pszMicroDefsSection ? m_pszMicroDefsSection.get()
                                                                    : kSharedMicroDefsSection;
    char szValue[kValueSize] = {};
    GetPrivateProfileString(pszSection, KindKey(nKind), "", szValue, kValueSize,
                            DefutilsConfPath());

    bool bFound = szValue[0] != '\0';
    // Only the exact text "1" means success; "10" or "yes" do not.
    if (bFound && pbValue != nullptr)
        *pbValue = strcmp(szValue, "1") == 0;

    WriteLog("CDefUtils::GetMicroDefLastUpdateValue - end, returning %s \n",
             bFound ? "success" : "failure");
    return bFound;
}

bool CDefUtils::SetMicroDefLastUpdateValue(bool bValue, DWORD nKind)
{
    WriteLog("CDefUtils::SetMicroDefLastUpdateValue(%s, %s) - start.\n", bValue ? "true" : "false",
             nKind == DU_BINARY ? "DU_BINARY" : "DU_TEXT");

    // A file that does not exist yet fails here and is created by the write
    // below with the profile engine's default mode.
    ChangeUnixOwner(DefutilsConfPath(), kConfigFileMode, false);

    const char* pszSection = m_bAltContent && m_pszMicroDefsSection ? m_pszMicroDefsSection.get()
                                                                    : kSharedMicroDefsSection;
    bool bWritten = WritePrivateProfileString(pszSection, KindKey(nKind), bValue ? "1" : "0",
                                              DefutilsConfPath()) != 0;

    WriteLog("CDefUtils::SetMicroDefLastUpdateValue() - returning %s. \n",
             bWritten ? "success" : "failure");
    return bWritten;
}

bool CDefUtils::GetBinHubDefsDate(WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev)
{
    WriteLog("CDefUtils::GetBinHubDefsDate - start. \n");
    if (!m_pszDefsDir) {
        syslog(LOG_ERR | LOG_USER, "%s", "m_pszDesDir is null, function returns\n");
        WriteLog("m_pszDesDir is null, function prematurally returns.\n");
        return false;
    }

    PathBuf hub;
    DuResult result = DU_E_INVALID_PARAMETER;
    if (DuStorePath(m_pszDefsDir.get(), kBinHubDir, &hub))
        result = GetDefDate(hub.c_str(), pwYear, pwMonth, pwDay, pdwRev, false);
    WriteLog("CDefUtils::GetBinHubDefsDate - end, returning %s. \n", GetResultName(result));
    return DuSucceeded(result);
}

void CDefUtils::ClearMicroDefMarks()
{
    // Only an existing file can hold a stale "1"; creating it here would
    // give it another mode than the write after the copy does.
    PathBuf conf(DefutilsConfPath());
    if (!DuFileExists(conf.data()))
        return;
    const char* pszSection = m_bAltContent && m_pszMicroDefsSection ? m_pszMicroDefsSection.get()
                                                                    : kSharedMicroDefsSection;
    WritePrivateProfileString(pszSection, KindKey(DU_BINARY), "0", conf.c_str());
    if (!m_bAltContent)
        WritePrivateProfileString(pszSection, KindKey(DU_TEXT), "0", conf.c_str());
}
