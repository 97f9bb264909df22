// A hostile member of the store's group swapping names for symbolic links
// while root works in the store:  link_racer SECONDS TARGET PATH...
// Until SECONDS have passed it atomically puts a link to TARGET at each PATH
// (moving a real directory there aside first), and every eighth pass removes
// its links, so the program also sees the name vanish. Mostly the link is
// there: a name the program has just made must be replaced at once to matter.
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s SECONDS TARGET PATH...\n", argv[0]);
        return 2;
    }
    // The bound keeps a forgotten racer from spinning on a shared machine.
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(atof(argv[1]));
    unsigned long asides = 0;
    for (unsigned long pass = 0; std::chrono::steady_clock::now() < end; ++pass) {
        for (int i = 3; i < argc; ++i) {
            const std::string path = argv[i], temp = path + ".racer";
            struct stat st;
            const bool bExists = lstat(argv[i], &st) == 0;
            if (bExists && S_ISDIR(st.st_mode))
                rename(argv[i], (path + ".aside" + std::to_string(asides++)).c_str());
            if (pass % 8 == 7 && bExists && S_ISLNK(st.st_mode))
                unlink(argv[i]);
            else if (symlink(argv[2], temp.c_str()) == 0 && rename(temp.c_str(), argv[i]) != 0)
                unlink(temp.c_str());
        }
    }
    return 0;
}
