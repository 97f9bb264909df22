#include "platform/boundary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "platform/fileops.h"
#include "platform/scoped_fd.h"
#include "tests/support/sandbox.h"

namespace {

// Every case runs twice: through openat2 and through the component walk
// that stands in for it on kernels without it.
class BoundaryTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        DuForceBoundaryWalk(GetParam());
        base = sandbox.Path("base");
        outside = sandbox.Path("outside");
        MakeDirs(base + "/store/set");
        MakeDirs(outside);
        WriteTextFile(base + "/store/set/file.dat", "inside");
        WriteTextFile(outside + "/secret", "secret", 0600);
        DuSetPathBoundary((base + "/").c_str());
    }
    void TearDown() override
    {
        DuSetPathBoundary(nullptr);
        DuForceBoundaryWalk(false);
    }
    void Link(const std::string& target, const std::string& at)
    {
        ASSERT_EQ(0, symlink(target.c_str(), at.c_str())) << at;
    }

    Sandbox sandbox;
    std::string base, outside;
};

TEST_P(BoundaryTest, OpenRefusesLinksFifosAndEscapesBelowTheBoundaryOnly)
{
    Link(outside, base + "/store/linkdir");
    Link(outside + "/secret", base + "/store/set/linkfile");
    Link(outside + "/missing", base + "/store/set/dangling");
    ASSERT_EQ(0, mkfifo((base + "/store/set/fifo").c_str(), 0600));
    Link(outside, sandbox.Path("outlink"));
    ASSERT_EQ(0, mkfifo((outside + "/fifo").c_str(), 0600));

    const struct {
        const char* name;
        std::string path;
        int flags;
        bool opens;
    } rows[] = {
        {"plain file", base + "/store/set/file.dat", O_RDONLY, true},
        {"double slash", base + "//store//set/file.dat", O_RDONLY, true},
        {"directory", base + "/store/set/", O_RDONLY | O_DIRECTORY, true},
        {"link as a directory", base + "/store/linkdir/secret", O_RDONLY, false},
        {"link as the file", base + "/store/set/linkfile", O_RDONLY, false},
        {"create through a dangling link", base + "/store/set/dangling", O_WRONLY | O_CREAT, false},
        {"fifo does not hang", base + "/store/set/fifo", O_RDONLY, false},
        {"dot-dot out of the boundary", base + "/store/../../outside/secret", O_RDONLY, false},
        {"outside: links are the caller's choice", sandbox.Path("outlink/secret"), O_RDONLY, true},
        {"outside: a fifo opens without waiting", outside + "/fifo", O_RDONLY, true},
    };
    for (const auto& row : rows) {
        ScopedFd fd(DuOpenPath(row.path.c_str(), row.flags, 0644));
        EXPECT_EQ(row.opens, fd.valid()) << row.name;
    }
    EXPECT_FALSE(PathExists(outside + "/missing")) << "nothing created through the link";
    EXPECT_EQ("secret", ReadTextFile(outside + "/secret"));
}

TEST_P(BoundaryTest, HardLinkedFileIsReplacedNotWrittenThrough)
{
    // A second name for a file elsewhere (the planted hard link), here made
    // the other way round: the original lies outside.
    const std::string inside = base + "/store/set/hard.dat";
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
    EXPECT_EQ("secret", ReadTextFile(outside + "/secret"));
}

TEST_P(BoundaryTest, NameOperationsStayInsideAndRemoveLinksNotTargets)
{
    Link(outside, base + "/store/linkdir");
    Link(outside + "/secret", base + "/store/set/linkfile");
    struct stat st;
    const struct {
        const char* name;
        std::function<bool()> op;
        bool succeeds;
    } rows[] = {
        {"stat of a link reports the link",
         [&] {
             return DuStatPath((base + "/store/linkdir").c_str(), &st) == 0 && S_ISLNK(st.st_mode);
         },
         true},
        {"stat through a link",
         [&] { return DuStatPath((base + "/store/linkdir/secret").c_str(), &st) == 0; }, false},
        {"unlink through a link",
         [&] { return DuUnlinkPath((base + "/store/linkdir/secret").c_str()) == 0; }, false},
        {"mkdir through a link",
         [&] { return DuMkdirPath((base + "/store/linkdir/new").c_str(), 0700) == 0; }, false},
        {"rename out through a link",
         [&] {
             return DuRenamePath((base + "/store/set/file.dat").c_str(),
                                 (base + "/store/linkdir/file.dat").c_str()) == 0;
         },
         false},
        {"listing through a link",
         [&] { return DuOpenDirPath((base + "/store/linkdir").c_str()) != nullptr; }, false},
        {"delete the link itself",
         [&] { return DeleteFile((base + "/store/set/linkfile").c_str()) != 0; }, true},
        {"mkdir inside", [&] { return DuMkdirPath((base + "/store/new").c_str(), 0700) == 0; },
         true},
        {"rmdir inside", [&] { return DuRmdirPath((base + "/store/new").c_str()) == 0; }, true},
    };
    for (const auto& row : rows) EXPECT_EQ(row.succeeds, row.op()) << row.name;
    EXPECT_EQ((std::vector<std::string>{"secret"}), ListDir(outside));
    EXPECT_EQ("secret", ReadTextFile(outside + "/secret"));
}

INSTANTIATE_TEST_SUITE_P(Resolution, BoundaryTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Walk") : std::string("Openat2");
                         });

}  // namespace
