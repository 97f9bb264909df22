// Patch libraries for tests, one source built with FAKE_EXPORT_30 and/or
// FAKE_EXPORT_OLD (the entry points exported). FAKE_PATCH_RECORD names a file
// that gets a line per apply; FAKE_PATCH_RESULT=0 makes apply fail;
// FAKE_PATCH_PROGRESS holds comma-separated percentages to report.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/patch_interface.h"

namespace {

int Apply(const char* kind, const char* p, const char* s, const char* d, CPatchApplicationNotify* n)
{
    if (const char* path = getenv("FAKE_PATCH_RECORD"))
        std::ofstream(path, std::ios::app) << kind << " patch=" << p << " src=" << s
                                           << " dest=" << d << " notify=" << (n ? "yes\n" : "no\n");
    std::istringstream values(getenv("FAKE_PATCH_PROGRESS") ? getenv("FAKE_PATCH_PROGRESS") : "");
    for (std::string item; n != nullptr && std::getline(values, item, ',');) {
        uint32_t cancel = 7;  // the caller's adapter must overwrite it
        n->OnProgress(static_cast<uint32_t>(strtoul(item.c_str(), nullptr, 10)), &cancel);
        if (cancel != 0)
            return 0;
    }
    const char* result = getenv("FAKE_PATCH_RESULT");
    return result != nullptr && std::string(result) == "0" ? 0 : 1;
}

// One object serves both interfaces; Release overrides the slot 0 of each.
class Fake final : public IPatchApplication, public IPatchApplication30 {
public:
    uint32_t Release() override { return delete this, 0; }
    uint32_t Reserved1() override { return 0; }
    uint32_t Reserved2() override { return 0; }
    int ApplyPatch(const char* p, const char* s, const char* d, CPatchApplicationNotify* n) override
    {
        return Apply("apply-old", p, s, d, n);
    }
    int ApplyPatch(const char* p, const char* s, const char* d, const char*,
                   CPatchApplicationNotify* n) override
    {
        return Apply("apply-30", p, s, d, n);
    }
};

}  // namespace

#define FAKE_ENTRY(Type, name)                                     \
    extern "C" __attribute__((visibility("default"))) Type* name() \
    {                                                              \
        return new Fake;                                           \
    }
#ifdef FAKE_EXPORT_OLD
FAKE_ENTRY(IPatchApplication, CreatePatchApplicationInstance)
#endif
#ifdef FAKE_EXPORT_30
FAKE_ENTRY(IPatchApplication30, CreatePatchApplication30Instance)
#endif
