// __stackavail: what it reports is really there to use, on the main thread,
// on threads with stacks of known size and on a signal stack, and the C
// library's formatter still fits below it; under small stack limits it
// shrinks with the limit; on a stack of unknown bounds it claims nothing.
#include <sys/neutrino.h>

#include "child_output.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <ucontext.h>
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

// The top of the main stack's mapping, from the kernel's own account.
std::uintptr_t main_stack_top() {
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    const std::string maps = fd >= 0 ? read_all(fd) : "";
    close(fd);
    const std::size_t mark = maps.find("[stack]");
    if (mark == std::string::npos)
        return 0;
    const std::size_t line = maps.rfind('\n', mark);
    const std::size_t dash = maps.find('-', line == std::string::npos ? 0 : line);
    return std::strtoull(maps.c_str() + dash + 1, nullptr, 16);
}

struct Answer {
    long bytes;         // what __stackavail reported; -1: no re-run here, -2: the run failed
    long below_top = 0; // how far below the main stack's top it was asked
};

// The answer, and where the frame that asked for it lies.
__attribute__((noinline)) std::size_t answer_at(std::uintptr_t* at) {
    volatile char here = 0;
    *at = reinterpret_cast<std::uintptr_t>(&here);
    return __stackavail();
}

// A process of its own under a given stack limit: the answer at its start
// (from a static initialiser, before the test framework takes any stack),
// then, with "fill", all of it used up. Its standard output carries both
// numbers of the answer.
const bool limit_probe_ran = [] {
    const char* probe = std::getenv("STACKAVAIL_PROBE");
    if (probe == nullptr)
        return false;
    std::uintptr_t at = 0;
    const std::size_t bytes = answer_at(&at);
    // Only where the answer leaves room to read the mapping's top.
    const Answer answer{static_cast<long>(bytes),
                        bytes > 0 ? static_cast<long>(main_stack_top() - at) : 0};
    if (std::strcmp(probe, "fill") == 0)
        fill_reported(0);
    std::printf("%ld %ld\n", answer.bytes, answer.below_top);
    std::fflush(stdout);
    _exit(0);
}();

