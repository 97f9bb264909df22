#include "platform/profile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bounded.h"
#include "platform/profile_io.h"

namespace {

// Readers cannot tell "absent" from "not a number" otherwise.
const char kIntNotFound[] = "~~~Value#Not$Found~~~";

// Terminates the span inside the line that holds it, so the bounded helpers
// can take it as a C string.
const char* TerminateSpan(ProfileLine& line, TextSpan span)
{
    size_t at = static_cast<size_t>(span.ptr - line.text) + span.len;
    line.text[at] = '\0';
    return span.ptr;
}

// Builds a list of NUL-terminated items closed by one more NUL. When an
// item does not fit, as much of it as leaves room for two NULs is kept and
// the buffer ends with two NULs at its last two bytes.
class ListBuilder {
public:
    ListBuilder(char* buffer, DWORD size) : m_buf(buffer), m_size(size) {}

    // False once the list is full; no later item is taken.
    bool Add(const char* item, size_t len)
    {
        size_t room = m_size - m_used;
        if (len + 2 > room) {
            // room can be 1 here (the previous item filled all but the last
            // byte); the NUL at m_size - 2 is then that item's own.
            if (room > 2)
                memcpy(m_buf + m_used, item, room - 2);
            m_buf[m_size - 2] = '\0';
            m_buf[m_size - 1] = '\0';
            m_full = true;
            return false;
        }
        memcpy(m_buf + m_used, item, len);
        m_buf[m_used + len] = '\0';
        m_used += len + 1;
        return true;
    }

    DWORD Finish()
    {
        if (m_full)
            return m_size - 2;
        m_buf[m_used] = '\0';
        return static_cast<DWORD>(m_used);
    }

    // The empty list a missing file or section gives.
    DWORD Missing()
    {
        m_buf[0] = '\0';
        m_buf[1] = '\0';
        return 0;
    }

private:
    char* m_buf;
    size_t m_size;
    size_t m_used = 0;
    bool m_full = false;
};

DWORD ReadValue(const char* pszSection, const char* pszKey, const char* pszDefault, char* pszBuffer,
                DWORD nSize, const char* pszFile)
{
    {
        ProfileFile file;
        ProfileLine line;
        if (file.OpenForRead(pszFile) &&
            file.Find(LineTest::SectionHeader, pszSection, false, line) &&
            file.Find(LineTest::Entry, pszKey, true, line)) {
            TextSpan key, value;
            SplitEntry(line.text, line.len, key, value);
            return static_cast<DWORD>(BoundedCopy(pszBuffer, nSize, TerminateSpan(line, value)));
        }
    }
    // A null default gives the empty string.
    return static_cast<DWORD>(BoundedCopy(pszBuffer, nSize, pszDefault));
}

bool DeleteSection(ProfileFile& file, const char* pszSection)
{
    ProfileLine line;
    if (!file.Find(LineTest::SectionHeader, pszSection, false, line))
        return true;
    off_t start = line.start;
    if (file.Find(LineTest::AnyHeader, nullptr, false, line))
        return file.MoveBlock(line.start, start, -1);
    return file.Truncate(start);
}

// Every entry of the key in the section goes, not only the first.
bool RemoveEntries(ProfileFile& file, const char* pszSection, const char* pszKey)
{
    ProfileLine line;
    if (!file.Find(LineTest::SectionHeader, pszSection, false, line))
        return true;
    while (file.Find(LineTest::Entry, pszKey, true, line)) {
        off_t size;
        if (!file.Size(size))
            return false;
        if (line.end >= size)
            return file.Truncate(line.start);
        if (!file.MoveBlock(line.end, line.start, -1) || !file.Seek(line.start))
            return false;
    }
    return true;
}

// The new entry becomes the first line of its section, or the section is
// appended. Deliberate compatibility, not an oversight: a missing final line
// feed is never added first, so a header appended to such a file lands on
// its last line, and an entry written after a header that ends the file
// without a line feed lands on the header's line.
bool InsertEntry(ProfileFile& file, const char* pszSection, const char* pszKey,
                 const char* pszValue)
{
    ProfileLine line;
    if (!file.Seek(0))
        return false;
    if (!file.Find(LineTest::SectionHeader, pszSection, false, line)) {
        if (!file.SeekEnd())
            return false;
        file.Print("[%s]\n", pszSection);
        file.Print("%s=%s\n", pszKey, pszValue);
        return true;
    }
    off_t at = line.end;
    off_t size;
    if (!file.Size(size))
        return false;
    if (at < size) {
        off_t gap = static_cast<off_t>(strlen(pszKey) + strlen(pszValue) + 2);
        if (!file.MoveBlock(at, at + gap, -1))
            return false;
    }
    if (!file.Seek(at))
        return false;
    file.Print("%s=%s\n", pszKey, pszValue);
    return true;
}

}  // namespace

