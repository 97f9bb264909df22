#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>

#include "defutils/defutils.h"
#include "tests/support/def_sets.h"
#include "tests/support/sandbox.h"

namespace {

class DefDatesTest : public SandboxTest {
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
    CDefUtils du;
};

TEST_F(DefDatesTest, HeaderBytesGiveTheDateOrAnError)
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
        {"year_1999", DefDateHeader(1999, 1, 1, 1), kBad},
        {"year_2101", DefDateHeader(2101, 1, 1, 1), kBad},
        {"month_0", DefDateHeader(2020, 0, 1, 1), kBad},
        {"month_13", DefDateHeader(2020, 13, 1, 1), kBad},
        {"day_0", DefDateHeader(2020, 1, 0, 1), kBad},
        {"day_32", DefDateHeader(2020, 1, 32, 1), kBad},
        {"rev_1000", DefDateHeader(2020, 1, 1, 1000), kBad},
        {"rev_high_byte", DefDateHeader(2020, 1, 1, 0x01000001), kBad},
        {"mixed_case", DefDateHeader(2021, 4, 3, 5), kMissing, "Virscan1.Dat"},
        {"text_upper", DefDateHeader(2021, 4, 3, 5), "DU_S_OK 2021-4-3.5", "VIRSCANT.DAT", true},
    };
    for (const auto& c : cases) {
        MakeDirs(sandbox.Path(c.name));
        WriteTextFile(sandbox.Path(c.name) + "/" + c.file, c.header);
        EXPECT_EQ(c.date, DateOf(sandbox.Path(c.name), c.bText)) << c.name;
    }
    MakeDirs(sandbox.Path("dir/virscan1.dat"));  // opens, but reading fails
    EXPECT_EQ("DU_E_VIRSCAN1_READ 7-7-7.7", DateOf(sandbox.Path("dir")));
    char szName[16] = "";
    EXPECT_FALSE(du.CreateDefDirName(sandbox.Path("month_13").c_str(), szName, 16, false));
    EXPECT_TRUE(du.CreateDefDirName(sandbox.Path("upper_bounds").c_str(), szName, 16, false));
    EXPECT_STREQ("21001231.999", szName);
}

TEST_F(DefDatesTest, ComparisonsOrderByYearMonthDayRevision)
{
    struct Date { int y, m, d, r; };  // y == 0: no readable file
    const struct { const char* name; Date one, two; bool bNewer, bNewerOrSame; } cases[] = {
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

TEST_F(DefDatesTest, IncrementBumpsTheRevisionAndKeepsTheModificationTime)
{
    std::string dir = sandbox.Path("set"), file = dir + "/virscant.dat";
    WriteDefDateFile(dir, 2015, 2, 3, 255, "virscant.dat");
    // Multiples of 15 seconds survive the FileTime round trip exactly.
    struct timeval times[2] = {{1500000000, 0}, {1500000015, 0}};
    ASSERT_EQ(0, utimes(file.c_str(), times));
    EXPECT_TRUE(du.IncrementDefVersion(dir.c_str(), true));
    struct stat st = {};
    EXPECT_EQ(1500000015, stat(file.c_str(), &st) == 0 ? st.st_mtime : 0);
    EXPECT_EQ(DefDateHeader(2015, 2, 3, 256), ReadTextFile(file)) << "other bytes kept";
    EXPECT_FALSE(du.IncrementDefVersion(dir.c_str(), false));
}

}  // namespace
