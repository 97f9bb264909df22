#include "defutils/store_helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(StoreHelpers, SetNamesFromPaths)
{
    struct Row {
        const char* name;
        const char* path;
        const char* plain;
        const char* recorded;
    } rows[] = {
        {"plain path", "/defs/20240102.003", "20240102.003", "20240102.003"},
        {"one trailing slash is dropped", "/defs/20240102.003/", "20240102.003", "20240102.003"},
        {"only one is dropped", "/defs/A//", "", ""},
        {"blanks kept, then trimmed", "/defs/ A /", " A ", "A"},
        {"bare name", "A", "A", "A"},
        {"root", "/", "", ""},
        {"empty", "", "", ""},
    };
    for (const Row& row : rows) {
        PathBuf plain("stale"), recorded("stale");
        DuSetNameOf(row.path, &plain);
        DuRecordedSetName(row.path, &recorded);
        EXPECT_STREQ(row.plain, plain.c_str()) << row.name;
        EXPECT_STREQ(row.recorded, recorded.c_str()) << row.name;
    }
}

TEST(StoreHelpers, StorePathFailsRatherThanCuts)
{
    // With the separator and the terminator, a directory of this length
    // leaves room for exactly one more character.
    const std::string dir(PathBuf::size() - 3, 'd');
    struct Row {
        const char* name;
        std::string defs;
        const char* entry;
        bool joined;
        std::string expected;
    } rows[] = {
        {"ordinary", "/defs", "usage.dat", true, "/defs/usage.dat"},
        {"separator not doubled", "/defs/", "usage.dat", true, "/defs/usage.dat"},
        {"fills the buffer", dir, "x", true, dir + "/x"},
        {"one byte over", dir, "xy", false, dir},
        {"no directory", "", "usage.dat", true, "usage.dat"},
    };
    for (const Row& row : rows) {
        PathBuf path("stale");
        EXPECT_EQ(row.joined, DuStorePath(row.defs.c_str(), row.entry, &path)) << row.name;
        EXPECT_EQ(row.expected, path.c_str()) << row.name;
    }
}

TEST(StoreHelpers, CatalogEntries)
{
    struct Row {
        const char* name;
        const char* entry;
        const char* file;
    } rows[] = {
        {"plain", "virscan1.dat", "virscan1.dat"},
        {"path prefix dropped", "sub/dir/virscan1.dat", "virscan1.dat"},
        {"unix line end", "virscan1.dat\n", "virscan1.dat"},
        {"dos line end", "virscan1.dat\r\n", "virscan1.dat"},
        {"lone carriage return", "virscan1.dat\r", "virscan1.dat"},
        {"blanks", "  virscan1.dat  \n", "virscan1.dat"},
        {"directory only", "sub/", ""},
    };
    for (const Row& row : rows) {
        PathBuf name;
        DuCleanCatalogEntry(row.entry, &name);
        EXPECT_STREQ(row.file, name.c_str()) << row.name;
    }
}

TEST(StoreHelpers, SetNameOrder)
{
    struct Row {
        const char* name;
        const char* newer;
        const char* current;
        bool notOlder;
    } rows[] = {
        {"later date", "20240103.001", "20240102.009", true},
        {"earlier date", "20240101.009", "20240102.001", false},
        {"same date, higher revision", "20240102.010", "20240102.009", true},
        {"same date, lower revision", "20240102.002", "20240102.003", false},
        {"the same set", "20240102.003", "20240102.003", true},
        {"revision compared as a number", "20240102.10", "20240102.009", true},
        {"new name unreadable", "incoming", "20240102.003", true},
        {"current name unreadable", "20240101.001", "x", true},
        {"trailing text", "20240101.001x", "20240102.003", true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.notOlder, DuSetNameNotOlder(row.newer, row.current)) << row.name;
}

TEST(StoreHelpers, LogSpellings)
{
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

    struct Row {
        uintptr_t value;
        const char* text;
    } rows[] = {
        {0, "   (nil)"},
        {0x1, "0x000001"},
        {0xabcdef, "0xabcdef"},
        {0x1234567, "0x1234567"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.text, PaddedPointerText(reinterpret_cast<const void*>(row.value)));
}

TEST(StoreHelpers, DirectoryModeFallsBackToTheDefault)
{
    EXPECT_EQ(0751u, DuDirModeOr(nullptr, 0751));
    EXPECT_EQ(0751u, DuDirModeOr("/nonexistent/qordefutil-test", 0751));
    // "/" exists everywhere and is never group-writable.
    EXPECT_EQ(0u, DuDirModeOr("/", 0751) & 020);
    EXPECT_NE(0751u, DuDirModeOr("/", 0751));
}

}  // namespace
