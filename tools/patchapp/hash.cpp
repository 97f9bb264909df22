#include "tools/patchapp/hash.h"

#include <cstring>

namespace patchapp {
namespace {

constexpr uint64_t kMulA = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t kMulB = 0xBF58476D1CE4E5B9ULL;
constexpr uint64_t kMulC = 0x94D049BB133111EBULL;
constexpr uint64_t kSeed = 0x6A09E667F3BCC909ULL;

uint64_t Rotl(uint64_t v, int n) { return (v << n) | (v >> (64 - n)); }

// Little-endian load whatever the host, so packages travel between machines.
uint64_t Load64(const unsigned char* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

uint64_t Round(uint64_t lane, uint64_t word) { return Rotl(lane ^ (word * kMulB), 31) * kMulA; }

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

uint64_t Hash64(const void* data, size_t size)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    const unsigned char* end = p + size;
    // Four independent lanes keep the multiplier busy: the hash runs at
    // memory speed, which matters because apply hashes every byte twice.
    uint64_t lane[4] = {kSeed, kSeed ^ kMulA, kSeed ^ kMulB, kSeed ^ kMulC};
    while (end - p >= 32) {
        for (int i = 0; i < 4; ++i)
            lane[i] = Round(lane[i], Load64(p + 8 * i));
        p += 32;
    }
    uint64_t h = Rotl(lane[0], 1) + Rotl(lane[1], 7) + Rotl(lane[2], 12) + Rotl(lane[3], 18);
    h ^= static_cast<uint64_t>(size) * kMulC;
    while (end - p >= 8) {
        h = Round(h, Load64(p));
        p += 8;
    }
    // The tail bytes go in with their count so "ab" and "ab\0" differ.
    uint64_t tail = static_cast<uint64_t>(end - p) << 56;
    for (int shift = 0; p < end; shift += 8)
        tail |= static_cast<uint64_t>(*p++) << shift;
    h = Round(h, tail);
    return Finish(h);
}

}  // namespace patchapp
