// Random profile files, read and written through buffers of random exact sizes
// so the sanitizer sees any overrun; results are checked against the sizes.
// Input: the number of operations (mod 16), five bytes per operation, the file.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "platform/profile.h"

namespace {

char f[] = "/tmp/qdu-profile-fuzz-XXXXXX";  // one scratch file, removed at exit

const char* Name(uint8_t pick)
{
    static const std::string kLong(300, 'n');
    static const char* const kNames[] = {"S",   "s",   "",      "[",          "=",  "key",
                                         "KEY", " S ", "a b",   "'q'",        "\"", "x=y",
                                         "]",   "\t",  nullptr, kLong.c_str()};
    return kNames[pick % (sizeof kNames / sizeof kNames[0])];
}

#define Check(ok) ((ok) ? (void)0 : abort())

// A list ends with an item's NUL and its own, or is cut with two NULs at size - 2.
void CheckList(const char* buf, DWORD size, DWORD n)
{
    Check(size >= 2 ? n < size && buf[n] == '\0' : n == 0);
    Check(n == 0 || buf[n - 1] == '\0' || (n == size - 2 && buf[n + 1] == '\0'));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    int fd = mkstemp(f);
    if (fd < 0 || close(fd) != 0)
        abort();
    return atexit([] { unlink(f); });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t ops = size > 0 ? data[0] % 16 : 0, header = 1 + ops * 5;
    if (size < header)
        return 0;
    std::ofstream(f, std::ios::binary)
        .write(reinterpret_cast<const char*>(data + header), size - header);
    for (const uint8_t* op = data + 1; op < data + header; op += 5) {
        DWORD cap = static_cast<DWORD>(op[1] | ((op[2] & 0x3) << 8));
        const char *section = Name(op[3]), *key = Name(op[4]), *value = Name(op[3] ^ op[4]);
        std::unique_ptr<char[]> buf(cap > 0 ? new char[cap] : nullptr);
        bool named = section != nullptr && key != nullptr;
        switch (op[0] % 6) {
            case 0: {
                DWORD n = GetPrivateProfileString(section, key, value, buf.get(), cap, f);
                Check(!named || cap == 0 || (n < cap && strlen(buf.get()) == n));
                break;
            }
            case 1:
                if (section != nullptr)
                    CheckList(buf.get(), cap, GetPrivateProfileSection(section, buf.get(), cap, f));
                break;
            case 2:
                CheckList(buf.get(), cap, GetPrivateProfileSectionNames(buf.get(), cap, f));
                break;
            case 3:
                GetPrivateProfileInt(section, key, 7, f);
                break;
            default:
                // Any named key in any named section can always be written.
                Check(WritePrivateProfileString(section, key, value, f) == TRUE || !named);
        }
    }
    return 0;
}
