// Complete definition sets for pipeline tests: a dated main file, data and
// hub files tagged with the set's name, and a catalog listing them, plus a
// check that a store holds such a set unmixed. Built on def_sets.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

// Files besides virscan1.dat and catalog.dat; each holds the set's tag.
inline const std::vector<std::string>& SetDataFiles()
{
    static const std::vector<std::string> files = {"defs1.dat", "binlinux.dat", "bincommon.dat",
                                                   "texthub.dat"};
    return files;
}

// Writes a complete set into dir; the tag defaults to the directory name.
inline void WriteSet(const std::string& dir, const SetDate& date, const std::string& tag = "")
{
    std::string name = tag.empty() ? date.DirName() : tag;
    MakeDirs(dir);
    WriteTextFile(dir + "/virscan1.dat", date.Header() + name);
    WriteTextFile(dir + "/catalog.dat",
                  "[Files]\nvirscan1.dat\ncatalog.dat\ndefs1.dat\nbinlinux.dat\nbincommon.dat\n"
                  "texthub.dat\n[Binary Hub Files - Linux]\nbinlinux.dat\n"
                  "[Binary Hub Files - Common]\nbincommon.dat\n[Text Hub Files]\ntexthub.dat\n");
    for (const std::string& file : SetDataFiles())
        WriteTextFile(dir + "/" + file, file + " of " + name + "\n");
}

// True when dir holds every file the builder writes, all with one tag (so
// the set was not mixed from two sources); the tag goes to *pTag.
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
