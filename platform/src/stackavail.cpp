// __stackavail on Linux: the distance from the stack pointer to the lowest
// usable byte of the calling thread's stack.
#include <sys/neutrino.h>

#include <pthread.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The kernel keeps this gap between a growing main stack and the mapping
// below it (its default stack_guard_gap); glibc does not subtract it.
constexpr uintptr_t main_stack_guard_gap = 256u * 4096u;

// Bounds of this thread's usable stack, learnt on its first query.
thread_local uintptr_t stack_low = 0;
thread_local uintptr_t stack_high = 0;

bool is_main_thread() {
    return syscall(SYS_gettid) == getpid();
}

// The main stack grows on demand up to its limit, or up to the mapping below
// it less the kernel's gap. glibc reports the limit less the arguments and
// environment above the stack (at most a quarter of the limit); a smaller
// size means a mapping set the bound, and then the gap must come off.
uintptr_t main_stack_low(uintptr_t low, size_t size) {
    rlimit limit{};
    bool limit_bound = getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                       size >= limit.rlim_cur - limit.rlim_cur / 4 - 2 * 4096u;
    if (limit_bound || size <= main_stack_guard_gap)
        return low;
    return low + main_stack_guard_gap;
}

// Out of line so that the query itself stays a leaf: after the first call it
// costs a few loads and compares.
__attribute__((noinline, cold)) void learn_stack_bounds() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* addr = nullptr;
    size_t size = 0;
    // glibc reports the usable stack: the guard area is not part of it.
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr) {
        uintptr_t low = reinterpret_cast<uintptr_t>(addr);
        stack_high = low + size;
        stack_low = is_main_thread() ? main_stack_low(low, size) : low;
    }
    pthread_attr_destroy(&attr);
}

} // namespace

extern "C" size_t __stackavail(void) {
    if (stack_high == 0)
        learn_stack_bounds();
    // This function's own frame lies below its caller's stack pointer, so the
    // answer never exceeds what the caller really has.
    uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    // Unknown bounds, or running on another stack (a signal stack): claim nothing.
    if (sp <= stack_low || sp > stack_high)
        return 0;
    return sp - stack_low;
}
