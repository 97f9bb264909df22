// A definition set on disk: header dates, walks over its files, copies and catalogs.
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Names;

class FileSetsTest : public SandboxTest {
protected:
    // "<result> year-month-day.rev" as GetDefDate leaves them; fields start at 7.
    std::string DateOf(const std::string& dir, bool bText = false)
    {
        WORD y = 7, m = 7, d = 7;
        DWORD r = 7;
        DuResult result = du.GetDefDate(dir.c_str(), &y, &m, &d, &r, bText);
        char sz[96];
        snprintf(sz, sizeof sz, "%s %u-%u-%u.%u", CDefUtils::GetResultName(result), y, m, d, r);
        return sz;
    }

    const std::string defs = sandbox.DefsDir(), src = defs + "/src", dst = defs + "/dst";
    CDefUtils du;
};

TEST_F(FileSetsTest, AllFilesWalkChecksForASetAndSkipsSubdirectoriesAndTheIncomingLock)
{
    // files: none means no directory; left: what the deleting walk left behind.
    const struct {
        const char* name;
        Names files;
        bool bResult;
        Names left;
    } cases[] = {
        {"upper_case_marker", {"HUB.SCR", "a.dat"}, true, {}},
        {"no_marker_fails_before_the_walk", {"a.dat", "b.dat"}, false, {"a.dat", "b.dat"}},
        {"lock_subdir",
         {"cur.scr", "inlock.dat", "sub/x", "INLOCK.DAT"},
         true,
         {"inlock.dat", "sub"}},
        {"missing_directory", {}, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(src);
        for (const std::string& f : c.files) {
            MakeDirs(src + "/" + f.substr(0, f.rfind('/') + 1));
            WriteTextFile(src + "/" + f, f);
        }
        EXPECT_EQ(c.bResult, du.ProcessAllDefFiles(&CDefUtils::DeleteFileCallback, src.c_str(),
                                                   nullptr, true));
        EXPECT_EQ(c.left, ListDir(src));
    }
}

TEST_F(FileSetsTest, CopyLowersTheNameKeepsTimesAndHonoursOverwrite)
{
    // existing: already in the destination, holding "old"; after: names, contents.
    const struct {
        const char *name, *source, *existing;
        bool bOverwrite, bResult, bAllCopied;
        Names after;
    } cases[] = {
        {"lowers_the_name", "VIRSCAN1.DAT", nullptr, true, true, true, {"virscan1.dat", "new"}},
        {"overwrite_finds_any_case", "a.dat", "A.DAT", true, true, true, {"A.DAT", "new"}},
        {"keep_existing_goes_on", "a.dat", "a.dat", false, true, false, {"a.dat", "old"}},
        {"overwrite_missing_source_stops", nullptr, "a.dat", true, false, false, {}},
    };
    struct utimbuf times = {1000000000, 1100000000};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(defs);
        MakeDirs(src);
        MakeDirs(dst);
        chmod(dst.c_str(), 0775);
        const std::string from = src + "/" + (c.source != nullptr ? c.source : "a.dat");
        if (c.source != nullptr) {
            WriteTextFile(from, "new");
            utime(from.c_str(), &times);
        }
        if (c.existing != nullptr)
            WriteTextFile(dst + "/" + c.existing, "old");
        DuCopyContext ctx = {{}, c.bOverwrite, true, true};
        strcpy(ctx.szDestDir, dst.c_str());
        EXPECT_EQ(c.bResult, du.CopyFilesCallback(from.c_str(), &ctx));
        EXPECT_EQ(c.bAllCopied, ctx.bAllCopied);
        Names after;
        for (const std::string& name : ListDir(dst))
            after.insert(after.end(), {name, ReadTextFile(dst + "/" + name)});
        EXPECT_EQ(c.after, after);
        if (c.bAllCopied) {  // source times, store group, directory mode & 0666
            const std::string copy = dst + "/" + c.after[0];
            struct stat st = {};
            EXPECT_EQ(1100000000, stat(copy.c_str(), &st) == 0 ? st.st_mtime : 0);
            EXPECT_EQ(0664, PathMode(copy));
            EXPECT_EQ(sandbox.GroupId(), PathGroup(copy));
        }
    }
}

