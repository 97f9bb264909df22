// Falling back to the previous definition set: the "last" set named in
// definfo.dat becomes the newest again and the bad one goes when nobody uses
// it. Registered AppIds are not moved; they follow on their next query for
// the newest set.
#include <cstring>

#include "defutils/defutils.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "platform/bounded.h"
#include "platform/paths.h"
#include "platform/profile.h"

bool CDefUtils::RestoreLastDefs()
{
    WriteLog("CDefUtils::RestoreLastDefs() - start\n");
    bool bResult = false;

    // Without a definitions directory there is no definfo.dat to read; a
    // relative "definfo.dat" in the working directory must not be used.
    if (m_pszDefsDir) {
        StoreTransaction transaction(this);
        PathBuf defInfo;
        DuStorePath(m_pszDefsDir.get(), kDefInfoFile, &defInfo);

        PathBuf cur;
        DuReadDefDatesKeyTrimmed(defInfo.c_str(), kCurDefsKey, &cur);

        PathBuf last;
        DWORD nRead = DuReadDefDatesKey(defInfo.c_str(), kLastDefsKey, &last);
        // Values that are not plain set names are nobody's set: restoring
        // "../x" or removing it would reach outside the store.
        if (nRead != 0 && strcmp(last.c_str(), kKeyMissing) != 0 &&
            DuIsPlainName(TrimSpaces(last.data()))) {
            PathBuf lastDir;
            DuStorePath(m_pszDefsDir.get(), last.c_str(), &lastDir);
            if (strcmp(last.c_str(), cur.c_str()) == 0) {
                WriteLog(
                    "CDefUtils::RestoreLastDefs() - %s and cur def are the same, no restoration.\n",
                    last.c_str());
            } else if (!FileExists(lastDir.c_str())) {
                WriteLog("CDefUtils::RestoreLastDefs() - %s does not exist on this machine.\n",
                         lastDir.c_str());
            } else {
                // The set restored away from is unnamed from here until
                // it is deleted.
                StoreIntent intent(this, m_pszDefsDir.get(), "dir", cur.c_str());
                bResult = UpdateNewestDefs(lastDir.c_str(), false);
                // Runs even when the CurDefs write failed. Dropping LastDefs
                // makes a restore possible only once per integrated set.
                if (DuIsPlainName(cur.c_str())) {
                    PathBuf curDir;
                    DuStorePath(m_pszDefsDir.get(), cur.c_str(), &curDir);
                    RemoveUnusedDirectory(curDir.c_str());
                    WritePrivateProfileString(kDefDatesSection, kLastDefsKey, nullptr,
                                              defInfo.c_str());
                }
            }
        }
    }

    WriteLog("CDefUtils::RestoreLastDefs() - returning %s\n", bResult ? "true" : "false");
    return bResult;
}

bool CDefUtils::RevertToLastGoodDefs()
{
    WriteLog("CDefUtils::RevertToLastGoodDefs() - start\n");
    // No revert policy exists (m_bRevertFlag is never set), so there is
    // never anything to revert; callers keep their call for when one does.
    return true;
}
