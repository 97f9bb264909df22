// Win32-style scalar types, handle values and the records shared by the
// platform layer.
//
// The store manager was written against a Win32 file interface; this header
// gives it the names it expects (DWORD, BOOL, HANDLE, FileTime, FindData) with
// fixed widths, so the on-disk and in-memory layouts do not depend on the
// host's `long`. Nothing here allocates or owns anything.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef int32_t LONG;
typedef int BOOL;
typedef void* HANDLE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// The all-ones pointer value, returned by FindFirstFile and CreateFile on
// failure.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~static_cast<uintptr_t>(0)))

// Fixed buffer size for every path the system assembles: 4095 characters and
// the terminator. Text that does not fit is cut, never grown.
constexpr size_t DU_MAX_PATH = 4096;

// Attribute bits of a FindData record.
constexpr DWORD FILE_ATTR_READONLY = 32;
constexpr DWORD FILE_ATTR_NORMAL = 64;
constexpr DWORD FILE_ATTR_DIRECTORY = 512;

// 100-nanosecond units since 1601-01-01 UTC, low half first.
struct FileTime {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// One listed directory entry. `pszName` always points at `szName` of the same
// record; the listing re-points it on every copy handed to a caller.
constexpr size_t FIND_DATA_NAME_SIZE = 4100;
struct FindData {
    DWORD dwFileAttributes;
    FileTime ftLastAccessTime;
    FileTime ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    char szName[FIND_DATA_NAME_SIZE];
    char* pszName;
};
