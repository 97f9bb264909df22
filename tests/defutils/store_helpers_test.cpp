// Pure helpers of the store manager and the checks on command values.
#include "defutils/store_helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "defutils/input_checks.h"

namespace {

TEST(StoreHelpers, StorePathFailsRatherThanCuts)
{
    // With the separator and the terminator this leaves room for one more character.
    const std::string dir(PathBuf::size() - 3, 'd');
    const struct {
        std::string defs;
        const char* entry;
        bool joined;
        std::string expected;
    } rows[] = {
        {"/defs", "usage.dat", true, "/defs/usage.dat"},
        {"/defs/", "usage.dat", true, "/defs/usage.dat"},
        {dir, "x", true, dir + "/x"},
        {dir, "xy", false, dir},
        {"", "usage.dat", true, "usage.dat"},
    };
    for (const auto& row : rows) {
        PathBuf path("stale");
        EXPECT_EQ(row.joined, DuStorePath(row.defs.c_str(), row.entry, &path)) << row.entry;
        EXPECT_EQ(row.expected, path.c_str()) << row.entry;
    }
}

TEST(StoreHelpers, SetNameOrder)
{
    const struct {
        const char *newer, *current;
        bool notOlder;
    } rows[] = {
        {"20240103.001", "20240102.009", true},  {"20240101.009", "20240102.001", false},
        {"20240102.010", "20240102.009", true},  {"20240102.002", "20240102.003", false},
        {"20240102.003", "20240102.003", true},  {"20240102.10", "20240102.009", true},
        {"incoming", "20240102.003", true},      {"20240101.001", "x", true},
        {"20240101.001x", "20240102.003", true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.notOlder, DuSetNameNotOlder(row.newer, row.current)) << row.newer;
}

// The log's pointer text must be what glibc's "%08p" printed before.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
TEST(StoreHelpers, PointerTextMatchesTheCLibrarysPaddedPointer)
{
    for (uintptr_t value : {uintptr_t{0}, uintptr_t{0x1}, uintptr_t{0x123456}, uintptr_t{0x1234567},
                            uintptr_t{0x7ffd12345678}}) {
        const void* p = reinterpret_cast<const void*>(value);
        char expected[64];
        snprintf(expected, sizeof expected, "%08p", p);
        EXPECT_EQ(expected, PaddedPointerText(p)) << value;
    }
}
#pragma GCC diagnostic pop

// One value per class of byte each check must refuse, and the limits; the
// hardening suite runs the same values through the program, but only as root.
TEST(InputChecks, RefuseWhatCouldBreakAFileOrAShell)
{
    using Check = const char* (*)(const char*);
    const std::string kAppId(DU_MAX_APPID_LENGTH, 'a'), kType(DU_MAX_CONTENT_TYPE_LENGTH, 't');
    const struct {
        const char* name;
        Check check;
        std::vector<std::string> accepted, refused;
    } rows[] = {
        {"AppId",
         [](const char* psz) { return DuAppIdProblem(psz); },
         {"My App (x86) v2.0/1", kAppId},
         {kAppId + "a", "", "[evil", "evil]", "a=b", "a\n[x]", "a\x7f", " app", "app "}},
        {"ContentType",
         [](const char* psz) { return DuContentTypeProblem(psz); },
         {"a.b", kType},
         {kType + "t", ".", "..", "a/b", "a]b", "a=b", "a\rb", "type "}},
        {"Shell",
         [](const char* psz) { return DuShellValueProblem(psz); },
         {"a-b_c.d,e:f+g@h%i/j=k \xc3\xa4"},
         {"x$(touch y)", "x`id`", "x;id", "x|id", "x>y", "x*", "x\"y", "x'y", "x\\y", "x\ny"}},
        {"Quoted",
         [](const char* psz) { return DuShellValueProblem(psz, true); },
         {"\"Quoted Prod\""},
         {"\"$(id)\""}},
    };
    for (const auto& row : rows) {
        for (const std::string& value : row.accepted)
            EXPECT_EQ(nullptr, row.check(value.c_str())) << row.name << " " << value;
        for (const std::string& value : row.refused)
            EXPECT_NE(nullptr, row.check(value.c_str())) << row.name << " " << value;
    }
    EXPECT_NE(nullptr, DuAppIdProblem(nullptr));
}

TEST(InputChecks, PrintableValueEscapesAndCuts)
{
    EXPECT_EQ("a\\x0a[x]\\x5c", DuPrintableValue("a\n[x]\\"));
    EXPECT_EQ(std::string(64, 'z') + "...", DuPrintableValue(std::string(65, 'z').c_str()));
    EXPECT_EQ(std::string(64, 'z'), DuPrintableValue(std::string(64, 'z').c_str()));
}

}  // namespace
