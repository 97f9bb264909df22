#include "publisher/defset.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>

#include "platform/find.h"
#include "platform/profile.h"
#include "publisher/crypto.h"
#include "publisher/fs_util.h"

namespace publisher {

namespace {

constexpr const char* kMainFile = "virscan1.dat";
constexpr const char* kCatalogFile = "catalog.dat";
// Large enough for a section naming tens of thousands of files.
constexpr DWORD kSectionBufferSize = 4 * 1024 * 1024;

// The entries of one catalog section as the store reads them: each line,
// only the part after its last "/", line ends and surrounding blanks
// removed; the list ends at the first empty entry.
Status ReadCatalogSection(const std::string& catalog, const char* section,
                          std::vector<std::string>* out, bool* present)
{
    out->clear();
    std::unique_ptr<char[]> buffer(new char[kSectionBufferSize]);
    DWORD got =
        GetPrivateProfileSection(section, buffer.get(), kSectionBufferSize, catalog.c_str());
    if (got >= kSectionBufferSize - 2)
        return Fail(Exit::kRefused, std::string("catalog section [") + section + "] is too large");
    *present = got > 0;
    for (const char* p = buffer.get(); *p != '\0' && *p != '\r' && *p != '\n';) {
        std::string entry = p;
        p += entry.size() + 1;
        size_t slash = entry.rfind('/');
        if (slash != std::string::npos)
            entry.erase(0, slash + 1);
        while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
        size_t first = entry.find_first_not_of(" \t");
        size_t last = entry.find_last_not_of(" \t");
        entry = first == std::string::npos ? "" : entry.substr(first, last - first + 1);
        if (!entry.empty())
            out->push_back(entry);
    }
    return Ok();
}

// Hub files are looked up in any letter case and copied under lower-case
// names, so a hub list is a set of lower-case names that must all exist.
Status HubList(const std::string& catalog, const std::vector<const char*>& sections,
               const std::set<std::string>& names, std::vector<std::string>* out, bool* present)
{
    std::set<std::string> hub;
    *present = false;
    for (const char* section : sections) {
        std::vector<std::string> entries;
        bool here = false;
        Status st = ReadCatalogSection(catalog, section, &entries, &here);
        if (!st.ok())
            return st;
        *present = *present || !entries.empty();
        for (const std::string& entry : entries) {
            std::string name = Lower(entry);
            if (names.count(name) == 0)
                return Fail(Exit::kRefused, std::string("catalog section [") + section +
                                                "] lists " + entry + ", which the set lacks");
            hub.insert(name);
        }
    }
    out->assign(hub.begin(), hub.end());
    return Ok();
}

// The digests a set is looked up by, from its files and file lists.
void FillDigests(SetInfo* pInfo)
{
    pInfo->digest = SetDigest(pInfo->files);
    pInfo->installedDigest = SetDigest(pInfo->Select(pInfo->installed));
    if (pInfo->hasBinhub)
        pInfo->binhubDigest = SetDigest(pInfo->Select(pInfo->binhub));
    if (pInfo->hasTexthub)
        pInfo->texthubDigest = SetDigest(pInfo->Select(pInfo->texthub));
}

}  // namespace

std::string SetDate::Name() const
{
    char text[32];
    snprintf(text, sizeof text, "%04d%02d%02d.%03u", year, month, day, revision);
    return text;
}

uint64_t SetDate::Sequence() const
{
    return static_cast<uint64_t>(year - 2000) * 10000000 + static_cast<uint64_t>(month) * 100000 +
           static_cast<uint64_t>(day) * 1000 + revision;
}

bool ParseSetHeader(const std::string& header, SetDate* out)
{
    if (header.size() < 11)
        return false;
    const unsigned char* h = reinterpret_cast<const unsigned char*>(header.data());
    uint32_t revision = h[4] | h[5] << 8 | h[6] << 16 | static_cast<uint32_t>(h[7]) << 24;
    int month = h[8], day = h[9], yearByte = h[10];
    if (revision > 999 || month < 1 || month > 12 || day < 1 || day > 31 || yearByte < 100 ||
        yearByte > 200)
        return false;
    *out = SetDate{yearByte + 1900, month, day, revision};
    return true;
}

std::string SetDigest(std::vector<FileRecord> files)
{
    std::sort(files.begin(), files.end(),
              [](const FileRecord& a, const FileRecord& b) { return a.name < b.name; });
    Sha256 sha;
    for (const FileRecord& f : files) {
        std::string line = f.name + " " + std::to_string(f.size) + " " + f.sha256 + "\n";
        sha.Update(line.data(), line.size());
    }
    return sha.FinalHex();
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool IsPublishableName(const std::string& name)
{
    if (name.empty() || name.size() > 128 || name == "." || name == "..")
        return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                  c == '-' || c == '+' || c == '~';
        if (!ok)
            return false;
    }
    return true;
}

bool IsValidProductName(const std::string& product)
{
    if (product.empty() || product.size() > 200 || product.front() == ' ' || product.back() == ' ')
        return false;
    for (size_t i = 0; i < product.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(product[i]);
        if (c < 0x20 || c > 0x7e || (c == ' ' && product[i + 1] == ' '))
            return false;
    }
    return true;
}

bool ProductSlug(const std::string& product, std::string* slug)
{
    if (!IsValidProductName(product))
        return false;
    std::string out;
    bool pendingDash = false;
    for (char c : Lower(product)) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            if (pendingDash && !out.empty())
                out += '-';
            pendingDash = false;
            out += c;
        } else {
            pendingDash = true;
        }
    }
    if (out.empty() || out.size() > 64)
        return false;
    *slug = out;
    return true;
}

