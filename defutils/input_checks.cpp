#include "defutils/input_checks.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kShownBytes = 64;

bool IsControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The first byte of psz that is in pszRefused or a control character, for
// the reason text; 0 when there is none.
const char* RefusedCharacter(const char* psz, const char* pszRefused)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(psz); *p != '\0'; ++p) {
        if (IsControl(*p))
            return "it contains a control character";
        if (strchr(pszRefused, *p) != nullptr) {
            switch (*p) {
                case '[':
                    return "it contains '['";
                case ']':
                    return "it contains ']'";
                case '=':
                    return "it contains '='";
                case '/':
                    return "it contains '/'";
                default:
                    return "it contains a character that is not allowed";
            }
        }
    }
    return nullptr;
}

const char* NameProblem(const char* psz, size_t nMax, const char* pszRefused)
{
    if (psz == nullptr || *psz == '\0')
        return "it is empty";
    size_t n = strlen(psz);
    if (n > nMax)
        return "it is too long";
    if (IsBlank(psz[0]) || IsBlank(psz[n - 1]))
        return "it begins or ends with a blank";
    return RefusedCharacter(psz, pszRefused);
}

}  // namespace

const char* DuAppIdProblem(const char* pszAppId)
{
    return NameProblem(pszAppId, DU_MAX_APPID_LENGTH, "[]=");
}

const char* DuContentTypeProblem(const char* pszContentType)
{
    const char* pszWhy = NameProblem(pszContentType, DU_MAX_CONTENT_TYPE_LENGTH, "[]=/");
    if (pszWhy == nullptr &&
        (strcmp(pszContentType, ".") == 0 || strcmp(pszContentType, "..") == 0))
        return "it names no directory of its own";
    return pszWhy;
}

const char* DuShellValueProblem(const char* pszValue, bool bAllowQuotes)
{
    if (pszValue == nullptr)
        return nullptr;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszValue); *p != '\0';
         ++p) {
        bool bAllowed = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
                        (*p >= '0' && *p <= '9') || *p >= 0x80 || *p == ' ' ||
                        strchr("-_.,:+@%/=", *p) != nullptr || (bAllowQuotes && *p == '"');
        if (!bAllowed)
            return IsControl(*p) ? "it contains a control character"
                                 : "it contains a character the shell would interpret";
    }
    return nullptr;
}

std::string DuPrintableValue(const char* pszValue)
{
    if (pszValue == nullptr)
        return "<null>";
    std::string out;
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszValue); *p != '\0';
         ++p, ++n) {
        if (n == kShownBytes) {
            out += "...";
            break;
        }
        if (*p >= 0x20 && *p < 0x7f && *p != '\\') {
            out += static_cast<char>(*p);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", *p);
            out += hex;
        }
    }
    return out;
}
