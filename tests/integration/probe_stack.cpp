// Short thread stacks: a record is refused, never a crash, until there is
// room for it, whatever conversions its format uses.
#include "log_probe.h"

#include "log.h"
#include "slog.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include <pthread.h>

namespace {

enum class sweep_call { ints, doubles, front_end };

// A small thread stack, as a thread of a real program might be given.
constexpr std::size_t sweep_stack_size = 64 * 1024;

struct StackPoint {
    std::size_t free;
    sweep_call call;
    int result;
    int error;
};

// Lowest usable byte of this thread's stack (its guard area excluded).
std::uintptr_t stack_floor() {
    pthread_attr_t attr;
    void* low = nullptr;
    std::size_t size = 0;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    return reinterpret_cast<std::uintptr_t>(low);
}

// Formats with every conversion the programs use or, for doubles, adds the
// deepest one of the C library's formatter a caller might: %f of the largest
// double. The front end reports a refusal itself, on its Fatal line.
__attribute__((noinline)) void log_at_this_depth(StackPoint* point) {
    if (point->call == sweep_call::front_end) {
        log_printf_code(600, 5, "free %zu %s %d %u %X %08X %p", point->free, "stack sweep",
                        -2147483647, 4294967295U, 0xABCDU, 0x12U, static_cast<void*>(point));
        return;
    }
    const char* format = point->call == sweep_call::doubles ? "free %zu %s %d %u %X %08X %p %.0f"
                                                            : "free %zu %s %d %u %X %08X %p";
    point->result = slogf(600, 5, format, point->free, "stack sweep", -2147483647, 4294967295U,
                          0xABCDU, 0x12U, static_cast<void*>(point), 1e308);
    point->error = errno;
}

// Burns the stack down to point->free bytes above the floor, then logs.
__attribute__((noinline)) void burn_then_log(StackPoint* point, std::uintptr_t floor) {
    const std::uintptr_t here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // This frame's own locals lie below its address; keep clear of them.
    const std::uintptr_t start = here - 256;
    volatile char* burnt = nullptr;
    if (start > floor + point->free) {
        burnt = static_cast<volatile char*>(__builtin_alloca(start - floor - point->free));
        burnt[0] = 0;
    }
    log_at_this_depth(point);
    // Touched after the call, so no compiler turns it into a tail call that
    // gives the burnt stack back first.
    if (burnt != nullptr)
        burnt[0] = 1;
}

void* sweep_point(void* arg) {
    burn_then_log(static_cast<StackPoint*>(arg), stack_floor());
    return nullptr;
}

} // namespace

// A fresh thread for each point, so each meets the stack query's first call
// at its depth. Output is unbuffered: after a crash the last line names the
// point that crashed.
int stack_sweep(std::size_t from, std::size_t to, std::size_t step, const char* kind) {
    const std::string_view name = kind != nullptr ? kind : "";
    const sweep_call call = name == "double"  ? sweep_call::doubles
                            : name == "front" ? sweep_call::front_end
                                              : sweep_call::ints;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // The connection is made and the C library's functions are bound first:
    // once a process, not once a thread.
    print_result(slogf(600, 5, "sweep from %zu to %zu %.0f", from, to, 1e308));
    if (call == sweep_call::front_end)
        log_printf_code(600, 5, "sweep from %zu to %zu", from, to);
    for (auto free = static_cast<std::size_t>(from);
         free <= static_cast<std::size_t>(to) && step > 0; free += static_cast<std::size_t>(step)) {
        StackPoint point{free, call, 0, 0};
        std::printf("free %zu: ", free);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, sweep_stack_size);
        pthread_t thread;
        if (pthread_create(&thread, &attr, sweep_point, &point) != 0)
            return 1;
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attr);
        errno = point.error;
        if (call == sweep_call::front_end)
            std::printf("called\n");
        else
            print_result(point.result);
    }
    return 0;
}