bool ContentSegment(const std::string& contentType, std::string* segment)
{
    if (contentType.empty()) {
        *segment = "_default";
        return true;
    }
    std::string lower = Lower(contentType);
    if (lower.size() > 64 || lower[0] == '_' || lower[0] == '.')
        return false;
    for (char c : lower) {
        bool ok =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    *segment = lower;
    return true;
}

bool MatchesCleanup(const std::vector<std::string>& patterns, const std::string& name)
{
    for (const std::string& pattern : patterns) {
        if (WildcardMatch(pattern == "*.*" ? "*" : pattern.c_str(), name.c_str()))
            return true;
    }
    return false;
}

bool SetInfo::BinhubIsWholeSet() const
{
    if (!hasBinhub || binhub.size() != files.size())
        return false;
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].name != binhub[i])
            return false;
    }
    return true;
}

std::vector<FileRecord> SetInfo::Select(const std::vector<std::string>& names) const
{
    std::vector<FileRecord> out;
    for (const std::string& name : names) {
        auto it =
            std::lower_bound(files.begin(), files.end(), name,
                             [](const FileRecord& f, const std::string& n) { return f.name < n; });
        if (it != files.end() && it->name == name)
            out.push_back(*it);
    }
    return out;
}

Status DescribeSet(const std::string& dir, const std::vector<FileRecord>& files, SetInfo* out)
{
    SetInfo info;
    info.files = files;
    std::sort(info.files.begin(), info.files.end(),
              [](const FileRecord& a, const FileRecord& b) { return a.name < b.name; });
    std::set<std::string> names;
    for (const FileRecord& f : info.files) names.insert(f.name);
    if (names.count(kMainFile) == 0 || names.count(kCatalogFile) == 0)
        return Fail(Exit::kRefused, "a set needs virscan1.dat and catalog.dat");

    std::string header;
    bool tooLarge = false;
    Status st = ReadFileCapped(dir + "/" + kMainFile, 32, &header, &tooLarge);
    if (!st.ok() && !tooLarge)
        return st;
    if (tooLarge) {
        // Only the header matters; read it alone.
        FILE* f = fopen((dir + "/" + kMainFile).c_str(), "rb");
        char buffer[32];
        size_t got = f != nullptr ? fread(buffer, 1, sizeof buffer, f) : 0;
        if (f != nullptr)
            fclose(f);
        header.assign(buffer, got);
    }
    if (!ParseSetHeader(header, &info.date))
        return Fail(Exit::kRefused, "virscan1.dat does not carry a valid date and revision");

    std::string catalog = dir + "/" + kCatalogFile;
    st = HubList(catalog, {"Binary Hub Files - Linux", "Binary Hub Files - Common"}, names,
                 &info.binhub, &info.hasBinhub);
    if (st.ok())
        st = HubList(catalog, {"Text Hub Files"}, names, &info.texthub, &info.hasTexthub);
    std::vector<std::string> cleanup;
    bool hasCleanup = false;
    if (st.ok())
        st = ReadCatalogSection(catalog, "Cleanup Files", &cleanup, &hasCleanup);
    if (!st.ok())
        return st;
    for (const FileRecord& f : info.files) {
        if (!MatchesCleanup(cleanup, f.name))
            info.installed.push_back(f.name);
    }

    FillDigests(&info);
    *out = std::move(info);
    return Ok();
}

json SetInfoToJson(const SetInfo& info)
{
    json files = json::array();
    for (const FileRecord& f : info.files) files.push_back({f.name, f.size, f.sha256});
    json j = {{"date",
               {static_cast<uint64_t>(info.date.year), static_cast<uint64_t>(info.date.month),
                static_cast<uint64_t>(info.date.day), static_cast<uint64_t>(info.date.revision)}},
              {"files", files},
              {"installed", info.installed}};
    if (info.hasBinhub)
        j["binhub"] = info.binhub;
    if (info.hasTexthub)
        j["texthub"] = info.texthub;
    return j;
}

bool SetInfoFromJson(const json& j, SetInfo* out)
{
    try {
        SetInfo info;
        const json& date = j.at("date");
        info.date = SetDate{date.at(0).get<int>(), date.at(1).get<int>(), date.at(2).get<int>(),
                            date.at(3).get<uint32_t>()};
        for (const json& f : j.at("files"))
            info.files.push_back(FileRecord{f.at(0).get<std::string>(), f.at(1).get<uint64_t>(),
                                            f.at(2).get<std::string>()});
        info.installed = j.at("installed").get<std::vector<std::string>>();
        info.hasBinhub = j.contains("binhub");
        if (info.hasBinhub)
            info.binhub = j.at("binhub").get<std::vector<std::string>>();
        info.hasTexthub = j.contains("texthub");
        if (info.hasTexthub)
            info.texthub = j.at("texthub").get<std::vector<std::string>>();
        FillDigests(&info);
        *out = std::move(info);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace publisher
