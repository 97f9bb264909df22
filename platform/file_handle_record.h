// The record behind a file handle, shared by the handle operations of
// file_handle.cpp and the further openers of fileops_extra.cpp. Not part of
// the public interface: callers see only HANDLE.
//
// CreateFile (or one of the further openers) allocates the record and
// CloseHandle releases it. Every handle operation first passes its argument
// through LiveFileHandle, which turns null, the invalid value and a record
// whose tag is not FILE_HANDLE_TAG into a null pointer.
#pragma once

#include "platform/win32_types.h"

constexpr DWORD FILE_HANDLE_TAG = 4112;
// Access bits of the record.
constexpr DWORD FILE_HANDLE_READ = 1;
constexpr DWORD FILE_HANDLE_WRITE = 2;
constexpr size_t FILE_HANDLE_PATH_SIZE = 4100;

struct FileHandleRecord {
    DWORD tag;
    int fd;
    DWORD access;
    char path[FILE_HANDLE_PATH_SIZE];
};

// The record of a live handle, or null.
FileHandleRecord* LiveFileHandle(HANDLE hFile);

// Wraps an open descriptor in a new record (tag, descriptor, access, path).
// On allocation failure the descriptor is closed and the invalid value
// returned, so the caller never has to clean up after a failed wrap.
HANDLE WrapFileHandle(int fd, DWORD access, const char* pszAbsolutePath);

// Makes pszPath absolute (current directory, a `/`, the path) into out
// (DU_MAX_PATH bytes). False when the result does not fit or the current
// directory cannot be read.
bool MakeAbsolutePath(const char* pszPath, char* out);
