// Definition dates: reading a set's date from the header of its main (or
// text) definitions file, naming set directories from it, comparing sets.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "defutils/defutils.h"
#include "defutils/store_helpers.h"
#include "defutils/store_layout.h"
#include "platform/bounded.h"
#include "platform/fileops.h"
#include "platform/paths.h"
#include "platform/scoped_fd.h"

namespace {

// The header is 32 bytes; only bytes 4 to 10 carry the date.
constexpr size_t kHeaderSize = 32;
constexpr size_t kDateBytes = 11;
constexpr DWORD kMaxRevision = 999;
constexpr unsigned kMinYearByte = 100;  // 2000
constexpr unsigned kMaxYearByte = 200;  // 2100

struct DefDate {
    WORD wYear = 0;
    WORD wMonth = 0;
    WORD wDay = 0;
    DWORD dwRev = 0;
};

// <0, 0, >0 as a is older than, as old as, newer than b.
int CompareDates(const DefDate& a, const DefDate& b)
{
    if (a.wYear != b.wYear)
        return a.wYear < b.wYear ? -1 : 1;
    if (a.wMonth != b.wMonth)
        return a.wMonth < b.wMonth ? -1 : 1;
    if (a.wDay != b.wDay)
        return a.wDay < b.wDay ? -1 : 1;
    if (a.dwRev != b.dwRev)
        return a.dwRev < b.dwRev ? -1 : 1;
    return 0;
}

DWORD ReadLittleEndian32(const unsigned char* p)
{
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
           static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24;
}

void WriteLittleEndian32(unsigned char* p, DWORD dw)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(dw >> (8 * i));
}

struct HandleCloser {
    void operator()(void* h) const { CloseHandle(h); }
};

// Reads until the buffer is full or the file ends; -1 on a read error.
ssize_t ReadFully(int fd, unsigned char* pBuffer, size_t nSize)
{
    size_t nDone = 0;
    while (nDone < nSize) {
        ssize_t n = ReadRetrying(fd, pBuffer + nDone, nSize - nDone);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        nDone += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(nDone);
}

const char* DateFile(bool bText)
{
    return bText ? kVirscanTextFile : kVirscan1File;
}

}  // namespace

DuResult CDefUtils::GetDefDate(const char* pszDir, WORD* pwYear, WORD* pwMonth, WORD* pwDay,
                               DWORD* pdwRev, bool bText)
{
    WriteLog("CDefUtils::GetDefDate - start.\n");

    DuResult result = DU_E_VIRSCAN1_OPEN;
    // An empty directory (say, a store without a newest set) must not make
    // the header be looked for in the working directory.
    PathBuf path(pszDir);
    if (!path.empty() && DuAppendPath(path.data(), DateFile(bText), path.size())) {
        ScopedFd fd(OpenFileAnyCase(path.c_str(), O_RDONLY, 0));
        if (fd.get() >= 0) {
            unsigned char header[kHeaderSize] = {};
            ssize_t nRead = ReadFully(fd.get(), header, sizeof header);
            if (nRead < 0) {
                result = DU_E_VIRSCAN1_READ;
            } else {
                DWORD dwRev = ReadLittleEndian32(header + 4);
                unsigned nMonth = header[8], nDay = header[9], nYearByte = header[10];
                // A file too short to hold the date is as bad as a date out
                // of range.
                bool bValid = static_cast<size_t>(nRead) >= kDateBytes && dwRev <= kMaxRevision &&
                              nMonth >= 1 && nMonth <= 12 && nDay >= 1 && nDay <= 31 &&
                              nYearByte >= kMinYearByte && nYearByte <= kMaxYearByte;
                DefDate date;
                if (bValid) {
                    date.wYear = static_cast<WORD>(nYearByte + 1900);
                    date.wMonth = static_cast<WORD>(nMonth);
                    date.wDay = static_cast<WORD>(nDay);
                    date.dwRev = dwRev;
                }
                if (pwYear != nullptr)
                    *pwYear = date.wYear;
                if (pwMonth != nullptr)
                    *pwMonth = date.wMonth;
                if (pwDay != nullptr)
                    *pwDay = date.wDay;
                if (pdwRev != nullptr)
                    *pdwRev = date.dwRev;
                result = bValid ? DU_S_OK : DU_E_FILE_FORMAT;
            }
        }
    }

    WriteLog("CDefUtils::GetDefDate( szDir: %s ) - end, returning: %s.\n", OrNull(pszDir),
             GetResultName(result));
    return result;
}

bool CDefUtils::CreateDefDirName(const char* pszDir, char* pszName, size_t nSize, bool bText)
{
    WriteLog("CDefUtils::CreateDefDirName(%s, ...) - start\n", OrNull(pszDir));
    DefDate date;
    if (GetDefDate(pszDir, &date.wYear, &date.wMonth, &date.wDay, &date.dwRev, bText) != DU_S_OK) {
        WriteLog("CDefUtils::CreateDefDirName() - returning false.\n");
        return false;
    }
    char szName[32];
    BoundedFormat(szName, sizeof szName, kDefDirNameFormat, static_cast<int>(date.wYear),
                  static_cast<int>(date.wMonth), static_cast<int>(date.wDay),
                  static_cast<long>(date.dwRev));
    if (pszName != nullptr)
        BoundedCopy(pszName, nSize, szName);
    WriteLog("CDefUtils::CreateDefDirName(..., %s) - returning true.\n", szName);
    return true;
}

