// The format's building blocks, checked against independent
// implementations where one exists on the machine: OpenSSL's command line
// and libsodium (Debian's python3-nacl, hence /usr/bin/python3) for
// Ed25519, Python's json module for the canonical form, hashlib for the set
// digest.
#include <gtest/gtest.h>

#include <cstdio>

#include "publisher/canonical_json.h"
#include "publisher/crypto.h"
#include "publisher/defset.h"
#include "publisher/metadata.h"
#include "tests/support/sandbox.h"

namespace pubtest {
namespace {

using namespace publisher;

// Runs a shell command; returns its exit status and standard output.
int Shell(const std::string& command, std::string* out = nullptr)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        if (out != nullptr)
            out->append(buffer, got);
    }
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A value with every character class the canonical form must get right.
const char kSample[] =
    R"({"b":[1,true,false,{"z":"","a":"quote \" backslash \\ slash / tilde ~"}],"a":9007199254740991})";

class InteropTest : public SandboxTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SigningKey::Generate(&key).ok());
        json value = json::parse(kSample);
        ASSERT_TRUE(IsRestrictedJson(value, nullptr));
        message = Canonical(value);
        WriteTextFile(sandbox.Path("msg"), message);
    }
    SigningKey key;
    std::string message;
};

TEST_F(InteropTest, CanonicalFormMatchesPythonSortedCompactJson)
{
    std::string out;
    ASSERT_EQ(
        Shell(
            "/usr/bin/python3 -c 'import json,sys; sys.stdout.write(json.dumps(json.loads(open(\"" +
                sandbox.Path("msg") + "\").read()), sort_keys=True, separators=(\",\",\":\")))'",
            &out),
        0);
    EXPECT_EQ(out, message);
}

TEST_F(InteropTest, SignatureVerifiesWithLibsodium)
{
    std::string sig = key.SignHex(message);
    std::string script = "import nacl.signing; nacl.signing.VerifyKey(bytes.fromhex('" +
                         key.PublicHex() + "')).verify(open('" + sandbox.Path("msg") +
                         "','rb').read(), bytes.fromhex('" + sig + "'))";
    EXPECT_EQ(Shell("/usr/bin/python3 -c \"" + script + "\" 2>&1"), 0);
    sig[5] = sig[5] == 'a' ? 'b' : 'a';
    script = "import nacl.signing; nacl.signing.VerifyKey(bytes.fromhex('" + key.PublicHex() +
             "')).verify(open('" + sandbox.Path("msg") + "','rb').read(), bytes.fromhex('" + sig +
             "'))";
    EXPECT_NE(Shell("/usr/bin/python3 -c \"" + script + "\" 2>/dev/null"), 0)
        << "the check can fail";
}

TEST_F(InteropTest, OpenSslCommandLineAgreesBothWays)
{
    // Our signature, OpenSSL's verification.
    std::string sig = key.SignHex(message);
    unsigned char raw[64];
    ASSERT_TRUE(FromHex(sig, raw, sizeof raw));
    WriteTextFile(sandbox.Path("sig"), std::string(reinterpret_cast<char*>(raw), sizeof raw));
    ASSERT_TRUE(key.SavePem(sandbox.Path("key.pem")).ok());
    std::string dir = sandbox.Root();
    ASSERT_EQ(Shell("cd " + dir + " && openssl pkey -in key.pem -pubout -out pub.pem 2>&1"), 0);
    EXPECT_EQ(Shell("cd " + dir +
                    " && openssl pkeyutl -verify -pubin -inkey pub.pem -rawin -in msg -sigfile sig"
                    " >/dev/null 2>&1"),
              0);
    // OpenSSL's signature, our verification.
    ASSERT_EQ(
        Shell("cd " + dir + " && openssl pkeyutl -sign -inkey key.pem -rawin -in msg -out sig2"),
        0);
    std::string theirs = ReadTextFile(sandbox.Path("sig2"));
    ASSERT_EQ(theirs.size(), 64u);
    std::string hex = ToHex(reinterpret_cast<const unsigned char*>(theirs.data()), 64);
    EXPECT_TRUE(VerifyEd25519(key.PublicHex(), message, hex));
    EXPECT_FALSE(VerifyEd25519(key.PublicHex(), message + " ", hex));
}

TEST_F(InteropTest, SetDigestMatchesHashlib)
{
    std::vector<FileRecord> files = {{"virscan1.dat", 36, std::string(64, 'a')},
                                     {"catalog.dat", 120, std::string(64, 'b')},
                                     {"a.dat", 0, Sha256Hex("", 0)}};
    std::string out;
    ASSERT_EQ(Shell("/usr/bin/python3 -c \"import hashlib; l=sorted([('virscan1.dat',36,'a'*64),"
                    "('catalog.dat',120,'b'*64),('a.dat',0,hashlib.sha256(b'').hexdigest())]); "
                    "print(hashlib.sha256(''.join('%s %d %s\\n' % x for x in l).encode())"
                    ".hexdigest(), end='')\"",
                    &out),
              0);
    EXPECT_EQ(SetDigest(files), out);
    EXPECT_EQ(SetDigest({}), Sha256Hex("", 0));
}

