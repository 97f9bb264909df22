#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "tests/defutils/store_test_util.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

gid_t GroupOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
}

time_t MTimeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

class FileSetsTest : public SandboxTest {
protected:
    void SetUp() override
    {
        defs = sandbox.DefsDir();
        MakeDirs(defs);
        du.AddLogCallback(&log);
    }
    void TearDown() override { du.RemoveLogCallback(&log); }

    // Paths the walk handed to its operation, relative to dir.
    std::vector<std::string> Processed(const std::string& dir) const
    {
        std::vector<std::string> names;
        const std::string prefix = "Processing " + dir + "/";
        for (const std::string& line : log.lines)
            if (line.compare(0, prefix.size(), prefix) == 0)
                names.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 2));
        return names;
    }

    std::string defs;
    CDefUtils du;
    LogCapture log;
};

struct WalkCase {
    const char* name;
    std::vector<std::string> files;  // "-" alone: the directory does not exist
    bool bCheckSet;
    bool bResult;
    std::vector<std::string> processed;
};

TEST_F(FileSetsTest, AllFilesWalkSkipsDirectoriesAndTheIncomingLock)
{
    const WalkCase cases[] = {
        {"only_cur_scr_passes_check", {"cur.scr"}, true, true, {"cur.scr"}},
        {"upper_case_marker_passes_check", {"HUB.SCR", "a.dat"}, true, true, {"HUB.SCR", "a.dat"}},
        {"no_marker_fails_check", {"a.dat", "b.dat"}, true, false, {}},
        {"no_check_needs_no_marker", {"b.dat", "a.dat"}, false, true, {"a.dat", "b.dat"}},
        {"lock_and_subdir_skipped",
         {"virscan1.dat", "inlock.dat", "sub/x.dat", "INLOCK.DAT"},
         true,
         true,
         {"INLOCK.DAT", "virscan1.dat"}},
        {"empty_directory", {}, false, true, {}},
        {"missing_directory", {"-"}, false, false, {}},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = defs + "/walk";
        RemoveTree(dir);
        if (c.files != std::vector<std::string>{"-"})
            MakeDirs(dir);
        for (const std::string& f : c.files) {
            if (f == "-")
                continue;
            if (f.find('/') != std::string::npos)
                MakeDirs(dir + "/" + f.substr(0, f.rfind('/')));
            WriteTextFile(dir + "/" + f, f);
        }
        log.lines.clear();
        bool bAllDeleted = true;
        EXPECT_EQ(c.bResult, du.ProcessAllDefFiles(&CDefUtils::DeleteFileCallback, dir.c_str(),
                                                   &bAllDeleted, c.bCheckSet));
        EXPECT_EQ(c.processed, Processed(dir));
        EXPECT_TRUE(bAllDeleted);
        // A failed check stops before the listing is even started.
        EXPECT_EQ(!c.bResult && !c.bCheckSet,
                  log.Contains("Failed to retrieve the first file, returned false.\n"));
    }
}

TEST_F(FileSetsTest, CopyLowersTheNameKeepsTimesAndTakesTheDirectorysModeAndGroup)
{
    std::string src = defs + "/src", dst = defs + "/dst";
    WriteDefDateFile(src, 2024, 1, 2, 3, "VIRSCAN1.DAT");
    struct utimbuf times = {1000000000, 1100000000};
    utime((src + "/VIRSCAN1.DAT").c_str(), &times);
    MakeDirs(dst);
    chmod(dst.c_str(), 0775);

    DuCopyContext ctx = {};
    strcpy(ctx.szDestDir, dst.c_str());
    ctx.bOverwrite = true;
    ctx.bAllCopied = true;
    EXPECT_TRUE(du.CopyFilesCallback((src + "/VIRSCAN1.DAT").c_str(), &ctx));
    EXPECT_TRUE(ctx.bAllCopied);
    EXPECT_EQ((std::vector<std::string>{"virscan1.dat"}), ListDir(dst));
    EXPECT_EQ(DefDateHeader(2024, 1, 2, 3), ReadTextFile(dst + "/virscan1.dat"));
    EXPECT_EQ(1100000000, MTimeOf(dst + "/virscan1.dat"));
    EXPECT_EQ(0664, PathMode(dst + "/virscan1.dat"));
    EXPECT_EQ(sandbox.GroupId(), GroupOf(dst + "/virscan1.dat"));
}

struct CopyCase {
    const char* name;
    const char* existing;  // name of the file already in the destination
    bool bOverwrite;
    bool bSourceExists;
    bool bResult;
    const char* destContents;  // after the copy; null: no file
};

