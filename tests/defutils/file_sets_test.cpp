// A store object and the sets on disk: header dates, walks, copies, catalogs,
// result names, logging, and ownership of what it creates.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "defutils/defutils.h"
#include "defutils/ownership_internal.h"
#include "defutils/store_internal.h"
#include "tests/defutils/defutils_test_access.h"
#include "tests/support/def_sets.h"
#include "tests/support/log_capture.h"
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
    };
    for (const auto& [name, header, date, file, bText] : cases) {
        MakeDirs(sandbox.Path(name));
        WriteTextFile(sandbox.Path(name) + "/" + file, header);
        EXPECT_EQ(date, DateOf(sandbox.Path(name), bText)) << name;
    }
    for (SetDate bad : {SetDate{1999, 1, 1, 1}, SetDate{2101, 1, 1, 1}, SetDate{2020, 0, 1, 1},
                        SetDate{2020, 13, 1, 1}, SetDate{2020, 1, 0, 1}, SetDate{2020, 1, 32, 1},
                        SetDate{2020, 1, 1, 1000}}) {  // each field just outside its range
        WriteDefDateFile(sandbox.Path("bad"), bad.year, bad.month, bad.day, bad.rev);
        EXPECT_EQ(kBad, DateOf(sandbox.Path("bad"), false)) << bad.DirName();
    }
    MakeDirs(sandbox.Path("dir/virscan1.dat"));  // opens, but reading fails
    EXPECT_EQ("DU_E_VIRSCAN1_READ 7-7-7.7", DateOf(sandbox.Path("dir"), false));
    char szName[16] = "";
    EXPECT_FALSE(du.CreateDefDirName(sandbox.Path("bad").c_str(), szName, 16, false));
    EXPECT_TRUE(du.CreateDefDirName(sandbox.Path("upper_bounds").c_str(), szName, 16, false));
    EXPECT_STREQ("21001231.999", szName);
}

// Revisions order sets of one date; an unreadable side counts as older. Each
// flag picks its own side's text file: set 2's newer one must not be read.
TEST_F(FileSetsTest, DefsAreNewerComparesAndReadsEachSidesOwnFile)
{
    const std::string one = sandbox.Path("one"), two = sandbox.Path("two"), bad = sandbox.Path("x");
    WriteDefDateFile(one, 2020, 6, 15, 499);
    WriteDefDateFile(two, 2020, 6, 15, 500);
    WriteDefDateFile(bad, 2020, 6, 15, 500, "x");
    EXPECT_FALSE(du.DefsAreNewerOrSameAge(one.c_str(), two.c_str()));
    EXPECT_TRUE(du.DefsAreNewerOrSameAge(two.c_str(), two.c_str()));
    EXPECT_TRUE(du.DefsAreNewer(one.c_str(), bad.c_str(), false, false));
    EXPECT_FALSE(du.DefsAreNewerOrSameAge(bad.c_str(), one.c_str()));
    WriteDefDateFile(one, 2030, 1, 1, 1, "virscant.dat");
    WriteDefDateFile(two, 2031, 1, 1, 1, "virscant.dat");
    EXPECT_TRUE(du.DefsAreNewer(one.c_str(), two.c_str(), true, false));
}

using StoreObjectTest = SandboxTest;

TEST_F(StoreObjectTest, LogFileNamesLinksAndRestartBeyondOneMegabyte)
{
    const char* names[][2] = {{"mylog", "mylog.log"},
                              {"A.TXT", "A.TXT"},
                              {"c.LoG", "c.LoG"},
                              {"/var/tmp/run.log", "run.log"},
                              {"trace.out", "trace.out.log"}};
    for (const auto& [name, file] : names) {  // configured, then the file it gives
        sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=" + std::string(name));
        CDefUtils();  // opens the log, then closes it
        const std::string path = sandbox.DefsDir() + "/" + file;
        EXPECT_EQ(0660, PathMode(path)) << name;
        EXPECT_NE(std::string::npos, ReadTextFile(path).find("\n\n" + std::string(74, '+') +
                                                             "\n\n       Logging Started @ "))
            << name;
    }
    sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=mylog\n");
    const std::string log = sandbox.DefsDir() + "/mylog.log", target = sandbox.Path("target");
    WriteTextFile(target, "precious", 0600);
    for (const std::string& to : {target, sandbox.Path("dangling")}) {
        unlink(log.c_str());
        ASSERT_EQ(0, symlink(to.c_str(), log.c_str()));
        EXPECT_FALSE(CDefUtilsTestAccess::LogOpen(CDefUtils())) << to;
    }
    EXPECT_EQ("precious", ReadTextFile(target));
    EXPECT_EQ(0600, PathMode(target));
    EXPECT_FALSE(PathExists(sandbox.Path("dangling")));
    unlink(log.c_str());
    for (size_t nSize : {1048576, 1048577}) {
        const std::string old(nSize, 'o');
        WriteTextFile(log, old);
        CDefUtils();  // opens the log, then closes it
        const std::string now = ReadTextFile(log);
        EXPECT_EQ(nSize == 1048576, now.size() > nSize && now.compare(0, nSize, old) == 0) << nSize;
    }
}

