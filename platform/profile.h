// Profile (INI-style) file engine: the only code that reads or writes the
// system's data and configuration files.
//
// Every call opens its file, takes the process-wide file mutex and an fcntl
// record lock on byte 0 (shared for reads, exclusive for writes), does its
// work streaming line by line, and closes the file again; nothing stays open
// between calls. Lines are read 254 bytes at a time, so a longer line reads
// as several lines. Section and key names match case-insensitively. Results
// are Win32-style: byte counts for reads (lists end with an extra NUL and
// are cut to size - 2 with two NULs when they do not fit), 1 or 0 for
// writes. Nothing is thrown or logged.
#pragma once

#include "platform/win32_types.h"

DWORD GetPrivateProfileString(const char* pszSection, const char* pszKey, const char* pszDefault,
                              char* pszBuffer, DWORD nSize, const char* pszFile);
DWORD GetPrivateProfileSection(const char* pszSection, char* pszBuffer, DWORD nSize,
                               const char* pszFile);
DWORD GetPrivateProfileSectionNames(char* pszBuffer, DWORD nSize, const char* pszFile);
BOOL WritePrivateProfileString(const char* pszSection, const char* pszKey, const char* pszValue,
                               const char* pszFile);
DWORD GetPrivateProfileInt(const char* pszSection, const char* pszKey, DWORD nDefault,
                           const char* pszFile);
