// Microdefs apply against a plain copy of the same set.
//
// Two sets of 200 files (64 MiB in all) whose bytes differ by 5%, as
// scattered overwrites and insertions, in two distributions: most files
// unchanged and the changes in one file in five (the usual shape of a
// definitions update), and every file edited (the worst case for apply).
// The package must stay within 10% of the new set; applying it (direct
// mode: every file rebuilt or linked, verified and written) is timed
// against `cp -r` of the new set.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tools/patchapp/apply.h"
#include "tools/patchapp/package_builder.h"
#include "tools/patchapp/set_files.h"

namespace {

using namespace patchapp;

constexpr int kFiles = 200;
constexpr size_t kSetBytes = size_t(64) << 20;

// A tree left behind only costs disk space, but say so.
void RemoveTree(const std::string& path)
{
    if (std::system(("rm -rf '" + path + "'").c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::vector<unsigned char> RandomBytes(std::mt19937_64& rng, size_t n)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; i += 8) {
        uint64_t r = rng();
        for (size_t k = 0; k < 8 && i + k < n; ++k)
            v[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
    return v;
}

// Runs of 64 to 1087 bytes, one in five inserted rather than overwritten,
// until budget new bytes are in.
std::vector<unsigned char> Edit(std::mt19937_64& rng, std::vector<unsigned char> data,
                                size_t budget)
{
    while (budget > 0) {
        size_t len = std::min<size_t>(budget, 64 + rng() % 1024);
        size_t at = rng() % (data.size() - len);
        std::vector<unsigned char> run = RandomBytes(rng, len);
        if (rng() % 5 == 0)
            data.insert(data.begin() + static_cast<long>(at), run.begin(), run.end());
        else
            std::copy(run.begin(), run.end(), data.begin() + static_cast<long>(at));
        budget -= len;
    }
    return data;
}

enum class Spread {
    kFewFiles,   // one file in five edited, carrying all the changed bytes
    kEveryFile,  // every file edited by 5% of its bytes
};

constexpr int kEditedOneIn = 5;

struct Fixture {
    std::string root;
    std::string oldDir;
    std::string newDir;
    std::string patchDir;
    size_t newBytes = 0;
    size_t packageBytes = 0;
    bool ok = false;

    explicit Fixture(Spread spread)
    {
        const char* tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp != nullptr ? tmp : "/tmp") + "/patchapp-bench-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr)
            return;
        root = buf.data();
        oldDir = root + "/old";
        newDir = root + "/new";
        patchDir = root + "/patch";
        for (const std::string& d : {oldDir, newDir, patchDir}) mkdir(d.c_str(), 0755);
        std::mt19937_64 rng(42);
        std::vector<size_t> sizes;
        size_t left = kSetBytes;
        for (int i = 0; i < kFiles; ++i) {
            // Sizes vary between half and one and a half times the mean.
            size_t mean = left / static_cast<size_t>(kFiles - i);
            sizes.push_back(i == kFiles - 1 ? left : mean / 2 + rng() % mean);
            left -= sizes.back();
        }
        // The edited files, and their share of the bytes, so the changed
        // bytes come to 5% of the set in either distribution.
        std::vector<bool> edited(kFiles, spread == Spread::kEveryFile);
        size_t editedBytes = spread == Spread::kEveryFile ? kSetBytes : 0;
        for (int i = 0; spread == Spread::kFewFiles && i < kFiles; i += kEditedOneIn) {
            size_t pick = static_cast<size_t>(i) + rng() % kEditedOneIn;
            edited[pick] = true;
            editedBytes += sizes[pick];
        }
        for (int i = 0; i < kFiles; ++i) {
            size_t size = sizes[static_cast<size_t>(i)];
            std::vector<unsigned char> oldData = RandomBytes(rng, size);
            size_t budget =
                static_cast<size_t>(static_cast<double>(kSetBytes / 20) *
                                    static_cast<double>(size) / static_cast<double>(editedBytes));
            std::vector<unsigned char> newData =
                edited[static_cast<size_t>(i)] ? Edit(rng, oldData, budget) : oldData;
            std::string name = "defs" + std::to_string(i) + ".dat";
            newBytes += newData.size();
            if (WriteFileReplacing(oldDir.c_str(), name, oldData.data(), oldData.size(), false) !=
                    PA_OK ||
                WriteFileReplacing(newDir.c_str(), name, newData.data(), newData.size(), false) !=
                    PA_OK)
                return;
        }
        std::vector<unsigned char> package;
        if (BuildPackage(oldDir.c_str(), newDir.c_str(), 0, package, nullptr, nullptr) != PA_OK ||
            WriteFileReplacing(patchDir.c_str(), "bench.mdp", package.data(), package.size(),
                               false) != PA_OK)
            return;
        packageBytes = package.size();
        ok = true;
    }
    ~Fixture()
    {
        if (!root.empty())
            RemoveTree(root);
    }
};

// Built on first use and kept for the run, one per distribution.
Fixture& Sets(Spread spread)
{
    if (spread == Spread::kFewFiles) {
        static Fixture few(Spread::kFewFiles);
        return few;
    }
    static Fixture every(Spread::kEveryFile);
    return every;
}

std::string FreshDir(const Fixture& f, const char* name)
{
    std::string dir = f.root + "/" + name;
    RemoveTree(dir);
    mkdir(dir.c_str(), 0755);
    return dir;
}

void BM_MakePackage(benchmark::State& state, Spread spread)
{
    Fixture& f = Sets(spread);
    if (!f.ok) {
        state.SkipWithError("cannot build the sets");
        return;
    }
    std::vector<unsigned char> package;
    for (auto _ : state)
        BuildPackage(f.oldDir.c_str(), f.newDir.c_str(), 0, package, nullptr, nullptr);
    state.counters["package_bytes"] = static_cast<double>(package.size());
}

double Seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// User plus system time of this process (self) or of its waited-for
// children, in seconds.
double CpuSeconds(int who)
{
    struct rusage ru;
    getrusage(who, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Apply and cp take turns in every iteration, so a machine whose load
// drifts during the run treats both alike. The benchmark's time is the
// apply's; the cp figures and the ratios are counters beside it.
void BM_ApplyVersusCopy(benchmark::State& state, Spread spread)
{
    Fixture& f = Sets(spread);
    if (!f.ok) {
        state.SkipWithError("cannot build the sets");
        return;
    }
    state.counters["new_set_MiB"] = static_cast<double>(f.newBytes) / (1 << 20);
    state.counters["package_MiB"] = static_cast<double>(f.packageBytes) / (1 << 20);
    state.counters["package_percent"] =
        100.0 * static_cast<double>(f.packageBytes) / static_cast<double>(f.newBytes);
    if (f.packageBytes * 10 > f.newBytes) {
        state.SkipWithError("package larger than 10% of the new set");
        return;
    }
    std::string copy = "cp -r '" + f.newDir + "' '" + f.root + "/copy'";
    std::vector<double> applyTimes;
    std::vector<double> copyTimes;
    double applyCpu = 0;
    double copyCpu = 0;
    for (auto _ : state) {
        std::string dest = FreshDir(f, "dest");
        RemoveTree(f.root + "/copy");
        ApplyRequest req;
        req.patchDir = f.patchDir.c_str();
        req.srcDir = f.oldDir.c_str();
        req.destDir = dest.c_str();
        double cpu = CpuSeconds(RUSAGE_SELF);
        auto start = std::chrono::steady_clock::now();
        if (ApplyPackageDirectory(req) != PA_OK) {
            state.SkipWithError("apply failed");
            return;
        }
        applyTimes.push_back(Seconds(start));
        applyCpu += CpuSeconds(RUSAGE_SELF) - cpu;
        cpu = CpuSeconds(RUSAGE_CHILDREN);
        start = std::chrono::steady_clock::now();
        if (std::system(copy.c_str()) != 0) {
            state.SkipWithError("cp failed");
            return;
        }
        copyTimes.push_back(Seconds(start));
        copyCpu += CpuSeconds(RUSAGE_CHILDREN) - cpu;
        state.SetIterationTime(applyTimes.back());
    }
    state.counters["apply_median_ms"] = 1000 * Median(applyTimes);
    state.counters["cp_median_ms"] = 1000 * Median(copyTimes);
    state.counters["apply_to_cp"] = Median(applyTimes) / Median(copyTimes);
    // The same ratio per iteration, apply against the cp right after it:
    // the spread shows how far the median can be trusted.
    std::vector<double> ratios;
    for (size_t i = 0; i < applyTimes.size(); ++i) ratios.push_back(applyTimes[i] / copyTimes[i]);
    std::sort(ratios.begin(), ratios.end());
    state.counters["ratio_best"] = ratios.front();
    state.counters["ratio_worst"] = ratios.back();
    state.counters["apply_faster"] = static_cast<double>(
        std::count_if(ratios.begin(), ratios.end(), [](double r) { return r < 1; }));
    // CPU time does not depend on what else the machine runs; the child
    // figure includes the shell that system() starts.
    state.counters["apply_cpu_ms"] = 1000 * applyCpu / static_cast<double>(applyTimes.size());
    state.counters["cp_cpu_ms"] = 1000 * copyCpu / static_cast<double>(copyTimes.size());
}

BENCHMARK_CAPTURE(BM_MakePackage, every_file, Spread::kEveryFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK_CAPTURE(BM_ApplyVersusCopy, few_files, Spread::kFewFiles)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(15);
BENCHMARK_CAPTURE(BM_ApplyVersusCopy, every_file, Spread::kEveryFile)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(15);

}  // namespace

BENCHMARK_MAIN();
