// Captures a store manager's debug-log lines through a log callback, so
// tests can check the exact lines an operation writes.
//
// Register with CDefUtils::AddLogCallback before the operation and remove it
// again before the capture goes out of scope. The "%p " object prefix is
// dropped from every line; the rest is kept byte for byte.
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
