// A definition set on disk: header dates, walks over its files, copies and catalogs.
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Names;

class FileSetsTest : public SandboxTest {
protected:
    const std::string defs = sandbox.DefsDir(), src = defs + "/src", dst = defs + "/dst";
    CDefUtils du;
};

// left: what the deleting walk left behind; no files: no directory.
TEST_F(FileSetsTest, AllFilesWalkChecksForASetAndSkipsSubdirectoriesAndTheIncomingLock)
{
    const std::tuple<Names, bool, Names> cases[] = {
        {{"HUB.SCR", "a.dat"}, true, {}},
        {{"a.dat", "b.dat"}, false, {"a.dat", "b.dat"}},  // no marker: fails before the walk
        {{"cur.scr", "inlock.dat", "sub/x", "INLOCK.DAT"}, true, {"inlock.dat", "sub"}},
        {Names{}, false, {}},
    };
    for (const auto& [files, bResult, left] : cases) {
        SCOPED_TRACE(files.empty() ? "none" : files[0]);
        RemoveTree(src);
        for (const std::string& f : files) {
            MakeDirs(src + "/" + f.substr(0, f.rfind('/') + 1));
            WriteTextFile(src + "/" + f, f);
        }
        EXPECT_EQ(bResult, du.ProcessAllDefFiles(&CDefUtils::DeleteFileCallback, src.c_str(),
                                                 nullptr, true));
        EXPECT_EQ(left, ListDir(src));
    }
}

// existing: already in the destination, holding "old"; after: names and contents.
TEST_F(FileSetsTest, CopyLowersTheNameKeepsTimesAndHonoursOverwrite)
{
    const std::tuple<const char*, const char*, bool, bool, bool, Names> cases[] = {
        {"VIRSCAN1.DAT", nullptr, true, true, true, {"virscan1.dat", "new"}},
        {"a.dat", "A.DAT", true, true, true, {"A.DAT", "new"}},  // overwrite finds any case
        {"a.dat", "a.dat", false, true, false, {"a.dat", "old"}},
        {nullptr, "a.dat", true, false, false, {}},  // a missing source stops an overwrite
    };
    struct utimbuf times = {1000000000, 1100000000};
    for (const auto& [source, existing, bOverwrite, bResult, bAllCopied, after] : cases) {
        SCOPED_TRACE(std::string(source ? source : "-") + (bOverwrite ? " overwrite" : ""));
        RemoveTree(defs);
        MakeDirs(src);
        MakeDirs(dst);
        chmod(dst.c_str(), 0775);
        const std::string from = src + "/" + (source != nullptr ? source : "a.dat");
        if (source != nullptr) {
            WriteTextFile(from, "new");
            utime(from.c_str(), &times);
        }
        if (existing != nullptr)
            WriteTextFile(dst + "/" + existing, "old");
        DuCopyContext ctx = {{}, bOverwrite, true, true};
        strcpy(ctx.szDestDir, dst.c_str());
        EXPECT_EQ(bResult, du.CopyFilesCallback(from.c_str(), &ctx));
        EXPECT_EQ(bAllCopied, ctx.bAllCopied);
        Names seen;
        for (const std::string& name : ListDir(dst))
            seen.insert(seen.end(), {name, ReadTextFile(dst + "/" + name)});
        EXPECT_EQ(after, seen);
        if (bAllCopied) {  // source times, store group, directory mode & 0666
            const std::string copy = dst + "/" + after[0];
            struct stat st = {};
            EXPECT_EQ(1100000000, stat(copy.c_str(), &st) == 0 ? st.st_mtime : 0);
            EXPECT_EQ(0664, PathMode(copy));
            EXPECT_EQ(sandbox.GroupId(), PathGroup(copy));
        }
    }
}

