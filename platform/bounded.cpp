#include "platform/bounded.h"

#include <cstdio>
#include <cstring>

size_t BoundedCopy(char* dst, size_t size, const char* src)
{
    if (dst == nullptr || size == 0)
        return 0;
    if (src == nullptr)
        src = "";
    size_t len = strlen(src);
    if (len + 1 > size)
        len = size - 1;
    memmove(dst, src, len);
    dst[len] = '\0';
    return len;
}

size_t BoundedAppend(char* dst, size_t size, const char* src)
{
    if (dst == nullptr || size == 0)
        return 0;
    size_t used = strnlen(dst, size);
    if (used == size) {
        used = size - 1;
        dst[used] = '\0';
    }
    return used + BoundedCopy(dst + used, size - used, src);
}

bool BoundedJoin(char* dst, size_t size, const char* dir, const char* name)
{
    if (dst == nullptr || dir == nullptr || name == nullptr)
        return false;
    size_t dirLength = strlen(dir);
    size_t nameLength = strlen(name);
    if (dirLength + 1 + nameLength >= size)
        return false;
    memmove(dst, dir, dirLength);
    dst[dirLength] = '/';
    memmove(dst + dirLength + 1, name, nameLength + 1);
    return true;
}

size_t BoundedFormatV(char* dst, size_t size, const char* format, va_list args)
{
    if (dst == nullptr || size == 0)
        return 0;
    int n = vsnprintf(dst, size, format, args);
    if (n < 0) {
        dst[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

size_t BoundedFormat(char* dst, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t n = BoundedFormatV(dst, size, format, args);
    va_end(args);
    return n;
}
