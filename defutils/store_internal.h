// Small helpers shared by the store manager's source files: the debug log's
// spelling of null strings and outcomes, and the mode new bookkeeping files
// inherit. Internal to defutils/.
#pragma once

#include <sys/stat.h>

#include "platform/boundary.h"
#include "platform/bounded.h"

// One catalog line reduced to a plain file name: the part after the last
// "/", without its line end and surrounding blanks.
void DuCleanCatalogEntry(const char* pszEntry, PathBuf* pName);

// Null strings print as "<null>" in log lines.
inline const char* OrNull(const char* psz)
{
    return psz != nullptr ? psz : "<null>";
}

inline const char* SuccessText(bool b)
{
    return b ? "success" : "failure";
}

inline const char* TrueText(bool b)
{
    return b ? "true" : "false";
}

// Permission bits of a directory, or 0775 when it cannot be examined.
inline unsigned int DirModeOr0775(const char* pszDir)
{
    struct stat st;
    if (pszDir == nullptr || DuStatPath(pszDir, &st) != 0)
        return 0775;
    return st.st_mode & 07777;
}
