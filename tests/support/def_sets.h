// Builders for definition sets and the store's bookkeeping files on disk:
// a dated "virscan1.dat" header, a "catalog.dat" written line by line (so a
// test can put odd entries into it), whole set directories, definfo.dat.
// Every builder writes below a directory the caller owns, creates missing
// parents and reports failures as gtest failures.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The 32-byte header of a definitions file: revision at offset 4 (little
// endian), month, day and year - 1900 at 8, 9 and 10, filler elsewhere.
std::string DefDateHeader(int nYear, int nMonth, int nDay, uint32_t nRev);
void WriteDefDateFile(const std::string& dir, int nYear, int nMonth, int nDay, uint32_t nRev,
                      const std::string& fileName = "virscan1.dat");

struct CatalogSection {
    std::string name;
    std::vector<std::string> lines;  // each written followed by "\n"
};
void WriteCatalog(const std::string& dir, const std::vector<CatalogSection>& sections);

// A set's date as its header holds it.
struct SetDate {
    int year;
    int month;
    int day;
    uint32_t rev;

    // "YYYYMMDD.RRR", the set's directory name in a store.
    std::string DirName() const;
    std::string Header() const { return DefDateHeader(year, month, day, rev); }
};

// What WriteSet lays out: a dated set with extra files, catalog entries
// for files it lacks, and cleanup patterns.
struct SetLayout {
    explicit SetLayout(const SetDate& d, std::map<std::string, std::string> f = {},
                       std::vector<std::string> missing = {}, std::vector<std::string> clean = {})
        : date(d), files(std::move(f)), missingFiles(std::move(missing)), cleanup(std::move(clean))
    {
    }

    SetDate date;
    std::map<std::string, std::string> files;  // extra files: name -> contents
    std::vector<std::string> missingFiles;     // listed but not written
    std::vector<std::string> cleanup;          // "Cleanup Files" patterns
    std::string virscanName = "virscan1.dat";  // the store accepts any case
};

// The main file (header + "body"), the extras, and a catalog listing the
// main file, itself, the extras and missingFiles.
void WriteSet(const std::string& dir, const SetLayout& layout);

// definfo.dat text with CurDefs and LastDefs ("" leaves a key out).
std::string DefInfoText(const std::string& cur, const std::string& last);
void WriteDefInfo(const std::string& defsDir, const std::string& cur, const std::string& last);
// Value of a DefDates key in defsDir/definfo.dat, or "<missing>".
std::string DefInfoValue(const std::string& defsDir, const std::string& key);

// Group id of a path, or (gid_t)-1.
gid_t PathGroup(const std::string& path);

class Sandbox;
// Points the sandbox at a group other than the caller's effective group
// when one is available (a well-known group for root, a supplementary group
// otherwise), so that ownership checks see a real change. Returns the gid
// the store should then use. Call before anything is created.
gid_t UseDistinctStoreGroup(Sandbox* pSandbox);
