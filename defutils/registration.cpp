// Usage registration: which AppId uses which definition set. Every AppId
// has one "<AppId>=1" entry in the section of its set in usage.dat; moving
// it writes the new entry first and then sweeps the AppId (and any section
// left empty) out of every other section, so a crash in between leaves the
// AppId registered twice rather than not at all.
//
// Each profile call locks the file for its own duration only; the
// read-modify-write sequence of a registration (UseNewestDefs) runs under
// the store lock (store_lock.cpp), so two registrations, or a registration
// and the removal of the store, cannot interleave.
#include <strings.h>
#include <sys/stat.h>

#include <cstring>

#include "defutils/defutils.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "defutils/system_config.h"
#include "platform/bounded.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

// The registration sweep reads usage.dat's section-name list into this many
// bytes, which bounds how many sets one sweep can look at.
constexpr DWORD kSweepNamesSize = 8191;
// Enough to tell an empty section from one with an entry.
constexpr DWORD kSectionProbeSize = 1024;

// True when CurDefs still names pszNewest (a path, or "" for no set).
bool NewestStillIs(const char* pszDefsDir, const char* pszNewest)
{
    PathBuf value;
    DuReadCurDefs(pszDefsDir, &value);
    if (!DuIsPlainName(value.c_str()))
        return *pszNewest == '\0';
    PathBuf path;
    return DuStorePath(pszDefsDir, value.c_str(), &path) && strcmp(path.c_str(), pszNewest) == 0;
}

}  // namespace

bool CDefUtils::UpdateUsageFile(const char* pszOldDir, const char* pszNewDir, bool bAllowMissing,
                                bool* pbOldDirEmptied)
{
    if (pbOldDirEmptied != nullptr)
        *pbOldDirEmptied = false;
    if (pszOldDir != nullptr)
        WriteLog(
            "CDefUtils::UpdateUsageFile(OldDir: %s, NewDir: %s, bAllowMissing: %s, ...) - start\n",
            pszOldDir, OrNull(pszNewDir), TrueText(bAllowMissing));
    else
        WriteLog("CDefUtils::UpdateUsageFile(NewDir: %s, bAllowMissing: %s, ...) - start\n",
                 OrNull(pszNewDir), TrueText(bAllowMissing));

    if (pszNewDir == nullptr || !FileExists(pszNewDir))
        return false;
    // SetDefs checks both before calling; a direct caller without them has
    // nothing to register.
    if (!m_pszDefsDir || !m_pszAppID)
        return false;

    unsigned int nMode = DuDirModeOr(m_pszDefsDir.get(), 0775);
    PathBuf usage;
    if (!DuStorePath(m_pszDefsDir.get(), kUsageFile, &usage))
        return false;
    bool bExisted = DuFileExists(usage.data()) != 0;

    PathBuf newName, oldName;
    // Section names are not trimmed: usage.dat is keyed by the name as is.
    DuSetNameOf(pszNewDir, &newName);
    if (pszOldDir != nullptr)
        DuSetNameOf(pszOldDir, &oldName);

    if (!bAllowMissing) {
        char szProbe[kSectionProbeSize] = {};
        if (GetPrivateProfileSection(newName.c_str(), szProbe, kSectionProbeSize, usage.c_str()) ==
            0) {
            WriteLog(
                "CDefUtils::UpdateUsageFile() - GetPrivateProfileSection() failed; returning false\n");
            return false;
        }
    }

    if (WritePrivateProfileString(newName.c_str(), m_pszAppID.get(), kUsageValue, usage.c_str()) !=
        1) {
        WriteLog(
            "CDefUtils::UpdateUsageFile() - WritePrivateProfileSection() failed; returning false\n");
        return false;
    }

    // The list is a snapshot; the sweep edits the file behind it, which is
    // fine because every name is looked up again by the profile calls.
    char szNames[kSweepNamesSize] = {};
    GetPrivateProfileString(nullptr, nullptr, nullptr, szNames, kSweepNamesSize, usage.c_str());
    szNames[kSweepNamesSize - 1] = '\0';
    for (const char* pszName = szNames; pszName < szNames + kSweepNamesSize && *pszName != '\0';
         pszName += strlen(pszName) + 1) {
        // Section names match without regard to case in the profile engine,
        // so a hand-edited "[ABC]" is the section the entry was just written
        // to when NewName is "abc"; sweeping it would undo the registration.
        if (strcasecmp(pszName, newName.c_str()) == 0)
            continue;
        WritePrivateProfileString(pszName, m_pszAppID.get(), nullptr, usage.c_str());
        if (SectionIsEmpty(pszName, usage.c_str())) {
            DuTestPause("sweep");
            WritePrivateProfileString(pszName, nullptr, nullptr, usage.c_str());
            if (pbOldDirEmptied != nullptr && strcmp(pszName, oldName.c_str()) == 0)
                *pbOldDirEmptied = true;
        }
    }

    bool bResult = true;
    if (!bExisted)
        bResult = ChangeUnixOwner(usage.c_str(), nMode, false);
    WriteLog("CDefUtils::UpdateUsageFile() - returning %s", bResult ? "success" : "failure");
    return bResult;
}

