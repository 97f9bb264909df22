// Cost of a listing over a large directory. stat is interposed in this
// binary to count calls, showing that names which do not match the pattern
// never reach stat.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/find.h"

namespace {

constexpr int kEntries = 10000;
std::atomic<long> g_statCalls{0};
std::string g_dir;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

bool MakeDirectory()
{
    char tmpl[] = "/tmp/qdu-find-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return false;
    g_dir = tmpl;
    for (int i = 0; i < kEntries; ++i) {
        char path[256];
        snprintf(path, sizeof path, "%s/file%05d.dat", tmpl, i);
        int fd = open(path, O_CREAT | O_WRONLY, 0644);
        if (fd < 0)
            return false;
        close(fd);
    }
    return true;
}

void ListWithPattern(benchmark::State& state, const char* pattern)
{
    std::string path = g_dir + "/" + pattern;
    long records = 0;
    g_statCalls = 0;
    for (auto _ : state) {
        FindData fd;
        HANDLE h = FindFirstFile(path.c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) {
            state.SkipWithError("listing failed");
            return;
        }
        records = 1;
        while (FindNextFile(h, &fd)) ++records;
        FindClose(h);
    }
    state.counters["records"] = static_cast<double>(records);
    state.counters["stats_per_listing"] =
        static_cast<double>(g_statCalls.load()) / static_cast<double>(state.iterations());
}

void BM_FindFirstFileOneMatch(benchmark::State& state)
{
    ListWithPattern(state, "file04242.dat");
}
BENCHMARK(BM_FindFirstFileOneMatch);

void BM_FindFirstFileWildcardOneMatch(benchmark::State& state)
{
    ListWithPattern(state, "*4242.d?t");
}
BENCHMARK(BM_FindFirstFileWildcardOneMatch);

void BM_FindFirstFileAll(benchmark::State& state)
{
    ListWithPattern(state, "*.*");
}
BENCHMARK(BM_FindFirstFileAll);

// The floor: reading the directory and nothing else.
void BM_PlainReaddir(benchmark::State& state)
{
    for (auto _ : state) {
        DIR* dir = opendir(g_dir.c_str());
        long n = 0;
        while (readdir(dir) != nullptr) ++n;
        closedir(dir);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_PlainReaddir);

}  // namespace

// Interposed for the whole binary, the listing's calls included.
extern "C" int stat(const char* path, struct stat* buf) noexcept
{
    ++g_statCalls;
    return fstatat(AT_FDCWD, path, buf, 0);
}

int main(int argc, char** argv)
{
    if (!MakeDirectory()) {
        fprintf(stderr, "cannot build the benchmark directory\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    nftw(g_dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
