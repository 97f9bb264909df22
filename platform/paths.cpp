// Splitting and joining paths, the letter-case tolerant existence test and
// file sizes by name.
#include "platform/paths.h"

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <initializer_list>

#include "platform/bounded.h"
#include "platform/charstep.h"
#include "platform/find.h"
#include "platform/scoped_fd.h"

namespace {

bool IsSeparator(char c)
{
    return c == '/' || c == ':';
}

// The last character of a non-empty string, found by stepping forward so a
// trailing byte of a multibyte character is never taken for a separator.
const char* LastChar(const char* psz)
{
    const char* last = psz;
    for (const char* p = psz; *p != '\0'; p = NextChar(p)) last = p;
    return last;
}

// "//host/share" (fewer than two `/` after the leading pair) is a root of
// its own and has no file-name part.
bool IsNetworkRoot(const char* psz)
{
    if (psz[0] != '/' || psz[1] != '/')
        return false;
    int slashes = 0;
    for (const char* p = psz + 2; *p != '\0'; p = NextChar(p))
        if (*p == '/')
            ++slashes;
    return slashes < 2;
}

void ChangeCase(char* psz, bool bUpper)
{
    for (unsigned char* p = reinterpret_cast<unsigned char*>(psz); *p != '\0'; ++p)
        *p = static_cast<unsigned char>(bUpper ? toupper(*p) : tolower(*p));
}

bool EntryExists(const char* pszPath)
{
    FindData fd;
    HANDLE h = FindFirstFile(pszPath, &fd);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FindClose(h);
    return true;
}

}  // namespace

char* DuStripFileName(char* pszPath, int nFlag)
{
    if (pszPath == nullptr)
        return nullptr;
    char* sep = pszPath;
    for (char* p = pszPath; *p != '\0'; p = NextChar(p))
        if (IsSeparator(*p))
            sep = p;
    char* q = *sep == ':' ? sep + 1 : sep;

    if (q == pszPath && pszPath[0] == '/') {
        q = pszPath + 1;
    } else if (IsNetworkRoot(pszPath)) {
        q = pszPath + strlen(pszPath);
    } else if (q > pszPath && *q == '/' && q[-1] == ':') {
        // "x:/name": the `/` belongs to the drive's root directory.
        q = q + 1;
    }
    if (nFlag == 1 && *q == '/')
        return q + 1;
    return q;
}

BOOL DuAppendPath(char* pszDir, const char* pszName, size_t nSize)
{
    if (pszDir == nullptr || pszName == nullptr || nSize == 0)
        return FALSE;
    size_t dirLen = strnlen(pszDir, nSize);
    if (dirLen == nSize)
        return FALSE;
    size_t nameLen = strlen(pszName);
    if (dirLen == 0) {
        if (nameLen + 1 > nSize)
            return FALSE;
        memcpy(pszDir, pszName, nameLen + 1);
        return TRUE;
    }

    char last = *LastChar(pszDir);
    const char* sep = "";
    if (last == '/' && pszName[0] == '/') {
        ++pszName;
        --nameLen;
    } else if (!IsSeparator(last) && pszName[0] != '/') {
        sep = "/";
    }
    // The directory is left as it was when the joined path does not fit.
    size_t total = dirLen + strlen(sep) + nameLen;
    if (total + 1 > nSize)
        return FALSE;
    memcpy(pszDir + dirLen, sep, strlen(sep));
    memcpy(pszDir + dirLen + strlen(sep), pszName, nameLen + 1);
    return TRUE;
}

BOOL DuFileExists(char* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return FALSE;
    if (EntryExists(pszPath))
        return TRUE;
    size_t len = strlen(pszPath);
    if (len >= DU_MAX_PATH)
        return FALSE;

    // Only the fully upper-cased and the fully lower-cased names are tried.
    for (bool upper : {true, false}) {
        PathBuf candidate;
        if (!DuCaseFormPath(pszPath, upper, candidate.data(), candidate.size()))
            continue;
        // The caller's buffer is only known to hold its own length.
        if (strlen(candidate.c_str()) > len || !EntryExists(candidate.c_str()))
            continue;
        memcpy(pszPath, candidate.c_str(), strlen(candidate.c_str()) + 1);
        return TRUE;
    }
    return FALSE;
}

BOOL DuCaseFormPath(const char* pszPath, bool bUpper, char* pszOut, size_t nSize)
{
    if (pszPath == nullptr || strlen(pszPath) >= DU_MAX_PATH)
        return FALSE;
    PathBuf dir(pszPath);
    PathBuf name(DuStripFileName(dir.data(), 1));
    *DuStripFileName(dir.data(), 0) = '\0';
    PathBuf cased(name.c_str());
    ChangeCase(cased.data(), bUpper);
    if (strcmp(cased.c_str(), name.c_str()) == 0)
        return FALSE;
    if (!DuAppendPath(dir.data(), cased.c_str(), PathBuf::size()) || dir.c_str()[0] == '\0')
        return FALSE;
    return BoundedCopy(pszOut, nSize, dir.c_str()) == strlen(dir.c_str());
}

DWORD GetFileSizeByName(const char* pszPath)
{
    if (pszPath == nullptr)
        return 0;
    ScopedFd fd(OpenNoWait(pszPath, O_RDONLY));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0)
        return 0;
    // Sizes beyond 32 bits saturate rather than wrap to a small number.
    if (static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFu)
        return 0xFFFFFFFFu;
    return static_cast<DWORD>(st.st_size);
}

bool DuIsPlainName(const char* psz)
{
    if (psz == nullptr || *psz == '\0' || strcmp(psz, ".") == 0 || strcmp(psz, "..") == 0)
        return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(psz); *p != '\0'; ++p)
        if (*p == '/' || *p < 0x20 || *p == 0x7f)
            return false;
    return true;
}
