// Publishing one set: import it into the repository under lower-case
// names, place its files on the mirror, make the packages from recent
// sets, and sign new metadata that names all of it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "publisher/metadata.h"
#include "publisher/publisher.h"
#include "tools/patchapp/hash.h"
#include "tools/patchapp/package_builder.h"

namespace publisher {

namespace {

constexpr const char* kRecordFile = "/record.json";

std::string Parent(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Removes a directory tree when it goes out of scope unless released.
class TreeGuard {
public:
    explicit TreeGuard(std::string path) : m_path(std::move(path)) {}
    ~TreeGuard()
    {
        if (!m_path.empty())
            RemoveTree(m_path);
    }
    TreeGuard(const TreeGuard&) = delete;
    TreeGuard& operator=(const TreeGuard&) = delete;
    void Release() { m_path.clear(); }

private:
    std::string m_path;
};

// Hard links of some files of a set directory, for a package whose source
// or result is only part of a set.
Status MakeView(const std::string& view, const std::string& filesDir,
                const std::vector<std::string>& names)
{
    Status st = MakeDirs(view, 0700);
    for (size_t i = 0; st.ok() && i < names.size(); ++i)
        st = LinkOrCopy(filesDir + "/" + names[i], view + "/" + names[i]);
    return st;
}

// A package built for one set directory serves as a hub package of the
// same directories once its flag is set and its trailer hash redone.
void SetHubFlag(std::vector<unsigned char>& package)
{
    package[12] |= static_cast<unsigned char>(patchapp::kFlagUpdatesSource);
    size_t body = package.size() - 8;
    uint64_t hash = patchapp::Hash64(package.data(), body);
    for (int i = 0; i < 8; ++i) package[body + i] = static_cast<unsigned char>(hash >> (8 * i));
}

Status Build(const std::string& from, const std::string& to, uint32_t flags,
             std::vector<unsigned char>* out)
{
    std::string why;
    out->clear();
    if (patchapp::BuildPackage(from.c_str(), to.c_str(), flags, *out, nullptr, &why) !=
        patchapp::PA_OK)
        return Fail(Exit::kIo, "cannot make a package from " + from + ": " + why);
    return Ok();
}

// One package to make: from and to are set directories (or views).
struct PackageJob {
    PackageJob(const SetInfo* p, std::string k, std::string f, std::string t, uint32_t fl)
        : prev(p), kind(std::move(k)), from(std::move(f)), to(std::move(t)), flags(fl)
    {
    }
    const SetInfo* prev;
    std::string kind;
    std::string from, to;
    uint32_t flags;
    bool alsoHub = false;
    std::vector<unsigned char> bytes;
    Status status;
};

json Endpoint(const SetInfo& set, const std::string& digest)
{
    return json{{"digest", digest}, {"sequence", set.date.Sequence()}, {"set", set.date.Name()}};
}

std::string Percent(uint64_t part, uint64_t whole)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f%%", whole == 0 ? 0.0 : 100.0 * part / whole);
    return text;
}

uint64_t TotalSize(const SetInfo& set)
{
    uint64_t total = 0;
    for (const FileRecord& f : set.files) total += f.size;
    return total;
}

// Name -> SHA-256 of the newest set recorded for the pair before `date`,
// and that set's file directory.
std::map<std::string, std::string> PreviousHashes(const std::string& pairDir, const SetDate& date,
                                                  std::string* filesDir)
{
    std::map<std::string, std::string> out;
    std::vector<DirEntry> dirs;
    if (!ListDir(pairDir, &dirs).ok())
        return out;
    for (auto d = dirs.rbegin(); d != dirs.rend(); ++d) {
        // Set names sort in date order; take the newest older one.
        if (!d->isDirectory || d->name[0] == '.' || d->name >= date.Name())
            continue;
        json record;
        std::string text, why;
        SetInfo info;
        if (!ReadFileCapped(pairDir + "/" + d->name + kRecordFile, 64 << 20, &text).ok() ||
            !ParseCanonical(text, record, &why) || !SetInfoFromJson(record, &info))
            continue;
        for (const FileRecord& f : info.files) out[f.name] = f.sha256;
        *filesDir = pairDir + "/" + d->name + "/files";
        break;
    }
    return out;
}

}  // namespace

void Publisher::Progress(const char* what, uint64_t done, uint64_t total) const
{
    if (m_progress)
        m_progress(what, done, total);
}

Status Publisher::PlaceTarget(const std::string& targetPath, const std::string& source,
                              const std::string& sha256)
{
    std::string file = m_mirror + "/" + TargetFilePath(targetPath, sha256);
    if (PathExists(file))
        return Ok();  // named by its hash: the same bytes are already there
    Status st = MakeDirs(Parent(file));
    if (!st.ok())
        return st;
    if (link(source.c_str(), file.c_str()) == 0 || errno == EEXIST)
        return Ok();
    std::string temp = Parent(file) + "/" + TemporaryName("target");
    st = LinkOrCopy(source, temp);
    if (st.ok() && rename(temp.c_str(), file.c_str()) != 0) {
        st = Fail(Exit::kIo, "cannot write " + file + ": " + strerror(errno));
        unlink(temp.c_str());
    }
    return st;
}

Status Publisher::WriteTarget(const std::string& targetPath, const std::string& bytes, json custom,
                              json* entries)
{
    std::string sha = Sha256Hex(bytes);
    std::string file = m_mirror + "/" + TargetFilePath(targetPath, sha);
    Status st = MakeDirs(Parent(file));
    if (st.ok() && !PathExists(file))
        st = WriteFileAtomic(file, bytes, 0644, false);
    if (!st.ok())
        return st;
    json entry = {{"hashes", {{"sha256", sha}}}, {"length", static_cast<uint64_t>(bytes.size())}};
    if (!custom.is_null())
        entry["custom"] = std::move(custom);
    (*entries)[targetPath] = std::move(entry);
    return Ok();
}

Status Publisher::BuildPackages(const std::string& pairKey, const std::string& pairDir,
                                const SetInfo& newest, const std::string& newestDir, json* entries)
{
    std::vector<DirEntry> dirs;
    Status st = ListDir(pairDir, &dirs);
    if (!st.ok())
        return st;
    std::vector<std::pair<SetInfo, std::string>> earlier;
    for (const DirEntry& d : dirs) {
        json record;
        std::string text, why;
        SetInfo info;
        if (!d.isDirectory || d.name[0] == '.' ||
            !ReadFileCapped(pairDir + "/" + d.name + kRecordFile, 64 << 20, &text).ok() ||
            !ParseCanonical(text, record, &why) || !SetInfoFromJson(record, &info))
            continue;
        if (info.date.Sequence() < newest.date.Sequence())
            earlier.emplace_back(std::move(info), pairDir + "/" + d.name + "/files");
    }
    std::sort(earlier.begin(), earlier.end(), [](const auto& a, const auto& b) {
        return a.first.date.Sequence() > b.first.date.Sequence();
    });
    if (earlier.size() > m_deltas)
        earlier.resize(m_deltas);

    const std::string newFiles = newestDir + "/files", to = newest.date.Name();
    if (newest.hasBinhub && !newest.BinhubIsWholeSet())
        m_report.push_back("no binhub packages: the binary hub of " + to +
                           " is not the whole set, so the store could not integrate what a hub "
                           "package makes");

    // First every package to make, with the directories it is made from:
    // partial views of a set are hard links, removed when this returns.
    std::vector<std::unique_ptr<TreeGuard>> views;
    auto view = [&](const std::string& filesDir, const std::vector<std::string>& names,
                    std::string* out) {
        *out = pairDir + "/" + TemporaryName("view");
        views.emplace_back(new TreeGuard(*out));
        return MakeView(*out, filesDir, names);
    };
    std::vector<PackageJob> jobs;
    std::string newTextView;
    for (const auto& [prev, prevFiles] : earlier) {
        bool wholeInstalled = prev.installed.size() == prev.files.size();
        bool hub = prev.BinhubIsWholeSet() && newest.BinhubIsWholeSet();
        PackageJob direct{&prev, "direct", prevFiles, newFiles, 0};
        if (!wholeInstalled)
            st = view(prevFiles, prev.installed, &direct.from);
        // Where the hub is the whole set as published and nothing is
        // cleaned up, the direct package with the hub flag set is the hub
        // package: one build serves both.
        direct.alsoHub = hub && wholeInstalled;
        jobs.push_back(direct);
        if (hub && !wholeInstalled)
            jobs.push_back(
                PackageJob{&prev, "binhub", prevFiles, newFiles, patchapp::kFlagUpdatesSource});
        if (st.ok() && prev.hasTexthub && newest.hasTexthub) {
            PackageJob text{&prev, "texthub", "", "", patchapp::kFlagUpdatesSource};
            if (newTextView.empty())
                st = view(newFiles, newest.texthub, &newTextView);
            text.to = newTextView;
            if (st.ok())
                st = view(prevFiles, prev.texthub, &text.from);
            jobs.push_back(text);
        }
        if (!st.ok())
            return st;
    }

    // Packages are independent; two threads build them (the calling thread
    // is one of them and the only one to report progress).
    std::atomic<size_t> next{0}, done{0};
    auto work = [&](bool reports) {
        for (size_t k; (k = next++) < jobs.size();) {
            try {
                jobs[k].status = Build(jobs[k].from, jobs[k].to, jobs[k].flags, &jobs[k].bytes);
            } catch (const std::exception& e) {
                jobs[k].status = Fail(Exit::kIo, std::string("cannot make a package: ") + e.what());
            }
            ++done;
            if (reports)
                Progress("making packages", done, jobs.size());
        }
    };
    std::thread helper;
    if (jobs.size() > 1)
        helper = std::thread(work, false);
    work(true);
    if (helper.joinable())
        helper.join();

    const uint64_t setSize = TotalSize(newest);
    const std::string toSeq = std::to_string(newest.date.Sequence());
    for (PackageJob& job : jobs) {
        if (!job.status.ok())
            return job.status;
        const SetInfo& prev = *job.prev;
        auto publish = [&](const std::string& kind, const std::string& fromDigest,
                           const std::string& toDigest) {
            std::string path = pairKey + "/packages/" + kind + "-" +
                               std::to_string(prev.date.Sequence()) + "-" + toSeq + ".mdp";
            m_report.push_back("package " + kind + " " + prev.date.Name() + " -> " + to + ": " +
                               std::to_string(job.bytes.size()) + " bytes, " +
                               Percent(job.bytes.size(), setSize) + " of the set");
            return WriteTarget(path, std::string(job.bytes.begin(), job.bytes.end()),
                               {{"from", Endpoint(prev, fromDigest)},
                                {"kind", kind},
                                {"to", Endpoint(newest, toDigest)}},
                               entries);
        };
        if (job.kind == "direct") {
            st = publish("direct", prev.installedDigest, newest.digest);
            if (st.ok() && job.alsoHub) {
                SetHubFlag(job.bytes);
                st = publish("binhub", prev.binhubDigest, newest.binhubDigest);
            }
        } else if (job.kind == "binhub") {
            st = publish("binhub", prev.binhubDigest, newest.binhubDigest);
        } else {
            st = publish("texthub", prev.texthubDigest, newest.texthubDigest);
        }
        if (!st.ok())
            return st;
    }
    return Ok();
}

Status Publisher::AddUnguarded(const AddRequest& request)
{
    std::string slug, segment;
    if (!ProductSlug(request.product, &slug))
        return Fail(Exit::kRefused,
                    "unusable product name (1 to 200 printable ASCII characters, single blanks, "
                    "at least one letter or digit): " +
                        request.product);
    if (!ContentSegment(request.contentType, &segment))
        return Fail(Exit::kRefused, "unusable content type: " + request.contentType);
    const std::string pairKey = slug + "/" + segment;
    uint64_t publishedSeq = 0;
    std::string publishedSet;
    const json& current = m_targets["targets"];
    for (auto it = current.begin(); it != current.end(); ++it) {
        std::string product, name;
        const json* custom = Member(it.value(), "custom");
        if (!StartsWith(it.key(), slug + "/") || custom == nullptr ||
            !GetString(*custom, "product", &product))
            continue;
        if (product != request.product)
            return Fail(Exit::kRefused,
                        "the path segment " + slug + " already belongs to \"" + product + "\"");
        if (it.key() == pairKey + "/set.json") {
            GetUint(*custom, "sequence", &publishedSeq);
            GetString(*custom, "set", &publishedSet);
        }
    }

    // The input: a flat directory of regular files, names unique in lower case.
    std::vector<DirEntry> input;
    Status st = ListDir(request.setDir, &input);
    if (!st.ok())
        return Fail(Exit::kRefused, st.message);
    std::map<std::string, std::string> byLower;  // lower-case name -> name on disk
    uint64_t totalBytes = 0;
    for (const DirEntry& e : input) {
        std::string lower = Lower(e.name);
        if (!e.isRegular)
            return Fail(Exit::kRefused, "not a regular file: " + request.setDir + "/" + e.name);
        if (!IsPublishableName(lower))
            return Fail(Exit::kRefused, "unusable file name in a set: " + e.name);
        if (!byLower.emplace(lower, e.name).second)
            return Fail(Exit::kRefused, "two files named " + lower + " apart from letter case");
        if (e.size > patchapp::kMaxFileSize)
            return Fail(Exit::kRefused, "larger than 1 GiB: " + e.name);
        totalBytes += e.size;
    }
    auto main = byLower.find("virscan1.dat");
    std::string header;
    SetDate date;
    bool tooLarge = false;
    if (main == byLower.end())
        return Fail(Exit::kRefused, "no virscan1.dat in " + request.setDir);
    ReadFileCapped(request.setDir + "/" + main->second, 1 << 30, &header, &tooLarge);
    if (!ParseSetHeader(header, &date))
        return Fail(Exit::kRefused, "virscan1.dat does not carry a valid date and revision");
    if (date.Sequence() <= publishedSeq)
        return Fail(Exit::kRefused,
                    "set " + date.Name() + " is not newer than the published " + publishedSet);

    // Import under lower-case names, hashing on the way.
    const std::string pairDir = m_repo + "/sets/" + pairKey;
    const std::string staging = pairDir + "/" + TemporaryName(date.Name());
    TreeGuard stagingGuard(staging);
    st = MakeDirs(staging + "/files", 0700);
    if (!st.ok())
        return st;
    std::vector<FileRecord> records;
    uint64_t copied = 0;
    std::string previousDir;
    std::map<std::string, std::string> previous = PreviousHashes(pairDir, date, &previousDir);
    for (const auto& [lower, name] : byLower) {
        FileRecord r;
        r.name = lower;
        std::string copy = staging + "/files/" + lower;
        // Unchanged since the previous set: share its file instead of
        // writing a copy, so the repository grows by what changed, as the
        // mirror does, and an add writes little more than the changes.
        auto same = previous.find(lower);
        bool shared = false;
        if (same != previous.end()) {
            st = HashFile(request.setDir + "/" + name, &r.size, &r.sha256);
            if (!st.ok())
                return st;
            shared = r.sha256 == same->second &&
                     link((previousDir + "/" + lower).c_str(), copy.c_str()) == 0;
        }
        if (!shared) {
            st = CopyAndHash(request.setDir + "/" + name, copy, &r.size, &r.sha256);
            if (!st.ok())
                return st;
        }
        records.push_back(r);
        copied += r.size;
        Progress("importing", copied, totalBytes);
    }
    SetInfo info;
    st = DescribeSet(staging + "/files", records, &info);
    if (st.ok())
        st = WriteFileAtomic(staging + kRecordFile, Canonical(SetInfoToJson(info)), 0600, false);
    if (!st.ok())
        return st;
    const std::string setDir = pairDir + "/" + info.date.Name();
    RemoveTree(setDir);  // left by an add that failed before its metadata
    if (rename(staging.c_str(), setDir.c_str()) != 0)
        return Fail(Exit::kIo, "cannot rename " + staging + ": " + strerror(errno));
    stagingGuard.Release();
    TreeGuard setGuard(setDir);

    // Targets first: files, packages, the set record.
    json entries = json::object();
    size_t placed = 0;
    for (const FileRecord& f : info.files) {
        std::string path = pairKey + "/set/" + f.name;
        st = PlaceTarget(path, setDir + "/files/" + f.name, f.sha256);
        if (!st.ok())
            return st;
        entries[path] = {{"hashes", {{"sha256", f.sha256}}}, {"length", f.size}};
        Progress("placing files", ++placed, info.files.size());
    }
    st = BuildPackages(pairKey, pairDir, info, setDir, &entries);
    if (!st.ok())
        return st;
    json record = {{"content_type", Lower(request.contentType)},
                   {"digest", info.digest},
                   {"files", static_cast<uint64_t>(info.files.size())},
                   {"installed", info.installedDigest},
                   {"length", TotalSize(info)},
                   {"product", request.product},
                   {"sequence", info.date.Sequence()},
                   {"set", info.date.Name()}};
    if (info.hasBinhub)
        record["binhub"] = info.binhubDigest;
    if (info.hasTexthub)
        record["texthub"] = info.texthubDigest;
    st = WriteTarget(pairKey + "/set.json", Canonical(record), record, &entries);
    if (!st.ok())
        return st;
    if (!SyncFileSystem(m_mirror))
        return Fail(Exit::kIo, "cannot flush " + m_mirror + ": " + strerror(errno));

    // Then the metadata that names them.
    json list = json::object();
    for (auto it = current.begin(); it != current.end(); ++it) {
        if (!StartsWith(it.key(), pairKey + "/"))
            list[it.key()] = it.value();
    }
    for (auto it = entries.begin(); it != entries.end(); ++it) list[it.key()] = it.value();
    st = PublishChain(&list, true, true);
    if (!st.ok())
        return st;
    setGuard.Release();
    m_report.insert(m_report.begin(), "published " + pairKey + " " + info.date.Name() + ": " +
                                          std::to_string(info.files.size()) + " files, " +
                                          std::to_string(TotalSize(info)) + " bytes");

    // Keep the newest set and the ones packages are made from.
    std::vector<DirEntry> dirs;
    std::vector<std::string> sets;
    if (ListDir(pairDir, &dirs).ok()) {
        for (const DirEntry& d : dirs) {
            if (d.isDirectory && d.name[0] != '.')
                sets.push_back(d.name);  // names sort in date order
            else if (d.isDirectory)
                RemoveTree(pairDir + "/" + d.name);  // left by a failed add
        }
    }
    for (size_t i = 0; i + m_deltas + 1 < sets.size(); ++i) RemoveTree(pairDir + "/" + sets[i]);
    return Ok();
}

}  // namespace publisher
