// Bounded string buffers: the one place that implements the "cut, never
// grown" rule for the fixed buffers used throughout the system.
//
// Every copy into a caller's buffer goes through these helpers so the
// truncation rule is the same everywhere: at most size - 1 bytes are stored
// and the result is always terminated (when size is at least 1). None of them
// allocates; none of them fails other than by cutting.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/win32_types.h"

// Copies src into dst (size bytes). Returns the number of bytes stored, not
// counting the terminator: strlen(src) when it fits, else size - 1. With size
// 0 nothing is written and 0 is returned. A null src stores the empty string.
size_t BoundedCopy(char* dst, size_t size, const char* src);

// Appends src to the terminated text in dst, storing at most size - 1 bytes
// in all. Returns the resulting length. A dst that is not terminated within
// size bytes is first cut to size - 1.
size_t BoundedAppend(char* dst, size_t size, const char* src);

// printf into dst, cut to size - 1 bytes. Returns the number of bytes
// stored (never the would-be length that vsnprintf reports).
size_t BoundedFormat(char* dst, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
size_t BoundedFormatV(char* dst, size_t size, const char* format, va_list args);

// dir + "/" + name into dst (size bytes). Unlike the helpers above a join is
// never cut: a path that would not fit in size - 1 bytes would name another
// file, so it fails and dst is left as it was. No separator is dropped or
// added beyond the one, whatever dir ends with (a root directory is the
// caller's to pass as "").
bool BoundedJoin(char* dst, size_t size, const char* dir, const char* name);

// A zero-initialised 4096-byte path buffer on the stack.
class PathBuf {
public:
    PathBuf() : m_buf{} {}
    explicit PathBuf(const char* text) : m_buf{} { BoundedCopy(m_buf, sizeof m_buf, text); }
    char* data() { return m_buf; }
    const char* c_str() const { return m_buf; }
    static constexpr size_t size() { return DU_MAX_PATH; }
    bool empty() const { return m_buf[0] == '\0'; }
    void clear() { m_buf[0] = '\0'; }
    PathBuf& assign(const char* text)
    {
        BoundedCopy(m_buf, sizeof m_buf, text);
        return *this;
    }
    PathBuf& append(const char* text)
    {
        BoundedAppend(m_buf, sizeof m_buf, text);
        return *this;
    }

private:
    char m_buf[DU_MAX_PATH];
};
