// Stand-in for the "java" that runs the update client; tests put its
// directory first on PATH. It does what the environment asks:
//   FAKE_JAVA_RECORD     file that receives "arg <argument>" lines, then
//                        "env <NAME>=<value>" or "env <NAME> unset" lines;
//   FAKE_JAVA_COPY_FROM, FAKE_JAVA_HUB_FROM, FAKE_JAVA_DIRECT_FROM
//                        directories whose regular files are copied into
//                        $QORDEFSDIR, $HUBDELTADIR, $CURDELTADIR, as a
//                        download would;
//   FAKE_JAVA_REMOVE     a directory to delete (pulls the store away);
//   FAKE_JAVA_SIGNAL     signal to die by, after the rest;
//   FAKE_JAVA_EXIT       exit status (default 0).
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    if (const char* pszRecord = getenv("FAKE_JAVA_RECORD")) {
        std::ofstream record(pszRecord);
        for (int i = 1; i < argc; ++i) record << "arg " << argv[i] << "\n";
        for (const char* pszName : {"CLASSPATH", "QORDEFSDIR", "HUBDELTADIR", "CURDELTADIR"}) {
            const char* pszValue = getenv(pszName);
            record << "env " << pszName << (pszValue ? std::string("=") + pszValue : " unset")
                   << "\n";
        }
        if (!record.flush())
            return 120;
    }
    for (auto [from, to] : {std::pair{"FAKE_JAVA_COPY_FROM", "QORDEFSDIR"},
                            {"FAKE_JAVA_HUB_FROM", "HUBDELTADIR"},
                            {"FAKE_JAVA_DIRECT_FROM", "CURDELTADIR"}}) {
        if (getenv(from) == nullptr)
            continue;
        std::error_code ec;
        if (getenv(to) == nullptr)
            return 121;
        for (const fs::directory_entry& e : fs::directory_iterator(getenv(from), ec)) {
            if (e.is_regular_file())
                fs::copy_file(e.path(), getenv(to) / e.path().filename(),
                              fs::copy_options::overwrite_existing, ec);
            if (ec)
                break;
        }
        if (ec)
            return 121;
    }
    if (const char* pszRemove = getenv("FAKE_JAVA_REMOVE")) {
        std::error_code ec;
        fs::remove_all(pszRemove, ec);
    }
    if (const char* pszSignal = getenv("FAKE_JAVA_SIGNAL")) {
        // The shell that ran us (unless it exec'ed us) dies by it too, so the
        // launcher's own child ends by the signal either way.
        std::ifstream comm("/proc/" + std::to_string(getppid()) + "/comm");
        std::string parent;
        std::getline(comm, parent);
        if (parent == "sh" || parent == "dash" || parent == "bash")
            kill(getppid(), atoi(pszSignal));
        signal(atoi(pszSignal), SIG_DFL);
        raise(atoi(pszSignal));
        return 122;
    }
    return getenv("FAKE_JAVA_EXIT") ? atoi(getenv("FAKE_JAVA_EXIT")) : 0;
}
