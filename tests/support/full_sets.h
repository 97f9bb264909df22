// Complete definition sets for pipeline tests: a dated main file, data and
// hub files tagged with the set's name, and a catalog listing all of them,
// plus checks of what a store holds afterwards. Built on def_sets.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

// Date and revision of a set; its directory name in a store is
// "YYYYMMDD.RRR".
struct SetDate {
    int year;
    int month;
    int day;
    uint32_t rev;

    std::string DirName() const
    {
        char szName[32];
        snprintf(szName, sizeof szName, "%04d%02d%02d.%03u", year, month, day, rev);
        return szName;
    }
};

inline std::string SetHeader(const SetDate& date)
{
    return DefDateHeader(date.year, date.month, date.day, date.rev);
}

// Files of every set the builder makes, besides virscan1.dat and
// catalog.dat. Each holds the set's tag so a test can tell sets apart.
inline const std::vector<std::string>& SetDataFiles()
{
    static const std::vector<std::string> files = {"defs1.dat", "binlinux.dat", "bincommon.dat",
                                                   "texthub.dat"};
    return files;
}

inline std::string SetCatalog()
{
    return "[Files]\n"
           "virscan1.dat\n"
           "catalog.dat\n"
           "defs1.dat\n"
           "binlinux.dat\n"
           "bincommon.dat\n"
           "texthub.dat\n"
           "[Binary Hub Files - Linux]\n"
           "binlinux.dat\n"
           "[Binary Hub Files - Common]\n"
           "bincommon.dat\n"
           "[Text Hub Files]\n"
           "texthub.dat\n";
}

// Writes a complete set dated `date` into dir (created when missing). The
// tag defaults to the set's directory name.
inline void WriteSet(const std::string& dir, const SetDate& date, const std::string& tag = "")
{
    std::string name = tag.empty() ? date.DirName() : tag;
    MakeDirs(dir);
    WriteTextFile(dir + "/virscan1.dat", SetHeader(date) + name);
    WriteTextFile(dir + "/catalog.dat", SetCatalog());
    for (const std::string& file : SetDataFiles())
        WriteTextFile(dir + "/" + file, file + " of " + name + "\n");
}

// definfo.dat with the given CurDefs and LastDefs ("" leaves a key out).
inline std::string DefInfoText(const std::string& cur, const std::string& last)
{
    std::string text = "[DefDates]\n";
    if (!cur.empty())
        text += "CurDefs=" + cur + "\n";
    if (!last.empty())
        text += "LastDefs=" + last + "\n";
    return text;
}

// The trimmed value of key in [DefDates] of a definfo.dat, "" when absent.
inline std::string DefDatesValue(const std::string& defInfoPath, const std::string& key)
{
    char szValue[DU_MAX_PATH];
    GetPrivateProfileString("DefDates", key.c_str(), "", szValue, sizeof szValue,
                            defInfoPath.c_str());
    return szValue;
}

// True when dir holds every file the builder writes, each carrying the
// same tag (so the set was not mixed from two sources).
inline bool IsCompleteSet(const std::string& dir, std::string* pTag = nullptr)
{
    std::string main = ReadTextFile(dir + "/virscan1.dat");
    if (main.size() <= 32 || !PathExists(dir + "/catalog.dat"))
        return false;
    std::string tag = main.substr(32);
    for (const std::string& file : SetDataFiles()) {
        if (ReadTextFile(dir + "/" + file) != file + " of " + tag + "\n")
            return false;
    }
    if (pTag != nullptr)
        *pTag = tag;
    return true;
}
