#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

namespace {

TEST(StringTrimTest, TrimAndStripHelpers)
{
    typedef char* (*Helper)(char*);
    struct Row {
        const char* name;
        Helper helper;
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        {"trim_both_ends", CDefUtils::TrimSpaces, "  a b  ", "a b"},
        {"trim_only_spaces", CDefUtils::TrimSpaces, "   ", ""},
        {"trim_keeps_tabs", CDefUtils::TrimSpaces, "\t a\t ", "\t a\t"},
        {"trim_empty", CDefUtils::TrimSpaces, "", ""},
        {"newline_lf", CDefUtils::StripNewline, "line\n", "line"},
        {"newline_crlf", CDefUtils::StripNewline, "line\r\n", "line"},
        {"newline_only_one", CDefUtils::StripNewline, "line\n\n", "line\n"},
        {"newline_cr_without_lf_stays", CDefUtils::StripNewline, "line\r", "line\r"},
        {"newline_alone", CDefUtils::StripNewline, "\n", ""},
        {"cr_removed", CDefUtils::StripCarriageReturn, "line\r", "line"},
        {"cr_before_lf_stays", CDefUtils::StripCarriageReturn, "line\r\n", "line\r\n"},
        {"slash_root_becomes_empty", CDefUtils::StripTrailingSlash, "/", ""},
        {"slash_one_removed", CDefUtils::StripTrailingSlash, "/a//", "/a/"},
        {"slash_none", CDefUtils::StripTrailingSlash, "/a", "/a"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        char buf[32];
        strcpy(buf, row.in);
        EXPECT_EQ(row.helper(buf), buf);
        EXPECT_STREQ(buf, row.out);
        EXPECT_EQ(row.helper(nullptr), nullptr);
    }
}

using PathHelpersTest = SandboxTest;

TEST_F(PathHelpersTest, FileExistsNeedsReadableEntry)
{
    WriteTextFile(sandbox.Path("file"), "x");
    MakeDirs(sandbox.Path("dir"));
    EXPECT_TRUE(CDefUtils::FileExists(sandbox.Path("file").c_str()));
    EXPECT_TRUE(CDefUtils::FileExists(sandbox.Path("dir").c_str()));
    EXPECT_FALSE(CDefUtils::FileExists(sandbox.Path("FILE").c_str())) << "case is exact here";
    EXPECT_FALSE(CDefUtils::FileExists(""));
    EXPECT_FALSE(CDefUtils::FileExists(nullptr));
}

TEST_F(PathHelpersTest, FileExistsFalseForUnreadableFile)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root can read a 0000 file";
    WriteTextFile(sandbox.Path("secret"), "x", 0);
    EXPECT_FALSE(CDefUtils::FileExists(sandbox.Path("secret").c_str()));
}

TEST_F(PathHelpersTest, OpenFileAnyCaseTriesUpperThenLower)
{
    MakeDirs(sandbox.Path("up"));
    MakeDirs(sandbox.Path("low"));
    WriteTextFile(sandbox.Path("up/CATALOG.DAT"), "upper");
    WriteTextFile(sandbox.Path("low/catalog.dat"), "lower");
    WriteTextFile(sandbox.Path("low/Mixed.Dat"), "mixed");
    struct Row {
        const char* name;
        const char* path;
        const char* contents;  // null: not opened
    };
    const Row rows[] = {
        {"as_written", "low/catalog.dat", "lower"},
        {"upper_form", "up/Catalog.dat", "upper"},
        {"lower_form", "low/CATALOG.DAT", "lower"},
        {"mixed_not_tried", "low/mixed.dat", nullptr},
        {"missing", "low/none.dat", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string asked = sandbox.Path(row.path);
        int fd = CDefUtils::OpenFileAnyCase(asked.c_str(), O_RDONLY, 0);
        if (row.contents == nullptr) {
            EXPECT_EQ(fd, -1);
            continue;
        }
        ASSERT_GE(fd, 0);
        char buf[16] = {};
        EXPECT_EQ(read(fd, buf, sizeof buf - 1), static_cast<ssize_t>(strlen(row.contents)));
        close(fd);
        EXPECT_STREQ(buf, row.contents);
        EXPECT_EQ(asked, sandbox.Path(row.path)) << "the caller's path is not changed";
    }
}

// A catalog section whose items and NULs take exactly listBytes bytes.
std::string CatalogWithList(size_t listBytes, std::string* expectedList)
{
    std::string file = "[Other]\nx=1\n[Files]\n";
    expectedList->clear();
    for (int i = 0; expectedList->size() < listBytes; ++i) {
        size_t left = listBytes - expectedList->size();
        std::string item = "f" + std::to_string(i) + "=";
        size_t itemLen = left > 60 ? 40 : left - 1;  // the last item fills the rest
        item.resize(itemLen < item.size() ? item.size() : itemLen, 'v');
        *expectedList += item;
        *expectedList += '\0';
        file += item + "\n";
    }
    file += "[After]\ny=2\n";
    return file;
}

TEST_F(PathHelpersTest, ReadCatalogSectionGrowsTheBuffer)
{
    struct Row {
        const char* name;
        size_t listBytes;
    };
    const Row rows[] = {
        {"fits_first_buffer", 2000},
        // A list of exactly size - 2 looks cut and takes one more read.
        {"looks_cut_at_first_size", 2046},
        {"needs_three_growths", 5000},
        {"largest_accepted", 1048576 - 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string expected;
        std::string file = sandbox.Path(std::string(row.name) + ".dat");
        WriteTextFile(file, CatalogWithList(row.listBytes, &expected));
        ASSERT_EQ(expected.size(), row.listBytes);
        char* list = nullptr;
        ASSERT_EQ(CDefUtils::ReadCatalogSection(file.c_str(), "Files", &list), DU_S_OK);
        ASSERT_NE(list, nullptr);
        // The whole list and its terminating extra NUL.
        EXPECT_EQ(std::string(list, row.listBytes + 1), expected + '\0');
        free(list);
    }
}

TEST_F(PathHelpersTest, ReadCatalogSectionFailures)
{
    std::string ignored;
    std::string huge = sandbox.Path("huge.dat"), empty = sandbox.Path("empty.dat");
    WriteTextFile(huge, CatalogWithList(1048576 - 2, &ignored));
    WriteTextFile(empty, "[Files]\n[Next]\na=1\n");
    struct Row {
        const char* name;
        std::string file;
        const char* section;
        DuResult result;
    };
    const Row rows[] = {
        {"over_one_mebibyte", huge, "Files", DU_E_FILE_FORMAT},
        {"missing_file", sandbox.Path("none.dat"), "Files", DU_E_MISSING_SECTION},
        {"missing_section", empty, "Absent", DU_E_MISSING_SECTION},
        {"empty_section", empty, "Files", DU_E_MISSING_SECTION},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        char* list = reinterpret_cast<char*>(1);
        EXPECT_EQ(CDefUtils::ReadCatalogSection(row.file.c_str(), row.section, &list), row.result);
        EXPECT_EQ(list, nullptr);
    }
    EXPECT_EQ(CDefUtils::ReadCatalogSection(empty.c_str(), "Files", nullptr),
              DU_E_INVALID_PARAMETER);
}

}  // namespace