TEST_F(FileSetsTest, CopyOntoAnExistingFileDependsOnOverwrite)
{
    const CopyCase cases[] = {
        // Overwrite finds the existing file whatever its case and replaces it.
        {"overwrite_replaces", "a.dat", true, true, true, "new"},
        {"overwrite_replaces_other_case", "A.DAT", true, true, true, "new"},
        {"keep_existing_goes_on", "a.dat", false, true, true, "old"},
        {"overwrite_missing_source_stops", "a.dat", true, false, false, nullptr},
    };
    std::string src = defs + "/src", dst = defs + "/dst";
    for (const CopyCase& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(src);
        RemoveTree(dst);
        MakeDirs(src);
        MakeDirs(dst);
        if (c.bSourceExists)
            WriteTextFile(src + "/a.dat", "new");
        WriteTextFile(dst + "/" + c.existing, "old");
        DuCopyContext ctx = {};
        strcpy(ctx.szDestDir, dst.c_str());
        ctx.bOverwrite = c.bOverwrite;
        ctx.bSecondFlag = true;
        ctx.bAllCopied = true;
        EXPECT_EQ(c.bResult, du.CopyFilesCallback((src + "/a.dat").c_str(), &ctx));
        EXPECT_EQ(c.bOverwrite && c.bSourceExists, ctx.bAllCopied);
        std::vector<std::string> names = ListDir(dst);
        if (c.destContents == nullptr) {
            EXPECT_TRUE(names.empty());
        } else {
            ASSERT_EQ(1u, names.size());
            EXPECT_EQ(c.destContents, ReadTextFile(dst + "/" + names[0]));
        }
    }
}

TEST_F(FileSetsTest, CopyWalkWithoutOverwriteCarriesOnPastExistingFiles)
{
    std::string src = MakeDefSet(defs, "src", 2024, 1, 1, 1, {"a.dat", "b.dat"});
    std::string dst = defs + "/dst";
    MakeDirs(dst);
    WriteTextFile(dst + "/a.dat", "old");
    DuCopyContext ctx = {};
    strcpy(ctx.szDestDir, dst.c_str());
    ctx.bSecondFlag = true;
    ctx.bAllCopied = true;
    EXPECT_TRUE(du.ProcessAllDefFiles(&CDefUtils::CopyFilesCallback, src.c_str(), &ctx, true));
    EXPECT_FALSE(ctx.bAllCopied);
    EXPECT_EQ((std::vector<std::string>{"a.dat", "b.dat", "catalog.dat", "virscan1.dat"}),
              ListDir(dst));
    EXPECT_EQ("old", ReadTextFile(dst + "/a.dat"));
    EXPECT_EQ("b.dat", ReadTextFile(dst + "/b.dat"));
}

struct CatalogCase {
    const char* name;
    bool bCatalog;
    std::vector<CatalogSection> sections;
    DuResult expected;
    const char* firstMissing;  // relative to the set; "" for none
};

TEST_F(FileSetsTest, CatalogWalkCleansEntriesAndReportsTheFirstMissingFile)
{
    const CatalogCase cases[] = {
        {"complete", true, {{"Files", {"virscan1.dat", "a.dat"}}}, DU_S_OK, ""},
        {"directories_case_and_crlf", true,
         {{"Files", {"  some/dir/A.DAT \r", "x\\y/VIRSCAN1.DAT"}}}, DU_S_OK, ""},
        {"missing_file", true, {{"Files", {"a.dat", "gone.dat", "b.dat"}}}, DU_E_GENERAL,
         "gone.dat"},
        {"blank_line_ends_list", true, {{"Files", {"a.dat", "", "gone.dat"}}}, DU_S_OK, ""},
        {"no_files_section", true, {{"Cleanup Files", {"a.dat"}}}, DU_E_FILE_FORMAT, ""},
        {"empty_files_section", true, {{"Files", {}}}, DU_E_FILE_FORMAT, ""},
        {"no_catalog", false, {}, DU_E_MISSING_CATALOG_FILE, ""},
    };
    std::string set = defs + "/set";
    for (const CatalogCase& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(set);
        MakeSet(defs, "set", 2024, 1, 1, 1);
        WriteTextFile(set + "/a.dat", "a");
        if (c.bCatalog)
            WriteCatalog(set, c.sections);
        char missing[DU_MAX_PATH] = {};
        EXPECT_EQ(c.expected, du.ProcessCatalogFiles(&CDefUtils::FileExistsCallback, set.c_str(),
                                                     "Files", missing, nullptr));
        EXPECT_EQ(*c.firstMissing != '\0' ? set + "/" + c.firstMissing : "", missing);
        EXPECT_EQ(DuSucceeded(c.expected), du.AllDefsArePresent(set.c_str()));
    }
}

