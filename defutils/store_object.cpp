// The store manager object: construction, destruction, initialisation for a
// content type and an AppId, and discovery of the base and definitions
// directories. The debug log file is opened in log_file.cpp.
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "defutils/defutils.h"
#include "defutils/input_checks.h"
#include "defutils/ownership_internal.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "defutils/system_config.h"
#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/fileops.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

// Heap concatenation of up to three strings; null on allocation failure.
DuString DuConcat(const char* pszA, const char* pszB, const char* pszC = "")
{
    size_t nA = strlen(pszA), nB = strlen(pszB), nC = strlen(pszC);
    DuString result(static_cast<char*>(malloc(nA + nB + nC + 1)));
    if (result) {
        memcpy(result.get(), pszA, nA);
        memcpy(result.get() + nA, pszB, nB);
        memcpy(result.get() + nA + nB, pszC, nC + 1);
    }
    return result;
}

DuString DuFormatName(const char* pszFormat, const char* pszValue)
{
    int nLength = snprintf(nullptr, 0, pszFormat, pszValue);
    if (nLength < 0)
        return DuString();
    DuString result(static_cast<char*>(malloc(static_cast<size_t>(nLength) + 1)));
    if (result)
        snprintf(result.get(), static_cast<size_t>(nLength) + 1, pszFormat, pszValue);
    return result;
}

// "BaseDir" of the Tarvolix configuration; empty when not configured. The
// base directory becomes the store boundary: the administrator chose it in
// a root-owned file, but everything below it is writable by the store's
// group, so no path below it may follow a link (platform/boundary.h).
void ReadBaseDir(PathBuf* pBase)
{
    GetPrivateProfileString(kTarvolixSharedSection, kBaseDirKey, "", pBase->data(),
                            static_cast<DWORD>(pBase->size()), TarvolixConfPath());
    if (pBase->empty())
        return;
    bool bFirst = DuPathBoundary().empty();
    DuSetPathBoundary(pBase->c_str());
    gid_t gid;
    if (bFirst && DuLookupStoreGroupId(&gid))
        DuSetBoundaryGroup(gid);
}

}  // namespace

DuString DuStrDup(const char* psz)
{
    return DuString(psz != nullptr ? strdup(psz) : nullptr);
}

CDefUtils::CDefUtils()
    : m_hIncomingLock(0),
      m_hSkyfetcherLock(0),
      // Nothing reads the update type before a pre-update step sets it; zero
      // just keeps the object fully initialised.
      m_nUpdateType(DU_INSTALL),
      m_bRevertFlag(false),
      m_bAltContent(false),
      m_duLastResult(DU_S_OK),
      m_apLogCallbacks{}
{
    m_duLastResult = SetDefsDir();
    OpenLogFile();
    if (DuSucceeded(m_duLastResult))
        m_duLastResult = SetupNames(nullptr);
    WriteLog("CDefUtils::CDefUtils() - ending with %s\n", GetLastResultName());
}

// The members free themselves; the log file closes after this last line.
CDefUtils::~CDefUtils()
{
    WriteLog("CDefUtils::~CDefUtils(): destructor exiting.\n");
}

bool CDefUtils::GetVirusDefsDir(char* pszDir, size_t nSize)
{
    WriteLog("CDefUtils::GetVirusDefsDir - start.\n");
    bool bResult = false;
    if (pszDir != nullptr && nSize > 0) {
        pszDir[0] = '\0';
        PathBuf base;
        ReadBaseDir(&base);
        if (!base.empty()) {
            // A base ending in "/" gives a double separator; harmless, and
            // kept so the path matches what other tools compute.
            base.append("/");
            if (m_bAltContent)
                base.append(m_pszContentDefsSubdir ? m_pszContentDefsSubdir.get() : "");
            else
                base.append(kVirusDefsDir);
            BoundedCopy(pszDir, nSize, base.c_str());
            bResult = FileExists(pszDir) || CreateFullPath(pszDir, true, false);
        }
    }
    WriteLog("CDefUtils::GetVirusDefsDir -- end, pszDefsDir: %s, returning: %s.\n",
             OrNull(pszDir, nSize), bResult ? "success" : "failure");
    return bResult;
}

