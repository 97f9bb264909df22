// Builders for definition sets on disk, for tests of the store: a dated
// "virscan1.dat" header, a "catalog.dat" with named sections written line
// by line (so a test can put line ends, directories or blanks into an
// entry), and a whole set directory with its catalog.
//
// Every builder writes below a directory the caller owns (normally a
// Sandbox path) and creates missing parents; failures are reported as
// gtest failures, never thrown.
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

// Writes <dir>/<fileName> holding the header for the date.
void WriteDefDateFile(const std::string& dir, int nYear, int nMonth, int nDay, uint32_t nRev,
                      const std::string& fileName = "virscan1.dat");

struct CatalogSection {
    std::string name;
    // Written as given, each followed by "\n".
    std::vector<std::string> lines;
};

// Writes <dir>/catalog.dat with the sections in order.
void WriteCatalog(const std::string& dir, const std::vector<CatalogSection>& sections);

// Creates <parent>/<name> holding virscan1.dat dated as given and the extra
// files (contents: their own name), with a catalog whose "Files" section
// lists virscan1.dat and the extras. Returns the set's path.
std::string MakeDefSet(const std::string& parent, const std::string& name, int nYear, int nMonth,
                       int nDay, uint32_t nRev, const std::vector<std::string>& extraFiles = {});

// --- Whole sets and the store's bookkeeping files ------------------------------

struct DefDate {
    int year;
    int month;
    int day;
    uint32_t revision;
};

// "YYYYMMDD.RRR", the directory name the store gives a set of that date.
std::string SetName(const DefDate& date);

// DefDateHeader of the date.
std::string VirscanHeader(const DefDate& date);

struct SetSpec {
    explicit SetSpec(const DefDate& d, std::map<std::string, std::string> f = {},
                     std::vector<std::string> missing = {}, std::vector<std::string> clean = {})
        : date(d), files(std::move(f)), missingFiles(std::move(missing)), cleanup(std::move(clean))
    {
    }

    DefDate date;
    // Extra files: name -> contents.
    std::map<std::string, std::string> files;
    // Names listed in "Files" but not written: the set is incomplete.
    std::vector<std::string> missingFiles;
    // Patterns of the "Cleanup Files" section (omitted when empty).
    std::vector<std::string> cleanup;
    // Name of the main file as written (the store accepts any letter case).
    std::string virscanName = "virscan1.dat";
};

// Writes the set into dir (created when missing): the main file (header
// followed by "body"), the extra files, and a catalog whose "Files" section
// lists the main file, the catalog itself, the extras and missingFiles.
void WriteSet(const std::string& dir, const SetSpec& spec);

// definfo.dat in defsDir with the given values; an empty value leaves the
// key out.
void WriteDefInfo(const std::string& defsDir, const std::string& cur, const std::string& last);

// Value of a DefDates key in defsDir/definfo.dat, or "<missing>".
std::string DefInfoValue(const std::string& defsDir, const std::string& key);

// The sections of a profile file in file order, each with its non-empty
// lines as written; for comparing bookkeeping files whole.
std::vector<std::pair<std::string, std::vector<std::string>>> ReadSections(const std::string& path);

// Group id of a path, or (gid_t)-1.
gid_t PathGroup(const std::string& path);

class Sandbox;
// Points the sandbox at a group other than the caller's effective group
// when one is available (a well-known group for root, a supplementary group
// otherwise), so that ownership checks see a real change. Returns the gid
// the store should then use. Call before the program or a store manager
// creates anything.
gid_t UseDistinctStoreGroup(Sandbox* pSandbox);
