// The further operations of the platform interface (see fileops_extra.h).
#include "platform/fileops_extra.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>

#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/charstep.h"
#include "platform/file_handle_record.h"
#include "platform/fileops.h"
#include "platform/find.h"
#include "platform/scoped_fd.h"

namespace {

constexpr DWORD TEMP_MAX_NUMBER = 0xFFFFF;
constexpr size_t TEMP_MAX_DIR = 4082;
constexpr size_t TEMP_MAX_PREFIX = 3;
constexpr int CREATE_RETRIES = 3;

std::mutex g_tempMutex;
DWORD g_tempCounter = 1;

DWORD NextTempNumber()
{
    std::lock_guard<std::mutex> lock(g_tempMutex);
    DWORD n = g_tempCounter;
    g_tempCounter = g_tempCounter >= TEMP_MAX_NUMBER ? 1 : g_tempCounter + 1;
    return n;
}

enum class Kind { Missing, File, Directory, Other, Error };

Kind KindOf(const char* pszPath)
{
    struct stat st;
    if (DuStatPath(pszPath, &st) != 0)
        return errno == ENOENT ? Kind::Missing : Kind::Error;
    if (S_ISREG(st.st_mode))
        return Kind::File;
    return S_ISDIR(st.st_mode) ? Kind::Directory : Kind::Other;
}

// Opens, checks that a regular file was opened, and wraps the descriptor.
HANDLE OpenRegular(const char* pszAbsolute, int flags, mode_t mode, DWORD access)
{
    ScopedFd fd(OpenNoWait(pszAbsolute, flags, mode));
    if (!fd.valid())
        return INVALID_HANDLE_VALUE;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fd.reset();
        // Callers look at errno to decide on a retry; make it say why.
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = WrapFileHandle(fd.release(), access, pszAbsolute);
    if (h == INVALID_HANDLE_VALUE)
        errno = ENOMEM;
    return h;
}

int OpenFlagsForAccess(DWORD access)
{
    if (access == (FILE_HANDLE_READ | FILE_HANDLE_WRITE))
        return O_RDWR;
    return access == FILE_HANDLE_WRITE ? O_WRONLY : O_RDONLY;
}

// Where OpenFile finds a plain name: the current directory, then PATH.
bool SearchPlainName(const char* pszName, char* out)
{
    if (KindOf(pszName) == Kind::File)
        return MakeAbsolutePath(pszName, out);
    const char* path = getenv("PATH");
    if (path == nullptr)
        return false;
    for (const char* p = path;; ++p) {
        const char* end = strchr(p, ':');
        size_t len = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        // An empty PATH entry means the current directory, tried above.
        if (len > 0 && len + 1 + strlen(pszName) < DU_MAX_PATH) {
            PathBuf candidate;
            memcpy(candidate.data(), p, len);
            candidate.data()[len] = '\0';
            candidate.append("/").append(pszName);
            if (KindOf(candidate.c_str()) == Kind::File)
                return MakeAbsolutePath(candidate.c_str(), out);
        }
        if (end == nullptr)
            return false;
        p = end;
    }
}

HANDLE FailOpen(OpenFileRecord* pRecord, int err)
{
    pRecord->nErrCode = err != 0 ? err : EINVAL;
    return INVALID_HANDLE_VALUE;
}

void FillSystemTime(const struct tm& tm, long nanoseconds, SystemTime* pTime)
{
    pTime->wYear = static_cast<WORD>(tm.tm_year + 1900);
    pTime->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    pTime->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    pTime->wDay = static_cast<WORD>(tm.tm_mday);
    pTime->wHour = static_cast<WORD>(tm.tm_hour);
    pTime->wMinute = static_cast<WORD>(tm.tm_min);
    pTime->wSecond = static_cast<WORD>(tm.tm_sec);
    pTime->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

char* LowerCopy(const char* psz)
{
    char* copy = strdup(psz);
    if (copy != nullptr)
        for (unsigned char* p = reinterpret_cast<unsigned char*>(copy); *p != '\0'; ++p)
            *p = static_cast<unsigned char>(tolower(*p));
    return copy;
}

}  // namespace

BOOL MoveFileEx(const char* pszSource, const char* pszTarget, DWORD dwFlags)
{
    if (pszSource == nullptr || pszSource[0] == '\0' || pszTarget == nullptr ||
        pszTarget[0] == '\0')
        return FALSE;
    Kind source = KindOf(pszSource);
    if (source != Kind::File && source != Kind::Directory)
        return FALSE;
    Kind target = KindOf(pszTarget);
    if (target == Kind::Error)
        return FALSE;
    if (target != Kind::Missing && ((dwFlags & MOVEFILE_REPLACE_EXISTING) == 0 || target != source))
        return FALSE;
    if (DuRenamePath(pszSource, pszTarget) == 0)
        return TRUE;
    if (errno != EXDEV || source == Kind::Directory || (dwFlags & MOVEFILE_COPY_ALLOWED) == 0)
        return FALSE;
    BOOL failIfExists = (dwFlags & MOVEFILE_REPLACE_EXISTING) == 0;
    return CopyFile(pszSource, pszTarget, failIfExists) && DeleteFile(pszSource) ? TRUE : FALSE;
}

DWORD GetTempFileName(const char* pszDir, const char* pszPrefix, DWORD nUnique, char* pszOut)
{
    if (pszDir == nullptr || pszDir[0] == '\0' || pszOut == nullptr || nUnique > TEMP_MAX_NUMBER)
        return 0;
    size_t dirLen = strlen(pszDir);
    if (dirLen > TEMP_MAX_DIR)
        return 0;
    char prefix[TEMP_MAX_PREFIX + 1] = {};
    size_t used = 0;
    for (const char* p = pszPrefix != nullptr ? pszPrefix : "";
         *p != '\0' && used < TEMP_MAX_PREFIX; p = NextChar(p)) {
        if (CharLen(p) > 1)
            return 0;
        prefix[used++] = *p;
    }
    const char* sep = pszDir[dirLen - 1] == '/' ? "" : "/";

    if (nUnique != 0) {
        BoundedFormat(pszOut, DU_MAX_PATH, "%s%s%s%x.tmp", pszDir, sep, prefix, nUnique);
        return nUnique;
    }
    DWORD n = NextTempNumber();
    for (DWORD tries = 0; tries < TEMP_MAX_NUMBER; ++tries) {
        BoundedFormat(pszOut, DU_MAX_PATH, "%s%s%s%x.tmp", pszDir, sep, prefix, n);
        int fd = DuOpenPath(pszOut, O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            close(fd);
            return n;
        }
        if (errno != EEXIST)
            return 0;
        n = n >= TEMP_MAX_NUMBER ? 1 : n + 1;
    }
    return 0;
}

HANDLE OpenFile(const char* pszName, OpenFileRecord* pRecord, DWORD dwStyle)
{
    if (pRecord == nullptr)
        return INVALID_HANDLE_VALUE;
    DWORD accessBits = dwStyle & 3;
    if (accessBits == 3)
        return FailOpen(pRecord, EINVAL);
    DWORD access = accessBits == OF_READ    ? FILE_HANDLE_READ
                   : accessBits == OF_WRITE ? FILE_HANDLE_WRITE
                                            : FILE_HANDLE_READ | FILE_HANDLE_WRITE;

    char szPath[DU_MAX_PATH];
    if ((dwStyle & OF_REOPEN) != 0) {
        if (pRecord->szPathName[0] == '\0' ||
            strnlen(pRecord->szPathName, DU_MAX_PATH) == DU_MAX_PATH)
            return FailOpen(pRecord, EINVAL);
        BoundedCopy(szPath, sizeof szPath, pRecord->szPathName);
    } else {
        if (pszName == nullptr || pszName[0] == '\0')
            return FailOpen(pRecord, EINVAL);
        bool found = strchr(pszName, '/') == nullptr && SearchPlainName(pszName, szPath);
        if (!found && !MakeAbsolutePath(pszName, szPath))
            return FailOpen(pRecord, ENAMETOOLONG);
        BoundedCopy(pRecord->szPathName, sizeof pRecord->szPathName, szPath);
    }
    pRecord->nErrCode = 0;

    if ((dwStyle & OF_PARSE) != 0)
        return nullptr;
    if ((dwStyle & OF_DELETE) != 0)
        return DeleteFile(szPath) ? nullptr : FailOpen(pRecord, errno);
    if ((dwStyle & OF_EXIST) != 0) {
        ScopedFd fd(OpenNoWait(szPath, O_RDONLY));
        return fd.valid() ? nullptr : FailOpen(pRecord, errno);
    }
    int flags = OpenFlagsForAccess(access);
    if ((dwStyle & OF_CREATE) != 0)
        flags |= O_CREAT | O_TRUNC;
    HANDLE h = OpenRegular(szPath, flags, 0666, access);
    return h != INVALID_HANDLE_VALUE ? h : FailOpen(pRecord, errno);
}

HANDLE OpenExistingFile(const char* pszPath, DWORD nMode)
{
    if (pszPath == nullptr || pszPath[0] == '\0' || nMode < 1 || nMode > 3)
        return INVALID_HANDLE_VALUE;
    char szPath[DU_MAX_PATH];
    if (!MakeAbsolutePath(pszPath, szPath) || KindOf(szPath) != Kind::File)
        return INVALID_HANDLE_VALUE;
    return OpenRegular(szPath, OpenFlagsForAccess(nMode), 0, nMode);
}

HANDLE CreateTruncatedFile(const char* pszPath, BOOL bReadOnly)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return INVALID_HANDLE_VALUE;
    char szPath[DU_MAX_PATH];
    if (!MakeAbsolutePath(pszPath, szPath))
        return INVALID_HANDLE_VALUE;
    const DWORD access = FILE_HANDLE_READ | FILE_HANDLE_WRITE;
    for (int attempt = 0; attempt <= CREATE_RETRIES; ++attempt) {
        Kind kind = KindOf(szPath);
        if (kind == Kind::File) {
            HANDLE h = OpenRegular(szPath, O_RDWR | O_TRUNC, 0, access);
            if (h != INVALID_HANDLE_VALUE || errno != ENOENT)
                return h;  // removed in between: try again
        } else if (kind == Kind::Missing) {
            HANDLE h =
                OpenRegular(szPath, O_RDWR | O_CREAT | O_EXCL, bReadOnly ? 0444 : 0666, access);
            if (h != INVALID_HANDLE_VALUE || errno != EEXIST)
                return h;  // created by someone else in between: try again
        } else {
            return INVALID_HANDLE_VALUE;
        }
    }
    return INVALID_HANDLE_VALUE;
}