TEST(ResultNames, OnlyTheTableCodesHaveNamesAndCopiesAreCutAndTerminated)
{
    for (DuResult code = 0; code < 1000; ++code) {
        std::string name = CDefUtils::GetResultName(code);
        EXPECT_EQ(code < 6 || (code >= 32 && code < 60), !name.empty()) << code;
        EXPECT_EQ(std::wstring(name.begin(), name.end()), CDefUtils::GetResultNameW(code)) << code;
    }
    const std::tuple<DuResult, int, bool, const char*> cases[] = {
        {6, 32, false, "unchanged"},  {DU_S_OK, 0, true, "unchanged"}, {DU_S_OK, 1, true, ""},
        {DU_S_OK, 7, true, "DU_S_O"}, {DU_S_OK, 8, true, "DU_S_OK"},
    };
    for (const auto& [code, size, bOk, text] : cases) {
        char buf[32] = "unchanged";
        EXPECT_EQ(bOk, CDefUtils::CopyResultName(code, buf, size)) << code << "/" << size;
        EXPECT_STREQ(text, buf) << code << "/" << size;
    }
}

// Five slots; removal frees the first slot holding a callback. Lines are cut at 8191 characters.
TEST(LogCallbacks, FiveSlotsAndLinesCutAt8191Characters)
{
    Sandbox sandbox;
    LogCapture cb[6];
    CDefUtils du;
    for (int i : {0, 1, 0, 2, 3}) EXPECT_EQ(DU_S_OK, du.AddLogCallback(&cb[i]));
    EXPECT_EQ(DU_E_LOG_CALLBACKS_FULL, du.AddLogCallback(&cb[4]));
    EXPECT_EQ(DU_S_OK, du.RemoveLogCallback(&cb[0]));
    EXPECT_EQ(DU_S_OK, du.AddLogCallback(&cb[4]));
    EXPECT_EQ(DU_E_MISSING_LOG_CALLBACK, du.RemoveLogCallback(&cb[5]));
    du.WriteLog("value %d of %s", 7, "x");
    for (int i : {0, 1, 2, 3, 4})
        EXPECT_EQ(std::vector<std::string>{"value 7 of x"}, cb[i].lines) << i;  // no newline added
    char szPrefix[32];
    const size_t nPrefix = snprintf(szPrefix, sizeof szPrefix, "%p ", static_cast<void*>(&du));
    for (size_t nLength : {8190, 8191, 8192}) {
        du.WriteLog("%s", std::string(nLength - nPrefix, 'y').c_str());
        EXPECT_EQ(std::min<size_t>(nLength, 8191) - nPrefix, cb[1].lines.back().size()) << nLength;
    }
    for (int i : {1, 2, 3, 4}) du.RemoveLogCallback(&cb[i]);
}

// Fake group database: ERANGE until the buffer reaches g_nFitsAt bytes.
size_t g_nFitsAt = 0;
std::string g_sizesSeen;

int LargeGroupLookup(const char* pszName, struct group* pGroup, char* pBuffer, size_t nSize,
                     struct group** ppResult)
{
    g_sizesSeen += std::to_string(nSize / 1024) + "k ";
    *ppResult = nullptr;
    return nSize < g_nFitsAt ? ERANGE : getgrnam_r(pszName, pGroup, pBuffer, nSize, ppResult);
}

class OwnershipTest : public SandboxTest {
protected:
    void TearDown() override
    {
        du.RemoveLogCallback(&log);
        SetGroupLookupForTesting(nullptr);
    }
    CDefUtils du;
    LogCapture log;
};

