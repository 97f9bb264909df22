// Random profile file contents and random sequences of reads and writes
// against buffers of random sizes. Buffers are allocated to their exact size
// so the sanitizer sees any overrun; results are checked against the sizes.
//
// Input: one byte with the number of operations (mod 16), five bytes per
// operation, then the file's contents.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/profile.h"

namespace {

char g_path[] = "/tmp/qdu-profile-fuzz-XXXXXX";

void RemoveFuzzFile()
{
    unlink(g_path);
}

const char* FuzzFile()
{
    static const bool made = [] {
        int fd = mkstemp(g_path);
        if (fd < 0)
            abort();
        close(fd);
        atexit(RemoveFuzzFile);
        return true;
    }();
    (void)made;
    return g_path;
}

const char* Name(uint8_t pick)
{
    static const std::string kLong(300, 'n');
    static const char* const kNames[] = {
        "S", "s", "", "[", "=", "key", "KEY", " S ", "a b", "'q'", "\"", "x=y", "]", "\t", nullptr,
    };
    constexpr size_t kCount = sizeof kNames / sizeof kNames[0];
    if (pick % (kCount + 1) == kCount)
        return kLong.c_str();
    return kNames[pick % (kCount + 1)];
}

void Check(bool ok)
{
    if (!ok)
        abort();
}

// A list result: cut lists end with two NULs at size - 2; others close with
// an item's NUL and the list's.
void CheckList(const char* buf, DWORD size, DWORD n)
{
    if (size < 2) {
        Check(n == 0);
        return;
    }
    Check(n < size && buf[n] == '\0');
    Check(n == 0 || buf[n - 1] == '\0' || (n == size - 2 && buf[n + 1] == '\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t ops = data[0] % 16;
    size_t header = 1 + ops * 5;
    if (size < header)
        return 0;
    const std::string file = FuzzFile();
    FILE* fp = fopen(file.c_str(), "wb");
    if (fp == nullptr)
        return 0;
    fwrite(data + header, 1, size - header, fp);
    fclose(fp);

    for (size_t i = 0; i < ops; ++i) {
        const uint8_t* op = data + 1 + i * 5;
        DWORD bufSize = static_cast<DWORD>(op[1] | ((op[2] & 0x3) << 8));
        const char* section = Name(op[3]);
        const char* key = Name(op[4]);
        const char* value = Name(static_cast<uint8_t>(op[3] ^ op[4]));
        std::unique_ptr<char[]> buf(bufSize > 0 ? new char[bufSize] : nullptr);
        switch (op[0] % 6) {
            case 0: {
                DWORD n =
                    GetPrivateProfileString(section, key, value, buf.get(), bufSize, file.c_str());
                if (section != nullptr && key != nullptr && bufSize > 0)
                    Check(n < bufSize && strlen(buf.get()) == n);
                break;
            }
            case 1:
                if (section != nullptr)
                    CheckList(buf.get(), bufSize,
                              GetPrivateProfileSection(section, buf.get(), bufSize, file.c_str()));
                break;
            case 2:
                CheckList(buf.get(), bufSize,
                          GetPrivateProfileSectionNames(buf.get(), bufSize, file.c_str()));
                break;
            case 3:
                GetPrivateProfileInt(section, key, 7, file.c_str());
                break;
            default: {
                BOOL ok = WritePrivateProfileString(section, key, value, file.c_str());
                // Any named key in any named section can always be written.
                if (section != nullptr && key != nullptr)
                    Check(ok == TRUE);
                break;
            }
        }
    }
    return 0;
}
