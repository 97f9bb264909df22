// The verifier against a mirror the publisher wrote, then altered the way
// a broken or hostile mirror would serve it: each alteration must be
// refused for its own reason, and the untouched mirror must pass.
#include <gtest/gtest.h>

#include <functional>

#include "publisher/crypto.h"
#include "publisher/fs_util.h"
#include "tests/publisher/mirror_fixture.h"

namespace pubtest {
namespace {

using namespace publisher;

constexpr int64_t kDay = 86400;
const char kSetFile[] = "example-defs/_default/set/defs000.dat";

class VerifierTest : public MirrorTest {
public:
    void SetUp() override
    {
        Init(3, 2);
        WriteSetDir(sandbox.Path("s1"), SetFiles{2026, 1, 4, 1, DataFiles(3, 4000, 1, 2)});
        WriteSetDir(sandbox.Path("s2"), SetFiles{2026, 1, 5, 1, DataFiles(3, 4000, 2, 2)});
        Add(sandbox.Path("s1"), kT0);
        firstTimestamp = ReadTextFile(MirrorFile(kTimestampPath));
        firstSnapshot = Envelope(kTimestampPath)["signed"]["meta"]["snapshot.json"];
        firstTargets =
            Envelope(SnapshotPath(firstSnapshot["version"]))["signed"]["meta"]["targets.json"];
        Add(sandbox.Path("s2"), kT0 + 60);
    }

    json Signed(const std::string& path) const { return Envelope(path)["signed"]; }
    uint64_t SnapshotVersion() const
    {
        return Signed(kTimestampPath)["meta"]["snapshot.json"]["version"].get<uint64_t>();
    }
    uint64_t TargetsVersion() const
    {
        return Signed(SnapshotPath(SnapshotVersion()))["meta"]["targets.json"]["version"]
            .get<uint64_t>();
    }
    std::string SetFilePath() const
    {
        json entry = Signed(TargetsPath(TargetsVersion()))["targets"][kSetFile];
        return MirrorFile(TargetFilePath(kSetFile, entry["hashes"]["sha256"]));
    }
    void EditFile(const std::string& path, const std::function<void(std::string&)>& edit) const
    {
        std::string text = ReadTextFile(path);
        edit(text);
        WriteTextFile(path, text);
    }
    // The current snapshot, edited, signed and written as version `at`, and
    // a timestamp naming it: only the edit itself can be refused.
    void WriteSnapshot(uint64_t at, const std::function<void(json&)>& edit) const
    {
        json snap = Signed(SnapshotPath(SnapshotVersion()));
        edit(snap);
        std::string bytes = Canonical(Sign(snap, "snapshot"));
        WriteTextFile(MirrorFile(SnapshotPath(at)), bytes);
        ResignTimestampFor(bytes, at);
    }
    // The same for the current targets, signed by the keys of `role`.
    size_t WriteTargets(const std::function<void(json&)>& edit, const char* role = "targets") const
    {
        uint64_t v = TargetsVersion();
        json targets = Signed(TargetsPath(v));
        edit(targets);
        std::string bytes = Canonical(Sign(targets, role));
        WriteTextFile(MirrorFile(TargetsPath(v)), bytes);
        ResignChainForTargets(bytes, v);
        return bytes.size();
    }
    // Root version 2, edited, signed by the given root key indexes.
    void WriteRoot2(
        const std::vector<int>& signers,
        const std::function<void(json&)>& edit = [](json&) {}) const
    {
        json root = Signed(RootPath(1));
        root["version"] = 2;
        edit(root);
        std::vector<std::string> keys, all = RoleKeyIds(Signed(RootPath(1)), "root");
        for (int i : signers) keys.push_back(all[i]);
        WriteTextFile(MirrorFile(RootPath(2)), Canonical(SignWithKeys(root, keys)));
    }