TEST_F(FileSetsTest, HubFilesAreListedByTheBinaryHubsCatalog)
{
    std::string hub = defs + "/binhub", dir = defs + "/download";
    CDefUtils noHub;
    EXPECT_FALSE(noHub.AllHubFilesArePresent(dir.c_str(), DU_BINARY));

    WriteCatalog(hub, {{"Binary Hub Files - Linux", {"l.dat"}},
                       {"Binary Hub Files - Common", {"c.dat"}},
                       {"Text Hub Files", {"t.dat"}}});
    MakeDirs(dir);
    WriteTextFile(dir + "/l.dat", "l");
    WriteTextFile(dir + "/t.dat", "t");
    EXPECT_FALSE(du.AllHubFilesArePresent(dir.c_str(), DU_BINARY)) << "common file missing";
    EXPECT_TRUE(du.AllHubFilesArePresent(dir.c_str(), DU_TEXT));
    WriteTextFile(dir + "/c.dat", "c");
    EXPECT_TRUE(du.AllHubFilesArePresent(dir.c_str(), DU_BINARY));
}

struct IntegrateCase {
    const char* name;
    int nYear;
    uint32_t nRev;
    bool bComplete;
    DuResult expected;
    bool bWillIntegrate;
};

TEST_F(FileSetsTest, OnlyANewerCompleteSetWillBeIntegrated)
{
    MakeDefSet(defs, "20240101.005", 2024, 1, 1, 5);
    WriteTextFile(defs + "/definfo.dat", "[DefDates]\nCurDefs=20240101.005\n");
    const IntegrateCase cases[] = {
        {"newer_complete", 2024, 6, true, DU_S_OK, true},
        {"same_date", 2024, 5, true, DU_S_OK, false},
        {"older", 2023, 9, true, DU_S_OK, false},
        {"newer_incomplete", 2025, 1, false, DU_E_MISSING_FILES, false},
    };
    for (const IntegrateCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dl = defs + "/tmpdl";
        RemoveTree(dl);
        MakeDefSet(defs, "tmpdl", c.nYear, 1, 1, c.nRev, {"a.dat"});
        if (!c.bComplete)
            RemoveTree(dl + "/a.dat");
        bool bWill = !c.bWillIntegrate;
        EXPECT_EQ(c.expected, du.WillIntegrateDirInternal(dl.c_str(), &bWill));
        EXPECT_EQ(c.bWillIntegrate, bWill);
        EXPECT_EQ(DuSucceeded(c.expected), du.WillIntegrateDir(dl.c_str(), &bWill));
        EXPECT_EQ(c.expected, du.GetLastResult());
    }
}

TEST_F(FileSetsTest, EmptinessTests)
{
    std::string dir = defs + "/d";
    EXPECT_TRUE(du.DirIsEmpty(dir.c_str())) << "missing directory";
    MakeDirs(dir);
    EXPECT_TRUE(du.DirIsEmpty(dir.c_str()));
    WriteTextFile(dir + "/.hidden", "");
    MakeDirs(dir + "/.git");
    EXPECT_TRUE(du.DirIsEmpty(dir.c_str())) << "only dot names";
    MakeDirs(dir + "/sub");
    EXPECT_FALSE(du.DirIsEmpty(dir.c_str())) << "a subdirectory counts";
    EXPECT_TRUE(du.DirIsEmpty(nullptr));

    std::string file = defs + "/usage.dat";
    EXPECT_TRUE(du.DataFileIsEmpty(file.c_str()));
    EXPECT_TRUE(du.SectionIsEmpty("S", file.c_str()));
    WriteTextFile(file, "; nothing\n");
    EXPECT_TRUE(du.DataFileIsEmpty(file.c_str()));
    WriteTextFile(file, "[S]\n[T]\napp=1\n");
    EXPECT_FALSE(du.DataFileIsEmpty(file.c_str()));
    EXPECT_TRUE(du.SectionIsEmpty("S", file.c_str()));
    EXPECT_FALSE(du.SectionIsEmpty("t", file.c_str())) << "section names ignore case";
    EXPECT_TRUE(du.SectionIsEmpty("U", file.c_str()));
}

}  // namespace
