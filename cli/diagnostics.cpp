// Causes of failed and do-nothing commands, found after the fact, and the
// copy progress line. Everything is read afresh from the configuration and
// the store; nothing is written to either.
#include "cli/diagnostics.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cli/qordefutil.h"
#include "defutils/input_checks.h"
#include "defutils/system_config.h"
#include "platform/profile.h"
#include "updater/command_result.h"

namespace {

constexpr char kMissing[] = "KeyMissing";
constexpr size_t kValueSize = 4096;
constexpr time_t kLockLifetime = 1800;  // the age at which a lock is broken

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ProfileValue(const char* pszSection, const char* pszKey, const std::string& file)
{
    std::vector<char> value(kValueSize);
    GetPrivateProfileString(pszSection, pszKey, kMissing, value.data(),
                            static_cast<DWORD>(value.size()), file.c_str());
    std::string text(value.data());
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool IsSet(const std::string& value)
{
    return !value.empty() && value != kMissing;
}

std::string Lower(const char* psz)
{
    std::string text(psz != nullptr ? psz : "");
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The store the command works on, or the reason it cannot be found.
struct Store {
    std::string problem;  // set when the configuration is not usable
    std::string base;
    std::string defs;
};

Store LocateStore(const DiagnosedCommand& command)
{
    Store store;
    std::string conf = TarvolixConfPath();
    if (!Exists(conf)) {
        store.problem =
            conf + " does not exist: copy /etc/Tarvolix.conf.sample there and set BaseDir";
        return store;
    }
    if (access(conf.c_str(), R_OK) != 0) {
        store.problem = "cannot read " + conf + ": " + strerror(errno);
        return store;
    }
    store.base = ProfileValue("Tarvolix Shared", "BaseDir", conf);
    if (!IsSet(store.base)) {
        store.problem = conf + " has no BaseDir in [Tarvolix Shared]";
        return store;
    }
    store.defs = store.base + "/";
    store.defs += command.pszContentType != nullptr && *command.pszContentType != '\0'
                      ? "tvlxdata/" + Lower(command.pszContentType)
                      : std::string("virusdefs");
    return store;
}

// Group existence and membership; empty when both are fine.
std::string GroupProblem(const CallerIdentity& caller)
{
    const char* pszGroup = StoreGroupName();
    std::vector<char> buffer(16384);
    struct group grp;
    struct group* pGroup = nullptr;
    if (getgrnam_r(pszGroup, &grp, buffer.data(), buffer.size(), &pGroup) != 0 || pGroup == nullptr)
        return std::string("group ") + pszGroup + " does not exist: groupadd " + pszGroup;
    if (caller.uid == 0)
        return std::string();
    for (gid_t gid : caller.groups)
        if (gid == pGroup->gr_gid)
            return std::string();
    return std::string("you are not a member of ") + pszGroup + ": usermod -aG " + pszGroup + " " +
           (caller.userName.empty() ? std::string("USER") : caller.userName) +
           ", then log in again";
}

// Why the definitions directory cannot be made or written; empty when it
// can.
std::string DirectoryProblem(const std::string& dir)
{
    if (IsDirectory(dir))
        return access(dir.c_str(), W_OK | X_OK) == 0 ? std::string()
                                                     : "no write permission in " + dir;
    std::string parent = dir;
    while (!parent.empty() && !IsDirectory(parent)) {
        size_t slash = parent.find_last_of('/');
        parent =
            slash == std::string::npos || slash == 0 ? std::string("/") : parent.substr(0, slash);
        if (parent == "/")
            break;
    }
    if (access(parent.c_str(), W_OK | X_OK) != 0)
        return "cannot create " + dir + ": no write permission in " + parent;
    return std::string();
}

// A guard left by a process that died while breaking a lock blocks that
// lock for good.
std::string StuckGuard(const std::string& defs)
{
    for (const char* pszLock : {"/sflock.dat", "/incoming/inlock.dat"}) {
        std::string guard = defs + pszLock + ".l2";
        if (Exists(guard))
            return "stuck lock guard " + guard +
                   ": when no qordefutil is running, remove it (rm '" + guard + "')";
    }
    return std::string();
}

std::string HeldLock(const std::string& defs)
{
    std::string lock = defs + "/sflock.dat";
    struct stat st;
    if (lstat(lock.c_str(), &st) != 0 || time(nullptr) - st.st_mtime >= kLockLifetime)
        return std::string();
    char szSince[32] = "";
    struct tm tmLocal;
    if (localtime_r(&st.st_mtime, &tmLocal) != nullptr)
        strftime(szSince, sizeof szSince, "%H:%M", &tmLocal);
    return "another update holds " + lock + " since " + szSince +
           "; it is taken to be abandoned after 30 minutes";
}

// The set name a virscan1.dat header gives, or empty when it has none.
std::string SetNameOf(const std::string& dir)
{
    std::string path = dir + "/virscan1.dat";
    int fd = CDefUtils::OpenFileAnyCase(path.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return std::string();
    unsigned char header[11] = {};
    ssize_t n = read(fd, header, sizeof header);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof header))
        return std::string();
    unsigned long rev =
        header[4] | header[5] << 8 | header[6] << 16 | static_cast<unsigned long>(header[7]) << 24;
    unsigned month = header[8], day = header[9], year = header[10] + 1900u;
    if (rev > 999 || month < 1 || month > 12 || day < 1 || day > 31 || year < 2000 || year > 2100)
        return std::string();
    char szName[32];
    snprintf(szName, sizeof szName, "%04u%02u%02u.%03lu", year, month, day, rev);
    return szName;
}

// The first file catalog.dat lists under [Files] that the directory lacks.
std::string FirstMissingFile(const std::string& dir)
{
    std::vector<char> list(65536);
    DWORD n = GetPrivateProfileSection("Files", list.data(), static_cast<DWORD>(list.size()),
                                       (dir + "/catalog.dat").c_str());
    for (const char* p = list.data(); n > 0 && *p != '\0'; p += strlen(p) + 1) {
        std::string name(p);
        if (name.find('=') != std::string::npos || name.find('/') != std::string::npos)
            continue;
        int fd = CDefUtils::OpenFileAnyCase((dir + "/" + name).c_str(), O_RDONLY, 0);
        if (fd < 0)
            return name;
        close(fd);
    }
    return std::string();
}

bool IsRegistered(const std::string& defs, const char* pszAppId)
{
    std::string usage = defs + "/usage.dat";
    std::vector<char> names(65536);
    DWORD n = GetPrivateProfileSectionNames(names.data(), static_cast<DWORD>(names.size()),
                                            usage.c_str());
    for (const char* p = names.data(); n > 0 && *p != '\0'; p += strlen(p) + 1)
        if (IsSet(ProfileValue(p, pszAppId, usage)))
            return true;
    return false;
}

std::string NothingToRestore(const std::string& defs)
{
    std::string defInfo = defs + "/definfo.dat";
    if (!Exists(defInfo))
        return "nothing to restore: no definitions are installed in " + defs;
    std::string cur = ProfileValue("DefDates", "CurDefs", defInfo);
    std::string last = ProfileValue("DefDates", "LastDefs", defInfo);
    if (!IsSet(last))
        return "nothing to restore: definfo.dat names no previous set";
    if (strcasecmp(last.c_str(), cur.c_str()) == 0)
        return "nothing to restore: the previous set is the newest one, " + cur;
    if (!IsDirectory(defs + "/" + last))
        return "nothing to restore: the previous set " + last + " is no longer in " + defs;
    return std::string();
}

std::string NotInstalled(const DiagnosedCommand& command, const Store& store)
{
    std::string source = command.pszValue;
    std::string name = SetNameOf(source);
    std::string newest = ProfileValue("DefDates", "CurDefs", store.defs + "/definfo.dat");
    if (name.empty() || !IsSet(newest))
        return std::string();
    if (name == newest)
        return "not installed: the set in " + source + " (" + name + ") is already the newest";
    return "not installed: the set in " + source + " (" + name + ") is older than the newest, " +
           newest;
}

std::string InstallFailure(const DiagnosedCommand& command)
{
    std::string source = command.pszValue;
    if (!IsDirectory(source))
        return source + " is not a directory";
    if (access(source.c_str(), R_OK | X_OK) != 0)
        return "cannot read " + source + ": " + strerror(errno);
    int fd = CDefUtils::OpenFileAnyCase((source + "/virscan1.dat").c_str(), O_RDONLY, 0);
    if (fd < 0)
        return source + " holds no virscan1.dat: it is not a definition set";
    close(fd);
    if (SetNameOf(source).empty())
        return source + "/virscan1.dat has no valid date in its header";
    std::string missing = FirstMissingFile(source);
    if (!missing.empty())
        return "the set in " + source + " is incomplete: catalog.dat lists " + missing +
               ", which is missing";
    return std::string();
}

std::string UpdateClientFailure(const Store& store)
{
    const char* pszPath = getenv("PATH");
    bool bJava = false;
    std::string path = pszPath != nullptr ? pszPath : "";
    for (size_t start = 0; start <= path.size() && !bJava;) {
        size_t end = path.find(':', start);
        std::string dir = path.substr(start, end == std::string::npos ? end : end - start);
        bJava = !dir.empty() && access((dir + "/java").c_str(), X_OK) == 0;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (!bJava)
        return "no java command on PATH: apt install default-jre-headless";
    std::string jar = store.base + "/Skyfetcher/jsf.jar";
    if (!Exists(jar))
        return jar + " does not exist: install the update client there";
    return "the update client failed; run again with JSFDEBUG=1 for its details";
}

std::string PatchLibraryFailure()
{
    void* hLibrary = dlopen("libpatchapp.so", RTLD_LAZY | RTLD_LOCAL);
    if (hLibrary == nullptr) {
        const char* pszError = dlerror();
        return std::string("the patch library cannot be loaded (") +
               (pszError != nullptr ? pszError : "libpatchapp.so") +
               "): run ldconfig, or set LD_LIBRARY_PATH";
    }
    dlclose(hLibrary);
    return std::string();
}

bool IsOptionName(const char* pszArg)
{
    for (const OptionEntry& row : g_aOptions)
        if ((row.pszShort != nullptr && strcmp(row.pszShort, pszArg) == 0) ||
            strcmp(row.pszLong, pszArg) == 0)
            return true;
    return false;
}

std::string FirstOf(std::initializer_list<std::string> causes)
{
    for (const std::string& cause : causes)
        if (!cause.empty())
            return cause;
    return std::string();
}

}  // namespace

DiagnosedCommand CommandFromArguments(int argc, char** argv)
{
    DiagnosedCommand command;
    if (argc < 2 || argv[1] == nullptr)
        return command;
    static const struct {
        const char* pszShort;
        const char* pszLong;
    } kCommands[] = {{"-g", "--getcurrentdefs"}, {"-i", "--install"},    {"-n", "--newest"},
                     {"-u", "--uninstall"},      {"-l", "--skyfetcher"}, {"-m", "--mdefs"},
                     {"-r", "--restorelastdefs"}};
    for (const auto& row : kCommands) {
        if (strcmp(argv[1], row.pszShort) != 0 && strcmp(argv[1], row.pszLong) != 0)
            continue;
        // A second option instead of a value: two commands ran, and the
        // last result may not be this one's.
        if (argc >= 3 && IsOptionName(argv[2]))
            return command;
        command.cOption = row.pszShort[1];
        if (command.cOption == 'r') {
            command.pszContentType = argc >= 3 ? argv[2] : nullptr;
        } else {
            command.pszValue = argc >= 3 ? argv[2] : nullptr;
            command.pszContentType = argc >= 4 ? argv[3] : nullptr;
        }
        break;
    }
    return command;
}

CallerIdentity CurrentCaller()
{
    CallerIdentity caller;
    caller.uid = geteuid();
    struct passwd pw;
    struct passwd* pPw = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(caller.uid, &pw, buffer.data(), buffer.size(), &pPw) == 0 && pPw != nullptr)
        caller.userName = pPw->pw_name;
    caller.groups.push_back(getegid());
    int n = getgroups(0, nullptr);
    if (n > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(n));
        n = getgroups(n, groups.data());
        if (n > 0)
            caller.groups.insert(caller.groups.end(), groups.begin(), groups.begin() + n);
    }
    return caller;
}

