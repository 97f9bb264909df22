// Opening the debug log file named in the defutils configuration.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "defutils/defutils.h"
#include "defutils/store_layout.h"
#include "defutils/system_config.h"
#include "platform/boundary.h"
#include "platform/bounded.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

// A log up to this size is continued; a larger one starts afresh.
constexpr off_t kLogAppendLimit = 1048576;
// Group "avdefs" and 0660 (the mode is masked with 0666 for a file).
constexpr unsigned int kConfigFileMode = 0770;

// Keeps ".log" and ".txt" (any case); anything else gets ".log" appended, so
// the log can never be mistaken for, or replace, a definitions file.
void EnsureLogExtension(PathBuf* pName)
{
    const char* pszDot = strrchr(pName->c_str(), '.');
    if (pszDot == nullptr ||
        (strcasecmp(pszDot, kLogExtension) != 0 && strcasecmp(pszDot, kTextExtension) != 0))
        pName->append(kLogExtension);
}

// fopen with "at" or "w+", but refusing to follow a symbolic link planted
// between our examination of the path and the open. Both modes write at the
// end of the file: two objects may log to it at once (a command can hold a
// second store manager), and a truncating opener must not overwrite lines
// the other appended since.
FILE* OpenLogStream(const char* pszPath, bool bAppend)
{
    int nFlags =
        O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_APPEND | (bAppend ? O_WRONLY : (O_RDWR | O_TRUNC));
    // Through the store boundary: no link anywhere on the way, and a FIFO
    // planted under the log's name cannot hang the command.
    int fd = DuOpenPath(pszPath, nFlags, 0666);
    if (fd < 0)
        return nullptr;
    FILE* pFile = fdopen(fd, bAppend ? "a" : "w+");
    if (pFile == nullptr)
        close(fd);
    return pFile;
}

void WriteBanner(FILE* pFile)
{
    static const char kRule[] =
        "++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++";
    static_assert(sizeof kRule == 75, "the banner rule is 74 characters");
    time_t now = time(nullptr);
    char szTime[64] = "";
    if (ctime_r(&now, szTime) == nullptr)
        szTime[0] = '\0';
    fprintf(pFile, "\n\n%s\n", kRule);
    fprintf(pFile, "\n       Logging Started @ ");
    fprintf(pFile, "%s", szTime);
    fprintf(pFile, "\n%s\n\n", kRule);
}

}  // namespace

void CDefUtils::OpenLogFile()
{
    PathBuf defsDir;
    GetVirusDefsDir(defsDir.data(), defsDir.size());
    // Without a definitions directory the name would resolve against the
    // working directory; keep the log off rather than write it there.
    if (defsDir.empty())
        return;

    PathBuf config(DefutilsConfPath());
    if (!DuFileExists(config.data()))
        return;
    ChangeUnixOwner(config.c_str(), kConfigFileMode, false);

    PathBuf value;
    if (GetPrivateProfileString(kDefutilLogSection, kDefutilLogNameKey, nullptr, value.data(),
                                static_cast<DWORD>(value.size()), config.c_str()) == 0)
        return;

    // Only the file name counts: the log always lies in the definitions
    // directory, whatever directory the configuration names.
    PathBuf name(DuStripFileName(value.data(), 1));
    EnsureLogExtension(&name);

    PathBuf logPath(defsDir.c_str());
    if (!DuAppendPath(logPath.data(), name.c_str(), logPath.size()))
        return;

    struct stat st;
    bool bExists = DuLstatPath(logPath.c_str(), &st) == 0;
    if (bExists && S_ISLNK(st.st_mode)) {
        syslog(LOG_ERR | LOG_USER, "%s",
               "defutils: target log file is a symbolic link. defutils log stopped.\n");
        return;
    }

    m_pLogFile.reset(OpenLogStream(logPath.c_str(), bExists && st.st_size <= kLogAppendLimit));
    // The group goes on the file that was opened, and only on it.
    ChangeOwnerOfOpenFile(m_pLogFile ? fileno(m_pLogFile.get()) : -1, logPath.c_str(),
                          kConfigFileMode, false);
    m_pszLogFileName = DuStrDup(logPath.c_str());
    if (m_pLogFile)
        WriteBanner(m_pLogFile.get());
}
