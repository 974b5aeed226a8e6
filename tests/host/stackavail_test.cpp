// __stackavail: what it reports is really there to use, on the main thread
// and on threads with stacks of known size.
#include <sys/neutrino.h>

#include <gtest/gtest.h>

#include <pthread.h>

namespace {

// Uses all but `margin` of what is reported; a fault here is an overstatement.
__attribute__((noinline)) std::size_t fill_reported(std::size_t margin) {
    std::size_t avail = __stackavail();
    if (avail <= margin)
        return 0;
    volatile char* block = static_cast<volatile char*>(__builtin_alloca(avail - margin));
    for (std::size_t i = 0; i < avail - margin; i += 512)
        block[i] = 1;
    return avail;
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

} // namespace
