// mkmicrodefs: makes a microdefs package that turns one definition set into
// another.
//
//   mkmicrodefs [--hub] [--verify] OLD_DIR NEW_DIR PACKAGE_FILE
//
// --hub marks the package as one that also brings its source (the store's
// hub) to the new set. --verify applies the written package to a scratch
// copy of OLD_DIR and compares the outcome with NEW_DIR byte for byte.
// Exit status 0 on success, 1 on failure, 2 on a usage error; messages go to
// standard error.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/patchapp/apply.h"
#include "tools/patchapp/package_builder.h"
#include "tools/patchapp/set_files.h"

namespace {

using namespace patchapp;

// A scratch directory below $TMPDIR (or /tmp), removed with its files.
class ScratchDir {
public:
    ScratchDir()
    {
        const char* tmp = getenv("TMPDIR");
        m_path.assign(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp");
        m_path.append("/mkmicrodefs-XXXXXX");
        m_ok = mkdtemp(m_path.data()) != nullptr;
    }
    ~ScratchDir()
    {
        if (m_ok)
            RemoveFlatDirectory(m_path.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    bool ok() const { return m_ok; }
    const char* path() const { return m_path.c_str(); }

private:
    PathBuf m_path;
    bool m_ok = false;
};

bool CopyFlatDir(const char* from, const char* to)
{
    std::vector<DirEntry> entries;
    if (ListDirectory(from, entries) != PA_OK)
        return false;
    Bytes data;
    PathBuf path;
    for (const DirEntry& e : entries) {
        if (!e.isRegular || !JoinPath(path, from, e.name) ||
            ReadWholeFile(path.c_str(), kMaxFileSize, data) != PA_OK ||
            WriteFileReplacing(to, e.name, data.data(), data.size(), false) != PA_OK)
            return false;
    }
    return true;
}

// True when both directories hold the same names with the same bytes.
bool SameSet(const char* a, const char* b)
{
    std::vector<DirEntry> ea;
    std::vector<DirEntry> eb;
    if (ListDirectory(a, ea) != PA_OK || ListDirectory(b, eb) != PA_OK || ea.size() != eb.size())
        return false;
    Bytes da;
    Bytes db;
    PathBuf pa;
    PathBuf pb;
    for (size_t i = 0; i < ea.size(); ++i) {
        if (ea[i].name != eb[i].name || !JoinPath(pa, a, ea[i].name) ||
            !JoinPath(pb, b, eb[i].name) || ReadWholeFile(pa.c_str(), kMaxFileSize, da) != PA_OK ||
            ReadWholeFile(pb.c_str(), kMaxFileSize, db) != PA_OK || da != db)
            return false;
    }
    return true;
}

bool Verify(const std::vector<unsigned char>& package, const char* oldDir, const char* newDir,
            bool hub)
{
    ScratchDir patch;
    ScratchDir src;
    ScratchDir dest;
    ScratchDir hubTemp;
    if (!patch.ok() || !src.ok() || !dest.ok() || !hubTemp.ok()) {
        fprintf(stderr, "mkmicrodefs: cannot create scratch directories\n");
        return false;
    }
    if (!CopyFlatDir(oldDir, src.path()) ||
        WriteFileReplacing(patch.path(), "verify.mdp", package.data(), package.size(), false) !=
            PA_OK) {
        fprintf(stderr, "mkmicrodefs: cannot prepare the verification\n");
        return false;
    }
    ApplyRequest req;
    req.patchDir = patch.path();
    req.srcDir = src.path();
    req.destDir = dest.path();
    req.hubTempDir = hubTemp.path();
    PaResult rc = ApplyPackageDirectory(req);
    if (rc != PA_OK) {
        fprintf(stderr, "mkmicrodefs: verification failed: applying the package gave %s\n",
                PaResultName(rc));
        return false;
    }
    if (!SameSet(dest.path(), newDir) || (hub && !SameSet(src.path(), newDir))) {
        fprintf(stderr, "mkmicrodefs: verification failed: the applied set differs from %s\n",
                newDir);
        return false;
    }
    return true;
}

int Usage()
{
    fprintf(stderr, "usage: mkmicrodefs [--hub] [--verify] OLD_DIR NEW_DIR PACKAGE_FILE\n");
    return 2;
}

int Run(int argc, char** argv)
{
    bool hub = false;
    bool verify = false;
    std::vector<const char*> args;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--hub") == 0)
            hub = true;
        else if (strcmp(argv[i], "--verify") == 0)
            verify = true;
        else if (argv[i][0] == '-' && argv[i][1] != '\0')
            return Usage();
        else
            args.push_back(argv[i]);
    }
    if (args.size() != 3)
        return Usage();

    std::string packagePath = args[2];
    size_t slash = packagePath.rfind('/');
    std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : packagePath.substr(0, slash));
    std::string base = slash == std::string::npos ? packagePath : packagePath.substr(slash + 1);
    if (!IsValidSetFileName(base)) {
        fprintf(stderr, "mkmicrodefs: bad package file name: %s\n", packagePath.c_str());
        return 1;
    }

    std::vector<unsigned char> package;
    BuildStats stats;
    std::string why;
    PaResult rc =
        BuildPackage(args[0], args[1], hub ? kFlagUpdatesSource : 0, package, &stats, &why);
    if (rc != PA_OK) {
        fprintf(stderr, "mkmicrodefs: %s\n", why.c_str());
        return 1;
    }
    if (verify && !Verify(package, args[0], args[1], hub))
        return 1;
    if (WriteFileReplacing(dir.c_str(), base, package.data(), package.size(), true) != PA_OK) {
        fprintf(stderr, "mkmicrodefs: cannot write %s\n", packagePath.c_str());
        return 1;
    }
    printf("%s: %zu unchanged, %zu delta, %zu whole, %zu removed, %zu bytes\n", packagePath.c_str(),
           stats.unchanged, stats.deltas, stats.whole, stats.removed, package.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "mkmicrodefs: %s\n", e.what());
    } catch (...) {
        fprintf(stderr, "mkmicrodefs: unexpected failure\n");
    }
    return 1;
}
