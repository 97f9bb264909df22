#include "tools/patchapp/package_builder.h"

#include <map>

#include "tools/patchapp/delta.h"
#include "tools/patchapp/hash.h"
#include "tools/patchapp/set_files.h"

namespace patchapp {
namespace {

PaResult Fail(PaResult result, std::string* why, const std::string& text)
{
    if (why != nullptr)
        *why = text;
    return result;
}

PaResult ListSet(const char* dir, std::vector<std::string>& names, std::string* why)
{
    std::vector<DirEntry> entries;
    if (ListDirectory(dir, entries) != PA_OK)
        return Fail(PA_E_IO, why, std::string("cannot list ") + dir);
    names.clear();
    for (const DirEntry& e : entries) {
        if (!e.isRegular || !IsValidSetFileName(e.name))
            return Fail(PA_E_BAD_ARGUMENT, why,
                        std::string("not a regular file: ") + dir + "/" + e.name);
        names.push_back(e.name);
    }
    return PA_OK;
}

PaResult ReadSetFile(const char* dir, const std::string& name, Bytes& data, std::string* why)
{
    PathBuf path;
    if (!JoinPath(path, dir, name))
        return Fail(PA_E_BAD_ARGUMENT, why, std::string("path too long: ") + dir + "/" + name);
    if (ReadWholeFile(path.c_str(), kMaxFileSize, data) != PA_OK)
        return Fail(PA_E_IO, why, std::string("cannot read ") + path.c_str());
    return PA_OK;
}

}  // namespace

PaResult BuildPackage(const char* oldDir, const char* newDir, uint32_t flags,
                      std::vector<unsigned char>& out, BuildStats* stats, std::string* why)
{
    BuildStats local;
    BuildStats& count = stats != nullptr ? *stats : local;
    count = BuildStats();
    std::vector<std::string> oldNames;
    std::vector<std::string> newNames;
    PaResult rc = ListSet(oldDir, oldNames, why);
    if (rc == PA_OK)
        rc = ListSet(newDir, newNames, why);
    if (rc != PA_OK)
        return rc;

    // name -> whether the new set has it; std::map keeps the entries sorted.
    std::map<std::string, bool> all;
    for (const std::string& n : oldNames) all[n] = false;
    for (const std::string& n : newNames) all[n] = true;
    std::map<std::string, bool> inOld;
    for (const std::string& n : oldNames) inOld[n] = true;

    // Payloads are kept here until serialisation; entries point into them.
    std::vector<std::vector<unsigned char>> payloads;
    payloads.reserve(all.size());
    Package package;
    package.flags = flags;
    Bytes oldData;
    Bytes newData;
    for (const auto& item : all) {
        PackageEntry e;
        e.name = item.first;
        e.hasSource = inOld.count(item.first) != 0;
        oldData.clear();
        if (e.hasSource && (rc = ReadSetFile(oldDir, e.name, oldData, why)) != PA_OK)
            return rc;
        e.sourceSize = e.hasSource ? oldData.size() : 0;
        e.sourceHash = e.hasSource ? Hash64(oldData.data(), oldData.size()) : 0;
        if (!item.second) {
            e.kind = EntryKind::kRemoved;
            ++count.removed;
            package.entries.push_back(e);
            continue;
        }
        if ((rc = ReadSetFile(newDir, e.name, newData, why)) != PA_OK)
            return rc;
        e.resultSize = newData.size();
        e.resultHash = Hash64(newData.data(), newData.size());
        payloads.emplace_back();
        std::vector<unsigned char>& payload = payloads.back();
        if (e.hasSource && oldData == newData) {
            e.kind = EntryKind::kUnchanged;
            ++count.unchanged;
        } else {
            if (e.hasSource)
                EncodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size(),
                            payload);
            if (e.hasSource && !payload.empty() && payload.size() < newData.size()) {
                e.kind = EntryKind::kDelta;
                ++count.deltas;
            } else {
                e.kind = EntryKind::kWhole;
                payload.assign(newData.begin(), newData.end());
                ++count.whole;
            }
        }
        e.payload = payload.data();
        e.payloadSize = payload.size();
        package.entries.push_back(e);
    }
    out.clear();
    SerializePackage(package, out);
    return PA_OK;
}

}  // namespace patchapp
