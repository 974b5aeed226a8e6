// Stops a fuzz run, which the fuzzer reports as a crash, when an expectation fails.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// The sanitizers' report channel: it stays open when the fuzzer is told to
// close standard error (-close_fd_mask=2), where the code under test is noisy.
extern "C" void __sanitizer_report_error_summary(const char* summary) __attribute__((weak));

inline void require(bool ok, const char* expectation) {
    if (ok)
        return;
    const std::string summary = std::string("fuzz check failed: ") + expectation;
    if (__sanitizer_report_error_summary != nullptr) {
        __sanitizer_report_error_summary(summary.c_str());
    } else {
        std::fprintf(stderr, "%s\n", summary.c_str());
    }
    std::abort();
}
