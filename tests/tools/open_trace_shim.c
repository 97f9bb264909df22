/* Loaded with LD_PRELOAD into a program under test: appends the path of
 * every open() and openat() the program makes through libc to the file
 * named by QDU_OPEN_TRACE, one per line, and fails the opens of paths
 * below /etc with ENOENT. A test thereby sees which machine files the
 * shipped program reads, without it reading (or creating) any of them.
 * Without QDU_OPEN_TRACE the opens pass through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

typedef int (*OpenAtFn)(int, const char*, int, ...);

static OpenAtFn RealOpenAt(void)
{
    static OpenAtFn pfn;
    if (pfn == NULL)
        pfn = (OpenAtFn)dlsym(RTLD_NEXT, "openat");
    return pfn;
}

/* Returns -1 (errno ENOENT) when the open must fail, else 0. */
static int Trace(const char* pszPath)
{
    const char* pszTrace = getenv("QDU_OPEN_TRACE");
    if (pszTrace == NULL || pszPath == NULL)
        return 0;
    int fd = RealOpenAt()(AT_FDCWD, pszTrace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        /* One write per line, so lines of concurrent processes stay whole. */
        size_t n = strlen(pszPath);
        char line[4200];
        if (n > sizeof line - 1)
            n = sizeof line - 1;
        memcpy(line, pszPath, n);
        line[n] = '\n';
        ssize_t written = write(fd, line, n + 1);
        (void)written;
        close(fd);
    }
    if (strncmp(pszPath, "/etc/", 5) == 0) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

static int TracedOpenAt(int dirfd, const char* pszPath, int flags, mode_t mode)
{
    int saved = errno;
    if (Trace(pszPath) != 0)
        return -1;
    errno = saved;
    return RealOpenAt()(dirfd, pszPath, flags, mode);
}

/* The mode argument is read only when the flags say it was passed. */
#define MODE_ARG(flags, last, mode)                         \
    do {                                                    \
        if ((flags) & (O_CREAT | O_TMPFILE)) {              \
            va_list ap;                                     \
            va_start(ap, last);                             \
            (mode) = (mode_t)va_arg(ap, int);               \
            va_end(ap);                                     \
        }                                                   \
    } while (0)

int open(const char* pszPath, int flags, ...)
{
    mode_t mode = 0;
    MODE_ARG(flags, flags, mode);
    return TracedOpenAt(AT_FDCWD, pszPath, flags, mode);
}

int open64(const char* pszPath, int flags, ...)
{
    mode_t mode = 0;
    MODE_ARG(flags, flags, mode);
    return TracedOpenAt(AT_FDCWD, pszPath, flags, mode);
}

int openat(int dirfd, const char* pszPath, int flags, ...)
{
    mode_t mode = 0;
    MODE_ARG(flags, flags, mode);
    return TracedOpenAt(dirfd, pszPath, flags, mode);
}

int openat64(int dirfd, const char* pszPath, int flags, ...)
{
    mode_t mode = 0;
    MODE_ARG(flags, flags, mode);
    return TracedOpenAt(dirfd, pszPath, flags, mode);
}

/* What _FORTIFY_SOURCE turns a two-argument open into. */
int __open_2(const char* pszPath, int flags)
{
    return TracedOpenAt(AT_FDCWD, pszPath, flags, 0);
}

int __open64_2(const char* pszPath, int flags)
{
    return TracedOpenAt(AT_FDCWD, pszPath, flags, 0);
}

int __openat_2(int dirfd, const char* pszPath, int flags)
{
    return TracedOpenAt(dirfd, pszPath, flags, 0);
}

int __openat64_2(int dirfd, const char* pszPath, int flags)
{
    return TracedOpenAt(dirfd, pszPath, flags, 0);
}
