#include "platform/wildcard.h"

#include <cstring>
#include <new>

#include "platform/charstep.h"
#include "platform/find.h"

namespace {

enum : uint8_t { kNone, kAny, kLiteral };

// Successor index 0 is the accept mark: state 0 is the start and nothing
// ever leads back to it, so the index is free for that use.
constexpr int32_t kAccept = 0;
constexpr int32_t kScan = -1;

// Fixed-size circular double-ended queue over caller-owned slots. States for
// the current character sit in front of the scan marker, states for the next
// character behind it.
class StateQueue {
public:
    StateQueue(int32_t* slots, size_t capacity) : m_slots(slots), m_capacity(capacity) {}

    bool Empty() const { return m_size == 0; }

    bool PushFront(int32_t value)
    {
        if (m_size == m_capacity)
            return false;
        m_head = (m_head + m_capacity - 1) % m_capacity;
        m_slots[m_head] = value;
        ++m_size;
        return true;
    }

    bool PushBack(int32_t value)
    {
        if (m_size == m_capacity)
            return false;
        m_slots[(m_head + m_size) % m_capacity] = value;
        ++m_size;
        return true;
    }

    bool PopFront(int32_t* value)
    {
        if (m_size == 0)
            return false;
        *value = m_slots[m_head];
        m_head = (m_head + 1) % m_capacity;
        --m_size;
        return true;
    }

private:
    int32_t* m_slots;
    size_t m_capacity;
    size_t m_head = 0;
    size_t m_size = 0;
};

}  // namespace

struct WildcardMatcher::State {
    uint8_t kind;
    uint8_t length;  // bytes of the literal character
    uint16_t next1;
    uint16_t next2;
    uint32_t offset;  // of the literal character in m_pattern
};

WildcardMatcher::WildcardMatcher() = default;
WildcardMatcher::~WildcardMatcher() = default;

bool WildcardMatcher::Compile(const char* pattern)
{
    m_used = 0;
    if (pattern == nullptr)
        return false;
    size_t patternLength = strlen(pattern);
    // Literal offsets are 32-bit; a pattern anywhere near that long could not
    // fit the graph anyway.
    if (patternLength > UINT32_MAX)
        return false;
    m_pattern.reset(new (std::nothrow) char[patternLength + 1]);
    if (!m_states)
        m_states.reset(new (std::nothrow) State[kMaxStates]);
    if (!m_queue)
        m_queue.reset(new (std::nothrow) int32_t[kQueueSlots]);
    if (!m_pattern || !m_states || !m_queue)
        return false;
    memcpy(m_pattern.get(), pattern, patternLength + 1);

    State* st = m_states.get();
    st[0] = State{kNone, 0, 1, 1, 0};
    st[1] = State{kNone, 0, kAccept, kAccept, 0};
    size_t used = 2;
    uint16_t tail = 1;

    const char* base = m_pattern.get();
    for (const char* p = base; *p != '\0'; p = NextChar(p)) {
        uint16_t x = static_cast<uint16_t>(used);
        uint16_t t = static_cast<uint16_t>(used + 1);
        if (*p == '*') {
            if (used + 4 > kMaxStates)
                return false;
            uint16_t n1 = static_cast<uint16_t>(used + 2);
            uint16_t n2 = static_cast<uint16_t>(used + 3);
            st[x] = State{kAny, 0, t, t, 0};
            st[t] = State{kNone, 0, n1, n2, 0};
            st[n1] = State{kNone, 0, x, x, 0};
            st[n2] = State{kNone, 0, kAccept, kAccept, 0};
            st[tail].next1 = st[tail].next2 = t;
            tail = n2;
            used += 4;
            continue;
        }
        if (used > kMaxStates - 2)
            return false;
        if (*p == '?') {
            st[x] = State{kAny, 0, t, t, 0};
        } else {
            st[x] = State{kLiteral, static_cast<uint8_t>(CharLen(p)), t, t,
                          static_cast<uint32_t>(p - base)};
        }
        st[t] = State{kNone, 0, kAccept, kAccept, 0};
        st[tail].next1 = x;
        // The skip edge is what lets `?` match no character at all.
        st[tail].next2 = (*p == '?') ? t : x;
        tail = t;
        used += 2;
    }
    m_used = used;
    return true;
}

WildcardResult WildcardMatcher::Match(const char* name)
{
    if (m_used == 0 || name == nullptr)
        return WildcardResult::kNoMatch;
    const State* st = m_states.get();
    const char* pattern = m_pattern.get();
    StateQueue queue(m_queue.get(), kQueueSlots);

    // States are not de-duplicated, so patterns with many wildcards multiply
    // entries with every character; the fixed queue bounds both memory and
    // time, and running out of it means no match.
    if (!queue.PushBack(kScan))
        return WildcardResult::kQueueFull;
    const char* pos = name;
    int32_t current = st[0].next1;
    for (;;) {
        if (current == kAccept) {
            if (*pos == '\0')
                return WildcardResult::kMatch;
        } else if (current == kScan) {
            if (queue.Empty() || *pos == '\0')
                return WildcardResult::kNoMatch;
            pos = NextChar(pos);
            if (!queue.PushBack(kScan))
                return WildcardResult::kQueueFull;
        } else {
            const State& s = st[current];
            if (s.kind == kNone) {
                if (!queue.PushFront(s.next1))
                    return WildcardResult::kQueueFull;
                if (s.next2 != s.next1 && !queue.PushFront(s.next2))
                    return WildcardResult::kQueueFull;
            } else if (s.kind == kAny) {
                if (!queue.PushBack(s.next1))
                    return WildcardResult::kQueueFull;
            } else {
                size_t length = CharLen(pos);
                if (length < 1)
                    length = 1;  // the terminator compares as one byte and never matches
                if (length == s.length && memcmp(pos, pattern + s.offset, length) == 0 &&
                    !queue.PushBack(s.next1))
                    return WildcardResult::kQueueFull;
            }
        }
        if (!queue.PopFront(&current))
            return WildcardResult::kNoMatch;
    }
}

bool WildcardMatch(const char* pattern, const char* name)
{
    WildcardMatcher matcher;
    return matcher.Compile(pattern) && matcher.Match(name) == WildcardResult::kMatch;
}
