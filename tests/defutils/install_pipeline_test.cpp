// New sets into the store (pre- and post-update, IntegrateDefs) and going back.
#include <sys/stat.h>
#include <sys/time.h>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/full_sets.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

typedef std::vector<std::string> Names;
const SetDate kOld = {2009, 3, 15, 12}, kNew = {2009, 4, 1, 3};

class InstallPipelineTest : public SandboxTest {
protected:
    const std::string defs = sandbox.DefsDir(), defInfo = defs + "/definfo.dat";
};

TEST_F(InstallPipelineTest, FirstInstallCreatesTheStoreIntegratesAndPrimesHubs)
{
    // Only the section used to create a store names the base directory.
    sandbox.WriteTarvolixConf("[tarvolix]\nBaseDir=" + sandbox.BaseDir() + "\n");
    CDefUtils du;
    char szDir[DU_MAX_PATH];
    ASSERT_TRUE(du.PreDefUpdate(szDir, sizeof szDir, DU_INSTALL));
    EXPECT_EQ(0755, PathMode(sandbox.BaseDir()));
    EXPECT_EQ(0770, PathMode(defs));
    const std::string update = std::string(szDir).substr(defs.size() + 1);
    // The temporary directory's marker stays while the directory is in use.
    Names listed = ListDir(defs);
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(listed[0].compare(0, 12, ".qdu-intent-"), 0) << listed[0];
    EXPECT_EQ((Names{"binhub", "incoming", "texthub", update}),
              Names(listed.begin() + 1, listed.end()));

    WriteSet(szDir, kNew);
    ASSERT_TRUE(du.PostDefUpdate(false));
    EXPECT_EQ(kNew.DirName(), DefInfoValue(defs, "CurDefs"));
    EXPECT_TRUE(IsCompleteSet(defs + "/" + kNew.DirName()));
    EXPECT_FALSE(PathExists(szDir));
    EXPECT_FALSE(PathExists(defs + "/" + listed[0]));
    EXPECT_EQ((Names{"bincommon.dat", "binlinux.dat"}), ListDir(defs + "/binhub"));
    EXPECT_EQ((Names{"texthub.dat"}), ListDir(defs + "/texthub"));
    EXPECT_EQ("[tvlxdata-shareddefs-microdefs]\nLastTextUpdate=1\nLastBinUpdate=1\n",
              ReadTextFile(sandbox.DefutilsConf()));
}

