#include "publisher/verifier.h"

#include <set>

#include "publisher/fs_util.h"
#include "publisher/metadata.h"

namespace publisher {

namespace {

Check Bad(Problem problem, std::string message)
{
    return Check{problem, std::move(message)};
}

bool HasExactly(const json& object, std::set<std::string> keys)
{
    if (!object.is_object() || object.size() != keys.size())
        return false;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (keys.count(it.key()) == 0)
            return false;
    }
    return true;
}

bool IsHex(const std::string& text, size_t length)
{
    if (text.size() != length)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// {"hashes":{"sha256":...},"length":...} plus the given extra keys.
bool IsFileInfo(const json& info, std::set<std::string> keys)
{
    keys.insert("hashes");
    keys.insert("length");
    uint64_t length;
    std::string sha;
    const json* hashes = Member(info, "hashes");
    return HasExactly(info, keys) && GetUint(info, "length", &length) && hashes != nullptr &&
           HasExactly(*hashes, {"sha256"}) && GetString(*hashes, "sha256", &sha) && IsHex(sha, 64);
}

// The fields every role has; the role-specific ones are checked by callers.
Check CheckCommon(const json& signedPart, const char* type, std::set<std::string> fields,
                  uint64_t* version, int64_t* expires)
{
    fields.insert("_type");
    fields.insert("expires");
    fields.insert("version");
    std::string actualType, expiresText;
    if (!HasExactly(signedPart, fields) || !GetString(signedPart, "_type", &actualType) ||
        actualType != type || !GetUint(signedPart, "version", version) || *version == 0 ||
        !GetString(signedPart, "expires", &expiresText) || !ParseTime(expiresText, expires))
        return Bad(Problem::kBadFormat, std::string("malformed ") + type + " metadata");
    return Check{};
}

bool IsValidTargetPath(const std::string& path)
{
    if (path.empty() || path.size() > 400 || path.front() == '/' || path.back() == '/')
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

bool RoleKeysEqual(const json& a, const json& b, const char* role)
{
    const json* ra = Member(*Member(a, "roles"), role);
    const json* rb = Member(*Member(b, "roles"), role);
    return ra != nullptr && rb != nullptr && *ra == *rb;
}

}  // namespace

const char* ProblemName(Problem problem)
{
    switch (problem) {
        case Problem::kNone:
            return "none";
        case Problem::kMissing:
            return "missing";
        case Problem::kTooLarge:
            return "too large";
        case Problem::kNotCanonical:
            return "not canonical";
        case Problem::kBadFormat:
            return "bad format";
        case Problem::kBadSignature:
            return "bad signature";
        case Problem::kRollback:
            return "rollback";
        case Problem::kExpired:
            return "expired";
        case Problem::kMixAndMatch:
            return "mix-and-match";
        case Problem::kLengthMismatch:
            return "length mismatch";
        case Problem::kHashMismatch:
            return "hash mismatch";
        case Problem::kIo:
            return "input/output error";
    }
    return "unknown";
}

Fetcher::Result DirectoryFetcher::Fetch(const std::string& path, uint64_t cap, std::string* out)
{
    if (!PathExists(m_root + "/" + path))
        return kNotFound;
    bool tooLarge = false;
    Status st = ReadFileCapped(m_root + "/" + path, cap, out, &tooLarge);
    if (tooLarge)
        return kTooLarge;
    return st.ok() ? kOk : kError;
}

bool IsValidRoot(const json& rootSigned, std::string* why)
{
    auto fail = [why](const std::string& text) {
        *why = text;
        return false;
    };
    const json* keys = Member(rootSigned, "keys");
    const json* roles = Member(rootSigned, "roles");
    const json* consistent = Member(rootSigned, "consistent_snapshot");
    if (keys == nullptr || !keys->is_object() || roles == nullptr ||
        !HasExactly(*roles, {"root", "snapshot", "targets", "timestamp"}) ||
        consistent == nullptr || *consistent != json(true))
        return fail("root lacks keys, roles or consistent snapshots");
    for (auto it = keys->begin(); it != keys->end(); ++it) {
        std::string pub, type, scheme;
        const json* keyval = Member(it.value(), "keyval");
        if (!HasExactly(it.value(), {"keytype", "keyval", "scheme"}) ||
            !GetString(it.value(), "keytype", &type) || type != "ed25519" ||
            !GetString(it.value(), "scheme", &scheme) || scheme != "ed25519" || keyval == nullptr ||
            !HasExactly(*keyval, {"public"}) || !GetString(*keyval, "public", &pub) ||
            !IsHex(pub, 64))
            return fail("root holds a key that is not an Ed25519 key");
        if (KeyId(it.value()) != it.key())
            return fail("root lists a key under a wrong key id");
    }
    for (const char* role : kRoles) {
        const json& r = (*roles)[role];
        const json* keyids = Member(r, "keyids");
        uint64_t threshold;
        if (!HasExactly(r, {"keyids", "threshold"}) || keyids == nullptr || !keyids->is_array() ||
            keyids->empty() || keyids->size() > kMaxKeysPerRole ||
            !GetUint(r, "threshold", &threshold) || threshold == 0 || threshold > keyids->size())
            return fail(std::string("root role ") + role + " has bad key ids or threshold");
        std::set<std::string> seen;
        for (const json& id : *keyids) {
            if (!id.is_string() || Member(*keys, id.get<std::string>().c_str()) == nullptr ||
                !seen.insert(id.get<std::string>()).second)
                return fail(std::string("root role ") + role + " names an unknown or repeated key");
        }
    }
    return true;
}

bool ThresholdMet(const json& envelope, const json& rootSigned, const char* role)
{
    const json* signatures = Member(envelope, "signatures");
    const json* signedPart = Member(envelope, "signed");
    const json* roles = Member(rootSigned, "roles");
    const json* keys = Member(rootSigned, "keys");
    const json* roleInfo = roles != nullptr ? Member(*roles, role) : nullptr;
    uint64_t threshold;
    if (signatures == nullptr || !signatures->is_array() || signedPart == nullptr ||
        roleInfo == nullptr || keys == nullptr || !GetUint(*roleInfo, "threshold", &threshold))
        return false;
    const json* keyids = Member(*roleInfo, "keyids");
    if (keyids == nullptr || !keyids->is_array())
        return false;
    std::set<std::string> allowed;
    for (const json& id : *keyids) {
        if (id.is_string())
            allowed.insert(id.get<std::string>());
    }
    std::string bytes = Canonical(*signedPart);
    std::set<std::string> counted;
    for (const json& sig : *signatures) {
        std::string keyid, value, pub;
        if (!GetString(sig, "keyid", &keyid) || !GetString(sig, "sig", &value) ||
            allowed.count(keyid) == 0 || counted.count(keyid) != 0)
            continue;
        const json* key = Member(*keys, keyid.c_str());
        const json* keyval = key != nullptr ? Member(*key, "keyval") : nullptr;
        if (keyval != nullptr && GetString(*keyval, "public", &pub) &&
            VerifyEd25519(pub, bytes, value))
            counted.insert(keyid);
    }
    return counted.size() >= threshold;
}

Check TrustClient::FetchMetadata(const std::string& path, uint64_t cap, const json* expected,
                                 json* envelope, std::string* bytes)
{
    uint64_t limit = cap, length = 0;
    std::string sha;
    if (expected != nullptr) {
        GetUint(*expected, "length", &length);
        GetString((*expected)["hashes"], "sha256", &sha);
        if (length > cap)
            return Bad(Problem::kTooLarge, path + " is recorded larger than its cap");
        limit = length;
    }
    switch (m_fetcher->Fetch(path, limit, bytes)) {
        case Fetcher::kOk:
            break;
        case Fetcher::kNotFound:
            return Bad(Problem::kMissing, path + " is missing");
        case Fetcher::kTooLarge:
            if (expected != nullptr)
                return Bad(Problem::kLengthMismatch, path + " is longer than recorded");
            return Bad(Problem::kTooLarge,
                       path + " is larger than " + std::to_string(cap) + " bytes");
        case Fetcher::kError:
            return Bad(Problem::kIo, path + " cannot be read");
    }
    if (expected != nullptr) {
        if (bytes->size() != length)
            return Bad(Problem::kLengthMismatch, path + " is not of the recorded length");
        if (Sha256Hex(*bytes) != sha)
            return Bad(Problem::kHashMismatch, path + " does not have the recorded SHA-256");
    }
    std::string why;
    if (!ParseCanonical(*bytes, *envelope, &why))
        return Bad(Problem::kNotCanonical, path + ": " + why);
    const json* signedPart = Member(*envelope, "signed");
    const json* signatures = Member(*envelope, "signatures");
    if (!HasExactly(*envelope, {"signatures", "signed"}) || signedPart == nullptr ||
        !signedPart->is_object() || signatures == nullptr || !signatures->is_array())
        return Bad(Problem::kBadFormat, path + " is not a signed envelope");
    return Check{};
}

Check TrustClient::SetTrustedRoot(const std::string& rootBytes)
{
    json envelope;
    std::string why;
    if (!ParseCanonical(rootBytes, envelope, &why))
        return Bad(Problem::kNotCanonical, "trusted root: " + why);
    const json* signedPart = Member(envelope, "signed");
    uint64_t version;
    int64_t expires;
    if (signedPart == nullptr)
        return Bad(Problem::kBadFormat, "trusted root is not a signed envelope");
    Check c = CheckCommon(*signedPart, "root", {"consistent_snapshot", "keys", "roles"}, &version,
                          &expires);
    if (!c.ok())
        return c;
    if (!IsValidRoot(*signedPart, &why))
        return Bad(Problem::kBadFormat, "trusted root: " + why);
    if (!ThresholdMet(envelope, *signedPart, "root"))
        return Bad(Problem::kBadSignature, "trusted root is not signed by its own root keys");
    m_root = *signedPart;
    m_timestamp = m_snapshot = m_targets = json();
    m_timestampBytes.clear();
    return Check{};
}

Check TrustClient::Update()
{
    if (m_root.is_null())
        return Bad(Problem::kMissing, "no trusted root");
    Check c = UpdateRoot();
    if (c.ok())
        c = UpdateTimestamp();
    if (c.ok())
        c = UpdateSnapshot();
    if (c.ok())
        c = UpdateTargets();
    return c;
}

Check TrustClient::UpdateRoot()
{
    for (int i = 0; i < kMaxRootRotations; ++i) {
        uint64_t version = 0;
        GetUint(m_root, "version", &version);
        std::string path = RootPath(version + 1), bytes;
        json envelope;
        Check c = FetchMetadata(path, kRootCap, nullptr, &envelope, &bytes);
        if (c.problem == Problem::kMissing)
            break;
        if (!c.ok())
            return c;
        const json& next = envelope["signed"];
        uint64_t nextVersion;
        int64_t expires;
        std::string why;
        c = CheckCommon(next, "root", {"consistent_snapshot", "keys", "roles"}, &nextVersion,
                        &expires);
        if (!c.ok())
            return c;
        if (!IsValidRoot(next, &why))
            return Bad(Problem::kBadFormat, path + ": " + why);
        if (!ThresholdMet(envelope, m_root, "root"))
            return Bad(Problem::kBadSignature,
                       path + " lacks a threshold of the previous root keys");
        if (!ThresholdMet(envelope, next, "root"))
            return Bad(Problem::kBadSignature, path + " lacks a threshold of its own root keys");
        if (nextVersion != version + 1)
            return Bad(Problem::kRollback,
                       path + " carries version " + std::to_string(nextVersion));
        // New timestamp or snapshot keys: what was trusted under the old
        // ones may be a compromised key's work, so it is no baseline.
        if (!RoleKeysEqual(m_root, next, "timestamp") || !RoleKeysEqual(m_root, next, "snapshot")) {
            m_timestamp = m_snapshot = json();
            m_timestampBytes.clear();
        }
        m_root = next;
    }
    std::string expiresText;
    int64_t expires = 0;
    GetString(m_root, "expires", &expiresText);
    ParseTime(expiresText, &expires);
    if (expires <= m_now)
        return Bad(Problem::kExpired, "the newest root expired at " + expiresText);
    return Check{};
}

Check TrustClient::UpdateTimestamp()
{
    json envelope;
    std::string bytes;
    Check c = FetchMetadata(kTimestampPath, kTimestampCap, nullptr, &envelope, &bytes);
    if (!c.ok())
        return c;
    const json& ts = envelope["signed"];
    uint64_t version;
    int64_t expires;
    c = CheckCommon(ts, "timestamp", {"meta"}, &version, &expires);
    if (!c.ok())
        return c;
    const json* meta = Member(ts, "meta");
    uint64_t snapVersion;
    if (meta == nullptr || !HasExactly(*meta, {"snapshot.json"}) ||
        !IsFileInfo((*meta)["snapshot.json"], {"version"}) ||
        !GetUint((*meta)["snapshot.json"], "version", &snapVersion) || snapVersion == 0)
        return Bad(Problem::kBadFormat, "timestamp does not describe snapshot.json");
    if (!ThresholdMet(envelope, m_root, "timestamp"))
        return Bad(Problem::kBadSignature, "timestamp lacks a threshold of timestamp keys");
    if (!m_timestamp.is_null()) {
        uint64_t trusted = 0, trustedSnap = 0;
        GetUint(m_timestamp, "version", &trusted);
        GetUint(m_timestamp["meta"]["snapshot.json"], "version", &trustedSnap);
        if (version < trusted)
            return Bad(Problem::kRollback, "timestamp version " + std::to_string(version) +
                                               " is below the trusted " + std::to_string(trusted));
        if (version == trusted && bytes != m_timestampBytes)
            return Bad(Problem::kRollback, "timestamp changed without a new version");
        if (snapVersion < trustedSnap)
            return Bad(Problem::kRollback, "timestamp names an older snapshot");
    }
    if (expires <= m_now)
        return Bad(Problem::kExpired, "timestamp expired");
    m_timestamp = ts;
    m_timestampBytes = bytes;
    return Check{};
}

Check TrustClient::UpdateSnapshot()
{
    const json& info = m_timestamp["meta"]["snapshot.json"];
    uint64_t expected = 0;
    GetUint(info, "version", &expected);
    json envelope;
    std::string bytes;
    Check c = FetchMetadata(SnapshotPath(expected), kSnapshotCap, &info, &envelope, &bytes);
    if (!c.ok())
        return c;
    const json& snap = envelope["signed"];
    uint64_t version;
    int64_t expires;
    c = CheckCommon(snap, "snapshot", {"meta"}, &version, &expires);
    if (!c.ok())
        return c;
    if (!ThresholdMet(envelope, m_root, "snapshot"))
        return Bad(Problem::kBadSignature, "snapshot lacks a threshold of snapshot keys");
    if (version != expected)
        return Bad(Problem::kMixAndMatch, "snapshot version differs from the timestamp's");
    const json* meta = Member(snap, "meta");
    if (meta == nullptr || !meta->is_object() || Member(*meta, "targets.json") == nullptr)
        return Bad(m_snapshot.is_null() ? Problem::kBadFormat : Problem::kRollback,
                   "snapshot does not list targets.json");
    uint64_t targetsVersion;
    if (!HasExactly(*meta, {"targets.json"}) || !IsFileInfo((*meta)["targets.json"], {"version"}) ||
        !GetUint((*meta)["targets.json"], "version", &targetsVersion) || targetsVersion == 0)
        return Bad(Problem::kBadFormat, "snapshot's entry for targets.json is malformed");
    if (!m_snapshot.is_null()) {
        uint64_t trusted = 0;
        GetUint(m_snapshot["meta"]["targets.json"], "version", &trusted);
        if (targetsVersion < trusted)
            return Bad(Problem::kRollback, "snapshot names an older targets.json");
    }
    if (expires <= m_now)
        return Bad(Problem::kExpired, "snapshot expired");
    m_snapshot = snap;
    return Check{};
}

Check TrustClient::UpdateTargets()
{
    const json& info = m_snapshot["meta"]["targets.json"];
    uint64_t expected = 0;
    GetUint(info, "version", &expected);
    json envelope;
    std::string bytes;
    Check c = FetchMetadata(TargetsPath(expected), kTargetsCap, &info, &envelope, &bytes);
    if (!c.ok())
        return c;
    const json& targets = envelope["signed"];
    uint64_t version;
    int64_t expires;
    c = CheckCommon(targets, "targets", {"targets"}, &version, &expires);
    if (!c.ok())
        return c;
    if (!ThresholdMet(envelope, m_root, "targets"))
        return Bad(Problem::kBadSignature, "targets lacks a threshold of targets keys");
    if (version != expected)
        return Bad(Problem::kMixAndMatch, "targets version differs from the snapshot's");
    const json& list = targets["targets"];
    if (!list.is_object())
        return Bad(Problem::kBadFormat, "targets is not an object");
    for (auto it = list.begin(); it != list.end(); ++it) {
        const json* custom = Member(it.value(), "custom");
        bool ok = IsValidTargetPath(it.key()) &&
                  (custom == nullptr ? IsFileInfo(it.value(), {})
                                     : custom->is_object() && IsFileInfo(it.value(), {"custom"}));
        if (!ok)
            return Bad(Problem::kBadFormat, "malformed target entry " + it.key());
    }
    if (expires <= m_now)
        return Bad(Problem::kExpired, "targets expired");
    m_targets = targets;
    return Check{};
}

const json* TrustClient::FindTarget(const std::string& targetPath) const
{
    const json* list = Member(m_targets, "targets");
    return list != nullptr ? Member(*list, targetPath.c_str()) : nullptr;
}

Check TrustClient::FetchTarget(const std::string& targetPath, std::string* data)
{
    const json* entry = FindTarget(targetPath);
    if (entry == nullptr)
        return Bad(Problem::kMissing, targetPath + " is not a target");
    uint64_t length = 0;
    std::string sha;
    GetUint(*entry, "length", &length);
    GetString((*entry)["hashes"], "sha256", &sha);
    std::string path = TargetFilePath(targetPath, sha);
    switch (m_fetcher->Fetch(path, length, data)) {
        case Fetcher::kOk:
            break;
        case Fetcher::kNotFound:
            return Bad(Problem::kMissing, path + " is missing");
        case Fetcher::kTooLarge:
            return Bad(Problem::kLengthMismatch, path + " is longer than recorded");
        case Fetcher::kError:
            return Bad(Problem::kIo, path + " cannot be read");
    }
    if (data->size() != length)
        return Bad(Problem::kLengthMismatch, path + " is shorter than recorded");
    if (Sha256Hex(*data) != sha)
        return Bad(Problem::kHashMismatch, path + " does not have the recorded SHA-256");
    return Check{};
}

}  // namespace publisher
