#include "defutils/store_helpers.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "defutils/defutils.h"
#include "defutils/store_layout.h"
#include "platform/boundary.h"
#include "platform/paths.h"
#include "platform/profile.h"

std::string PaddedPointerText(const void* p)
{
    if (p == nullptr)
        return "   (nil)";
    char digits[2 * sizeof(void*) + 1];
    snprintf(digits, sizeof digits, "%lx",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    std::string text(digits);
    if (text.size() < 6)
        text.insert(0, 6 - text.size(), '0');
    return "0x" + text;
}

void DuSetNameOf(const char* pszPath, PathBuf* pName)
{
    PathBuf path(pszPath);
    CDefUtils::StripTrailingSlash(path.data());
    pName->assign(DuStripFileName(path.data(), 1));
}

void DuRecordedSetName(const char* pszPath, PathBuf* pName)
{
    DuSetNameOf(pszPath, pName);
    CDefUtils::TrimSpaces(pName->data());
}

bool DuStorePath(const char* pszDefsDir, const char* pszName, PathBuf* pPath)
{
    pPath->assign(pszDefsDir);
    return DuAppendPath(pPath->data(), pszName, pPath->size()) != 0;
}

void DuCleanCatalogEntry(const char* pszEntry, PathBuf* pName)
{
    const char* pszSlash = strrchr(pszEntry, '/');
    pName->assign(pszSlash != nullptr ? pszSlash + 1 : pszEntry);
    size_t nLength = strlen(pName->c_str());
    if (nLength > 0 && pName->c_str()[nLength - 1] == '\n')
        CDefUtils::StripNewline(pName->data());
    else
        CDefUtils::StripCarriageReturn(pName->data());
    CDefUtils::TrimSpaces(pName->data());
}

bool DuSetNameNotOlder(const char* pszNew, const char* pszCur)
{
    unsigned long newDate = 0, newRev = 0, curDate = 0, curRev = 0;
    char extra = 0;
    if (sscanf(pszNew, "%8lu.%lu%c", &newDate, &newRev, &extra) != 2 ||
        sscanf(pszCur, "%8lu.%lu%c", &curDate, &curRev, &extra) != 2)
        return true;
    return newDate > curDate || (newDate == curDate && newRev >= curRev);
}

unsigned int DuDirModeOr(const char* pszDir, unsigned int nDefault)
{
    struct stat st;
    if (pszDir == nullptr || DuStatPath(pszDir, &st) != 0)
        return nDefault;
    return st.st_mode & 07777;
}

DWORD DuReadDefDatesKey(const char* pszDefInfo, const char* pszKey, PathBuf* pValue)
{
    return GetPrivateProfileString(kDefDatesSection, pszKey, kKeyMissing, pValue->data(),
                                   static_cast<DWORD>(pValue->size()), pszDefInfo);
}

void DuReadDefDatesKeyTrimmed(const char* pszDefInfo, const char* pszKey, PathBuf* pValue)
{
    DuReadDefDatesKey(pszDefInfo, pszKey, pValue);
    CDefUtils::TrimSpaces(pValue->data());
}
