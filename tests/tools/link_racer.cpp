// What a hostile member of the store's group can do while root works in the
// store: swap names for symbolic links, over and over.
//
//   link_racer SECONDS TARGET PATH...
//
// Until SECONDS have passed (or it is killed) it puts a link to TARGET at
// each PATH, atomically replacing whatever file or link is there, moves a
// real directory found at a PATH aside so the link can take its place, and
// on every eighth pass removes its links again, so the program under test
// also sees the name vanish; mostly the link is there, since a name the
// program has just created or removed must be replaced at once to matter.
// Paths whose directory does not exist (yet) are simply retried.
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void PlaceLink(const std::string& target, const std::string& path, unsigned long* pAsides)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::string aside = path + ".aside" + std::to_string((*pAsides)++);
        rename(path.c_str(), aside.c_str());
    }
    const std::string temp = path + ".racer";
    if (symlink(target.c_str(), temp.c_str()) != 0)
        return;
    if (rename(temp.c_str(), path.c_str()) != 0)
        unlink(temp.c_str());
}

void RemoveLink(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        unlink(path.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s SECONDS TARGET PATH...\n", argv[0]);
        return 2;
    }
    // The bound keeps a forgotten racer from spinning on a shared machine.
    const double end = Now() + atof(argv[1]);
    const std::string target = argv[2];
    const std::vector<std::string> paths(argv + 3, argv + argc);
    unsigned long asides = 0;
    for (unsigned long pass = 0; Now() < end; ++pass) {
        for (const std::string& path : paths) PlaceLink(target, path, &asides);
        if (pass % 8 == 7) {
            for (const std::string& path : paths) RemoveLink(path);
        }
    }
    return 0;
}
