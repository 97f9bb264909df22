// The client side of the mirror's trust model, used by `verify` and by the
// tests: it walks a mirror exactly as an update client must (root
// rotation, timestamp, snapshot, targets, then target files) and says
// precisely why it refuses something.
//
// Calling order: construct with a fetcher and the reference time, give it
// the trusted root (SetTrustedRoot), then Update(); after a successful
// Update, look targets up and FetchTarget them. Update may be called again
// later on the same object: what it trusted before is the baseline for the
// rollback checks. The object owns copies of all trusted metadata; the
// fetcher is borrowed. Nothing throws.
#pragma once

#include <cstdint>
#include <string>

#include "publisher/canonical_json.h"

namespace publisher {

enum class Problem {
    kNone,
    kMissing,         // a file the metadata needs is not on the mirror
    kTooLarge,        // metadata larger than its cap
    kNotCanonical,    // not the canonical form of restricted JSON
    kBadFormat,       // fields missing, of the wrong type or unknown
    kBadSignature,    // fewer valid signatures than the threshold
    kRollback,        // a version lower than one trusted before
    kExpired,         // expired at the reference time
    kMixAndMatch,     // a version other than the one the parent names
    kLengthMismatch,  // more or fewer bytes than recorded
    kHashMismatch,    // bytes other than recorded
    kIo,              // the fetcher failed for another reason
};

const char* ProblemName(Problem problem);

struct Check {
    Problem problem = Problem::kNone;
    std::string message;

    bool ok() const { return problem == Problem::kNone; }
};

// Where the verifier gets bytes from: a relative mirror path, read at most
// cap bytes (one more tells "longer than cap").
class Fetcher {
public:
    enum Result { kOk, kNotFound, kTooLarge, kError };
    virtual ~Fetcher() = default;
    virtual Result Fetch(const std::string& path, uint64_t cap, std::string* out) = 0;
};

// A mirror in a local directory.
class DirectoryFetcher : public Fetcher {
public:
    explicit DirectoryFetcher(std::string root) : m_root(std::move(root)) {}
    Result Fetch(const std::string& path, uint64_t cap, std::string* out) override;

private:
    std::string m_root;
};

// Verifies an envelope's signatures against one role of a root's signed
// part: true when at least threshold distinct listed keys signed it.
bool ThresholdMet(const json& envelope, const json& rootSigned, const char* role);

// Structure of a root's signed part (keys, roles, thresholds, key ids).
bool IsValidRoot(const json& rootSigned, std::string* why);

class TrustClient {
public:
    TrustClient(Fetcher* fetcher, int64_t now) : m_fetcher(fetcher), m_now(now) {}

    // A root trusted out of band; it must be canonical, well formed and
    // signed by a threshold of its own root keys. Its expiry is checked by
    // Update, after any newer roots.
    Check SetTrustedRoot(const std::string& rootBytes);
    Check Update();

    const json& Root() const { return m_root; }
    const json& Timestamp() const { return m_timestamp; }
    const json& Snapshot() const { return m_snapshot; }
    const json& Targets() const { return m_targets; }

    // The targets entry of a path, or null.
    const json* FindTarget(const std::string& targetPath) const;
    // Fetches a target, reading at most its recorded length, and checks
    // length and SHA-256.
    Check FetchTarget(const std::string& targetPath, std::string* data);

private:
    Check UpdateRoot();
    Check UpdateTimestamp();
    Check UpdateSnapshot();
    Check UpdateTargets();
    Check FetchMetadata(const std::string& path, uint64_t cap, const json* expected, json* envelope,
                        std::string* bytes);

    Fetcher* m_fetcher;
    int64_t m_now;
    json m_root, m_timestamp, m_snapshot, m_targets;  // signed parts
    std::string m_timestampBytes;
};

}  // namespace publisher