// Accepted exactly when the bytes are the canonical form of restricted JSON.
TEST(CanonicalJsonTest, AcceptsOnlyCanonicalRestrictedJson)
{
    struct Row {
        const char* bytes;
        bool accepted;
    } rows[] = {
        {R"({"a":1,"b":[true,"x"]})", true},
        {R"({"a":"\"\\/"})", true},
        {R"({"b":1,"a":2})", false},           // keys out of order
        {R"({"a": 1})", false},                // whitespace
        {R"({"a":1,"a":1})", false},           // duplicate key
        {R"({"a":1.5})", false},               // fraction
        {R"({"a":-1})", false},                // negative
        {R"({"a":1e3})", false},               // exponent
        {R"({"a":9007199254740992})", false},  // above 2^53 - 1
        {R"({"a":null})", false},
        {R"({"a":"\u0001"})", false},  // control character
        {R"({"a":"\u00e9"})", false},  // outside ASCII
        {R"({"a":"\/"})", false},      // needless escape
        {R"({"a":1})"
         "\n",
         false},                                              // trailing newline
        {"[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]", false},  // too deep
        {R"({"a":)", false},
    };
    for (const Row& row : rows) {
        json out;
        std::string why;
        EXPECT_EQ(ParseCanonical(row.bytes, out, &why), row.accepted) << row.bytes << ": " << why;
    }
}

TEST(SetNamingTest, HeaderDateNameAndSequence)
{
    auto header = [](int rev, int month, int day, int yearByte) {
        std::string h(32, 'Z');
        for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(rev >> (8 * i));
        h[8] = static_cast<char>(month);
        h[9] = static_cast<char>(day);
        h[10] = static_cast<char>(yearByte);
        return h;
    };
    struct Row {
        std::string header;
        const char* name;  // nullptr: refused
        uint64_t sequence;
    } rows[] = {
        {header(3, 1, 5, 126), "20260105.003", 260105003},
        {header(999, 12, 31, 200), "21001231.999", 1001231999},
        {header(0, 1, 1, 100), "20000101.000", 101000},
        {header(1000, 1, 1, 126), nullptr, 0},
        {header(1, 13, 1, 126), nullptr, 0},
        {header(1, 0, 1, 126), nullptr, 0},
        {header(1, 1, 32, 126), nullptr, 0},
        {header(1, 1, 0, 126), nullptr, 0},
        {header(1, 1, 1, 99), nullptr, 0},
        {header(1, 1, 1, 201), nullptr, 0},
        {header(1, 1, 1, 126).substr(0, 10), nullptr, 0},
    };
    for (const Row& row : rows) {
        SetDate date;
        bool ok = ParseSetHeader(row.header, &date);
        ASSERT_EQ(ok, row.name != nullptr) << (row.name ? row.name : "refused");
        if (ok) {
            EXPECT_EQ(date.Name(), row.name);
            EXPECT_EQ(date.Sequence(), row.sequence);
        }
    }
}

TEST(SetNamingTest, PathSegments)
{
    struct Row {
        const char* product;
        const char* slug;  // nullptr: refused
    } products[] = {
        {"Example Defs Linux", "example-defs-linux"},
        {"Prod1.5 Defs (x86)", "prod1-5-defs-x86"},
        {"--A--", "a"},
        {"...", nullptr},
        {"", nullptr},
        {"Two  blanks", nullptr},
        {" leading", nullptr},
        {"tab\there", nullptr},
        {"caf\xc3\xa9", nullptr},
    };
    for (const Row& row : products) {
        std::string slug;
        ASSERT_EQ(ProductSlug(row.product, &slug), row.slug != nullptr) << row.product;
        if (row.slug != nullptr) {
            EXPECT_EQ(slug, row.slug);
        }
    }
    Row types[] = {
        {"", "_default"}, {"Extra.Type", "extra.type"},
        {"_x", nullptr},  {".x", nullptr},
        {"a/b", nullptr}, {"a b", nullptr},
    };
    for (const Row& row : types) {
        std::string segment;
        ASSERT_EQ(ContentSegment(row.product, &segment), row.slug != nullptr) << row.product;
        if (row.slug != nullptr) {
            EXPECT_EQ(segment, row.slug);
        }
    }
}

TEST(SetNamingTest, CleanupPatternsMatchAsTheStoreDeletes)
{
    struct Row {
        std::vector<std::string> patterns;
        const char* name;
        bool matches;
    } rows[] = {
        {{"*.tmp"}, "junk.tmp", true},    {{"*.TMP"}, "junk.tmp", false},
        {{"*.*"}, "noextension", true},   {{"a?c.dat"}, "ac.dat", true},
        {{"a?c.dat"}, "abbc.dat", false}, {{"x", "old*"}, "old1.dat", true},
        {{}, "anything", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(MatchesCleanup(row.patterns, row.name), row.matches) << row.name;
}

TEST(MetadataTest, TimesRoundTripAndRejectImpossibleDates)
{
    int64_t t = 0;
    EXPECT_TRUE(ParseTime("2026-01-05T12:00:00Z", &t));
    EXPECT_EQ(t, 1767614400);
    EXPECT_EQ(FormatTime(t), "2026-01-05T12:00:00Z");
    for (const char* bad : {"2026-02-30T00:00:00Z", "2026-01-05 12:00:00Z", "2026-01-05T12:00:00",
                            "2026-1-05T12:00:00Z", "2026-01-05T24:00:00Z"})
        EXPECT_FALSE(ParseTime(bad, &t)) << bad;
}

TEST(MetadataTest, TargetFilesLieBesideTheirPathUnderTheirHash)
{
    EXPECT_EQ(TargetFilePath("p/c/set/virscan1.dat", "ab"), "targets/p/c/set/ab.virscan1.dat");
    EXPECT_EQ(TargetFilePath("top.json", "ab"), "targets/ab.top.json");
    // The key id is the SHA-256 of the key's canonical form.
    json key = KeyObject(std::string(64, '0'));
    EXPECT_EQ(Canonical(key), R"({"keytype":"ed25519","keyval":{"public":")" +
                                  std::string(64, '0') + R"("},"scheme":"ed25519"})");
    EXPECT_EQ(KeyId(key), Sha256Hex(Canonical(key)));
}

}  // namespace
}  // namespace pubtest
