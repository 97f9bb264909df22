#include "tools/patchapp/hash.h"

#include <algorithm>
#include <cstring>

namespace patchapp {
namespace {

constexpr uint64_t kMulA = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t kMulB = 0xBF58476D1CE4E5B9ULL;
constexpr uint64_t kMulC = 0x94D049BB133111EBULL;
constexpr uint64_t kSeed = 0x6A09E667F3BCC909ULL;

uint64_t Rotl(uint64_t v, int n)
{
    return (v << n) | (v >> (64 - n));
}

// Little-endian load whatever the host, so packages travel between
// machines; on little-endian hosts this is a single load.
uint64_t Load64(const unsigned char* p)
{
    uint64_t v;
    memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

uint64_t Round(uint64_t lane, uint64_t word)
{
    return Rotl(lane ^ (word * kMulB), 31) * kMulA;
}

// One 64x64->128 multiply folded to 64 bits takes in 16 bytes: a quarter of
// the multiplies of word-by-word rounds, and multiplies bound the speed.
// Both operands depend on the lane, so no data value can erase its history.
uint64_t WideRound(uint64_t lane, const unsigned char* p)
{
    unsigned __int128 m = static_cast<unsigned __int128>(Load64(p) ^ lane ^ kMulA) *
                          (Load64(p + 8) ^ Rotl(lane, 32) ^ kMulB);
    return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
}

uint64_t Finish(uint64_t x)
{
    x ^= x >> 30;
    x *= kMulB;
    x ^= x >> 27;
    x *= kMulC;
    x ^= x >> 31;
    return x;
}

}  // namespace

Hasher::Hasher() : m_lane{kSeed, kSeed ^ kMulA, kSeed ^ kMulB, kSeed ^ kMulC}, m_pending{} {}

void Hasher::Update(const void* data, size_t size)
{
    // An empty vector's data() may be null, which memcpy may not see.
    if (size == 0)
        return;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_total += size;
    if (m_pendingSize > 0) {
        size_t take = std::min(size, sizeof m_pending - m_pendingSize);
        memcpy(m_pending + m_pendingSize, p, take);
        m_pendingSize += take;
        p += take;
        size -= take;
        if (m_pendingSize < sizeof m_pending)
            return;
        for (int i = 0; i < 4; ++i) m_lane[i] = WideRound(m_lane[i], m_pending + 16 * i);
        m_pendingSize = 0;
    }
    // Four independent lanes keep the multiplier busy: the hash runs at
    // memory speed, which matters because apply hashes every byte twice.
    while (size >= sizeof m_pending) {
        for (int i = 0; i < 4; ++i) m_lane[i] = WideRound(m_lane[i], p + 16 * i);
        p += sizeof m_pending;
        size -= sizeof m_pending;
    }
    memcpy(m_pending, p, size);
    m_pendingSize = size;
}

uint64_t Hasher::Final() const
{
    const unsigned char* p = m_pending;
    const unsigned char* end = m_pending + m_pendingSize;
    uint64_t h =
        Rotl(m_lane[0], 1) + Rotl(m_lane[1], 7) + Rotl(m_lane[2], 12) + Rotl(m_lane[3], 18);
    h ^= m_total * kMulC;
    while (end - p >= 8) {
        h = Round(h, Load64(p));
        p += 8;
    }
    // The tail bytes go in with their count so "ab" and "ab\0" differ.
    uint64_t tail = static_cast<uint64_t>(end - p) << 56;
    for (int shift = 0; p < end; shift += 8) tail |= static_cast<uint64_t>(*p++) << shift;
    return Finish(Round(h, tail));
}

uint64_t Hash64(const void* data, size_t size)
{
    Hasher hasher;
    hasher.Update(data, size);
    return hasher.Final();
}

}  // namespace patchapp
