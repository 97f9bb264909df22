// Further Win32-style file and system operations that complete the platform
// interface: rename, temporary file names, open-with-search, two simpler
// handle openers, attributes and sizes, truncation at the file position,
// clock and time-zone queries, memory blocks, string comparison and
// conversion, and the current directory.
//
// Results follow fileops.h: 1 or 0, the invalid handle value for a failed
// open, 0 for failed counts. Handles come from the same record as
// CreateFile's and are released with CloseHandle; memory blocks with
// LocalFree. The only shared state is the temporary-name counter, which is
// taken and advanced under its own mutex. Nothing logs or throws.
#pragma once

#include "platform/win32_types.h"

// --- Rename -----------------------------------------------------------------
constexpr DWORD MOVEFILE_COPY_ALLOWED = 1;      // copy and delete across file systems
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 2;  // an existing target of the same kind goes

BOOL MoveFileEx(const char* pszSource, const char* pszTarget, DWORD dwFlags);

// --- Temporary file names ----------------------------------------------------
// Forms "<dir>/<prefix><hex number>.tmp" in pszOut (DU_MAX_PATH bytes) from
// up to three single-byte characters of the prefix, a directory of at most
// 4082 characters and a number of at most 0xFFFFF. With number 0 the number
// comes from the process-wide counter and the file is created (exclusively)
// and closed, trying the next number while the name is taken. Returns the
// number used, 0 on failure.
DWORD GetTempFileName(const char* pszDir, const char* pszPrefix, DWORD nUnique, char* pszOut);

// --- Open with search -------------------------------------------------------
// Style bits; the access part (the low two bits) is read, write or both.
constexpr DWORD OF_READ = 0x0000;
constexpr DWORD OF_WRITE = 0x0001;
constexpr DWORD OF_READWRITE = 0x0002;
constexpr DWORD OF_PARSE = 0x0100;   // only resolve the path
constexpr DWORD OF_DELETE = 0x0200;  // delete the file
constexpr DWORD OF_CREATE = 0x1000;  // create, or truncate an existing file
constexpr DWORD OF_EXIST = 0x4000;   // only test that the file can be opened
constexpr DWORD OF_REOPEN = 0x8000;  // use the path saved in the record

struct OpenFileRecord {
    int nErrCode;                  // errno of the failure, 0 on success
    char szPathName[DU_MAX_PATH];  // the absolute path that was resolved
};

// A name without `/` is looked for as a regular file in the current
// directory, then in each directory of PATH in order; if none has it, it is
// taken relative to the current directory. A name with `/` is made absolute.
// Returns a file handle when a file is left open; with OF_PARSE, OF_EXIST or
// OF_DELETE nothing stays open and success is a null handle. Failure is the
// invalid handle value with pRecord->nErrCode set. pRecord is required.
HANDLE OpenFile(const char* pszName, OpenFileRecord* pRecord, DWORD dwStyle);

// --- Simpler handle openers ---------------------------------------------------
// Opens an existing regular file: nMode 1 read, 2 write, 3 both.
HANDLE OpenExistingFile(const char* pszPath, DWORD nMode);
// Creates the file, or truncates an existing regular file, for reading and
// writing; a new file is 0444 when bReadOnly, else 0666 (less the umask).
// Retries up to three times when the file appears or vanishes between the
// check and the open.
HANDLE CreateTruncatedFile(const char* pszPath, BOOL bReadOnly);

// --- Attributes and sizes -----------------------------------------------------
struct FileAttributeData {
    DWORD dwFileAttributes;  // FILE_ATTR_* as in a listing record
    FileTime ftLastAccessTime;
    FileTime ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};

// By path, following links; only regular files and directories succeed.
BOOL GetFileAttributesEx(const char* pszPath, FileAttributeData* pData);
// Low 32 bits of the size; the high part into *pnHigh when given.
// 0xFFFFFFFF on failure (with *pnHigh 0).
DWORD GetFileSize(HANDLE hFile, DWORD* pnHigh);
// Cuts the file at the handle's current position (needs write access).
BOOL SetEndOfFile(HANDLE hFile);

// --- Time ---------------------------------------------------------------------
struct SystemTime {
    WORD wYear;
    WORD wMonth;      // 1 to 12
    WORD wDayOfWeek;  // 0 Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

void GetSystemTime(SystemTime* pTime);  // UTC
void GetLocalTime(SystemTime* pTime);
// Today's local date as "%D\n" (MM/DD/YY and a line feed) into pszBuffer,
// cut to nSize; returns pszBuffer (null for a null buffer or size 0).
char* GetDateText(char* pszBuffer, size_t nSize);
// UTC minus local time, in minutes, at the current moment.
LONG GetTimeZoneBias();

// --- Memory blocks ------------------------------------------------------------
constexpr DWORD LMEM_ZEROINIT = 0x0040;
// A block of nBytes (zero-filled with LMEM_ZEROINIT); null on failure.
void* LocalAlloc(DWORD dwFlags, size_t nBytes);
// Releases a block; always returns null.
void* LocalFree(void* pBlock);

// --- Strings ----------------------------------------------------------------
// Collation order of the current locale (byte order in the default one):
// negative, 0 or positive. With bIgnoreCase both are lower-cased first.
// A null string sorts before any other.
int CompareStringLocale(const char* psz1, const char* psz2, BOOL bIgnoreCase);
// Converts nChars wide characters (-1: up to and including the terminator)
// to the locale's multibyte form; a character without one becomes "?".
// With nSize 0 returns the bytes needed; otherwise the bytes stored, or 0
// when they do not fit.
int WideCharToMultiByte(const wchar_t* pwsz, int nChars, char* pszOut, int nSize);

// --- Current directory ------------------------------------------------------
// Length of the path stored; when nSize is too small, the size needed
// (terminator included) and nothing stored; 0 on failure.
DWORD GetCurrentDirectory(DWORD nSize, char* pszBuffer);
BOOL SetCurrentDirectory(const char* pszPath);