BOOL GetFileAttributesEx(const char* pszPath, FileAttributeData* pData)
{
    struct stat st;
    if (pszPath == nullptr || pData == nullptr || DuStatPath(pszPath, &st) != 0)
        return FALSE;
    if (S_ISREG(st.st_mode))
        pData->dwFileAttributes = FILE_ATTR_NORMAL;
    else if (S_ISDIR(st.st_mode))
        pData->dwFileAttributes = FILE_ATTR_DIRECTORY;
    else
        return FALSE;
    if ((st.st_mode & 0222) == 0)
        pData->dwFileAttributes |= FILE_ATTR_READONLY;
    pData->ftLastAccessTime = PosixTimeToFileTime(st.st_atime);
    pData->ftLastWriteTime = PosixTimeToFileTime(st.st_mtime);
    uint64_t size = static_cast<uint64_t>(st.st_size);
    pData->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    pData->nFileSizeLow = static_cast<DWORD>(size);
    return TRUE;
}

DWORD GetFileSize(HANDLE hFile, DWORD* pnHigh)
{
    if (pnHigh != nullptr)
        *pnHigh = 0;
    FileHandleRecord* rec = LiveFileHandle(hFile);
    struct stat st;
    if (rec == nullptr || fstat(rec->fd, &st) != 0)
        return 0xFFFFFFFFu;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (pnHigh != nullptr)
        *pnHigh = static_cast<DWORD>(size >> 32);
    return static_cast<DWORD>(size);
}

