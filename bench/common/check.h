#pragma once

#include <cstdio>

// The bench self-tests' one assertion: a failed check prints its line and is counted, and
// checksPassed() turns the count into the exit status.
namespace bench {

inline int checkFailures = 0;

inline void check(bool condition, const char* what, int line) {
    if (!condition) {
        std::printf("FAIL line %d: %s\n", line, what);
        ++checkFailures;
    }
}

inline int checksPassed(const char* which) {
    std::printf("%s (%d failures)\n", checkFailures == 0 ? which : "FAILED", checkFailures);
    return checkFailures == 0 ? 0 : 1;
}

} // namespace bench

#define CHECK(condition) bench::check((condition), #condition, __LINE__)
