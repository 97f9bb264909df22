// Intent markers and the sweep of what a killed command leaves behind.
//
// A command killed while it builds a set, deletes one, or works in a
// temporary directory leaves a directory that no bookkeeping names, and
// nothing would ever remove it. A plain "delete every unnamed directory"
// would be wrong twice: it would take the work of a live command running
// beside us, and it would change stores that simply hold an extra
// directory. So each such step announces itself with a marker file that
// it keeps flock'ed; only a marker nobody holds any more is acted on, and
// only after the bookkeeping is read again under the store lock.
//
// Markers are hidden files in the definitions directory: their names never
// match a set or "tmp*", so nothing else that lists the directory sees them.
// Anyone in the store's group can plant one; the sweep therefore accepts
// only a plain temporary or set name, never deletes a set definfo.dat or
// usage.dat names, and never follows a link.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "defutils/defutils.h"
#include "defutils/store_helpers.h"
#include "defutils/store_internal.h"
#include "defutils/store_layout.h"
#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

constexpr char kIntentPrefix[] = ".qdu-intent-";
constexpr char kDirKind[] = "dir";
constexpr char kHubKind[] = "hub";
// A marker holds "<kind> <name>\n"; anything longer is not ours.
constexpr size_t kIntentMaxSize = 256;
// usage.dat's section list, as the registration sweep reads it.
constexpr DWORD kSweepNamesSize = 8191;

struct KeptIntent {
    std::string path;
    std::unique_ptr<StoreIntent> intent;
};

// Every marker this process holds, for DuReleaseStoreIntents. Defined
// before g_kept so that it outlives it at the end of the process.
std::vector<StoreIntent*> g_live;
// Destroyed at the end of the process, which removes the markers of
// temporary directories a failed command could not delete, as before.
std::vector<KeptIntent> g_kept;
// Stores this process has swept already.
std::vector<std::string> g_swept;
unsigned g_counter = 0;

bool IsTempName(const std::string& name)
{
    if (name.size() <= 3 || name.compare(0, 3, kTmpDirPrefix) != 0)
        return false;
    return std::all_of(name.begin() + 3, name.end(), [](char c) {
        return isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f');
    });
}