BOOL SetEndOfFile(HANDLE hFile)
{
    FileHandleRecord* rec = LiveFileHandle(hFile);
    if (rec == nullptr || (rec->access & FILE_HANDLE_WRITE) == 0)
        return FALSE;
    off_t pos = lseek(rec->fd, 0, SEEK_CUR);
    return pos >= 0 && ftruncate(rec->fd, pos) == 0 ? TRUE : FALSE;
}

void GetSystemTime(SystemTime* pTime)
{
    struct timespec ts;
    struct tm tm;
    if (pTime == nullptr || clock_gettime(CLOCK_REALTIME, &ts) != 0 ||
        gmtime_r(&ts.tv_sec, &tm) == nullptr)
        return;
    FillSystemTime(tm, ts.tv_nsec, pTime);
}

void GetLocalTime(SystemTime* pTime)
{
    struct timespec ts;
    struct tm tm;
    if (pTime == nullptr || clock_gettime(CLOCK_REALTIME, &ts) != 0 ||
        localtime_r(&ts.tv_sec, &tm) == nullptr)
        return;
    FillSystemTime(tm, ts.tv_nsec, pTime);
}

char* GetDateText(char* pszBuffer, size_t nSize)
{
    if (pszBuffer == nullptr || nSize == 0)
        return nullptr;
    time_t now = time(nullptr);
    struct tm tm;
    char text[32] = {};
    if (localtime_r(&now, &tm) == nullptr || strftime(text, sizeof text, "%D\n", &tm) == 0)
        text[0] = '\0';
    BoundedCopy(pszBuffer, nSize, text);
    return pszBuffer;
}

