// Definition sets for the patch library tests: generated in memory, written
// to and read back from sandbox directories, and turned into packages.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"
#include "tools/patchapp/hash.h"
#include "tools/patchapp/package_builder.h"

// File name -> contents.
using FileSet = std::map<std::string, std::string>;

inline std::string RandomBytes(std::mt19937_64& rng, size_t n)
{
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

// Overwrites, inserts and deletes a few short runs, as a new revision of a
// definition file would.
inline std::string Edit(std::mt19937_64& rng, std::string s, int edits)
{
    for (int i = 0; i < edits && !s.empty(); ++i) {
        size_t at = rng() % s.size();
        size_t len = 1 + rng() % 64;
        switch (rng() % 3) {
        case 0: s.replace(at, std::min(len, s.size() - at), RandomBytes(rng, len)); break;
        case 1: s.insert(at, RandomBytes(rng, len)); break;
        default: s.erase(at, len); break;
        }
    }
    return s;
}

inline void WriteSet(const std::string& dir, const FileSet& set)
{
    MakeDirs(dir);
    for (const auto& f : set)
        WriteTextFile(dir + "/" + f.first, f.second);
}

// Every entry of dir; a subdirectory shows up with the contents "<dir>" so
// a leftover staging directory makes the comparison fail.
inline FileSet ReadSet(const std::string& dir)
{
    FileSet set;
    for (const std::string& name : ListDir(dir)) {
        struct stat st;
        std::string path = dir + "/" + name;
        bool isDir = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        set[name] = isDir ? "<dir>" : ReadTextFile(path);
    }
    return set;
}

// The package turning old into new, made through the sandbox.
inline std::vector<unsigned char> MakePackage(const Sandbox& sandbox, const FileSet& oldSet,
                                              const FileSet& newSet, uint32_t flags)
{
    static int serial = 0;
    std::string oldDir = sandbox.Path("mk-old-" + std::to_string(serial));
    std::string newDir = sandbox.Path("mk-new-" + std::to_string(serial));
    ++serial;
    WriteSet(oldDir, oldSet);
    WriteSet(newDir, newSet);
    std::vector<unsigned char> package;
    std::string why;
    EXPECT_EQ(patchapp::BuildPackage(oldDir.c_str(), newDir.c_str(), flags, package, nullptr, &why),
              patchapp::PA_OK)
        << why;
    RemoveTree(oldDir);
    RemoveTree(newDir);
    return package;
}

inline std::string AsString(const std::vector<unsigned char>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// Recomputes a package's trailer after a deliberate change, so the damage
// reaches the checks behind it.
inline void Reseal(std::vector<unsigned char>& p)
{
    uint64_t h = patchapp::Hash64(p.data(), p.size() - 8);
    for (int i = 0; i < 8; ++i)
        p[p.size() - 8 + i] = static_cast<unsigned char>(h >> (8 * i));
}
