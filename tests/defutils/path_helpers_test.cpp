#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

namespace {

TEST(StringHelpersTest, TrimAndStripWorkInPlace)
{
    const struct { char* (*helper)(char*); const char* in; const char* out; } rows[] = {
        {CDefUtils::TrimSpaces, "  a b  ", "a b"}, {CDefUtils::TrimSpaces, "\t a\t ", "\t a\t"},
        {CDefUtils::TrimSpaces, "   ", ""}, {CDefUtils::StripNewline, "line\r\n", "line"},
        {CDefUtils::StripNewline, "line\n\n", "line\n"}, {CDefUtils::StripNewline, "a\r", "a\r"},
        {CDefUtils::StripCarriageReturn, "a\r", "a"}, {CDefUtils::StripCarriageReturn, "a\r\n", "a\r\n"},
        {CDefUtils::StripTrailingSlash, "/", ""}, {CDefUtils::StripTrailingSlash, "/a//", "/a/"},
    };
    for (const auto& row : rows) {
        char buf[32];
        strcpy(buf, row.in);
        EXPECT_EQ(buf, row.helper(buf));
        EXPECT_STREQ(row.out, buf) << row.in;
        EXPECT_EQ(nullptr, row.helper(nullptr));
    }
}

using PathHelpersTest = SandboxTest;

TEST_F(PathHelpersTest, FileExistsIsExactOpenFileAnyCaseTriesUpperThenLower)
{
    MakeDirs(sandbox.Path("up"));
    MakeDirs(sandbox.Path("low"));
    WriteTextFile(sandbox.Path("up/CATALOG.DAT"), "upper");
    WriteTextFile(sandbox.Path("low/catalog.dat"), "lower");
    WriteTextFile(sandbox.Path("low/Mixed.Dat"), "mixed");
    EXPECT_TRUE(CDefUtils::FileExists(sandbox.Path("low").c_str()));
    EXPECT_FALSE(CDefUtils::FileExists(sandbox.Path("low/CATALOG.DAT").c_str()));
    EXPECT_FALSE(CDefUtils::FileExists(""));
    const struct { const char* path; const char* contents; } rows[] = {
        {"low/catalog.dat", "lower"}, {"up/Catalog.dat", "upper"}, {"low/CATALOG.DAT", "lower"},
        {"low/mixed.dat", ""}, {"low/none.dat", ""},
    };
    for (const auto& row : rows) {
        int fd = CDefUtils::OpenFileAnyCase(sandbox.Path(row.path).c_str(), O_RDONLY, 0);
        char buf[16] = {};
        if (fd >= 0) {
            EXPECT_GT(read(fd, buf, sizeof buf - 1), 0);
            close(fd);
        }
        EXPECT_STREQ(row.contents, buf) << row.path;
    }
}

// A catalog whose [Files] list (items and their NULs) takes nBytes bytes.
std::string CatalogWithList(size_t nBytes, std::string* pList)
{
    pList->clear();
    for (int i = 0; pList->size() < nBytes; ++i) {
        size_t nLeft = nBytes - pList->size();
        *pList += (std::to_string(100000 + i) + "=").append(nLeft > 90 ? 40 : nLeft - 8, 'v') + '\0';
    }
    std::string items = *pList;
    std::replace(items.begin(), items.end(), '\0', '\n');
    return "[Other]\nx=1\n[Files]\n" + items + "[After]\ny=2\n";
}

TEST_F(PathHelpersTest, ReadCatalogSectionGrowsTheBufferUpToOneMegabyte)
{
    // A list of exactly 2046 bytes looks cut at the first size and takes one more read.
    for (size_t nBytes : {2000, 2046, 1048576 - 3, 1048576 - 2}) {
        std::string list, file = sandbox.Path(std::to_string(nBytes));
        WriteTextFile(file, CatalogWithList(nBytes, &list));
        ASSERT_EQ(nBytes, list.size());
        char* pList = reinterpret_cast<char*>(1);
        bool bFits = nBytes < 1048576 - 2;
        EXPECT_EQ(bFits ? DU_S_OK : DU_E_FILE_FORMAT,
                  CDefUtils::ReadCatalogSection(file.c_str(), "Files", &pList)) << nBytes;
        EXPECT_EQ(bFits ? list + '\0' : "", std::string(pList ? pList : "", bFits ? nBytes + 1 : 0));
        free(pList);
    }
    WriteTextFile(sandbox.Path("empty"), "[Files]\n[Next]\na=1\n");
    for (const char* section : {"Files", "Absent"}) {
        char* pList = reinterpret_cast<char*>(1);
        EXPECT_EQ(DU_E_MISSING_SECTION,
                  CDefUtils::ReadCatalogSection(sandbox.Path("empty").c_str(), section, &pList));
        EXPECT_EQ(nullptr, pList);
    }
}

}  // namespace
