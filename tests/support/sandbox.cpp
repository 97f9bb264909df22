#include "tests/support/sandbox.h"

#include <dirent.h>
#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

const char* const kEnvNames[] = {"QORDEFUTIL_SANDBOX_TARVOLIX_CONF",
                                 "QORDEFUTIL_SANDBOX_DEFUTILS_CONF", "QORDEFUTIL_SANDBOX_GROUP"};

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*)
{
    // So trees a test chmod-ed can still be removed; never through a link,
    // which may point at anything a test planted it to.
    if (type != FTW_SL && type != FTW_SLN)
        chmod(path, 0700);
    return remove(path);
}

}  // namespace

Sandbox::Sandbox() : m_gid(getegid())
{
    std::string tmpl = std::string(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp") +
                       "/qdu-sandbox-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
        abort();
    }
    m_root = tmpl;
    m_baseDir = m_root + "/base";
    m_tarvolixConf = m_root + "/etc/Tarvolix.conf";
    m_defutilsConf = m_root + "/etc/tvlx-defutils.conf";
    struct group* gr = getgrgid(m_gid);
    m_group = gr != nullptr ? gr->gr_name : std::to_string(m_gid);
    MakeDirs(m_root + "/etc");
    WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + m_baseDir + "\n");
    setenv(kEnvNames[0], m_tarvolixConf.c_str(), 1);
    setenv(kEnvNames[1], m_defutilsConf.c_str(), 1);
    setenv(kEnvNames[2], m_group.c_str(), 1);
}

Sandbox::~Sandbox()
{
    for (const char* name : kEnvNames) unsetenv(name);
    if (getenv("QDU_KEEP_SANDBOX") == nullptr)
        RemoveTree(m_root);
}

void Sandbox::SetGroupName(const std::string& name)
{
    m_group = name;
    setenv(kEnvNames[2], m_group.c_str(), 1);
}

void WriteTextFile(const std::string& path, const std::string& contents, mode_t mode)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    out.close();
    ASSERT_TRUE(out) << "cannot write " << path;
    chmod(path.c_str(), mode);
}

std::string ReadTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool PathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string& path, mode_t mode)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), mode);
    mkdir(path.c_str(), mode);
}

void RemoveTree(const std::string& path)
{
    if (!path.empty())
        nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void CopyTree(const std::string& from, const std::string& to)
{
    struct stat st;
    if (lstat(from.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        WriteTextFile(to, ReadTextFile(from), st.st_mode & 07777);
        return;
    }
    MakeDirs(to, st.st_mode & 07777);
    chmod(to.c_str(), st.st_mode & 07777);
    for (const std::string& name : ListDir(from)) CopyTree(from + "/" + name, to + "/" + name);
}

void Sandbox::SaveStore(const std::string& dir) const
{
    RemoveTree(dir);
    MakeDirs(dir);
    CopyTree(m_baseDir, dir + "/base");
    CopyTree(m_defutilsConf, dir + "/defutils.conf");
}

void Sandbox::RestoreStore(const std::string& dir) const
{
    RemoveTree(m_baseDir);
    CopyTree(dir + "/base", m_baseDir);
    unlink(m_defutilsConf.c_str());
    CopyTree(dir + "/defutils.conf", m_defutilsConf);
}

int PathMode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

std::vector<std::string> ListDir(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> PrefixedLines(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line.substr(prefix.size()));
    }
    return lines;
}

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream words(text);
    return {std::istream_iterator<std::string>(words), {}};
}
