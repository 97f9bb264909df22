#include "defutils/store_helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

TEST(StoreHelpers, SetNamesFromPaths)
{
    const struct {
        const char *path, *plain, *recorded;
    } rows[] = {
        {"/defs/20240102.003", "20240102.003", "20240102.003"},
        {"/defs/20240102.003/", "20240102.003", "20240102.003"},
        {"/defs/A//", "", ""},  // only one slash is dropped
        {"/defs/ A /", " A ", "A"},
        {"A", "A", "A"},
        {"/", "", ""},
        {"", "", ""},
    };
    for (const auto& row : rows) {
        PathBuf plain("stale"), recorded("stale");
        DuSetNameOf(row.path, &plain);
        DuRecordedSetName(row.path, &recorded);
        EXPECT_STREQ(row.plain, plain.c_str()) << row.path;
        EXPECT_STREQ(row.recorded, recorded.c_str()) << row.path;
    }
}

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

TEST(StoreHelpers, CatalogEntriesAndSetNameOrder)
{
    for (const char* entry : {"virscan1.dat", "sub/dir/virscan1.dat", "virscan1.dat\n",
                              "virscan1.dat\r\n", "virscan1.dat\r", "  virscan1.dat  \n"}) {
        PathBuf name;
        DuCleanCatalogEntry(entry, &name);
        EXPECT_STREQ("virscan1.dat", name.c_str()) << entry;
    }
    PathBuf name("stale");
    DuCleanCatalogEntry("sub/", &name);
    EXPECT_STREQ("", name.c_str());

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
TEST(StoreHelpers, LogSpellings)
{
    for (uintptr_t value : {uintptr_t{0}, uintptr_t{0x1}, uintptr_t{0x123456}, uintptr_t{0x1234567},
                            uintptr_t{0x7ffd12345678}}) {
        const void* p = reinterpret_cast<const void*>(value);
        char expected[64];
        snprintf(expected, sizeof expected, "%08p", p);
        EXPECT_EQ(expected, PaddedPointerText(p)) << value;
    }
    char buffer[4] = "abc";
    EXPECT_STREQ("<null>", OrNull(nullptr));
    EXPECT_STREQ("<null>", OrNull(nullptr, 4));
    EXPECT_STREQ("<null>", OrNull(buffer, 0));
    EXPECT_STREQ("abc", OrNull(buffer, 4));
    DuEmptyBuffer(buffer, 0);
    EXPECT_STREQ("abc", buffer);
    DuEmptyBuffer(buffer, 1);
    EXPECT_STREQ("", buffer);
    DuEmptyBuffer(nullptr, 4);  // must not crash
    // "/" exists everywhere and is never group-writable.
    EXPECT_EQ(0751u, DuDirModeOr(nullptr, 0751));
    EXPECT_EQ(0751u, DuDirModeOr("/nonexistent/qordefutil-test", 0751));
    EXPECT_EQ(0u, DuDirModeOr("/", 0751) & 020);
    EXPECT_NE(0751u, DuDirModeOr("/", 0751));
}
#pragma GCC diagnostic pop

}  // namespace
