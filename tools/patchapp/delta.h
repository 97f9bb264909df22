// Binary deltas between two versions of one file.
//
// EncodeDelta finds the stretches of the new content that occur anywhere in
// the old one (rolling-hash block matching, extended byte by byte in both
// directions) and writes copy and insert instructions; ApplyDelta replays
// them. The instruction layout is described in tools/patchapp/README.md.
// Both work on whole in-memory buffers. ApplyDelta checks every instruction
// against the source and payload bounds and against the expected result size,
// so a damaged delta fails instead of reading or writing out of range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace patchapp {

// Appends the instructions turning oldData into newData to out.
void EncodeDelta(const unsigned char* oldData, size_t oldSize, const unsigned char* newData,
                 size_t newSize, std::vector<unsigned char>& out);

// One stretch of a result: bytes of the source or of the delta itself.
struct Piece {
    const unsigned char* data;
    size_t size;
};

// Replaces pieces with the stretches that make up the result, without
// copying any bytes. Same checks and result as ApplyDelta.
bool DecodeDelta(const unsigned char* source, size_t sourceSize, const unsigned char* delta,
                 size_t deltaSize, uint64_t resultSize, std::vector<Piece>& pieces);

// Replaces out with the result of applying delta to source. Returns false
// (out unspecified) when an instruction is malformed or out of range, or the
// result would not be exactly resultSize bytes.
bool ApplyDelta(const unsigned char* source, size_t sourceSize, const unsigned char* delta,
                size_t deltaSize, uint64_t resultSize, std::vector<unsigned char>& out);

}  // namespace patchapp
