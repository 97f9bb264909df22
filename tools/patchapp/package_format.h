// The microdefs package: an in-memory model and its byte layout (described
// in tools/patchapp/README.md).
//
// A package lists every file of the set it produces and every file of the
// set it expects, each with size and hash, so applying it can prove both the
// source and the result. Writers fill a Package and call SerializePackage;
// readers call ParsePackage on the whole file's bytes, which checks the
// trailer hash and every field's range before anything else looks at it.
// A parsed package's payloads point into the caller's buffer, which must
// outlive it. Errors come back as a PaResult; nothing throws except
// std::bad_alloc from the containers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace patchapp {

enum PaResult {
    PA_OK = 0,
    PA_E_NO_PACKAGE,       // PatchDir holds no package
    PA_E_MANY_PACKAGES,    // PatchDir holds more than one package
    PA_E_BAD_PACKAGE,      // not a package, corrupted or truncated
    PA_E_SOURCE_MISMATCH,  // the source set is not the one the package expects
    PA_E_RESULT_MISMATCH,  // a produced file does not hash to the recorded value
    PA_E_IO,               // reading, writing or renaming failed
    PA_E_BAD_ARGUMENT,     // a null, empty or over-long directory
    PA_E_CANCELLED,        // the notification object asked to stop
    PA_E_INTERNAL,         // out of memory or another unexpected condition
};

const char* PaResultName(PaResult result);

// File name extension of packages in a patch directory.
constexpr const char* kPackageExtension = ".mdp";

// No single file of a set may exceed this; it bounds what a hostile package
// can make apply allocate.
constexpr uint64_t kMaxFileSize = uint64_t(1) << 30;

// The package flag: apply also brings SrcDir itself to the new set.
constexpr uint32_t kFlagUpdatesSource = 1;

enum class EntryKind : uint8_t {
    kUnchanged = 1,  // result = source
    kDelta = 2,      // result = delta instructions over the source
    kWhole = 3,      // result = payload (added file, or cheaper than a delta)
    kRemoved = 4,    // the source file has no successor
};

struct PackageEntry {
    EntryKind kind = EntryKind::kUnchanged;
    bool hasSource = false;  // a source file of this name is expected
    std::string name;
    uint64_t sourceSize = 0;
    uint64_t sourceHash = 0;
    uint64_t resultSize = 0;
    uint64_t resultHash = 0;
    const unsigned char* payload = nullptr;
    size_t payloadSize = 0;

    bool HasResult() const { return kind != EntryKind::kRemoved; }
};

struct Package {
    uint32_t flags = 0;
    std::vector<PackageEntry> entries;  // in strictly increasing name order
};

// A name a package may carry: 1 to 255 bytes, no '/', no NUL, not "." or
// "..". Anything else could escape the set's directory.
bool IsValidSetFileName(const std::string& name);

// Appends the encoded package to out. The entries must be valid and sorted;
// the function does not check.
void SerializePackage(const Package& package, std::vector<unsigned char>& out);

// Parses a whole package file. On failure returns PA_E_BAD_PACKAGE and leaves
// out in an unspecified state.
PaResult ParsePackage(const unsigned char* data, size_t size, Package& out);

}  // namespace patchapp
