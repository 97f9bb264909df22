// A small complete set whose binary hub is the whole set (the catalog lists
// every file, itself included, as a hub file), so that the store can take
// a channel from its hub and a hub package can turn it into another set.
#pragma once

#include <string>

#include "tests/support/full_sets.h"

inline void WriteHubSet(const std::string& dir, const SetDate& date)
{
    MakeDirs(dir);
    WriteTextFile(dir + "/virscan1.dat", date.Header() + date.DirName());
    WriteTextFile(dir + "/defs1.dat", "signatures of " + date.DirName() + "\n");
    WriteTextFile(dir + "/catalog.dat",
                  "[Files]\nvirscan1.dat\ncatalog.dat\ndefs1.dat\n"
                  "[Binary Hub Files - Linux]\nvirscan1.dat\n"
                  "[Binary Hub Files - Common]\ncatalog.dat\ndefs1.dat\n[Text Hub Files]\n");
}