StoreSnapshot TakeSnapshot(const DiagnosedCommand& command)
{
    StoreSnapshot snapshot;
    Store store = LocateStore(command);
    if (store.problem.empty()) {
        snapshot.newest = ProfileValue("DefDates", "CurDefs", store.defs + "/definfo.dat");
        snapshot.bHaveNewest = IsSet(snapshot.newest);
    }
    return snapshot;
}

std::string ExplainOutcome(const DiagnosedCommand& command, int nResult,
                           const StoreSnapshot& before, const CallerIdentity& caller)
{
    char cOption = command.cOption;
    if (cOption == '\0')
        return std::string();
    // Refused names get their own message from the command.
    if ((cOption == 'g' || cOption == 'n' || cOption == 'u') &&
        DuAppIdProblem(command.pszValue) != nullptr)
        return std::string();
    if (command.pszContentType != nullptr &&
        DuContentTypeProblem(command.pszContentType) != nullptr)
        return std::string();

    Store store = LocateStore(command);
    if (nResult == kCmdOk) {
        if (!store.problem.empty())
            return std::string();
        std::string now = ProfileValue("DefDates", "CurDefs", store.defs + "/definfo.dat");
        bool bChanged =
            IsSet(now) ? !before.bHaveNewest || now != before.newest : before.bHaveNewest;
        if (cOption == 'r' && !bChanged)
            return NothingToRestore(store.defs);
        if (cOption == 'i' && !bChanged && command.pszValue != nullptr)
            return NotInstalled(command, store);
        return std::string();
    }

    if (!store.problem.empty())
        return store.problem;
    std::string cause = GroupProblem(caller);
    if (!cause.empty())
        return cause;
    if (nResult == kCmdNoContentType)
        return "no store for content type " + std::string(command.pszContentType) + ": " +
               store.defs + " does not exist (qordefutil -i DIR " + command.pszContentType +
               " creates it)";
    bool bCreates = cOption == 'i' || cOption == 'l';
    cause = bCreates || IsDirectory(store.defs)
                ? DirectoryProblem(store.defs)
                : "no store in " + store.defs + ": install a set with qordefutil -i DIR";
    if (!cause.empty())
        return cause;
    cause = StuckGuard(store.defs);
    if (!cause.empty())
        return cause;

    switch (cOption) {
        case 'g':
        case 'u':
            if (!IsRegistered(store.defs, command.pszValue))
                return std::string(command.pszValue) + " is not registered in " + store.defs +
                       "/usage.dat: qordefutil -n " + command.pszValue;
            break;
        case 'n':
            if (!IsSet(ProfileValue("DefDates", "CurDefs", store.defs + "/definfo.dat")))
                return "no definitions are installed in " + store.defs +
                       ": install a set with qordefutil -i DIR";
            break;
        case 'i':
            return InstallFailure(command);
        case 'l':
            return nResult == kCmdUpdateClientFailed ? UpdateClientFailure(store) : std::string();
        case 'm':
            if (nResult == kCmdMicroDefPreUpdateFailed)
                return HeldLock(store.defs);
            if (nResult == kCmdUpdateClientFailed)
                return UpdateClientFailure(store);
            return FirstOf({PatchLibraryFailure(), nResult == kCmdClientAndMicroDefPostFailed
                                                       ? UpdateClientFailure(store)
                                                       : std::string()});
        default:
            break;
    }
    return std::string();
}

