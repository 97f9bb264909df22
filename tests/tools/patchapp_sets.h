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

using FileSet = std::map<std::string, std::string>;  // name -> contents
using Pkg = std::vector<unsigned char>;

inline std::string RandomBytes(std::mt19937_64& rng, size_t n)
{
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

inline void WriteSet(const std::string& dir, const FileSet& set)
{
    MakeDirs(dir);
    for (const auto& f : set) WriteTextFile(dir + "/" + f.first, f.second);
}

// A subdirectory reads as "<dir>", so a leftover staging directory shows.
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

inline Pkg MakePackage(const Sandbox& sandbox, const FileSet& oldSet, const FileSet& newSet,
                       uint32_t flags)
{
    std::string oldDir = sandbox.Path("mk-old"), newDir = sandbox.Path("mk-new");
    WriteSet(oldDir, oldSet);
    WriteSet(newDir, newSet);
    Pkg package;
    std::string why;
    EXPECT_EQ(patchapp::BuildPackage(oldDir.c_str(), newDir.c_str(), flags, package, nullptr, &why),
              patchapp::PA_OK)
        << why;
    RemoveTree(oldDir);
    RemoveTree(newDir);
    return package;
}

inline std::string AsString(const Pkg& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// Recomputes the trailer after a deliberate change, so the damage reaches
// the checks behind it.
inline void Reseal(Pkg& p)
{
    uint64_t h = patchapp::Hash64(p.data(), p.size() - 8);
    for (int i = 0; i < 8; ++i) p[p.size() - 8 + i] = static_cast<unsigned char>(h >> (8 * i));
}