TEST_F(FileSetsTest, CatalogWalkCleansEntriesAndReportsTheFirstMissingFile)
{
    // No sections: no catalog at all.
    const struct {
        const char* name;
        std::vector<CatalogSection> sections;
        DuResult expected;
        std::string firstMissing;
    } cases[] = {
        {"dirs_case_crlf", {{"Files", {"  some/dir/A.DAT \r", "x\\y/VIRSCAN1.DAT"}}}, DU_S_OK, ""},
        {"missing", {{"Files", {"a.dat", "gone.dat", "x.dat"}}}, DU_E_GENERAL, src + "/gone.dat"},
        {"blank_line_ends_list", {{"Files", {"a.dat", "", "gone.dat"}}}, DU_S_OK, ""},
        {"no_files_section", {{"Cleanup Files", {"a.dat"}}}, DU_E_FILE_FORMAT, ""},
        {"no_catalog", {}, DU_E_MISSING_CATALOG_FILE, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(src);
        WriteSet(src, SetLayout{{2024, 1, 1, 1}, {{"a.dat", "a"}}});
        RemoveTree(src + "/catalog.dat");
        if (!c.sections.empty())
            WriteCatalog(src, c.sections);
        char missing[DU_MAX_PATH] = {};
        EXPECT_EQ(c.expected, du.ProcessCatalogFiles(&CDefUtils::FileExistsCallback, src.c_str(),
                                                     "Files", missing, nullptr));
        EXPECT_EQ(c.firstMissing, missing);
        EXPECT_EQ(DuSucceeded(c.expected), du.AllDefsArePresent(src.c_str()));
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

TEST_F(FileSetsTest, HeaderBytesGiveTheDateOrAnError)
{
    const std::string kBad = "DU_E_FILE_FORMAT 0-0-0.0", kMissing = "DU_E_VIRSCAN1_OPEN 7-7-7.7";
    const struct {
        const char* name;
        std::string header, date;
        const char* file = "virscan1.dat";
        bool bText = false;
    } cases[] = {
        {"upper_bounds", DefDateHeader(2100, 12, 31, 999), "DU_S_OK 2100-12-31.999"},
        {"lower_bounds", DefDateHeader(2000, 1, 1, 0), "DU_S_OK 2000-1-1.0"},
        {"eleven_bytes", DefDateHeader(2010, 6, 15, 42).substr(0, 11), "DU_S_OK 2010-6-15.42"},
        {"ten_bytes", DefDateHeader(2010, 6, 15, 42).substr(0, 10), kBad},
        {"rev_high_byte", DefDateHeader(2020, 1, 1, 0x01000001), kBad},
        {"mixed_case", DefDateHeader(2021, 4, 3, 5), kMissing, "Virscan1.Dat"},
        {"text_upper", DefDateHeader(2021, 4, 3, 5), "DU_S_OK 2021-4-3.5", "VIRSCANT.DAT", true},
    };
    for (const auto& c : cases) {
        MakeDirs(sandbox.Path(c.name));
        WriteTextFile(sandbox.Path(c.name) + "/" + c.file, c.header);
        EXPECT_EQ(c.date, DateOf(sandbox.Path(c.name), c.bText)) << c.name;
    }
    // Each field just outside its range.
    for (DefDate bad : {DefDate{1999, 1, 1, 1}, DefDate{2101, 1, 1, 1}, DefDate{2020, 0, 1, 1},
                        DefDate{2020, 13, 1, 1}, DefDate{2020, 1, 0, 1}, DefDate{2020, 1, 32, 1},
                        DefDate{2020, 1, 1, 1000}}) {
        WriteDefDateFile(sandbox.Path("bad"), bad.year, bad.month, bad.day, bad.revision);
        EXPECT_EQ(kBad, DateOf(sandbox.Path("bad"))) << SetName(bad);
    }
    MakeDirs(sandbox.Path("dir/virscan1.dat"));  // opens, but reading fails
    EXPECT_EQ("DU_E_VIRSCAN1_READ 7-7-7.7", DateOf(sandbox.Path("dir")));
    char szName[16] = "";
    EXPECT_FALSE(du.CreateDefDirName(sandbox.Path("bad").c_str(), szName, 16, false));
    EXPECT_TRUE(du.CreateDefDirName(sandbox.Path("upper_bounds").c_str(), szName, 16, false));
    EXPECT_STREQ("21001231.999", szName);
}

TEST_F(FileSetsTest, ComparisonsOrderByYearMonthDayRevision)
{
    struct Date {
        int y, m, d, r;
    };  // y == 0: no readable file
    const struct {
        const char* name;
        Date one, two;
        bool bNewer, bNewerOrSame;
    } cases[] = {
        {"newer_year", {2021, 1, 1, 0}, {2020, 6, 15, 500}, true, true},
        {"older_month", {2020, 5, 31, 999}, {2020, 6, 15, 500}, false, false},
        {"older_revision", {2020, 6, 15, 499}, {2020, 6, 15, 500}, false, false},
        {"same_date", {2020, 6, 15, 500}, {2020, 6, 15, 500}, false, true},
        {"second_unreadable", {2020, 6, 15, 500}, {0, 0, 0, 0}, true, true},
        {"first_unreadable", {0, 0, 0, 0}, {2020, 6, 15, 500}, false, false},
    };
    for (const auto& c : cases) {
        std::string one = sandbox.Path(c.name + std::string("1")), two = one + "2";
        WriteDefDateFile(one, c.one.y, c.one.m, c.one.d, c.one.r, c.one.y ? "virscan1.dat" : "x");
        WriteDefDateFile(two, c.two.y, c.two.m, c.two.d, c.two.r, c.two.y ? "virscan1.dat" : "x");
        EXPECT_EQ(c.bNewer, du.DefsAreNewer(one.c_str(), two.c_str(), false, false)) << c.name;
        EXPECT_EQ(c.bNewerOrSame, du.DefsAreNewerOrSameAge(one.c_str(), two.c_str())) << c.name;
    }
    // Each flag picks its own side's text file: set 2's newer one must not be read.
    std::string one = sandbox.Path("older_month1"), two = one + "2";
    WriteDefDateFile(one, 2030, 1, 1, 1, "virscant.dat");
    WriteDefDateFile(two, 2031, 1, 1, 1, "virscant.dat");
    EXPECT_TRUE(du.DefsAreNewer(one.c_str(), two.c_str(), true, false));
}

}  // namespace
