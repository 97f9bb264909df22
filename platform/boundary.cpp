#include "platform/boundary.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/scoped_fd.h"

namespace {

std::string g_boundary;
bool g_forceWalk = false;
bool g_groupKnown = false;
gid_t g_group = 0;

// The part of pszPath below the boundary ("." for the boundary's own
// subtree root), or null when the path is not below it.
const char* RelativeToBoundary(const char* pszPath)
{
    if (pszPath == nullptr || g_boundary.empty())
        return nullptr;
    size_t n = g_boundary.size();
    if (strncmp(pszPath, g_boundary.c_str(), n) != 0)
        return nullptr;
    // "/" as the boundary: everything absolute is below it.
    const char* rest = pszPath + n;
    if (g_boundary != "/" && *rest != '/')
        return nullptr;
    while (*rest == '/') ++rest;
    return *rest == '\0' ? nullptr : rest;
}

int OpenRoot()
{
    int fd;
    do {
        fd = open(g_boundary.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The boundary's descriptor while a DuBoundaryPin lives (-1 otherwise, or
// when it could not be opened).
int g_pinnedRoot = -1;
int g_pinDepth = 0;

// The boundary opened for one resolution: the pinned descriptor, or one of
// its own that it closes.
class RootFd {
public:
    RootFd() : m_fd(g_pinnedRoot >= 0 ? g_pinnedRoot : OpenRoot()), m_owned(g_pinnedRoot < 0) {}
    ~RootFd()
    {
        if (m_owned && m_fd >= 0)
            close(m_fd);
    }
    RootFd(const RootFd&) = delete;
    RootFd& operator=(const RootFd&) = delete;
    bool valid() const { return m_fd >= 0; }
    int get() const { return m_fd; }

private:
    int m_fd;
    bool m_owned;
};

// Resolution one component at a time with O_NOFOLLOW, for kernels (or
// sandboxes) without openat2. ".." is refused outright: the store never
// builds such paths, so one is always somebody else's.
int WalkBeneath(int root, const char* rel, int flags, mode_t mode)
{
    std::string path(rel);
    bool wantDir = !path.empty() && path.back() == '/';
    while (!path.empty() && path.back() == '/') path.pop_back();
    ScopedFd cur(dup(root));
    if (!cur.valid())
        return -1;
    size_t pos = 0;
    for (;;) {
        while (pos < path.size() && path[pos] == '/') ++pos;
        size_t end = path.find('/', pos);
        bool last = end == std::string::npos;
        std::string comp = path.substr(pos, last ? std::string::npos : end - pos);
        if (comp == "..") {
            errno = EXDEV;
            return -1;
        }
        if (last) {
            int f = flags | O_NOFOLLOW | O_CLOEXEC | (wantDir ? O_DIRECTORY : 0);
            const char* name = comp.empty() || comp == "." ? "." : comp.c_str();
            int fd;
            do {
                fd = openat(cur.get(), name, f, mode);
            } while (fd < 0 && errno == EINTR);
            return fd;
        }
        if (!comp.empty() && comp != ".") {
            int next =
                openat(cur.get(), comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0)
                return -1;
            cur.reset(next);
        }
        pos = end + 1;
    }
}

int OpenBeneath(const char* rel, int flags, mode_t mode)
{
    RootFd root;
    if (!root.valid())
        return -1;
    if (!g_forceWalk) {
        struct open_how how;
        memset(&how, 0, sizeof how);
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        // O_TMPFILE includes the O_DIRECTORY bit, so it is tested whole;
        // a mode without a create is refused by openat2.
        bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
        how.mode = creates ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd;
        do {
            fd = syscall(SYS_openat2, root.get(), rel, &how, sizeof how);
        } while (fd < 0 && errno == EINTR);
        // ENOSYS: an older kernel; EPERM: a seccomp filter that does not know it.
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
            return static_cast<int>(fd);
    }
    return WalkBeneath(root.get(), rel, flags, mode);
}

}  // namespace

DuBoundaryPin::DuBoundaryPin()
{
    if (g_pinDepth++ == 0 && !g_boundary.empty())
        g_pinnedRoot = OpenRoot();
}

DuBoundaryPin::~DuBoundaryPin()
{
    if (--g_pinDepth == 0 && g_pinnedRoot >= 0) {
        close(g_pinnedRoot);
        g_pinnedRoot = -1;
    }
}

void DuSetPathBoundary(const char* pszRoot)
{
    // A new boundary is opened afresh by each resolution until the next pin.
    if (g_pinnedRoot >= 0) {
        close(g_pinnedRoot);
        g_pinnedRoot = -1;
    }
    g_boundary = pszRoot != nullptr ? pszRoot : "";
    if (g_boundary.empty())
        g_groupKnown = false;
    while (g_boundary.size() > 1 && g_boundary.back() == '/') g_boundary.pop_back();
}

const std::string& DuPathBoundary()
{
    return g_boundary;
}

bool DuIsBelowBoundary(const char* pszPath)
{
    return RelativeToBoundary(pszPath) != nullptr;
}

void DuSetBoundaryGroup(gid_t gid)
{
    g_group = gid;
    g_groupKnown = true;
}

void DuForceBoundaryWalk(bool bForce)
{
    g_forceWalk = bForce;
}

int DuOpenPath(const char* pszPath, int flags, mode_t mode)
{
    if (pszPath == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const char* rel = RelativeToBoundary(pszPath);
    int f = flags | O_NONBLOCK | O_CLOEXEC;
    int fd;
    if (rel == nullptr) {
        do {
            fd = open(pszPath, f, mode);
        } while (fd < 0 && errno == EINTR);
    } else {
        fd = OpenBeneath(rel, f, mode);
    }
    if (fd < 0)
        return -1;
    ScopedFd owned(fd);
    if ((flags & O_PATH) == 0) {
        struct stat st;
        if (fstat(fd, &st) != 0)
            return -1;
        if (rel != nullptr) {
            if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
                errno = EINVAL;
                return -1;
            }
            bool foreign = !g_groupKnown || st.st_gid != g_group;
            if (S_ISREG(st.st_mode) && st.st_nlink > 1 &&
                ((flags & O_ACCMODE) != O_RDONLY || foreign)) {
                errno = EMLINK;
                return -1;
            }
        }
        // O_NONBLOCK means nothing to a regular file or a directory, so it
        // is cleared only from what it can change (a FIFO or a device).
        bool bInert = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
        if ((flags & O_NONBLOCK) == 0 && !bInert) {
            int fl = fcntl(fd, F_GETFL);
            if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
                return -1;
        }
    }
    return owned.release();
}

DuParentDir::DuParentDir(const char* pszPath)
{
    const char* rel = RelativeToBoundary(pszPath);
    if (rel == nullptr) {
        if (pszPath == nullptr)
            return;
        m_fd = AT_FDCWD;
        m_leaf = pszPath;
        m_valid = true;
        return;
    }
    m_beneath = true;
    std::string path(rel);
    while (!path.empty() && path.back() == '/') path.pop_back();
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    m_leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (m_leaf.empty() || m_leaf == "." || m_leaf == "..") {
        errno = EINVAL;
        return;
    }
    m_fd = OpenBeneath(dir.c_str(), O_PATH | O_DIRECTORY, 0);
    m_valid = m_fd >= 0;
}

DuParentDir::~DuParentDir()
{
    if (m_fd >= 0)
        close(m_fd);
}

int DuStatPath(const char* pszPath, struct stat* pSt)
{
    DuParentDir parent(pszPath);
    if (!parent.valid())
        return -1;
    return fstatat(parent.fd(), parent.leaf(), pSt, parent.beneath() ? AT_SYMLINK_NOFOLLOW : 0);
}

int DuLstatPath(const char* pszPath, struct stat* pSt)
{
    DuParentDir parent(pszPath);
    if (!parent.valid())
        return -1;
    return fstatat(parent.fd(), parent.leaf(), pSt, AT_SYMLINK_NOFOLLOW);
}

int DuUnlinkPath(const char* pszPath)
{
    DuParentDir parent(pszPath);
    return parent.valid() ? unlinkat(parent.fd(), parent.leaf(), 0) : -1;
}

int DuMkdirPath(const char* pszPath, mode_t mode)
{
    DuParentDir parent(pszPath);
    return parent.valid() ? mkdirat(parent.fd(), parent.leaf(), mode) : -1;
}

int DuRmdirPath(const char* pszPath)
{
    DuParentDir parent(pszPath);
    return parent.valid() ? unlinkat(parent.fd(), parent.leaf(), AT_REMOVEDIR) : -1;
}

int DuRenamePath(const char* pszFrom, const char* pszTo)
{
    DuParentDir from(pszFrom);
    DuParentDir to(pszTo);
    if (!from.valid() || !to.valid())
        return -1;
    return renameat(from.fd(), from.leaf(), to.fd(), to.leaf());
}

DIR* DuOpenDirPath(const char* pszPath)
{
    if (!DuIsBelowBoundary(pszPath))
        return pszPath != nullptr ? opendir(pszPath) : nullptr;
    int fd = DuOpenPath(pszPath, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return nullptr;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr)
        close(fd);
    return dir;
}
