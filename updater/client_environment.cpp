// The update client's names and its process environment: where the client
// lives, CLASSPATH, and finding the interpreter on PATH.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "defutils/system_config.h"
#include "platform/bounded.h"
#include "platform/find.h"
#include "platform/profile.h"
#include "updater/update_client.h"

extern char** environ;

const char* const JAVA = "java";
const char* const JSFJAR = "jsf.jar";
const char* const SKYFETCHER = "Skyfetcher";
const char* const CLASSPATH = "CLASSPATH";
const char* const PATH = "PATH";
const char* const PATHSEP = "/";
const char* const LISTSEP = ":";
const char* const CONFIGFILE = "/etc/Tarvolix.conf";
const char* const TARVOLIX_SHARED_SECTION = "Tarvolix Shared";
const char* const BASE_DIRECTORY = "BaseDir";
const char* const SFPRODUCT = "Morvik1.5 Definitions Linux";
const char* const SFVERSION = "1.0";
const char* const LANGUAGE = "English";
const char* const DEFUPDATE = "DEFUPDATE";
const char* const QORDEFSDIR = "QORDEFSDIR";
const char* const HUBDELTADIR = "HUBDELTADIR";
const char* const CURDELTADIR = "CURDELTADIR";

namespace {

typedef std::unique_ptr<char, DuFreeDeleter> HeapString;

bool InEnvironment(const char* pszEntry)
{
    for (char** ppEntry = environ; ppEntry != nullptr && *ppEntry != nullptr; ++ppEntry) {
        if (*ppEntry == pszEntry)
            return true;
    }
    return false;
}

// putenv keeps the very pointer it is given, so an entry may only be freed
// once the environment no longer refers to it. One still in use when its
// object goes is handed over to this process-wide slot for as long as the
// environment may need it: at most one small string at a time, and it keeps
// CLASSPATH valid for the child and for anything that reads it later,
// without a fixed-size static buffer that a long CLASSPATH would not fit.
char* g_pszHandedOverEntry = nullptr;

void ReleaseEntry(char* pszEntry)
{
    if (pszEntry == nullptr)
        return;
    if (!InEnvironment(pszEntry)) {
        free(pszEntry);
        return;
    }
    if (g_pszHandedOverEntry != nullptr && !InEnvironment(g_pszHandedOverEntry))
        free(g_pszHandedOverEntry);
    g_pszHandedOverEntry = pszEntry;
}

}  // namespace

CClientEnvironment::CClientEnvironment() : m_pszClassPathEntry(nullptr)
{
    SetClassPath();
}

CClientEnvironment::~CClientEnvironment()
{
    ReleaseEntry(m_pszClassPathEntry);
    m_pszClassPathEntry = nullptr;
}

void CClientEnvironment::GetClientDir(char* pszBuffer, size_t nSize)
{
    if (pszBuffer == nullptr || nSize == 0)
        return;
    pszBuffer[0] = '\0';

    // Callers hand 4095-byte buffers; a smaller one still bounds the read.
    size_t nReadSize = nSize < UPDATE_CLIENT_PATH_SIZE ? nSize : UPDATE_CLIENT_PATH_SIZE;
    DWORD nRead = GetPrivateProfileString(TARVOLIX_SHARED_SECTION, BASE_DIRECTORY, "", pszBuffer,
                                          static_cast<DWORD>(nReadSize), TarvolixConfPath());
    if (nRead == 0 || pszBuffer[0] == '\0') {
        pszBuffer[0] = '\0';
        return;
    }
    BoundedAppend(pszBuffer, nSize, PATHSEP);
    BoundedAppend(pszBuffer, nSize, SKYFETCHER);
}

void CClientEnvironment::SetClassPath()
{
    char szJar[UPDATE_CLIENT_PATH_SIZE];
    GetClientDir(szJar, sizeof szJar);
    if (szJar[0] == '\0')
        return;
    BoundedAppend(szJar, sizeof szJar, PATHSEP);
    BoundedAppend(szJar, sizeof szJar, JSFJAR);

    HeapString oldValue;
    const char* pszOld = getenv(CLASSPATH);
    if (pszOld != nullptr) {
        oldValue.reset(strdup(pszOld));
        if (!oldValue)
            return;
        if (strstr(oldValue.get(), szJar) != nullptr)
            return;
    }

    // An empty old value adds nothing: "<jar>:" would put the working
    // directory on the client's class path.
    bool bHasOld = oldValue && oldValue.get()[0] != '\0';
    size_t nSize = strlen(CLASSPATH) + strlen(szJar) +
                   (bHasOld ? strlen(oldValue.get()) + strlen(LISTSEP) : 0) + 3;
    char* pszEntry = static_cast<char*>(malloc(nSize));
    if (pszEntry == nullptr)
        return;
    pszEntry[0] = '\0';
    BoundedAppend(pszEntry, nSize, CLASSPATH);
    BoundedAppend(pszEntry, nSize, "=");
    BoundedAppend(pszEntry, nSize, szJar);
    if (bHasOld) {
        BoundedAppend(pszEntry, nSize, LISTSEP);
        BoundedAppend(pszEntry, nSize, oldValue.get());
    }

    if (putenv(pszEntry) != 0) {
        free(pszEntry);
        return;
    }
    // The previous entry of this object (if any) has just been replaced.
    ReleaseEntry(m_pszClassPathEntry);
    m_pszClassPathEntry = pszEntry;
}

bool CClientEnvironment::PathExists(const char* pszPath)
{
    if (pszPath == nullptr)
        return false;
    FindData findData;
    HANDLE hFind = FindFirstFile(pszPath, &findData);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    FindClose(hFind);
    return true;
}

void CClientEnvironment::FindJava(char* pszBuffer, size_t nSize)
{
    if (pszBuffer == nullptr || nSize == 0)
        return;
    pszBuffer[0] = '\0';

    const char* pszPath = getenv(PATH);
    if (pszPath == nullptr)
        return;
    HeapString path(strdup(pszPath));
    if (!path)
        return;

    char* pszSave = nullptr;
    // strtok_r treats a run of separators as one, which skips empty entries.
    for (char* pszDir = strtok_r(path.get(), LISTSEP, &pszSave); pszDir != nullptr;
         pszDir = strtok_r(nullptr, LISTSEP, &pszSave)) {
        char szCandidate[UPDATE_CLIENT_PATH_SIZE];
        BoundedCopy(szCandidate, sizeof szCandidate, pszDir);
        BoundedAppend(szCandidate, sizeof szCandidate, PATHSEP);
        BoundedAppend(szCandidate, sizeof szCandidate, JAVA);
        if (PathExists(szCandidate)) {
            BoundedCopy(pszBuffer, nSize, szCandidate);
            return;
        }
    }
}
