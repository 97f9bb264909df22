// Feeds arbitrary patterns and names to the wildcard matcher and checks its
// answer against a plain recursive matcher whenever the work queue did not
// run out. Input: pattern, a NUL byte, name (anything after a second NUL is
// ignored).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/find.h"
#include "platform/wildcard.h"

namespace {

// "*" any run, "?" one character or none, anything else itself; memoised so
// long inputs stay cheap. -1 unknown, 0 no, 1 yes.
class Reference {
public:
    Reference(const std::string& pattern, const std::string& name)
        : m_pattern(pattern), m_name(name), m_memo((pattern.size() + 1) * (name.size() + 1), -1)
    {
    }

    bool Match(size_t i = 0, size_t j = 0)
    {
        int8_t& memo = m_memo[i * (m_name.size() + 1) + j];
        if (memo < 0)
            memo = Compute(i, j) ? 1 : 0;
        return memo == 1;
    }

private:
    bool Compute(size_t i, size_t j)
    {
        bool more = j < m_name.size();
        if (i == m_pattern.size())
            return !more;
        char c = m_pattern[i];
        if (c == '*')
            return Match(i + 1, j) || (more && Match(i, j + 1));
        if (c == '?')
            return Match(i + 1, j) || (more && Match(i + 1, j + 1));
        return more && m_name[j] == c && Match(i + 1, j + 1);
    }

    const std::string& m_pattern;
    const std::string& m_name;
    std::vector<int8_t> m_memo;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find('\0');
    if (split == std::string::npos)
        return 0;
    std::string pattern = input.substr(0, split);
    std::string name = input.substr(split + 1);
    name = name.substr(0, name.find('\0'));

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
    if (Reference(pattern, name).Match() != plain)
        abort();
    return 0;
}