DuResult CDefUtils::SetDefsDir()
{
    WriteLog("CDefUtils::SetDefsDir - starts.\n");
    if (m_pszDefsDir) {
        WriteLog("m_pszDefsDir : %s pre-exists, being removed.\n", m_pszDefsDir.get());
        m_pszDefsDir.reset();
    }

    DuResult result = DU_S_OK;
    PathBuf defsDir;
    // Without a base directory the object stays usable; each operation that
    // needs the definitions directory reports its own failure.
    if (GetVirusDefsDir(defsDir.data(), defsDir.size())) {
        WriteLog("Getting updated DefsDir Called GetVirusDefsDir( %s ).\n", defsDir.c_str());
        m_pszDefsDir = DuStrDup(defsDir.c_str());
        if (!m_pszDefsDir) {
            WriteLog("m_pszDefsDir gets NULL value, exits.\n");
            result = DU_E_MEM_ALLOC;
        }
    }

    WriteLog("CDefUtils::SetDefsDir( m_pszDefsDir = %s ) - ends, returns: %s.\n",
             OrNull(m_pszDefsDir.get()), DuSucceeded(result) ? "success" : "failure");
    return result;
}

bool CDefUtils::GetBaseDir(char* pszDir, size_t nSize)
{
    bool bResult = false;
    if (pszDir != nullptr && nSize > 0) {
        PathBuf base;
        ReadBaseDir(&base);
        if (!base.empty())
            BoundedCopy(pszDir, nSize, base.c_str());
        bResult = FileExists(pszDir);
    }
    WriteLog("CDefUtils::GetBaseDir(pszBaseDir: %s) - returning %s\n", OrNull(pszDir, nSize),
             bResult ? "success" : "failure");
    return bResult;
}

bool CDefUtils::ContentTypeExists(const char* pszContentType)
{
    if (pszContentType == nullptr || DuContentTypeProblem(pszContentType) != nullptr)
        return false;
    PathBuf subdir(kContentDataDir);
    subdir.append("/").append(pszContentType);
    StrLower(subdir.data());

    PathBuf base;
    if (!GetBaseDir(base.data(), base.size()))
        return false;
    return DuAppendPath(base.data(), subdir.c_str(), base.size()) && FileExists(base.c_str());
}

DuResult CDefUtils::SetupNames(const char* pszName)
{
    WriteLog("CDefUtils::SetupNames(%s) - start\n", OrNull(pszName));

    m_pszSfRegName =
        pszName != nullptr ? DuConcat(pszName, kRegNameSuffix) : DuStrDup(kDefaultSfRegName);
    if (!m_pszSfRegName) {
        WriteLog("m_pszSfRegName is null, returning mem_error.\n");
        syslog(LOG_ERR | LOG_USER, "%s", "m_pszSfRegName is null, returning mem_error.\n");
        return DU_E_MEM_ALLOC;
    }

    // Only the default content has a binary install directory.
    m_pszSfBinRegName.reset();
    if (pszName == nullptr) {
        m_pszSfBinRegName = DuStrDup(kDefaultSfBinRegName);
        if (!m_pszSfBinRegName) {
            WriteLog("m_pszSfBinRegName is empty, returning mem_error.\n");
            syslog(LOG_ERR | LOG_USER, "%s", "m_pszSfBinRegName is empty, returning mem_error.\n");
            return DU_E_MEM_ALLOC;
        }
    }

    m_pszIncrRegName =
        DuConcat(pszName != nullptr ? pszName : kVirusDefsDir, kIncrRegInfix, kRegNameSuffix);
    if (!m_pszIncrRegName)
        return DU_E_MEM_ALLOC;

    WriteLog("CDefUtils::SetupNames() - end\n");
    return DU_S_OK;
}

