#include "tests/support/sandbox.h"

#include <dirent.h>
#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    // Make directories writable first so chmod-ed test trees can be removed.
    chmod(path, 0700);
    return remove(path);
}

std::string EffectiveGroupName(gid_t gid)
{
    struct group* gr = getgrgid(gid);
    return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

}  // namespace

Sandbox::Sandbox() : m_gid(getegid())
{
    std::string tmpl = (getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp");
    tmpl += "/qdu-sandbox-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
        abort();
    }
    m_root = buf.data();
    m_baseDir = m_root + "/base";
    m_tarvolixConf = m_root + "/etc/Tarvolix.conf";
    m_defutilsConf = m_root + "/etc/tvlx-defutils.conf";
    m_group = EffectiveGroupName(m_gid);
    MakeDirs(m_root + "/etc");
    WriteTarvolixConf("[Tarvolix Shared]\nBaseDir=" + m_baseDir + "\n");
    setenv("QORDEFUTIL_SANDBOX_TARVOLIX_CONF", m_tarvolixConf.c_str(), 1);
    setenv("QORDEFUTIL_SANDBOX_DEFUTILS_CONF", m_defutilsConf.c_str(), 1);
    setenv("QORDEFUTIL_SANDBOX_GROUP", m_group.c_str(), 1);
}

Sandbox::~Sandbox()
{
    unsetenv("QORDEFUTIL_SANDBOX_TARVOLIX_CONF");
    unsetenv("QORDEFUTIL_SANDBOX_DEFUTILS_CONF");
    unsetenv("QORDEFUTIL_SANDBOX_GROUP");
    if (getenv("QDU_KEEP_SANDBOX") == nullptr)
        RemoveTree(m_root);
}

void Sandbox::WriteTarvolixConf(const std::string& contents) const
{
    WriteTextFile(m_tarvolixConf, contents);
}

void Sandbox::WriteDefutilsConf(const std::string& contents) const
{
    WriteTextFile(m_defutilsConf, contents);
}

void Sandbox::SetGroupName(const std::string& name)
{
    m_group = name;
    setenv("QORDEFUTIL_SANDBOX_GROUP", m_group.c_str(), 1);
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
    std::string partial;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/')
        partial = "/";
    while (std::getline(ss, part, '/')) {
        if (part.empty())
            continue;
        partial += part;
        mkdir(partial.c_str(), mode);
        partial += "/";
    }
}

void RemoveTree(const std::string& path)
{
    if (!path.empty())
        nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

int PathMode(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

std::vector<std::string> ListDir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}
