// Store-manager operations the command line does not reach: the revision
// increment, dropping a configuration section, the integrate decision, the
// hub-only microdefs steps and the revert query.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "defutils/defutils.h"
#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/hub_set.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

uint32_t Revision(const std::string& file)
{
    std::string s = ReadTextFile(file);
    uint32_t r = 0;
    for (size_t i = 8; i-- > 4;) r = r << 8 | static_cast<unsigned char>(i < s.size() ? s[i] : 0);
    return r;
}

time_t ModTime(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

// The increment adds one to the revision of the chosen file only, without a
// range check, and keeps the file's times; a file without bytes fails.
TEST(IncrementDefVersion, AddsOneToTheChosenFileAndKeepsItsTimes)
{
    const struct {
        const char* name;
        const char* main;  // contents: "" none, "empty", or a revision
        bool bText;
        bool bResult;
        uint32_t mainAfter, textAfter;
    } rows[] = {
        {"Main", "7", false, true, 8, 50},           {"NoRangeCheck", "999", false, true, 1000, 50},
        {"Wraps", "4294967295", false, true, 0, 50}, {"TextFile", "7", true, true, 7, 51},
        {"EmptyFile", "empty", false, false, 0, 50}, {"Missing", "", false, false, 0, 50},
    };
    const time_t kOld = 999999990;  // a multiple of the 15 s the times are kept to
    Sandbox sandbox;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = sandbox.Path(row.name), main = dir + "/virscan1.dat";
        const std::string text = dir + "/virscant.dat";
        MakeDirs(dir);
        if (*row.main != '\0')
            WriteTextFile(main, strcmp(row.main, "empty") == 0
                                    ? ""
                                    : DefDateHeader(2024, 1, 2, std::stoul(row.main)) + "body");
        WriteTextFile(text, DefDateHeader(2024, 1, 2, 50) + "text body");
        struct timeval old[2] = {{kOld, 0}, {kOld, 0}};
        for (const std::string& file : {main, text}) utimes(file.c_str(), old);

        LogCapture log;
        CDefUtils du;
        du.AddLogCallback(&log);
        EXPECT_EQ(row.bResult, du.IncrementDefVersion(dir.c_str(), row.bText));
        du.RemoveLogCallback(&log);
        EXPECT_EQ(row.mainAfter, Revision(main));
        EXPECT_EQ(row.textAfter, Revision(text));
        const std::string changed = row.bText ? text : main;
        if (row.bResult) {
            EXPECT_EQ(ModTime(changed), kOld);
            EXPECT_EQ(ReadTextFile(changed).substr(32), row.bText ? "text body" : "body");
        }
        ASSERT_FALSE(log.lines.empty());
        EXPECT_EQ(log.lines.front(), "CDefUtils::IncrementDefVersion( " + dir +
                                         " ) to increment VIRSCAN revision number- start.\n");
        EXPECT_EQ(log.lines.back(),
                  "CDefUtils::IncrementDefVersion( " + dir +
                      " ) - end, returning: " + (row.bResult ? "success" : "failure") + ".\n");
    }
    EXPECT_FALSE(CDefUtils().IncrementDefVersion(nullptr, false));
}

// The whole section goes, whatever it holds; other sections stay.
TEST(RemoveEmptyKey, DeletesTheWholeSection)
{
    Sandbox sandbox;
    const std::string before = ReadTextFile(sandbox.TarvolixConf());
    WriteTextFile(sandbox.TarvolixConf(), before + "[Gone]\na=1\nb=2\n[Kept]\nc=3\n");
    LogCapture log;
    CDefUtils du;
    du.AddLogCallback(&log);
    du.RemoveEmptyKey("Gone");
    du.RemoveEmptyKey("Absent");
    du.RemoveEmptyKey(nullptr);
    du.RemoveLogCallback(&log);
    EXPECT_EQ(ReadTextFile(sandbox.TarvolixConf()), before + "[Kept]\nc=3\n");
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"CDefUtils::RemoveEmptyKey(Gone) - returning void\n",
                                        "CDefUtils::RemoveEmptyKey(Absent) - returning void\n",
                                        "CDefUtils::RemoveEmptyKey(<null>) - returning void\n"}));
}

