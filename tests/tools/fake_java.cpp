// Stand-in for the "java" interpreter that runs the update client. Tests put
// its directory first on PATH; the launcher then starts it through the shell
// exactly as it would start the real client.
//
// It does what the test asks through the environment:
//   FAKE_JAVA_RECORD     file that receives the argument vector and the
//                        client's environment (format below);
//   FAKE_JAVA_COPY_FROM  directory whose regular files are copied into
//                        $QORDEFSDIR, as a successful download would;
//   FAKE_JAVA_HUB_FROM, FAKE_JAVA_DIRECT_FROM
//                        the same for the microdefs download directories
//                        $HUBDELTADIR and $CURDELTADIR;
//   FAKE_JAVA_REMOVE     a directory to delete, with its files, before
//                        exiting (to pull the store from under the caller);
//   FAKE_JAVA_SIGNAL     signal number to die by (after recording); the
//                        shell that started it dies by it too, so the
//                        launcher's own child ends by the signal whether
//                        or not the shell exec'ed the interpreter;
//   FAKE_JAVA_EXIT       exit status (default 0).
//
// Record format, one item per line:
//   arg <argument>                 for argv[1], argv[2], ...
//   env <NAME>=<value>             or  "env <NAME> unset"
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

const char* const kRecordedVariables[] = {"CLASSPATH", "QORDEFSDIR", "HUBDELTADIR", "CURDELTADIR",
                                          "JSFDEBUG"};

bool Record(const char* pszFile, int argc, char** argv)
{
    FILE* pFile = fopen(pszFile, "w");
    if (pFile == nullptr)
        return false;
    for (int i = 1; i < argc; ++i) fprintf(pFile, "arg %s\n", argv[i]);
    for (const char* pszName : kRecordedVariables) {
        const char* pszValue = getenv(pszName);
        if (pszValue != nullptr)
            fprintf(pFile, "env %s=%s\n", pszName, pszValue);
        else
            fprintf(pFile, "env %s unset\n", pszName);
    }
    return fclose(pFile) == 0;
}

bool CopyOneFile(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return in.is_open() && !in.bad() && !out.fail();
}

bool CopyDirectory(const char* pszFrom, const char* pszTo)
{
    DIR* pDir = opendir(pszFrom);
    if (pDir == nullptr)
        return false;
    bool ok = true;
    while (struct dirent* pEntry = readdir(pDir)) {
        std::string from = std::string(pszFrom) + "/" + pEntry->d_name;
        struct stat st;
        if (stat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        ok = CopyOneFile(from, std::string(pszTo) + "/" + pEntry->d_name) && ok;
    }
    closedir(pDir);
    return ok;
}

void RemoveDirectoryAndFiles(const char* pszDir)
{
    if (DIR* pDir = opendir(pszDir)) {
        while (struct dirent* pEntry = readdir(pDir))
            unlink((std::string(pszDir) + "/" + pEntry->d_name).c_str());
        closedir(pDir);
    }
    rmdir(pszDir);
}

// True when the parent process is the shell that ran us (rather than the
// launcher itself, which a shell that execs its last command leaves as our
// parent): only then may the parent be signalled.
bool ParentIsShell()
{
    std::ifstream comm("/proc/" + std::to_string(getppid()) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name == "sh" || name == "dash" || name == "bash";
}

}  // namespace

int main(int argc, char** argv)
{
    const char* pszRecord = getenv("FAKE_JAVA_RECORD");
    if (pszRecord != nullptr && !Record(pszRecord, argc, argv))
        return 120;

    const struct {
        const char* pszFromVariable;
        const char* pszToVariable;
    } copies[] = {
        {"FAKE_JAVA_COPY_FROM", "QORDEFSDIR"},
        {"FAKE_JAVA_HUB_FROM", "HUBDELTADIR"},
        {"FAKE_JAVA_DIRECT_FROM", "CURDELTADIR"},
    };
    for (const auto& copy : copies) {
        const char* pszCopyFrom = getenv(copy.pszFromVariable);
        const char* pszTarget = getenv(copy.pszToVariable);
        if (pszCopyFrom != nullptr &&
            (pszTarget == nullptr || !CopyDirectory(pszCopyFrom, pszTarget)))
            return 121;
    }

    if (const char* pszRemove = getenv("FAKE_JAVA_REMOVE"))
        RemoveDirectoryAndFiles(pszRemove);

    const char* pszSignal = getenv("FAKE_JAVA_SIGNAL");
    if (pszSignal != nullptr) {
        int nSignal = atoi(pszSignal);
        if (ParentIsShell())
            kill(getppid(), nSignal);
        signal(nSignal, SIG_DFL);
        raise(nSignal);
        return 122;  // the signal was ignored or blocked
    }

    const char* pszExit = getenv("FAKE_JAVA_EXIT");
    return pszExit != nullptr ? atoi(pszExit) : 0;
}