// No sections: no catalog at all.
TEST_F(FileSetsTest, CatalogWalkCleansEntriesAndReportsTheFirstMissingFile)
{
    const std::tuple<std::vector<CatalogSection>, DuResult, std::string> cases[] = {
        {{{"Files", {"  some/dir/A.DAT \r", "x\\y/VIRSCAN1.DAT"}}}, DU_S_OK, ""},
        {{{"Files", {"a.dat", "gone.dat", "x.dat"}}}, DU_E_GENERAL, src + "/gone.dat"},
        {{{"Files", {"a.dat", "", "gone.dat"}}}, DU_S_OK, ""},  // a blank line ends the list
        {{{"Cleanup Files", {"a.dat"}}}, DU_E_FILE_FORMAT, ""},
        {std::vector<CatalogSection>{}, DU_E_MISSING_CATALOG_FILE, ""},
    };
    for (const auto& [sections, expected, firstMissing] : cases) {
        SCOPED_TRACE(CDefUtils::GetResultName(expected));
        RemoveTree(src);
        WriteSet(src, SetLayout{{2024, 1, 1, 1}, {{"a.dat", "a"}}});
        RemoveTree(src + "/catalog.dat");
        if (!sections.empty())
            WriteCatalog(src, sections);
        char missing[DU_MAX_PATH] = {};
        EXPECT_EQ(expected, du.ProcessCatalogFiles(&CDefUtils::FileExistsCallback, src.c_str(),
                                                   "Files", missing, nullptr));
        EXPECT_EQ(firstMissing, missing);
        EXPECT_EQ(DuSucceeded(expected), du.AllDefsArePresent(src.c_str()));
    }
}

TEST_F(FileSetsTest, ReadCatalogSectionGrowsTheBufferUpToOneMegabyte)
{
    // 2046 bytes look cut at the first buffer size; items are 11 bytes after an odd first one.
    for (size_t nBytes : {2046, 1048576 - 3, 1048576 - 2}) {
        std::string list = "a=" + std::string(nBytes % 11 + 8, 'v') + '\0';
        for (int i = 1000000; list.size() < nBytes; ++i) list += std::to_string(i) + "=vv" + '\0';
        std::string file = sandbox.Path("catalog"), items = list;
        std::replace(items.begin(), items.end(), '\0', '\n');
        WriteTextFile(file, "[Other]\nx=1\n[Files]\n" + items + "[After]\ny=2\n");
        char* pList = reinterpret_cast<char*>(1);
        bool bFits = nBytes < 1048576 - 2;
        EXPECT_EQ(bFits ? DU_S_OK : DU_E_FILE_FORMAT,
                  CDefUtils::ReadCatalogSection(file.c_str(), "Files", &pList))
            << nBytes;
        // The whole list and its terminating extra NUL.
        std::string got = pList == nullptr ? "<null>" : std::string(pList, bFits ? nBytes + 1 : 0);
        EXPECT_EQ(bFits ? list + '\0' : "<null>", got) << nBytes;
        free(pList);
    }
}

