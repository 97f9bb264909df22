// Feeds arbitrary bytes to the microdefs package parser and, for whatever
// parses, to the delta decoder over a fixed source. Neither may crash, hang
// or read outside its buffers. The input's trailer is recomputed first, or
// nearly every mutation would stop at the trailer check.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/patchapp/delta.h"
#include "tools/patchapp/hash.h"
#include "tools/patchapp/package_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<unsigned char> bytes(data, data + size);
    if (size >= 8) {
        uint64_t h = patchapp::Hash64(bytes.data(), size - 8);
        for (int i = 0; i < 8; ++i) bytes[size - 8 + i] = static_cast<unsigned char>(h >> (8 * i));
    }
    patchapp::Package package;
    if (patchapp::ParsePackage(bytes.data(), bytes.size(), package) != patchapp::PA_OK)
        return 0;
    static const unsigned char kSource[300] = {1, 2, 3};
    std::vector<patchapp::Piece> pieces;
    for (const patchapp::PackageEntry& e : package.entries)
        if (e.kind == patchapp::EntryKind::kDelta)
            patchapp::DecodeDelta(kSource, sizeof kSource, e.payload, e.payloadSize, e.resultSize,
                                  pieces);
    return 0;
}
