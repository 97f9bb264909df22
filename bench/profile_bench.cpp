// Looking up the last key of a 10,000-section profile file, against a plain
// fgets pass over the same file: the lookup should cost at most about twice
// the bare read, since it streams the file once with one line buffer.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/profile.h"

namespace {

constexpr int kSections = 10000;

class BenchFile {
public:
    BenchFile()
    {
        char tmpl[] = "/tmp/qdu-profile-bench-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0)
            abort();
        m_path = tmpl;
        FILE* fp = fdopen(fd, "wb");
        if (fp == nullptr)
            abort();
        for (int i = 0; i < kSections; ++i)
            fprintf(fp, "[Section%05d]\nName=Set %05d\nKey=Value%05d\n\n", i, i, i);
        fclose(fp);
    }
    ~BenchFile() { unlink(m_path.c_str()); }
    const char* Path() const { return m_path.c_str(); }

private:
    std::string m_path;
};

const BenchFile& File()
{
    static BenchFile file;
    return file;
}

void BM_LastKeyLookup(benchmark::State& state)
{
    const char* path = File().Path();
    char section[32];
    snprintf(section, sizeof section, "Section%05d", kSections - 1);
    char value[64];
    for (auto _ : state) {
        DWORD n = GetPrivateProfileString(section, "Key", "", value, sizeof value, path);
        if (n != 10)
            state.SkipWithError("last key not found");
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_LastKeyLookup)->Unit(benchmark::kMicrosecond);

void BM_PlainFgetsPass(benchmark::State& state)
{
    const char* path = File().Path();
    char line[255];
    for (auto _ : state) {
        FILE* fp = fopen(path, "rb");
        if (fp == nullptr) {
            state.SkipWithError("cannot open");
            break;
        }
        size_t lines = 0;
        while (fgets(line, sizeof line, fp) != nullptr) ++lines;
        fclose(fp);
        benchmark::DoNotOptimize(lines);
    }
}
BENCHMARK(BM_PlainFgetsPass)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
