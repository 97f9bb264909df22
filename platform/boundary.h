// The store boundary: every path below one registered directory is resolved
// beneath it, one component at a time, without following a symbolic link
// anywhere on the way and without leaving it through "..".
//
// Why: the tool runs as root on a tree whose directories any member of the
// store's group may write. A name built from a string is a race there: a
// component can become a link to /etc between a check and its use. Every
// file operation of the platform layer goes through this module, so a
// caller cannot forget: a path below the boundary that meets a link fails
// (errno ELOOP or EXDEV) as if the entry were not there; paths outside the
// boundary (the source directory of an install, the configuration files)
// are the administrator's choice and are used as they are.
//
// Calling order: the store manager registers its base directory once it
// has read it (DuSetPathBoundary); the boundary directory itself may be a
// link the administrator made, it is opened as configured. With no boundary
// registered every path is used as it is. The boundary is process-wide
// state; one program works on one base directory.
//
// Errors: -1 (or false) with errno set, as the POSIX calls they wrap.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// Registers pszRoot (copied; trailing slashes dropped) as the boundary;
// null or empty clears it and its group.
void DuSetPathBoundary(const char* pszRoot);
// The store's group: a file below the boundary with more than one hard
// link is opened only when it has this group (the patch library links
// unchanged files the store made). Until a group is registered, none is.
void DuSetBoundaryGroup(gid_t gid);
// The registered boundary, or an empty string.
const std::string& DuPathBoundary();
// True when pszPath lies strictly below the boundary.
bool DuIsBelowBoundary(const char* pszPath);

// While one lives (nested pins join the outermost), resolutions below the
// boundary share one descriptor of it instead of opening it for each call:
// walks over a set resolve several paths per file. Pin only for a bounded
// piece of work: a boundary directory replaced meanwhile is not seen.
class DuBoundaryPin {
public:
    DuBoundaryPin();
    ~DuBoundaryPin();
    DuBoundaryPin(const DuBoundaryPin&) = delete;
    DuBoundaryPin& operator=(const DuBoundaryPin&) = delete;
};

// open(2) that cannot hang on a FIFO (opened O_NONBLOCK, which is cleared
// again) and never leaks into a child (O_CLOEXEC). Below the boundary it
// also refuses links on the way, anything that is neither a regular file
// nor a directory (EINVAL), opening for writing a regular file with more
// than one hard link, and opening one for reading unless it has the store's
// group (EMLINK): a hard link planted in the store could otherwise make
// root write through to a file elsewhere, or copy it into a set.
int DuOpenPath(const char* pszPath, int flags, mode_t mode = 0);

// The directory holding a path's last component, for the *at() calls.
// Outside the boundary the directory is AT_FDCWD and the leaf is the whole
// path, so both cases run the same code.
class DuParentDir {
public:
    explicit DuParentDir(const char* pszPath);
    ~DuParentDir();
    DuParentDir(const DuParentDir&) = delete;
    DuParentDir& operator=(const DuParentDir&) = delete;

    bool valid() const { return m_valid; }
    int fd() const { return m_fd; }
    const char* leaf() const { return m_leaf.c_str(); }
    // True when the path lies below the boundary.
    bool beneath() const { return m_beneath; }

private:
    int m_fd = -1;
    bool m_valid = false;
    bool m_beneath = false;
    std::string m_leaf;
};

// stat(2) outside the boundary; below it the entry itself (a link reports
// as a link, never as what it points to).
int DuStatPath(const char* pszPath, struct stat* pSt);
// lstat(2) in both cases.
int DuLstatPath(const char* pszPath, struct stat* pSt);
int DuUnlinkPath(const char* pszPath);
int DuMkdirPath(const char* pszPath, mode_t mode);
int DuRmdirPath(const char* pszPath);
int DuRenamePath(const char* pszFrom, const char* pszTo);
// opendir(3); below the boundary the directory is opened without links.
DIR* DuOpenDirPath(const char* pszPath);

// Test seam: resolve below the boundary by the component walk instead of
// openat2, as on kernels without it.
void DuForceBoundaryWalk(bool bForce);