// Buffers double up to 1 MiB. A walk looks the group up once, yet logs for
// every file exactly what a look-up of its own would; a lone call looks again.
TEST_F(OwnershipTest, LargeGroupEntriesAreRetriedUpToOneMegabyteOncePerWalk)
{
    const std::string src = sandbox.Path("src"), dst = sandbox.Path("dst");
    const std::string kPrefix = "CDefUtils::ChangeUnixOwner() - ";
    MakeDirs(src);
    struct utimbuf times = {1000000000, 1100000000};
    for (int i = 0; i < 5; ++i) {
        WriteTextFile(src + "/F" + std::to_string(i) + ".DAT", "x");
        utime((src + "/F" + std::to_string(i) + ".DAT").c_str(), &times);
    }
    SetGroupLookupForTesting(LargeGroupLookup);
    du.AddLogCallback(&log);
    for (size_t nFitsAt : {1024, 4096, 1048576, 1048577}) {
        SCOPED_TRACE(nFitsAt);
        const bool bFits = nFitsAt <= 1048576;
        std::string sizes = "1k ";
        std::vector<std::string> perFile;  // ChangeUnixOwner lines after "for file"
        for (size_t n = 2048; n <= std::min<size_t>(nFitsAt, 1048576); n *= 2) {
            sizes += std::to_string(n / 1024) + "k ";
            perFile.insert(perFile.end(), {"getgrnam_r returned ERANGE.\n",
                                           "retry with bufsize " + std::to_string(n) + ".\n"});
        }
        if (bFits)
            perFile.push_back("returning success.\n");
        else
            perFile.insert(perFile.end(),
                           {"avdefs group doesn't exist - failure\n", "returning failure.\n"});
        RemoveTree(dst);
        MakeDirs(dst);
        g_nFitsAt = nFitsAt;
        g_sizesSeen.clear();
        log.lines.clear();
        // A group that never fits counts as missing: the copies keep theirs and the walk goes on.
        DuCopyContext ctx = {{}, true, true, true};
        snprintf(ctx.szDestDir, sizeof ctx.szDestDir, "%s", dst.c_str());
        EXPECT_TRUE(du.ProcessAllDefFiles(&CDefUtils::CopyFilesCallback, src.c_str(), &ctx, false));
        EXPECT_EQ(sizes, g_sizesSeen);
        // Each file's lines, as if it had looked the group up itself.
        for (const std::string& line : perFile)
            EXPECT_EQ(5 * std::count(perFile.begin(), perFile.end(), line),
                      std::count(log.lines.begin(), log.lines.end(), kPrefix + line))
                << line;
        // Copies take lower-case names and the source's times.
        EXPECT_EQ((Names{"f0.dat", "f1.dat", "f2.dat", "f3.dat", "f4.dat"}), ListDir(dst));
        const std::string file = dst + "/f0.dat";
        struct stat st = {};
        EXPECT_EQ(1100000000, stat(file.c_str(), &st) == 0 ? st.st_mtime : 0);
        chmod(file.c_str(), 0600);
        g_sizesSeen.clear();
        EXPECT_EQ(bFits, du.ChangeUnixOwner(file.c_str(), 0770, false));
        EXPECT_EQ(bFits, du.ChangeUnixOwner(file.c_str(), 0770, false));
        EXPECT_EQ(bFits ? 0660 : 0600, PathMode(file));
        EXPECT_EQ(sizes + sizes, g_sizesSeen);
    }
}

TEST_F(OwnershipTest, FilesNeverBecomeExecutableAndNewDirectoriesGetTheGroupOrGo)
{
    gid_t gid = UseDistinctStoreGroup(&sandbox);
    for (unsigned int nMode : {0775, 04770}) {
        std::string path = sandbox.Path(std::to_string(nMode));
        WriteTextFile(path, "x", 0600);
        EXPECT_TRUE(du.ChangeUnixOwner(path.c_str(), nMode, false));
        EXPECT_EQ(nMode == 0775 ? 0664 : 0660, PathMode(path)) << nMode;
        EXPECT_EQ(gid, PathGroup(path));
    }
    // Without the group a new directory fails its ownership change and goes again.
    sandbox.SetGroupName("qdu-no-such-group-7f3a");
    EXPECT_FALSE(du.CreateFullPath(sandbox.Path("store/virusdefs").c_str(), true, false));
    EXPECT_FALSE(PathExists(sandbox.Path("store")));
    EXPECT_TRUE(du.CreateFullPath(sandbox.Path("store/virusdefs").c_str(), false, false));
}

}  // namespace
