// Captures a store manager's debug-log lines through a log callback (add it
// with CDefUtils::AddLogCallback, remove it before it goes out of scope).
// The "%p " object prefix is dropped; the rest is kept byte for byte.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "defutils/defutils.h"

class LogCapture : public CDefUtils::CLogCallback {
public:
    void OnLogLine(const char* pszLine) override
    {
        const char* pszText = strchr(pszLine, ' ');
        lines.push_back(pszText != nullptr ? pszText + 1 : pszLine);
    }
    bool Has(const std::string& line) const
    {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::vector<std::string> lines;
};
