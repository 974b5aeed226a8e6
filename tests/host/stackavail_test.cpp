// __stackavail: what it reports is really there to use, on the main thread
// and on threads with stacks of known size.
#include <sys/neutrino.h>

#include <gtest/gtest.h>

#include <cstring>
#include <pthread.h>

namespace {

constexpr std::size_t thread_stack = 256 * 1024;

// Uses all but `margin` of what is reported; a fault here is an overstatement.
__attribute__((noinline)) std::size_t fill_reported(std::size_t margin) {
    std::size_t avail = __stackavail();
    if (avail <= margin)
        return avail;
    volatile char* block = static_cast<volatile char*>(__builtin_alloca(avail - margin));
    for (std::size_t i = 0; i < avail - margin; i += 512)
        block[i] = 1;
    block[0] = 2;
    return avail;
}

__attribute__((noinline)) std::size_t deeper(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    std::size_t avail = depth == 0 ? __stackavail() : deeper(depth - 1);
    return avail + frame[0] * 0;
}

struct ThreadReport {
    std::size_t first;
    std::size_t deeper;
    std::size_t filled;
};

void* report(void* arg) {
    auto* out = static_cast<ThreadReport*>(arg);
    out->first = __stackavail();
    out->deeper = deeper(16);
    // Sanitizers put large frames around calls; keep them a generous margin.
    out->filled = fill_reported(16 * 1024);
    return nullptr;
}

ThreadReport run_thread(std::size_t stack_size) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_size);
    ThreadReport out{};
    pthread_t thread;
    EXPECT_EQ(pthread_create(&thread, &attr, report, &out), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return out;
}

TEST(StackAvail, thread_reports_within_its_stack_and_shrinks_with_depth) {
    ThreadReport r = run_thread(thread_stack);
    EXPECT_GT(r.first, thread_stack / 2);
    EXPECT_LT(r.first, thread_stack);
    EXPECT_LT(r.deeper, r.first - 16 * 1024);
    EXPECT_GT(r.filled, 0U);
}

TEST(StackAvail, each_thread_learns_its_own_stack) {
    ThreadReport small = run_thread(thread_stack);
    ThreadReport large = run_thread(4 * thread_stack);
    EXPECT_LT(small.first, thread_stack);
    EXPECT_GT(large.first, 2 * thread_stack);
    EXPECT_LT(large.first, 4 * thread_stack);
}

TEST(StackAvail, main_thread_reports_usable_stack) {
    std::size_t first = __stackavail();
    EXPECT_GT(first, 64U * 1024);
    EXPECT_LT(deeper(16), first - 16 * 1024);
    EXPECT_GT(fill_reported(64 * 1024), 0U);
}

} // namespace
