// Whole-file operations (copy, delete, writability, directories) and the
// small memory and letter-case helpers.
#include "platform/fileops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "platform/boundary.h"
#include "platform/scoped_fd.h"

namespace {

// Large enough to keep the read/write fallback close to the kernel's own
// copy; the buffer size is not visible to callers.
constexpr size_t COPY_BUFFER_SIZE = 1024 * 1024;
// copy_file_range moves at most this much per call.
constexpr size_t COPY_RANGE_CHUNK = 1u << 30;

// Kernel-side copy from the current offsets. Returns 1 when the source was
// copied to its end, 0 on a real I/O error, and -1 when the file systems
// cannot do it (the offsets then stand where the copy stopped, so the
// caller goes on with read/write from there).
int CopyInKernel(int in, int out)
{
    bool copiedAny = false;
    for (;;) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, COPY_RANGE_CHUNK, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                errno == EBADF || errno == ETXTBSY || errno == EPERM)
                return -1;
            return 0;
        }
        if (n == 0)
            // Some pseudo files report size 0 and copy nothing although
            // they have content; let read() decide where the end is.
            return copiedAny ? 1 : -1;
        copiedAny = true;
    }
}

bool CopyByReadWrite(int in, int out)
{
    std::unique_ptr<char[]> buf(new (std::nothrow) char[COPY_BUFFER_SIZE]);
    if (!buf)
        return false;
    for (;;) {
        ssize_t n = ReadRetrying(in, buf.get(), COPY_BUFFER_SIZE);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!WriteFully(out, buf.get(), static_cast<size_t>(n)))
            return false;
    }
}

bool IsRegularFile(const char* pszPath, struct stat* st)
{
    return DuStatPath(pszPath, st) == 0 && S_ISREG(st->st_mode);
}

// A file with other hard links keeps its mode inside the store: the other
// names may be outside it.
BOOL ChangeMode(const char* pszPath, int fd, const struct stat& st, mode_t mode)
{
    if (st.st_nlink > 1 && DuIsBelowBoundary(pszPath))
        return FALSE;
    return fchmod(fd, mode) == 0 ? TRUE : FALSE;
}

}  // namespace

BOOL CopyFile(const char* pszSource, const char* pszTarget, BOOL bFailIfExists)
{
    struct stat st;
    ScopedFd out(CopyFileKeepOpen(pszSource, pszTarget, bFailIfExists, &st));
    // A failed copy leaves the partial target where it is.
    return out.valid() && out.close_checked() ? TRUE : FALSE;
}

int CopyFileKeepOpen(const char* pszSource, const char* pszTarget, BOOL bFailIfExists,
                     struct stat* pSourceStat)
{
    if (pszSource == nullptr || pszSource[0] == '\0' || pszTarget == nullptr ||
        pszTarget[0] == '\0' || pSourceStat == nullptr)
        return -1;

    struct stat st;
    ScopedFd in(OpenNoWait(pszSource, O_RDONLY));
    if (!in.valid() || fstat(in.get(), pSourceStat) != 0 || !S_ISREG(pSourceStat->st_mode))
        return -1;

    // The target is opened without O_TRUNC and cut only once it is known to
    // be a regular file, so a device or FIFO named as target is not
    // disturbed. An existing target keeps its permissions and owner.
    int flags = O_WRONLY | O_CREAT | (bFailIfExists ? O_EXCL : 0);
    ScopedFd out(OpenNoWait(pszTarget, flags, 0666));
    if (!out.valid() && errno == EMLINK) {
        // A target with other hard links is replaced, never written
        // through: the other names may be outside the store.
        if (DuUnlinkPath(pszTarget) != 0)
            return -1;
        out.reset(OpenNoWait(pszTarget, flags | O_EXCL, 0666));
    }
    if (!out.valid() || fstat(out.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    // Only a non-empty target is cut: on ext4 a truncation to 0 makes the
    // close start writeback of the whole new file, which halves the speed
    // of copying into a fresh target.
    if (st.st_size > 0 && ftruncate(out.get(), 0) != 0)
        return -1;
    posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    int kernel = CopyInKernel(in.get(), out.get());
    bool ok = kernel == 1 || (kernel < 0 && CopyByReadWrite(in.get(), out.get()));
    return ok ? out.release() : -1;
}

BOOL DeleteFile(const char* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return FALSE;
    // Outside the store stat follows links: a link to a regular file
    // passes, and unlink then removes the link itself. Inside it any link
    // may go: removing a name never touches what it points to.
    struct stat st {};
    if (!IsRegularFile(pszPath, &st) && !(S_ISLNK(st.st_mode) && DuIsBelowBoundary(pszPath)))
        return FALSE;
    return DuUnlinkPath(pszPath) == 0 ? TRUE : FALSE;
}

BOOL SetFileAttributes(const char* pszPath, DWORD dwAttributes)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return FALSE;
    if ((dwAttributes & ~(FILE_ATTR_READONLY | FILE_ATTR_NORMAL)) != 0)
        return FALSE;
    // Changed on the open file, so the name cannot be swapped for a link
    // between the check and the change.
    ScopedFd fd(OpenNoWait(pszPath, O_RDONLY));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return FALSE;
    mode_t mode = st.st_mode & 07777;
    bool writable = (mode & 0222) != 0;
    if ((dwAttributes & FILE_ATTR_READONLY) != 0) {
        if (!writable)
            return TRUE;
        return ChangeMode(pszPath, fd.get(), st, mode & 0555);
    }
    // Writable again means writable for the owner only; group and others
    // stay as they were.
    if (writable)
        return TRUE;
    return ChangeMode(pszPath, fd.get(), st, (mode | 0200) & 0777);
}

BOOL CreateDirectory(const char* pszPath, void* /*pSecurity*/)
{
    if (pszPath == nullptr)
        return FALSE;
    return DuMkdirPath(pszPath, 0755) == 0 ? TRUE : FALSE;
}

BOOL RemoveDirectory(const char* pszPath)
{
    if (pszPath == nullptr)
        return FALSE;
    return DuRmdirPath(pszPath) == 0 ? TRUE : FALSE;
}

void ZeroMemory(void* pBuffer, size_t nLength)
{
    if (pBuffer != nullptr && nLength != 0)
        memset(pBuffer, 0, nLength);
}

char* StrLower(char* psz)
{
    if (psz == nullptr)
        return nullptr;
    for (unsigned char* p = reinterpret_cast<unsigned char*>(psz); *p != '\0'; ++p)
        *p = static_cast<unsigned char>(tolower(*p));
    return psz;
}

namespace {

char* StrUpper(char* psz)
{
    for (unsigned char* p = reinterpret_cast<unsigned char*>(psz); *p != '\0'; ++p)
        *p = static_cast<unsigned char>(toupper(*p));
    return psz;
}

}  // namespace

uintptr_t CharLower(uintptr_t value)
{
    if (value < 256)
        return static_cast<uintptr_t>(tolower(static_cast<int>(value)));
    StrLower(reinterpret_cast<char*>(value));
    return value;
}

uintptr_t CharUpper(uintptr_t value)
{
    if (value < 256)
        return static_cast<uintptr_t>(toupper(static_cast<int>(value)));
    StrUpper(reinterpret_cast<char*>(value));
    return value;
}