LONG GetTimeZoneBias()
{
    time_t now = time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr)
        return 0;
    return static_cast<LONG>(-tm.tm_gmtoff / 60);
}

void* LocalAlloc(DWORD dwFlags, size_t nBytes)
{
    // A zero-byte request still yields a distinct block to free.
    size_t n = nBytes != 0 ? nBytes : 1;
    return (dwFlags & LMEM_ZEROINIT) != 0 ? calloc(1, n) : malloc(n);
}

void* LocalFree(void* pBlock)
{
    free(pBlock);
    return nullptr;
}

int CompareStringLocale(const char* psz1, const char* psz2, BOOL bIgnoreCase)
{
    if (psz1 == nullptr || psz2 == nullptr)
        return (psz1 != nullptr) - (psz2 != nullptr);
    if (!bIgnoreCase)
        return strcoll(psz1, psz2);
    char* a = LowerCopy(psz1);
    char* b = LowerCopy(psz2);
    // Without memory for the copies, byte order is the best that is left.
    int result = a != nullptr && b != nullptr ? strcoll(a, b) : strcasecmp(psz1, psz2);
    free(a);
    free(b);
    return result;
}

int WideCharToMultiByte(const wchar_t* pwsz, int nChars, char* pszOut, int nSize)
{
    if (pwsz == nullptr || nChars < -1 || nSize < 0 || (nSize > 0 && pszOut == nullptr))
        return 0;
    size_t count = nChars == -1 ? wcslen(pwsz) + 1 : static_cast<size_t>(nChars);
    // Two passes: measure, then store only when everything fits.
    for (int pass = 0; pass < 2; ++pass) {
        mbstate_t state = {};
        size_t total = 0;
        for (size_t i = 0; i < count; ++i) {
            char mb[MB_LEN_MAX];
            size_t n = wcrtomb(mb, pwsz[i], &state);
            if (n == static_cast<size_t>(-1)) {
                mb[0] = '?';
                n = 1;
                state = mbstate_t{};
            }
            if (pass == 1)
                memcpy(pszOut + total, mb, n);
            total += n;
            if (total > static_cast<size_t>(INT_MAX))
                return 0;
        }
        if (pass == 0 && (nSize == 0 || total > static_cast<size_t>(nSize)))
            return nSize == 0 ? static_cast<int>(total) : 0;
        if (pass == 1)
            return static_cast<int>(total);
    }
    return 0;
}

DWORD GetCurrentDirectory(DWORD nSize, char* pszBuffer)
{
    char cwd[DU_MAX_PATH];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return 0;
    size_t len = strlen(cwd);
    if (pszBuffer == nullptr || nSize < len + 1)
        return static_cast<DWORD>(len + 1);
    memcpy(pszBuffer, cwd, len + 1);
    return static_cast<DWORD>(len);
}

BOOL SetCurrentDirectory(const char* pszPath)
{
    return pszPath != nullptr && chdir(pszPath) == 0 ? TRUE : FALSE;
}
