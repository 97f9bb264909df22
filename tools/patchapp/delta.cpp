#include "tools/patchapp/delta.h"

#include <algorithm>
#include <cstring>

namespace patchapp {
namespace {

constexpr uint64_t kOpCopy = 0;
constexpr uint64_t kOpInsert = 1;
// A repetitive old file (all zeros, say) puts every block in one chain;
// looking at a few candidates keeps encoding linear.
constexpr int kMaxChainSteps = 8;

void PutVarint(std::vector<unsigned char>& out, uint64_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<unsigned char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<unsigned char>(v));
}

bool GetVarint(const unsigned char*& p, const unsigned char* end, uint64_t& v)
{
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (p == end)
            return false;
        unsigned char byte = *p++;
        if (shift == 63 && byte > 1)
            return false;
        v |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0)
            return true;
    }
    return false;
}

uint64_t ZigZag(int64_t v)
{
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
int64_t UnZigZag(uint64_t v)
{
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

size_t BlockSizeFor(size_t oldSize)
{
    size_t block = 32;
    while (block < 2048 && block * block < oldSize) block *= 2;
    return block;
}

// rsync's weak checksum: two running sums that slide by one byte in O(1).
struct Rolling {
    uint32_t a = 0;
    uint32_t b = 0;
    void Init(const unsigned char* p, size_t n)
    {
        a = b = 0;
        for (size_t i = 0; i < n; ++i) {
            a += p[i];
            b += static_cast<uint32_t>(n - i) * p[i];
        }
    }
    void Roll(unsigned char out, unsigned char in, size_t n)
    {
        a += static_cast<uint32_t>(in) - out;
        b += a - static_cast<uint32_t>(n) * out;
    }
    uint32_t Key() const { return (a & 0xFFFF) | (b << 16); }
};

class BlockIndex {
public:
    BlockIndex(const unsigned char* data, size_t size, size_t block)
    {
        size_t count = size / block;
        size_t buckets = 16;
        while (buckets < 2 * count) buckets *= 2;
        m_shift = 64;
        for (size_t b = buckets; b > 1; b >>= 1) --m_shift;
        m_head.assign(buckets, -1);
        m_next.assign(count, -1);
        // Inserted back to front so each chain starts with the earliest block.
        for (size_t i = count; i-- > 0;) {
            Rolling r;
            r.Init(data + i * block, block);
            size_t slot = Slot(r.Key());
            m_next[i] = m_head[slot];
            m_head[slot] = static_cast<int64_t>(i);
        }
    }
    int64_t First(uint32_t key) const { return m_head[Slot(key)]; }
    int64_t Next(int64_t block) const { return m_next[static_cast<size_t>(block)]; }

private:
    size_t Slot(uint32_t key) const
    {
        return m_shift >= 64 ? 0 : static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> m_shift);
    }
    int m_shift;
    std::vector<int64_t> m_head;
    std::vector<int64_t> m_next;
};

class Emitter {
public:
    explicit Emitter(std::vector<unsigned char>& out) : m_out(out) {}
    void Insert(const unsigned char* p, size_t n)
    {
        if (n == 0)
            return;
        PutVarint(m_out, (static_cast<uint64_t>(n) << 1) | kOpInsert);
        m_out.insert(m_out.end(), p, p + n);
    }
    void Copy(size_t offset, size_t n)
    {
        PutVarint(m_out, (static_cast<uint64_t>(n) << 1) | kOpCopy);
        // Relative to where the last copy ended: runs of the old file that
        // stay in order cost one byte of offset.
        PutVarint(m_out, ZigZag(static_cast<int64_t>(offset) - static_cast<int64_t>(m_expected)));
        m_expected = offset + n;
    }

private:
    std::vector<unsigned char>& m_out;
    size_t m_expected = 0;
};

}  // namespace

void EncodeDelta(const unsigned char* oldData, size_t oldSize, const unsigned char* newData,
                 size_t newSize, std::vector<unsigned char>& out)
{
    Emitter emit(out);
    size_t block = BlockSizeFor(oldSize);
    if (oldSize < block || newSize < block) {
        emit.Insert(newData, newSize);
        return;
    }
    BlockIndex index(oldData, oldSize, block);
    size_t literal = 0;  // start of the bytes not yet emitted
    size_t pos = 0;
    Rolling roll;
    roll.Init(newData, block);
    while (pos + block <= newSize) {
        int64_t match = -1;
        int steps = 0;
        for (int64_t c = index.First(roll.Key()); c >= 0 && steps < kMaxChainSteps;
             c = index.Next(c), ++steps) {
            if (memcmp(oldData + static_cast<size_t>(c) * block, newData + pos, block) == 0) {
                match = c;
                break;
            }
        }
        if (match < 0) {
            if (pos + block < newSize)
                roll.Roll(newData[pos], newData[pos + block], block);
            ++pos;
            continue;
        }
        size_t src = static_cast<size_t>(match) * block;
        size_t back = 0;
        while (pos - back > literal && src - back > 0 &&
               oldData[src - back - 1] == newData[pos - back - 1])
            ++back;
        size_t len = block;
        while (pos + len < newSize && src + len < oldSize &&
               newData[pos + len] == oldData[src + len])
            ++len;
        emit.Insert(newData + literal, pos - back - literal);
        emit.Copy(src - back, back + len);
        pos += len;
        literal = pos;
        if (pos + block <= newSize)
            roll.Init(newData + pos, block);
    }
    emit.Insert(newData + literal, newSize - literal);
}

bool DecodeDelta(const unsigned char* source, size_t sourceSize, const unsigned char* delta,
                 size_t deltaSize, uint64_t resultSize, std::vector<Piece>& pieces)
{
    pieces.clear();
    const unsigned char* p = delta;
    const unsigned char* end = delta + deltaSize;
    // Each instruction is checked against the room left in the result, so
    // a forged delta cannot describe more than resultSize bytes.
    uint64_t produced = 0;
    uint64_t expected = 0;
    while (p < end) {
        uint64_t head = 0;
        if (!GetVarint(p, end, head))
            return false;
        uint64_t n = head >> 1;
        if (n == 0 || n > resultSize - produced)
            return false;
        produced += n;
        if ((head & 1) == kOpInsert) {
            if (n > static_cast<uint64_t>(end - p))
                return false;
            pieces.push_back(Piece{p, static_cast<size_t>(n)});
            p += n;
            continue;
        }
        uint64_t zz = 0;
        if (!GetVarint(p, end, zz))
            return false;
        int64_t rel = UnZigZag(zz);
        uint64_t offset = expected + static_cast<uint64_t>(rel);
        // A negative step may not reach before the start of the source.
        if ((rel < 0 && static_cast<uint64_t>(-(rel + 1)) >= expected) || offset > sourceSize ||
            n > sourceSize - offset)
            return false;
        pieces.push_back(Piece{source + offset, static_cast<size_t>(n)});
        expected = offset + n;
    }
    return produced == resultSize;
}

bool ApplyDelta(const unsigned char* source, size_t sourceSize, const unsigned char* delta,
                size_t deltaSize, uint64_t resultSize, std::vector<unsigned char>& out)
{
    out.clear();
    std::vector<Piece> pieces;
    if (!DecodeDelta(source, sourceSize, delta, deltaSize, resultSize, pieces))
        return false;
    out.reserve(static_cast<size_t>(resultSize));
    for (const Piece& piece : pieces) out.insert(out.end(), piece.data, piece.data + piece.size);
    return true;
}

}  // namespace patchapp
