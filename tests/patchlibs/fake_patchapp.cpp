// Purpose-built patch libraries for tests. One source, built several times:
// FAKE_EXPORT_30 and FAKE_EXPORT_OLD choose the entry points exported; the
// behaviour of apply is steered by environment variables:
//   FAKE_PATCH_RECORD   file that receives one line per apply call
//   FAKE_PATCH_RESULT   "0" makes apply fail (default: succeed)
//   FAKE_PATCH_PROGRESS comma-separated progress values to report
//   FAKE_PATCH_SET      directory whose regular files are copied into DestDir
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/patch_interface.h"

namespace {

void Record(const std::string& line)
{
    if (const char* path = getenv("FAKE_PATCH_RECORD"))
        std::ofstream(path, std::ios::app) << line << "\n";
}

void CopySet(const std::string& from, const std::string& to)
{
    DIR* dir = opendir(from.c_str());
    while (struct dirent* e = dir != nullptr ? readdir(dir) : nullptr) {
        struct stat st;
        std::string src = from + "/" + e->d_name;
        if (stat(src.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            std::ofstream(to + "/" + e->d_name, std::ios::binary)
                << std::ifstream(src, std::ios::binary).rdbuf();
    }
    if (dir != nullptr)
        closedir(dir);
}

int Apply(const char* kind, const char* patch, const char* src, const char* dest,
          CPatchApplicationNotify* notify)
{
    Record(std::string(kind) + " patch=" + patch + " src=" + src + " dest=" + dest +
           " notify=" + (notify != nullptr ? "yes" : "no"));
    std::istringstream values(getenv("FAKE_PATCH_PROGRESS") ? getenv("FAKE_PATCH_PROGRESS") : "");
    for (std::string item; notify != nullptr && std::getline(values, item, ',');) {
        uint32_t cancel = 7;  // the adapter must overwrite it
        notify->OnProgress(static_cast<uint32_t>(strtoul(item.c_str(), nullptr, 10)), &cancel);
        if (cancel != 0)
            return 0;
    }
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
        delete this;
        return 0;
    }
    int ApplyPatch(const char* patch, const char* src, const char* dest,
                   CPatchApplicationNotify* notify) override
    {
        return Apply("apply-old", patch, src, dest, notify);
    }
};

class Fake30 final : public IPatchApplication30 {
public:
    uint32_t Release() override
    {
        delete this;
        return 0;
    }
    uint32_t Reserved1() override { return 0; }
    uint32_t Reserved2() override { return 0; }
    int ApplyPatch(const char* patch, const char* src, const char* dest, const char*,
                   CPatchApplicationNotify* notify) override
    {
        return Apply("apply-30", patch, src, dest, notify);
    }
};

}  // namespace

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#ifdef FAKE_EXPORT_OLD
FAKE_EXPORT IPatchApplication* CreatePatchApplicationInstance()
{
    return new FakeOld;
}
#endif
#ifdef FAKE_EXPORT_30
FAKE_EXPORT IPatchApplication30* CreatePatchApplication30Instance()
{
    return new Fake30;
}
#endif
#if !defined(FAKE_EXPORT_OLD) && !defined(FAKE_EXPORT_30)
FAKE_EXPORT int NotAPatchLibrary()
{
    return 0;
}
#endif
