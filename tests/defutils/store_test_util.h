// Helpers for the file-set tests: a dated set directory and a log callback
// that keeps every line with its object prefix stripped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"

// dir/name holding a virscan1.dat dated year-month-day.rev; returns its path.
inline std::string MakeSet(const std::string& dir, const std::string& name, int nYear, int nMonth,
                           int nDay, uint32_t nRev)
{
    WriteDefDateFile(dir + "/" + name, nYear, nMonth, nDay, nRev);
    return dir + "/" + name;
}

class LogCapture : public CDefUtils::CLogCallback {
public:
    void OnLogLine(const char* pszLine) override
    {
        const char* pszText = strchr(pszLine, ' ');
        lines.push_back(pszText != nullptr ? pszText + 1 : pszLine);
    }
    bool Contains(const std::string& line) const
    {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::vector<std::string> lines;
};
