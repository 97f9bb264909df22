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
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/bounded.h"
#include "platform/scoped_fd.h"
#include "tools/patchapp/delta.h"
#include "tools/patchapp/package_format.h"

namespace patchapp {

// A byte vector whose growth does not zero the new bytes: file contents are
// read straight over them, and clearing 64 MiB first costs real time.
template <class T>
struct UninitAllocator {
    using value_type = T;
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&)
    {
    }
    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, size_t n) { std::allocator<T>().deallocate(p, n); }
    template <class U>
    void construct(U* p)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    bool operator==(const UninitAllocator&) const { return true; }
    bool operator!=(const UninitAllocator&) const { return false; }
};
using Bytes = std::vector<unsigned char, UninitAllocator<unsigned char>>;

// dir + "/" + name into out; false when it does not fit.
inline bool JoinPath(PathBuf& out, const char* dir, const std::string& name)
{
    return BoundedJoin(out.data(), out.size(), dir, name.c_str());
}

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
PaResult ReadWholeFile(const char* path, uint64_t maxSize, Bytes& out);

// Writes data to dir/name (mode 0644), replacing any file of that name.
// With durable set the data is flushed to disk before the rename.
PaResult WriteFileReplacing(const char* dir, const std::string& name, const unsigned char* data,
                            size_t size, bool durable);

// Writes the pieces, in order, to a new file dir/name (mode 0644 less the
// umask): an unnamed file linked to the name once complete where the file
// system allows, else a file created under the name. Whatever had that
// name is replaced, never written through, so a hard link there leaves the
// file it shares untouched. Faster than the rename above, for callers that
// remove what they wrote when they fail.
PaResult WritePiecesInPlace(const char* dir, const std::string& name, const Piece* pieces,
                            size_t count, bool durable);

// Flushes a directory's entries (after renames into it).
bool SyncDirectory(const char* dir);

// Removes the files of a flat directory and then the directory; best effort.
void RemoveFlatDirectory(const char* dir);

}  // namespace patchapp
