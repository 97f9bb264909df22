// Win32-style file operations over POSIX: copy, delete, writability,
// directories, and a file handle with read, write, seek and time stamps.
//
// Results are 1 or 0 (BOOL), -1 for SetFilePointer, the invalid handle value
// for CreateFile. Nothing logs, nothing throws; partial results stay (a
// failed CopyFile leaves the target it created or truncated). A file handle
// belongs to its caller and is released by CloseHandle.
#pragma once

#include <sys/stat.h>

#include "platform/win32_types.h"

BOOL CopyFile(const char* pszSource, const char* pszTarget, BOOL bFailIfExists);
// CopyFile that leaves the target open, so that the caller can set its
// owner, mode and times on the descriptor rather than by name: returns the
// target's descriptor (the caller closes it and checks the close) with the
// source's status in *pSourceStat, or -1.
int CopyFileKeepOpen(const char* pszSource, const char* pszTarget, BOOL bFailIfExists,
                     struct stat* pSourceStat);
BOOL DeleteFile(const char* pszPath);
BOOL SetFileAttributes(const char* pszPath, DWORD dwAttributes);
BOOL CreateDirectory(const char* pszPath, void* pSecurity = nullptr);
BOOL RemoveDirectory(const char* pszPath);

// Access bits.
constexpr DWORD GENERIC_READ = 1;
constexpr DWORD GENERIC_WRITE = 2;
// Share-mode bits; a share mode must hold both FILE_SHARE_READ and
// FILE_SHARE_WRITE.
constexpr DWORD FILE_SHARE_READ = 16;
constexpr DWORD FILE_SHARE_WRITE = 32;
constexpr DWORD FILE_SHARE_DELETE = 64;
// Dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 4;
constexpr DWORD OPEN_ALWAYS = 8;
constexpr DWORD TRUNCATE_EXISTING = 16;
// Flag bits accepted by CreateFile; FILE_FLAG_READONLY_CREATE makes a new
// file 0444.
constexpr DWORD FILE_FLAG_READONLY_CREATE = 32;
constexpr DWORD CREATE_FILE_FLAG_MASK = 4 | 8 | 16 | 32 | 64;
// SetFilePointer methods.
constexpr DWORD FILE_BEGIN = 1;
constexpr DWORD FILE_CURRENT = 2;
constexpr DWORD FILE_END = 3;

// Security record: only its second and third words are inspected (both must
// be 0).
struct SecurityAttributes {
    DWORD nLength;
    DWORD dwReserved1;
    DWORD dwReserved2;
};

HANDLE CreateFile(const char* pszPath, DWORD dwAccess, DWORD dwShareMode,
                  const SecurityAttributes* pSecurity, DWORD dwDisposition, DWORD dwFlags,
                  HANDLE hTemplate);
BOOL ReadFile(HANDLE hFile, void* pBuffer, DWORD nLength, DWORD* pnRead, void* pOverlapped);
BOOL WriteFile(HANDLE hFile, const void* pBuffer, DWORD nLength, DWORD* pnWritten,
               void* pOverlapped);
DWORD SetFilePointer(HANDLE hFile, LONG lDistance, LONG* plDistanceHigh, DWORD dwMethod);
BOOL GetFileTime(HANDLE hFile, FileTime* pCreation, FileTime* pAccess, FileTime* pWrite);
BOOL SetFileTime(HANDLE hFile, const FileTime* pCreation, const FileTime* pAccess,
                 const FileTime* pWrite);
BOOL CloseHandle(HANDLE hFile);

void ZeroMemory(void* pBuffer, size_t nLength);
char* StrLower(char* psz);
// A value below 256 is a character and is converted and returned; anything
// else is a string pointer converted in place (and returned).
uintptr_t CharLower(uintptr_t value);
uintptr_t CharUpper(uintptr_t value);
