#include "platform/charstep.h"

#include <cstdlib>

size_t CharLen(const char* p)
{
    if (p == nullptr || *p == '\0')
        return 0;
    int n = mblen(p, 16);
    return n < 1 ? 1 : static_cast<size_t>(n);
}

const char* NextChar(const char* p)
{
    return p + CharLen(p);
}

char* NextChar(char* p)
{
    return p + CharLen(p);
}
