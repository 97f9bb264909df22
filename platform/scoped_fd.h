// Descriptor helpers of the platform layer: a POSIX descriptor closed when
// its owner goes out of scope, so every early return releases what it
// opened (release() hands the descriptor on, for example into a file handle
// record), and an open() that cannot hang on a FIFO.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include "platform/boundary.h"

class ScopedFd {
public:
    ScopedFd() = default;
    explicit ScopedFd(int fd) : m_fd(fd) {}
    ~ScopedFd() { reset(); }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }
    // Closes now and reports the result; close errors matter for written
    // files (delayed write failures show up there).
    bool close_checked()
    {
        int fd = release();
        return fd < 0 || close(fd) == 0;
    }

private:
    int m_fd = -1;
};

// open() that cannot hang on a FIFO nobody serves and never leaks into the
// update client's shell; below the store boundary it also refuses links
// (platform/boundary.h).
inline int OpenNoWait(const char* pszPath, int flags, mode_t mode = 0)
{
    return DuOpenPath(pszPath, flags, mode);
}

// read(2), or pread(2) at offset `at` when it is not negative, retried while
// a signal interrupts it.
inline ssize_t ReadRetrying(int fd, void* p, size_t n, off_t at = -1)
{
    ssize_t got;
    do {
        got = at >= 0 ? pread(fd, p, n, at) : read(fd, p, n);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Writes all n bytes: at offset `at` (pwrite) when it is not negative, else
// at the file position; short writes and EINTR are retried. False on an
// error or when nothing more can be written.
inline bool WriteFully(int fd, const char* p, size_t n, off_t at = -1)
{
    while (n > 0) {
        ssize_t w = at >= 0 ? pwrite(fd, p, n, at) : write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
        if (at >= 0)
            at += w;
    }
    return true;
}