DWORD GetPrivateProfileString(const char* pszSection, const char* pszKey, const char* pszDefault,
                              char* pszBuffer, DWORD nSize, const char* pszFile)
{
    if (pszBuffer == nullptr || nSize == 0 || pszFile == nullptr)
        return 0;
    if (pszSection == nullptr)
        return GetPrivateProfileSectionNames(pszBuffer, nSize, pszFile);
    if (pszKey == nullptr)
        return GetPrivateProfileSection(pszSection, pszBuffer, nSize, pszFile);
    return ReadValue(pszSection, pszKey, pszDefault, pszBuffer, nSize, pszFile);
}

DWORD GetPrivateProfileSection(const char* pszSection, char* pszBuffer, DWORD nSize,
                               const char* pszFile)
{
    if (pszSection == nullptr || pszBuffer == nullptr || nSize < 2)
        return 0;
    ListBuilder list(pszBuffer, nSize);
    ProfileFile file;
    ProfileLine line;
    if (!file.OpenForRead(pszFile) || !file.Find(LineTest::SectionHeader, pszSection, false, line))
        return list.Missing();
    while (file.ReadLine(line) && !IsSectionHeader(line.text)) {
        TextSpan key, value;
        if (!SplitEntry(line.text, line.len, key, value)) {
            if (!list.Add(line.text, line.len))
                break;
            continue;
        }
        // Key and value come from one line, so the rebuilt item fits.
        char item[PROFILE_LINE_SIZE + 1];
        size_t len = BoundedFormat(item, sizeof item, "%.*s=%.*s", static_cast<int>(key.len),
                                   key.ptr, static_cast<int>(value.len), value.ptr);
        if (!list.Add(item, len))
            break;
    }
    return list.Finish();
}

DWORD GetPrivateProfileSectionNames(char* pszBuffer, DWORD nSize, const char* pszFile)
{
    if (pszBuffer == nullptr || nSize < 2)
        return 0;
    ListBuilder list(pszBuffer, nSize);
    ProfileFile file;
    if (!file.OpenForRead(pszFile))
        return list.Missing();
    ProfileLine line;
    while (file.Find(LineTest::AnyHeader, nullptr, false, line)) {
        TextSpan name = SectionName(line.text, line.len);
        if (name.len > 0 && !list.Add(name.ptr, name.len))
            break;
    }
    return list.Finish();
}

BOOL WritePrivateProfileString(const char* pszSection, const char* pszKey, const char* pszValue,
                               const char* pszFile)
{
    if (pszFile == nullptr || (pszSection == nullptr && pszKey == nullptr && pszValue == nullptr))
        return FALSE;
    ProfileFile file;
    if (!file.OpenForWrite(pszFile))
        return FALSE;
    bool ok;
    if (pszKey == nullptr)
        ok = pszSection != nullptr && DeleteSection(file, pszSection);
    else if (pszSection == nullptr || !RemoveEntries(file, pszSection, pszKey))
        return FALSE;
    else
        ok = pszValue == nullptr || InsertEntry(file, pszSection, pszKey, pszValue);
    // One write of the whole result: a kill cannot leave half an edit.
    return ok && file.Commit() ? TRUE : FALSE;
}

DWORD GetPrivateProfileInt(const char* pszSection, const char* pszKey, DWORD nDefault,
                           const char* pszFile)
{
    char value[255];
    DWORD len =
        GetPrivateProfileString(pszSection, pszKey, kIntNotFound, value, sizeof value, pszFile);
    if (len == 0 || strcmp(value, kIntNotFound) == 0)
        return nDefault;
    // As "%d" read it, leading blanks and a sign allowed, trailing text
    // ignored, but a number beyond int is no number (sscanf's result was
    // undefined there).
    char* end = nullptr;
    errno = 0;
    long number = strtol(value, &end, 10);
    if (end == value || errno == ERANGE || number > INT_MAX || number < INT_MIN)
        return nDefault;
    return number < 0 ? 0 : static_cast<DWORD>(number);
}
