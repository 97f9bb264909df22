// Internal to the profile engine (platform/profile.cpp): the open profile
// file with its locks, the 254-byte line scanner, and the in-place block
// move the writer uses to delete and insert lines.
//
// Calling order: construct a ProfileFile, call OpenForRead or OpenForWrite
// once, scan and edit, and let the destructor close it; the destructor
// releases the record lock, the stream and the process-wide mutex on every
// way out. Failures come back as false; nothing is thrown or logged.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

// 254 bytes of text and the terminator: a longer line reads as several lines.
constexpr size_t PROFILE_LINE_SIZE = 255;

// One line as read, with trailing CR and LF bytes removed. The text ends at
// the first NUL byte, as a line read with fgets would; `end` still counts
// every byte consumed from the file.
struct ProfileLine {
    char text[PROFILE_LINE_SIZE];
    size_t len;
    off_t start;
    off_t end;
};

// A view of part of a line's text (not terminated).
struct TextSpan {
    const char* ptr;
    size_t len;
};

// What a scan looks for (and, for a stop test, where it gives up).
enum class LineTest {
    AnyHeader,      // any section header
    SectionHeader,  // the header of the named section
    Entry,          // an entry with the named key
};

class ProfileFile {
public:
    ProfileFile() = default;
    ~ProfileFile();
    ProfileFile(const ProfileFile&) = delete;
    ProfileFile& operator=(const ProfileFile&) = delete;

    // Opens an existing regular file with a shared record lock.
    bool OpenForRead(const char* pszPath);
    // Opens the file with an exclusive record lock, creating it (mode 0664)
    // when it does not exist. A file opened for writing is edited as an
    // image in memory; Commit writes the result back.
    bool OpenForWrite(const char* pszPath);
    // Writes an edited image back in one write(2) at offset 0, then cuts
    // the file to its new length. A shorter image is padded to the old
    // length with line feeds for that one write, so a process killed before
    // the cut leaves only empty lines behind, never a fragment of an old
    // line that would parse as an entry. True when nothing needed writing.
    bool Commit();

    // Reads the next line from the current position; false at end of file.
    bool ReadLine(ProfileLine& line);
    // Scans on from the current position for a line passing `test` (with
    // `name` for the named tests). With `stopAtHeader`, a section header
    // ends the search first. On success the stream is left just after the
    // line that was found.
    bool Find(LineTest test, const char* name, bool stopAtHeader, ProfileLine& line);

    bool Seek(off_t offset);
    bool SeekEnd();
    // Current size of the file, after flushing buffered output.
    bool Size(off_t& size);
    bool Truncate(off_t size);
    // Moves `count` bytes from `source` to `target` in place (a negative
    // count means up to the end of the file, which is then shortened when
    // the move goes down). The stream position is kept.
    bool MoveBlock(off_t source, off_t target, off_t count);
    // printf at the current position; failures are not reported.
    void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    bool Begin();
    void Abandon();
    bool LockRecord(short type);
    void Close();

    bool ReadImageLine(ProfileLine& line);

    FILE* m_fp = nullptr;
    off_t m_pos = 0;
    // Write mode: the whole file, edited in memory.
    bool m_imageMode = false;
    bool m_dirty = false;
    std::string m_image;
    size_t m_diskSize = 0;
    bool m_mutexHeld = false;
    bool m_created = false;
    const char* m_path = nullptr;
};

// Line classification, shared by the scanner and the operations.
bool IsSectionHeader(const char* text);
TextSpan SectionName(const char* text, size_t len);
// Splits an entry line; false when the line is a header or holds no '='.
bool SplitEntry(const char* text, size_t len, TextSpan& key, TextSpan& value);
// Case-insensitive comparison of a span with a terminated name.
bool NameMatches(TextSpan span, const char* name);
