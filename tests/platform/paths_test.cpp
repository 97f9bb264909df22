#include "platform/paths.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "tests/support/sandbox.h"

namespace {

TEST(DuStripFileNameTest, SplitsDirectoryAndName)
{
    struct Row {
        const char* name;
        const char* path;
        const char* dir;       // text before the K = 0 position
        const char* fileName;  // text from the K = 1 position
    };
    const Row rows[] = {
        {"nested", "a/b/c.dat", "a/b", "c.dat"},
        {"in_root", "/c.dat", "/", "c.dat"},
        {"bare_name", "c.dat", "", "c.dat"},
        {"trailing_slash", "dir/", "dir", ""},
        {"network_root", "//srv/share", "//srv/share", ""},
        {"network_file", "//srv/share/f", "//srv/share", "f"},
        {"drive_relative", "x:f", "x:", "f"},
        {"drive_root", "x:/f", "x:/", "f"},
        {"etc_file", "/etc/x.conf", "/etc", "x.conf"},
        {"root_file", "/x", "/", "x"},
        {"root_alone", "/", "/", ""},
        {"double_slash_alone", "//", "//", ""},
        {"empty", "", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        char buf[64];
        strcpy(buf, row.path);
        char* name = DuStripFileName(buf, 1);
        EXPECT_STREQ(name, row.fileName);
        *DuStripFileName(buf, 0) = '\0';
        EXPECT_STREQ(buf, row.dir);
    }
    EXPECT_EQ(DuStripFileName(nullptr, 0), nullptr);
}

TEST(DuAppendPathTest, JoinsWithOneSeparator)
{
    struct Row {
        const char* name;
        const char* dir;
        const char* file;
        const char* joined;
    };
    const Row rows[] = {
        {"both_slashes", "/a/", "/b", "/a/b"},
        {"no_slashes", "a", "b", "a/b"},
        {"empty_dir", "", "b", "b"},
        {"dir_slash", "a/", "b", "a/b"},
        {"name_slash", "a", "/b", "a/b"},
        {"drive", "x:", "b", "x:b"},
        {"drive_then_slash_name", "x:", "/b", "x:/b"},
        {"only_one_slash_dropped", "a/", "//b", "a//b"},
        {"empty_name", "a", "", "a/"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        char buf[64];
        strcpy(buf, row.dir);
        EXPECT_EQ(DuAppendPath(buf, row.file, sizeof buf), TRUE);
        EXPECT_STREQ(buf, row.joined);
    }
}

TEST(DuAppendPathTest, SizeBoundary)
{
    // "dir/name" needs 9 bytes with the terminator, "name" alone 5.
    struct Row {
        const char* name;
        const char* dir;
        size_t size;
        BOOL result;
    };
    const Row rows[] = {
        {"joined_one_short", "dir", 8, FALSE},
        {"joined_exact", "dir", 9, TRUE},
        {"joined_one_spare", "dir", 10, TRUE},
        {"copy_one_short", "", 4, FALSE},
        {"copy_exact", "", 5, TRUE},
        {"copy_one_spare", "", 6, TRUE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string expected = row.dir[0] != '\0' ? "dir/name" : "name";
        // Guard bytes after the nominal size catch any write past it.
        char buf[32];
        memset(buf, '#', sizeof buf);
        strcpy(buf, row.dir);
        EXPECT_EQ(DuAppendPath(buf, "name", row.size), row.result);
        if (row.result)
            EXPECT_EQ(std::string(buf), expected);
        else
            EXPECT_EQ(std::string(buf), row.dir) << "unchanged on failure";
        EXPECT_EQ(buf[row.size], '#');
    }
    char full[4] = {'a', 'b', 'c', 'd'};  // not terminated within its size
    EXPECT_EQ(DuAppendPath(full, "x", sizeof full), FALSE);
}

using DuFileExistsTest = SandboxTest;

TEST_F(DuFileExistsTest, ToleratesWholeNameCaseOnly)
{
    struct Row {
        const char* name;
        const char* onDisk;
        const char* asked;
        BOOL result;
        const char* pathAfter;
    };
    const Row rows[] = {
        {"exact", "virscan1.dat", "virscan1.dat", TRUE, "virscan1.dat"},
        {"upper_asked_lower_exists", "virscan1.dat", "VIRSCAN1.DAT", TRUE, "virscan1.dat"},
        {"lower_asked_upper_exists", "VIRSCAN1.DAT", "virscan1.dat", TRUE, "VIRSCAN1.DAT"},
        {"mixed_exists", "Virscan1.Dat", "VIRSCAN1.DAT", FALSE, "VIRSCAN1.DAT"},
        {"mixed_asked", "virscan1.dat", "ViRsCaN1.dAt", TRUE, "virscan1.dat"},
        {"missing", "other.dat", "virscan1.dat", FALSE, "virscan1.dat"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string dir = sandbox.Path(row.name);
        MakeDirs(dir);
        WriteTextFile(dir + "/" + row.onDisk, "x");
        std::string asked = dir + "/" + row.asked;
        char buf[4096];
        strcpy(buf, asked.c_str());
        EXPECT_EQ(DuFileExists(buf), row.result);
        EXPECT_EQ(std::string(buf), dir + "/" + row.pathAfter);
    }
}

TEST_F(DuFileExistsTest, DirectoriesAndBareNames)
{
    MakeDirs(sandbox.Path("SUB"));
    std::string asked = sandbox.Path("sub");
    char buf[4096];
    strcpy(buf, asked.c_str());
    EXPECT_EQ(DuFileExists(buf), TRUE);
    EXPECT_EQ(std::string(buf), sandbox.Path("SUB"));

    // A path ending in "/" lists with an empty pattern, which matches
    // nothing: even the root does not "exist" by this test.
    char root[] = "/";
    EXPECT_EQ(DuFileExists(root), FALSE);
    EXPECT_STREQ(root, "/");
    char empty[] = "";
    EXPECT_EQ(DuFileExists(empty), FALSE);
    EXPECT_EQ(DuFileExists(nullptr), FALSE);
    std::string tooLong(5000, 'a');
    EXPECT_EQ(DuFileExists(&tooLong[0]), FALSE);
}

using GetFileSizeByNameTest = SandboxTest;

TEST_F(GetFileSizeByNameTest, SizesAndMissingFiles)
{
    WriteTextFile(sandbox.Path("seven"), "1234567");
    WriteTextFile(sandbox.Path("empty"), "");
    std::string fifo = sandbox.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(GetFileSizeByName(sandbox.Path("seven").c_str()), 7u);
    EXPECT_EQ(GetFileSizeByName(sandbox.Path("empty").c_str()), 0u);
    EXPECT_EQ(GetFileSizeByName(sandbox.Path("missing").c_str()), 0u);
    EXPECT_EQ(GetFileSizeByName(fifo.c_str()), 0u) << "must not wait for a writer";
    EXPECT_EQ(GetFileSizeByName(nullptr), 0u);
}

}  // namespace
