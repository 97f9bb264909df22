/* Preloaded: appends every path the program opens to $QDU_OPEN_TRACE and
 * fails those below /etc, so a test sees the machine files it would read.
 * open and openat are what the program imports; should it call another
 * variant, the test misses /etc/Tarvolix.conf and fails. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

static int Open(int dirfd, const char* pszPath, int flags, mode_t mode)
{
    static int (*real)(int, const char*, int, ...);
    if (real == NULL)
        real = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
    const char* pszTrace = getenv("QDU_OPEN_TRACE");
    if (pszTrace != NULL && pszPath != NULL) {
        int fd = real(AT_FDCWD, pszTrace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        /* One write per line keeps the lines of concurrent processes whole. */
        struct iovec line[2] = {{(void*)pszPath, strlen(pszPath)}, {"\n", 1}};
        if (fd >= 0) {
            writev(fd, line, 2);
            close(fd);
        }
        if (strncmp(pszPath, "/etc/", 5) == 0) {
            errno = ENOENT;
            return -1;
        }
    }
    return real(dirfd, pszPath, flags, mode);
}

/* The mode argument exists only when the flags say it was passed. */
#define TRACED(name, params, dir)                                                    \
    int name params                                                                  \
    {                                                                                \
        va_list ap;                                                                  \
        va_start(ap, flags);                                                         \
        mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0; \
        va_end(ap);                                                                  \
        return Open(dir, p, flags, mode);                                            \
    }
TRACED(open, (const char* p, int flags, ...), AT_FDCWD)
TRACED(openat, (int d, const char* p, int flags, ...), d)
