// The format's building blocks, and the verifier against mirrors altered as a
// broken or hostile mirror would serve them, or forged with the repository's
// keys: each is refused for its own reason. The update client's tests cover interop.
#include <gtest/gtest.h>

#include "publisher/crypto.h"
#include "tests/publisher/mirror_fixture.h"

namespace pubtest {
namespace {

using namespace publisher;

const char kSetFile[] = "example-defs/_default/set/defs000.dat";

TEST(FormatTest, BuildingBlocks)
{
    json out;
    std::string why;
    for (const char* good : {R"({"a":1,"b":[true,"x"]})", R"({"a":"\"\\/"})"})
        EXPECT_TRUE(ParseCanonical(good, out, &why)) << good << ": " << why;
    for (const char* bad :
         {R"({"b":1,"a":2})", R"({"a": 1})", R"({"a":1,"a":1})", R"({"a":1.5})", R"({"a":-1})",
          R"({"a":1e3})", R"({"a":9007199254740992})", R"({"a":null})", R"({"a":"\u0001"})",
          R"({"a":"\u00e9"})", R"({"a":"\/"})", "{\"a\":1}\n",
          "[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]", R"({"a":)"})
        EXPECT_FALSE(ParseCanonical(bad, out, &why)) << bad;

    auto name = [](const std::string& header) {
        SetDate d;
        return ParseSetHeader(header, &d) ? d.Name() + " " + std::to_string(d.Sequence())
                                          : "refused";
    };
    EXPECT_EQ(name(SetHeader(3, 1, 5, 126)), "20260105.003 260105003");
    EXPECT_EQ(name(SetHeader(999, 12, 31, 200)), "21001231.999 1001231999");
    EXPECT_EQ(name(SetHeader(0, 1, 1, 100)), "20000101.000 101000");
    for (const std::string& bad :
         {SetHeader(1000, 1, 1, 126), SetHeader(1, 13, 1, 126), SetHeader(1, 0, 1, 126),
          SetHeader(1, 1, 32, 126), SetHeader(1, 1, 0, 126), SetHeader(1, 1, 1, 99),
          SetHeader(1, 1, 1, 201), SetHeader(1, 1, 1, 126).substr(0, 10)})
        EXPECT_EQ(name(bad), "refused") << ::testing::PrintToString(bad);

    auto segment = [](bool (*make)(const std::string&, std::string*), const char* text) {
        std::string out;
        return make(text, &out) ? out : "refused";
    };
    EXPECT_EQ(segment(ProductSlug, "Prod1.5 Defs (x86)"), "prod1-5-defs-x86");
    EXPECT_EQ(segment(ProductSlug, "--A--"), "a");
    EXPECT_EQ(segment(ContentSegment, ""), "_default");
    EXPECT_EQ(segment(ContentSegment, "Extra.Type"), "extra.type");
    for (const char* bad : {"...", "", "Two  blanks", " leading", "tab\there", "caf\xc3\xa9"})
        EXPECT_EQ(segment(ProductSlug, bad), "refused") << bad;
    for (const char* bad : {"_x", ".x", "a/b", "a b"})
        EXPECT_EQ(segment(ContentSegment, bad), "refused") << bad;

    EXPECT_TRUE(MatchesCleanup({"*.tmp"}, "junk.tmp"));
    EXPECT_FALSE(MatchesCleanup({"*.TMP"}, "junk.tmp"));
    EXPECT_TRUE(MatchesCleanup({"*.*"}, "noextension"));
    EXPECT_TRUE(MatchesCleanup({"a?c.dat"}, "ac.dat"));
    EXPECT_FALSE(MatchesCleanup({"a?c.dat"}, "abbc.dat"));
    EXPECT_TRUE(MatchesCleanup({"x", "old*"}, "old1.dat"));
    EXPECT_FALSE(MatchesCleanup({}, "anything"));

    int64_t t = 0;
    EXPECT_TRUE(ParseTime("2026-01-05T12:00:00Z", &t) && t == kT0);
    EXPECT_EQ(FormatTime(kT0), "2026-01-05T12:00:00Z");
    for (const char* bad : {"2026-02-30T00:00:00Z", "2026-01-05 12:00:00Z", "2026-01-05T12:00:00",
                            "2026-1-05T12:00:00Z", "2026-01-05T24:00:00Z"})
        EXPECT_FALSE(ParseTime(bad, &t)) << bad;
}

class VerifierTest : public MirrorTest {
public:
    void SetUp() override
    {
        Init(3, 2);
        for (int i : {1, 2}) {
            std::string dir = sandbox.Path("s" + std::to_string(i));
            WriteSetDir(dir, SetFiles{1, 3 + i, 1, DataFiles(3, 4000, i)});
            Add(dir, kT0 + 60 * i);
            if (i == 1)
                firstTimestamp = Part("timestamp"), firstSnapshot = Part("snapshot");
        }
    }
    // The mirror path of the current metadata of a type, or of kSetFile.
    std::string Current(const std::string& type) const
    {
        if (type == "snapshot")
            return SnapshotPath(Signed(kTimestampPath)["meta"]["snapshot.json"]["version"]);
        if (type == "targets")
            return TargetsPath(Signed(Current("snapshot"))["meta"]["targets.json"]["version"]);
        if (type == "set")
            return TargetFilePath(
                kSetFile, Signed(Current("targets"))["targets"][kSetFile]["hashes"]["sha256"]);
        return type == "root" ? RootPath(1) : kTimestampPath;
    }
    json Part(const std::string& type, uint64_t addToVersion = 0) const
    {
        json part = Signed(Current(type));
        part["version"] = part["version"].get<uint64_t>() + addToVersion;
        return part;
    }
    void Edit(const std::string& type, void (*edit)(std::string&)) const
    {
        std::string bytes = ReadTextFile(MirrorFile(Current(type)));
        edit(bytes);
        WriteTextFile(MirrorFile(Current(type)), bytes);
    }
    // Signs `part` with `count` keys of `signer` (default: its own role), writes
    // it as version `at` (default: its own) and re-signs the metadata above it,
    // so that only the change itself can be refused.
    void Forge(const json& part, std::string signer = "", size_t count = 99, uint64_t at = 0) const
    {
        std::string type = part["_type"];
        std::vector<std::string> ids =
            Part("root")["roles"][signer.empty() ? type : signer]["keyids"];
        std::vector<SigningKey> keys(std::min(count, ids.size()));
        std::vector<const SigningKey*> signers;
        for (size_t i = 0; i < keys.size(); ++i) {
            EXPECT_TRUE(SigningKey::LoadPem(repo + "/keys/" + ids[i] + ".pem", &keys[i]).ok());
            signers.push_back(&keys[i]);
        }
        json envelope;
        EXPECT_TRUE(SignEnvelope(part, signers, &envelope));
        std::string bytes = Canonical(envelope);
        uint64_t v = at ? at : part["version"].get<uint64_t>();
        WriteTextFile(MirrorFile(type == "timestamp"
                                     ? std::string(kTimestampPath)
                                     : "metadata/" + std::to_string(v) + "." + type + ".json"),
                      bytes);
        if (type == "snapshot" || type == "targets") {
            json parent = Part(type == "snapshot" ? "timestamp" : "snapshot", type == "snapshot");
            parent["meta"][type + ".json"] = MetaEntry(bytes, v);
            Forge(parent);
        }
    }
    // Forges the current `type`, its version raised by `bump`, `pointer` set.
    void Set(const std::string& type, uint64_t bump, const char* pointer, const json& value) const
    {
        json part = Part(type, bump);
        uint64_t at = part["version"];
        part[json::json_pointer(pointer)] = value;
        Forge(part, "", 99, at);
    }