bool CDefUtils::DefsAreNewer(const char* pszDir1, const char* pszDir2, bool bText1, bool bText2)
{
    WriteLog("CDefUtils::DefsAreNewer(%s, %s) - start.\n", OrNull(pszDir1), OrNull(pszDir2));
    DefDate date1, date2;
    DuResult result1 =
        GetDefDate(pszDir1, &date1.wYear, &date1.wMonth, &date1.wDay, &date1.dwRev, bText1);
    DuResult result2 =
        GetDefDate(pszDir2, &date2.wYear, &date2.wMonth, &date2.wDay, &date2.dwRev, bText2);
    // An unreadable set never wins; a readable one beats an unreadable one.
    if (!DuSucceeded(result1))
        return false;
    if (!DuSucceeded(result2))
        return true;

    if (CompareDates(date1, date2) > 0) {
        WriteLog("CDefUtils::DefsAreNewer() - returning true.\n");
        return true;
    }
    WriteLog("CDefUtils::DefsAreNewer() - returning false.\n");
    return false;
}

bool CDefUtils::DefsAreNewerOrSameAge(const char* pszDir1, const char* pszDir2)
{
    WriteLog("CDefUtils::DefsAreNewerOrSameAge() - starts.\n");
    DefDate date1, date2;
    DuResult result1 =
        GetDefDate(pszDir1, &date1.wYear, &date1.wMonth, &date1.wDay, &date1.dwRev, false);
    DuResult result2 =
        GetDefDate(pszDir2, &date2.wYear, &date2.wMonth, &date2.wDay, &date2.dwRev, false);
    if (!DuSucceeded(result1)) {
        WriteLog(
            "CDefUtils::DefsAreNewerOrSameAge, retrieving RtnDate1 failed, returning false.\n");
        return false;
    }
    if (!DuSucceeded(result2)) {
        WriteLog("CDefUtils::DefsAreNewerOrSameAge, retrieving RtnDate2 failed, returning true.\n");
        return true;
    }

    int nOrder = CompareDates(date1, date2);
    if (nOrder == 0) {
        WriteLog("Identical def date, returning true.\n");
        return true;
    }
    if (nOrder > 0) {
        WriteLog("CDefUtils::DefsAreNewerOrSameAge - ends, returning true.\n");
        return true;
    }
    WriteLog("CDefUtils::DefsAreNewerOrSameAge - ends, returning false.\n");
    return false;
}

bool CDefUtils::IncrementDefVersion(const char* pszDir, bool bText)
{
    const char* pszShownDir = OrNull(pszDir);
    PathBuf path(pszDir);
    bool bJoined = !path.empty() && DuAppendPath(path.data(), DateFile(bText), path.size());
    WriteLog("CDefUtils::IncrementDefVersion( %s ) to increment VIRSCAN revision number- start.\n",
             pszShownDir);

    HANDLE hFile = INVALID_HANDLE_VALUE;
    if (bJoined)
        hFile = CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        WriteLog("CDefUtils::IncrementDefVersion( %s ) - end, returning: %s.\n", pszShownDir,
                 "failure");
        return false;
    }
    std::unique_ptr<void, HandleCloser> file(hFile);

    // The increment must not make the set look freshly modified.
    FileTime ftAccess{}, ftWrite{};
    bool bHaveTimes = GetFileTime(hFile, nullptr, &ftAccess, &ftWrite) != 0;

    bool bResult = false;
    unsigned char header[kHeaderSize] = {};
    DWORD nRead = 0;
    if (ReadFile(hFile, header, sizeof header, &nRead, nullptr) && nRead >= 1) {
        // No range check: the caller wants a distinct revision, not a valid one.
        WriteLittleEndian32(header + 4, ReadLittleEndian32(header + 4) + 1);
        DWORD nWritten = 0;
        // Write back only what was read so a short file keeps its length.
        bResult = SetFilePointer(hFile, 0, nullptr, FILE_BEGIN) == 0 &&
                  WriteFile(hFile, header, nRead, &nWritten, nullptr) && nWritten >= 1;
    }

    if (bHaveTimes)
        SetFileTime(hFile, nullptr, &ftAccess, &ftWrite);
    WriteLog("CDefUtils::IncrementDefVersion( %s ) - end, returning: %s.\n", pszShownDir,
             bResult ? "success" : "failure");
    return bResult;
}

bool CDefUtils::DirsAreSame(const char* pszPath1, const char* pszPath2)
{
    PathBuf path1(pszPath1);
    PathBuf path2(pszPath2);
    WriteLog("CDefUtils::DirsAreSame(%s , %s) - start\n", path1.c_str(), path2.c_str());
    bool bSame = strcmp(path1.c_str(), path2.c_str()) == 0;
    WriteLog("CDefUtils::DirsAreSame() - returning %s\n", bSame ? "success" : "failure");
    return bSame;
}
