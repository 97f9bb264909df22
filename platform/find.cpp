#include "platform/find.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/wildcard.h"

namespace {

constexpr DWORD kListingTag = 20;
constexpr DWORD kMaxCapacity = INT32_MAX;

// Seconds from 1601-01-01 to 1970-01-01, in units of 15 seconds, and
// 15 seconds in 100-nanosecond units: the time stamps are kept to a
// 15-second granularity on purpose, so stamps less than 15 s apart compare
// equal.
constexpr int64_t kEpochQuarterMinutes = 776298240;
constexpr uint64_t kTicksPer15Seconds = 150000000;

// One listed entry. The name lives in the listing's name pool, so a record
// costs a few dozen bytes rather than a full-size name field, and a listing
// of a large directory stays small.
struct Record {
    DWORD attributes;
    FileTime lastAccess;
    FileTime lastWrite;
    DWORD sizeLow;
    size_t nameOffset;
};

// The object behind a find handle.
struct Listing {
    DWORD tag;
    DWORD count;
    DWORD capacity;
    Record* records;
    DWORD index;
    char* names;  // every record's name, each NUL-terminated
    size_t namesUsed;
    size_t namesCapacity;
};

void FreeListing(Listing* listing)
{
    free(listing->records);
    free(listing->names);
    // Cleared before release so the live tag does not linger in freed memory.
    *listing = Listing{0, 0, 0, nullptr, 0, nullptr, 0, 0};
    delete listing;
}

struct ListingDeleter {
    void operator()(Listing* listing) const { FreeListing(listing); }
};
using ListingPtr = std::unique_ptr<Listing, ListingDeleter>;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

Listing* LiveListing(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    Listing* listing = static_cast<Listing*>(handle);
    return listing->tag == kListingTag ? listing : nullptr;
}

void CopyOut(const Listing& listing, const Record& record, FindData* out)
{
    out->dwFileAttributes = record.attributes;
    out->ftLastAccessTime = record.lastAccess;
    out->ftLastWriteTime = record.lastWrite;
    out->nFileSizeHigh = 0;
    out->nFileSizeLow = record.sizeLow;
    BoundedCopy(out->szName, sizeof out->szName, listing.names + record.nameOffset);
    out->pszName = out->szName;
}

// Makes room for one more record: 10 at first, then doubling; when the
// larger block cannot be had, settle once for ten more.
bool Grow(Listing* listing)
{
    if (listing->count < listing->capacity)
        return true;
    DWORD capacity = listing->capacity;
    if (capacity >= kMaxCapacity)
        return false;
    DWORD wanted = capacity == 0 ? 10 : (capacity > kMaxCapacity / 2 ? kMaxCapacity : capacity * 2);
    void* grown = realloc(listing->records, static_cast<size_t>(wanted) * sizeof(Record));
    if (grown == nullptr && capacity + 10 < wanted) {
        wanted = capacity + 10;
        grown = realloc(listing->records, static_cast<size_t>(wanted) * sizeof(Record));
    }
    if (grown == nullptr)
        return false;
    listing->records = static_cast<Record*>(grown);
    listing->capacity = wanted;
    return true;
}

// Appends a record for `name` (at most a file name's length) made from its
// stat result; false when memory runs out.
bool AddRecord(Listing* listing, const struct stat& st, const char* name)
{
    size_t length = strnlen(name, FIND_DATA_NAME_SIZE - 1);
    if (listing->namesCapacity - listing->namesUsed < length + 1) {
        size_t wanted = listing->namesCapacity == 0 ? 256 : listing->namesCapacity;
        while (wanted - listing->namesUsed < length + 1) wanted *= 2;
        char* grown = static_cast<char*>(realloc(listing->names, wanted));
        if (grown == nullptr)
            return false;
        listing->names = grown;
        listing->namesCapacity = wanted;
    }
    if (!Grow(listing))
        return false;
    Record& record = listing->records[listing->count];
    record.attributes = S_ISDIR(st.st_mode) ? FILE_ATTR_DIRECTORY : FILE_ATTR_NORMAL;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        record.attributes |= FILE_ATTR_READONLY;
    record.lastAccess = PosixTimeToFileTime(st.st_atime);
    record.lastWrite = PosixTimeToFileTime(st.st_mtime);
    record.sizeLow = static_cast<DWORD>(st.st_size);
    record.nameOffset = listing->namesUsed;
    memcpy(listing->names + listing->namesUsed, name, length);
    listing->names[listing->namesUsed + length] = '\0';
    listing->namesUsed += length + 1;
    ++listing->count;
    return true;
}

// Splits "dir/pattern" into its two halves; no "/" means the current
// directory. Returns false when the parts do not fit or getcwd fails.
bool SplitPath(const char* path, char* dir, size_t dirSize, const char** pattern)
{
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        if (getcwd(dir, dirSize) == nullptr)
            return false;
        *pattern = path;
    } else if (slash == path) {
        BoundedCopy(dir, dirSize, "/");
        *pattern = slash + 1;
    } else {
        size_t length = static_cast<size_t>(slash - path);
        if (length >= dirSize)
            return false;
        memcpy(dir, path, length);
        dir[length] = '\0';
        *pattern = slash + 1;
    }
    return strlen(*pattern) <= DU_MAX_PATH;
}

// Joins dir and name into full (DU_MAX_PATH + 1 bytes); false when the
// result would exceed DU_MAX_PATH bytes. The root directory is not doubled.
bool JoinPath(const char* dir, const char* name, char (&full)[DU_MAX_PATH + 1])
{
    return BoundedJoin(full, sizeof full, strcmp(dir, "/") == 0 ? "" : dir, name);
}

