// __stackavail: what it reports is really there to use, on the main thread
// and on threads with stacks of known size, and the C library's formatter
// still fits below it; under small stack limits it shrinks with the limit.
#include <sys/neutrino.h>

#include "child_output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Uses all but `margin` of what is reported, then formats below that with
// the conversions the logging client is given; a fault here is an
// overstatement.
__attribute__((noinline)) std::size_t fill_reported(std::size_t margin) {
    std::size_t avail = __stackavail();
    if (avail <= margin)
        return avail;
    volatile char* block = static_cast<volatile char*>(__builtin_alloca(avail - margin));
    for (std::size_t i = 0; i < avail - margin; i += 512)
        block[i] = 1;
    char text[128];
    std::snprintf(text, sizeof text, "%s %d %u %X %08X %p %f", "x", -1, 2U, 3U, 4U,
                  static_cast<void*>(text), 1e308);
    block[0] = text[0];
    return avail;
}

// A process of its own under a small stack limit: the answer at its start
// (from a static initialiser, before the test framework takes any stack),
// used up entirely. Its standard output carries the number.
const bool small_limit_probe_ran = [] {
    if (std::getenv("STACKAVAIL_PROBE") == nullptr)
        return false;
    std::printf("%zu\n", fill_reported(0));
    std::fflush(stdout);
    _exit(0);
}();

// What __stackavail answers at the start of this program run afresh with the
// given stack limit and no address randomisation, or -1 (no re-run here) or
// -2 (the run crashed).
long answer_under_limit(rlim_t limit) {
    ChildOutput child = run_child([limit](int out) {
        dup2(out, STDOUT_FILENO);
        rlimit small{limit, limit};
        setrlimit(RLIMIT_STACK, &small);
        personality(ADDR_NO_RANDOMIZE);
        char name[] = "stackavail_probe";
        char probe[] = "STACKAVAIL_PROBE=1";
        char* argv[] = {name, nullptr};
        char* envp[] = {probe, nullptr};
        execve("/proc/self/exe", argv, envp);
        _exit(127);
    });
    if (WIFEXITED(child.status) && WEXITSTATUS(child.status) == 127)
        return -1;
    if (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0 || child.text.empty())
        return -2;
    return std::strtol(child.text.c_str(), nullptr, 10);
}

void* report(void* out) {
    // Sanitizers put large frames around calls; keep them a generous margin.
    *static_cast<std::size_t*>(out) = fill_reported(16 * 1024);
    return nullptr;
}

std::size_t on_thread(std::size_t stack_size) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_size);
    std::size_t avail = 0;
    pthread_t thread;
    EXPECT_EQ(pthread_create(&thread, &attr, report, &avail), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return avail;
}

TEST(StackAvail, each_thread_reports_most_of_its_own_stack) {
    for (std::size_t size : {256 * 1024, 1024 * 1024}) {
        std::size_t avail = on_thread(size);
        EXPECT_GT(avail, size / 2) << size;
        EXPECT_LT(avail, size) << size;
    }
}

TEST(StackAvail, main_thread_reports_usable_stack) {
    EXPECT_GT(fill_reported(64 * 1024), 64U * 1024);
}

TEST(StackAvail, small_main_stack_limits_shrink_the_answer_page_by_page) {
    // The main stack grows a page at a time up to the limit: with the layout
    // fixed, each page less of limit is a page less of answer, down to zero,
    // never a wrap to a huge answer and never a cliff.
    constexpr rlim_t page = 4096;
    const rlim_t largest = 96 * 1024;
    const long at_largest = answer_under_limit(largest);
    if (at_largest == -1)
        GTEST_SKIP() << "this program cannot be run again here (an emulator without binfmt)";
    ASSERT_GT(at_largest, 0);
    // Above the answer: the arguments, the environment, the loader's frames and the reserve.
    const long above = static_cast<long>(largest) - at_largest;
    EXPECT_LT(above, 24 * 1024);
    for (rlim_t limit = 12 * 1024; limit < largest; limit += 1024) {
        const long page_floor = static_cast<long>(limit / page * page);
        const long expected = page_floor > above ? page_floor - above : 0;
        EXPECT_EQ(answer_under_limit(limit), expected) << "limit " << limit;
    }
}

} // namespace
