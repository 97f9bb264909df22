#include "tools/patchapp/apply.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tools/patchapp/delta.h"
#include "tools/patchapp/hash.h"
#include "tools/patchapp/hub_commit.h"
#include "tools/patchapp/set_files.h"

namespace patchapp {
namespace {

// Room left in a PathBuf for "/" and a file name of the longest valid length.
constexpr size_t kMaxDirLength = DU_MAX_PATH - 1 - 256;
constexpr uint64_t kMaxPackageSize = uint64_t(2) << 30;
const char* const kOwnStagingTemplate = ".patchapp-stage-XXXXXX";

bool IsUsableDir(const char* dir, struct stat* st)
{
    return dir != nullptr && dir[0] != '\0' && strlen(dir) <= kMaxDirLength &&
           stat(dir, st) == 0 && S_ISDIR(st->st_mode);
}

bool SameDir(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool EndsWith(const std::string& s, const char* tail)
{
    size_t n = strlen(tail);
    return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

PaResult FindPackage(const char* patchDir, PathBuf& path)
{
    std::vector<DirEntry> entries;
    if (ListDirectory(patchDir, entries) != PA_OK)
        return PA_E_IO;
    int found = 0;
    for (const DirEntry& e : entries) {
        if (!e.isRegular || !EndsWith(e.name, kPackageExtension))
            continue;
        if (++found > 1)
            return PA_E_MANY_PACKAGES;
        if (!JoinPath(path, patchDir, e.name))
            return PA_E_BAD_ARGUMENT;
    }
    return found == 1 ? PA_OK : PA_E_NO_PACKAGE;
}

// The source must hold exactly the files the package was made from:
// anything more or less means it is some other set.
PaResult CheckSourceListing(const char* srcDir, const Package& package)
{
    std::vector<DirEntry> entries;
    if (ListDirectory(srcDir, entries) != PA_OK)
        return PA_E_IO;
    std::set<std::string> expected;
    for (const PackageEntry& e : package.entries)
        if (e.hasSource)
            expected.insert(e.name);
    size_t seen = 0;
    for (const DirEntry& d : entries) {
        if (d.isDirectory)
            continue;
        if (!d.isRegular || expected.count(d.name) == 0)
            return PA_E_SOURCE_MISMATCH;
        ++seen;
    }
    return seen == expected.size() ? PA_OK : PA_E_SOURCE_MISMATCH;
}

PaResult ReadVerifiedSource(const char* srcDir, const PackageEntry& e, std::vector<unsigned char>& data)
{
    PathBuf path;
    if (!JoinPath(path, srcDir, e.name))
        return PA_E_BAD_ARGUMENT;
    PaResult rc = ReadWholeFile(path.c_str(), kMaxFileSize, data);
    if (rc != PA_OK)
        return rc;
    if (data.size() != e.sourceSize || Hash64(data.data(), data.size()) != e.sourceHash)
        return PA_E_SOURCE_MISMATCH;
    return PA_OK;
}

// Produces one result file; *data ends up pointing into source, result or
// the package, whichever holds the bytes.
PaResult BuildResult(const char* srcDir, const PackageEntry& e, std::vector<unsigned char>& source,
                     std::vector<unsigned char>& result, const unsigned char** data)
{
    source.clear();
    if (e.hasSource) {
        PaResult rc = ReadVerifiedSource(srcDir, e, source);
        if (rc != PA_OK)
            return rc;
    }
    static const unsigned char kEmpty = 0;
    switch (e.kind) {
    case EntryKind::kUnchanged:
        *data = source.empty() ? &kEmpty : source.data();
        return PA_OK;
    case EntryKind::kWhole:
        *data = e.payloadSize == 0 ? &kEmpty : e.payload;
        break;
    case EntryKind::kDelta:
        if (!ApplyDelta(source.data(), source.size(), e.payload, e.payloadSize, e.resultSize, result))
            return PA_E_BAD_PACKAGE;
        *data = result.empty() ? &kEmpty : result.data();
        break;
    case EntryKind::kRemoved:
        return PA_E_INTERNAL;
    }
    return Hash64(*data, static_cast<size_t>(e.resultSize)) == e.resultHash ? PA_OK
                                                                            : PA_E_RESULT_MISMATCH;
}

// The catalog goes last, so a destination cut short by a crash never has
// the file that would make it look like a complete set.
bool IsCatalog(const std::string& name)
{
    static const char kCatalog[] = "catalog.dat";
    if (name.size() != sizeof kCatalog - 1)
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (tolower(static_cast<unsigned char>(name[i])) != kCatalog[i])
            return false;
    return true;
}

std::vector<size_t> ResultOrder(const Package& package)
{
    std::vector<size_t> order;
    std::vector<size_t> catalogs;
    for (size_t i = 0; i < package.entries.size(); ++i) {
        if (!package.entries[i].HasResult())
            continue;
        (IsCatalog(package.entries[i].name) ? catalogs : order).push_back(i);
    }
    order.insert(order.end(), catalogs.begin(), catalogs.end());
    return order;
}

// Removes the files this call wrote into a directory unless told to keep
// them; with own set, the directory itself too.
class WrittenFiles {
public:
    WrittenFiles(const char* dir, bool ownDir) : m_dir(dir), m_ownDir(ownDir) {}
    ~WrittenFiles()
    {
        if (m_ownDir) {
            RemoveFlatDirectory(m_dir.c_str());
            return;
        }
        if (m_keep)
            return;
        PathBuf path;
        for (const std::string& name : m_names)
            if (JoinPath(path, m_dir.c_str(), name))
                unlink(path.c_str());
    }
    WrittenFiles(const WrittenFiles&) = delete;
    WrittenFiles& operator=(const WrittenFiles&) = delete;
    void Add(const std::string& name) { m_names.push_back(name); }
    void Keep() { m_keep = true; }
    const char* Dir() const { return m_dir.c_str(); }

private:
    PathBuf m_dir;
    bool m_ownDir;
    bool m_keep = false;
    std::vector<std::string> m_names;
};

class Progress {
public:
    Progress(const ProgressFn& fn, uint64_t total) : m_fn(fn), m_total(total + 1) {}
    // False when the receiver asked to cancel.
    bool Start() { return Send(0); }
    bool Advance(uint64_t amount)
    {
        m_done += amount;
        uint32_t percent = static_cast<uint32_t>(m_done * 99 / m_total);
        return percent <= m_last || Send(percent);
    }
    // The work is done: a cancel request at this point comes too late.
    void Finish() { Send(100); }

private:
    bool Send(uint32_t percent)
    {
        m_last = percent;
        return !m_fn || m_fn(percent);
    }
    const ProgressFn& m_fn;
    uint64_t m_total;
    uint64_t m_done = 0;
    uint32_t m_last = 0;
};

// Stages inside the source when no usable scratch directory was given, so
// the commit's renames never cross file systems.
PaResult OpenStaging(const char* srcDir, const struct stat& srcSt, const struct stat& destSt,
                     const char* hubTempDir, PathBuf& staging, bool& own)
{
    struct stat st;
    if (IsUsableDir(hubTempDir, &st) && st.st_dev == srcSt.st_dev && !SameDir(st, srcSt) &&
        !SameDir(st, destSt)) {
        staging.assign(hubTempDir);
        own = false;
        return PA_OK;
    }
    if (!JoinPath(staging, srcDir, kOwnStagingTemplate) || mkdtemp(staging.data()) == nullptr)
        return PA_E_IO;
    own = true;
    return PA_OK;
}

PaResult ApplyPackage(const ApplyRequest& req, const Package& package, const struct stat& srcSt,
                      const struct stat& destSt)
{
    PaResult rc = CheckSourceListing(req.srcDir, package);
    if (rc != PA_OK)
        return rc;
    const bool updatesSource = (package.flags & kFlagUpdatesSource) != 0;
    PathBuf stagingPath;
    bool ownStaging = false;
    if (updatesSource &&
        (rc = OpenStaging(req.srcDir, srcSt, destSt, req.hubTempDir, stagingPath, ownStaging)) != PA_OK)
        return rc;
    WrittenFiles staged(stagingPath.c_str(), ownStaging);
    WrittenFiles written(req.destDir, false);

    std::vector<unsigned char> source;
    std::vector<size_t> order = ResultOrder(package);
    uint64_t total = 0;
    for (size_t i : order)
        total += package.entries[i].resultSize + 1;
    // Files the new set drops must still be the ones the package expects,
    // or the source is some other set.
    for (const PackageEntry& e : package.entries)
        if (!e.HasResult() && (rc = ReadVerifiedSource(req.srcDir, e, source)) != PA_OK)
            return rc;
    Progress progress(req.progress, total);
    if (!progress.Start())
        return PA_E_CANCELLED;

    std::vector<CommitStep> steps;
    std::vector<unsigned char> result;
    for (size_t i : order) {
        const PackageEntry& e = package.entries[i];
        const unsigned char* data = nullptr;
        if ((rc = BuildResult(req.srcDir, e, source, result, &data)) != PA_OK)
            return rc;
        size_t size = static_cast<size_t>(e.resultSize);
        written.Add(e.name);
        if ((rc = WriteFileReplacing(req.destDir, e.name, data, size, false)) != PA_OK)
            return rc;
        if (updatesSource && e.kind != EntryKind::kUnchanged) {
            staged.Add(StagedNewName(i));
            staged.Add(StagedOldName(i));
            rc = WriteFileReplacing(stagingPath.c_str(), StagedNewName(i), data, size, true);
            if (rc != PA_OK)
                return rc;
            steps.push_back(CommitStep{e.name, i, true, e.hasSource});
        }
        if (!progress.Advance(e.resultSize + 1))
            return PA_E_CANCELLED;
    }
    if (updatesSource) {
        for (size_t i = 0; i < package.entries.size(); ++i) {
            if (package.entries[i].HasResult())
                continue;
            staged.Add(StagedOldName(i));
            steps.push_back(CommitStep{package.entries[i].name, i, false, true});
        }
        if ((rc = CommitToSource(req.srcDir, stagingPath.c_str(), steps)) != PA_OK)
            return rc;
    }
    written.Keep();
    progress.Finish();
    return PA_OK;
}

}  // namespace

PaResult ApplyPackageDirectory(const ApplyRequest& req)
{
    struct stat patchSt;
    struct stat srcSt;
    struct stat destSt;
    if (!IsUsableDir(req.patchDir, &patchSt) || !IsUsableDir(req.srcDir, &srcSt) ||
        !IsUsableDir(req.destDir, &destSt) || SameDir(srcSt, destSt))
        return PA_E_BAD_ARGUMENT;
    PathBuf packagePath;
    PaResult rc = FindPackage(req.patchDir, packagePath);
    if (rc != PA_OK)
        return rc;
    std::vector<unsigned char> bytes;
    if ((rc = ReadWholeFile(packagePath.c_str(), kMaxPackageSize, bytes)) != PA_OK)
        return rc;
    Package package;
    if ((rc = ParsePackage(bytes.data(), bytes.size(), package)) != PA_OK)
        return rc;
    return ApplyPackage(req, package, srcSt, destSt);
}

}  // namespace patchapp
