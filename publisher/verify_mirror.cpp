#include "publisher/verify_mirror.h"

#include <map>

#include "publisher/metadata.h"
#include "publisher/verifier.h"
#include "tools/patchapp/package_format.h"

namespace publisher {

namespace {

struct Pair {
    const json* record = nullptr;  // custom of <pair>/set.json
    std::string recordPath;
    std::vector<FileRecord> files;
    std::vector<std::pair<std::string, const json*>> packages;  // path, entry
};

// "<kind>-<from>-<to>.mdp" of a package target's last component.
bool ParsePackageName(const std::string& name, std::string* kind, uint64_t* from, uint64_t* to)
{
    char k[16] = {};
    unsigned long long f = 0, t = 0;
    int used = 0;
    if (sscanf(name.c_str(), "%15[a-z]-%llu-%llu.mdp%n", k, &f, &t, &used) != 3 ||
        static_cast<size_t>(used) != name.size())
        return false;
    *kind = k;
    *from = f;
    *to = t;
    return true;
}

void CheckPackage(const std::string& mirror, const std::string& path, const json& entry,
                  const Pair& pair, std::vector<std::string>* problems)
{
    auto problem = [&](const std::string& text) { problems->push_back(path + ": " + text); };
    const json* custom = Member(entry, "custom");
    std::string kind, nameKind, toSet, toDigest, fromDigest, sha, recordSet;
    uint64_t from = 0, to = 0, fromSeq = 0, toSeq = 0, recordSeq = 0;
    const json* fromPart = custom != nullptr ? Member(*custom, "from") : nullptr;
    const json* toPart = custom != nullptr ? Member(*custom, "to") : nullptr;
    if (!ParsePackageName(path.substr(path.rfind('/') + 1), &nameKind, &from, &to) ||
        fromPart == nullptr || toPart == nullptr || !GetString(*custom, "kind", &kind) ||
        !GetUint(*fromPart, "sequence", &fromSeq) || !GetString(*fromPart, "digest", &fromDigest) ||
        !GetUint(*toPart, "sequence", &toSeq) || !GetString(*toPart, "digest", &toDigest) ||
        !GetString(*toPart, "set", &toSet))
        return problem("malformed package entry");
    if (kind != nameKind || from != fromSeq || to != toSeq)
        return problem("name and recorded kind or sequence numbers differ");
    if (kind != "direct" && kind != "binhub" && kind != "texthub")
        return problem("unknown package kind " + kind);
    GetUint(*pair.record, "sequence", &recordSeq);
    GetString(*pair.record, "set", &recordSet);
    std::string expected;
    GetString(*pair.record, kind == "direct" ? "digest" : kind.c_str(), &expected);
    if (toSeq != recordSeq || toSet != recordSet || toDigest != expected)
        problem("does not lead to the newest set");
    if (fromSeq >= toSeq)
        problem("starts from a set that is not older");

    GetString(entry["hashes"], "sha256", &sha);
    std::string bytes;
    if (!ReadFileCapped(mirror + "/" + TargetFilePath(path, sha), 2ull << 30, &bytes).ok())
        return;  // reported with the target files
    patchapp::Package package;
    if (patchapp::ParsePackage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                               package) != patchapp::PA_OK)
        return problem("not a valid package");
    bool hub = (package.flags & patchapp::kFlagUpdatesSource) != 0;
    if (hub != (kind != "direct"))
        problem("hub flag does not match its kind");
    if (kind == "texthub")
        return;
    // What the package produces must be the published set, name for name.
    std::map<std::string, uint64_t> results;
    for (const patchapp::PackageEntry& e : package.entries) {
        if (e.HasResult())
            results[e.name] = e.resultSize;
    }
    std::map<std::string, uint64_t> published;
    for (const FileRecord& f : pair.files) published[f.name] = f.size;
    if (results != published)
        problem("does not produce the published files");
}

}  // namespace

