// Walks over the files of a set, copies into a set and catalog reads and checks.
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

TEST_F(FileSetsTest, AllFilesWalkChecksForASetAndSkipsSubdirectoriesAndTheIncomingLock)
{
    // files: none means no directory; left: what the deleting walk left behind.
    const struct { const char* name; Names files; bool bResult; Names left; } cases[] = {
        {"cur_scr_alone_is_a_set", {"cur.scr"}, true, {}},
        {"upper_case_marker", {"HUB.SCR", "a.dat"}, true, {}},
        {"no_marker_fails_before_the_walk", {"a.dat", "b.dat"}, false, {"a.dat", "b.dat"}},
        {"lock_and_subdir", {"cur.scr", "inlock.dat", "sub/x", "INLOCK.DAT"}, true,
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
        MakeDefSet(defs, "src", 2024, 1, 1, 1, {"a.dat"});
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

TEST_F(FileSetsTest, OnlyANewerCompleteSetWillBeIntegrated)
{
    MakeDefSet(defs, "20240101.005", 2024, 1, 1, 5);
    WriteDefInfo(defs, "20240101.005", "");
    const struct { uint32_t nRev; bool bFull, bWill; DuResult code; } cases[] = {
        {6, true, true, DU_S_OK}, {5, true, false, DU_S_OK}, {7, false, false, DU_E_MISSING_FILES}};
    for (const auto& c : cases) {
        RemoveTree(src);
        MakeDefSet(defs, "src", 2024, 1, 1, c.nRev, {"a.dat"});
        if (!c.bFull)
            RemoveTree(src + "/a.dat");
        bool bWill = !c.bWill;
        EXPECT_EQ(c.code, du.WillIntegrateDirInternal(src.c_str(), &bWill)) << c.nRev;
        EXPECT_EQ(c.bWill, bWill) << c.nRev;
        EXPECT_EQ(DuSucceeded(c.code), du.WillIntegrateDir(src.c_str(), &bWill)) << c.nRev;
    }
}

TEST_F(FileSetsTest, ReadCatalogSectionGrowsTheBufferUpToOneMegabyte)
{
    // 2046 bytes look cut at the first buffer size and take one more read.
    for (size_t nBytes : {2046, 1048576 - 3, 1048576 - 2}) {
        // One item taking the odd bytes, then items of 11 bytes with their NUL.
        std::string list = "a=" + std::string(nBytes % 11 + 8, 'v') + '\0';
        for (int i = 1000000; list.size() < nBytes; ++i)
            list += std::to_string(i) + "=vv" + '\0';
        std::string file = sandbox.Path("catalog"), items = list;
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
}

}  // namespace
