// Purpose-built patch libraries for tests. One source, built several times:
// FAKE_EXPORT_30 and FAKE_EXPORT_OLD choose the entry points exported; the
// behaviour of apply is steered by environment variables:
//   FAKE_PATCH_RECORD   file that receives one line per apply call
//   FAKE_PATCH_RESULT   "0" makes apply fail (default: succeed)
//   FAKE_PATCH_PROGRESS comma-separated progress values to report
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "common/patch_interface.h"

namespace {

int Apply(const char* kind, const char* patch, const char* src, const char* dest,
          CPatchApplicationNotify* notify)
{
    if (const char* path = getenv("FAKE_PATCH_RECORD"))
        std::ofstream(path, std::ios::app)
            << kind << " patch=" << patch << " src=" << src << " dest=" << dest
            << " notify=" << (notify ? "yes" : "no") << "\n";
    std::istringstream values(getenv("FAKE_PATCH_PROGRESS") ? getenv("FAKE_PATCH_PROGRESS") : "");
    for (std::string item; notify != nullptr && std::getline(values, item, ',');) {
        uint32_t cancel = 7;  // the caller's adapter must overwrite it
        notify->OnProgress(static_cast<uint32_t>(strtoul(item.c_str(), nullptr, 10)), &cancel);
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
    int ApplyPatch(const char* patch, const char* src, const char* dest,
                   CPatchApplicationNotify* notify) override
    {
        return Apply("apply-old", patch, src, dest, notify);
    }
    int ApplyPatch(const char* patch, const char* src, const char* dest, const char*,
                   CPatchApplicationNotify* notify) override
    {
        return Apply("apply-30", patch, src, dest, notify);
    }
};

}  // namespace

// The "none" variant exports neither entry point.
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