// "YYYYMMDD.RRR", the names integration gives sets.
bool IsSetName(const std::string& name)
{
    if (name.size() < 12 || name.size() > 20 || name[8] != '.')
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (i != 8 && !isdigit(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Unlinks leaf in dirFd only while it still is the file open as fd: a
// marker replaced behind our back is somebody else's.
void UnlinkIfSame(int dirFd, int fd, const char* pszLeaf)
{
    struct stat held, named;
    if (fstat(fd, &held) == 0 && fstatat(dirFd, pszLeaf, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(held, named))
        unlinkat(dirFd, pszLeaf, 0);
}

struct Marker {
    std::string leaf;
    std::string kind, name;  // empty when the content is not a valid intent
    int fd = -1;
    bool bLive = false;
};

// Parses "<kind> <name>\n"; leaves both empty unless the name is one the
// kind may name.
void ParseMarker(const std::string& text, Marker* pMarker)
{
    size_t space = text.find(' ');
    size_t end = text.find('\n');
    if (space == std::string::npos || end == std::string::npos || end != text.size() - 1)
        return;
    std::string kind = text.substr(0, space);
    std::string name = text.substr(space + 1, end - space - 1);
    bool bValid = (kind == kDirKind && (IsTempName(name) || IsSetName(name))) ||
                  (kind == kHubKind && IsSetName(name));
    if (bValid && DuIsPlainName(name.c_str())) {
        pMarker->kind = kind;
        pMarker->name = name;
    }
}

// Opens every regular marker file in the directory. A dead one stays
// locked by us until it is closed; a link, FIFO or other special file is
// not a marker and is left alone.
std::vector<Marker> ReadMarkers(int dirFd)
{
    std::vector<Marker> markers;
    int listFd = dup(dirFd);
    DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        if (listFd >= 0)
            close(listFd);
        return markers;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (strncmp(entry->d_name, kIntentPrefix, sizeof kIntentPrefix - 1) != 0)
            continue;
        Marker marker;
        marker.leaf = entry->d_name;
        marker.fd =
            openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat st;
        if (marker.fd < 0)
            continue;
        if (fstat(marker.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
            st.st_size > static_cast<off_t>(kIntentMaxSize)) {
            close(marker.fd);
            continue;
        }
        marker.bLive = flock(marker.fd, LOCK_EX | LOCK_NB) != 0;
        char buffer[kIntentMaxSize + 1];
        ssize_t got = pread(marker.fd, buffer, kIntentMaxSize, 0);
        if (got > 0)
            ParseMarker(std::string(buffer, static_cast<size_t>(got)), &marker);
        markers.push_back(marker);
    }
    closedir(dir);
    return markers;
}

bool SectionExists(const char* pszName, const char* pszUsage)
{
    std::unique_ptr<char[]> names(new char[kSweepNamesSize]());
    GetPrivateProfileString(nullptr, nullptr, nullptr, names.get(), kSweepNamesSize, pszUsage);
    names[kSweepNamesSize - 1] = '\0';
    for (const char* psz = names.get(); *psz != '\0'; psz += strlen(psz) + 1) {
        // Section names match regardless of case in the profile engine.
        if (strcasecmp(psz, pszName) == 0)
            return true;
    }
    return false;
}

// A killed build, rotation or deregistration of set `name`: the set goes
// unless the bookkeeping still names it; an empty section of it goes too.
void CompleteSetIntent(CDefUtils* pDefUtils, const char* pszDefsDir, const std::string& name)
{
    PathBuf usage(pszDefsDir);
    PathBuf setDir(pszDefsDir);
    if (!DuAppendPath(usage.data(), kUsageFile, usage.size()) ||
        !DuAppendPath(setDir.data(), name.c_str(), setDir.size()))
        return;
    bool bUsage = DuFileExists(usage.data()) != 0;
    if (bUsage && SectionExists(name.c_str(), usage.c_str()) &&
        pDefUtils->SectionIsEmpty(name.c_str(), usage.c_str()))
        WritePrivateProfileString(name.c_str(), nullptr, nullptr, usage.c_str());
    if (DuIsNamedSet(pszDefsDir, name.c_str()) ||
        (bUsage && !pDefUtils->SectionIsEmpty(name.c_str(), usage.c_str())))
        return;
    struct stat st;
    if (DuLstatPath(setDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        pDefUtils->DeleteDefsAndDirectory(setDir.c_str(), false);
}

}  // namespace

StoreIntent::StoreIntent(CDefUtils* pDefUtils, const char* pszDefsDir, const char* pszKind,
                         const char* pszName)
{
    if (pszDefsDir == nullptr || pszName == nullptr || !DuIsPlainName(pszName))
        return;
    StoreTransaction transaction(pDefUtils);
    if (!transaction.held())
        return;
    m_dirFd = DuOpenPath(pszDefsDir, O_RDONLY | O_DIRECTORY);
    if (m_dirFd < 0)
        return;
    for (int nAttempt = 0; nAttempt < 8 && m_fd < 0; ++nAttempt) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        char szLeaf[64];
        BoundedFormat(szLeaf, sizeof szLeaf, "%s%ld-%u-%lx", kIntentPrefix,
                      static_cast<long>(getpid()), g_counter++,
                      static_cast<unsigned long>(ts.tv_nsec));
        m_fd = openat(m_dirFd, szLeaf, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (m_fd >= 0)
            m_leaf = szLeaf;
        else if (errno != EEXIST)
            break;
    }
    std::string content = std::string(pszKind) + " " + pszName + "\n";
    if (m_fd < 0 || flock(m_fd, LOCK_EX) != 0 ||
        write(m_fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        if (m_fd >= 0) {
            UnlinkIfSame(m_dirFd, m_fd, m_leaf.c_str());
            close(m_fd);
            m_fd = -1;
        }
        close(m_dirFd);
        m_dirFd = -1;
        return;
    }
    m_owner = getpid();
    m_defsDir = pszDefsDir;
    g_live.push_back(this);
}

void StoreIntent::Release()
{
    g_live.erase(std::remove(g_live.begin(), g_live.end(), this), g_live.end());
    if (m_fd >= 0) {
        // A child that inherited this object (never across exec) must not
        // take its parent's marker away.
        if (m_owner == getpid())
            UnlinkIfSame(m_dirFd, m_fd, m_leaf.c_str());
        close(m_fd);
        m_fd = -1;
    }
    if (m_dirFd >= 0) {
        close(m_dirFd);
        m_dirFd = -1;
    }
}

StoreIntent::~StoreIntent()
{
    Release();
}

std::string DuLeafName(const char* pszPath)
{
    if (pszPath == nullptr)
        return std::string();
    PathBuf name;
    DuSetNameOf(pszPath, &name);
    return name.c_str();
}

void DuKeepIntent(CDefUtils* pDefUtils, const char* pszDefsDir, const char* pszPath)
{
    std::string leaf = DuLeafName(pszPath);
    g_kept.push_back(KeptIntent{pszPath, std::unique_ptr<StoreIntent>(new StoreIntent(
                                             pDefUtils, pszDefsDir, kDirKind, leaf.c_str()))});
}

void DuDropKeptIntent(const char* pszPath)
{
    if (pszPath == nullptr)
        return;
    for (size_t i = 0; i < g_kept.size(); ++i) {
        if (g_kept[i].path == pszPath) {
            g_kept.erase(g_kept.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

void DuReleaseStoreIntents(const char* pszDefsDir)
{
    std::vector<StoreIntent*> live(g_live);
    for (StoreIntent* pIntent : live) {
        if (pszDefsDir != nullptr && pIntent->defsDir() == pszDefsDir)
            pIntent->Release();
    }
}

void DuMarkDefInfoSets(CDefUtils* pDefUtils, const char* pszDefsDir,
                       std::vector<std::unique_ptr<StoreIntent>>* pIntents)
{
    PathBuf defInfo(pszDefsDir != nullptr ? pszDefsDir : "");
    if (pszDefsDir == nullptr || !DuAppendPath(defInfo.data(), kDefInfoFile, defInfo.size()))
        return;
    for (const char* pszKey : {kCurDefsKey, kLastDefsKey}) {
        PathBuf value;
        DuReadDefDatesKeyTrimmed(defInfo.c_str(), pszKey, &value);
        if (strcmp(value.c_str(), kKeyMissing) != 0 && DuIsPlainName(value.c_str()))
            pIntents->emplace_back(new StoreIntent(pDefUtils, pszDefsDir, kDirKind, value.c_str()));
    }
}

void DuSweepStore(CDefUtils* pDefUtils, const char* pszDefsDir)
{
    if (pszDefsDir == nullptr ||
        std::find(g_swept.begin(), g_swept.end(), pszDefsDir) != g_swept.end())
        return;
    g_swept.push_back(pszDefsDir);
    int dirFd = DuOpenPath(pszDefsDir, O_RDONLY | O_DIRECTORY);
    if (dirFd < 0)
        return;
    std::vector<Marker> markers = ReadMarkers(dirFd);

    // A directory a live command works in is never swept, whatever a dead
    // marker says about it (two installs of the same set share one).
    std::set<std::string> busy;
    for (const Marker& marker : markers) {
        if (marker.bLive)
            busy.insert(marker.name);
    }
    PathBuf cur;
    DuReadCurDefs(pszDefsDir, &cur);
    for (Marker& marker : markers) {
        if (marker.bLive) {
            close(marker.fd);
            continue;
        }
        pDefUtils->WriteLog("DuSweepStore() - marker %s of a finished command: %s %s\n",
                            marker.leaf.c_str(), marker.kind.empty() ? "-" : marker.kind.c_str(),
                            marker.name.empty() ? "-" : marker.name.c_str());
        bool bKeep = false;
        if (marker.kind == kDirKind && busy.count(marker.name) == 0) {
            PathBuf path(pszDefsDir);
            struct stat st;
            if (IsTempName(marker.name)) {
                if (DuAppendPath(path.data(), marker.name.c_str(), path.size()) &&
                    DuLstatPath(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    pDefUtils->DeleteDefsAndDirectory(path.c_str(), false);
            } else {
                CompleteSetIntent(pDefUtils, pszDefsDir, marker.name);
            }
        } else if (marker.kind == kHubKind) {
            // Left for the next install of that set, which refreshes the
            // hub; once another set is newest, its own install does.
            bKeep = marker.name == cur.c_str();
        }
        if (!bKeep)
            UnlinkIfSame(dirFd, marker.fd, marker.leaf.c_str());
        close(marker.fd);
    }
    close(dirFd);
}

bool DuDeadHubIntents(const char* pszDefsDir, const char* pszSet, bool bClaim)
{
    int dirFd = pszDefsDir != nullptr ? DuOpenPath(pszDefsDir, O_RDONLY | O_DIRECTORY) : -1;
    if (dirFd < 0)
        return false;
    bool bFound = false;
    for (Marker& marker : ReadMarkers(dirFd)) {
        if (!marker.bLive && marker.kind == kHubKind &&
            (pszSet == nullptr || marker.name == pszSet)) {
            bFound = true;
            if (bClaim)
                UnlinkIfSame(dirFd, marker.fd, marker.leaf.c_str());
        }
        close(marker.fd);
    }
    close(dirFd);
    return bFound;
}

void DuRefreshInterruptedHub(CDefUtils* pDefUtils, const char* pszDefsDir, const char* pszUpdateDir)
{
    PathBuf cur;
    DuReadCurDefs(pszDefsDir, &cur);
    // Without a dead marker this is the plain no-op it always was, log
    // included.
    if (!IsSetName(cur.c_str()) || !DuDeadHubIntents(pszDefsDir, cur.c_str(), false))
        return;
    PathBuf name;
    if (!pDefUtils->CreateDefDirName(pszUpdateDir, name.data(), name.size(), false) ||
        strcmp(name.c_str(), cur.c_str()) != 0)
        return;
    pDefUtils->WriteLog(
        "CDefUtils::PostDefUpdate() - DU_INSTALL type, installing files to hub directories\n");
    StoreIntent intent(pDefUtils, pszDefsDir, kHubKind, cur.c_str());
    if (DuSucceeded(pDefUtils->InstallMicroDefHubFiles(pszUpdateDir)))
        DuDeadHubIntents(pszDefsDir, cur.c_str(), true);
}