    std::string firstTimestamp;
    json firstSnapshot, firstTargets;
};

struct Alteration {
    const char* name;
    std::function<void(VerifierTest*)> alter;
    Problem expected;
    int64_t at = kT0 + 120;
};

class AlteredMirrorTest : public VerifierTest, public ::testing::WithParamInterface<Alteration> {};

TEST_P(AlteredMirrorTest, RefusedForItsOwnReason)
{
    GetParam().alter(this);
    DirectoryFetcher fetcher(mirror);
    TrustClient client(&fetcher, GetParam().at);
    ASSERT_TRUE(client.SetTrustedRoot(RootBytes(1)).ok());
    Check c = client.Update();
    if (c.ok() && GetParam().expected != Problem::kNone) {
        std::string data;
        c = client.FetchTarget(kSetFile, &data);
    }
    EXPECT_EQ(ProblemName(c.problem), std::string(ProblemName(GetParam().expected))) << c.message;
}

void FlipMiddleByte(std::string& s)
{
    s[s.size() / 2] ^= 1;
}

std::vector<Alteration> Alterations()
{
    return {
        {"Untouched", [](VerifierTest*) {}, Problem::kNone},
        {"TimestampSignatureFlipped",
         [](VerifierTest* t) {
             json env = t->Envelope(kTimestampPath);
             std::string sig = env["signatures"][0]["sig"];
             sig[0] = sig[0] == '0' ? '1' : '0';
             env["signatures"][0]["sig"] = sig;
             t->WriteEnvelope(kTimestampPath, env);
         },
         Problem::kBadSignature},
        {"TimestampSignedBySnapshotKey",
         [](VerifierTest* t) {
             t->WriteEnvelope(kTimestampPath, t->Sign(t->Signed(kTimestampPath), "snapshot"));
         },
         Problem::kBadSignature},
        {"TimestampNotCanonical",
         [](VerifierTest* t) {
             t->EditFile(t->MirrorFile(kTimestampPath), [](std::string& s) { s.insert(1, " "); });
         },
         Problem::kNotCanonical},
        {"TimestampAboveItsCap",
         [](VerifierTest* t) {
             t->EditFile(t->MirrorFile(kTimestampPath),
                         [](std::string& s) { s += std::string(kTimestampCap, ' '); });
         },
         Problem::kTooLarge},
        {"TimestampExpired", [](VerifierTest*) {}, Problem::kExpired, kT0 + 2 * kDay},
        {"SnapshotBytesChanged",
         [](VerifierTest* t) {
             t->EditFile(t->MirrorFile(SnapshotPath(t->SnapshotVersion())), FlipMiddleByte);
         },
         Problem::kHashMismatch},
        {"SnapshotLongerThanRecorded",
         [](VerifierTest* t) {
             t->EditFile(t->MirrorFile(SnapshotPath(t->SnapshotVersion())),
                         [](std::string& s) { s += " "; });
         },
         Problem::kLengthMismatch},
        {"SnapshotOfAnotherVersion",
         [](VerifierTest* t) {
             uint64_t v = t->SnapshotVersion();
             t->WriteSnapshot(v, [v](json& s) { s["version"] = v + 5; });
         },
         Problem::kMixAndMatch},
        {"SnapshotDropsTargets",
         [](VerifierTest* t) {
             t->WriteSnapshot(t->SnapshotVersion(), [](json& s) { s["meta"] = json::object(); });
         },
         Problem::kBadFormat},
        {"TargetsAboveItsCap",
         [](VerifierTest* t) {
             size_t size = t->WriteTargets([](json& targets) {
                 json entry = targets["targets"][kSetFile];
                 for (int i = 0; i < 40000; ++i)
                     targets["targets"][std::string(kSetFile) + std::to_string(i)] = entry;
             });
             ASSERT_GT(size, kTargetsCap);
         },
         Problem::kTooLarge},
        {"TargetsSignedByTimestampKey",
         [](VerifierTest* t) { t->WriteTargets([](json&) {}, "timestamp"); },
         Problem::kBadSignature},
        {"TargetsExpired",
         [](VerifierTest* t) {
             t->WriteTargets([](json& targets) { targets["expires"] = FormatTime(kT0 + 100); });
         },
         Problem::kExpired},
        {"RootByOneOfThreeKeys", [](VerifierTest* t) { t->WriteRoot2({0}); },
         Problem::kBadSignature},
        {"RootByTwoOfThreeKeys",
         [](VerifierTest* t) {
             t->WriteRoot2({1, 2});
         },
         Problem::kNone},
        {"RootNotSignedByItsNewKeys",
         [](VerifierTest* t) {
             t->WriteRoot2({0, 1, 2}, [t](json& root) {
                 root["roles"]["root"] = {{"keyids", t->RoleKeyIds(root, "targets")},
                                          {"threshold", 1}};
             });
         },
         Problem::kBadSignature},
        {"RootSkipsAVersion",
         [](VerifierTest* t) {
             t->WriteRoot2({0, 1, 2}, [](json& root) { root["version"] = 3; });
         },
         Problem::kRollback},
        {"RootExpired", [](VerifierTest*) {}, Problem::kExpired, kT0 + 400 * kDay},
        {"SetFileChanged", [](VerifierTest* t) { t->EditFile(t->SetFilePath(), FlipMiddleByte); },
         Problem::kHashMismatch},
        {"SetFileLonger",
         [](VerifierTest* t) { t->EditFile(t->SetFilePath(), [](std::string& s) { s += "x"; }); },
         Problem::kLengthMismatch},
        {"SetFileMissing", [](VerifierTest* t) { unlink(t->SetFilePath().c_str()); },
         Problem::kMissing},
    };
}

INSTANTIATE_TEST_SUITE_P(Mirror, AlteredMirrorTest, ::testing::ValuesIn(Alterations()),
                         [](const auto& info) { return std::string(info.param.name); });

// A client that trusted newer metadata must refuse older metadata later,
// even when every file is validly signed.
struct Rollback {
    const char* name;
    std::function<void(VerifierTest*)> rollBack;
};

class RollbackTest : public VerifierTest, public ::testing::WithParamInterface<Rollback> {};

TEST_P(RollbackTest, RefusedAfterNewerWasTrusted)
{
    DirectoryFetcher fetcher(mirror);
    TrustClient client(&fetcher, kT0 + 120);
    ASSERT_TRUE(client.SetTrustedRoot(RootBytes(1)).ok());
    ASSERT_TRUE(client.Update().ok());
    GetParam().rollBack(this);
    Check c = client.Update();
    EXPECT_EQ(c.problem, Problem::kRollback) << ProblemName(c.problem) << ": " << c.message;
}

INSTANTIATE_TEST_SUITE_P(
    Mirror, RollbackTest,
    ::testing::Values(Rollback{"OlderTimestamp",
                               [](VerifierTest* t) {
                                   WriteTextFile(t->MirrorFile(kTimestampPath), t->firstTimestamp);
                               }},
                      Rollback{"SameTimestampVersionOtherContent",
                               [](VerifierTest* t) {
                                   json ts = t->Signed(kTimestampPath);
                                   ts["expires"] = FormatTime(kT0 + 2000);
                                   t->WriteEnvelope(kTimestampPath, t->Sign(ts, "timestamp"));
                               }},
                      Rollback{"NewTimestampNamingOlderSnapshot",
                               [](VerifierTest* t) {
                                   json ts = t->Signed(kTimestampPath);
                                   ts["meta"]["snapshot.json"] = t->firstSnapshot;
                                   ts["version"] = ts["version"].get<uint64_t>() + 1;
                                   t->WriteEnvelope(kTimestampPath, t->Sign(ts, "timestamp"));
                               }},
                      Rollback{"NewSnapshotNamingOlderTargets",
                               [](VerifierTest* t) {
                                   uint64_t v = t->SnapshotVersion() + 1;
                                   t->WriteSnapshot(v, [t, v](json& s) {
                                       s["version"] = v;
                                       s["meta"]["targets.json"] = t->firstTargets;
                                   });
                               }},
                      Rollback{"NewSnapshotDroppingTargets",
                               [](VerifierTest* t) {
                                   uint64_t v = t->SnapshotVersion() + 1;
                                   t->WriteSnapshot(v, [v](json& s) {
                                       s["version"] = v;
                                       s["meta"] = json::object();
                                   });
                               }}),
    [](const auto& info) { return std::string(info.param.name); });

// A rotation by the publisher: new root and online keys. Clients that start
// from the first root, or that trusted metadata before, follow it.
TEST_F(VerifierTest, ClientsFollowARootRotation)
{
    DirectoryFetcher fetcher(mirror);
    TrustClient before(&fetcher, kT0 + 120);
    ASSERT_TRUE(before.SetTrustedRoot(RootBytes(1)).ok());
    ASSERT_TRUE(before.Update().ok());
    {
        Publisher pub;
        ASSERT_TRUE(Publisher::Open(repo, kT0 + 100, &pub).ok());
        RotateOptions options;
        options.rootKeys = 2;
        options.rootThreshold = 2;
        options.newOnlineKeys = true;
        Status st = pub.RotateRoot(options);
        ASSERT_TRUE(st.ok()) << st.message;
    }
    WriteSetDir(sandbox.Path("s3"), SetFiles{2026, 1, 6, 1, DataFiles(3, 4000, 3, 2)});
    Add(sandbox.Path("s3"), kT0 + 110);
    EXPECT_NE(RoleKeyIds(Signed(RootPath(2)), "timestamp"),
              RoleKeyIds(Signed(RootPath(1)), "timestamp"));

    TrustClient fresh(&fetcher, kT0 + 120);
    ASSERT_TRUE(fresh.SetTrustedRoot(RootBytes(1)).ok());
    for (TrustClient* client : {&before, &fresh}) {
        Check c = client->Update();
        ASSERT_TRUE(c.ok()) << c.message;
        EXPECT_EQ(client->Root()["version"], 2);
        EXPECT_EQ(client->Targets()["targets"]["example-defs/_default/set.json"]["custom"]["set"],
                  "20260106.001");
        std::string data;
        EXPECT_TRUE(client->FetchTarget(kSetFile, &data).ok());
    }
}

}  // namespace
}  // namespace pubtest
