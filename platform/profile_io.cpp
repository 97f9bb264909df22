#include "platform/profile_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

#include "platform/boundary.h"
#include "platform/charstep.h"
#include "platform/scoped_fd.h"

namespace {

// fcntl record locks belong to the process, not to the descriptor, and are
// all dropped as soon as ANY descriptor of the file is closed. Holding this
// mutex from open to close keeps at most one profile descriptor open in the
// process, so one operation can never silently drop another's lock.
// Deliberately non-recursive: a nested profile call would be a bug.
pthread_mutex_t g_profileMutex = PTHREAD_MUTEX_INITIALIZER;

constexpr size_t kMoveChunk = 8192;

// A vanishing or reappearing file between the two opens of OpenForWrite is
// retried, but not forever (a dangling symlink looks like that every time).
constexpr int kCreateAttempts = 4;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

TextSpan Trim(const char* begin, const char* end)
{
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
    return TextSpan{begin, static_cast<size_t>(end - begin)};
}

// Opens without blocking (a FIFO planted at the path would otherwise hang
// the open) and accepts only regular files: a device such as /dev/zero
// would never end a line. Returns the descriptor in blocking mode, or -1.
int OpenRegular(const char* pszPath, int flags)
{
    int fd = DuOpenPath(pszPath, flags);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// The whole file, read under the record lock.
bool LoadImage(int fd, std::string* pImage)
{
    pImage->clear();
    char buf[8192];
    for (off_t at = 0;;) {
        ssize_t n = ReadRetrying(fd, buf, sizeof buf, at);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        pImage->append(buf, static_cast<size_t>(n));
        at += n;
    }
}

}  // namespace

bool IsSectionHeader(const char* text)
{
    while (IsBlank(*text)) ++text;
    return *text == '[';
}

TextSpan SectionName(const char* text, size_t len)
{
    const char* begin = text;
    const char* end = text + len;
    while (begin < end && (IsBlank(*begin) || *begin == '[')) ++begin;
    while (end > begin && (IsBlank(end[-1]) || end[-1] == ']')) --end;
    return TextSpan{begin, static_cast<size_t>(end - begin)};
}

bool SplitEntry(const char* text, size_t len, TextSpan& key, TextSpan& value)
{
    if (IsSectionHeader(text))
        return false;
    const char* eq = static_cast<const char*>(memchr(text, '=', len));
    if (eq == nullptr)
        return false;
    key = Trim(text, eq);
    value = Trim(eq + 1, text + len);
    if (value.len >= 2) {
        char first = value.ptr[0];
        char last = value.ptr[value.len - 1];
        if ((first == '\'' || first == '"') && first == last) {
            ++value.ptr;
            value.len -= 2;
        }
    }
    return true;
}

bool NameMatches(TextSpan span, const char* name)
{
    size_t i = 0;
    while (i < span.len) {
        if (name[i] == '\0')
            return false;
        // Multi-byte characters compare byte for byte; only single-byte
        // ones are folded, so a trail byte is never mistaken for a letter.
        // An ASCII byte always stands alone, which spares mblen on the
        // common path.
        unsigned char c = static_cast<unsigned char>(span.ptr[i]);
        size_t step = c < 0x80 ? 1 : std::min(CharLen(span.ptr + i), span.len - i);
        if (step <= 1) {
            if (span.ptr[i] != name[i] &&
                tolower(c) != tolower(static_cast<unsigned char>(name[i])))
                return false;
            ++i;
            continue;
        }
        for (size_t k = 0; k < step; ++k, ++i) {
            if (name[i] != span.ptr[i] || name[i] == '\0')
                return false;
        }
    }
    return name[i] == '\0';
}

ProfileFile::~ProfileFile()
{
    Close();
}

bool ProfileFile::Begin()
{
    if (pthread_mutex_lock(&g_profileMutex) != 0)
        return false;
    m_mutexHeld = true;
    return true;
}

// Undoes a half-finished open: the stream (if any), a file this open
// created, and the mutex.
void ProfileFile::Abandon()
{
    if (m_fp != nullptr) {
        fclose(m_fp);
        m_fp = nullptr;
    }
    if (m_created && m_path != nullptr)
        DuUnlinkPath(m_path);
    m_created = false;
    if (m_mutexHeld) {
        pthread_mutex_unlock(&g_profileMutex);
        m_mutexHeld = false;
    }
}

bool ProfileFile::LockRecord(short type)
{
    struct flock lk {};
    lk.l_type = type;
    lk.l_whence = SEEK_SET;
    lk.l_start = 0;
    lk.l_len = 1;
    for (;;) {
        if (fcntl(fileno(m_fp), F_SETLKW, &lk) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool ProfileFile::OpenForRead(const char* pszPath)
{
    if (pszPath == nullptr || m_mutexHeld || !Begin())
        return false;
    m_path = pszPath;
    int fd = OpenRegular(pszPath, O_RDONLY);
    if (fd >= 0) {
        m_fp = fdopen(fd, "rb");
        if (m_fp == nullptr)
            close(fd);
    }
    if (m_fp == nullptr || !LockRecord(F_RDLCK)) {
        Abandon();
        return false;
    }
    return true;
}

bool ProfileFile::OpenForWrite(const char* pszPath)
{
    if (pszPath == nullptr || m_mutexHeld || !Begin())
        return false;
    m_path = pszPath;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < kCreateAttempts; ++attempt) {
        fd = OpenRegular(pszPath, O_RDWR);
        if (fd >= 0 || errno != ENOENT)
            break;
        // O_EXCL rather than a plain truncating create: another process may
        // have created and filled the file since our open failed, and
        // truncating it before we hold its record lock would lose that work.
        fd = DuOpenPath(pszPath, O_RDWR | O_CREAT | O_EXCL, 0664);
        if (fd >= 0) {
            m_created = true;
            // Explicitly, so the process umask does not decide.
            if (fchmod(fd, 0664) != 0) {
                close(fd);
                Abandon();
                return false;
            }
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (fd >= 0) {
        m_fp = fdopen(fd, m_created ? "w+b" : "r+b");
        if (m_fp == nullptr)
            close(fd);
    }
    if (m_fp == nullptr || !LockRecord(F_WRLCK) || !LoadImage(fileno(m_fp), &m_image)) {
        Abandon();
        return false;
    }
    m_created = false;
    m_imageMode = true;
    m_dirty = false;
    m_diskSize = m_image.size();
    m_pos = 0;
    return true;
}

bool ProfileFile::Commit()
{
    if (!m_imageMode || !m_dirty)
        return true;
    int fd = fileno(m_fp);
    size_t size = m_image.size();
    if (size < m_diskSize)
        m_image.append(m_diskSize - size, '\n');
    bool ok = WriteFully(fd, m_image.data(), m_image.size(), 0);
    m_image.resize(size);
    if (ok && size < m_diskSize)
        ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (ok) {
        m_diskSize = size;
        m_dirty = false;
    }
    return ok;
}

void ProfileFile::Close()
{
    Commit();
    m_imageMode = false;
    m_image.clear();
    if (m_fp != nullptr) {
        struct flock lk {};
        lk.l_type = F_UNLCK;
        lk.l_whence = SEEK_SET;
        lk.l_start = 0;
        lk.l_len = 1;
        fflush(m_fp);
        fcntl(fileno(m_fp), F_SETLK, &lk);
        fclose(m_fp);
        m_fp = nullptr;
    }
    if (m_mutexHeld) {
        pthread_mutex_unlock(&g_profileMutex);
        m_mutexHeld = false;
    }
}

// fgets on the image: at most PROFILE_LINE_SIZE - 1 bytes, up to and
// including a line feed, so lines split exactly as they do on disk.
bool ProfileFile::ReadImageLine(ProfileLine& line)
{
    size_t at = static_cast<size_t>(m_pos);
    if (at >= m_image.size())
        return false;
    size_t n = std::min(m_image.size() - at, PROFILE_LINE_SIZE - 1);
    const char* begin = m_image.data() + at;
    const char* lf = static_cast<const char*>(memchr(begin, '\n', n));
    if (lf != nullptr)
        n = static_cast<size_t>(lf - begin) + 1;
    memcpy(line.text, begin, n);
    line.text[n] = '\0';
    line.start = m_pos;
    m_pos += static_cast<off_t>(n);
    line.end = m_pos;
    size_t len = strlen(line.text);
    while (len > 0 && (line.text[len - 1] == '\n' || line.text[len - 1] == '\r'))
        line.text[--len] = '\0';
    line.len = len;
    return true;
}

bool ProfileFile::ReadLine(ProfileLine& line)
{
    if (m_imageMode)
        return ReadImageLine(line);
    if (fgets(line.text, sizeof line.text, m_fp) == nullptr)
        return false;
    line.start = m_pos;
    size_t len = strlen(line.text);
    if (len == PROFILE_LINE_SIZE - 1 || (len > 0 && line.text[len - 1] == '\n')) {
        m_pos += static_cast<off_t>(len);
    } else {
        // A last line without a line feed, or a line holding NUL bytes:
        // strlen no longer tells how many bytes fgets took, the stream does.
        off_t pos = ftello(m_fp);
        if (pos < m_pos)
            return false;
        m_pos = pos;
    }
    line.end = m_pos;
    while (len > 0 && (line.text[len - 1] == '\n' || line.text[len - 1] == '\r'))
        line.text[--len] = '\0';
    line.len = len;
    return true;
}

bool ProfileFile::Find(LineTest test, const char* name, bool stopAtHeader, ProfileLine& line)
{
    while (ReadLine(line)) {
        bool header = IsSectionHeader(line.text);
        if (stopAtHeader && header)
            return false;
        switch (test) {
            case LineTest::AnyHeader:
                if (header)
                    return true;
                break;
            case LineTest::SectionHeader:
                if (header && NameMatches(SectionName(line.text, line.len), name))
                    return true;
                break;
            case LineTest::Entry: {
                TextSpan key, value;
                if (SplitEntry(line.text, line.len, key, value) && NameMatches(key, name))
                    return true;
                break;
            }
        }
    }
    return false;
}

bool ProfileFile::Seek(off_t offset)
{
    if (m_imageMode) {
        if (offset < 0)
            return false;
        m_pos = offset;
        return true;
    }
    if (fseeko(m_fp, offset, SEEK_SET) != 0)
        return false;
    m_pos = offset;
    return true;
}

bool ProfileFile::SeekEnd()
{
    if (m_imageMode) {
        m_pos = static_cast<off_t>(m_image.size());
        return true;
    }
    if (fseeko(m_fp, 0, SEEK_END) != 0)
        return false;
    off_t pos = ftello(m_fp);
    if (pos < 0)
        return false;
    m_pos = pos;
    return true;
}

bool ProfileFile::Size(off_t& size)
{
    if (m_imageMode) {
        size = static_cast<off_t>(m_image.size());
        return true;
    }
    struct stat st;
    if (fflush(m_fp) != 0 || fstat(fileno(m_fp), &st) != 0)
        return false;
    size = st.st_size;
    return true;
}

bool ProfileFile::Truncate(off_t size)
{
    if (m_imageMode) {
        if (size < 0)
            return false;
        m_image.resize(static_cast<size_t>(size));
        m_dirty = true;
        return true;
    }
    return fflush(m_fp) == 0 && ftruncate(fileno(m_fp), size) == 0;
}

void ProfileFile::Print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    if (m_imageMode) {
        char text[2 * PROFILE_LINE_SIZE + 8];
        int n = vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::string longer;
        const char* out = text;
        if (n >= static_cast<int>(sizeof text)) {
            // Entries are printed whole, however long the caller made them.
            longer.resize(static_cast<size_t>(n) + 1);
            va_start(args, format);
            vsnprintf(&longer[0], longer.size(), format, args);
            va_end(args);
            out = longer.data();
        }
        if (n <= 0)
            return;
        size_t at = static_cast<size_t>(m_pos);
        if (m_image.size() < at + static_cast<size_t>(n))
            m_image.resize(at + static_cast<size_t>(n));
        memcpy(&m_image[at], out, static_cast<size_t>(n));
        m_pos += n;
        m_dirty = true;
        return;
    }
    int written = vfprintf(m_fp, format, args);
    va_end(args);
    if (written > 0)
        m_pos += written;
}

bool ProfileFile::MoveBlock(off_t source, off_t target, off_t count)
{
    if (count == 0 || source == target)
        return true;
    if (m_imageMode) {
        size_t size = m_image.size();
        if (source < 0 || target < 0 || static_cast<size_t>(source) > size)
            return false;
        bool toEnd = count < 0;
        size_t n = toEnd ? size - static_cast<size_t>(source) : static_cast<size_t>(count);
        if (static_cast<size_t>(source) + n > size)
            return false;
        if (m_image.size() < static_cast<size_t>(target) + n)
            m_image.resize(static_cast<size_t>(target) + n);
        memmove(&m_image[static_cast<size_t>(target)], &m_image[static_cast<size_t>(source)], n);
        if (toEnd && target < source)
            m_image.resize(static_cast<size_t>(target) + n);
        m_dirty = true;
        return true;
    }
    bool toEnd = count < 0;
    if (toEnd) {
        off_t size;
        if (!Size(size))
            return false;
        count = size - source;
        if (count == 0)
            return true;
        if (count < 0)
            return false;
    }
    off_t saved = m_pos;
    size_t bufSize = static_cast<size_t>(std::min<off_t>(count, kMoveChunk));
    std::unique_ptr<char[]> buf(new (std::nothrow) char[bufSize]);
    if (!buf)
        return false;

    // Going up, the last chunk goes first so no byte is overwritten before
    // it has been read; going down, the first chunk goes first.
    bool up = target > source;
    bool ok = true;
    for (off_t done = 0; ok && done < count;) {
        size_t n = static_cast<size_t>(std::min<off_t>(count - done, kMoveChunk));
        off_t offset = up ? count - done - static_cast<off_t>(n) : done;
        ok = fflush(m_fp) == 0 && fseeko(m_fp, source + offset, SEEK_SET) == 0 &&
             fread(buf.get(), 1, n, m_fp) == n && fseeko(m_fp, target + offset, SEEK_SET) == 0 &&
             fwrite(buf.get(), 1, n, m_fp) == n;
        done += static_cast<off_t>(n);
    }
    if (ok && toEnd && !up)
        ok = Truncate(target + count);
    fflush(m_fp);
    if (!Seek(saved))
        ok = false;
    return ok;
}
