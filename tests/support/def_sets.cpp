#include "tests/support/def_sets.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/profile.h"
#include "tests/support/sandbox.h"

std::string DefDateHeader(int nYear, int nMonth, int nDay, uint32_t nRev)
{
    std::string header(32, '\x5a');
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>((nRev >> (8 * i)) & 0xff);
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
        for (const std::string& line : section.lines) text += line + "\n";
    }
    MakeDirs(dir);
    WriteTextFile(dir + "/catalog.dat", text);
}

std::string SetDate::DirName() const
{
    char name[64];
    snprintf(name, sizeof name, "%04d%02d%02d.%03u", year, month, day, static_cast<unsigned>(rev));
    return name;
}

void WriteSet(const std::string& dir, const SetLayout& layout)
{
    MakeDirs(dir);
    WriteTextFile(dir + "/" + layout.virscanName, layout.date.Header() + "body");
    CatalogSection files{"Files", {layout.virscanName, "catalog.dat"}};
    for (const auto& file : layout.files) {
        WriteTextFile(dir + "/" + file.first, file.second);
        files.lines.push_back(file.first);
    }
    files.lines.insert(files.lines.end(), layout.missingFiles.begin(), layout.missingFiles.end());
    std::vector<CatalogSection> sections = {files};
    if (!layout.cleanup.empty())
        sections.push_back(CatalogSection{"Cleanup Files", layout.cleanup});
    WriteCatalog(dir, sections);
}

std::string DefInfoText(const std::string& cur, const std::string& last)
{
    return "[DefDates]\n" + (cur.empty() ? "" : "CurDefs=" + cur + "\n") +
           (last.empty() ? "" : "LastDefs=" + last + "\n");
}

void WriteDefInfo(const std::string& defsDir, const std::string& cur, const std::string& last)
{
    MakeDirs(defsDir);
    WriteTextFile(defsDir + "/definfo.dat", DefInfoText(cur, last), 0664);
}

std::string DefInfoValue(const std::string& defsDir, const std::string& key)
{
    char value[256];
    GetPrivateProfileString("DefDates", key.c_str(), "<missing>", value, sizeof value,
                            (defsDir + "/definfo.dat").c_str());
    return value;
}

gid_t PathGroup(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
}

gid_t UseDistinctStoreGroup(Sandbox* pSandbox)
{
    gid_t own = getegid();
    std::vector<gid_t> candidates;
    if (geteuid() == 0) {
        for (const char* name : {"daemon", "bin", "sys", "adm", "nogroup", "users"}) {
            if (struct group* gr = getgrnam(name))
                candidates.push_back(gr->gr_gid);
        }
    } else {
        gid_t groups[256];
        int n = getgroups(256, groups);
        for (int i = 0; i < n; ++i) candidates.push_back(groups[i]);
    }
    for (gid_t gid : candidates) {
        struct group* gr = getgrgid(gid);
        if (gid != own && gr != nullptr) {
            pSandbox->SetGroupName(gr->gr_name);
            return gid;
        }
    }
    return pSandbox->GroupId();
}
