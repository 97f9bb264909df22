// Which set is the newest (definfo.dat "CurDefs") and which set an AppId
// uses (its section in usage.dat), the date variants and comparisons built
// on them, and the test whether a set is one of the two protected ones.
// Every query re-reads the bookkeeping files; nothing is cached.
#include <syslog.h>

#include <cstring>

#include "defutils/defutils.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "platform/bounded.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

// A key look-up reads the file's section-name list into this many bytes,
// which bounds how many sets it can search.
constexpr DWORD kKeyLookupNamesSize = 10000;

long ShownValue(const WORD* pw)
{
    return pw != nullptr ? static_cast<long>(*pw) : 0L;
}

long ShownValue(const DWORD* pdw)
{
    return pdw != nullptr ? static_cast<long>(*pdw) : 0L;
}

}  // namespace

DuResult CDefUtils::GetNewestDefs(char* pszDir, size_t nSize, bool bProcessIncoming)
{
    WriteLog("CDefUtils::GetNewestDefs() - start.\n");
    DuEmptyBuffer(pszDir, nSize);
    DuResult result = DU_S_OK;

    if (!m_pszDefsDir) {
        WriteLog("CDefUtils::GetNewestDefs(): Missing the base DefDir.\n");
        syslog(LOG_ERR | LOG_USER, "%s", "CDefUtils::GetNewestDefs(): Missing Base DefDir.\n");
        return DU_E_MISSING_DEF_BASE_DIR;
    }

    if (bProcessIncoming) {
        WriteLog("CDefUtils::GetNewestDefs(): Start ProcessingIncomingDir()\n");
        // Its successes (lock or authentication trouble included) reach the
        // caller; its failures do not stop the query.
        DuResult incoming = ProcessIncomingDir();
        if (DuSucceeded(incoming))
            result = incoming;
        WriteLog("CDefUtils::GetNewestDefs(): Finish ProcessingIncomingDir()\n");
    }

    PathBuf defInfo;
    if (!DuStorePath(m_pszDefsDir.get(), kDefInfoFile, &defInfo) || !DuFileExists(defInfo.data())) {
        WriteLog("CDefUtils::GetNewestDefs(): Missing the DEFINFO.DAT.\n");
        syslog(LOG_ERR | LOG_USER, "%s", "CDefUtils::GetNewestDefs(): Missing DEFINFO.DAT.\n");
        return DU_E_MISSING_DEFINFO;
    }

    WriteLog("CDefUtils::GetNewestDefs(): Calling GetPrivateProfileString: %s.\n", defInfo.c_str());
    PathBuf newest;
    DuReadDefDatesKey(defInfo.c_str(), kCurDefsKey, &newest);
    WriteLog("CDefUtils::GetNewestDefs(): szNewestDir is %s before the if block.\n",
             newest.c_str());

    if (strcmp(newest.c_str(), kKeyMissing) != 0) {
        TrimSpaces(newest.data());
        // A blank value names no set; joining it would make the definitions
        // directory itself look like the newest set. A value that is not a
        // plain name ("..", "../x", "/etc") names none in the store either.
        if (!newest.empty() && !DuIsPlainName(newest.c_str())) {
            result = DU_E_MISSING_DEF_DIR;
        } else if (!newest.empty()) {
            PathBuf setDir;
            DuStorePath(m_pszDefsDir.get(), newest.c_str(), &setDir);
            if (pszDir != nullptr && nSize > 0)
                BoundedCopy(pszDir, nSize, setDir.c_str());
            // A set without its catalog is one an interrupted command left
            // half built or half deleted: no newest set, so that the next
            // install of it is not taken for a repeat and rebuilds it.
            PathBuf catalog(setDir.c_str());
            if (!FileExists(setDir.c_str()) ||
                !DuAppendPath(catalog.data(), kCatalogFile, catalog.size()) ||
                !DuFileExists(catalog.data()))
                result = DU_E_MISSING_DEF_DIR;
        }
    }

    WriteLog("CDefUtils::GetNewestDefs(): returning %s.\n", GetResultName(result));
    return result;
}

bool CDefUtils::GetNewestDefsDate(WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev)
{
    WriteLog("CDefUtils::GetNewestDefsDate(LPWORD pwYear,..) - start.\n");
    PathBuf newest;
    DuResult result = GetNewestDefs(newest.data(), newest.size(), true);
    WriteLog("Called GetNewestDefs(%s).\n", newest.c_str());

    if (DuSucceeded(result)) {
        DuResult dateResult = GetDefDate(newest.c_str(), pwYear, pwMonth, pwDay, pdwRev, false);
        WriteLog("Called GetDefDate(%s, year:%ld, month:%ld, day:%ld, rev:%ld.\n", newest.c_str(),
                 ShownValue(pwYear), ShownValue(pwMonth), ShownValue(pwDay), ShownValue(pdwRev));
        if (dateResult != DU_S_OK)
            result = dateResult;
    }

    m_duLastResult = result;
    WriteLog("CDefUtils::GetNewestDefsDate - end, returning %s.\n", GetResultName(result));
    return DuSucceeded(result);
}