// Reads every matching regular file and directory of `dir` into `listing`.
bool ReadListing(const char* dir, WildcardMatcher& matcher, Listing* listing)
{
    DirPtr stream(DuOpenDirPath(dir));
    if (!stream)
        return false;
    // Inside the store a link is listed as the link itself, a file that can
    // be deleted but never opened (platform/boundary.h): what it points to
    // may be anywhere.
    bool beneath = DuIsBelowBoundary(dir);
    int statFlags = beneath ? AT_SYMLINK_NOFOLLOW : 0;
    char full[DU_MAX_PATH + 1];
    for (;;) {
        // readdir_r is deprecated; plain readdir is re-entrant enough here
        // because the stream is private to this call and no other thread
        // ever reads it.
        errno = 0;
        struct dirent* entry = readdir(stream.get());
        if (entry == nullptr)
            return errno == 0;
        // Match first: a listing must cost one stat per matching entry, not
        // one per directory entry.
        if (matcher.Match(entry->d_name) != WildcardResult::kMatch)
            continue;
        if (!JoinPath(dir, entry->d_name, full))
            continue;
        struct stat st;
        if (fstatat(dirfd(stream.get()), entry->d_name, &st, statFlags) != 0 ||
            !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || (beneath && S_ISLNK(st.st_mode))))
            continue;
        if (!AddRecord(listing, st, entry->d_name))
            return false;
    }
}

// A pattern without wildcards matches one name only, byte for byte, so one
// stat of that name gives the answer reading the whole directory would:
// names that are missing, dangling or neither a file nor a directory fail
// the stat or its test in both. The listing must also be allowed to read the
// directory, where a stat only needs to search it; that is checked once the
// name is found. (A directory that looks names up without regard to case
// would find names the listing does not; the store is not kept on one.)
bool StatPlainName(const char* dir, const char* name, Listing* listing)
{
    // Through the store boundary, with the listing's rule for links there.
    char full[DU_MAX_PATH + 1];
    struct stat st;
    bool beneath = DuIsBelowBoundary(dir);
    if (!JoinPath(dir, name, full) || DuStatPath(full, &st) != 0 ||
        !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || (beneath && S_ISLNK(st.st_mode))))
        return true;
    if (faccessat(AT_FDCWD, dir, R_OK, AT_EACCESS) != 0)
        return false;
    return AddRecord(listing, st, name);
}

bool IsPlainName(const char* pattern)
{
    return strpbrk(pattern, "*?") == nullptr;
}

}  // namespace

HANDLE FindFirstFile(const char* pszPath, FindData* pFindData)
{
    if (pszPath == nullptr || pszPath[0] == '\0' || pFindData == nullptr ||
        strlen(pszPath) > DU_MAX_PATH)
        return INVALID_HANDLE_VALUE;

    char dir[DU_MAX_PATH + 1];
    const char* pattern = nullptr;
    if (!SplitPath(pszPath, dir, sizeof dir, &pattern))
        return INVALID_HANDLE_VALUE;
    // So that "*.*" also finds names without a dot, as callers expect.
    if (strcmp(pattern, "*.*") == 0)
        pattern = "*";

    WildcardMatcher matcher;
    if (!matcher.Compile(pattern))
        return INVALID_HANDLE_VALUE;

    // An empty pattern matches no name at all.
    if (pattern[0] == '\0')
        return INVALID_HANDLE_VALUE;
    ListingPtr listing(new (std::nothrow) Listing{kListingTag, 0, 0, nullptr, 0, nullptr, 0, 0});
    if (!listing)
        return INVALID_HANDLE_VALUE;
    bool bRead = IsPlainName(pattern) ? StatPlainName(dir, pattern, listing.get())
                                      : ReadListing(dir, matcher, listing.get());
    if (!bRead || listing->count == 0)
        return INVALID_HANDLE_VALUE;

    // The process stays in the POSIX locale, so this is plain byte order.
    const char* names = listing->names;
    std::sort(listing->records, listing->records + listing->count,
              [names](const Record& a, const Record& b) {
                  return strcoll(names + a.nameOffset, names + b.nameOffset) < 0;
              });
    listing->index = 0;
    CopyOut(*listing, listing->records[0], pFindData);
    return listing.release();
}

BOOL FindNextFile(HANDLE hFind, FindData* pFindData)
{
    Listing* listing = LiveListing(hFind);
    if (listing == nullptr || pFindData == nullptr)
        return FALSE;
    if (listing->index == listing->count)
        return FALSE;
    // The index stays at count once reached, so every later call fails too.
    if (++listing->index == listing->count)
        return FALSE;
    CopyOut(*listing, listing->records[listing->index], pFindData);
    return TRUE;
}

BOOL FindClose(HANDLE hFind)
{
    Listing* listing = LiveListing(hFind);
    if (listing == nullptr)
        return FALSE;
    FreeListing(listing);
    return TRUE;
}

FileTime PosixTimeToFileTime(time_t t)
{
    int32_t seconds = static_cast<int32_t>(static_cast<uint32_t>(t));
    uint64_t ticks =
        static_cast<uint64_t>(seconds / 15 + kEpochQuarterMinutes) * kTicksPer15Seconds;
    return FileTime{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

time_t FileTimeToPosixTime(const FileTime& ft)
{
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    uint64_t q = ticks / kTicksPer15Seconds;
    if (q > UINT32_MAX)
        q = UINT32_MAX;
    uint32_t seconds =
        (static_cast<uint32_t>(q) - static_cast<uint32_t>(kEpochQuarterMinutes)) * 15u;
    return static_cast<time_t>(static_cast<int32_t>(seconds));
}
