#include "tools/patchapp/apply.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tools/patchapp/hub_commit.h"
#include "tools/patchapp/produce.h"
#include "tools/patchapp/set_files.h"

namespace patchapp {
namespace {

// Room left in a PathBuf for "/" and a file name of the longest valid length.
constexpr size_t kMaxDirLength = DU_MAX_PATH - 1 - 256;
constexpr uint64_t kMaxPackageSize = uint64_t(2) << 30;
const char* const kOwnStagingTemplate = ".patchapp-stage-XXXXXX";

bool IsUsableDir(const char* dir, struct stat* st)
{
    return dir != nullptr && dir[0] != '\0' && strlen(dir) <= kMaxDirLength && stat(dir, st) == 0 &&
           S_ISDIR(st->st_mode);
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

// Result entries in two rounds: everything but the catalog, then the
// catalog.
void SplitResults(const Package& package, std::vector<size_t>& files, std::vector<size_t>& catalogs)
{
    for (size_t i = 0; i < package.entries.size(); ++i) {
        if (package.entries[i].HasResult())
            (IsCatalog(package.entries[i].name) ? catalogs : files).push_back(i);
    }
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
    // done: units finished so far, never less than last time.
    bool Update(uint64_t done)
    {
        uint32_t percent = static_cast<uint32_t>(done * 99 / m_total);
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
    if (updatesSource && (rc = OpenStaging(req.srcDir, srcSt, destSt, req.hubTempDir, stagingPath,
                                           ownStaging)) != PA_OK)
        return rc;
    WrittenFiles staged(stagingPath.c_str(), ownStaging);
    WrittenFiles written(req.destDir, false);

    ProduceJob rounds[2];
    SplitResults(package, rounds[0].entries, rounds[1].entries);
    uint64_t total = 0;
    std::vector<CommitStep> steps;
    for (ProduceJob& job : rounds) {
        job.srcDir = req.srcDir;
        job.destDir = req.destDir;
        job.stagingDir = updatesSource ? stagingPath.c_str() : nullptr;
        job.package = &package;
        for (size_t i : job.entries) {
            const PackageEntry& e = package.entries[i];
            total += e.resultSize + 1;
            written.Add(e.name);
            if (updatesSource && e.kind != EntryKind::kUnchanged) {
                staged.Add(StagedNewName(i));
                staged.Add(StagedOldName(i));
                steps.push_back(CommitStep{e.name, i, true, e.hasSource});
            }
        }
    }
    // Files the new set drops must still be the ones the package expects,
    // or the source is some other set.
    Bytes buffer;
    PathBuf path;
    for (const PackageEntry& e : package.entries) {
        if (e.HasResult())
            continue;
        if (!JoinPath(path, req.srcDir, e.name))
            return PA_E_BAD_ARGUMENT;
        if ((rc = CheckFileContent(path.c_str(), e.sourceSize, e.sourceHash, buffer)) != PA_OK)
            return rc;
    }
    Progress progress(req.progress, total);
    if (!progress.Start())
        return PA_E_CANCELLED;

    uint64_t offset = 0;
    for (const ProduceJob& job : rounds) {
        rc = ProduceFiles(job, [&](uint64_t done) { return progress.Update(offset + done); });
        if (rc != PA_OK)
            return rc;
        for (size_t i : job.entries) offset += package.entries[i].resultSize + 1;
        if (!progress.Update(offset))
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
    Bytes bytes;
    if ((rc = ReadWholeFile(packagePath.c_str(), kMaxPackageSize, bytes)) != PA_OK)
        return rc;
    Package package;
    if ((rc = ParsePackage(bytes.data(), bytes.size(), package)) != PA_OK)
        return rc;
    return ApplyPackage(req, package, srcSt, destSt);
}

}  // namespace patchapp
