#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

namespace {

TEST(StringHelpersTest, TrimAndStripWorkInPlace)
{
    using C = CDefUtils;
    const struct { char* (*helper)(char*); const char* in; const char* out; } rows[] = {
        {C::TrimSpaces, "  a b  ", "a b"}, {C::TrimSpaces, "\t a\t ", "\t a\t"},
        {C::TrimSpaces, "   ", ""}, {C::StripNewline, "a\r\n", "a"},
        {C::StripNewline, "a\n\n", "a\n"}, {C::StripNewline, "a\r", "a\r"},
        {C::StripCarriageReturn, "a\r", "a"}, {C::StripCarriageReturn, "a\r\n", "a\r\n"},
        {C::StripTrailingSlash, "/", ""}, {C::StripTrailingSlash, "/a//", "/a/"},
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
    const struct { const char* path; const char* contents; } rows[] = {
        {"low/catalog.dat", "lower"}, {"up/Catalog.dat", "upper"}, {"low/CATALOG.DAT", "lower"},
        {"low/mixed.dat", ""},
    };
    for (const auto& row : rows) {
        int fd = CDefUtils::OpenFileAnyCase(sandbox.Path(row.path).c_str(), O_RDONLY, 0);
        char buf[16] = {};
        EXPECT_EQ(*row.contents != '\0', fd >= 0 && read(fd, buf, sizeof buf - 1) > 0) << row.path;
        EXPECT_STREQ(row.contents, buf) << row.path;
        close(fd);
    }
}

TEST_F(PathHelpersTest, ReadCatalogSectionGrowsTheBufferUpToOneMegabyte)
{
    // 2046 bytes look cut at the first buffer size and take one more read.
    for (size_t nBytes : {2046, 1048576 - 3, 1048576 - 2}) {
        // One item taking the odd bytes, then items of 11 bytes with their NUL.
        std::string list = "a=" + std::string(nBytes % 11 + 8, 'v') + '\0';
        for (int i = 1000000; list.size() < nBytes; ++i)
            list += std::to_string(i) + "=vv" + '\0';
        std::string file = sandbox.Path(std::to_string(nBytes));
        std::string items = list;
        std::replace(items.begin(), items.end(), '\0', '\n');
        WriteTextFile(file, "[Other]\nx=1\n[Files]\n" + items + "[After]\ny=2\n");
        char* pList = reinterpret_cast<char*>(1);
        bool bFits = nBytes < 1048576 - 2;
        EXPECT_EQ(bFits ? DU_S_OK : DU_E_FILE_FORMAT,
                  CDefUtils::ReadCatalogSection(file.c_str(), "Files", &pList)) << nBytes;
        // The whole list and its terminating extra NUL.
        std::string got = pList == nullptr ? "<null>" : std::string(pList, bFits ? nBytes + 1 : 0);
        EXPECT_EQ(bFits ? list + '\0' : "<null>", got) << nBytes;
        free(pList);
    }
    WriteTextFile(sandbox.Path("empty"), "[Files]\n[Next]\na=1\n");
    char* pList = reinterpret_cast<char*>(1);
    EXPECT_EQ(DU_E_MISSING_SECTION,
              CDefUtils::ReadCatalogSection(sandbox.Path("empty").c_str(), "Files", &pList));
    EXPECT_EQ(nullptr, pList);
}

}  // namespace
