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

}  // namespace patchapp
