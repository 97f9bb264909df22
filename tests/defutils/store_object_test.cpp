// A store object: its store and names, result names, logging, ownership of what it creates.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "defutils/defutils.h"
#include "defutils/ownership_internal.h"
#include "defutils/store_internal.h"
#include "tests/defutils/defutils_test_access.h"
#include "tests/support/def_sets.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

using Access = CDefUtilsTestAccess;
using StoreObjectTest = SandboxTest;

TEST_F(StoreObjectTest, ConstructionAndInitChooseTheStoreAndKeepOnlyAnExistingAppDir)
{
    gid_t gid = UseDistinctStoreGroup(&sandbox);
    CDefUtils du;
    for (const std::string& dir : {sandbox.BaseDir(), sandbox.DefsDir()}) {
        EXPECT_EQ(0770, PathMode(dir)) << dir;
        EXPECT_EQ(gid, PathGroup(dir)) << dir;
    }
    EXPECT_TRUE(du.InitBase("MyType"));
    EXPECT_EQ(sandbox.BaseDir() + "/tvlxdata/mytype", Access::DefsDir(du));
    EXPECT_TRUE(du.InitBase(""));
    EXPECT_EQ(sandbox.DefsDir(), Access::DefsDir(du));
    MakeDirs(sandbox.Path("app"));
    EXPECT_TRUE(du.InitInstallApp("QORDefUtil", sandbox.Path("app/").c_str()));
    EXPECT_EQ(sandbox.Path("app"), Access::InstallDir(du));
    EXPECT_TRUE(du.InitInstallApp("QORDefUtil", sandbox.Path("noapp").c_str()));
    EXPECT_EQ("<null>", Access::InstallDir(du));
    EXPECT_FALSE(du.InitWindowsApp(""));
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.GetLastResult());
}

TEST_F(StoreObjectTest, LogFileNamesLinksAndRestartBeyondOneMegabyte)
{
    const std::pair<const char*, const char*> names[] = {{"mylog", "mylog.log"},
                                                         {"A.TXT", "A.TXT"},
                                                         {"c.LoG", "c.LoG"},
                                                         {"/var/tmp/run.log", "run.log"},
                                                         {"trace.out", "trace.out.log"}};
    for (const auto& [name, file] : names) {
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
        EXPECT_FALSE(Access::LogOpen(CDefUtils())) << to;
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
    const struct {
        DuResult code;
        int size;
        bool bOk;
        const char* buffer;
    } cases[] = {
        {6, 32, false, "unchanged"},  {DU_S_OK, 0, true, "unchanged"}, {DU_S_OK, 1, true, ""},
        {DU_S_OK, 7, true, "DU_S_O"}, {DU_S_OK, 8, true, "DU_S_OK"},
    };
    for (const auto& c : cases) {
        char buf[32] = "unchanged";
        EXPECT_EQ(c.bOk, CDefUtils::CopyResultName(c.code, buf, c.size)) << c.code << "/" << c.size;
        EXPECT_STREQ(c.buffer, buf) << c.code << "/" << c.size;
    }
}

// What Recorders saw: "<id>+<line>" when g_logFile already ended with the line, else "<id>:".
std::vector<std::string> g_lines;
std::string g_logFile;
int g_nRecorders = 0;

struct Recorder : CDefUtils::CLogCallback {
    int id = g_nRecorders++;
    void OnLogLine(const char* psz) override
    {
        std::string text = ReadTextFile(g_logFile), line = psz;
        bool bInFile = text.size() >= line.size() && text.substr(text.size() - line.size()) == line;
        g_lines.push_back(std::to_string(id) + (bInFile ? "+" : ":") + line);
    }
};

TEST(LogCallbacks, FiveSlotsInOrderAfterTheFileAndLinesCutAt8191Characters)
{
    Sandbox sandbox;
    sandbox.WriteDefutilsConf("[defutillog]\ndefutillog_name=trace.log\n");
    g_logFile = sandbox.DefsDir() + "/trace.log";
    Recorder cb[6];  // ids 0 to 5
    CDefUtils du;
    char szPrefix[32];
    snprintf(szPrefix, sizeof szPrefix, "%p ", static_cast<void*>(&du));
    for (int i : {0, 1, 0, 2, 3}) EXPECT_EQ(DU_S_OK, du.AddLogCallback(&cb[i]));
    EXPECT_EQ(DU_E_LOG_CALLBACKS_FULL, du.AddLogCallback(&cb[4]));
    // Removal frees the first slot holding the callback; a new one goes last.
    EXPECT_EQ(DU_S_OK, du.RemoveLogCallback(&cb[0]));
    EXPECT_EQ(DU_S_OK, du.AddLogCallback(&cb[4]));
    g_lines.clear();
    du.WriteLog("value %d of %s", 7, "x");
    const std::string l = szPrefix + std::string("value 7 of x");  // no newline added
    EXPECT_EQ((decltype(g_lines){"1+" + l, "0+" + l, "2+" + l, "3+" + l, "4+" + l}), g_lines);
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.AddLogCallback(nullptr));
    EXPECT_EQ(DU_E_INVALID_PARAMETER, du.RemoveLogCallback(nullptr));
    EXPECT_EQ(DU_E_MISSING_LOG_CALLBACK, du.RemoveLogCallback(&cb[5]));
    for (size_t nLength : {8190, 8191, 8192}) {
        g_lines.clear();
        du.WriteLog("%s", std::string(nLength - strlen(szPrefix), 'y').c_str());
        EXPECT_EQ(std::min<size_t>(nLength, 8191) + 2, g_lines.at(0).size()) << nLength;
    }
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
    for (int i = 0; i < 5; ++i) WriteTextFile(src + "/f" + std::to_string(i) + ".dat", "x");
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
        int nFiles = 0;
        for (size_t i = 0; i < log.lines.size(); ++i) {
            if (log.lines[i].rfind(kPrefix + "for file", 0) != 0)
                continue;
            ++nFiles;
            std::vector<std::string> seen;
            for (size_t j = i + 1; j < log.lines.size() && seen.size() < perFile.size(); ++j)
                seen.push_back(
                    log.lines[j].substr(log.lines[j].rfind(kPrefix, 0) == 0 ? kPrefix.size() : 0));
            EXPECT_EQ(perFile, seen) << log.lines[i];
        }
        EXPECT_EQ(5, nFiles);

        const std::string file = dst + "/f0.dat";
        chmod(file.c_str(), 0600);
        g_sizesSeen.clear();
        EXPECT_EQ(bFits, du.ChangeUnixOwner(file.c_str(), 0770, false));
        EXPECT_EQ(bFits, du.ChangeUnixOwner(file.c_str(), 0770, false));
        EXPECT_EQ(bFits ? 0660 : 0600, PathMode(file));
        EXPECT_EQ(sizes + sizes, g_sizesSeen);
    }
}

