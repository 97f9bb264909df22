// CopyFile against the system's cp on the same 256 MiB file in the same run.
// Both copy from a source already in the page cache into a fresh target;
// wall-clock time is measured because cp runs in a child process. After the
// runs the throughputs and CopyFile's share of cp's are printed.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/fileops.h"

namespace {

constexpr size_t FILE_SIZE = 256u * 1024 * 1024;

std::string g_dir;
std::string g_source;
std::string g_target;

bool MakeSource()
{
    const char* tmp = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
    std::string tmpl = std::string(tmp) + "/qdu-copybench-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        return false;
    g_dir = buf.data();
    g_source = g_dir + "/source.bin";
    g_target = g_dir + "/target.bin";
    FILE* f = fopen(g_source.c_str(), "wb");
    if (f == nullptr)
        return false;
    std::vector<char> block(1024 * 1024);
    for (size_t i = 0; i < FILE_SIZE / block.size(); ++i) {
        for (size_t j = 0; j < block.size(); j += 64) block[j] = static_cast<char>(i + j / 64);
        fwrite(block.data(), 1, block.size(), f);
    }
    return fclose(f) == 0;
}

void RemoveTarget()
{
    unlink(g_target.c_str());
}

bool RunCp()
{
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        execlp("cp", "cp", g_source.c_str(), g_target.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_CopyFile(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        RemoveTarget();
        state.ResumeTiming();
        if (!CopyFile(g_source.c_str(), g_target.c_str(), FALSE))
            state.SkipWithError("CopyFile failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_SIZE));
}

void BM_Cp(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        RemoveTarget();
        state.ResumeTiming();
        if (!RunCp())
            state.SkipWithError("cp failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_SIZE));
}

BENCHMARK(BM_Cp)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CopyFile)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Keeps the bytes-per-second figure of every run for the summary.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && !run.error_occurred)
                rates[run.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (!MakeSource()) {
        fprintf(stderr, "cannot create the 256 MiB source file\n");
        return 1;
    }
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    RemoveTarget();
    unlink(g_source.c_str());
    rmdir(g_dir.c_str());

    auto cp = reporter.rates.find("BM_Cp");
    auto ours = reporter.rates.find("BM_CopyFile");
    if (cp != reporter.rates.end() && ours != reporter.rates.end() && cp->second > 0) {
        printf("cp:       %.1f MiB/s\n", cp->second / (1024 * 1024));
        printf("CopyFile: %.1f MiB/s\n", ours->second / (1024 * 1024));
        printf("ratio CopyFile/cp: %.2f\n", ours->second / cp->second);
    }
    benchmark::Shutdown();
    return 0;
}
