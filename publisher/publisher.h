// The publishing side of a mirror: a private repository (signing keys,
// settings, the recent sets of each product and content type) that writes
// a public mirror directory in the format of publisher/README.md.
//
// Calling order: Publisher::Init once; then Open (which takes the
// repository's lock for the object's lifetime and reads the mirror's
// current metadata) followed by one operation: Add, Refresh, RotateRoot or
// Prune. Every operation writes targets first, then targets metadata,
// snapshot and timestamp last, each file complete before it gets its
// name, so a client never sees a half-published mirror. Results are
// Status values; nothing throws.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "publisher/canonical_json.h"
#include "publisher/crypto.h"
#include "publisher/defset.h"
#include "publisher/fs_util.h"
#include "publisher/status.h"

namespace publisher {

struct Lifetimes {
    int64_t root = 365 * 86400;
    int64_t targets = 90 * 86400;
    int64_t snapshot = 7 * 86400;
    int64_t timestamp = 86400;
};

struct InitOptions {
    int rootKeys = 1;
    int rootThreshold = 1;
    uint64_t deltas = 5;  // packages come from this many earlier sets
    Lifetimes life;
};

struct RotateOptions {
    int rootKeys = 0;       // 0: as many as the current root has
    int rootThreshold = 0;  // 0: the current threshold
    bool keepRootKeys = false;
    bool newOnlineKeys = false;  // also replace targets, snapshot, timestamp keys
};

// Progress of long work: (what, done, total). May be empty.
using ProgressFn = std::function<void(const char* what, uint64_t done, uint64_t total)>;

struct AddRequest {
    std::string product;
    std::string contentType;  // "" for the default store
    std::string setDir;
};

class Publisher {
public:
    static Status Init(const std::string& repo, const std::string& mirror,
                       const InitOptions& options, int64_t now);
    static Status Open(const std::string& repo, int64_t now, Publisher* out);

    // Lines for the operator (what was published, what was skipped).
    const std::vector<std::string>& Report() const { return m_report; }
    void SetProgress(ProgressFn progress) { m_progress = std::move(progress); }

    Status Add(const AddRequest& request);
    Status Refresh();
    Status RotateRoot(const RotateOptions& options);
    Status Prune(bool dryRun);

private:
    // The operations proper; the public ones turn any exception (a damaged
    // file read back, memory exhaustion) into a Status.
    static Status InitUnguarded(const std::string& repo, const std::string& mirror,
                                const InitOptions& options, int64_t now);
    static Status OpenUnguarded(const std::string& repo, int64_t now, Publisher* out);
    Status AddUnguarded(const AddRequest& request);
    Status RotateRootUnguarded(const RotateOptions& options);
    Status PruneUnguarded(bool dryRun);

    Status LoadMirrorState();
    Status RoleKeys(const json& root, const char* role, std::vector<SigningKey>* keys) const;
    // Writes new targets metadata (when targetsList is given or forced or
    // due), snapshot (when targets changed, forced or due) and timestamp.
    Status PublishChain(const json* targetsList, bool forceTargets, bool forceSnapshot);
    Status RecordRetired(uint64_t snapshotVersion, uint64_t targetsVersion);
    Status PlaceTarget(const std::string& targetPath, const std::string& source,
                       const std::string& sha256);
    Status WriteTarget(const std::string& targetPath, const std::string& bytes, json custom,
                       json* entries);
    Status BuildPackages(const std::string& pairKey, const std::string& pairDir,
                         const SetInfo& newest, const std::string& newestDir, json* entries);
    void Progress(const char* what, uint64_t done, uint64_t total) const;

    std::string m_repo, m_mirror;
    int64_t m_now = 0;
    uint64_t m_deltas = 5;
    Lifetimes m_life;
    std::unique_ptr<FileLock> m_lock;
    json m_root, m_timestamp, m_snapshot, m_targets;  // signed parts
    std::string m_targetsBytes, m_snapshotBytes;
    std::vector<std::string> m_report;
    ProgressFn m_progress;
};

}  // namespace publisher
