// Read access to CDefUtils' private state for the store tests.
//
// CDefUtils names this class a friend; it only reads members, so tests check
// what an operation left in the object without widening the public
// interface.
#pragma once

#include <string>

#include "defutils/defutils.h"

class CDefUtilsTestAccess {
public:
    // The member as a string; "<null>" when it is not set.
    static std::string DefsDir(const CDefUtils& du) { return Text(du.m_pszDefsDir.get()); }
    static std::string AppId(const CDefUtils& du) { return Text(du.m_pszAppID.get()); }
    static std::string AppInstallDir(const CDefUtils& du) { return Text(du.m_pszAppInstallDir.get()); }
    static std::string ContentType(const CDefUtils& du) { return Text(du.m_pszContentType.get()); }
    static std::string ContentDataName(const CDefUtils& du) { return Text(du.m_pszContentDataName.get()); }
    static std::string ContentDefsSubdir(const CDefUtils& du) { return Text(du.m_pszContentDefsSubdir.get()); }
    static std::string ContentSharedName(const CDefUtils& du) { return Text(du.m_pszContentSharedName.get()); }
    static std::string MicroDefsSection(const CDefUtils& du) { return Text(du.m_pszMicroDefsSection.get()); }
    static std::string SfRegName(const CDefUtils& du) { return Text(du.m_pszSfRegName.get()); }
    static std::string SfBinRegName(const CDefUtils& du) { return Text(du.m_pszSfBinRegName.get()); }
    static std::string IncrRegName(const CDefUtils& du) { return Text(du.m_pszIncrRegName.get()); }
    static std::string LogFileName(const CDefUtils& du) { return Text(du.m_pszLogFileName.get()); }
    static bool LogOpen(const CDefUtils& du) { return static_cast<bool>(du.m_pLogFile); }
    static bool AltContent(const CDefUtils& du) { return du.m_bAltContent; }
    static DWORD IncomingLock(const CDefUtils& du) { return du.m_hIncomingLock; }
    static DWORD SkyfetcherLock(const CDefUtils& du) { return du.m_hSkyfetcherLock; }

private:
    static std::string Text(const char* psz) { return psz != nullptr ? psz : "<null>"; }
};