CCommandDiagnostics::CCommandDiagnostics(int argc, char** argv)
    : m_bTerminal(isatty(STDERR_FILENO) == 1), m_command()
{
    if (m_bTerminal) {
        m_command = CommandFromArguments(argc, argv);
        if (m_command.cOption == 'i' || m_command.cOption == 'r')
            m_before = TakeSnapshot(m_command);
    }
}

void CCommandDiagnostics::Report(int nResult) const
{
    if (!m_bTerminal)
        return;
    std::string cause = ExplainOutcome(m_command, nResult, m_before, CurrentCaller());
    if (!cause.empty())
        fprintf(stderr, "qordefutil: %s\n", cause.c_str());
}

CCopyProgress::~CCopyProgress()
{
    if (m_bShown)
        Show(true);
}

void CCopyProgress::Attach(CDefUtils* pDefUtils)
{
    if (pDefUtils != nullptr && isatty(STDERR_FILENO) == 1)
        m_bAttached = DuSucceeded(pDefUtils->AddLogCallback(this));
}

CDefUtils::CLogCallback* CCopyProgress::ObserverAtTerminal()
{
    m_bAttached = isatty(STDERR_FILENO) == 1;
    return m_bAttached ? this : nullptr;
}

void CCopyProgress::OnLogLine(const char* pszLine)
{
    // The store manager logs "CDefUtils::CopyFilesCallback <path> - start. "
    // before each copy and "... - end, returning: success. " after it.
    static const char kStart[] = "CDefUtils::CopyFilesCallback ";
    static const char kStartEnd[] = " - start. \n";
    static const char kDone[] = "CDefUtils::CopyFilesCallback - end, returning: success.";
    const char* pszStart = strstr(pszLine, kStart);
    if (pszStart == nullptr)
        return;
    if (strncmp(pszStart, kDone, sizeof kDone - 1) == 0) {
        if (m_pending.empty())
            return;
        ++m_nFiles;
        m_nBytes += m_nPendingBytes;
        m_pending.clear();
        if (m_bAttached)
            Show(false);
        return;
    }
    const char* pszPath = pszStart + sizeof kStart - 1;
    const char* pszEnd = strstr(pszPath, kStartEnd);
    if (pszEnd == nullptr || pszEnd == pszPath)
        return;
    m_pending.assign(pszPath, static_cast<size_t>(pszEnd - pszPath));
    struct stat st;
    m_nPendingBytes = stat(m_pending.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void CCopyProgress::Show(bool bFinal)
{
    auto now = std::chrono::steady_clock::now();
    if (!bFinal && m_bShown && now - m_lastShown < std::chrono::milliseconds(100))
        return;
    m_lastShown = now;
    m_bShown = true;
    fprintf(stderr, "\rqordefutil: copied %llu %s, %.1f MiB%s",
            static_cast<unsigned long long>(m_nFiles), m_nFiles == 1 ? "file" : "files",
            static_cast<double>(m_nBytes) / 1048576.0, bFinal ? "\n" : "");
    fflush(stderr);
}