bool CDefUtils::GetCurrentDefs(char* pszDir, size_t nSize)
{
    DuEmptyBuffer(pszDir, nSize);
    WriteLog("CDefUtils::GetCurrentDefs() - start.\n");

    if (!m_pszDefsDir) {
        WriteLog("Missing Defsdir, exiting.\n");
        syslog(LOG_ERR | LOG_USER, "%s", "Missing Defsdir.\n");
        return false;
    }
    if (!m_pszAppID) {
        WriteLog("Missing AppId, exiting.\n");
        return false;
    }

    PathBuf usage;
    bool bJoined = DuStorePath(m_pszDefsDir.get(), kUsageFile, &usage);
    if ((!bJoined || !DuFileExists(usage.data())) && !RebuildUsageFile()) {
        WriteLog("Missing USAGE.DAT; RebuildUsageFile()failed as well, exiting.\n");
        syslog(LOG_ERR | LOG_USER, "%s", "Missing USAGE.DAT; RebuildUsageFile()failed as well.\n");
        return false;
    }

    PathBuf section;
    if (GetSectionNameFromKey(section.data(), section.size(), m_pszAppID.get(), usage.c_str())) {
        PathBuf setDir;
        DuStorePath(m_pszDefsDir.get(), section.c_str(), &setDir);
        if (pszDir != nullptr && nSize > 0)
            BoundedCopy(pszDir, nSize, setDir.c_str());
        if (FileExists(setDir.c_str())) {
            WriteLog("CDefUtils::GetCurrentDefs(%s) - end, returning true.\n", setDir.c_str());
            return true;
        }
    }

    WriteLog("CDefUtils::GetCurrentDefs(%s) - end, returning false.\n", OrNull(pszDir, nSize));
    return false;
}

bool CDefUtils::GetCurrentDefsDate(WORD* pwYear, WORD* pwMonth, WORD* pwDay, DWORD* pdwRev)
{
    m_duLastResult = DU_S_OK;
    WriteLog("CDefUtils::GetCurrentDefsDate() - start.\n");
    if (!m_pszAppID) {
        m_duLastResult = DU_E_MISSING_APPID;
        return false;
    }

    PathBuf current;
    if (GetCurrentDefs(current.data(), current.size()))
        m_duLastResult = GetDefDate(current.c_str(), pwYear, pwMonth, pwDay, pdwRev, false);
    else
        m_duLastResult = DU_E_GENERAL;

    WriteLog(
        "CDefUtils::GetCurrentDefsDate, get date(y:%ld,m:%ld,d:%ld, r:%ld) of def used by this app - end.\n",
        ShownValue(pwYear), ShownValue(pwMonth), ShownValue(pwDay), ShownValue(pdwRev));
    return DuSucceeded(m_duLastResult);
}

bool CDefUtils::DefsAreNewest(bool* pbNewest)
{
    WriteLog("CDefUtils::DefsAreNewest() - start.\n");
    if (pbNewest != nullptr)
        *pbNewest = false;

    PathBuf newest, current;
    DuResult newestResult = GetNewestDefs(newest.data(), newest.size(), true);
    bool bCurrent = GetCurrentDefs(current.data(), current.size());

    if (!DuSucceeded(newestResult) || !bCurrent) {
        m_duLastResult = !DuSucceeded(newestResult) ? newestResult : DU_E_GENERAL;
        WriteLog("CDefUtils::DefsAreNewest() - returning false.\n");
        return false;
    }

    if (pbNewest != nullptr)
        *pbNewest = strcmp(newest.c_str(), current.c_str()) == 0;
    m_duLastResult =
        newestResult == DU_S_AUTH_FAILED_USING_OLD ? DU_S_AUTH_FAILED_USING_OLD : DU_S_OK;
    WriteLog("CDefUtils::DefsAreNewest() - returning true.\n");
    return true;
}