// What __stackavail answers at the start of this program run afresh with the
// given stack limit and no address randomisation, with the reported stack
// used up or not, and with an environment of so many bytes more.
Answer answer_under_limit(rlim_t limit, bool fill = true, std::size_t environment = 0) {
    ChildOutput child = run_child([limit, fill, environment](int out) {
        dup2(out, STDOUT_FILENO);
        rlimit wanted{limit, limit};
        if (setrlimit(RLIMIT_STACK, &wanted) != 0)
            _exit(127);
        personality(ADDR_NO_RANDOMIZE);
        char name[] = "stackavail_probe";
        char fill_probe[] = "STACKAVAIL_PROBE=fill";
        char report_probe[] = "STACKAVAIL_PROBE=report";
        std::string padding = "PADDING=" + std::string(environment, 'p');
        char* argv[] = {name, nullptr};
        char* envp[] = {fill ? fill_probe : report_probe, padding.data(), nullptr};
        execve("/proc/self/exe", argv, envp);
        _exit(127);
    });
    if (WIFEXITED(child.status) && WEXITSTATUS(child.status) == 127)
        return {-1};
    Answer answer{-2};
    if (WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0 &&
        std::sscanf(child.text.c_str(), "%ld %ld", &answer.bytes, &answer.below_top) != 2)
        answer.bytes = -2;
    return answer;
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

// All but its top (the thread's control block and static TLS) and the
// reserve: a thread stack is never taken for the main stack, which lies
// above every one, and never loses the main stack's guard gap (1 MiB).
TEST(StackAvail, each_thread_reports_most_of_its_own_stack) {
    for (std::size_t size : {256 * 1024, 1024 * 1024, 4 * 1024 * 1024}) {
        std::size_t avail = on_thread(size);
        EXPECT_GT(avail, size - 64 * 1024) << size;
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
    const long at_largest = answer_under_limit(largest).bytes;
    if (at_largest == -1)
        GTEST_SKIP() << "this program cannot be run again here (an emulator without binfmt)";
    ASSERT_GT(at_largest, 0);
    // Above the answer: the arguments, the environment, the loader's frames and the reserve.
    const long above = static_cast<long>(largest) - at_largest;
    EXPECT_LT(above, 24 * 1024);
    for (rlim_t limit = 12 * 1024; limit < largest; limit += 1024) {
        const long page_floor = static_cast<long>(limit / page * page);
        const long expected = page_floor > above ? page_floor - above : 0;
        EXPECT_EQ(answer_under_limit(limit).bytes, expected) << "limit " << limit;
    }
    // The main stack ends where the limit, counted from the mapping's top,
    // runs out, and the 8 KiB reserve stays below the answer, also when an
    // environment of 4 KB puts the start more than a page below the top.
    for (rlim_t limit : {32 * 1024, 64 * 1024, 96 * 1024}) {
        const Answer answer = answer_under_limit(limit, true, 4000);
        ASSERT_GT(answer.bytes, 0) << "limit " << limit;
        const long page_floor = static_cast<long>(limit / page * page);
        EXPECT_GE(page_floor - answer.below_top - answer.bytes, 8 * 1024) << "limit " << limit;
    }
}

// An unlimited main stack reaches down to the next mapping, terabytes away
// that nothing backs: no more than 1 GiB of it is claimed.
TEST(StackAvail, unlimited_main_stack_claims_at_most_a_trusted_limit) {
    const long answer = answer_under_limit(RLIM_INFINITY, false).bytes;
    if (answer == -1)
        GTEST_SKIP() << "no unlimited stack, or no re-run of this program here";
    EXPECT_LE(answer, 1L << 30);
    EXPECT_GT(answer, (1L << 30) - 1024 * 1024);
}

// Raised, so the handler may format and log; the signal stack has an
// inaccessible page below it, so an overstatement crashes.
constexpr std::size_t SIGNAL_STACK_SIZE = 64 * 1024;
std::size_t on_signal_stack = 0;
std::size_t kept_below_answer = 0;

TEST(StackAvail, signal_stack_is_measured_against_its_own_bounds) {
    const long page = sysconf(_SC_PAGESIZE);
    void* mapping = mmap(nullptr, SIGNAL_STACK_SIZE + page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    mprotect(mapping, page, PROT_NONE);
    stack_t signal_stack{};
    signal_stack.ss_sp = static_cast<char*>(mapping) + page;
    signal_stack.ss_size = SIGNAL_STACK_SIZE;
    stack_t old_stack{};
    ASSERT_EQ(sigaltstack(&signal_stack, &old_stack), 0);
    struct sigaction action {};
    struct sigaction old_action {};
    action.sa_handler = [](int) {
        on_signal_stack = fill_reported(16 * 1024);
        stack_t in_use{};
        sigaltstack(nullptr, &in_use);
        std::uintptr_t at = 0;
        const std::size_t answer = answer_at(&at);
        kept_below_answer = at - reinterpret_cast<std::uintptr_t>(in_use.ss_sp) - answer;
    };
    action.sa_flags = SA_ONSTACK;
    sigaction(SIGUSR1, &action, &old_action);
    raise(SIGUSR1);
    sigaction(SIGUSR1, &old_action, nullptr);
    sigaltstack(&old_stack, nullptr);
    munmap(mapping, SIGNAL_STACK_SIZE + page);
    EXPECT_GT(on_signal_stack, SIGNAL_STACK_SIZE / 2);
    EXPECT_LT(on_signal_stack, SIGNAL_STACK_SIZE);
    // What the C library's calls below the caller take, as on any stack.
    EXPECT_GE(kept_below_answer, 8U * 1024);
}

// A fiber's stack is neither the thread's nor its signal stack, installed
// but not in use, and nothing tells where it ends.
TEST(StackAvail, stack_of_unknown_bounds_claims_nothing) {
    static ucontext_t caller;
    static ucontext_t fiber;
    static std::size_t in_fiber = 1;
    std::vector<char> fiber_stack(256 * 1024);
    std::vector<char> signal_stack_memory(SIGNAL_STACK_SIZE);
    stack_t signal_stack{};
    signal_stack.ss_sp = signal_stack_memory.data();
    signal_stack.ss_size = signal_stack_memory.size();
    stack_t old_stack{};
    ASSERT_EQ(sigaltstack(&signal_stack, &old_stack), 0);
    ASSERT_EQ(getcontext(&fiber), 0);
    fiber.uc_stack.ss_sp = fiber_stack.data();
    fiber.uc_stack.ss_size = fiber_stack.size();
    fiber.uc_link = &caller;
    makecontext(
        &fiber, [] { in_fiber = __stackavail(); }, 0);
    ASSERT_EQ(swapcontext(&caller, &fiber), 0);
    sigaltstack(&old_stack, nullptr);
    EXPECT_EQ(in_fiber, 0U);
}

} // namespace