bool CDefUtils::InitBase(const char* pszContentType)
{
    WriteLog("CDefUtils::InitBase - start.\n");
    m_pszContentType.reset();
    if (pszContentType != nullptr && *pszContentType != '\0' &&
        DuContentTypeProblem(pszContentType) != nullptr) {
        // Such a type would put the store outside tvlxdata or break the
        // section names made from it; no store is used at all, rather than
        // the default one the caller did not ask for.
        m_bAltContent = false;
        m_pszDefsDir.reset();
        m_duLastResult = DU_E_INVALID_PARAMETER;
        WriteLog("CDefUtils::InitBase - end, refused content type, returning %s.\n",
                 GetResultName(m_duLastResult));
        return false;
    }

    DuResult result = DU_S_OK;
    if (pszContentType != nullptr && *pszContentType != '\0') {
        m_pszContentType = DuStrDup(pszContentType);
        if (m_pszContentType) {
            StrLower(m_pszContentType.get());
            m_bAltContent = true;
            const char* pszType = m_pszContentType.get();
            m_pszContentDataName = DuConcat(kContentDataPrefix, pszType);
            m_pszContentDefsSubdir = DuConcat(kContentDataDir, "/", pszType);
            m_pszContentSharedName = DuConcat(kContentSharedPrefix, pszType);
            m_pszMicroDefsSection = DuFormatName(kMicroDefsSectionFormat, pszType);
        }
        if (!m_pszContentType || !m_pszContentDataName || !m_pszContentDefsSubdir ||
            !m_pszContentSharedName || !m_pszMicroDefsSection)
            result = DU_E_MEM_ALLOC;
    } else {
        m_bAltContent = false;
    }

    if (DuSucceeded(result)) {
        result = SetDefsDir();
        if (DuSucceeded(result))
            result = SetupNames(m_pszContentType.get());
    }

    m_duLastResult = result;
    if (!DuSucceeded(result)) {
        // Back to the default content; m_pszDefsDir keeps what SetDefsDir
        // produced.
        m_pszContentType.reset();
        m_bAltContent = false;
    }
    WriteLog("CDefUtils::InitBase - end, returning %s.\n", GetResultName(result));
    return DuSucceeded(result);
}

bool CDefUtils::InitWindowsApp(const char* pszAppID)
{
    WriteLog("CDefUtils::InitWindowsApp(%s) - start\n", OrNull(pszAppID));
    if (pszAppID == nullptr || *pszAppID == '\0') {
        m_duLastResult = DU_E_INVALID_PARAMETER;
        WriteLog("CDefUtils::InitWindowsApp(): Null AppId, returning false.\n");
        return false;
    }
    if (DuAppIdProblem(pszAppID) != nullptr) {
        m_duLastResult = DU_E_INVALID_PARAMETER;
        WriteLog("CDefUtils::InitWindowsApp(): refused AppId, returning false.\n");
        return false;
    }

    m_duLastResult = DU_S_OK;
    m_pszAppID = DuStrDup(pszAppID);
    if (!m_pszAppID) {
        m_duLastResult = DU_E_MEM_ALLOC;
        WriteLog("CDefUtils::InitWindowsApp(): Assign AppId failed, returning false.\n");
        return false;
    }

    if (m_pszDefsDir) {
        WriteLog("CDefUtils::InitWindowsApp(): end, returning true.\n");
        return true;
    }
    m_duLastResult = DU_E_MISSING_DEF_BASE_DIR;
    WriteLog("CDefUtils::InitWindowsApp(): DU_E_MISSING_DEF_BASE_DIR, returning false.\n");
    return false;
}

bool CDefUtils::InitInstallApp(const char* pszAppID, const char* pszInstallDir)
{
    m_duLastResult = DU_S_OK;
    WriteLog("CDefUtils::InitInstallApp - start.\n");
    if (pszAppID == nullptr || *pszAppID == '\0') {
        m_duLastResult = DU_E_INVALID_PARAMETER;
        WriteLog(" CDefUtils::InitInstallApp - end, Null AppId, returning false.\n");
        return false;
    }
    if (DuAppIdProblem(pszAppID) != nullptr) {
        m_duLastResult = DU_E_INVALID_PARAMETER;
        WriteLog(" CDefUtils::InitInstallApp - end, refused AppId, returning false.\n");
        return false;
    }

    m_pszAppInstallDir.reset();
    m_pszAppID = DuStrDup(pszAppID);
    if (!m_pszAppID) {
        m_duLastResult = DU_E_MEM_ALLOC;
        return false;
    }

    if (pszInstallDir != nullptr) {
        PathBuf installDir(pszInstallDir);
        StripTrailingSlash(installDir.data());
        // An install directory that does not exist is ignored quietly.
        if (FileExists(installDir.c_str())) {
            m_pszAppInstallDir = DuStrDup(installDir.c_str());
            if (!m_pszAppInstallDir) {
                m_duLastResult = DU_E_MEM_ALLOC;
                WriteLog(" CDefUtils::InitInstallApp - end, DU_E_MEM_ALLOC, returning false.\n");
                return false;
            }
        }
    }

    WriteLog(
        "CDefUtils::InitInstallApp(pszAppID%s, pszAppInstDir(optional):%s) - end, returning true.\n",
        m_pszAppID.get(), OrNull(m_pszAppInstallDir.get()));
    return true;
}
