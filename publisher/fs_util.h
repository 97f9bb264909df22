// File helpers of the publisher: whole-file reads with a size cap, writes
// that appear under their final name only when complete (temporary file in
// the same directory, then rename), streaming copy with hashing, directory
// listing and removal. Failures come back as a Status naming the path.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/scoped_fd.h"
#include "publisher/status.h"

namespace publisher {

// Reads a whole regular file; larger than cap is an error and *tooLarge
// (when given) is set. Never reads more than cap + 1 bytes.
Status ReadFileCapped(const std::string& path, uint64_t cap, std::string* out,
                      bool* tooLarge = nullptr);

// Writes data to a temporary file beside path and renames it over path.
// With durable set the file and then its directory are flushed to disk.
Status WriteFileAtomic(const std::string& path, const std::string& data, mode_t mode, bool durable);

// Copies src (a regular file, links not followed) to a new file dst,
// computing length and SHA-256 of what was copied. dst must not exist.
Status CopyAndHash(const std::string& src, const std::string& dst, uint64_t* size,
                   std::string* sha256Hex);

// Hard-links src to dst, or copies it where a link cannot be made (another
// file system). dst must not exist.
Status LinkOrCopy(const std::string& src, const std::string& dst);

Status MakeDirs(const std::string& path, mode_t mode = 0755);

struct DirEntry {
    std::string name;
    bool isRegular = false;
    bool isDirectory = false;
    uint64_t size = 0;
    int64_t mtime = 0;
};
// Entries of dir except "." and "..", sorted by name, examined with lstat.
Status ListDir(const std::string& dir, std::vector<DirEntry>* out);

bool PathExists(const std::string& path);
// Removes a file or a whole tree; best effort, links are not followed.
void RemoveTree(const std::string& path);
bool SyncDirectory(const std::string& dir);
// Flushes the whole file system holding path (one call instead of an
// fsync per file after writing thousands of them).
bool SyncFileSystem(const std::string& path);

// A name no other writer uses: ".tmp-<pid>-<counter>-<base>".
std::string TemporaryName(const std::string& base);

// An exclusive advisory lock on a file, held while the object lives.
class FileLock {
public:
    FileLock() = default;
    ~FileLock() = default;
    // False when another process holds it (or the file cannot be opened).
    bool TryLock(const std::string& path);

private:
    ScopedFd m_fd;
};

}  // namespace publisher
