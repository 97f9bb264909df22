// A group member swapping names in the store for links while root works in
// it: tests/tools/link_racer.cpp spins through several rounds of one
// command, and no round may touch anything outside the store, copy a secret
// into it, or hang. A round costs milliseconds; the rounds stop after a
// fixed wall-clock budget, so a slow machine runs fewer of them rather than
// running long.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iterator>
#include <regex>
#include <sstream>

#include "tests/hardening/hostile_store.h"

namespace {

const int kMaxRounds = 60;

// Dated after everything in the store, one day apart.
SetDate RoundDate(int round)
{
    return {2024, 4 + round / 28, 1 + round % 28, 1};
}

struct RaceRow {
    const char* name;
    const char* target;      // below decoy/
    const char* links;       // below the definitions; "{set}": every round's set
    const char* command;     // "{k}": the round; "src/r{k}": a source written for it
    bool bIncoming = false;  // a set waits in incoming before each round
};

const RaceRow kRaces[] = {
    {"HubFilesDuringInstall", "etc/shadow",
     "binhub/binlinux.dat binhub/bincommon.dat texthub/texthub.dat", "-i {R}/src/r{k}"},
    {"SetFileDuringInstall", "etc/shadow", "{set}/defs1.dat", "-i {R}/src/r{k}"},
    {"SetDirDuringInstall", "empty", "{set}", "-i {R}/src/r{k}"},
    {"DefInfoDuringInstall", "etc/shadow", "definfo.dat", "-i {R}/src/r{k}"},
    {"UsageDuringNewest", "etc/shadow", "usage.dat", "-n app{k}"},
    {"IncomingFileDuringIntegration", "etc/shadow", "incoming/stolen.dat", "-n app{k}", true},
    {"DebugLogDuringQuery", "etc/shadow", "debug.log", "-g other"},
};

// The racer process, stopped and reaped however the test ends.
struct Racer {
    pid_t pid;
    ~Racer()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

class LinkRaceTest : public HostileStoreTest, public ::testing::WithParamInterface<size_t> {
protected:
    // The set to install in round k. Its data files are large, which keeps
    // the window between creating a copy and chowning it open longer; they
    // are links to one copy each (sources may be links), so writing a
    // round's source stays cheap.
    void WriteRoundSource(int k) const
    {
        const std::string source = sandbox.Path("src/r" + std::to_string(k));
        WriteSet(source, RoundDate(k));
        for (const std::string& file : SetDataFiles()) {
            const std::string big = sandbox.Path("src/" + file), at = source + "/" + file;
            if (!PathExists(big))
                WriteTextFile(big, std::string(64 * 1024, 'x'));
            RemoveTree(at);
            ASSERT_EQ(symlink(big.c_str(), at.c_str()), 0) << at;
        }
    }
};

TEST_P(LinkRaceTest, NoRoundTouchesAnythingOutside)
{
    const RaceRow& row = kRaces[GetParam()];
    EnableDebugLog();  // its log is one more file opened by path
    Strings racerArgs = {"10", Decoy(row.target)};
    std::istringstream links(row.links);
    for (std::string link; links >> link;) {
        const bool bPerRound = link.find("{set}") != std::string::npos;
        for (int k = 0; k < (bPerRound ? kMaxRounds : 1); ++k)
            racerArgs.push_back(
                Defs(std::regex_replace(link, std::regex("\\{set\\}"), RoundDate(k).DirName())));
    }
    int rounds = 0;
    {
        const ExecImage image(QDU_LINK_RACER, racerArgs, {});
        const Racer racer{fork()};
        if (racer.pid == 0)
            ExecChild(QDU_LINK_RACER, image, STDOUT_FILENO, STDERR_FILENO);
        ASSERT_GT(racer.pid, 0);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (int k = 0; k < kMaxRounds && std::chrono::steady_clock::now() < end; ++k) {
            if (row.bIncoming)
                WriteSet(Defs("incoming"), RoundDate(k));
            std::istringstream command(
                std::regex_replace(row.command, std::regex("\\{k\\}"), std::to_string(k)));
            const Strings args{std::istream_iterator<std::string>(command), {}};
            if (args[1].find("src/r") != std::string::npos)
                WriteRoundSource(k);
            ++rounds;
            if (Run(args).timedOut || !Harm().empty())
                break;
        }
    }
    SCOPED_TRACE("after " + std::to_string(rounds) + " rounds");
    EXPECT_EQ(Harm(), Strings{});
}

INSTANTIATE_TEST_SUITE_P(Races, LinkRaceTest, ::testing::Range<size_t>(0, std::size(kRaces)),
                         [](const auto& info) { return std::string(kRaces[info.param].name); });

}  // namespace
