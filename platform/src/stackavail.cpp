// __stackavail on Linux: the distance from the stack pointer to the lowest
// usable byte of the calling thread's stack, less what the C library's own
// calls below the caller may still take.
#include <sys/neutrino.h>

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/resource.h>

// The C library's record of the stack pointer at process start.
extern "C" void* __libc_stack_end;

namespace {

constexpr uintptr_t PAGE_BYTES = 4096;
// Kept back from every answer: the stack that glibc's vsnprintf, the send
// path and, in a dynamically linked program, the first lazily bound call of
// a C library function take below a caller that checked this answer. A
// caller that refuses unless its own need fits in what is reported then never
// overruns. Measured by painting a thread's stack and reading its high-water
// mark: about 2.2 KB for %s, %d, %u, %X, %08X and %p on x86-64 (1.7 KB on
// armhf), 4.6 KB for %f of the largest double, 2.7 KB more on a first call
// that is bound lazily.
constexpr uintptr_t LIBRARY_RESERVE = 8 * 1024;
// The kernel keeps this gap between a growing main stack and the mapping
// below it (its default stack_guard_gap); glibc does not subtract it.
constexpr uintptr_t MAIN_STACK_GUARD_GAP = 256 * PAGE_BYTES;
// Without the program's file name from the auxiliary vector, the main stack
// is counted from the stack pointer at start, with room kept back for what
// the kernel put above it: the arguments and environment (at most a quarter
// of the limit), up to 8 KiB of random offset, the auxiliary vector and a
// few strings.
constexpr uintptr_t ABOVE_ARGUMENTS = 4 * PAGE_BYTES;
// Beyond this the main stack's limit says nothing about its real room.
constexpr rlim_t LARGEST_TRUSTED_LIMIT = rlim_t{1} << 30;

// Bounds of this thread's usable stack, learnt on its first query, with the
// library's reserve already taken off the low end; 0 and 0 when they cannot
// be learnt, which claims nothing. Until then both lie at the top of the
// address space, where no stack pointer is: a thread's first query misses
// them and learns them. One block in the initial-exec model: a query is a
// few instructions in a shared object as well (one that is loaded later
// takes its 16 bytes from the C library's reserve for such blocks).
struct stack_bounds {
    uintptr_t low;
    uintptr_t high;
};
constexpr stack_bounds UNLEARNT{UINTPTR_MAX, UINTPTR_MAX};
__attribute__((tls_model("initial-exec"))) thread_local stack_bounds bounds = UNLEARNT;

// The main stack's reach below the stack pointer at start when only the limit
// is known: what is left of it after the most the kernel may put above.
uintptr_t reach_below_start(rlim_t limit) {
    const rlim_t above = limit / 4 + ABOVE_ARGUMENTS;
    return limit > above ? static_cast<uintptr_t>(limit - above) : 0;
}

// The top of the main stack's mapping, or 0 when unknown. The kernel copies
// the program's file name first, just below the top, so its end gives the top.
uintptr_t main_stack_top() {
    // The auxiliary vector holds the name's address as a number.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (name == nullptr) {
        return 0;
    }
    const uintptr_t name_end = reinterpret_cast<uintptr_t>(name) + strlen(name) + 1;
    return (name_end + PAGE_BYTES - 1) & ~(PAGE_BYTES - 1);
}

// The main stack grows on demand until the whole mapping, counted from its
// top, reaches the limit, one page at a time. Taking the limit from there
// costs one system call; asking the C library would parse /proc/self/maps,
// too slow for a program on the boot path (and its answer wraps for limits
// smaller than the arguments and environment).
bool learn_main_stack_bounds(uintptr_t sp) {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > LARGEST_TRUSTED_LIMIT) {
        return false;
    }
    uintptr_t top = main_stack_top();
    uintptr_t reach = limit.rlim_cur & ~(PAGE_BYTES - 1);
    if (top == 0) {
        top = reinterpret_cast<uintptr_t>(__libc_stack_end);
        reach = reach_below_start(limit.rlim_cur);
    }
    // Any other thread's stack lies outside the main stack's reach.
    if (sp > top || top - sp >= reach) {
        return false;
    }
    bounds = {top - reach, top};
    return true;
}

// An unlimited or very large main stack's limit, or a mapping below it less
// the kernel's gap, bounds it. glibc reports the limit less the arguments and
// environment above the stack; a smaller size means a mapping set the bound,
// and the gap comes off.
uintptr_t main_stack_low(uintptr_t low, size_t size) {
    rlimit limit{};
    bool limit_bound = getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                       size >= reach_below_start(limit.rlim_cur);
    if (limit_bound || size <= MAIN_STACK_GUARD_GAP) {
        return low;
    }
    return low + MAIN_STACK_GUARD_GAP;
}

void learn_thread_stack_bounds() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return;
    }
    void* addr = nullptr;
    size_t size = 0;
    // glibc reports the usable stack: the guard area is not part of it.
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr) {
        const uintptr_t low = reinterpret_cast<uintptr_t>(addr);
        const uintptr_t start_sp = reinterpret_cast<uintptr_t>(__libc_stack_end);
        const bool on_main_stack = low <= start_sp && start_sp - low < size;
        bounds = {on_main_stack ? main_stack_low(low, size) : low, low + size};
        // An unlimited main stack reaches down to the next mapping, terabytes
        // away that no memory backs: claim no more than a trusted limit.
        if (bounds.high - bounds.low > LARGEST_TRUSTED_LIMIT) {
            bounds.low = bounds.high - LARGEST_TRUSTED_LIMIT;
        }
    }
    pthread_attr_destroy(&attr);
}

// On the thread's signal stack, as the kernel says it is, the room down to
// its low end less the reserve; on any other stack (a makecontext fiber,
// whose bounds nothing tells) nothing. A system call each time: a signal
// stack may be replaced or freed between two handlers.
size_t signal_stack_room(uintptr_t sp) {
    stack_t signal_stack{};
    if (sigaltstack(nullptr, &signal_stack) != 0 || (signal_stack.ss_flags & SS_ONSTACK) == 0) {
        return 0;
    }
    const uintptr_t low = reinterpret_cast<uintptr_t>(signal_stack.ss_sp);
    const uintptr_t high = low + signal_stack.ss_size;
    if (sp <= low + LIBRARY_RESERVE || sp > high) {
        return 0;
    }
    return sp - (low + LIBRARY_RESERVE);
}

// A query outside the bounds: the thread's first, which learns them, one on
// a signal stack, or one with no more than the reserve left or with unknown
// bounds, which claims nothing. Out of line, so that every other query is a
// leaf of a few loads and compares.
__attribute__((noinline, cold)) size_t query_outside_bounds() {
    const uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_dwarf_cfa());
    if (bounds.low != UNLEARNT.low || bounds.high != UNLEARNT.high) {
        return signal_stack_room(sp);
    }
    bounds = {0, 0};
    if (!learn_main_stack_bounds(sp)) {
        learn_thread_stack_bounds();
    }
    if (bounds.high - bounds.low > LIBRARY_RESERVE) {
        bounds.low += LIBRARY_RESERVE;
    } else {
        bounds.low = bounds.high;
    }
    return sp > bounds.low && sp <= bounds.high ? sp - bounds.low : signal_stack_room(sp);
}

} // namespace

extern "C" size_t __stackavail(void) {
    // The caller's stack pointer at the call (the call frame address): what
    // lies below it is the caller's. Unlike this frame's own address it needs
    // no frame pointer.
    const uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_dwarf_cfa());
    if (sp > bounds.low && sp <= bounds.high) {
        return sp - bounds.low;
    }
    return query_outside_bounds();
}
