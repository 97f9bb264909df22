// CDefUtils' path helpers: existence and opening that tolerate the letter
// case of a file name, the small string trimmers, and reading a whole
// catalog section. They use none of the object's state.
#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "defutils/defutils.h"
#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/charstep.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/scoped_fd.h"

namespace {

constexpr DWORD CATALOG_FIRST_SIZE = 2048;
constexpr DWORD CATALOG_SIZE_STEP = 1024;
constexpr DWORD CATALOG_MAX_SIZE = 1048576;
// The profile engine reads a line in pieces of at most this many bytes
// (platform/profile.h); each piece yields one list item.
constexpr uint64_t PROFILE_PIECE_BYTES = 254;

// The smallest size of the growth sequence (2048, 3072, ... up to the
// limit) that holds the longest list pszFile can yield; the first size when
// the file cannot be examined.
DWORD CatalogFirstSize(const char* pszFile)
{
    struct stat st;
    if (pszFile == nullptr || stat(pszFile, &st) != 0 || st.st_size < 0)
        return CATALOG_FIRST_SIZE;
    uint64_t bound = static_cast<uint64_t>(st.st_size);
    // Each piece gives at most its bytes and a terminator (its line feed
    // gone), plus the list's closing NUL and the two bytes whose use would
    // read as "did not fit".
    bound += bound / PROFILE_PIECE_BYTES + 4;
    if (bound >= CATALOG_MAX_SIZE)
        return CATALOG_MAX_SIZE;
    if (bound <= CATALOG_FIRST_SIZE)
        return CATALOG_FIRST_SIZE;
    uint64_t steps = (bound - CATALOG_FIRST_SIZE + CATALOG_SIZE_STEP - 1) / CATALOG_SIZE_STEP;
    return static_cast<DWORD>(CATALOG_FIRST_SIZE + steps * CATALOG_SIZE_STEP);
}

// Position of the last character of psz (psz itself when empty), stepping
// forward from the start.
char* LastChar(char* psz)
{
    char* last = psz;
    for (char* p = psz; *p != '\0'; p = NextChar(p)) last = p;
    return last;
}

}  // namespace

bool CDefUtils::FileExists(const char* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return false;
    ScopedFd fd(OpenNoWait(pszPath, O_RDONLY));
    return fd.valid();
}

int CDefUtils::OpenFileAnyCase(const char* pszPath, int nFlags, mode_t nMode)
{
    if (pszPath == nullptr || pszPath[0] == '\0')
        return -1;
    int fd = DuOpenPath(pszPath, nFlags, nMode);
    if (fd >= 0 || strlen(pszPath) >= DU_MAX_PATH)
        return fd;

    for (bool upper : {true, false}) {
        PathBuf candidate;
        if (!DuCaseFormPath(pszPath, upper, candidate.data(), candidate.size()))
            continue;
        fd = DuOpenPath(candidate.c_str(), nFlags, nMode);
        if (fd >= 0)
            return fd;
    }
    return -1;
}

char* CDefUtils::TrimSpaces(char* psz)
{
    if (psz == nullptr)
        return nullptr;
    size_t lead = strspn(psz, " ");
    size_t len = strlen(psz + lead);
    while (len > 0 && psz[lead + len - 1] == ' ') --len;
    memmove(psz, psz + lead, len);
    psz[len] = '\0';
    return psz;
}

char* CDefUtils::StripNewline(char* psz)
{
    if (psz == nullptr || psz[0] == '\0')
        return psz;
    char* last = LastChar(psz);
    if (*last != '\n')
        return psz;
    *last = '\0';
    if (last > psz) {
        char* before = LastChar(psz);
        if (*before == '\r')
            *before = '\0';
    }
    return psz;
}

char* CDefUtils::StripCarriageReturn(char* psz)
{
    if (psz == nullptr || psz[0] == '\0')
        return psz;
    char* last = LastChar(psz);
    if (*last == '\r')
        *last = '\0';
    return psz;
}

char* CDefUtils::StripTrailingSlash(char* psz)
{
    if (psz == nullptr || psz[0] == '\0')
        return psz;
    char* last = LastChar(psz);
    if (*last == '/')
        *last = '\0';
    return psz;
}

DuResult CDefUtils::ReadCatalogSection(const char* pszFile, const char* pszSection, char** ppBuffer)
{
    if (ppBuffer == nullptr)
        return DU_E_INVALID_PARAMETER;
    *ppBuffer = nullptr;

    // The profile engine reports a list that did not fit as size - 2, so
    // the buffer grows until the result is shorter than that or the limit
    // is reached. A section that fits once fits with the same result in
    // every larger buffer, so the first size is taken from the file (the
    // list is never longer than the file plus a terminator per 254-byte
    // line piece) rather than reading the file again for every 1 KiB step.
    DWORD size = CatalogFirstSize(pszFile);
    for (;;) {
        DuString buffer(static_cast<char*>(malloc(size)));
        if (!buffer)
            return DU_E_MEM_ALLOC;
        DWORD got = GetPrivateProfileSection(pszSection, buffer.get(), size, pszFile);
        if (got == size - 2) {
            if (size < CATALOG_MAX_SIZE) {
                size += CATALOG_SIZE_STEP;
                continue;
            }
            return DU_E_FILE_FORMAT;
        }
        if (got == 0)
            return DU_E_MISSING_SECTION;
        *ppBuffer = buffer.release();
        return DU_S_OK;
    }
}

DWORD CDefUtils::GetPrivateProfileSection(const char* pszSection, char* pszBuffer, DWORD nSize,
                                          const char* pszFile)
{
    return ::GetPrivateProfileSection(pszSection, pszBuffer, nSize, pszFile);
}
