// Stops a fuzz run, which the fuzzer reports as a crash, when an expectation fails.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void require(bool ok, const char* expectation) {
    if (!ok) {
        std::fprintf(stderr, "fuzz check failed: %s\n", expectation);
        std::abort();
    }
}
