// Read access to CDefUtils' private state (it names this class a friend), so tests see what
// an operation left in the object without widening its interface. Unset members read "<null>".
#pragma once

#include <string>

#include "defutils/defutils.h"

class CDefUtilsTestAccess {
public:
    static std::string DefsDir(const CDefUtils& du) { return Text(du.m_pszDefsDir.get()); }
    static std::string InstallDir(const CDefUtils& du) { return Text(du.m_pszAppInstallDir.get()); }
    static bool LogOpen(const CDefUtils& du) { return static_cast<bool>(du.m_pLogFile); }
    // Content flag, type, registration and derived names, blank-separated.
    static std::string Names(const CDefUtils& du)
    {
        std::string s = du.m_bAltContent ? "alt" : "default";
        for (const char* psz : {du.m_pszContentType.get(), du.m_pszSfRegName.get(),
                                du.m_pszSfBinRegName.get(), du.m_pszIncrRegName.get(),
                                du.m_pszContentDataName.get(), du.m_pszContentDefsSubdir.get(),
                                du.m_pszContentSharedName.get(), du.m_pszMicroDefsSection.get()})
            s += " " + Text(psz);
        return s;
    }

private:
    static std::string Text(const char* psz) { return psz != nullptr ? psz : "<null>"; }
};
