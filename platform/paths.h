// Path helpers: split and join paths, existence tests that tolerate a
// difference in the letter case of the last component, and file sizes.
//
// Paths are at most 4096 bytes including the terminator. `:` counts as a
// separator besides `/` when splitting and joining (a drive-letter
// convention kept for compatibility). Nothing logs or throws.
#pragma once

#include "platform/win32_types.h"

// K = 0: the position where the directory part of pszPath ends (store a NUL
// there to keep the directory). K = 1: the start of the file-name part.
char* DuStripFileName(char* pszPath, int nFlag);

// Appends pszName to the path in pszDir (buffer of nSize bytes), inserting
// one `/` where needed. 0 when the result would not fit.
BOOL DuAppendPath(char* pszDir, const char* pszName, size_t nSize);

// 1 when the path names an existing entry as written, or with its name part
// fully upper-cased or fully lower-cased; in the latter cases pszPath is
// rewritten to the form that exists.
BOOL DuFileExists(char* pszPath);

// The path with its file-name part fully upper-cased (bUpper) or fully
// lower-cased, into pszOut (nSize bytes): the letter-case forms a set's
// files may arrive in. 0 when that form is the path as written (a name
// without letters) or does not fit.
BOOL DuCaseFormPath(const char* pszPath, bool bUpper, char* pszOut, size_t nSize);

// True when psz can only name an entry of the directory it is joined to: not
// empty, no "/", not "." or "..", no control character. Values read from
// the store's own files are group-writable input and are used as names only
// when they pass.
bool DuIsPlainName(const char* psz);

// Size from fstat, 0 when the file cannot be opened.
DWORD GetFileSizeByName(const char* pszPath);
