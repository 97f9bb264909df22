// Builders for definition sets on disk, for tests of the store: a dated
// "virscan1.dat" header, a "catalog.dat" with named sections written line
// by line (so a test can put line ends, directories or blanks into an
// entry), and a whole set directory with its catalog.
//
// Every builder writes below a directory the caller owns (normally a
// Sandbox path) and creates missing parents; failures are reported as
// gtest failures, never thrown.
#pragma once

#include <cstdint>
#include <string>
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
