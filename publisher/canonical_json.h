// The restricted canonical JSON that every metadata file is written in:
// objects, arrays, printable-ASCII strings, true/false and integers from 0
// to 2^53 - 1; keys sorted by bytes, no whitespace, only `"` and `\`
// escaped. Because nothing else is allowed, nlohmann's compact output of a
// valid value is exactly the canonical form.
//
// Parsing never throws: ParseCanonical reports bad input through its
// result. A file is accepted only when it is byte for byte the canonical
// form of what it parses to, which also rules out duplicate keys, so every
// reader sees the same value the signer signed.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace publisher {

using json = nlohmann::json;

// Deepest nesting accepted; metadata needs five levels.
constexpr int kMaxJsonDepth = 16;
constexpr uint64_t kMaxJsonInteger = (uint64_t(1) << 53) - 1;

// True when value uses only what canonical form allows; *why says what not.
bool IsRestrictedJson(const json& value, std::string* why);

// The canonical bytes of a value that IsRestrictedJson accepts.
std::string Canonical(const json& value);

// Parses bytes that must be the canonical form of a restricted value.
bool ParseCanonical(const std::string& bytes, json& out, std::string* why);

}  // namespace publisher