// "<result> year-month-day.rev" as GetDefDate leaves them; fields start at 7.
TEST_F(FileSetsTest, HeaderBytesGiveTheDateOrAnError)
{
    auto DateOf = [this](const std::string& dir, bool bText) {
        WORD y = 7, m = 7, d = 7;
        DWORD r = 7;
        DuResult result = du.GetDefDate(dir.c_str(), &y, &m, &d, &r, bText);
        char sz[96];
        snprintf(sz, sizeof sz, "%s %u-%u-%u.%u", CDefUtils::GetResultName(result), y, m, d, r);
        return std::string(sz);
    };
    const std::string kBad = "DU_E_FILE_FORMAT 0-0-0.0", kMain = "virscan1.dat";
    const std::tuple<const char*, std::string, std::string, std::string, bool> cases[] = {
        {"upper_bounds", DefDateHeader(2100, 12, 31, 999), "DU_S_OK 2100-12-31.999", kMain, 0},
        {"lower_bounds", DefDateHeader(2000, 1, 1, 0), "DU_S_OK 2000-1-1.0", kMain, 0},
        {"eleven", DefDateHeader(2010, 6, 15, 42).substr(0, 11), "DU_S_OK 2010-6-15.42", kMain, 0},
        {"ten_bytes", DefDateHeader(2010, 6, 15, 42).substr(0, 10), kBad, kMain, false},
        {"rev_high_byte", DefDateHeader(2020, 1, 1, 0x01000001), kBad, kMain, false},
        {"mixed", DefDateHeader(2021, 4, 3, 5), "DU_E_VIRSCAN1_OPEN 7-7-7.7", "Virscan1.Dat", 0},
        {"text_upper", DefDateHeader(2021, 4, 3, 5), "DU_S_OK 2021-4-3.5", "VIRSCANT.DAT", true},
        {"1999", DefDateHeader(1999, 1, 1, 1), kBad, kMain, false},
        {"2101", DefDateHeader(2101, 1, 1, 1), kBad, kMain, false},
        {"month0", DefDateHeader(2020, 0, 1, 1), kBad, kMain, false},
        {"month13", DefDateHeader(2020, 13, 1, 1), kBad, kMain, false},
        {"day0", DefDateHeader(2020, 1, 0, 1), kBad, kMain, false},
        {"day32", DefDateHeader(2020, 1, 32, 1), kBad, kMain, false},
        {"rev1000", DefDateHeader(2020, 1, 1, 1000), kBad, kMain, false},
    };
    for (const auto& [name, header, date, file, bText] : cases) {
        MakeDirs(sandbox.Path(name));
        WriteTextFile(sandbox.Path(name) + "/" + file, header);
        EXPECT_EQ(date, DateOf(sandbox.Path(name), bText)) << name;
    }
    MakeDirs(sandbox.Path("dir/virscan1.dat"));  // opens, but reading fails
    EXPECT_EQ("DU_E_VIRSCAN1_READ 7-7-7.7", DateOf(sandbox.Path("dir"), false));
    char szName[16] = "";
    EXPECT_FALSE(du.CreateDefDirName(sandbox.Path("day32").c_str(), szName, 16, false));
    EXPECT_TRUE(du.CreateDefDirName(sandbox.Path("upper_bounds").c_str(), szName, 16, false));
    EXPECT_STREQ("21001231.999", szName);
}

// Year 0: no readable file.
TEST_F(FileSetsTest, ComparisonsOrderByYearMonthDayRevision)
{
    const std::tuple<DefDate, DefDate, bool, bool> cases[] = {
        {{2021, 1, 1, 0}, {2020, 6, 15, 500}, true, true},
        {{2020, 5, 31, 999}, {2020, 6, 15, 500}, false, false},
        {{2020, 6, 15, 499}, {2020, 6, 15, 500}, false, false},
        {{2020, 6, 15, 500}, {2020, 6, 15, 500}, false, true},
        {{2020, 6, 15, 500}, {0, 0, 0, 0}, true, true},
        {{0, 0, 0, 0}, {2020, 6, 15, 500}, false, false},
    };
    for (const auto& [first, second, bNewer, bNewerOrSame] : cases) {
        const std::string one = sandbox.Path(SetName(first) + "-" + SetName(second)),
                          two = one + "2";
        for (const auto& [dir, date] : {std::make_pair(one, first), std::make_pair(two, second)})
            WriteDefDateFile(dir, date.year, date.month, date.day, date.revision,
                             date.year ? "virscan1.dat" : "x");
        EXPECT_EQ(bNewer, du.DefsAreNewer(one.c_str(), two.c_str(), false, false)) << one;
        EXPECT_EQ(bNewerOrSame, du.DefsAreNewerOrSameAge(one.c_str(), two.c_str())) << one;
    }
    // Each flag picks its own side's text file: set 2's newer one must not be read.
    const std::string one = sandbox.Path("text1"), two = one + "2";
    WriteDefDateFile(one, 2020, 5, 31, 999);
    WriteDefDateFile(two, 2020, 6, 15, 500);
    WriteDefDateFile(one, 2030, 1, 1, 1, "virscant.dat");
    WriteDefDateFile(two, 2031, 1, 1, 1, "virscant.dat");
    EXPECT_TRUE(du.DefsAreNewer(one.c_str(), two.c_str(), true, false));
}

}  // namespace