DuResult CDefUtils::DefsInDirAreNewest(const char* pszDir, bool* pbNewest)
{
    WriteLog("CDefUtils::DefsInDirAreNewest(%s) - start\n", OrNull(pszDir));
    PathBuf newest;
    DuResult result = GetNewestDefs(newest.data(), newest.size(), true);
    if (!DuSucceeded(result)) {
        // Without a usable newest set, whatever the caller has is the best
        // the store knows of.
        if (pbNewest != nullptr)
            *pbNewest = true;
        WriteLog(
            "CDefUtils::DefsInDirAreNewest() - GetNewestDefs() failed. Assume %s contains the latest.\n",
            OrNull(pszDir));
        return DU_S_OK;
    }

    bool bNewer = DefsAreNewer(pszDir, newest.c_str(), false, false);
    if (bNewer)
        WriteLog("CDefUtils::DefsInDirAreNewest() - %s is newer than %s\n", OrNull(pszDir),
                 newest.c_str());
    else
        WriteLog("CDefUtils::DefsInDirAreNewest() - %s is older than %s\n", OrNull(pszDir),
                 newest.c_str());
    if (pbNewest != nullptr)
        *pbNewest = bNewer;

    WriteLog("CDefUtils::DefsInDirAreNewest() - returning %s\n", GetResultName(result));
    return result;
}

bool CDefUtils::DefsDirIsNewest(const char* pszDir)
{
    WriteLog("CDefUtils::DefsDirIsNewest(%s) - start\n", OrNull(pszDir));

    PathBuf name;
    DuRecordedSetName(pszDir, &name);

    PathBuf defInfo(m_pszDefsDir ? m_pszDefsDir.get() : "");
    // Without a definitions directory there is no definfo.dat to consult.
    bool bHaveDefInfo =
        !defInfo.empty() && DuAppendPath(defInfo.data(), kDefInfoFile, defInfo.size());

    PathBuf value(kKeyMissing);
    if (bHaveDefInfo)
        DuReadDefDatesKeyTrimmed(defInfo.c_str(), kCurDefsKey, &value);
    if (strcmp(value.c_str(), name.c_str()) == 0) {
        WriteLog("CDefUtils::DefsDirIsNewest() - returning true.\n");
        return true;
    }

    value.assign(kKeyMissing);
    if (bHaveDefInfo)
        DuReadDefDatesKeyTrimmed(defInfo.c_str(), kLastDefsKey, &value);
    WriteLog("CDefUtils::DefsDirIsNewest() - LAST_DEFS is %s.\n", value.c_str());
    if (strcmp(value.c_str(), name.c_str()) == 0) {
        WriteLog("CDefUtils::DefsDirIsNewest() - returning true.\n");
        return true;
    }

    WriteLog("CDefUtils::DefsDirIsNewest() - returning false\n");
    return false;
}

bool CDefUtils::GetSectionNameFromKey(char* pszSection, size_t nSize, const char* pszKey,
                                      const char* pszFile)
{
    WriteLog("CDefUtils::GetSectionNameFromKey - start.\n");

    PathBuf file(pszFile);
    if (pszFile == nullptr || !DuFileExists(file.data())) {
        WriteLog(" %s does not exist, function prematurally exits.\n", OrNull(pszFile));
        return false;
    }

    // A null key would make the profile read list a whole section and so
    // "match" the first one.
    char szNames[kKeyLookupNamesSize] = {};
    if (pszKey == nullptr ||
        GetPrivateProfileSectionNames(szNames, kKeyLookupNamesSize, file.c_str()) == 0) {
        WriteLog("CDefUtils::GetSectionNameFromKey - end, failed to get section name.\n");
        return false;
    }

    // The list holds terminated names and ends with an empty one; the last
    // byte of the buffer is never part of a name, so the walk stays inside.
    szNames[kKeyLookupNamesSize - 1] = '\0';
    const char* pszFound = nullptr;
    PathBuf value;
    for (const char* pszName = szNames; pszName < szNames + kKeyLookupNamesSize && *pszName != '\0';
         pszName += strlen(pszName) + 1) {
        // A section that is not a plain set name is never taken as a path.
        PathBuf trimmed(pszName);
        if (!DuIsPlainName(TrimSpaces(trimmed.data())))
            continue;
        GetPrivateProfileString(pszName, pszKey, kKeyMissing, value.data(),
                                static_cast<DWORD>(value.size()), file.c_str());
        if (strcmp(value.c_str(), kKeyMissing) != 0) {
            pszFound = pszName;
            break;
        }
    }
    if (pszFound == nullptr) {
        WriteLog("CDefUtils::GetSectionNameFromKey - end, failed to get section name.\n");
        return false;
    }

    PathBuf section(pszFound);
    TrimSpaces(section.data());
    if (pszSection != nullptr && nSize >= 1)
        BoundedCopy(pszSection, nSize, section.c_str());
    WriteLog("CDefUtils::GetSectionNameFromKey(%s) - end, returning true\n",
             pszSection != nullptr && nSize >= 1 ? pszSection : section.c_str());
    return true;
}

bool CDefUtils::RebuildUsageFile()
{
    // usage.dat cannot be reconstructed from the sets on disk: which AppId
    // used which set is recorded nowhere else.
    return false;
}