bool CDefUtils::SetDefs(const char* pszDir, bool bAllowMissing)
{
    if (!m_pszAppID || !m_pszDefsDir) {
        WriteLog(
            "CDefUtils::SetDefs(%s, bAllowMissing: %s) - missing AppId or Defs Dir; returning false.\n",
            OrNull(pszDir), TrueText(bAllowMissing));
        return false;
    }
    WriteLog("CDefUtils::SetDefs(%s, bAllowMissing: %s) - start, m_pszAppID: %s\n", OrNull(pszDir),
             TrueText(bAllowMissing), m_pszAppID.get());

    PathBuf current;
    bool bHasCurrent = GetCurrentDefs(current.data(), current.size());
    if (bHasCurrent && DirsAreSame(current.c_str(), pszDir != nullptr ? pszDir : "")) {
        WriteLog("CDefUtils::SetDefs() - returning true\n");
        return true;
    }

    // Moving the AppId may leave the old set unused; a kill before it is
    // deleted must not leave it forever.
    std::unique_ptr<StoreIntent> intent;
    if (bHasCurrent)
        intent.reset(
            new StoreIntent(this, m_pszDefsDir.get(), "dir", DuLeafName(current.c_str()).c_str()));
    bool bOldEmptied = false;
    if (!UpdateUsageFile(bHasCurrent ? current.c_str() : nullptr, pszDir, bAllowMissing,
                         &bOldEmptied)) {
        WriteLog("CDefUtils::SetDefs() - returning false\n");
        return false;
    }

    // The old set lost its last user; keep it only while definfo.dat still
    // names it. A failed delete is left for the next clean-up.
    if (bHasCurrent && bOldEmptied && !DefsDirIsNewest(current.c_str()))
        DeleteDefsAndDirectory(current.c_str(), true);

    WriteLog("CDefUtils::SetDefs() - returning true\n");
    return true;
}

bool CDefUtils::SetCurrentDefs(const char* pszDir)
{
    WriteLog("CDefUtils::SetCurrentDefs(%s) - start\n", OrNull(pszDir));
    WriteLog("Calling App wants to set give app to use def in specified dir( %s ).\n",
             OrNull(pszDir));
    if (!m_pszAppID || !m_pszDefsDir)
        return false;

    PathBuf dir(pszDir);
    StripTrailingSlash(dir.data());
    bool bResult = SetDefs(dir.c_str(), false);
    WriteLog("CDefUtils::SetCurrentDefs() - returning %s\n", TrueText(bResult));
    return bResult;
}

bool CDefUtils::UseNewestDefs(char* pszDir, size_t nSize, bool* pbChanged)
{
    DuResult status = DU_S_OK;
    WriteLog("CDefUtils::UseNewestDefs() - start\n");
    DuEmptyBuffer(pszDir, nSize);
    if (pbChanged != nullptr)
        *pbChanged = false;

    if (!m_pszDefsDir) {
        status = DU_E_MISSING_DEF_BASE_DIR;
    } else if (!m_pszAppID) {
        status = DU_E_MISSING_APPID;
    } else {
        PathBuf newest, current;
        // Integrating a waiting set copies it, so that happens before the
        // store lock; the registration itself runs under it, after checking
        // that the newest set is still the one just found.
        DuResult newestResult = GetNewestDefs(newest.data(), newest.size(), true);
        StoreTransaction transaction(this);
        if (transaction.renewed() || !NewestStillIs(m_pszDefsDir.get(), newest.c_str()))
            newestResult = GetNewestDefs(newest.data(), newest.size(), false);
        status = newestResult;
        bool bHasCurrent = GetCurrentDefs(current.data(), current.size());

        if (!DuSucceeded(newestResult)) {
            WriteLog("CDefUtils::UseNewestDefs() - Failed to retrieve newest defs.\n");
            // An AppId that already has a set keeps working with it, so the
            // caller gets the real reason; a new one gets a generic failure
            // unless the store can never recover.
            if (!bHasCurrent && newestResult != DU_E_AUTH_FAILED_NO_RECOVERY &&
                newestResult != DU_E_MISSING_DEFS_NO_RECOVERY)
                status = DU_E_GENERAL;
        } else if (bHasCurrent && DirsAreSame(current.c_str(), newest.c_str())) {
            if (pszDir != nullptr && nSize > 0)
                BoundedCopy(pszDir, nSize, current.c_str());
            SetDefs(newest.c_str(), true);
        } else if (strlen(newest.c_str()) < nSize) {
            if (!SetDefs(newest.c_str(), true)) {
                status = DU_E_GENERAL;
            } else {
                if (pszDir != nullptr)
                    BoundedCopy(pszDir, nSize, newest.c_str());
                if (pbChanged != nullptr)
                    *pbChanged = true;
            }
        } else if (!bHasCurrent) {
            // The caller could not be told where the set is; do not register
            // it blind. With a registration, nothing changes.
            status = DU_E_GENERAL;
        }
    }

    m_duLastResult = status;
    WriteLog("CDefUtils::UseNewestDefs (%s, ..., pbChanged: %s ) - returning %s\n",
             OrNull(pszDir, nSize), TrueText(pbChanged != nullptr), GetResultName(status));
    return DuSucceeded(status);
}

bool CDefUtils::UseNewestDefs(bool* pbChanged)
{
    WriteLog("CDefUtils::UseNewestDefs() - start\n");
    PathBuf dir;
    bool bResult = UseNewestDefs(dir.data(), dir.size(), pbChanged);
    WriteLog("CDefUtils::UseNewestDefs() - end, returning: %s\n", bResult ? "success" : "failure");
    return bResult;
}

void CDefUtils::RemoveEmptyKey(const char* pszName)
{
    // A null key deletes the whole section, whatever it holds.
    if (pszName != nullptr)
        WritePrivateProfileString(pszName, nullptr, nullptr, TarvolixConfPath());
    WriteLog("CDefUtils::RemoveEmptyKey(%s) - returning void\n", OrNull(pszName));
}
