// Checks the wildcard matcher against a plain recursive matcher whenever its
// work queue did not run out. Input: pattern, a NUL byte, then the name.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/find.h"
#include "platform/wildcard.h"

namespace {

// "*" any run, "?" one character or none, anything else itself; memoised so
// long inputs stay cheap.
struct Reference {
    const std::string &pattern, &name;
    std::vector<int8_t> memo;  // -1 unknown, 0 no, 1 yes

    bool Match(size_t i, size_t j)
    {
        int8_t& m = memo[i * (name.size() + 1) + j];  // memo never grows, so m stays valid
        if (m >= 0)
            return m == 1;
        bool more = j < name.size();
        if (i == pattern.size())
            m = !more;
        else if (pattern[i] == '*')
            m = Match(i + 1, j) || (more && Match(i, j + 1));
        else if (pattern[i] == '?')
            m = Match(i + 1, j) || (more && Match(i + 1, j + 1));
        else
            m = more && name[j] == pattern[i] && Match(i + 1, j + 1);
        return m == 1;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find('\0');
    if (split == std::string::npos)
        return 0;
    const std::string pattern = input.substr(0, split), name = input.c_str() + split + 1;
    bool plain = WildcardMatch(pattern.c_str(), name.c_str());
    WildcardMatcher matcher;
    if (!matcher.Compile(pattern.c_str())) {
        if (plain)
            abort();
        return 0;
    }
    WildcardResult result = matcher.Match(name.c_str());
    if (plain != (result == WildcardResult::kMatch))
        abort();
    if (result == WildcardResult::kQueueFull)
        return 0;
    std::vector<int8_t> memo((pattern.size() + 1) * (name.size() + 1), -1);
    if (Reference{pattern, name, memo}.Match(0, 0) != plain)
        abort();
    return 0;
}
