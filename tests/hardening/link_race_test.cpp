// A group member swapping names in the store for links while root works in
// it: the racer (tests/tools/link_racer.cpp) spins for the whole of several
// rounds of one command, and no round may touch anything outside the store,
// copy a secret into it, or hang. A round costs milliseconds; the rounds
// stop after a fixed wall-clock budget so a slow machine runs fewer of them
// rather than running long.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/hardening/hostile_store.h"
#include "tests/support/def_sets.h"

namespace {

constexpr int kMaxRounds = 60;
constexpr size_t kFileSize = 64 * 1024;
constexpr auto kBudget = std::chrono::milliseconds(2000);

// Dated after everything in the store, one day apart.
SetDate RoundDate(int round)
{
    return {2024, 4 + round / 28, 1 + round % 28, 1};
}

// The racer, stopped and reaped however the test ends.
class Racer {
public:
    Racer(const std::string& target, const Strings& paths)
    {
        std::vector<std::string> args = {QDU_LINK_RACER, "10", target};
        args.insert(args.end(), paths.begin(), paths.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Racer() { Stop(); }
    Racer(const Racer&) = delete;
    Racer& operator=(const Racer&) = delete;
    bool Started() const { return m_pid > 0; }
    void Stop()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid;
};

struct RaceRow {
    const char* name;
    const char* target;  // below decoy/
    // Below the definitions directory; "{set}" stands for every round's set.
    Strings links;
    // Per round; "{k}" is the round, "{round}" its source set.
    Strings command;
    bool incomingEachRound;  // a set waits in incoming before each round
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const RaceRow& row, std::ostream* os)
{
    *os << row.name;
}

const RaceRow kRaces[] = {
    {"HubFilesDuringInstall",
     "etc/shadow",
     {"binhub/binlinux.dat", "binhub/bincommon.dat", "texthub/texthub.dat"},
     {"-i", "{round}"},
     false},
    {"SetFileDuringInstall", "etc/shadow", {"{set}/defs1.dat"}, {"-i", "{round}"}, false},
    {"SetDirDuringInstall", "empty", {"{set}"}, {"-i", "{round}"}, false},
    {"DefInfoDuringInstall", "etc/shadow", {"definfo.dat"}, {"-i", "{round}"}, false},
    {"UsageDuringNewest", "etc/shadow", {"usage.dat"}, {"-n", "app{k}"}, false},
    {"IncomingFileDuringIntegration",
     "etc/shadow",
     {"incoming/stolen.dat"},
     {"-n", "app{k}"},
     true},
    {"DebugLogDuringQuery", "etc/shadow", {"debug.log"}, {"-g", "other"}, false},
};

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class LinkRaceTest : public HostileStoreTest, public ::testing::WithParamInterface<RaceRow> {
protected:
    // A newer set to install in round k. Its data files are large, which
    // keeps the window between creating a copy and chowning it open longer;
    // they are links to one copy each (sources may be links), so writing
    // a round's source stays cheap.
    void WriteRoundSource(int k) const
    {
        const std::string source = sandbox.Path("src/r" + std::to_string(k));
        WriteSet(source, RoundDate(k));
        for (const std::string& file : SetDataFiles()) {
            const std::string big = sandbox.Path("src/" + file);
            if (!PathExists(big))
                WriteTextFile(big, std::string(kFileSize, 'x'));
            PlantSymlink(big, source + "/" + file);
        }
    }
};

TEST_P(LinkRaceTest, NoRoundTouchesAnythingOutside)
{
    const RaceRow& row = GetParam();
    EnableDebugLog();  // its log is one more file opened by path
    Strings paths;
    for (int k = 0; k < kMaxRounds; ++k) {
        for (const std::string& link : row.links) {
            if (k == 0 || link.find("{set}") != std::string::npos)
                paths.push_back(Defs(Replace(link, "{set}", RoundDate(k).DirName())));
        }
    }
    const auto outsideBefore = Outside();

    Racer racer(Decoy(row.target), paths);
    ASSERT_TRUE(racer.Started());
    const auto start = std::chrono::steady_clock::now();
    int rounds = 0;
    for (int k = 0; k < kMaxRounds && std::chrono::steady_clock::now() - start < kBudget; ++k) {
        if (row.incomingEachRound)
            WriteSet(Defs("incoming"), RoundDate(k));
        if (row.command[1] == "{round}")
            WriteRoundSource(k);
        Strings args;
        for (const std::string& arg : row.command) {
            args.push_back(
                Replace(Replace(arg, "{round}", sandbox.Path("src/r" + std::to_string(k))), "{k}",
                        std::to_string(k)));
        }
        ++rounds;
        if (Run(args).timedOut || !ChangesOutside(outsideBefore).empty() ||
            !CopiesOfSecrets().empty())
            break;
    }
    racer.Stop();
    SCOPED_TRACE("after " + std::to_string(rounds) + " rounds");
    EXPECT_EQ(ChangesOutside(outsideBefore), Strings{});
    EXPECT_EQ(CopiesOfSecrets(), Strings{});
}

INSTANTIATE_TEST_SUITE_P(Races, LinkRaceTest, ::testing::ValuesIn(kRaces),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
