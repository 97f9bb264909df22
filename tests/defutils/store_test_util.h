// Helpers shared by the store manager tests: definition-set headers, set
// directories and a log callback that keeps every line.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

// A 32-byte definitions header (or its first nLength bytes) with the date
// fields at their offsets and a recognisable filler elsewhere.
inline std::string DefHeader(uint32_t nRev, int nMonth, int nDay, int nYearByte,
                             size_t nLength = 32)
{
    std::string header(32, '\x5a');
    for (int i = 0; i < 4; ++i)
        header[4 + i] = static_cast<char>((nRev >> (8 * i)) & 0xff);
    header[8] = static_cast<char>(nMonth);
    header[9] = static_cast<char>(nDay);
    header[10] = static_cast<char>(nYearByte);
    return header.substr(0, nLength);
}

// A set directory below dir holding a virscan1.dat dated year-month-day.rev.
inline std::string MakeSet(const std::string& dir, const std::string& name, int nYear, int nMonth,
                           int nDay, uint32_t nRev)
{
    std::string setDir = dir + "/" + name;
    MakeDirs(setDir);
    WriteTextFile(setDir + "/virscan1.dat", DefHeader(nRev, nMonth, nDay, nYear - 1900));
    return setDir;
}

// Keeps every debug-log line an object writes, prefix stripped.
class LogCapture : public CDefUtils::CLogCallback {
public:
    void OnLogLine(const char* pszLine) override
    {
        std::string line = pszLine;
        size_t nBlank = line.find(' ');
        lines.push_back(nBlank == std::string::npos ? line : line.substr(nBlank + 1));
    }
    bool Contains(const std::string& line) const
    {
        for (const std::string& l : lines)
            if (l == line)
                return true;
        return false;
    }
    std::vector<std::string> lines;
};
