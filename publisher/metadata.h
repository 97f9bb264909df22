// The signed metadata of a mirror: key objects and key ids, times, the
// {"signatures","signed"} envelope, where each file lives, and the size
// caps. Both the publisher and the verifier build on this file, so the two
// cannot disagree on a name or a limit. Described in publisher/README.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publisher/canonical_json.h"
#include "publisher/crypto.h"

namespace publisher {

constexpr uint64_t kRootCap = 512 * 1024;
constexpr uint64_t kTimestampCap = 16 * 1024;
constexpr uint64_t kSnapshotCap = 2 * 1024 * 1024;
constexpr uint64_t kTargetsCap = 5 * 1024 * 1024;
constexpr int kMaxRootRotations = 256;
constexpr size_t kMaxKeysPerRole = 32;

// The four roles in the order their keys appear in a root.
extern const char* const kRoles[4];

json KeyObject(const std::string& publicHex);
std::string KeyId(const json& keyObject);

// UTC "YYYY-MM-DDTHH:MM:SSZ".
std::string FormatTime(int64_t seconds);
bool ParseTime(const std::string& text, int64_t* seconds);

// The envelope of a signed object, signed by every key given.
bool SignEnvelope(const json& signedPart, const std::vector<const SigningKey*>& keys, json* out);

// Relative paths inside a mirror.
std::string RootPath(uint64_t version);
std::string SnapshotPath(uint64_t version);
std::string TargetsPath(uint64_t version);
extern const char* const kTimestampPath;
// Where a target path's file lies: targets/<dir>/<sha256>.<base>.
std::string TargetFilePath(const std::string& targetPath, const std::string& sha256Hex);

// Safe accessors: nlohmann's own throw on a missing key or a wrong type.
const json* Member(const json& object, const char* key);
bool GetString(const json& object, const char* key, std::string* out);
bool GetUint(const json& object, const char* key, uint64_t* out);

// {"hashes":{"sha256":...},"length":...,"version":...} of a metadata file.
json MetaEntry(const std::string& bytes, uint64_t version);

}  // namespace publisher