// A downloaded set is integrated only when it is newer than the newest set
// (or the store has none) and complete.
TEST(WillIntegrateDir, NewerAndCompleteOnly)
{
    const struct {
        const char* name;
        int day;  // of January 2024; the newest set is the 10th, revision 5
        bool bStore, bComplete, bNullFlag;
        bool bResult, bWill;
        DuResult result;
    } rows[] = {
        {"Older", 9, true, true, false, true, false, DU_S_OK},
        {"SameDate", 10, true, true, false, true, false, DU_S_OK},
        {"Newer", 11, true, true, false, true, true, DU_S_OK},
        {"NewerIncomplete", 11, true, false, false, false, false, DU_E_MISSING_FILES},
        {"NoNewestSet", 1, false, true, false, true, true, DU_S_OK},
        {"NullFlag", 11, true, true, true, false, true, DU_E_INVALID_PARAMETER},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox sandbox;
        const std::string defs = sandbox.DefsDir();
        if (row.bStore) {
            WriteSet(defs + "/20240110.005", SetLayout{DefDate{2024, 1, 10, 5}});
            WriteDefInfo(defs, "20240110.005", "");
        }
        const std::string dir = sandbox.Root() + "/new";
        WriteSet(dir, SetLayout{DefDate{2024, 1, row.day, 5}, {{"a.dat", "a.dat"}}});
        if (!row.bComplete)
            unlink((dir + "/a.dat").c_str());
        CDefUtils du;
        bool bWill = !row.bWill;
        EXPECT_EQ(row.bResult, du.WillIntegrateDir(dir.c_str(), row.bNullFlag ? nullptr : &bWill));
        EXPECT_STREQ(CDefUtils::GetResultName(row.result), du.GetLastResultName());
        EXPECT_EQ(row.bWill, row.bNullFlag || bWill);
    }
}

// The hub-only pre step and the post step that loads the library by its
// fixed name: the channel, the out flags, and the clean-up either way.
TEST(MicroDefUpdate, HubOnlyStepsAroundTheClient)
{
    Sandbox sandbox;
    const std::string defs = sandbox.DefsDir();
    WriteHubSet(sandbox.Path("set"), SetDate{2020, 1, 10, 5});  // far more than ten months old
    ASSERT_EQ(0, RunCli({"-i", sandbox.Path("set")}).status);
    // Found only where the library is installed for the loader.
    void* pLibrary = dlopen("libpatchapp.so", RTLD_NOW);
    const bool bLibraryFound = pLibrary != nullptr;
    if (pLibrary != nullptr)
        dlclose(pLibrary);

    CDefUtils du;
    char hub[4095] = "x", version[4095] = "x";
    bool bFlag = false, bHubIsOk = false;
    ASSERT_TRUE(du.InitWindowsApp("Prod"));
    for (bool bProcess : {false, true}) {
        SCOPED_TRACE(bProcess);
        const size_t nVersion = bProcess ? 11 : sizeof version;  // a cut channel
        ASSERT_TRUE(du.PreMicroDefUpdate(hub, sizeof hub, version, nVersion, &bFlag, &bHubIsOk,
                                         DU_ONLINE_UPDATE));
        EXPECT_TRUE(bFlag && bHubIsOk);
        EXPECT_STREQ(version, bProcess ? "MicroDefsB" : "MicroDefsB.Old");
        EXPECT_EQ(std::string(hub).rfind(defs + "/tmp", 0), 0u) << hub;
        EXPECT_TRUE(PathExists(defs + "/sflock.dat"));

        LogCapture log;
        du.AddLogCallback(&log);
        DuResult expected = !bProcess || bLibraryFound ? DU_S_OK : DU_E_MISSING_PATCH_DLL;
        EXPECT_EQ(DuSucceeded(expected), du.PostMicroDefUpdate(nullptr, bProcess));
        EXPECT_EQ(expected, du.GetLastResult());
        du.RemoveLogCallback(&log);  // which records a result of its own
        EXPECT_TRUE(
            log.Has(std::string("CDefUtil::PostMicroDefUpdateInternal(pProgress:    (nil), ") +
                    "bProcess: " + (bProcess ? "true" : "false") +
                    ", szPatchDllName: libpatchapp.so) - start\n"));
        for (const std::string& name : ListDir(defs))
            EXPECT_TRUE(name.compare(0, 3, "tmp") != 0 && name != "sflock.dat") << name;
        bool bGood = false;
        EXPECT_TRUE(du.GetMicroDefLastUpdateValue(&bGood, DU_BINARY) && bGood);
    }
}

// Nothing sets the revert flag, so the query answers yes and does nothing.
TEST(RevertToLastGoodDefs, AnswersTrueAndDoesNothing)
{
    Sandbox sandbox;
    LogCapture log;
    CDefUtils du;
    du.AddLogCallback(&log);
    EXPECT_TRUE(du.RevertToLastGoodDefs());
    du.RemoveLogCallback(&log);
    EXPECT_EQ(log.lines, std::vector<std::string>{"CDefUtils::RevertToLastGoodDefs() - start\n"});
    EXPECT_FALSE(PathExists(sandbox.DefsDir() + "/definfo.dat"));
}

}  // namespace