TEST_F(OwnershipTest, FilesNeverBecomeExecutableAndNewParentsGetModesOrNothing)
{
    gid_t gid = UseDistinctStoreGroup(&sandbox);
    for (unsigned int nMode : {0775, 04770}) {
        std::string path = sandbox.Path(std::to_string(nMode));
        WriteTextFile(path, "x", 0600);
        EXPECT_TRUE(du.ChangeUnixOwner(path.c_str(), nMode, false));
        EXPECT_EQ(nMode == 0775 ? 0664 : 0660, PathMode(path)) << nMode;
        EXPECT_EQ(gid, PathGroup(path));
    }
    const struct {
        const char* name;
        bool bOwn, bParentMode;
        mode_t nTop;
        int nMode;
    } cases[] = {
        {"owned_default_mode", true, false, 0755, 0770},
        {"owned_parent_mode_sticky", true, true, 01750, 0750},
        {"not_owned_ignores_parent", false, true, 0700, 0755},
    };
    for (const auto& c : cases) {
        std::string top = sandbox.Path(c.name);
        MakeDirs(top);
        chmod(top.c_str(), c.nTop);
        EXPECT_TRUE(du.CreateFullPath((top + "/a/b").c_str(), c.bOwn, c.bParentMode)) << c.name;
        EXPECT_EQ(static_cast<int>(c.nTop), PathMode(top)) << "existing parent untouched";
        for (const std::string& dir : {top + "/a", top + "/a/b"}) {
            EXPECT_EQ(c.nMode, PathMode(dir)) << dir;
            EXPECT_EQ(c.bOwn ? gid : PathGroup(top), PathGroup(dir)) << dir;
        }
    }
    // Without the group a new directory fails its ownership change and goes again.
    sandbox.SetGroupName("qdu-no-such-group-7f3a");
    EXPECT_FALSE(du.CreateFullPath(sandbox.Path("store/virusdefs").c_str(), true, false));
    EXPECT_FALSE(PathExists(sandbox.Path("store")));
    EXPECT_TRUE(du.CreateFullPath(sandbox.Path("store/virusdefs").c_str(), false, false));
}

}  // namespace
