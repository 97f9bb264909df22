// Running the update client: its argument group, the child process that
// turns into "/bin/sh -c <command>", and judging how the child ended.
#include "updater/update_client.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "defutils/defutils.h"
#include "defutils/input_checks.h"
#include "platform/bounded.h"
#include "updater/command_result.h"

namespace {

// Room for the fixed words of the command (" Skyfetcher ", blanks) and the
// terminator, on top of the variable parts.
constexpr size_t kCommandExtra = 42;

// The environment keeps the pointer putenv is given, so these entries live
// in static storage: valid for the whole process, reused (rewritten in
// place) by a later run in the same process.
char g_szQorDefsDirEntry[UPDATE_ENV_ENTRY_SIZE];
char g_szHubDeltaDirEntry[UPDATE_ENV_ENTRY_SIZE];
char g_szCurDeltaDirEntry[UPDATE_ENV_ENTRY_SIZE];

void PutDirectoryEntry(char* pszEntry, const char* pszName, const char* pszDir)
{
    pszEntry[0] = '\0';
    BoundedAppend(pszEntry, UPDATE_ENV_ENTRY_SIZE, pszName);
    BoundedAppend(pszEntry, UPDATE_ENV_ENTRY_SIZE, "=");
    BoundedAppend(pszEntry, UPDATE_ENV_ENTRY_SIZE, pszDir != nullptr ? pszDir : "");
    putenv(pszEntry);
}

// Only a normal exit with status 0 counts as success; a signal, a non-zero
// status or a failed wait is failure.
bool WaitForClient(pid_t pid)
{
    for (;;) {
        int nStatus = 0;
        pid_t waited = waitpid(pid, &nStatus, 0);
        if (waited == pid)
            return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
        if (waited < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// Replaces the child by the shell running pszCommand; returns only when
// exec failed, with the child's exit status to use.
[[noreturn]] void ExecShell(const char* pszCommand)
{
    execl("/bin/sh", "sh", "-c", pszCommand, static_cast<char*>(nullptr));
    _exit(UPDATE_CHILD_NO_SHELL);
}

// The child of a full update. _exit, not exit: the child must not flush the
// parent's stdio buffers or run its exit handlers a second time.
[[noreturn]] void RunDefUpdateChild(CClientEnvironment* pEnvironment, CUpdateClient* pClient,
                                    const char* pszValue)
{
    char szJava[UPDATE_JAVA_PATH_SIZE];
    pEnvironment->FindJava(szJava, sizeof szJava);
    if (szJava[0] == '\0')
        _exit(UPDATE_CHILD_NO_JAVA);

    char szArguments[UPDATE_ARGUMENTS_SIZE];
    pClient->BuildClientArguments(szArguments, sizeof szArguments);
    if (szArguments[0] == '\0')
        _exit(UPDATE_CHILD_NO_ARGUMENTS);

    size_t nValue = pszValue != nullptr ? strlen(pszValue) : 0;
    size_t nSize = nValue + strlen(szJava) + strlen(szArguments) + kCommandExtra;
    char* pszCommand = static_cast<char*>(malloc(nSize));
    if (pszCommand == nullptr)
        _exit(UPDATE_CHILD_NO_SHELL);
    if (nValue > 0)
        BoundedFormat(pszCommand, nSize, "%s Skyfetcher %s %s", szJava, pszValue, szArguments);
    else
        BoundedFormat(pszCommand, nSize, "%s Skyfetcher %s", szJava, szArguments);
    ExecShell(pszCommand);
}

[[noreturn]] void RunMicroDefUpdateChild(CClientEnvironment* pEnvironment, const char* pszArguments)
{
    char szJava[UPDATE_MICRO_JAVA_PATH_SIZE];
    pEnvironment->FindJava(szJava, sizeof szJava);
    if (szJava[0] == '\0')
        _exit(UPDATE_CHILD_NO_JAVA);

    const char* pszArgs = pszArguments != nullptr ? pszArguments : "";
    size_t nSize = strlen(pszArgs) + strlen(szJava) + kCommandExtra;
    char* pszCommand = static_cast<char*>(malloc(nSize));
    if (pszCommand == nullptr)
        _exit(UPDATE_CHILD_NO_SHELL);
    // The trailing blank is part of the command the client has always seen.
    BoundedFormat(pszCommand, nSize, "%s Skyfetcher %s ", szJava, pszArgs);
    ExecShell(pszCommand);
}

}  // namespace

void CUpdateClient::GetNewestDefsStamp(char* pszBuffer, size_t nSize)
{
    if (pszBuffer == nullptr || nSize == 0)
        return;
    pszBuffer[0] = '\0';

    CDefUtils defUtils;
    WORD wYear = 0, wMonth = 0, wDay = 0;
    DWORD dwRev = 0;
    if (!defUtils.GetNewestDefsDate(&wYear, &wMonth, &wDay, &dwRev))
        return;
    // The client's sequence field has two digits for the revision.
    if (dwRev > 99)
        dwRev = 99;
    BoundedFormat(pszBuffer, nSize, "%4d%02d%02d%02d", static_cast<int>(wYear),
                  static_cast<int>(wMonth), static_cast<int>(wDay), static_cast<int>(dwRev));
}

void CUpdateClient::BuildClientArguments(char* pszBuffer, size_t nSize)
{
    if (pszBuffer == nullptr || nSize == 0)
        return;
    pszBuffer[0] = '\0';

    char szStamp[UPDATE_CLIENT_PATH_SIZE];
    GetNewestDefsStamp(szStamp, sizeof szStamp);
    if (szStamp[0] == '\0')
        return;

    // Presence alone switches debugging on, even with an empty value.
    BoundedCopy(pszBuffer, nSize, getenv("JSFDEBUG") != nullptr ? " -d [ -p " : "[ -p ");
    // Inserted unquoted: the shell splits the product name into words, and
    // the client expects exactly that.
    BoundedAppend(pszBuffer, nSize, SFPRODUCT);
    BoundedAppend(pszBuffer, nSize, " -v ");
    BoundedAppend(pszBuffer, nSize, SFVERSION);
    BoundedAppend(pszBuffer, nSize, " -l ");
    BoundedAppend(pszBuffer, nSize, LANGUAGE);
    BoundedAppend(pszBuffer, nSize, " -z ");
    BoundedAppend(pszBuffer, nSize, szStamp);
    BoundedAppend(pszBuffer, nSize, " -t VirusDef ]");
}

int CUpdateClient::RunDefUpdate(const char* pszValue, CDefUtils::CLogCallback* pObserver)
{
    CDefUtils defUtils;
    if (pObserver != nullptr)
        defUtils.AddLogCallback(pObserver);
    CClientEnvironment environment;
    int nResult = kCmdOk;

    // The value is put into the shell command as it is.
    if (pszValue != nullptr && DuShellValueProblem(pszValue) != nullptr)
        return kCmdUpdateClientFailed;
    if (!defUtils.InitWindowsApp(DEFUPDATE))
        return kCmdAppInitFailed;

    char szUpdateDir[DU_MAX_PATH];
    if (!defUtils.PreDefUpdate(szUpdateDir, sizeof szUpdateDir, DU_INSTALL))
        return kCmdPreUpdateFailed;

    PutDirectoryEntry(g_szQorDefsDirEntry, QORDEFSDIR, szUpdateDir);

    pid_t pid = fork();
    if (pid == 0)
        RunDefUpdateChild(&environment, this, pszValue);
    if (pid < 0 || !WaitForClient(pid))
        nResult = kCmdUpdateClientFailed;

    // Always: it integrates what the client left and removes the
    // temporary directory, whatever the client did.
    if (!defUtils.PostDefUpdate(false) && nResult == kCmdOk)
        nResult = kCmdPostUpdateFailed;
    return nResult;
}

int CUpdateClient::RunMicroDefUpdate(const char* pszHubPatchDir, const char* pszDirectPatchDir,
                                     const char* pszArguments)
{
    CClientEnvironment environment;

    PutDirectoryEntry(g_szHubDeltaDirEntry, HUBDELTADIR, pszHubPatchDir);
    PutDirectoryEntry(g_szCurDeltaDirEntry, CURDELTADIR, pszDirectPatchDir);

    pid_t pid = fork();
    if (pid == 0)
        RunMicroDefUpdateChild(&environment, pszArguments);
    if (pid < 0 || !WaitForClient(pid))
        return kCmdUpdateClientFailed;
    return kCmdOk;
}
