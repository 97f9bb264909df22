#include "platform/boundary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <tuple>

#include "platform/fileops.h"
#include "platform/scoped_fd.h"
#include "tests/support/sandbox.h"

namespace {

// Every case runs twice: through openat2 and through the component walk
// that stands in for it on kernels without it. Below the boundary, links
// lead outside; whatever a case does, the file outside stays as it was.
class BoundaryTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        DuForceBoundaryWalk(GetParam());
        MakeDirs(In("set"));
        MakeDirs(outside);
        WriteTextFile(In("set/file.dat"), "inside");
        WriteTextFile(outside + "/secret", "secret", 0600);
        DuSetPathBoundary((base + "/").c_str());
        ASSERT_EQ(0, symlink(outside.c_str(), In("linkdir").c_str()));
        ASSERT_EQ(0, symlink((outside + "/secret").c_str(), In("set/linkfile").c_str()));
    }
    void TearDown() override
    {
        EXPECT_EQ("secret", ReadTextFile(outside + "/secret"));
        DuSetPathBoundary(nullptr);
        DuForceBoundaryWalk(false);
    }
    std::string In(const std::string& rel) const { return base + "/store/" + rel; }

    Sandbox sandbox;
    const std::string base = sandbox.Path("base"), outside = sandbox.Path("outside");
};

TEST_P(BoundaryTest, OpenRefusesLinksFifosAndEscapesBelowTheBoundaryOnly)
{
    ASSERT_EQ(0, symlink((outside + "/missing").c_str(), In("set/dangling").c_str()));
    ASSERT_EQ(0, mkfifo(In("set/fifo").c_str(), 0600));
    ASSERT_EQ(0, symlink(outside.c_str(), sandbox.Path("outlink").c_str()));
    ASSERT_EQ(0, mkfifo((outside + "/fifo").c_str(), 0600));
    const std::tuple<const char*, std::string, int, bool> rows[] = {
        {"plain file", In("set/file.dat"), O_RDONLY, true},
        {"double slash", base + "//store//set/file.dat", O_RDONLY, true},
        {"directory", In("set/"), O_RDONLY | O_DIRECTORY, true},
        {"link as a directory", In("linkdir/secret"), O_RDONLY, false},
        {"link as the file", In("set/linkfile"), O_RDONLY, false},
        {"create through a dangling link", In("set/dangling"), O_WRONLY | O_CREAT, false},
        {"fifo does not hang", In("set/fifo"), O_RDONLY, false},
        {"dot-dot out of the boundary", In("../../outside/secret"), O_RDONLY, false},
        {"outside: links are the caller's choice", sandbox.Path("outlink/secret"), O_RDONLY, true},
        {"outside: a fifo opens without waiting", outside + "/fifo", O_RDONLY, true},
    };
    for (const auto& [name, path, flags, opens] : rows)
        EXPECT_EQ(opens, ScopedFd(DuOpenPath(path.c_str(), flags, 0644)).valid()) << name;
    EXPECT_FALSE(PathExists(outside + "/missing")) << "nothing created through the link";
}

TEST_P(BoundaryTest, HardLinkedFileIsReplacedNotWrittenThrough)
{
    // A second name for a file elsewhere (the planted hard link), here made
    // the other way round: the original lies outside.
    const std::string inside = In("set/hard.dat");
    ASSERT_EQ(0, link((outside + "/secret").c_str(), inside.c_str()));
    errno = 0;
    EXPECT_EQ(-1, DuOpenPath(inside.c_str(), O_WRONLY));
    EXPECT_EQ(EMLINK, errno);
    EXPECT_EQ(-1, DuOpenPath(inside.c_str(), O_RDONLY)) << "not the store's: never copied";
    DuSetBoundaryGroup(getegid());
    ScopedFd reading(DuOpenPath(inside.c_str(), O_RDONLY));
    EXPECT_TRUE(reading.valid()) << "the store's own links, as the patch library makes them";
    EXPECT_EQ(FALSE, SetFileAttributes(inside.c_str(), FILE_ATTR_READONLY));
    EXPECT_EQ(0600, PathMode(outside + "/secret"));
    WriteTextFile(sandbox.Path("new"), "replacement");
    EXPECT_TRUE(CopyFile(sandbox.Path("new").c_str(), inside.c_str(), FALSE));
    EXPECT_EQ("replacement", ReadTextFile(inside));
}

TEST_P(BoundaryTest, NameOperationsStayInsideAndRemoveLinksNotTargets)
{
    struct stat st;
    EXPECT_TRUE(DuStatPath(In("linkdir").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_NE(0, DuStatPath(In("linkdir/secret").c_str(), &st));
    EXPECT_NE(0, DuUnlinkPath(In("linkdir/secret").c_str()));
    EXPECT_NE(0, DuMkdirPath(In("linkdir/new").c_str(), 0700));
    EXPECT_NE(0, DuRenamePath(In("set/file.dat").c_str(), In("linkdir/file.dat").c_str()));
    EXPECT_EQ(nullptr, DuOpenDirPath(In("linkdir").c_str())) << "no listing through a link";
    EXPECT_TRUE(DeleteFile(In("set/linkfile").c_str())) << "the link itself goes";
    EXPECT_EQ(0, DuMkdirPath(In("new").c_str(), 0700));
    EXPECT_EQ(0, DuRmdirPath(In("new").c_str()));
    EXPECT_EQ((std::vector<std::string>{"secret"}), ListDir(outside));
}

INSTANTIATE_TEST_SUITE_P(Resolution, BoundaryTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Walk") : std::string("Openat2");
                         });

}  // namespace
