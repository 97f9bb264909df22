// A directory listing that closes itself: wraps FindFirstFile, FindNextFile
// and FindClose so every way out of a walk releases the listing.
//
// Calling order: construct with a "dir/pattern" path and a record to fill;
// when valid(), the record holds the first entry; Next() fills the record
// with the following one and returns false at the end. The listing is
// closed by the destructor. A null or empty pattern never lists anything
// (the platform would take a pattern without a directory relative to the
// working directory, which no store walk ever means). Failures show only
// as valid() being false.
#pragma once

#include "platform/find.h"
#include "platform/win32_types.h"

class ScopedFind {
public:
    ScopedFind(const char* pszPattern, FindData* pData)
        : m_hFind(pszPattern != nullptr && *pszPattern != '\0' ? FindFirstFile(pszPattern, pData)
                                                               : INVALID_HANDLE_VALUE)
    {
    }
    ~ScopedFind()
    {
        if (valid())
            FindClose(m_hFind);
    }
    ScopedFind(const ScopedFind&) = delete;
    ScopedFind& operator=(const ScopedFind&) = delete;

    bool valid() const { return m_hFind != nullptr && m_hFind != INVALID_HANDLE_VALUE; }
    bool Next(FindData* pData) { return valid() && FindNextFile(m_hFind, pData) != 0; }

private:
    HANDLE m_hFind;
};