std::vector<std::string> VerifyMirror(const std::string& mirror, const std::string& rootBytes,
                                      int64_t now, const ProgressFn& progress, std::string* summary)
{
    std::vector<std::string> problems;
    DirectoryFetcher fetcher(mirror);
    TrustClient client(&fetcher, now);
    Check c = client.SetTrustedRoot(rootBytes);
    if (c.ok())
        c = client.Update();
    if (!c.ok()) {
        problems.push_back(std::string(ProblemName(c.problem)) + ": " + c.message);
        return problems;
    }

    const json& targets = client.Targets()["targets"];
    std::map<std::string, Pair> pairs;
    uint64_t checked = 0, total = targets.size();
    for (auto it = targets.begin(); it != targets.end(); ++it) {
        const std::string& path = it.key();
        uint64_t length = 0, size = 0;
        std::string sha, actual;
        GetUint(it.value(), "length", &length);
        GetString(it.value()["hashes"], "sha256", &sha);
        std::string file = mirror + "/" + TargetFilePath(path, sha);
        Status st = HashFile(file, &size, &actual);
        if (!st.ok())
            problems.push_back(path + ": missing (" + TargetFilePath(path, sha) + ")");
        else if (size != length)
            problems.push_back(path + ": length " + std::to_string(size) + ", recorded " +
                               std::to_string(length));
        else if (actual != sha)
            problems.push_back(path + ": SHA-256 differs from the recorded one");
        if (progress)
            progress("checking targets", ++checked, total);

        // <product>/<content>/...
        size_t first = path.find('/'), second = path.find('/', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            problems.push_back(path + ": not below a product and content type");
            continue;
        }
        Pair& pair = pairs[path.substr(0, second)];
        std::string rest = path.substr(second + 1);
        if (rest == "set.json") {
            pair.record = Member(it.value(), "custom");
            pair.recordPath = path;
            std::string content;
            if (pair.record != nullptr && st.ok() && ReadFileCapped(file, length, &content).ok() &&
                content != Canonical(*pair.record))
                problems.push_back(path + ": file and recorded custom object differ");
        } else if (rest.compare(0, 4, "set/") == 0 && rest.find('/', 4) == std::string::npos) {
            pair.files.push_back(FileRecord{rest.substr(4), length, sha});
        } else if (rest.compare(0, 9, "packages/") == 0) {
            pair.packages.emplace_back(path, &it.value());
        } else {
            problems.push_back(path + ": not a set file, set record or package");
        }
    }

    for (const auto& [key, pair] : pairs) {
        if (pair.record == nullptr) {
            problems.push_back(key + ": no set record");
            continue;
        }
        std::string product, contentType, digest, slug, segment;
        uint64_t files = 0, length = 0, sum = 0;
        const json& r = *pair.record;
        if (!GetString(r, "product", &product) || !GetString(r, "content_type", &contentType) ||
            !GetString(r, "digest", &digest) || !GetUint(r, "files", &files) ||
            !GetUint(r, "length", &length) || !ProductSlug(product, &slug) ||
            !ContentSegment(contentType, &segment)) {
            problems.push_back(pair.recordPath + ": malformed set record");
            continue;
        }
        if (key != slug + "/" + segment)
            problems.push_back(pair.recordPath +
                               ": product or content type does not match its path");
        for (const FileRecord& f : pair.files) sum += f.size;
        if (files != pair.files.size() || length != sum || digest != SetDigest(pair.files))
            problems.push_back(pair.recordPath + ": does not describe the published set files");
        for (const auto& [path, entry] : pair.packages)
            CheckPackage(mirror, path, *entry, pair, &problems);
    }
    uint64_t rootVersion = 0, targetsVersion = 0, timestampVersion = 0;
    GetUint(client.Root(), "version", &rootVersion);
    GetUint(client.Targets(), "version", &targetsVersion);
    GetUint(client.Timestamp(), "version", &timestampVersion);
    std::string expires;
    GetString(client.Timestamp(), "expires", &expires);
    *summary = "root version " + std::to_string(rootVersion) + ", targets version " +
               std::to_string(targetsVersion) + ", timestamp version " +
               std::to_string(timestampVersion) + " (expires " + expires + "), " +
               std::to_string(pairs.size()) + " product/content pairs, " + std::to_string(total) +
               " targets checked";
    return problems;
}

}  // namespace publisher