TEST_F(InstallPipelineTest, RestoreLastDefsTwice)
{
    const std::string L = kOld.DirName(), C = kNew.DirName(), kInfo = "definfo.dat";
    const std::string padded = "[DefDates]\nCurDefs= " + C + " \nLastDefs= " + L + "\n";
    const std::string back = DefInfoText(L, ""), kUsage = "usage.dat";
    const char* used = "[20090401.003]\nA=1\n";
    // before, after: definfo.dat; left: the store afterwards.
    const struct {
        const char *name, *usage;
        std::string before, after;
        bool bResult;
        Names left;
    } cases[] = {
        {"unused_newest_dropped", nullptr, padded, back, true, {L, kInfo}},
        {"newest_still_used_survives", used, DefInfoText(C, L), back, true, {L, C, kInfo, kUsage}},
        {"no_last_key", nullptr, DefInfoText(C, ""), DefInfoText(C, ""), false, {L, C, kInfo}},
        {"last_equals_cur", nullptr, DefInfoText(L, L), DefInfoText(L, L), false, {L, C, kInfo}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(defs);
        WriteSet(defs + "/" + C, kNew);
        WriteSet(defs + "/" + L, kOld);
        WriteTextFile(defInfo, c.before);
        if (c.usage != nullptr)
            WriteTextFile(defs + "/usage.dat", c.usage);
        CDefUtils du;
        EXPECT_EQ(c.bResult, du.RestoreLastDefs());
        EXPECT_FALSE(du.RestoreLastDefs()) << "a second restore changes nothing";
        EXPECT_EQ(c.after, ReadTextFile(defInfo));
        EXPECT_EQ(c.left, ListDir(defs));
    }
}

class IntegrationTest : public SandboxTest {
protected:
    // Only dLast and dCur, each holding a.dat, with definfo.dat naming them.
    void MakeStore()
    {
        for (const DefDate& date : {dLast, dCur})
            WriteSet(defs + "/" + SetName(date), SetLayout{date, {{"a.dat", "a"}}});
        WriteDefInfo(defs, C, L);
    }

    const DefDate dLast = {2023, 12, 30, 2}, dCur = {2024, 1, 2, 7}, dNew = {2024, 2, 3, 5};
    const std::string L = SetName(dLast), C = SetName(dCur), N = SetName(dNew);
    const std::string defs = sandbox.DefsDir(), src = sandbox.Path("src");
};

enum Store { kEmpty, kFull, kBroken };  // kBroken: definfo.dat cannot be written

TEST_F(IntegrationTest, IntegrateDefsSeedsRotatesAndLeavesNothingHalfBuilt)
{
    const Names kSeeded = {"a.dat", "b.dat", "catalog.dat", "virscan1.dat"};
    const Names kOwn = {"b.dat", "catalog.dat", "virscan1.dat"};
    const Names kKept = {"b.dat", "catalog.dat", "kept.dat", "virscan1.dat"};
    const std::string kNo = "<missing>", kInfo = "definfo.dat";
    const DuResult kFail = DU_E_DEFINFO_UPDATE;
    // sets: the store afterwards; target: the files of the source's set afterwards.
    const struct {
        const char* name;
        DefDate source;
        Store store;
        bool bTargetExists;  // a directory of the source's name is already there
        DuResult expected;
        Names sets, target;
        std::string cur, last;
    } cases[] = {
        {"new_set_seeded_from_newest", dNew, kFull, false, DU_S_OK, {C, N, kInfo}, kSeeded, N, C},
        {"same_date_laid_over_newest", dCur, kFull, false, DU_S_OK, {C, kInfo}, kSeeded, C, C},
        {"into_empty_store", dNew, kEmpty, false, DU_S_OK, {N, kInfo}, kOwn, N, N},
        {"definfo_fails_new_set_goes", dNew, kBroken, false, kFail, {L, C, kInfo}, {}, kNo, kNo},
        {"definfo_fails_old_stays", dNew, kBroken, true, kFail, {L, C, N, kInfo}, kKept, kNo, kNo},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(sandbox.BaseDir());
        if (c.store != kEmpty)
            MakeStore();
        if (c.store == kBroken) {  // a directory cannot be written as a file
            RemoveTree(defs + "/definfo.dat");
            MakeDirs(defs + "/definfo.dat/x");
        }
        const std::string target = defs + "/" + SetName(c.source);
        if (c.bTargetExists)
            WriteSet(target, SetLayout{c.source, {{"kept.dat", "k"}}});
        RemoveTree(src);
        WriteSet(src, SetLayout{c.source, {{"b.dat", "b"}}});

        EXPECT_EQ(c.expected, CDefUtils().IntegrateDefs(src.c_str(), false));
        EXPECT_EQ(c.sets, ListDir(defs));
        EXPECT_EQ(c.target, ListDir(target));
        EXPECT_EQ(c.cur, DefInfoValue(defs, "CurDefs"));
        EXPECT_EQ(c.last, DefInfoValue(defs, "LastDefs"));
        if (c.store == kEmpty) {  // a created definfo.dat is given the store's mode and group
            EXPECT_EQ(0660, PathMode(defs + "/definfo.dat"));
            EXPECT_EQ(sandbox.GroupId(), PathGroup(defs + "/definfo.dat"));
        }
    }
    // UpdateNewestDefs takes a new definfo.dat back when the group cannot be set.
    RemoveTree(sandbox.BaseDir());
    WriteSet(defs + "/" + N, SetLayout{dNew});
    CDefUtils du;
    sandbox.SetGroupName("qdu-no-such-group");
    EXPECT_FALSE(du.UpdateNewestDefs((defs + "/" + N).c_str(), true));
    EXPECT_FALSE(PathExists(defs + "/definfo.dat"));
}

TEST_F(IntegrationTest, SeedingLeavesOutOnlyWhatTheSourceReplaces)
{
    // name in the newest set or the source ("" for none), and the time given to each.
    const struct {
        const char *inNewest, *inSource;
        time_t when;
        const char* result;  // the file of the new set, lower case
        bool fromSource;     // its bytes and times are the source's
        bool seedCopied;     // the newest set's file was copied first
    } rows[] = {
        {"a.dat", "a.dat", 1500000000, "a.dat", true, false},
        {"up.dat", "UP.DAT", 1500000100, "up.dat", true, false},
        // Mixed case is not recognised: seeded, then overwritten all the same.
        {"mixed.dat", "Mixed.Dat", 1500000200, "mixed.dat", true, true},
        {"only-old.dat", "", 1500000300, "only-old.dat", false, true},
        {"", "new.dat", 1500000400, "new.dat", true, false},
    };
    MakeStore();
    const std::string cur = defs + "/" + C, target = defs + "/" + N;
    WriteSet(src, SetLayout{dNew});
    for (const auto& row : rows) {
        const std::pair<std::string, std::string> copies[] = {{cur, row.inNewest},
                                                              {src, row.inSource}};
        for (const auto& [dir, name] : copies) {
            if (name.empty())
                continue;
            WriteTextFile(dir + "/" + name, dir + name);
            const time_t when = row.when + (dir == src ? 15 : 0);
            struct timeval tv[2] = {{when, 0}, {when, 0}};
            ASSERT_EQ(utimes((dir + "/" + name).c_str(), tv), 0);
        }
    }
    ASSERT_EQ(chmod(defs.c_str(), 0750), 0);  // the new set takes this mode

    LogCapture log;
    CDefUtils du;
    du.AddLogCallback(&log);
    EXPECT_EQ(DU_S_OK, du.IntegrateDefs(src.c_str(), false));
    du.RemoveLogCallback(&log);

    const std::string seedStart =
        "CDefUtils::CopyAllDefs (src: " + cur + ", dst: " + target + ") - start\n";
    EXPECT_TRUE(log.Has(seedStart));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.result);
        const std::string file = target + "/" + row.result;
        const std::string origin = row.fromSource ? src + row.inSource : cur + row.inNewest;
        EXPECT_EQ(origin, ReadTextFile(file));
        struct stat st = {};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(row.when + (row.fromSource ? 15 : 0), st.st_mtime);
        EXPECT_EQ(0640, PathMode(file));
        EXPECT_EQ(sandbox.GroupId(), PathGroup(file));
        if (*row.inNewest != '\0') {
            EXPECT_EQ(row.seedCopied, log.Has("CDefUtils::CopyFilesCallback " + cur + "/" +
                                              row.inNewest + " - start. \n"));
        }
    }
    EXPECT_EQ((Names{"a.dat", "catalog.dat", "mixed.dat", "new.dat", "only-old.dat", "up.dat",
                     "virscan1.dat"}),
              ListDir(target));
}

}  // namespace
