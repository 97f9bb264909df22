// Stand-in "java" for the update client; tests put it first on PATH. It
// records "arg <argument>" and "env <NAME>=<value>" lines (FAKE_JAVA_RECORD),
// copies files as a download would (FAKE_JAVA_*_FROM), deletes a directory
// (FAKE_JAVA_REMOVE), then dies by FAKE_JAVA_SIGNAL or exits with FAKE_JAVA_EXIT.
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
        for (const char* pszName : {"CLASSPATH", "QORDEFSDIR", "HUBDELTADIR", "CURDELTADIR"})
            if (const char* pszValue = getenv(pszName))
                record << "env " << pszName << "=" << pszValue << "\n";
        if (!record.flush())
            return 120;
    }
    std::error_code ec;
    for (auto [from, to] : {std::pair{"FAKE_JAVA_COPY_FROM", "QORDEFSDIR"},
                            {"FAKE_JAVA_HUB_FROM", "HUBDELTADIR"},
                            {"FAKE_JAVA_DIRECT_FROM", "CURDELTADIR"}}) {
        if (getenv(from) != nullptr && getenv(to) == nullptr)
            return 121;
        if (getenv(from) == nullptr)
            continue;
        for (const fs::directory_entry& e : fs::directory_iterator(getenv(from), ec)) {
            if (e.is_regular_file() && !fs::copy_file(e.path(), getenv(to) / e.path().filename(),
                                                      fs::copy_options::overwrite_existing, ec))
                return 121;
        }
        if (ec)
            return 121;
    }
    if (const char* pszRemove = getenv("FAKE_JAVA_REMOVE"))
        fs::remove_all(pszRemove, ec);
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
