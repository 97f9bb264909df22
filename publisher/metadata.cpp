#include "publisher/metadata.h"

#include <cstdio>
#include <ctime>

namespace publisher {

const char* const kRoles[4] = {"root", "snapshot", "targets", "timestamp"};
const char* const kTimestampPath = "metadata/timestamp.json";

json KeyObject(const std::string& publicHex)
{
    return json{{"keytype", "ed25519"}, {"keyval", {{"public", publicHex}}}, {"scheme", "ed25519"}};
}

std::string KeyId(const json& keyObject)
{
    return Sha256Hex(Canonical(keyObject));
}

std::string FormatTime(int64_t seconds)
{
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    char text[32];
    if (gmtime_r(&t, &tm) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) != 20)
        return "";
    return text;
}

bool ParseTime(const std::string& text, int64_t* seconds)
{
    if (text.size() != 20)
        return false;
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    for (size_t i = 0; i < 20; ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i])
            return false;
    }
    struct tm tm = {};
    tm.tm_year = std::stoi(text.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(text.substr(5, 2)) - 1;
    tm.tm_mday = std::stoi(text.substr(8, 2));
    tm.tm_hour = std::stoi(text.substr(11, 2));
    tm.tm_min = std::stoi(text.substr(14, 2));
    tm.tm_sec = std::stoi(text.substr(17, 2));
    time_t t = timegm(&tm);
    // timegm normalises out-of-range fields; a date that does not round-trip
    // (February 30th) is not a date.
    if (FormatTime(t) != text)
        return false;
    *seconds = t;
    return true;
}

bool SignEnvelope(const json& signedPart, const std::vector<const SigningKey*>& keys, json* out)
{
    std::string bytes = Canonical(signedPart);
    json signatures = json::array();
    for (const SigningKey* key : keys) {
        std::string sig = key->SignHex(bytes);
        std::string pub = key->PublicHex();
        if (sig.empty() || pub.empty())
            return false;
        signatures.push_back({{"keyid", KeyId(KeyObject(pub))}, {"sig", sig}});
    }
    *out = json{{"signatures", signatures}, {"signed", signedPart}};
    return true;
}

std::string RootPath(uint64_t version)
{
    return "metadata/" + std::to_string(version) + ".root.json";
}

std::string SnapshotPath(uint64_t version)
{
    return "metadata/" + std::to_string(version) + ".snapshot.json";
}

std::string TargetsPath(uint64_t version)
{
    return "metadata/" + std::to_string(version) + ".targets.json";
}

std::string TargetFilePath(const std::string& targetPath, const std::string& sha256Hex)
{
    size_t slash = targetPath.rfind('/');
    if (slash == std::string::npos)
        return "targets/" + sha256Hex + "." + targetPath;
    return "targets/" + targetPath.substr(0, slash + 1) + sha256Hex + "." +
           targetPath.substr(slash + 1);
}

const json* Member(const json& object, const char* key)
{
    if (!object.is_object())
        return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

bool GetString(const json& object, const char* key, std::string* out)
{
    const json* value = Member(object, key);
    if (value == nullptr || !value->is_string())
        return false;
    *out = value->get<std::string>();
    return true;
}

bool GetUint(const json& object, const char* key, uint64_t* out)
{
    const json* value = Member(object, key);
    if (value == nullptr || !value->is_number_integer() ||
        (!value->is_number_unsigned() && value->get<int64_t>() < 0))
        return false;
    *out = value->get<uint64_t>();
    return true;
}

json MetaEntry(const std::string& bytes, uint64_t version)
{
    return json{{"hashes", {{"sha256", Sha256Hex(bytes)}}},
                {"length", static_cast<uint64_t>(bytes.size())},
                {"version", version}};
}

}  // namespace publisher
