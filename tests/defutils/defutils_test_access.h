// Read access to CDefUtils' private state (it names this class a friend), so tests see what
// an operation left in the object without widening its interface.
#pragma once

#include "defutils/defutils.h"

class CDefUtilsTestAccess {
public:
    static bool LogOpen(const CDefUtils& du) { return static_cast<bool>(du.m_pLogFile); }
};
