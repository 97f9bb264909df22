#include "publisher/canonical_json.h"

#include <vector>

namespace publisher {

namespace {

bool IsPrintableAscii(const std::string& s)
{
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

// Checked before parsing: the parser itself copes with deep nesting, but
// printing and comparing a value recurse, so depth must be bounded first.
bool DepthWithin(const std::string& bytes, int limit)
{
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : bytes) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit)
                return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

bool CheckValue(const json& value, int depth, std::string* why)
{
    auto fail = [why](const char* text) {
        if (why != nullptr)
            *why = text;
        return false;
    };
    if (depth > kMaxJsonDepth)
        return fail("nested too deeply");
    switch (value.type()) {
        case json::value_t::object:
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (!IsPrintableAscii(it.key()))
                    return fail("a key holds a character outside printable ASCII");
                if (!CheckValue(it.value(), depth + 1, why))
                    return false;
            }
            return true;
        case json::value_t::array:
            for (const json& item : value) {
                if (!CheckValue(item, depth + 1, why))
                    return false;
            }
            return true;
        case json::value_t::string:
            if (!IsPrintableAscii(value.get_ref<const std::string&>()))
                return fail("a string holds a character outside printable ASCII");
            return true;
        case json::value_t::boolean:
            return true;
        case json::value_t::number_unsigned:
            if (value.get<uint64_t>() > kMaxJsonInteger)
                return fail("an integer is larger than 2^53 - 1");
            return true;
        case json::value_t::number_integer:
            if (value.get<int64_t>() < 0)
                return fail("a negative number");
            return true;
        case json::value_t::null:
            return fail("null is not allowed");
        default:
            return fail("only integers are allowed as numbers");
    }
}

}  // namespace

bool IsRestrictedJson(const json& value, std::string* why)
{
    return CheckValue(value, 0, why);
}

std::string Canonical(const json& value)
{
    return value.dump();
}

bool ParseCanonical(const std::string& bytes, json& out, std::string* why)
{
    if (!DepthWithin(bytes, kMaxJsonDepth)) {
        if (why != nullptr)
            *why = "nested too deeply";
        return false;
    }
    json parsed = json::parse(bytes, nullptr, false);
    if (parsed.is_discarded()) {
        if (why != nullptr)
            *why = "not valid JSON";
        return false;
    }
    if (!IsRestrictedJson(parsed, why))
        return false;
    if (Canonical(parsed) != bytes) {
        if (why != nullptr)
            *why = "not in canonical form";
        return false;
    }
    out = std::move(parsed);
    return true;
}

}  // namespace publisher