    json firstTimestamp, firstSnapshot;  // as published with the first set
};

// A rotation by the publisher: new root and online keys, then a new set.
void Rotate(VerifierTest& t)
{
    {
        Publisher pub;
        ASSERT_TRUE(Publisher::Open(t.repo, kT0 + 100, &pub).ok());
        ASSERT_TRUE(pub.RotateRoot(RotateOptions{2, 2, false, true}).ok());  // 2 of 2 root keys
    }
    ASSERT_NE(t.Signed(RootPath(2))["roles"]["timestamp"], t.Part("root")["roles"]["timestamp"]);
    WriteSetDir(t.sandbox.Path("s3"), SetFiles{1, 6, 1, DataFiles(3, 4000, 3)});
    t.Add(t.sandbox.Path("s3"), kT0 + 110);
}

const auto kFlipMiddle = [](std::string& s) { s[s.size() / 2] ^= 1; };
const auto kAppendBlank = [](std::string& s) { s += " "; };

struct Alteration {
    const char* name;
    void (*alter)(VerifierTest& t);
    const char* problem;         // as ProblemName gives it
    bool trustedBefore = false;  // the client updated from the unaltered mirror first
    int64_t at = kT0 + 120;
};

const Alteration kAlterations[] = {
    {"Untouched", [](auto&) {}, "none"},
    {"TimestampChangedAfterSigning",  // expires three years later
     [](auto& t) {
         t.Edit("timestamp", [](std::string& s) { s[s.find("\"expires\":\"") + 14] = '9'; });
     },
     "bad signature"},
    {"TimestampSignedBySnapshotKey", [](auto& t) { t.Forge(t.Part("timestamp"), "snapshot"); },
     "bad signature"},
    {"TimestampNotCanonical",
     [](auto& t) { t.Edit("timestamp", [](std::string& s) { s.insert(1, " "); }); },
     "not canonical"},
    {"TimestampAboveItsCap",
     [](auto& t) {
         t.Edit("timestamp", [](std::string& s) { s += std::string(kTimestampCap, ' '); });
     },
     "too large"},
    {"TimestampExpired", [](auto&) {}, "expired", false, kT0 + 2 * 86400},
    {"SnapshotBytesChanged", [](auto& t) { t.Edit("snapshot", kFlipMiddle); }, "hash mismatch"},
    {"SnapshotLongerThanRecorded", [](auto& t) { t.Edit("snapshot", kAppendBlank); },
     "length mismatch"},
    {"SnapshotOfAnotherVersion", [](auto& t) { t.Set("snapshot", 0, "/version", 99); },
     "mix-and-match"},
    {"SnapshotDropsTargets", [](auto& t) { t.Set("snapshot", 0, "/meta", json::object()); },
     "bad format"},
    {"TargetsAboveItsCap",
     [](auto& t) {
         json targets = t.Part("targets");
         for (int i = 0; i < 40000; ++i)
             targets["targets"][kSetFile + std::to_string(i)] = targets["targets"][kSetFile];
         t.Forge(targets);
     },
     "too large"},
    {"TargetsSignedByTimestampKey", [](auto& t) { t.Forge(t.Part("targets"), "timestamp"); },
     "bad signature"},
    {"TargetsExpired", [](auto& t) { t.Set("targets", 0, "/expires", FormatTime(kT0 + 100)); },
     "expired"},
    {"RootByOneOfThreeKeys", [](auto& t) { t.Forge(t.Part("root", 1), "root", 1); },
     "bad signature"},
    {"RootByTwoOfThreeKeys", [](auto& t) { t.Forge(t.Part("root", 1), "root", 2); }, "none"},
    {"RootNotSignedByItsNewKeys",
     [](auto& t) { t.Set("root", 1, "/roles/root", t.Part("root")["roles"]["targets"]); },
     "bad signature"},
    {"RootSkipsAVersion", [](auto& t) { t.Set("root", 1, "/version", 3); }, "rollback"},
    {"RootExpired", [](auto&) {}, "expired", false, kT0 + 400 * 86400},
    {"RootRotated", Rotate, "none"},
    {"RootRotatedAfterTrust", Rotate, "none", true},
    {"SetFileChanged", [](auto& t) { t.Edit("set", kFlipMiddle); }, "hash mismatch"},
    {"SetFileLonger", [](auto& t) { t.Edit("set", kAppendBlank); }, "length mismatch"},
    {"SetFileMissing", [](auto& t) { unlink(t.MirrorFile(t.Current("set")).c_str()); }, "missing"},
    // Validly signed, but older than what the client trusted before.
    {"OlderTimestamp", [](auto& t) { t.Forge(t.firstTimestamp); }, "rollback", true},
    {"SameTimestampVersionOtherContent",
     [](auto& t) { t.Set("timestamp", 0, "/expires", FormatTime(kT0 + 2000)); }, "rollback", true},
    {"NewTimestampNamingOlderSnapshot",
     [](auto& t) { t.Set("timestamp", 1, "/meta", t.firstTimestamp["meta"]); }, "rollback", true},
    {"NewSnapshotNamingOlderTargets",
     [](auto& t) { t.Set("snapshot", 1, "/meta", t.firstSnapshot["meta"]); }, "rollback", true},
    {"NewSnapshotDroppingTargets", [](auto& t) { t.Set("snapshot", 1, "/meta", json::object()); },
     "rollback", true},
};

class AlteredMirrorTest : public VerifierTest, public ::testing::WithParamInterface<Alteration> {};

TEST_P(AlteredMirrorTest, RefusedForItsOwnReason)
{
    const Alteration& row = GetParam();
    DirectoryFetcher fetcher(mirror);
    TrustClient client(&fetcher, row.at);
    ASSERT_TRUE(client.SetTrustedRoot(RootBytes()).ok());
    if (row.trustedBefore) {
        ASSERT_TRUE(client.Update().ok());
    }
    row.alter(*this);
    Check c = client.Update();
    std::string data;
    if (c.ok())
        c = client.FetchTarget(kSetFile, &data);
    ASSERT_EQ(ProblemName(c.problem), std::string(row.problem)) << c.message;
    EXPECT_TRUE(!c.ok() || client.Targets() == Part("targets")) << "trusts the newest targets";
}

INSTANTIATE_TEST_SUITE_P(Mirror, AlteredMirrorTest, ::testing::ValuesIn(kAlterations),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pubtest
