// The 64-bit content hash of microdefs packages: one function over a byte
// range, used for the source and result of every file and for the package
// trailer.
//
// It guards against corruption and mismatched sets, not against an
// adversary. The value is part of the package format: changing the function
// makes every existing package unreadable. It never fails and allocates
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace patchapp {

uint64_t Hash64(const void* data, size_t size);

// The same hash over data that arrives in pieces: Update any number of
// times, then Final once. Hash64(p, n) equals Update(p, n) then Final().
class Hasher {
public:
    Hasher();
    void Update(const void* data, size_t size);
    uint64_t Final() const;

private:
    uint64_t m_lane[4];
    unsigned char m_pending[64];  // one stripe: 16 bytes for each lane
    size_t m_pendingSize = 0;
    uint64_t m_total = 0;
};

}  // namespace patchapp
