#include "tools/patchapp/set_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace patchapp {
namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// writev in batches, resuming after short writes.
bool WriteAll(int fd, const Piece* pieces, size_t count)
{
    std::vector<Piece> left(pieces, pieces + count);
    size_t next = 0;
    std::vector<struct iovec> iov;
    while (next < left.size()) {
        iov.clear();
        for (size_t i = next; i < left.size() && iov.size() < 512; ++i)
            if (left[i].size > 0)
                iov.push_back(iovec{const_cast<unsigned char*>(left[i].data), left[i].size});
        if (iov.empty())
            return true;
        ssize_t n = writev(fd, iov.data(), static_cast<int>(iov.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        size_t done = static_cast<size_t>(n);
        while (next < left.size() && done >= left[next].size) {
            done -= left[next].size;
            ++next;
        }
        if (next < left.size()) {
            left[next].data += done;
            left[next].size -= done;
        }
    }
    return true;
}

// Removes a temporary file unless it was renamed to its final name.
class TempFileGuard {
public:
    explicit TempFileGuard(const char* path) : m_path(path) {}
    ~TempFileGuard()
    {
        if (!m_kept)
            unlink(m_path.c_str());
    }
    void Keep() { m_kept = true; }

private:
    PathBuf m_path;
    bool m_kept = false;
};

// Runs make, which creates path and fails with EEXIST when the name is
// taken; then removes the name and tries once more. Never writing through
// an existing name matters: it may be a hard link to a source file (an
// unchanged file an earlier apply linked), and truncating it would damage
// the source. Removing only after a clash keeps the common case to one
// call that takes the directory's lock.
template <class Make>
int ReplacingName(const char* path, Make make)
{
    int rc = make();
    if (rc < 0 && errno == EEXIST && unlink(path) == 0)
        rc = make();
    return rc;
}

// Writes into an unnamed file (O_TMPFILE) and gives it the name once it is
// complete. Creating a named file holds the directory's lock while the file
// system finds a free inode, which on a busy ext4 is most of the cost of a
// small file; an unnamed file gets its inode without that lock, so the two
// apply threads no longer queue for it, and linking the name afterwards is
// quick. A name never shows a half-written file either. Returns false,
// leaving no file behind, when unnamed files cannot be used.
bool WriteUnnamed(const char* dir, const char* path, const Piece* pieces, size_t count,
                  bool durable, PaResult& rc)
{
    ScopedFd fd(open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
    if (fd.get() < 0)
        return false;
    rc = PA_E_IO;
    if (!WriteAll(fd.get(), pieces, count) || (durable && fsync(fd.get()) != 0))
        return true;
    // The descriptor's /proc entry names the unnamed file; linking it with
    // AT_EMPTY_PATH instead would need a privilege the store may lack.
    char self[64];
    BoundedFormat(self, sizeof self, "/proc/self/fd/%d", fd.get());
    if (ReplacingName(
            path, [&] { return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW); }) == 0) {
        rc = fd.close_checked() ? PA_OK : PA_E_IO;
        return true;
    }
    // Without /proc the file cannot be named: the caller writes it the
    // plain way (where the directory itself is gone, that fails too).
    return errno != ENOENT;
}

}  // namespace

PaResult ListDirectory(const char* dir, std::vector<DirEntry>& out)
{
    out.clear();
    std::unique_ptr<DIR, DirCloser> d(opendir(dir));
    if (!d)
        return PA_E_IO;
    PathBuf path;
    for (;;) {
        errno = 0;
        struct dirent* ent = readdir(d.get());
        if (ent == nullptr) {
            if (errno != 0)
                return PA_E_IO;
            break;
        }
        std::string name = ent->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (!JoinPath(path, dir, name) || lstat(path.c_str(), &st) != 0)
            return PA_E_IO;
        out.push_back(DirEntry{name, S_ISDIR(st.st_mode), S_ISREG(st.st_mode)});
    }
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return PA_OK;
}

PaResult ReadWholeFile(const char* path, uint64_t maxSize, Bytes& out)
{
    out.clear();
    // O_NONBLOCK keeps a planted FIFO from hanging the open; it is refused
    // right after as not a regular file.
    ScopedFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return PA_E_IO;
    if (static_cast<uint64_t>(st.st_size) > maxSize)
        return PA_E_IO;
    out.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ReadRetrying(fd.get(), out.data() + got, out.size() - got);
        if (n < 0)
            return PA_E_IO;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    // A file that shrank while being read yields what it holds now; the
    // content hashes catch any disagreement.
    out.resize(got);
    return PA_OK;
}

PaResult WriteFileReplacing(const char* dir, const std::string& name, const unsigned char* data,
                            size_t size, bool durable)
{
    Piece piece{data, size};
    const size_t count = 1;
    const Piece* pieces = &piece;
    PathBuf target;
    PathBuf temp;
    if (!JoinPath(target, dir, name) || !JoinPath(temp, dir, ".patchapp-XXXXXX"))
        return PA_E_BAD_ARGUMENT;
    ScopedFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return PA_E_IO;
    TempFileGuard guard(temp.c_str());
    if (fchmod(fd.get(), 0644) != 0 || !WriteAll(fd.get(), pieces, count))
        return PA_E_IO;
    if (durable && fsync(fd.get()) != 0)
        return PA_E_IO;
    if (!fd.close_checked() || rename(temp.c_str(), target.c_str()) != 0)
        return PA_E_IO;
    guard.Keep();
    return PA_OK;
}

PaResult WritePiecesInPlace(const char* dir, const std::string& name, const Piece* pieces,
                            size_t count, bool durable)
{
    PathBuf path;
    if (!JoinPath(path, dir, name))
        return PA_E_BAD_ARGUMENT;
    PaResult rc;
    if (WriteUnnamed(dir, path.c_str(), pieces, count, durable, rc))
        return rc;
    ScopedFd fd(ReplacingName(path.c_str(), [&] {
        return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    }));
    if (fd.get() < 0 || !WriteAll(fd.get(), pieces, count))
        return PA_E_IO;
    if (durable && fsync(fd.get()) != 0)
        return PA_E_IO;
    return fd.close_checked() ? PA_OK : PA_E_IO;
}

bool SyncDirectory(const char* dir)
{
    ScopedFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && fsync(fd.get()) == 0;
}

void RemoveFlatDirectory(const char* dir)
{
    std::vector<DirEntry> entries;
    if (ListDirectory(dir, entries) == PA_OK) {
        PathBuf path;
        for (const DirEntry& e : entries)
            if (!e.isDirectory && JoinPath(path, dir, e.name))
                unlink(path.c_str());
    }
    rmdir(dir);
}

}  // namespace patchapp
