// Purpose-built patch libraries for tests. One source, built several times:
// FAKE_EXPORT_30 and FAKE_EXPORT_OLD choose the entry points exported; the
// behaviour of apply is steered by environment variables:
//   FAKE_PATCH_RECORD   file that receives one line per call
//   FAKE_PATCH_RESULT   "0" makes apply fail (default: succeed)
//   FAKE_PATCH_PROGRESS comma-separated progress values to report
//   FAKE_PATCH_SET      directory whose files are copied into DestDir
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "defutils/patch_interface.h"

namespace {

void Record(const std::string& line)
{
    const char* path = getenv("FAKE_PATCH_RECORD");
    if (path == nullptr)
        return;
    if (FILE* f = fopen(path, "a")) {
        fprintf(f, "%s\n", line.c_str());
        fclose(f);
    }
}

void CopySet(const char* from, const char* to)
{
    DIR* dir = opendir(from);
    if (dir == nullptr)
        return;
    while (struct dirent* e = readdir(dir)) {
        std::string src = std::string(from) + "/" + e->d_name;
        struct stat st;
        if (stat(src.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        std::string dst = std::string(to) + "/" + e->d_name;
        FILE* in = fopen(src.c_str(), "rb");
        FILE* out = fopen(dst.c_str(), "wb");
        char buf[4096];
        size_t n;
        while (in != nullptr && out != nullptr && (n = fread(buf, 1, sizeof buf, in)) > 0)
            fwrite(buf, 1, n, out);
        if (in != nullptr)
            fclose(in);
        if (out != nullptr)
            fclose(out);
    }
    closedir(dir);
}

// Reports the configured progress values; true when the receiver cancelled.
bool ReportProgress(CPatchApplicationNotify* notify)
{
    const char* values = getenv("FAKE_PATCH_PROGRESS");
    if (values == nullptr || notify == nullptr)
        return false;
    std::string list = values;
    size_t pos = 0;
    while (pos < list.size()) {
        size_t comma = list.find(',', pos);
        std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        uint32_t cancel = 7;  // the adapter must clear it
        notify->OnProgress(static_cast<uint32_t>(strtoul(item.c_str(), nullptr, 10)), &cancel);
        Record("progress " + item + " cancel " + std::to_string(cancel));
        if (cancel != 0)
            return true;
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return false;
}

int Apply(const char* kind, const char* patch, const char* src, const char* dest,
          const char* hubTemp, CPatchApplicationNotify* notify)
{
    Record(std::string(kind) + " patch=" + patch + " src=" + src + " dest=" + dest +
           (hubTemp != nullptr ? std::string(" hubtemp=") + hubTemp : std::string()) +
           " notify=" + (notify != nullptr ? "yes" : "no"));
    if (ReportProgress(notify))
        return 0;
    const char* result = getenv("FAKE_PATCH_RESULT");
    if (result != nullptr && strcmp(result, "0") == 0)
        return 0;
    if (const char* set = getenv("FAKE_PATCH_SET"))
        CopySet(set, dest);
    return 1;
}

class FakeOld final : public IPatchApplication {
public:
    uint32_t Release() override
    {
        Record("release old");
        delete this;
        return 0;
    }
    int ApplyPatch(const char* patch, const char* src, const char* dest,
                   CPatchApplicationNotify* notify) override
    {
        return Apply("apply-old", patch, src, dest, nullptr, notify);
    }
};

class Fake30 final : public IPatchApplication30 {
public:
    uint32_t Release() override
    {
        Record("release 30");
        delete this;
        return 0;
    }
    uint32_t Reserved1() override { return 0; }
    uint32_t Reserved2() override { return 0; }
    int ApplyPatch(const char* patch, const char* src, const char* dest, const char* hubTemp,
                   CPatchApplicationNotify* notify) override
    {
        return Apply("apply-30", patch, src, dest, hubTemp, notify);
    }
};

}  // namespace

#ifdef FAKE_EXPORT_OLD
extern "C" __attribute__((visibility("default"))) IPatchApplication* CreatePatchApplicationInstance()
{
    return new FakeOld;
}
#endif

#ifdef FAKE_EXPORT_30
extern "C" __attribute__((visibility("default"))) IPatchApplication30* CreatePatchApplication30Instance()
{
    return new Fake30;
}
#endif

#if !defined(FAKE_EXPORT_OLD) && !defined(FAKE_EXPORT_30)
extern "C" __attribute__((visibility("default"))) int NotAPatchLibrary()
{
    return 0;
}
#endif
