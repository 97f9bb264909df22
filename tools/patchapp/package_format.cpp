#include "tools/patchapp/package_format.h"

#include <cstring>

#include "tools/patchapp/hash.h"

namespace patchapp {
namespace {

constexpr unsigned char kMagic[8] = {'Q', 'D', 'U', 'M', 'D', 'P', 'K', 'G'};
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 24;
constexpr size_t kTrailerSize = 8;
// kind, flags, name length, then five 64-bit fields; the name and payload
// follow.
constexpr size_t kEntryFixedSize = 1 + 1 + 2 + 5 * 8;
constexpr size_t kMaxNameLength = 255;
constexpr uint8_t kEntryHasSource = 1;

void Put16(std::vector<unsigned char>& out, uint16_t v)
{
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

void Put32(std::vector<unsigned char>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void Put64(std::vector<unsigned char>& out, uint64_t v)
{
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

uint64_t Get(const unsigned char* p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// A cursor that refuses to step past the end instead of trusting lengths
// read from the file.
class Reader {
public:
    Reader(const unsigned char* data, size_t size) : m_p(data), m_left(size) {}
    bool Take(size_t n, const unsigned char** out)
    {
        if (n > m_left)
            return false;
        *out = m_p;
        m_p += n;
        m_left -= n;
        return true;
    }
    size_t Left() const { return m_left; }

private:
    const unsigned char* m_p;
    size_t m_left;
};

bool EntryIsConsistent(const PackageEntry& e)
{
    if (e.sourceSize > kMaxFileSize || e.resultSize > kMaxFileSize)
        return false;
    switch (e.kind) {
        case EntryKind::kUnchanged:
            return e.hasSource && e.payloadSize == 0 && e.sourceSize == e.resultSize &&
                   e.sourceHash == e.resultHash;
        case EntryKind::kDelta:
            return e.hasSource && e.payloadSize > 0;
        case EntryKind::kWhole:
            return e.payloadSize == e.resultSize &&
                   (e.hasSource || (e.sourceSize == 0 && e.sourceHash == 0));
        case EntryKind::kRemoved:
            return e.hasSource && e.payloadSize == 0 && e.resultSize == 0 && e.resultHash == 0;
    }
    return false;
}

bool ParseEntry(Reader& in, PackageEntry& e)
{
    const unsigned char* fixed = nullptr;
    if (!in.Take(4, &fixed))
        return false;
    uint8_t kind = fixed[0];
    uint8_t flags = fixed[1];
    size_t nameLength = Get(fixed + 2, 2);
    if (kind < 1 || kind > 4 || (flags & ~kEntryHasSource) != 0)
        return false;
    e.kind = static_cast<EntryKind>(kind);
    e.hasSource = (flags & kEntryHasSource) != 0;
    const unsigned char* name = nullptr;
    if (!in.Take(nameLength, &name))
        return false;
    e.name.assign(reinterpret_cast<const char*>(name), nameLength);
    if (!IsValidSetFileName(e.name))
        return false;
    const unsigned char* fields = nullptr;
    if (!in.Take(5 * 8, &fields))
        return false;
    e.sourceSize = Get(fields, 8);
    e.sourceHash = Get(fields + 8, 8);
    e.resultSize = Get(fields + 16, 8);
    e.resultHash = Get(fields + 24, 8);
    uint64_t payloadSize = Get(fields + 32, 8);
    if (payloadSize > in.Left())
        return false;
    e.payloadSize = static_cast<size_t>(payloadSize);
    if (!in.Take(e.payloadSize, &e.payload))
        return false;
    return EntryIsConsistent(e);
}

}  // namespace

const char* PaResultName(PaResult result)
{
    switch (result) {
        case PA_OK:
            return "PA_OK";
        case PA_E_NO_PACKAGE:
            return "PA_E_NO_PACKAGE";
        case PA_E_MANY_PACKAGES:
            return "PA_E_MANY_PACKAGES";
        case PA_E_BAD_PACKAGE:
            return "PA_E_BAD_PACKAGE";
        case PA_E_SOURCE_MISMATCH:
            return "PA_E_SOURCE_MISMATCH";
        case PA_E_RESULT_MISMATCH:
            return "PA_E_RESULT_MISMATCH";
        case PA_E_IO:
            return "PA_E_IO";
        case PA_E_BAD_ARGUMENT:
            return "PA_E_BAD_ARGUMENT";
        case PA_E_CANCELLED:
            return "PA_E_CANCELLED";
        case PA_E_INTERNAL:
            return "PA_E_INTERNAL";
    }
    return "PA_E_UNKNOWN";
}

bool IsValidSetFileName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..")
        return false;
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

void SerializePackage(const Package& package, std::vector<unsigned char>& out)
{
    size_t start = out.size();
    out.insert(out.end(), kMagic, kMagic + sizeof kMagic);
    Put32(out, kFormatVersion);
    Put32(out, package.flags);
    Put32(out, static_cast<uint32_t>(package.entries.size()));
    Put32(out, 0);
    for (const PackageEntry& e : package.entries) {
        out.push_back(static_cast<unsigned char>(e.kind));
        out.push_back(e.hasSource ? kEntryHasSource : 0);
        Put16(out, static_cast<uint16_t>(e.name.size()));
        out.insert(out.end(), e.name.begin(), e.name.end());
        Put64(out, e.sourceSize);
        Put64(out, e.sourceHash);
        Put64(out, e.resultSize);
        Put64(out, e.resultHash);
        Put64(out, e.payloadSize);
        if (e.payloadSize > 0)
            out.insert(out.end(), e.payload, e.payload + e.payloadSize);
    }
    Put64(out, Hash64(out.data() + start, out.size() - start));
}

PaResult ParsePackage(const unsigned char* data, size_t size, Package& out)
{
    out = Package();
    if (data == nullptr || size < kHeaderSize + kTrailerSize)
        return PA_E_BAD_PACKAGE;
    // The trailer first: a flipped bit or a cut anywhere fails here, before
    // any length in the file is believed.
    size_t body = size - kTrailerSize;
    if (Get(data + body, 8) != Hash64(data, body))
        return PA_E_BAD_PACKAGE;
    if (memcmp(data, kMagic, sizeof kMagic) != 0 || Get(data + 8, 4) != kFormatVersion)
        return PA_E_BAD_PACKAGE;
    uint32_t flags = static_cast<uint32_t>(Get(data + 12, 4));
    uint64_t count = Get(data + 16, 4);
    if ((flags & ~kFlagUpdatesSource) != 0 || Get(data + 20, 4) != 0)
        return PA_E_BAD_PACKAGE;
    Reader in(data + kHeaderSize, body - kHeaderSize);
    if (count > in.Left() / kEntryFixedSize)
        return PA_E_BAD_PACKAGE;
    out.flags = flags;
    out.entries.resize(static_cast<size_t>(count));
    for (size_t i = 0; i < out.entries.size(); ++i) {
        if (!ParseEntry(in, out.entries[i]))
            return PA_E_BAD_PACKAGE;
        // Strict order rules out duplicates, which would write one file twice.
        if (i > 0 && !(out.entries[i - 1].name < out.entries[i].name))
            return PA_E_BAD_PACKAGE;
    }
    return in.Left() == 0 ? PA_OK : PA_E_BAD_PACKAGE;
}

}  // namespace patchapp
