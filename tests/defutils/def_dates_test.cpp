#include <sys/time.h>

#include <string>

#include "defutils/defutils.h"
#include "tests/defutils/store_test_util.h"
#include "tests/support/sandbox.h"

namespace {

constexpr WORD kUntouched = 0xBEEF;
constexpr DWORD kUntouchedRev = 0xDEADBEEF;

struct Date {
    WORD wYear = kUntouched, wMonth = kUntouched, wDay = kUntouched;
    DWORD dwRev = kUntouchedRev;
    bool operator==(const Date& o) const
    {
        return wYear == o.wYear && wMonth == o.wMonth && wDay == o.wDay && dwRev == o.dwRev;
    }
};

std::ostream& operator<<(std::ostream& os, const Date& d)
{
    return os << d.wYear << "-" << d.wMonth << "-" << d.wDay << "." << d.dwRev;
}

Date MakeDate(WORD y, WORD m, WORD d, DWORD r)
{
    Date date;
    date.wYear = y;
    date.wMonth = m;
    date.wDay = d;
    date.dwRev = r;
    return date;
}

const Date kZeroDate = MakeDate(0, 0, 0, 0);

class DefDatesTest : public SandboxTest {
protected:
    std::string Dir(const std::string& name)
    {
        std::string dir = sandbox.Path(name);
        MakeDirs(dir);
        return dir;
    }
    DuResult ReadDate(const std::string& dir, Date* pDate, bool bText = false)
    {
        return du.GetDefDate(dir.c_str(), &pDate->wYear, &pDate->wMonth, &pDate->wDay,
                             &pDate->dwRev, bText);
    }
    CDefUtils du;
};

struct HeaderCase {
    const char* name;
    std::string contents;
    DuResult expected;
    Date date;
    const char* dirName;  // CreateDefDirName's result, or null when it fails
};

TEST_F(DefDatesTest, HeaderBytesGiveTheDateOrAFormatError)
{
    const HeaderCase cases[] = {
        {"upper_bounds", DefHeader(999, 12, 31, 200), DU_S_OK, MakeDate(2100, 12, 31, 999),
         "21001231.999"},
        {"lower_bounds", DefHeader(0, 1, 1, 100), DU_S_OK, MakeDate(2000, 1, 1, 0), "20000101.000"},
        {"revision_padded", DefHeader(7, 3, 9, 120), DU_S_OK, MakeDate(2020, 3, 9, 7),
         "20200309.007"},
        {"exactly_eleven_bytes", DefHeader(42, 6, 15, 110, 11), DU_S_OK, MakeDate(2010, 6, 15, 42),
         "20100615.042"},
        {"year_byte_99", DefHeader(1, 1, 1, 99), DU_E_FILE_FORMAT, kZeroDate, nullptr},
        {"year_byte_201", DefHeader(1, 1, 1, 201), DU_E_FILE_FORMAT, kZeroDate, nullptr},
        {"month_0", DefHeader(1, 0, 1, 120), DU_E_FILE_FORMAT, kZeroDate, nullptr},
        {"month_13", DefHeader(1, 13, 1, 120), DU_E_FILE_FORMAT, kZeroDate, nullptr},
        {"day_0", DefHeader(1, 1, 0, 120), DU_E_FILE_FORMAT, kZeroDate, nullptr},
        {"day_32", DefHeader(1, 1, 32, 120), DU_E_FILE_FORMAT, kZeroDate, nullptr},
        {"revision_1000", DefHeader(1000, 1, 1, 120), DU_E_FILE_FORMAT, kZeroDate, nullptr},
        {"revision_high_byte", DefHeader(0x01000001, 1, 1, 120), DU_E_FILE_FORMAT, kZeroDate,
         nullptr},
        {"ten_bytes", DefHeader(1, 1, 1, 120, 10), DU_E_FILE_FORMAT, kZeroDate, nullptr},
        {"empty_file", "", DU_E_FILE_FORMAT, kZeroDate, nullptr},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = Dir(c.name);
        WriteTextFile(dir + "/virscan1.dat", c.contents);

        Date date;
        EXPECT_EQ(c.expected, ReadDate(dir, &date));
        EXPECT_EQ(c.date, date);

        char szName[64] = "unchanged";
        EXPECT_EQ(c.dirName != nullptr, du.CreateDefDirName(dir.c_str(), szName, sizeof szName, false));
        EXPECT_STREQ(c.dirName != nullptr ? c.dirName : "unchanged", szName);
    }
}

struct FileCase {
    const char* name;
    const char* fileName;  // the only file written in the set, or null
    bool bText;
    DuResult expected;
};

TEST_F(DefDatesTest, FileIsFoundAsWrittenOrInOneCase)
{
    const FileCase cases[] = {
        {"lower_case", "virscan1.dat", false, DU_S_OK},
        {"upper_case", "VIRSCAN1.DAT", false, DU_S_OK},
        {"mixed_case", "Virscan1.Dat", false, DU_E_VIRSCAN1_OPEN},
        {"missing", nullptr, false, DU_E_VIRSCAN1_OPEN},
        {"text_file", "virscant.dat", true, DU_S_OK},
        {"text_upper", "VIRSCANT.DAT", true, DU_S_OK},
        {"text_wanted_main_present", "virscan1.dat", true, DU_E_VIRSCAN1_OPEN},
        {"main_wanted_text_present", "virscant.dat", false, DU_E_VIRSCAN1_OPEN},
        {"unreadable_directory_entry", "virscan1.dat/", false, DU_E_VIRSCAN1_READ},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = Dir(c.name);
        std::string fileName = c.fileName != nullptr ? c.fileName : "";
        if (!fileName.empty() && fileName.back() == '/')
            MakeDirs(dir + "/" + fileName);  // opens, but reading fails
        else if (!fileName.empty())
            WriteTextFile(dir + "/" + fileName, DefHeader(5, 4, 3, 121));

        Date date;
        EXPECT_EQ(c.expected, ReadDate(dir, &date, c.bText));
        EXPECT_EQ(c.expected == DU_S_OK ? MakeDate(2021, 4, 3, 5) : Date(), date);
    }
}

TEST_F(DefDatesTest, EmptyOrNullDirectoryIsNotLookedUpInTheWorkingDirectory)
{
    Date date;
    EXPECT_EQ(DU_E_VIRSCAN1_OPEN, ReadDate("", &date));
    EXPECT_EQ(DU_E_VIRSCAN1_OPEN,
              du.GetDefDate(nullptr, &date.wYear, &date.wMonth, &date.wDay, &date.dwRev, false));
    EXPECT_EQ(Date(), date);
}

struct Side {
    bool bReadable;
    Date date;
};

struct CompareCase {
    const char* name;
    Side set1, set2;
    bool bNewer;
    bool bNewerOrSame;
};

TEST_F(DefDatesTest, ComparisonsOrderByYearMonthDayRevision)
{
    const Side kBase = {true, MakeDate(2020, 6, 15, 500)};
    const Side kMissing = {false, Date()};
    const CompareCase cases[] = {
        {"newer_year", {true, MakeDate(2021, 1, 1, 0)}, kBase, true, true},
        {"older_year", {true, MakeDate(2019, 12, 31, 999)}, kBase, false, false},
        {"newer_month", {true, MakeDate(2020, 7, 1, 0)}, kBase, true, true},
        {"older_month", {true, MakeDate(2020, 5, 31, 999)}, kBase, false, false},
        {"newer_day", {true, MakeDate(2020, 6, 16, 0)}, kBase, true, true},
        {"older_day", {true, MakeDate(2020, 6, 14, 999)}, kBase, false, false},
        {"newer_revision", {true, MakeDate(2020, 6, 15, 501)}, kBase, true, true},
        {"older_revision", {true, MakeDate(2020, 6, 15, 499)}, kBase, false, false},
        {"same_date", kBase, kBase, false, true},
        {"second_unreadable", kBase, kMissing, true, true},
        {"first_unreadable", kMissing, kBase, false, false},
        {"both_unreadable", kMissing, kMissing, false, false},
    };
    int nRow = 0;
    for (const CompareCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dirs[2];
        const Side* sides[2] = {&c.set1, &c.set2};
        for (int i = 0; i < 2; ++i) {
            dirs[i] = Dir("cmp" + std::to_string(nRow) + "_" + std::to_string(i));
            const Date& d = sides[i]->date;
            if (sides[i]->bReadable)
                WriteTextFile(dirs[i] + "/virscan1.dat",
                              DefHeader(d.dwRev, d.wMonth, d.wDay, d.wYear - 1900));
        }
        ++nRow;
        EXPECT_EQ(c.bNewer, du.DefsAreNewer(dirs[0].c_str(), dirs[1].c_str(), false, false));
        EXPECT_EQ(c.bNewerOrSame, du.DefsAreNewerOrSameAge(dirs[0].c_str(), dirs[1].c_str()));
    }
}

TEST_F(DefDatesTest, TextFlagsPickEachSidesFile)
{
    std::string dir1 = Dir("one"), dir2 = Dir("two");
    // Main files say set 1 is older, text files say it is newer.
    WriteTextFile(dir1 + "/virscan1.dat", DefHeader(1, 1, 1, 110));
    WriteTextFile(dir1 + "/virscant.dat", DefHeader(1, 1, 1, 130));
    WriteTextFile(dir2 + "/virscan1.dat", DefHeader(1, 1, 1, 120));
    WriteTextFile(dir2 + "/virscant.dat", DefHeader(1, 1, 1, 125));

    EXPECT_FALSE(du.DefsAreNewer(dir1.c_str(), dir2.c_str(), false, false));
    EXPECT_TRUE(du.DefsAreNewer(dir1.c_str(), dir2.c_str(), true, true));
    EXPECT_TRUE(du.DefsAreNewer(dir1.c_str(), dir2.c_str(), true, false));
    EXPECT_FALSE(du.DefsAreNewer(dir1.c_str(), dir2.c_str(), false, true));
}

struct IncrementCase {
    const char* name;
    bool bText;
    uint32_t nRevBefore;
};

TEST_F(DefDatesTest, IncrementBumpsTheRevisionAndKeepsTimesAndOtherBytes)
{
    const IncrementCase cases[] = {
        {"main_file", false, 5},
        {"text_file", true, 41},
        {"past_the_valid_range", false, 999},
        {"carry_into_next_byte", false, 255},
    };
    for (const IncrementCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = Dir(c.name);
        std::string file = dir + (c.bText ? "/virscant.dat" : "/virscan1.dat");
        std::string tail = "definitions body";
        WriteTextFile(file, DefHeader(c.nRevBefore, 2, 3, 115) + tail);
        // Multiples of 15 seconds survive the FileTime round trip exactly.
        struct timeval times[2] = {{1500000000, 0}, {1500000015, 0}};
        ASSERT_EQ(0, utimes(file.c_str(), times));

        EXPECT_TRUE(du.IncrementDefVersion(dir.c_str(), c.bText));

        struct stat st;
        ASSERT_EQ(0, stat(file.c_str(), &st));  // before reading it changes the access time
        EXPECT_EQ(1500000000, st.st_atime);
        EXPECT_EQ(1500000015, st.st_mtime);
        EXPECT_EQ(DefHeader(c.nRevBefore + 1, 2, 3, 115) + tail, ReadTextFile(file));
    }
}

TEST_F(DefDatesTest, IncrementFailsWithoutTheFile)
{
    std::string dir = Dir("empty");
    EXPECT_FALSE(du.IncrementDefVersion(dir.c_str(), false));
    EXPECT_FALSE(du.IncrementDefVersion("", false));
    EXPECT_EQ(std::vector<std::string>{}, ListDir(dir));
}

struct SameCase {
    const char* name;
    const char* path1;
    const char* path2;
    bool bSame;
};

TEST_F(DefDatesTest, DirsAreSameComparesBytes)
{
    const SameCase cases[] = {
        {"identical", "/a/b/20200101.001", "/a/b/20200101.001", true},
        {"trailing_slash", "/a/b", "/a/b/", false},
        {"letter_case", "/a/B", "/a/b", false},
        {"both_empty", "", "", true},
        {"null_is_empty", nullptr, "", true},
    };
    for (const SameCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.bSame, du.DirsAreSame(c.path1, c.path2));
    }
}

}  // namespace
