// Path splitting and joining on arbitrary bytes: no overrun, and the split
// positions always lie inside the path with the name after the directory.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // First byte: buffer size for the join; the rest: "dir\0name".
    size_t joinSize = data[0];
    std::vector<char> text(data + 1, data + size);
    text.insert(text.end(), 2, '\0');
    char* dir = text.data();
    const char* name = dir + strlen(dir) + 1;

    char* end = DuStripFileName(dir, 0);
    char* file = DuStripFileName(dir, 1);
    char* last = dir + strlen(dir);
    if (end < dir || end > last || file < end || file > last)
        abort();

    std::vector<char> buf(joinSize + 1, '#');
    if (joinSize > 0) {
        size_t n = strlen(dir) < joinSize ? strlen(dir) : joinSize - 1;
        memcpy(buf.data(), dir, n);
        buf[n] = '\0';
        if (DuAppendPath(buf.data(), name, joinSize) && strlen(buf.data()) >= joinSize)
            abort();
    }
    if (buf[joinSize] != '#')
        abort();
    return 0;
}
