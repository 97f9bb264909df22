#include "publisher/publisher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "publisher/metadata.h"
#include "publisher/verifier.h"

namespace publisher {

namespace {

constexpr const char* kConfigFile = "/config.json";
constexpr const char* kStateFile = "/state.json";
constexpr const char* kLockFile = "/lock";

std::string KeyPath(const std::string& repo, const std::string& keyid)
{
    return repo + "/keys/" + keyid + ".pem";
}

// Reads one of the publisher's own canonical files.
Status ReadJson(const std::string& path, uint64_t cap, json* out, std::string* bytes = nullptr)
{
    std::string text, why;
    Status st = ReadFileCapped(path, cap, &text);
    if (!st.ok())
        return Fail(Exit::kRepo, st.message);
    if (!ParseCanonical(text, *out, &why))
        return Fail(Exit::kRepo, path + ": " + why);
    if (bytes != nullptr)
        *bytes = std::move(text);
    return Ok();
}

Status NewKey(const std::string& repo, SigningKey* key, std::string* keyid, json* keyObject)
{
    Status st = SigningKey::Generate(key);
    if (!st.ok())
        return st;
    *keyObject = KeyObject(key->PublicHex());
    *keyid = KeyId(*keyObject);
    return key->SavePem(KeyPath(repo, *keyid));
}

std::vector<const SigningKey*> Pointers(const std::vector<SigningKey>& keys)
{
    std::vector<const SigningKey*> out;
    for (const SigningKey& k : keys) out.push_back(&k);
    return out;
}

Status WriteSigned(const std::string& path, const json& signedPart,
                   const std::vector<SigningKey>& keys, uint64_t cap, std::string* bytes)
{
    json envelope;
    if (!SignEnvelope(signedPart, Pointers(keys), &envelope))
        return Fail(Exit::kRepo, "signing failed for " + path);
    *bytes = Canonical(envelope);
    if (bytes->size() > cap)
        return Fail(Exit::kRefused, path + " would be " + std::to_string(bytes->size()) +
                                        " bytes, above its cap of " + std::to_string(cap));
    return WriteFileAtomic(path, *bytes, 0644, true);
}

int64_t Expiry(const json& signedPart)
{
    std::string text;
    int64_t t = 0;
    GetString(signedPart, "expires", &text);
    ParseTime(text, &t);
    return t;
}

uint64_t Version(const json& signedPart)
{
    uint64_t v = 0;
    GetUint(signedPart, "version", &v);
    return v;
}

json RoleEntry(const std::vector<std::string>& keyids, int threshold)
{
    return json{{"keyids", keyids}, {"threshold", static_cast<uint64_t>(threshold)}};
}

}  // namespace

Status Publisher::InitUnguarded(const std::string& repo, const std::string& mirror,
                                const InitOptions& options, int64_t now)
{
    if (options.rootKeys < 1 || options.rootKeys > static_cast<int>(kMaxKeysPerRole) ||
        options.rootThreshold < 1 || options.rootThreshold > options.rootKeys)
        return Fail(Exit::kUsage,
                    "the root threshold must be between 1 and the number of root keys");
    if (PathExists(repo + kConfigFile))
        return Fail(Exit::kRepo, "already a repository: " + repo);
    std::vector<DirEntry> entries;
    if (ListDir(mirror + "/metadata", &entries).ok() && !entries.empty())
        return Fail(Exit::kRepo, "already a mirror: " + mirror);
    for (const std::string& dir : {repo, repo + "/keys", repo + "/sets"}) {
        Status st = MakeDirs(dir, 0700);
        if (!st.ok())
            return st;
    }
    for (const std::string& dir : {mirror + "/metadata", mirror + "/targets"}) {
        Status st = MakeDirs(dir, 0755);
        if (!st.ok())
            return st;
    }

    // Later commands may run from another directory.
    std::unique_ptr<char, decltype(&free)> real(realpath(mirror.c_str(), nullptr), free);
    if (!real)
        return Fail(Exit::kIo, "cannot resolve " + mirror);
    const std::string mirrorPath = real.get();

    json keys = json::object(), roles = json::object();
    std::vector<SigningKey> rootKeys;
    for (const char* role : kRoles) {
        int count = std::string(role) == "root" ? options.rootKeys : 1;
        std::vector<std::string> ids;
        for (int i = 0; i < count; ++i) {
            SigningKey key;
            std::string id;
            json object;
            Status st = NewKey(repo, &key, &id, &object);
            if (!st.ok())
                return st;
            keys[id] = object;
            ids.push_back(id);
            if (std::string(role) == "root")
                rootKeys.push_back(std::move(key));
        }
        roles[role] = RoleEntry(ids, std::string(role) == "root" ? options.rootThreshold : 1);
    }
    json root = {{"_type", "root"},
                 {"consistent_snapshot", true},
                 {"expires", FormatTime(now + options.life.root)},
                 {"keys", keys},
                 {"roles", roles},
                 {"version", uint64_t(1)}};
    std::string bytes;
    Status st = WriteSigned(mirror + "/" + RootPath(1), root, rootKeys, kRootCap, &bytes);
    if (!st.ok())
        return st;

    json config = {{"deltas", options.deltas},
                   {"lifetimes",
                    {{"root", static_cast<uint64_t>(options.life.root)},
                     {"snapshot", static_cast<uint64_t>(options.life.snapshot)},
                     {"targets", static_cast<uint64_t>(options.life.targets)},
                     {"timestamp", static_cast<uint64_t>(options.life.timestamp)}}},
                   {"mirror", mirrorPath}};
    st =
        WriteFileAtomic(repo + kStateFile, Canonical(json{{"retired", json::array()}}), 0600, true);
    if (st.ok())
        st = WriteFileAtomic(repo + kConfigFile, Canonical(config), 0600, true);
    if (!st.ok())
        return st;

    Publisher publisher;
    st = Open(repo, now, &publisher);
    if (st.ok())
        st = publisher.PublishChain(nullptr, true, true);
    return st;
}

Status Publisher::OpenUnguarded(const std::string& repo, int64_t now, Publisher* out)
{
    out->m_repo = repo;
    out->m_now = now;
    json config;
    Status st = ReadJson(repo + kConfigFile, 65536, &config);
    if (!st.ok())
        return Fail(Exit::kRepo, "not a publisher repository (" + st.message + ")");
    const json* life = Member(config, "lifetimes");
    uint64_t root, targets, snapshot, timestamp;
    if (!GetString(config, "mirror", &out->m_mirror) ||
        !GetUint(config, "deltas", &out->m_deltas) || life == nullptr ||
        !GetUint(*life, "root", &root) || !GetUint(*life, "targets", &targets) ||
        !GetUint(*life, "snapshot", &snapshot) || !GetUint(*life, "timestamp", &timestamp))
        return Fail(Exit::kRepo, "damaged repository settings in " + repo + kConfigFile);
    out->m_life = Lifetimes{static_cast<int64_t>(root), static_cast<int64_t>(targets),
                            static_cast<int64_t>(snapshot), static_cast<int64_t>(timestamp)};
    out->m_lock.reset(new FileLock);
    if (!out->m_lock->TryLock(repo + kLockFile))
        return Fail(Exit::kRepo, "another qordefpublish is working on " + repo);
    return out->LoadMirrorState();
}

Status Publisher::LoadMirrorState()
{
    uint64_t version = 1;
    while (PathExists(m_mirror + "/" + RootPath(version + 1))) ++version;
    json envelope;
    Status st = ReadJson(m_mirror + "/" + RootPath(version), kRootCap, &envelope);
    if (!st.ok())
        return st;
    m_root = envelope["signed"];
    std::string why;
    if (!IsValidRoot(m_root, &why))
        return Fail(Exit::kRepo, "damaged " + RootPath(version) + ": " + why);
    if (!PathExists(m_mirror + "/" + kTimestampPath))
        return Ok();  // only during init: nothing signed below the root yet
    st = ReadJson(m_mirror + "/" + kTimestampPath, kTimestampCap, &envelope);
    if (!st.ok())
        return st;
    m_timestamp = envelope["signed"];
    uint64_t snapVersion = 0, targetsVersion = 0;
    GetUint(m_timestamp["meta"]["snapshot.json"], "version", &snapVersion);
    st = ReadJson(m_mirror + "/" + SnapshotPath(snapVersion), kSnapshotCap, &envelope,
                  &m_snapshotBytes);
    if (!st.ok())
        return st;
    m_snapshot = envelope["signed"];
    GetUint(m_snapshot["meta"]["targets.json"], "version", &targetsVersion);
    st = ReadJson(m_mirror + "/" + TargetsPath(targetsVersion), kTargetsCap, &envelope,
                  &m_targetsBytes);
    if (!st.ok())
        return st;
    m_targets = envelope["signed"];
    return Ok();
}

Status Publisher::RoleKeys(const json& root, const char* role, std::vector<SigningKey>* keys) const
{
    keys->clear();
    const json* roles = Member(root, "roles");
    const json* info = roles != nullptr ? Member(*roles, role) : nullptr;
    const json* ids = info != nullptr ? Member(*info, "keyids") : nullptr;
    if (ids == nullptr || !ids->is_array())
        return Fail(Exit::kRepo, std::string("the root has no role ") + role);
    for (const json& id : *ids) {
        std::string path = KeyPath(m_repo, id.get<std::string>());
        if (!PathExists(path))
            continue;
        SigningKey key;
        Status st = SigningKey::LoadPem(path, &key);
        if (!st.ok())
            return st;
        keys->push_back(std::move(key));
    }
    uint64_t threshold = 0;
    GetUint(*info, "threshold", &threshold);
    if (keys->size() < threshold)
        return Fail(Exit::kRepo, std::string("only ") + std::to_string(keys->size()) + " of the " +
                                     std::to_string(threshold) + " " + role +
                                     " keys needed are in " + m_repo + "/keys");
    return Ok();
}

Status Publisher::PublishChain(const json* targetsList, bool forceTargets, bool forceSnapshot)
{
    std::vector<SigningKey> keys;
    bool newTargets = targetsList != nullptr || forceTargets || m_targets.is_null() ||
                      Expiry(m_targets) - m_now < m_life.targets / 2;
    uint64_t oldSnapshot = Version(m_snapshot), oldTargets = Version(m_targets);
    if (newTargets) {
        json list = targetsList != nullptr ? *targetsList
                    : m_targets.is_null()  ? json::object()
                                           : m_targets["targets"];
        json signedPart = {{"_type", "targets"},
                           {"expires", FormatTime(m_now + m_life.targets)},
                           {"targets", list},
                           {"version", oldTargets + 1}};
        Status st = RoleKeys(m_root, "targets", &keys);
        if (st.ok())
            st = WriteSigned(m_mirror + "/" + TargetsPath(oldTargets + 1), signedPart, keys,
                             kTargetsCap, &m_targetsBytes);
        if (!st.ok())
            return st;
        m_targets = signedPart;
    }
    bool newSnapshot = newTargets || forceSnapshot || m_snapshot.is_null() ||
                       Expiry(m_snapshot) - m_now < m_life.snapshot / 2;
    if (newSnapshot) {
        json signedPart = {
            {"_type", "snapshot"},
            {"expires", FormatTime(m_now + m_life.snapshot)},
            {"meta", {{"targets.json", MetaEntry(m_targetsBytes, Version(m_targets))}}},
            {"version", oldSnapshot + 1}};
        Status st = RoleKeys(m_root, "snapshot", &keys);
        if (st.ok())
            st = WriteSigned(m_mirror + "/" + SnapshotPath(oldSnapshot + 1), signedPart, keys,
                             kSnapshotCap, &m_snapshotBytes);
        if (!st.ok())
            return st;
        m_snapshot = signedPart;
    }
    // Recorded before the timestamp moves on: an early record only keeps
    // files longer, a missing one would let prune remove them too soon.
    if (newSnapshot && oldSnapshot != 0) {
        Status st = RecordRetired(oldSnapshot, oldTargets);
        if (!st.ok())
            return st;
    }
    json signedPart = {
        {"_type", "timestamp"},
        {"expires", FormatTime(m_now + m_life.timestamp)},
        {"meta", {{"snapshot.json", MetaEntry(m_snapshotBytes, Version(m_snapshot))}}},
        {"version", Version(m_timestamp) + 1}};
    std::string bytes;
    Status st = RoleKeys(m_root, "timestamp", &keys);
    if (st.ok())
        st = WriteSigned(m_mirror + "/" + kTimestampPath, signedPart, keys, kTimestampCap, &bytes);
    if (!st.ok())
        return st;
    m_timestamp = signedPart;
    m_report.push_back("signed " + std::string(newTargets ? "targets, " : "") +
                       (newSnapshot ? "snapshot, " : "") + "timestamp version " +
                       std::to_string(Version(m_timestamp)) + ", valid until " +
                       FormatTime(m_now + m_life.timestamp));
    return Ok();
}

// Remembers when a snapshot (and the targets it named) stopped being
// current: clients holding an unexpired older timestamp may still fetch
// what it named, so prune keeps it for a timestamp lifetime after this.
Status Publisher::RecordRetired(uint64_t snapshotVersion, uint64_t targetsVersion)
{
    json state;
    Status st = ReadJson(m_repo + kStateFile, 16 * 1024 * 1024, &state);
    if (!st.ok())
        return st;
    state["retired"].push_back({{"at", static_cast<uint64_t>(std::max<int64_t>(m_now, 0))},
                                {"snapshot", snapshotVersion},
                                {"targets", targetsVersion}});
    return WriteFileAtomic(m_repo + kStateFile, Canonical(state), 0600, true);
}

Status Publisher::RotateRootUnguarded(const RotateOptions& options)
{
    std::vector<SigningKey> oldRootKeys;
    Status st = RoleKeys(m_root, "root", &oldRootKeys);
    if (!st.ok())
        return st;
    const json& oldRoles = m_root["roles"];
    int count = options.rootKeys > 0 ? options.rootKeys
                                     : static_cast<int>(oldRoles["root"]["keyids"].size());
    int threshold = options.rootThreshold > 0 ? options.rootThreshold
                                              : oldRoles["root"]["threshold"].get<int>();
    if (options.keepRootKeys)
        count = static_cast<int>(oldRoles["root"]["keyids"].size());
    if (count > static_cast<int>(kMaxKeysPerRole) || threshold < 1 || threshold > count)
        return Fail(Exit::kUsage,
                    "the root threshold must be between 1 and the number of root keys");

    json keys = json::object(), roles = json::object();
    std::vector<SigningKey> newRootKeys;
    for (const char* role : kRoles) {
        bool isRoot = std::string(role) == "root";
        bool replace = isRoot ? !options.keepRootKeys : options.newOnlineKeys;
        std::vector<std::string> ids;
        if (replace) {
            for (int i = 0; i < (isRoot ? count : 1); ++i) {
                SigningKey key;
                std::string id;
                json object;
                st = NewKey(m_repo, &key, &id, &object);
                if (!st.ok())
                    return st;
                keys[id] = object;
                ids.push_back(id);
                if (isRoot)
                    newRootKeys.push_back(std::move(key));
            }
        } else {
            for (const json& id : oldRoles[role]["keyids"]) {
                ids.push_back(id.get<std::string>());
                keys[id.get<std::string>()] = m_root["keys"][id.get<std::string>()];
            }
        }
        roles[role] = RoleEntry(ids, isRoot    ? threshold
                                     : replace ? 1
                                               : oldRoles[role]["threshold"].get<int>());
    }
    if (options.keepRootKeys && static_cast<int>(oldRootKeys.size()) < threshold)
        return Fail(Exit::kRepo, "fewer root keys in the repository than the new threshold");
    uint64_t version = Version(m_root) + 1;
    json root = {{"_type", "root"},
                 {"consistent_snapshot", true},
                 {"expires", FormatTime(m_now + m_life.root)},
                 {"keys", keys},
                 {"roles", roles},
                 {"version", version}};
    for (SigningKey& k : newRootKeys) oldRootKeys.push_back(std::move(k));
    std::string bytes;
    st = WriteSigned(m_mirror + "/" + RootPath(version), root, oldRootKeys, kRootCap, &bytes);
    if (!st.ok())
        return st;
    m_root = root;
    m_report.push_back("published root version " + std::to_string(version) + ", valid until " +
                       FormatTime(m_now + m_life.root));
    // Re-sign the rest so that it carries the current keys.
    return PublishChain(nullptr, true, true);
}

Status Publisher::PruneUnguarded(bool dryRun)
{
    json state;
    Status st = ReadJson(m_repo + kStateFile, 16 * 1024 * 1024, &state);
    if (!st.ok())
        return st;
    std::set<uint64_t> liveSnapshots = {Version(m_snapshot)}, liveTargets = {Version(m_targets)};
    json kept = json::array();
    for (const json& r : state["retired"]) {
        uint64_t at = 0, s = 0, t = 0;
        GetUint(r, "at", &at);
        GetUint(r, "snapshot", &s);
        GetUint(r, "targets", &t);
        if (static_cast<int64_t>(at) + m_life.timestamp > m_now) {
            liveSnapshots.insert(s);
            liveTargets.insert(t);
            kept.push_back(r);
        }
    }

    std::set<std::string> live;
    std::vector<DirEntry> entries;
    st = ListDir(m_mirror + "/metadata", &entries);
    if (!st.ok())
        return st;
    std::vector<std::string> doomed;
    for (const DirEntry& e : entries) {
        unsigned long long v = 0;
        char kind[16] = {};
        if (sscanf(e.name.c_str(), "%llu.%15[a-z].json", &v, kind) != 2)
            continue;
        bool isLive = std::string(kind) == "snapshot"  ? liveSnapshots.count(v) != 0
                      : std::string(kind) == "targets" ? liveTargets.count(v) != 0
                                                       : true;
        if (!isLive)
            doomed.push_back("metadata/" + e.name);
    }
    for (uint64_t v : liveTargets) {
        json envelope;
        if (!ReadJson(m_mirror + "/" + TargetsPath(v), kTargetsCap, &envelope).ok())
            continue;
        json& list = envelope["signed"]["targets"];
        for (auto it = list.begin(); it != list.end(); ++it) {
            std::string sha;
            GetString(it.value()["hashes"], "sha256", &sha);
            live.insert(TargetFilePath(it.key(), sha));
        }
    }
    // Walk targets/ breadth first; relative paths compare with the live set.
    std::vector<std::string> dirs = {"targets"};
    while (!dirs.empty()) {
        std::string dir = dirs.back();
        dirs.pop_back();
        if (!ListDir(m_mirror + "/" + dir, &entries).ok())
            continue;
        for (const DirEntry& e : entries) {
            std::string rel = dir + "/" + e.name;
            if (e.isDirectory)
                dirs.push_back(rel);
            else if (live.count(rel) == 0)
                doomed.push_back(rel);
        }
    }
    for (const std::string& rel : doomed) {
        m_report.push_back((dryRun ? "would remove " : "removed ") + rel);
        if (!dryRun && unlink((m_mirror + "/" + rel).c_str()) != 0)
            return Fail(Exit::kIo, "cannot remove " + m_mirror + "/" + rel);
    }
    if (dryRun)
        return Ok();
    state["retired"] = kept;
    return WriteFileAtomic(m_repo + kStateFile, Canonical(state), 0600, true);
}

namespace {

template <class F>
Status Guarded(F&& operation)
{
    try {
        return operation();
    } catch (const std::exception& e) {
        return Fail(Exit::kRepo, std::string("damaged repository or mirror metadata: ") + e.what());
    }
}

}  // namespace

Status Publisher::Init(const std::string& repo, const std::string& mirror,
                       const InitOptions& options, int64_t now)
{
    return Guarded([&] { return InitUnguarded(repo, mirror, options, now); });
}

Status Publisher::Open(const std::string& repo, int64_t now, Publisher* out)
{
    return Guarded([&] { return OpenUnguarded(repo, now, out); });
}

Status Publisher::Add(const AddRequest& request)
{
    return Guarded([&] { return AddUnguarded(request); });
}

Status Publisher::Refresh()
{
    return Guarded([&] { return PublishChain(nullptr, false, false); });
}

Status Publisher::RotateRoot(const RotateOptions& options)
{
    return Guarded([&] { return RotateRootUnguarded(options); });
}

Status Publisher::Prune(bool dryRun)
{
    return Guarded([&] { return PruneUnguarded(dryRun); });
}

}  // namespace publisher
