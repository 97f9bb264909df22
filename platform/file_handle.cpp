// The file handle: CreateFile and the operations on the record it returns.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/file_handle_record.h"
#include "platform/fileops.h"
#include "platform/find.h"
#include "platform/scoped_fd.h"

namespace {

constexpr DWORD SHARE_ALLOWED = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD SHARE_REQUIRED = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD SEEK_FAILED = 0xFFFFFFFFu;

bool ValidDisposition(DWORD d)
{
    return d == CREATE_NEW || d == CREATE_ALWAYS || d == OPEN_EXISTING || d == OPEN_ALWAYS ||
           d == TRUNCATE_EXISTING;
}

bool ValidCreateArguments(const char* pszPath, DWORD dwAccess, DWORD dwShareMode,
                          const SecurityAttributes* pSecurity, DWORD dwDisposition, DWORD dwFlags,
                          HANDLE hTemplate)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return false;
    if (dwAccess < 1 || dwAccess > 3)
        return false;
    if ((dwShareMode & ~SHARE_ALLOWED) != 0 || (dwShareMode & SHARE_REQUIRED) != SHARE_REQUIRED)
        return false;
    if (pSecurity != nullptr && (pSecurity->dwReserved1 != 0 || pSecurity->dwReserved2 != 0))
        return false;
    if (!ValidDisposition(dwDisposition) || (dwFlags & ~CREATE_FILE_FLAG_MASK) != 0)
        return false;
    if (hTemplate != nullptr)
        return false;
    return dwDisposition != TRUNCATE_EXISTING || (dwAccess & GENERIC_WRITE) != 0;
}

int OpenModeFor(DWORD dwAccess)
{
    if (dwAccess == (GENERIC_READ | GENERIC_WRITE))
        return O_RDWR;
    return dwAccess == GENERIC_WRITE ? O_WRONLY : O_RDONLY;
}

}  // namespace

FileHandleRecord* LiveFileHandle(HANDLE hFile)
{
    if (hFile == nullptr || hFile == INVALID_HANDLE_VALUE)
        return nullptr;
    FileHandleRecord* rec = static_cast<FileHandleRecord*>(hFile);
    return rec->tag == FILE_HANDLE_TAG ? rec : nullptr;
}

HANDLE WrapFileHandle(int fd, DWORD access, const char* pszAbsolutePath)
{
    ScopedFd guard(fd);
    FileHandleRecord* rec = new (std::nothrow) FileHandleRecord;
    if (rec == nullptr)
        return INVALID_HANDLE_VALUE;
    rec->tag = FILE_HANDLE_TAG;
    rec->fd = guard.release();
    rec->access = access;
    BoundedCopy(rec->path, sizeof rec->path, pszAbsolutePath);
    return rec;
}

bool MakeAbsolutePath(const char* pszPath, char* out)
{
    if (pszPath[0] == '/') {
        if (strlen(pszPath) >= DU_MAX_PATH)
            return false;
        BoundedCopy(out, DU_MAX_PATH, pszPath);
        return true;
    }
    if (getcwd(out, DU_MAX_PATH) == nullptr)
        return false;
    size_t cwdLen = strlen(out);
    // The `/` is added even after the root directory: "//name" still names
    // the same file.
    if (cwdLen + 1 + strlen(pszPath) + 1 > DU_MAX_PATH)
        return false;
    BoundedAppend(out, DU_MAX_PATH, "/");
    BoundedAppend(out, DU_MAX_PATH, pszPath);
    return true;
}

HANDLE CreateFile(const char* pszPath, DWORD dwAccess, DWORD dwShareMode,
                  const SecurityAttributes* pSecurity, DWORD dwDisposition, DWORD dwFlags,
                  HANDLE hTemplate)
{
    if (!ValidCreateArguments(pszPath, dwAccess, dwShareMode, pSecurity, dwDisposition, dwFlags,
                              hTemplate))
        return INVALID_HANDLE_VALUE;

    char szPath[DU_MAX_PATH];
    if (!MakeAbsolutePath(pszPath, szPath))
        return INVALID_HANDLE_VALUE;

    struct stat st;
    bool exists = DuStatPath(szPath, &st) == 0;
    if (!exists && errno != ENOENT)
        return INVALID_HANDLE_VALUE;

    int flags = OpenModeFor(dwAccess);
    switch (dwDisposition) {
        case CREATE_NEW:
            if (exists)
                return INVALID_HANDLE_VALUE;
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            if (exists && (!S_ISREG(st.st_mode) || DuUnlinkPath(szPath) != 0))
                return INVALID_HANDLE_VALUE;
            flags |= O_CREAT | O_EXCL;
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        default:  // OPEN_EXISTING, TRUNCATE_EXISTING
            break;
    }
    mode_t mode = (dwFlags & FILE_FLAG_READONLY_CREATE) != 0 ? 0444 : 0666;

    ScopedFd fd(OpenNoWait(szPath, flags, mode));
    if (!fd.valid())
        return INVALID_HANDLE_VALUE;
    if (fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode))
        return INVALID_HANDLE_VALUE;
    if (dwDisposition == TRUNCATE_EXISTING && (!S_ISREG(st.st_mode) || ftruncate(fd.get(), 0) != 0))
        return INVALID_HANDLE_VALUE;
    return WrapFileHandle(fd.release(), dwAccess, szPath);
}

