// File-system helpers for definition sets: flat directories of files.
//
// Paths are assembled in PathBuf (4096 bytes); a join that would be cut
// fails instead, so a long name never silently names another file. Reads
// never follow a symbolic link at the last component and accept regular
// files only; writes go to a fresh temporary name in the target directory
// and are renamed into place once complete, so a file carrying a final name
// is never half-written. Results are PaResult values; descriptors are owned
// by ScopedFd and closed on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/bounded.h"
#include "tools/patchapp/package_format.h"

namespace patchapp {

class ScopedFd {
public:
    explicit ScopedFd(int fd = -1) : m_fd(fd) {}
    ~ScopedFd();
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return m_fd; }
    // Closes now and reports whether close succeeded (it can report a
    // delayed write error).
    bool Close();

private:
    int m_fd;
};

// dir + "/" + name into out; false when it does not fit.
bool JoinPath(PathBuf& out, const char* dir, const std::string& name);

struct DirEntry {
    std::string name;
    bool isDirectory;
    bool isRegular;
};

// Every entry of dir except "." and "..", sorted by name (byte order).
// Entries are examined with lstat, so a link is neither directory nor
// regular file.
PaResult ListDirectory(const char* dir, std::vector<DirEntry>& out);

// Reads a whole regular file of at most maxSize bytes.
PaResult ReadWholeFile(const char* path, uint64_t maxSize, std::vector<unsigned char>& out);

// Writes data to dir/name (mode 0644), replacing any file of that name.
// With durable set the data is flushed to disk before the rename.
PaResult WriteFileReplacing(const char* dir, const std::string& name, const unsigned char* data,
                            size_t size, bool durable);

// Flushes a directory's entries (after renames into it).
bool SyncDirectory(const char* dir);

// Removes the files of a flat directory and then the directory; best effort.
void RemoveFlatDirectory(const char* dir);

}  // namespace patchapp
