// Store-manager operations the command line does not reach, or not in every
// case: the revision increment, dropping a configuration section, the integrate
// decision, the microdefs steps and channel, and the revert query.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>

#include "defutils/defutils.h"
#include "tests/support/cli_runner.h"
#include "tests/support/def_sets.h"
#include "tests/support/full_sets.h"
#include "tests/support/hub_set.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Lines;

// Adds one to the revision of the chosen file only, without a range check,
// and keeps the file's times; a file without bytes fails. main: the main
// file's revision (-1: no file, -2: an empty one).
TEST(IncrementDefVersion, AddsOneToTheChosenFileAndKeepsItsTimes)
{
    const std::tuple<const char*, long long, bool, bool, uint32_t, uint32_t> rows[] = {
        {"Main", 7, false, true, 8, 50},           {"NoRangeCheck", 999, false, true, 1000, 50},
        {"Wraps", 4294967295, false, true, 0, 50}, {"TextFile", 7, true, true, 7, 51},
        {"EmptyFile", -2, false, false, 0, 50},    {"Missing", -1, false, false, 0, 50},
    };
    const time_t kOld = 999999990;  // a multiple of the 15 s the times are kept to
    Sandbox sandbox;
    for (const auto& [name, nMain, bText, bResult, mainAfter, textAfter] : rows) {
        SCOPED_TRACE(name);
        const std::string dir = sandbox.Path(name), main = dir + "/virscan1.dat";
        const std::string text = dir + "/virscant.dat", changed = bText ? text : main;
        MakeDirs(dir);
        if (nMain != -1)
            WriteTextFile(main, nMain == -2 ? "" : DefDateHeader(2024, 1, 2, nMain) + "body");
        WriteTextFile(text, DefDateHeader(2024, 1, 2, 50) + "body");
        struct timeval old[2] = {{kOld, 0}, {kOld, 0}};
        for (const std::string& file : {main, text}) utimes(file.c_str(), old);
        LogCapture log;
        CDefUtils du;
        du.AddLogCallback(&log);
        EXPECT_EQ(bResult, du.IncrementDefVersion(dir.c_str(), bText));
        du.RemoveLogCallback(&log);
        EXPECT_EQ(nMain < 0 ? "" : DefDateHeader(2024, 1, 2, mainAfter) + "body",
                  ReadTextFile(main));
        EXPECT_EQ(DefDateHeader(2024, 1, 2, textAfter) + "body", ReadTextFile(text));
        struct stat st = {};
        EXPECT_TRUE(!bResult || (stat(changed.c_str(), &st) == 0 && st.st_mtime == kOld));
        const std::string kStart = "CDefUtils::IncrementDefVersion( " + dir + " )";
        EXPECT_EQ(kStart + " to increment VIRSCAN revision number- start.\n", log.lines.at(0));
        EXPECT_EQ(kStart + " - end, returning: " + (bResult ? "success" : "failure") + ".\n",
                  log.lines.at(log.lines.size() - 1));
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
            WriteSet(sandbox.DefsDir() + "/20240110.005", SetLayout{SetDate{2024, 1, 10, 5}});
            WriteDefInfo(sandbox.DefsDir(), "20240110.005", "");
        }
        const std::string dir = sandbox.Root() + "/new";
        WriteSet(dir, SetLayout{SetDate{2024, 1, day, 5}, {{"a.dat", "a.dat"}}});
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

// A set names its hub channel by month up to ten months back; older, or
// from the future, it is "Old". A month outside 1..12 is refused only when
// the age arithmetic lands within the ten months.
TEST(MicroDefChannel, MonthUpToTenMonthsOldThenOld)
{
    const std::tuple<int, int, const char*, const char*> rows[] = {
        // null: refused
        {2024, 6, "20240615.001", "Jun"},    {2024, 6, "20230815.001", "Aug"},
        {2024, 6, "20230715.001", "Old"},    {2024, 6, "20240715.001", "Old"},
        {2025, 1, "20241215.001", "Dec"},    {2025, 1, "20240315.001", "Mar"},
        {2025, 1, "20240215.001", "Old"},    {2024, 12, "20250001.000", nullptr},
        {2025, 11, "20241301.000", nullptr}, {2024, 11, "20240001.000", "Old"},
        {2024, 12, "20241301.000", "Old"},
    };
    Sandbox sandbox;
    CDefUtils du;
    char out[64];
    for (const auto& [nYear, nMonth, set, channel] : rows) {
        SCOPED_TRACE(std::to_string(nYear) + "-" + std::to_string(nMonth) + " " + set);
        // Noon on the 15th, local time: the same month in any time zone.
        struct tm local = {};
        local.tm_year = nYear - 1900;
        local.tm_mon = nMonth - 1;
        local.tm_mday = 15;
        local.tm_hour = 12;
        local.tm_isdst = -1;
        setenv("QORDEFUTIL_SANDBOX_NOW", std::to_string(mktime(&local)).c_str(), 1);
        const bool bDone = du.DetermineMicroDefChannel(set, "MicroDefsB", out, sizeof out);
        EXPECT_EQ(bDone, channel != nullptr);
        EXPECT_EQ(bDone ? std::string("MicroDefsB.") + channel : "", bDone ? out : "");
    }
    unsetenv("QORDEFUTIL_SANDBOX_NOW");
    ASSERT_TRUE(du.DetermineMicroDefChannel("19990115.001", "MicroDefsB", out, 8));
    EXPECT_STREQ(out, "MicroDe");
}

// Files take the parent's mode without execute bits; a subdirectory is left alone.
TEST(RestoreDirPermissions, GivesFilesTheParentModeAndSkipsSubdirectories)
{
    Sandbox sandbox;
    std::string dir = sandbox.Path("p/d");
    MakeDirs(dir + "/sub");
    chmod(sandbox.Path("p").c_str(), 0775);
    WriteTextFile(dir + "/f", "x", 0600);
    chmod((dir + "/sub").c_str(), 0700);
    CDefUtils().RestoreDirPermissions(dir.c_str());
    EXPECT_EQ(PathMode(dir), 0775);
    EXPECT_EQ(PathMode(dir + "/f"), 0664);
    EXPECT_EQ(PathMode(dir + "/sub"), 0700);
}

struct Reporter : CDefUtils::CProgress {
    bool bCancel = false;
    void OnProgress(double, bool* pbCancel) override { *pbCancel = bCancel; }
};

// The 3.0 interface is preferred; a failed apply marks the hub bad, and the
// update lock and temporary directories go either way. env: a setting for the
// library; record: its record's start ("": not called).
TEST(PostMicroDef25Update, AppliesThroughTheLibraryAndCleansUp)
{
    const char *kFail = "FAKE_PATCH_RESULT=0", *kProgress = "FAKE_PATCH_PROGRESS=10,50,100";
    const DuResult kApply = DU_E_APPLY_PATCH;
    const std::tuple<const char*, bool, bool, bool, const char*, DuResult, const char*> rows[] = {
        {"both", true, true, false, nullptr, DU_S_OK, "apply-30 "},
        {"onlyold", true, true, false, nullptr, DU_S_OK, "apply-old "},
        {"only30", true, false, false, nullptr, DU_S_OK, "apply-30 "},  // no reporter
        {"only30", true, true, false, kFail, kApply, "apply-30 "},
        {"only30", true, true, true, kProgress, kApply, "apply-30 "},  // cancelled
        {"onlyold", true, true, false, kProgress, DU_S_OK, "apply-old "},
        {"both", false, true, false, nullptr, DU_S_OK, ""},  // the client failed
        {"none", true, true, false, nullptr, DU_E_GENERAL, ""},
        {"absent", true, true, false, nullptr, DU_E_MISSING_PATCH_DLL, ""},
    };
    for (const auto& [library, bProcess, bReporter, bCancel, env, expected, recordStart] : rows) {
        SCOPED_TRACE(std::string(library) + " " + (env != nullptr ? env : ""));
        unsetenv("FAKE_PATCH_PROGRESS");
        unsetenv("FAKE_PATCH_RESULT");
        Sandbox sandbox;
        WriteSet(sandbox.Path("setA"), SetDate{2026, 1, 10, 5});
        ASSERT_EQ(0, RunCli({"-i", sandbox.Path("setA")}).status);
        const std::string record = sandbox.Path("patch.rec"), defs = sandbox.DefsDir();
        setenv("FAKE_PATCH_RECORD", record.c_str(), 1);
        if (env != nullptr)
            putenv(const_cast<char*>(env));
        CDefUtils du;
        ASSERT_TRUE(du.InitWindowsApp("Prod"));
        char hub[4095], direct[4095], channel[4095];
        bool bHubIsOk = false;
        ASSERT_TRUE(du.PreMicroDef25Update(hub, sizeof hub, direct, sizeof direct, channel,
                                           sizeof channel, &bHubIsOk, DU_ONLINE_UPDATE));
        WritePrivateProfileString("tvlxdata-shareddefs-microdefs", "LastBinUpdate", "1",
                                  sandbox.DefutilsConf().c_str());
        WriteTextFile(std::string(hub) + "/hub.scr", "apply\n");
        WriteTextFile(std::string(hub) + "/delta.mdp", "package\n");
        Reporter reporter;
        reporter.bCancel = bCancel;
        const std::string lib = std::string(QDU_PATCHLIB_DIR) + "/libfakepatch_" + library + ".so";
        EXPECT_EQ(DuSucceeded(expected),
                  du.PostMicroDef25Update(lib.c_str(), bReporter ? &reporter : nullptr, bProcess));
        EXPECT_STREQ(CDefUtils::GetResultName(expected), du.GetLastResultName());
        const std::string recorded = ReadTextFile(record);
        EXPECT_EQ(0, recorded.compare(0, strlen(recordStart), recordStart)) << recorded;
        EXPECT_EQ(*recordStart != '\0',
                  recorded.find(bReporter ? "notify=yes" : "notify=no") != std::string::npos);
        bool bGood = false;
        EXPECT_TRUE(du.GetMicroDefLastUpdateValue(&bGood, DU_BINARY));
        EXPECT_EQ(expected != kApply, bGood);
        for (const std::string& entry : ListDir(defs))
            EXPECT_TRUE(entry.compare(0, 3, "tmp") != 0 && entry != "sflock.dat") << entry;
    }
    unsetenv("FAKE_PATCH_PROGRESS");
    unsetenv("FAKE_PATCH_RESULT");
}

}  // namespace
