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

private:
    static std::string Text(const char* psz) { return psz != nullptr ? psz : "<null>"; }
};
