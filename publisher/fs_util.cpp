#include "publisher/fs_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "publisher/crypto.h"

namespace publisher {

namespace {

std::string Errno()
{
    return strerror(errno);
}

std::string DirName(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string TemporaryName(const std::string& base)
{
    static std::atomic<unsigned> counter{0};
    return ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + base;
}

Status ReadFileCapped(const std::string& path, uint64_t cap, std::string* out, bool* tooLarge)
{
    if (tooLarge != nullptr)
        *tooLarge = false;
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        return Fail(Exit::kIo, "cannot open " + path + ": " + Errno());
    if (!S_ISREG(st.st_mode))
        return Fail(Exit::kIo, "not a regular file: " + path);
    out->clear();
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Fail(Exit::kIo, "cannot read " + path + ": " + Errno());
        if (got == 0)
            return Ok();
        if (out->size() + static_cast<uint64_t>(got) > cap) {
            if (tooLarge != nullptr)
                *tooLarge = true;
            return Fail(Exit::kIo, path + " is larger than " + std::to_string(cap) + " bytes");
        }
        out->append(buffer, static_cast<size_t>(got));
    }
}

Status WriteFileAtomic(const std::string& path, const std::string& data, mode_t mode, bool durable)
{
    std::string dir = DirName(path), temp = dir + "/" + TemporaryName(BaseName(path));
    ScopedFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.get() < 0)
        return Fail(Exit::kIo, "cannot create " + temp + ": " + Errno());
    bool ok = WriteAll(fd.get(), data.data(), data.size()) && fchmod(fd.get(), mode) == 0 &&
              (!durable || fsync(fd.get()) == 0);
    ok = fd.close_checked() && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        std::string why = Errno();
        unlink(temp.c_str());
        return Fail(Exit::kIo, "cannot write " + path + ": " + why);
    }
    if (durable && !SyncDirectory(dir))
        return Fail(Exit::kIo, "cannot flush " + dir + ": " + Errno());
    return Ok();
}

Status CopyAndHash(const std::string& src, const std::string& dst, uint64_t* size,
                   std::string* sha256Hex)
{
    ScopedFd in(open(src.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (in.get() < 0 || fstat(in.get(), &st) != 0)
        return Fail(Exit::kIo, "cannot open " + src + ": " + Errno());
    if (!S_ISREG(st.st_mode))
        return Fail(Exit::kIo, "not a regular file: " + src);
    ScopedFd out(open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (out.get() < 0)
        return Fail(Exit::kIo, "cannot create " + dst + ": " + Errno());
    std::vector<char> buffer(1 << 20);
    Sha256 sha;
    uint64_t total = 0;
    for (;;) {
        ssize_t got = read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || (got > 0 && !WriteAll(out.get(), buffer.data(), static_cast<size_t>(got)))) {
            std::string why = Errno();
            unlink(dst.c_str());
            return Fail(Exit::kIo, "cannot copy " + src + ": " + why);
        }
        if (got == 0)
            break;
        sha.Update(buffer.data(), static_cast<size_t>(got));
        total += static_cast<uint64_t>(got);
    }
    if (!out.close_checked()) {
        unlink(dst.c_str());
        return Fail(Exit::kIo, "cannot write " + dst + ": " + Errno());
    }
    *size = total;
    *sha256Hex = sha.FinalHex();
    return Ok();
}

Status LinkOrCopy(const std::string& src, const std::string& dst)
{
    if (link(src.c_str(), dst.c_str()) == 0)
        return Ok();
    if (errno == EEXIST)
        return Fail(Exit::kIo, "already exists: " + dst);
    uint64_t size;
    std::string sha;
    return CopyAndHash(src, dst, &size, &sha);
}

Status MakeDirs(const std::string& path, mode_t mode)
{
    if (path.empty())
        return Ok();
    for (size_t pos = 1;; ++pos) {
        pos = path.find('/', pos);
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            return Fail(Exit::kIo, "cannot create " + part + ": " + Errno());
        if (pos == std::string::npos)
            break;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fail(Exit::kIo, "not a directory: " + path);
    return Ok();
}

Status ListDir(const std::string& dir, std::vector<DirEntry>* out)
{
    out->clear();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return Fail(Exit::kIo, "cannot list " + dir + ": " + Errno());
    std::unique_ptr<DIR, int (*)(DIR*)> guard(d, closedir);
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        DirEntry entry;
        entry.name = name;
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) == 0) {
            entry.isRegular = S_ISREG(st.st_mode);
            entry.isDirectory = S_ISDIR(st.st_mode);
            entry.size = static_cast<uint64_t>(st.st_size);
            entry.mtime = st.st_mtime;
        }
        out->push_back(entry);
    }
    std::sort(out->begin(), out->end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return Ok();
}

bool PathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string& path)
{
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) {
            remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

bool SyncDirectory(const std::string& dir)
{
    ScopedFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && fsync(fd.get()) == 0;
}

bool SyncFileSystem(const std::string& path)
{
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.get() >= 0 && syncfs(fd.get()) == 0;
}

bool FileLock::TryLock(const std::string& path)
{
    m_fd.reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    return m_fd.get() >= 0 && flock(m_fd.get(), LOCK_EX | LOCK_NB) == 0;
}

}  // namespace publisher
