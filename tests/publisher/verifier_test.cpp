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
    // Writes a new root version signed by the given key ids.
    void WriteRoot(json root, const std::vector<std::string>& signers)
    {
        WriteEnvelope(RootPath(root["version"].get<uint64_t>()), SignWithKeys(root, signers));
    }
    std::vector<std::string> RootKeys() const { return RoleKeyIds(Signed(RootPath(1)), "root"); }

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
             std::string text = ReadTextFile(t->MirrorFile(kTimestampPath));
             WriteTextFile(t->MirrorFile(kTimestampPath), "{ " + text.substr(1));
         },
         Problem::kNotCanonical},
        {"TimestampAboveItsCap",
         [](VerifierTest* t) {
             std::string text = ReadTextFile(t->MirrorFile(kTimestampPath));
             WriteTextFile(t->MirrorFile(kTimestampPath), text + std::string(kTimestampCap, ' '));
         },
         Problem::kTooLarge},
        {"TimestampExpired", [](VerifierTest*) {}, Problem::kExpired, kT0 + 2 * kDay},
        {"SnapshotBytesChanged",
         [](VerifierTest* t) {
             std::string path = t->MirrorFile(SnapshotPath(t->SnapshotVersion()));
             std::string text = ReadTextFile(path);
             text[text.size() / 2] ^= 1;
             WriteTextFile(path, text);
         },
         Problem::kHashMismatch},
        {"SnapshotLongerThanRecorded",
         [](VerifierTest* t) {
             std::string path = t->MirrorFile(SnapshotPath(t->SnapshotVersion()));
             WriteTextFile(path, ReadTextFile(path) + " ");
         },
         Problem::kLengthMismatch},
        {"SnapshotOfAnotherVersion",
         [](VerifierTest* t) {
             uint64_t v = t->SnapshotVersion();
             json snap = t->Signed(SnapshotPath(v));
             snap["version"] = v + 5;
             std::string bytes = Canonical(t->Sign(snap, "snapshot"));
             WriteTextFile(t->MirrorFile(SnapshotPath(v)), bytes);
             t->ResignTimestampFor(bytes, v);
         },
         Problem::kMixAndMatch},
        {"SnapshotDropsTargets",
         [](VerifierTest* t) {
             uint64_t v = t->SnapshotVersion();
             json snap = t->Signed(SnapshotPath(v));
             snap["meta"] = json::object();
             std::string bytes = Canonical(t->Sign(snap, "snapshot"));
             WriteTextFile(t->MirrorFile(SnapshotPath(v)), bytes);
             t->ResignTimestampFor(bytes, v);
         },
         Problem::kBadFormat},
        {"TargetsAboveItsCap",
         [](VerifierTest* t) {
             uint64_t v = t->TargetsVersion();
             json targets = t->Signed(TargetsPath(v));
             json entry = targets["targets"][kSetFile];
             for (int i = 0; i < 40000; ++i)
                 targets["targets"]["example-defs/_default/set/padding" + std::to_string(i)] =
                     entry;
             std::string bytes = Canonical(t->Sign(targets, "targets"));
             ASSERT_GT(bytes.size(), kTargetsCap);
             WriteTextFile(t->MirrorFile(TargetsPath(v)), bytes);
             t->ResignChainForTargets(bytes, v);
         },
         Problem::kTooLarge},
        {"TargetsSignedByTimestampKey",
         [](VerifierTest* t) {
             uint64_t v = t->TargetsVersion();
             std::string bytes = Canonical(t->Sign(t->Signed(TargetsPath(v)), "timestamp"));
             WriteTextFile(t->MirrorFile(TargetsPath(v)), bytes);
             t->ResignChainForTargets(bytes, v);
         },
         Problem::kBadSignature},
        {"TargetsExpired",
         [](VerifierTest* t) {
             uint64_t v = t->TargetsVersion();
             json targets = t->Signed(TargetsPath(v));
             targets["expires"] = FormatTime(kT0 + 100);
             std::string bytes = Canonical(t->Sign(targets, "targets"));
             WriteTextFile(t->MirrorFile(TargetsPath(v)), bytes);
             t->ResignChainForTargets(bytes, v);
         },
         Problem::kExpired},
        {"RootByOneOfThreeKeys",
         [](VerifierTest* t) {
             json root = t->Signed(RootPath(1));
             root["version"] = 2;
             t->WriteRoot(root, {t->RootKeys()[0]});
         },
         Problem::kBadSignature},
        {"RootByTwoOfThreeKeys",
         [](VerifierTest* t) {
             json root = t->Signed(RootPath(1));
             root["version"] = 2;
             t->WriteRoot(root, {t->RootKeys()[1], t->RootKeys()[2]});
         },
         Problem::kNone},
        {"RootNotSignedByItsNewKeys",
         [](VerifierTest* t) {
             json root = t->Signed(RootPath(1));
             root["version"] = 2;
             root["roles"]["root"] = {{"keyids", t->RoleKeyIds(root, "targets")}, {"threshold", 1}};
             t->WriteRoot(root, t->RootKeys());
         },
         Problem::kBadSignature},
        {"RootSkipsAVersion",
         [](VerifierTest* t) {
             json root = t->Signed(RootPath(1));
             root["version"] = 3;
             WriteTextFile(t->MirrorFile(RootPath(2)),
                           Canonical(t->SignWithKeys(root, t->RootKeys())));
         },
         Problem::kRollback},
        {"RootExpired", [](VerifierTest*) {}, Problem::kExpired, kT0 + 400 * kDay},
        {"SetFileChanged",
         [](VerifierTest* t) {
             std::string text = ReadTextFile(t->SetFilePath());
             text[0] ^= 1;
             WriteTextFile(t->SetFilePath(), text);
         },
         Problem::kHashMismatch},
        {"SetFileLonger",
         [](VerifierTest* t) {
             WriteTextFile(t->SetFilePath(), ReadTextFile(t->SetFilePath()) + "x");
         },
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
                                   json snap = t->Signed(SnapshotPath(v - 1));
                                   snap["version"] = v;
                                   snap["meta"]["targets.json"] = t->firstTargets;
                                   std::string bytes = Canonical(t->Sign(snap, "snapshot"));
                                   WriteTextFile(t->MirrorFile(SnapshotPath(v)), bytes);
                                   t->ResignTimestampFor(bytes, v);
                               }},
                      Rollback{"NewSnapshotDroppingTargets",
                               [](VerifierTest* t) {
                                   uint64_t v = t->SnapshotVersion() + 1;
                                   json snap = t->Signed(SnapshotPath(v - 1));
                                   snap["version"] = v;
                                   snap["meta"] = json::object();
                                   std::string bytes = Canonical(t->Sign(snap, "snapshot"));
                                   WriteTextFile(t->MirrorFile(SnapshotPath(v)), bytes);
                                   t->ResignTimestampFor(bytes, v);
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