BOOL ReadFile(HANDLE hFile, void* pBuffer, DWORD nLength, DWORD* pnRead, void* pOverlapped)
{
    if (pnRead == nullptr)
        return FALSE;
    *pnRead = 0;
    FileHandleRecord* rec = LiveFileHandle(hFile);
    if (rec == nullptr || (pBuffer == nullptr && nLength > 0) || pOverlapped != nullptr)
        return FALSE;
    struct stat st;
    if (fstat(rec->fd, &st) != 0 || S_ISDIR(st.st_mode) || (rec->access & FILE_HANDLE_READ) == 0)
        return FALSE;
    if (nLength == 0)
        return TRUE;
    ssize_t n;
    do {
        n = read(rec->fd, pBuffer, nLength);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return FALSE;
    *pnRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, const void* pBuffer, DWORD nLength, DWORD* pnWritten,
               void* pOverlapped)
{
    if (pnWritten == nullptr)
        return FALSE;
    *pnWritten = 0;
    FileHandleRecord* rec = LiveFileHandle(hFile);
    if (rec == nullptr || (pBuffer == nullptr && nLength > 0) || pOverlapped != nullptr)
        return FALSE;
    struct stat st;
    if (fstat(rec->fd, &st) != 0 || !S_ISREG(st.st_mode) || (rec->access & FILE_HANDLE_WRITE) == 0)
        return FALSE;
    // An empty write still counts as touching the file.
    if (nLength == 0)
        return futimens(rec->fd, nullptr) == 0 ? TRUE : FALSE;
    ssize_t n;
    do {
        n = write(rec->fd, pBuffer, nLength);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return FALSE;
    *pnWritten = static_cast<DWORD>(n);
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistance, LONG* plDistanceHigh, DWORD dwMethod)
{
    FileHandleRecord* rec = LiveFileHandle(hFile);
    if (rec == nullptr || (plDistanceHigh != nullptr && *plDistanceHigh != 0))
        return SEEK_FAILED;
    if (dwMethod < FILE_BEGIN || dwMethod > FILE_END)
        return SEEK_FAILED;
    struct stat st;
    if (fstat(rec->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return SEEK_FAILED;
    int64_t base = 0;
    if (dwMethod == FILE_CURRENT) {
        off_t cur = lseek(rec->fd, 0, SEEK_CUR);
        if (cur < 0)
            return SEEK_FAILED;
        base = cur;
    } else if (dwMethod == FILE_END) {
        base = st.st_size;
    }
    int64_t target = base + lDistance;
    // A position at or beyond the failure value cannot be reported.
    if (target < 0 || target >= static_cast<int64_t>(SEEK_FAILED))
        return SEEK_FAILED;
    if (lseek(rec->fd, static_cast<off_t>(target), SEEK_SET) != static_cast<off_t>(target))
        return SEEK_FAILED;
    return static_cast<DWORD>(target);
}

BOOL GetFileTime(HANDLE hFile, FileTime* pCreation, FileTime* pAccess, FileTime* pWrite)
{
    // There is no creation time to give, so asking for one fails the call.
    FileHandleRecord* rec = LiveFileHandle(hFile);
    if (rec == nullptr || pCreation != nullptr)
        return FALSE;
    if (pAccess == nullptr && pWrite == nullptr)
        return TRUE;
    struct stat st;
    if (fstat(rec->fd, &st) != 0)
        return FALSE;
    if (pAccess != nullptr)
        *pAccess = PosixTimeToFileTime(st.st_atime);
    if (pWrite != nullptr)
        *pWrite = PosixTimeToFileTime(st.st_mtime);
    return TRUE;
}

BOOL SetFileTime(HANDLE hFile, const FileTime* pCreation, const FileTime* pAccess,
                 const FileTime* pWrite)
{
    FileHandleRecord* rec = LiveFileHandle(hFile);
    if (rec == nullptr || pCreation != nullptr || (rec->access & FILE_HANDLE_WRITE) == 0)
        return FALSE;
    // On the descriptor: the path may name another file by now.
    struct stat st;
    if (fstat(rec->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return FALSE;
    if (pAccess == nullptr && pWrite == nullptr)
        return TRUE;
    struct timespec times[2];
    times[0] = pAccess != nullptr ? timespec{FileTimeToPosixTime(*pAccess), 0} : st.st_atim;
    times[1] = pWrite != nullptr ? timespec{FileTimeToPosixTime(*pWrite), 0} : st.st_mtim;
    return futimens(rec->fd, times) == 0 ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE hFile)
{
    FileHandleRecord* rec = LiveFileHandle(hFile);
    if (rec == nullptr)
        return FALSE;
    close(rec->fd);
    rec->tag = 0;
    delete rec;
    return TRUE;
}
