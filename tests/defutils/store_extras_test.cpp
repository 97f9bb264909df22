// Store-manager operations the command line does not reach: the revision
// increment, dropping a configuration section, the integrate decision, the
// hub-only microdefs steps and the revert query.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>

#include "defutils/defutils.h"
#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/hub_set.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Lines;

uint32_t Revision(const std::string& file)
{
    std::string s = ReadTextFile(file);
    uint32_t r = 0;
    for (size_t i = 8; i-- > 4;) r = r << 8 | static_cast<unsigned char>(i < s.size() ? s[i] : 0);
    return r;
}

// Adds one to the revision of the chosen file only, without a range check,
// and keeps the file's times; a file without bytes fails. main: "" none.
TEST(IncrementDefVersion, AddsOneToTheChosenFileAndKeepsItsTimes)
{
    const std::tuple<const char*, const char*, bool, bool, uint32_t, uint32_t> rows[] = {
        {"Main", "7", false, true, 8, 50},           {"NoRangeCheck", "999", false, true, 1000, 50},
        {"Wraps", "4294967295", false, true, 0, 50}, {"TextFile", "7", true, true, 7, 51},
        {"EmptyFile", "empty", false, false, 0, 50}, {"Missing", "", false, false, 0, 50},
    };
    const time_t kOld = 999999990;  // a multiple of the 15 s the times are kept to
    Sandbox sandbox;
    for (const auto& [name, mainRev, bText, bResult, mainAfter, textAfter] : rows) {
        SCOPED_TRACE(name);
        const std::string dir = sandbox.Path(name), main = dir + "/virscan1.dat";
        const std::string text = dir + "/virscant.dat", changed = bText ? text : main;
        MakeDirs(dir);
        if (*mainRev != '\0')
            WriteTextFile(main, strcmp(mainRev, "empty") == 0
                                    ? ""
                                    : DefDateHeader(2024, 1, 2, std::stoul(mainRev)) + "body");
        WriteTextFile(text, DefDateHeader(2024, 1, 2, 50) + "body");
        struct timeval old[2] = {{kOld, 0}, {kOld, 0}};
        for (const std::string& file : {main, text}) utimes(file.c_str(), old);
        LogCapture log;
        CDefUtils du;
        du.AddLogCallback(&log);
        EXPECT_EQ(bResult, du.IncrementDefVersion(dir.c_str(), bText));
        du.RemoveLogCallback(&log);
        EXPECT_EQ(mainAfter, Revision(main));
        EXPECT_EQ(textAfter, Revision(text));
        struct stat st = {};
        EXPECT_TRUE(!bResult || (stat(changed.c_str(), &st) == 0 && st.st_mtime == kOld));
        EXPECT_TRUE(!bResult || ReadTextFile(changed).substr(32) == "body");
        ASSERT_FALSE(log.lines.empty());
        EXPECT_EQ((Lines{"CDefUtils::IncrementDefVersion( " + dir +
                             " ) to increment VIRSCAN revision number- start.\n",
                         "CDefUtils::IncrementDefVersion( " + dir +
                             " ) - end, returning: " + (bResult ? "success" : "failure") + ".\n"}),
                  (Lines{log.lines.front(), log.lines.back()}));
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
    for (const char* key : {"Gone", "Absent", static_cast<const char*>(nullptr)})
        du.RemoveEmptyKey(key);
    du.RemoveLogCallback(&log);
    EXPECT_EQ(ReadTextFile(sandbox.TarvolixConf()), before + "[Kept]\nc=3\n");
    EXPECT_EQ(log.lines, (Lines{"CDefUtils::RemoveEmptyKey(Gone) - returning void\n",
                                "CDefUtils::RemoveEmptyKey(Absent) - returning void\n",
                                "CDefUtils::RemoveEmptyKey(<null>) - returning void\n"}));
}

// Only a complete set newer than the newest one (or into a store without
// one) is integrated. day: of January 2024; the newest set is the 10th.
TEST(WillIntegrateDir, NewerAndCompleteOnly)
{
    const std::tuple<const char*, int, bool, bool, bool, bool, bool, DuResult> rows[] = {
        {"Older", 9, true, true, false, true, false, DU_S_OK},
        {"SameDate", 10, true, true, false, true, false, DU_S_OK},
        {"Newer", 11, true, true, false, true, true, DU_S_OK},
        {"NewerIncomplete", 11, true, false, false, false, false, DU_E_MISSING_FILES},
        {"NoNewestSet", 1, false, true, false, true, true, DU_S_OK},
        {"NullFlag", 11, true, true, true, false, true, DU_E_INVALID_PARAMETER},
    };
    for (const auto& [name, day, bStore, bComplete, bNullFlag, bResult, bWill, result] : rows) {
        SCOPED_TRACE(name);
        Sandbox sandbox;
        if (bStore) {
            WriteSet(sandbox.DefsDir() + "/20240110.005", SetLayout{DefDate{2024, 1, 10, 5}});
            WriteDefInfo(sandbox.DefsDir(), "20240110.005", "");
        }
        const std::string dir = sandbox.Root() + "/new";
        WriteSet(dir, SetLayout{DefDate{2024, 1, day, 5}, {{"a.dat", "a.dat"}}});
        if (!bComplete)
            unlink((dir + "/a.dat").c_str());
        CDefUtils du;
        bool bSeen = !bWill;
        EXPECT_EQ(bResult, du.WillIntegrateDir(dir.c_str(), bNullFlag ? nullptr : &bSeen));
        EXPECT_STREQ(CDefUtils::GetResultName(result), du.GetLastResultName());
        EXPECT_EQ(bWill, bNullFlag || bSeen);
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
    EXPECT_EQ(log.lines, Lines{"CDefUtils::RevertToLastGoodDefs() - start\n"});
    EXPECT_FALSE(PathExists(sandbox.DefsDir() + "/definfo.dat"));
}

}  // namespace
