#include "tools/patchapp/produce.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "tools/patchapp/delta.h"
#include "tools/patchapp/hash.h"
#include "tools/patchapp/hub_commit.h"

namespace patchapp {
namespace {

// Describes one result file as pieces of the source and the package and
// verifies it; the bytes are gathered only when written, never copied into
// a buffer of their own.
PaResult BuildResult(const char* srcDir, const PackageEntry& e, Bytes& source,
                     std::vector<Piece>& pieces)
{
    source.clear();
    pieces.clear();
    if (e.hasSource) {
        PaResult rc = ReadVerifiedSource(srcDir, e, source);
        if (rc != PA_OK)
            return rc;
    }
    switch (e.kind) {
        case EntryKind::kUnchanged:
            pieces.push_back(Piece{source.data(), source.size()});
            return PA_OK;
        case EntryKind::kWhole:
            pieces.push_back(Piece{e.payload, e.payloadSize});
            break;
        case EntryKind::kDelta:
            if (!DecodeDelta(source.data(), source.size(), e.payload, e.payloadSize, e.resultSize,
                             pieces))
                return PA_E_BAD_PACKAGE;
            break;
        case EntryKind::kRemoved:
            return PA_E_INTERNAL;
    }
    Hasher hasher;
    for (const Piece& piece : pieces) hasher.Update(piece.data, piece.size);
    return hasher.Final() == e.resultHash ? PA_OK : PA_E_RESULT_MISMATCH;
}

// An unchanged file is hard-linked into the destination instead of copied:
// writing the data is most of what a copy costs. This is safe because
// nothing ever writes a set file in place: a hub file is only ever replaced
// by rename (hub_commit.cpp), which gives it a new inode and leaves the
// link with the old content; a direct source is a set in use, never
// rewritten; WritePiecesInPlace replaces a destination name rather than
// writing through it, so no later write reaches the source through such a
// link; and the store only reads the destination, copies it into a new set
// directory and deletes it. The check runs on the linked file itself, so
// what was verified is what the destination holds.
//
// Returns false when no link could be made (another file system, a file
// system without links, hard-link protection, an existing name); the
// caller then copies as usual.
bool LinkVerifiedSource(const ProduceJob& job, const PackageEntry& e, Bytes& buffer, PaResult& rc)
{
    PathBuf from;
    PathBuf to;
    if (!JoinPath(from, job.srcDir, e.name) || !JoinPath(to, job.destDir, e.name))
        return false;
    if (link(from.c_str(), to.c_str()) != 0)
        return false;
    rc = CheckFileContent(to.c_str(), e.sourceSize, e.sourceHash, buffer);
    return true;
}

PaResult ProduceOne(const ProduceJob& job, size_t index, Bytes& source, std::vector<Piece>& pieces)
{
    const PackageEntry& e = job.package->entries[index];
    PaResult rc;
    if (e.kind == EntryKind::kUnchanged && LinkVerifiedSource(job, e, source, rc))
        return rc;
    rc = BuildResult(job.srcDir, e, source, pieces);
    if (rc == PA_OK)
        rc = WritePiecesInPlace(job.destDir, e.name, pieces.data(), pieces.size(), false);
    // The staged copy is flushed: it replaces a hub file by rename later,
    // and a rename must not outlive the data after a power cut.
    if (rc == PA_OK && job.stagingDir != nullptr && e.kind != EntryKind::kUnchanged)
        rc = WritePiecesInPlace(job.stagingDir, StagedNewName(index), pieces.data(), pieces.size(),
                                true);
    return rc;
}

class Shared {
public:
    explicit Shared(const ProduceJob& job) : m_job(job) {}

    // Takes entries until none are left or the run stops; returns whether
    // this thread should go on (false once the run has stopped).
    bool RunOne(Bytes& source, std::vector<Piece>& pieces)
    {
        if (m_stop.load())
            return false;
        size_t k = m_next.fetch_add(1);
        if (k >= m_job.entries.size())
            return false;
        size_t index = m_job.entries[k];
        PaResult rc;
        try {
            rc = ProduceOne(m_job, index, source, pieces);
        } catch (...) {
            rc = PA_E_INTERNAL;
        }
        if (rc != PA_OK) {
            Fail(rc);
            return false;
        }
        m_done.fetch_add(m_job.package->entries[index].resultSize + 1);
        return true;
    }
    void Fail(PaResult rc)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_result == PA_OK)
            m_result = rc;
        m_stop.store(true);
    }
    uint64_t Done() const { return m_done.load(); }
    PaResult Result()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_result;
    }

private:
    const ProduceJob& m_job;
    std::atomic<size_t> m_next{0};
    std::atomic<uint64_t> m_done{0};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    PaResult m_result = PA_OK;
};

void HelperLoop(Shared* shared)
{
    try {
        Bytes source;
        std::vector<Piece> pieces;
        while (shared->RunOne(source, pieces)) {
        }
    } catch (...) {
        shared->Fail(PA_E_INTERNAL);
    }
}

// Joins the helper on every way out, so it never outlives the job.
class JoinGuard {
public:
    explicit JoinGuard(std::thread& t) : m_t(t) {}
    ~JoinGuard()
    {
        if (m_t.joinable())
            m_t.join();
    }

private:
    std::thread& m_t;
};

}  // namespace

PaResult ReadVerifiedSource(const char* srcDir, const PackageEntry& e, Bytes& data)
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

PaResult CheckFileContent(const char* path, uint64_t size, uint64_t hash, Bytes& buffer)
{
    // Read in slices that stay in the cache while they are hashed; the
    // whole file is never needed at once.
    constexpr size_t kSlice = size_t(256) << 10;
    ScopedFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return PA_E_IO;
    if (static_cast<uint64_t>(st.st_size) != size)
        return PA_E_SOURCE_MISMATCH;
    buffer.resize(kSlice);
    Hasher hasher;
    uint64_t total = 0;
    for (;;) {
        ssize_t n = ReadRetrying(fd.get(), buffer.data(), buffer.size());
        if (n < 0)
            return PA_E_IO;
        if (n == 0)
            break;
        total += static_cast<uint64_t>(n);
        // A file someone keeps appending to must not keep us reading.
        if (total > size)
            return PA_E_SOURCE_MISMATCH;
        hasher.Update(buffer.data(), static_cast<size_t>(n));
    }
    return total == size && hasher.Final() == hash ? PA_OK : PA_E_SOURCE_MISMATCH;
}

PaResult ProduceFiles(const ProduceJob& job, const std::function<bool(uint64_t done)>& afterFile)
{
    Shared shared(job);
    std::thread helper;
    JoinGuard join(helper);
    if (job.entries.size() > 1) {
        try {
            helper = std::thread(HelperLoop, &shared);
        } catch (const std::system_error&) {
            // No thread to be had: the calling thread does it all.
        }
    }
    Bytes source;
    std::vector<Piece> pieces;
    while (shared.RunOne(source, pieces)) {
        if (afterFile && !afterFile(shared.Done()))
            shared.Fail(PA_E_CANCELLED);
    }
    if (helper.joinable())
        helper.join();
    return shared.Result();
}

}  // namespace patchapp
