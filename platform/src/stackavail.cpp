// __stackavail on Linux: the distance from the stack pointer to the lowest
// usable byte of the calling thread's stack.
#include <sys/neutrino.h>

#include <pthread.h>
#include <stdint.h>
#include <sys/resource.h>

// The C library's record of the stack pointer at process start.
extern "C" void* __libc_stack_end;

namespace {

constexpr uintptr_t page_size = 4096;
// The kernel keeps this gap between a growing main stack and the mapping
// below it (its default stack_guard_gap); glibc does not subtract it.
constexpr uintptr_t main_stack_guard_gap = 256 * page_size;
// Above the arguments and environment (at most a quarter of the limit) the
// kernel also puts up to 8 KiB of random offset, the auxiliary vector and a
// few strings: room kept back so that the estimate never exceeds the truth.
constexpr uintptr_t above_arguments = 4 * page_size;
// Beyond this the main stack's limit says nothing about its real room.
constexpr rlim_t largest_trusted_limit = rlim_t{1} << 30;

// Bounds of this thread's usable stack, learnt on its first query.
thread_local uintptr_t stack_low = 0;
thread_local uintptr_t stack_high = 0;

// The main stack grows on demand up to its limit, counted from above the
// arguments and environment, which take at most a quarter of it. Taking the
// limit from there costs one system call; asking the C library would parse
// /proc/self/maps, too slow for a program on the boot path.
bool learn_main_stack_bounds(uintptr_t sp) {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > largest_trusted_limit)
        return false;
    const uintptr_t top = reinterpret_cast<uintptr_t>(__libc_stack_end);
    const uintptr_t usable = limit.rlim_cur - limit.rlim_cur / 4 - above_arguments;
    // Any other thread's stack lies outside the main stack's reach.
    if (sp > top || top - sp >= usable)
        return false;
    stack_high = top;
    stack_low = top - usable;
    return true;
}

// The main stack's limit, or a mapping below it less the kernel's gap, bounds
// it. glibc reports the limit less the arguments and environment above the
// stack; a smaller size means a mapping set the bound, and the gap comes off.
uintptr_t main_stack_low(uintptr_t low, size_t size) {
    rlimit limit{};
    bool limit_bound = getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                       size >= limit.rlim_cur - limit.rlim_cur / 4 - above_arguments;
    if (limit_bound || size <= main_stack_guard_gap)
        return low;
    return low + main_stack_guard_gap;
}

void learn_stack_bounds(uintptr_t sp) {
    if (learn_main_stack_bounds(sp))
        return;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* addr = nullptr;
    size_t size = 0;
    // glibc reports the usable stack: the guard area is not part of it.
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr) {
        const uintptr_t low = reinterpret_cast<uintptr_t>(addr);
        const uintptr_t start_sp = reinterpret_cast<uintptr_t>(__libc_stack_end);
        const bool on_main_stack = low <= start_sp && start_sp - low < size;
        stack_high = low + size;
        stack_low = on_main_stack ? main_stack_low(low, size) : low;
        // An unlimited main stack reaches down to the next mapping, terabytes
        // away that no memory backs: claim no more than a trusted limit.
        if (stack_high - stack_low > largest_trusted_limit)
            stack_low = stack_high - largest_trusted_limit;
    }
    pthread_attr_destroy(&attr);
}

// Free stack below the caller of the query; sp is this frame's address.
size_t stack_free_below(uintptr_t sp) {
    // Unknown bounds, or running on another stack (a signal stack): claim nothing.
    if (sp <= stack_low || sp > stack_high)
        return 0;
    return sp - stack_low;
}

// A thread's first query learns its bounds. Out of line, so that every later
// query is a leaf of a few loads and compares.
__attribute__((noinline, cold)) size_t first_query() {
    const uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    learn_stack_bounds(sp);
    return stack_free_below(sp);
}

} // namespace

extern "C" size_t __stackavail(void) {
    if (stack_high == 0)
        return first_query();
    // This function's own frame lies below its caller's stack pointer, so the
    // answer never exceeds what the caller really has.
    return stack_free_below(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
}
