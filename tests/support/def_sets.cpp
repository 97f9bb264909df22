#include "tests/support/def_sets.h"

#include "tests/support/sandbox.h"

std::string DefDateHeader(int nYear, int nMonth, int nDay, uint32_t nRev)
{
    std::string header(32, '\x5a');
    for (int i = 0; i < 4; ++i)
        header[4 + i] = static_cast<char>((nRev >> (8 * i)) & 0xff);
    header[8] = static_cast<char>(nMonth);
    header[9] = static_cast<char>(nDay);
    header[10] = static_cast<char>(nYear - 1900);
    return header;
}

void WriteDefDateFile(const std::string& dir, int nYear, int nMonth, int nDay, uint32_t nRev,
                      const std::string& fileName)
{
    MakeDirs(dir);
    WriteTextFile(dir + "/" + fileName, DefDateHeader(nYear, nMonth, nDay, nRev));
}

void WriteCatalog(const std::string& dir, const std::vector<CatalogSection>& sections)
{
    std::string text;
    for (const CatalogSection& section : sections) {
        text += "[" + section.name + "]\n";
        for (const std::string& line : section.lines)
            text += line + "\n";
    }
    MakeDirs(dir);
    WriteTextFile(dir + "/catalog.dat", text);
}

std::string MakeDefSet(const std::string& parent, const std::string& name, int nYear, int nMonth,
                       int nDay, uint32_t nRev, const std::vector<std::string>& extraFiles)
{
    std::string setDir = parent + "/" + name;
    WriteDefDateFile(setDir, nYear, nMonth, nDay, nRev);
    CatalogSection files{"Files", {"virscan1.dat"}};
    for (const std::string& file : extraFiles) {
        WriteTextFile(setDir + "/" + file, file);
        files.lines.push_back(file);
    }
    WriteCatalog(setDir, {files});
    return setDir;
}
