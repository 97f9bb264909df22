// The format's building blocks. Their agreement with an independent
// implementation is checked end to end: the update client (its Ed25519
// pinned to published test vectors) verifies and applies what the
// publisher writes.
#include <gtest/gtest.h>

#include "publisher/defset.h"
#include "tests/publisher/mirror_fixture.h"

namespace pubtest {
namespace {

using namespace publisher;

// Accepted exactly when the bytes are the canonical form of restricted JSON:
// sorted unique keys, no blanks, integers up to 2^53 - 1, printable ASCII,
// only needed escapes, no trailing newline, bounded depth.
TEST(FormatTest, CanonicalJson)
{
    struct Row {
        const char* bytes;
        bool accepted;
    } rows[] = {{R"({"a":1,"b":[true,"x"]})", true},
                {R"({"a":"\"\\/"})", true},
                {R"({"b":1,"a":2})", false},
                {R"({"a": 1})", false},
                {R"({"a":1,"a":1})", false},
                {R"({"a":1.5})", false},
                {R"({"a":-1})", false},
                {R"({"a":1e3})", false},
                {R"({"a":9007199254740992})", false},
                {R"({"a":null})", false},
                {R"({"a":"\u0001"})", false},
                {R"({"a":"\u00e9"})", false},
                {R"({"a":"\/"})", false},
                {"{\"a\":1}\n", false},
                {"[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]", false},
                {R"({"a":)", false}};
    for (const Row& row : rows) {
        json out;
        std::string why;
        EXPECT_EQ(ParseCanonical(row.bytes, out, &why), row.accepted) << row.bytes << ": " << why;
    }
}

TEST(FormatTest, SetNamesAndPathSegments)
{
    struct Row {
        std::string header;
        const char* named;
    } headers[] = {{SetHeader(3, 1, 5, 126), "20260105.003 260105003"},
                   {SetHeader(999, 12, 31, 200), "21001231.999 1001231999"},
                   {SetHeader(0, 1, 1, 100), "20000101.000 101000"},
                   {SetHeader(1000, 1, 1, 126), "refused"},
                   {SetHeader(1, 13, 1, 126), "refused"},
                   {SetHeader(1, 0, 1, 126), "refused"},
                   {SetHeader(1, 1, 32, 126), "refused"},
                   {SetHeader(1, 1, 0, 126), "refused"},
                   {SetHeader(1, 1, 1, 99), "refused"},
                   {SetHeader(1, 1, 1, 201), "refused"},
                   {SetHeader(1, 1, 1, 126).substr(0, 10), "refused"}};
    for (const Row& row : headers) {
        SetDate date;
        bool ok = ParseSetHeader(row.header, &date);
        EXPECT_EQ(ok ? date.Name() + " " + std::to_string(date.Sequence()) : "refused", row.named)
            << "row " << &row - headers;
    }
    struct {
        bool (*make)(const std::string&, std::string*);
        const char* text;
        const char* segment;
    } segments[] = {{ProductSlug, "Example Defs Linux", "example-defs-linux"},
                    {ProductSlug, "Prod1.5 Defs (x86)", "prod1-5-defs-x86"},
                    {ProductSlug, "--A--", "a"},
                    {ProductSlug, "...", "refused"},
                    {ProductSlug, "", "refused"},
                    {ProductSlug, "Two  blanks", "refused"},
                    {ProductSlug, " leading", "refused"},
                    {ProductSlug, "tab\there", "refused"},
                    {ProductSlug, "caf\xc3\xa9", "refused"},
                    {ContentSegment, "", "_default"},
                    {ContentSegment, "Extra.Type", "extra.type"},
                    {ContentSegment, "_x", "refused"},
                    {ContentSegment, ".x", "refused"},
                    {ContentSegment, "a/b", "refused"},
                    {ContentSegment, "a b", "refused"}};
    for (const auto& row : segments) {
        std::string out;
        EXPECT_EQ(row.make(row.text, &out) ? out : "refused", row.segment) << row.text;
    }
}

TEST(FormatTest, CleanupPatternsAndTimes)
{
    struct Row {
        std::vector<std::string> patterns;
        const char* name;
        bool matches;
    } rows[] = {{{"*.tmp"}, "junk.tmp", true},    {{"*.TMP"}, "junk.tmp", false},
                {{"*.*"}, "noextension", true},   {{"a?c.dat"}, "ac.dat", true},
                {{"a?c.dat"}, "abbc.dat", false}, {{"x", "old*"}, "old1.dat", true},
                {{}, "anything", false}};
    for (const Row& row : rows)
        EXPECT_EQ(MatchesCleanup(row.patterns, row.name), row.matches) << row.name;

    int64_t t = 0;
    EXPECT_TRUE(ParseTime("2026-01-05T12:00:00Z", &t));
    EXPECT_EQ(FormatTime(t), "2026-01-05T12:00:00Z");
    EXPECT_EQ(t, kT0);
    for (const char* bad : {"2026-02-30T00:00:00Z", "2026-01-05 12:00:00Z", "2026-01-05T12:00:00",
                            "2026-1-05T12:00:00Z", "2026-01-05T24:00:00Z"})
        EXPECT_FALSE(ParseTime(bad, &t)) << bad;
}

}  // namespace
}  // namespace pubtest
