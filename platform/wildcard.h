// The wildcard matcher behind FindFirstFile and WildcardMatch: a pattern is
// compiled once into a small state graph, then any number of names are run
// through it as a non-deterministic automaton.
//
// Calling order: construct, Compile(pattern); when that returns true, call
// Match(name) as often as needed. The matcher owns a copy of the pattern, the
// graph and the work queue; all are released with the object. Compile fails
// (false) when the pattern needs more states than the graph holds or when
// memory runs out; Match never fails other than by its result.
//
// This header is internal to the platform layer (and its tests and fuzzer);
// the rest of the system goes through find.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

enum class WildcardResult {
    kMatch,
    kNoMatch,
    // The work queue filled up; the name counts as not matching. Only
    // patterns with many wildcards against long names get here.
    kQueueFull,
};

class WildcardMatcher {
public:
    static constexpr size_t kMaxStates = 8192;
    static constexpr size_t kQueueSlots = 8202;

    WildcardMatcher();
    ~WildcardMatcher();
    WildcardMatcher(const WildcardMatcher&) = delete;
    WildcardMatcher& operator=(const WildcardMatcher&) = delete;

    bool Compile(const char* pattern);
    WildcardResult Match(const char* name);

private:
    struct State;

    std::unique_ptr<char[]> m_pattern;
    std::unique_ptr<State[]> m_states;
    std::unique_ptr<int32_t[]> m_queue;
    size_t m_used = 0;
};
