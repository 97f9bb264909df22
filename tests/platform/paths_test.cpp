#include "platform/paths.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/bounded.h"
#include "tests/support/sandbox.h"

namespace {

TEST(PathsTest, StripFileNameSplitsDirectoryAndName)
{
    const struct {
        const char *path, *dir, *name;  // dir: cut at flag 0; name: from flag 1
    } rows[] = {
        {"a/b/c.dat", "a/b", "c.dat"},
        {"dir/", "dir", ""},
        {"//srv/share/f", "//srv/share", "f"},
        {"x:/f", "x:/", "f"},
    };
    for (const auto& row : rows) {
        char buf[64];
        strcpy(buf, row.path);
        EXPECT_STREQ(DuStripFileName(buf, 1), row.name) << row.path;
        *DuStripFileName(buf, 0) = '\0';
        EXPECT_STREQ(buf, row.dir) << row.path;
    }
}

TEST(PathsTest, AppendPathJoinsWithOneSeparatorWithinSize)
{
    const struct {
        const char *dir, *name;  // the row's name in messages
        size_t size;
        const char* after;  // null: fails and leaves the directory unchanged
    } rows[] = {
        {"/a/", "/b", 64, "/a/b"},  // one separator kept
        {"x:", "/b", 64, "x:/b"},       {"a/", "//b", 64, "a//b"},
        {"dir", "name", 8, nullptr},  // "dir/name" takes 9 bytes with the terminator
        {"dir", "name", 9, "dir/name"}, {"", "name", 4, nullptr},
        {"", "name", 5, "name"},
    };
    for (const auto& row : rows) {
        char buf[72];
        memset(buf, '#', sizeof buf);
        strcpy(buf, row.dir);
        EXPECT_EQ(DuAppendPath(buf, row.name, row.size), row.after != nullptr) << row.size;
        EXPECT_STREQ(buf, row.after != nullptr ? row.after : row.dir);
        EXPECT_EQ(buf[row.size], '#') << "nothing written past the size";
    }
}

TEST(PathsTest, BoundedJoinAddsOneSeparatorAndNeverCuts)
{
    const struct {
        const char *dir, *name;
        size_t size;
        const char* after;  // null: fails and leaves the buffer unchanged
    } rows[] = {
        {"dir", "name", 9, "dir/name"},    {"dir", "name", 8, nullptr},
        {"dir/", "name", 64, "dir//name"},  // what dir ends with is kept
        {"x:", "name", 64, "x:/name"},     {"", "name", 6, "/name"},
        {"", "name", 5, nullptr},
    };
    for (const auto& row : rows) {
        char buf[72];
        memset(buf, '#', sizeof buf);
        strcpy(buf, "old");
        EXPECT_EQ(BoundedJoin(buf, row.size, row.dir, row.name), row.after != nullptr) << row.size;
        EXPECT_STREQ(buf, row.after != nullptr ? row.after : "old");
        EXPECT_EQ(buf[row.size], '#') << "nothing written past the size";
    }
}

TEST(PathsTest, FileExistsToleratesWholeNameCaseOnly)
{
    Sandbox sandbox;
    const struct {
        const char *onDisk, *asked;  // the row's name in messages
        BOOL result;
        const char* pathAfter;
    } rows[] = {
        {"virscan1.dat", "ViRsCaN1.dAt", TRUE, "virscan1.dat"},
        {"VIRSCAN1.DAT", "virscan1.dat", TRUE, "VIRSCAN1.DAT"},
        {"Virscan1.Dat", "VIRSCAN1.DAT", FALSE, "VIRSCAN1.DAT"},
        {"other.dat", "sub", TRUE, "SUB"},
    };
    for (const auto& row : rows) {
        std::string dir = sandbox.Path(std::to_string(&row - rows)) + "/";
        MakeDirs(dir + "SUB");  // directories count too
        WriteTextFile(dir + row.onDisk, "x");
        char buf[4096];
        strcpy(buf, (dir + row.asked).c_str());
        EXPECT_EQ(DuFileExists(buf), row.result) << row.asked;
        EXPECT_EQ(buf, dir + row.pathAfter);
    }
    std::string tooLong(5000, 'a');
    EXPECT_EQ(DuFileExists(&tooLong[0]), FALSE);
    // Sizes by name must not wait for a FIFO's writer.
    ASSERT_EQ(mkfifo(sandbox.Path("fifo").c_str(), 0644), 0);
    EXPECT_EQ(GetFileSizeByName(sandbox.Path("fifo").c_str()), 0u);
    EXPECT_EQ(GetFileSizeByName(sandbox.Path("0/virscan1.dat").c_str()), 1u);
}

}  // namespace
