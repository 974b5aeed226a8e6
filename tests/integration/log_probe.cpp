// Drives the real logging client through the host layer. Each mode prints
// what the calls returned; the system log shows what arrived.
//   log_probe records          one of each record kind, results one per line
//   log_probe front COUNT      COUNT front-end records, then "carried on"
//   log_probe threads T N      T threads, N records each, at once
//   log_probe fork K           K forks while another thread keeps logging
//   log_probe restart          one record, wait for /mnt/go, one more
//   log_probe stream           front-end records, "sent N" after each, until
//                              /mnt/stop appears
//   log_probe load T N         T threads, N records each, every reply checked
//   log_probe forks K T        K forks, one after the other, while T threads log
//   log_probe early-forks K T  as forks, after a record sent before main; one
//                              more thread sends through MsgSendv itself
//   log_probe fork-handlers K  fork handlers that log, registered before the
//                              first record, then K forks
//   log_probe checked-forks K  two threads log while main forks K times;
//                              threads, locks and joins only, for the
//                              thread checkers
//   log_probe descriptor       one record, then whether a shell started
//                              with system() holds the logger's descriptor
//   log_probe stack FROM TO STEP [double|front]  one thread a step, each
//                              with FROM, FROM + STEP, ... TO bytes of its
//                              stack free when it calls slogf (with front:
//                              log_printf_code, whose result is "called");
//                              "free N: RESULT"
#include "log.h"
#include "slog.h"
#include "slog_platform.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void print_result(int result) {
    if (result == -1)
        std::printf("-1 %s\n", std::strerror(errno));
    else
        std::printf("%d\n", result);
}

int records() {
    const std::string long_text(2000, 'x');
    const unsigned char bytes[] = {0x00, 0x01, 0xfe, 0xff, 0x7f};
    print_result(slogf(20001, 5, "hello %s %d", "world", 42));
    print_result(slogf(7, 2, "%s", ""));
    print_result(slogf(9, 5, "%s", long_text.c_str()));
    print_result(slogf(10, 5, "tab\there\nnl \\ \xc3\xa9 \x01"));
    print_result(slogi(11, 3, 3, 1, -2, 2147483647));
    print_result(slogi(12, 3, 0));
    print_result(slogb(13, 4, bytes, sizeof bytes));
    log_info("front %d", 5);
    log_error("failed: %s", "x");
    log_debug("dropped");
    return 0;
}

int front(int count) {
    for (int i = 0; i < count; ++i)
        log_info("record %d", i);
    std::puts("carried on");
    std::fflush(stdout); // now, while the library still holds its descriptors
    return 0;
}

// Text and integer records alternate so both kinds interleave on the wire.
int threads(int thread_count, int per_thread) {
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < thread_count; ++t) {
        workers.emplace_back([t, per_thread, &failures] {
            for (int i = 0; i < per_thread; ++i) {
                int result = i % 2 == 0 ? slogf(100 + t, 5, "thread %d record %d", t, i)
                                        : slogi(100 + t, 5, 2, t, i);
                if (result < 0)
                    ++failures;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    std::printf("failures %d\n", failures.load());
    return 0;
}

// A child that never exits within the limit is taken to be deadlocked.
bool child_finished(pid_t child, int limit_ms = 30000) {
    for (int waited_ms = 0; waited_ms < limit_ms; waited_ms += 5) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        usleep(5000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return false;
}

// Makes the logger name the process behind this connection: it complains
// about a malformed packet with the pid that connected.
void send_malformed() {
    slog_msg_header header{SLOG_MSG_SIDE, 0, 0, {0, 0}};
    iov_t part;
    SETIOV(&part, &header, sizeof header);
    MsgSendv(SLOG_SIDE_CHANNEL, &part, 1, nullptr, 0);
}

int fork_while_logging(int forks) {
    std::atomic<bool> stop{false};
    std::atomic<int> background{0};
    std::thread logger([&] {
        while (!stop.load()) {
            slogf(200, 5, "background %d", background.load());
            ++background;
        }
    });
    while (background.load() == 0)
        usleep(1000);
    int finished = 0;
    for (int k = 0; k < forks; ++k) {
        pid_t child = fork();
        if (child == 0) {
            bool logged = slogf(300, 5, "child %d", k) > 0;
            send_malformed();
            _exit(logged ? 0 : 1);
        }
        std::printf("child pid %d\n", static_cast<int>(child));
        // The first stuck child shows the fault: nine more would cost 30 s each.
        if (child < 0 || !child_finished(child))
            break;
        ++finished;
    }
    stop = true;
    logger.join();
    std::printf("children %d background %d\n", finished, background.load());
    return finished == forks ? 0 : 1;
}

int restart() {
    print_result(slogf(400, 5, "before restart"));
    std::fflush(stdout);
    for (int waited_ms = 0; access("/mnt/go", F_OK) != 0; waited_ms += 10) {
        if (waited_ms > 30000)
            return 1;
        usleep(10000);
    }
    print_result(slogf(400, 5, "after restart"));
    return 0;
}

// A probe left waiting for a signal file gives up rather than hang the test;
// a load that deadlocks is ended by SIGALRM after as long.
constexpr auto give_up_after = std::chrono::seconds(120);

void end_if_stuck() {
    alarm(static_cast<unsigned>(give_up_after.count()));
}

// Standard output and error go to one file, so each "sent N" line follows
// the failure line (if any) of record N.
int stream() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const auto deadline = std::chrono::steady_clock::now() + give_up_after;
    for (int i = 0; access("/mnt/stop", F_OK) != 0; ++i) {
        if (std::chrono::steady_clock::now() > deadline)
            return 1;
        log_info("stream %d", i);
        std::printf("sent %d\n", i);
        usleep(1000);
    }
    return 0;
}

// Texts of many lengths, filled with the thread's own letter: a reply that
// went to the wrong thread shows as a wrong byte count, a record mixed with
// another's as a foreign letter in the log.
int load(int thread_count, int per_thread) {
    end_if_stuck();
    std::atomic<int> failures{0};
    std::atomic<int> wrong_replies{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < thread_count; ++t) {
        workers.emplace_back([t, per_thread, &failures, &wrong_replies] {
            const std::string fill(400, static_cast<char>('a' + t % 26));
            for (int i = 0; i < per_thread; ++i) {
                const int pad = (i * 37 + t * 11) % 400;
                char text[512];
                const int length =
                    std::snprintf(text, sizeof text, "load %d %d %.*s", t, i, pad, fill.c_str());
                const int result = slogf(100 + t, 5, "%s", text);
                if (result < 0)
                    ++failures;
                else if (result != 12 + length + 1)
                    ++wrong_replies;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    std::printf("failures %d wrong replies %d\n", failures.load(), wrong_replies.load());
    return 0;
}

// A text record sent with slogf; true when its own byte count came back.
bool sent_exactly(std::int32_t code, const char* text) {
    return slogf(code, 5, "%s", text) == static_cast<int>(12 + std::strlen(text) + 1);
}

// The same text record built by hand and sent with MsgSendv itself, as a
// program that talks to the logger without the client (and its lock) would.
bool sent_directly(std::int32_t code, const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    const slog_record_header record{5 | SLOG_TEXT_FLAG, code, 0};
    const auto byte_count = static_cast<std::int32_t>(sizeof record + size);
    slog_msg_header header{SLOG_MSG_SIDE, sizeof header, byte_count, {0, 0}};
    iov_t parts[3];
    SETIOV(&parts[0], &header, sizeof header);
    SETIOV(&parts[1], &record, sizeof record);
    SETIOV(&parts[2], text, size);
    return MsgSendv(SLOG_SIDE_CHANNEL, parts, 3, nullptr, 0) == byte_count;
}

constexpr char EARLY_FORKS[] = "early-forks";

// Run by the C library before main and before the program's static
// initializers, after only the host layer's set-up. glibc hands
// constructors the program's arguments.
__attribute__((constructor)) void record_before_main(int argc, char** argv, char**) {
    if (argc < 2 || std::strcmp(argv[1], EARLY_FORKS) != 0)
        return;
    slogf(100, 5, "before main");
    // A child forked this early must make its own connection too.
    const pid_t child = fork();
    if (child == 0)
        _exit(slogf(101, 5, "forked before main") > 0 ? 0 : 1);
    if (child > 0)
        waitpid(child, nullptr, 0);
}

// Each child logs through the client and the front end, which allocates:
// both must be usable in a child forked in the middle of other threads' sends,
// and the child must not share its parent's connection (replies would cross).
// After a record before main (early), one more thread sends through
// MsgSendv alone, and each fork gets a few seconds: the first one stuck ends
// the run.
int forks_while_threads_log(int forks, int thread_count, bool early = false) {
    end_if_stuck();
    std::atomic<bool> stop{false};
    std::atomic<int> background_failures{0};
    const int senders = thread_count + (early ? 1 : 0);
    std::vector<std::atomic<int>> sent(static_cast<std::size_t>(senders));
    std::vector<std::thread> loggers;
    for (int t = 0; t < senders; ++t) {
        const bool by_hand = t == thread_count;
        loggers.emplace_back([t, by_hand, &stop, &sent, &background_failures] {
            std::atomic<int>& count = sent[static_cast<std::size_t>(t)];
            char text[64];
            while (!stop.load()) {
                std::snprintf(text, sizeof text, "background %d %d", t, count.load());
                if (!(by_hand ? sent_directly(200 + t, text) : sent_exactly(200 + t, text)))
                    ++background_failures;
                ++count;
            }
        });
    }
    // A thread allocates only on its first record (the stack query); the
    // sanitizers' allocator, unlike the C library's, cannot be used in a
    // child forked in the middle of that.
    for (const std::atomic<int>& count : sent) {
        while (count.load() == 0)
            usleep(1000);
    }
    constexpr unsigned child_limit_s = 20;
    int finished = 0;
    for (int k = 0; k < forks; ++k) {
        // A fork that never returns ends the run with SIGALRM; a stuck child
        // is killed before that.
        if (early)
            alarm(child_limit_s + 10);
        pid_t child = fork();
        if (child == 0) {
            char text[64];
            std::snprintf(text, sizeof text, "child %d", k);
            bool logged = sent_exactly(300, text);
            log_info("child %d front", k);
            logged = slogi(301, 5, 1, k) == 16 && logged;
            _exit(logged ? 0 : 1);
        }
        // After one child stuck or failed, more would only add to the wait.
        if (child < 0 || !child_finished(child, early ? child_limit_s * 1000 : 30000))
            break;
        ++finished;
    }
    if (early)
        end_if_stuck();
    stop = true;
    for (std::thread& logger : loggers)
        logger.join();
    std::printf("children %d of %d\n", finished, forks);
    for (int t = 0; t < senders; ++t)
        std::printf("background %d sent %d\n", t, sent[static_cast<std::size_t>(t)].load());
    std::printf("background failures %d\n", background_failures.load());
    return finished == forks ? 0 : 1;
}

// The program's own fork handlers log, and are registered before its first
// record: the library's lock must not be taken before they run.
int fork_handlers_that_log(int forks) {
    end_if_stuck();
    pthread_atfork([] { log_info("prepare"); }, [] { log_info("parent"); },
                   [] { log_info("child"); });
    log_info("first");
    for (int k = 0; k < forks; ++k) {
        const pid_t child = fork();
        if (child == 0)
            _exit(slogi(301, 5, 1, k) == 16 ? 0 : 1);
        if (child < 0 || !child_finished(child))
            return 1;
    }
    std::printf("forks %d\n", forks);
    return 0;
}

void* log_a_while(void*) {
    for (int i = 0; i < 30; ++i)
        log_info("thread record %d", i);
    return nullptr;
}

// Nothing shared but through the library, fork and join: whatever a thread
// checker reports here is the library's.
int checked_forks(int forks) {
    pthread_t threads[2];
    for (pthread_t& thread : threads)
        pthread_create(&thread, nullptr, log_a_while, nullptr);
    int finished = 0;
    for (int k = 0; k < forks; ++k) {
        const pid_t child = fork();
        if (child == 0)
            _exit(slogf(300, 5, "child %d", k) > 0 ? 0 : 1);
        finished += child > 0 && child_finished(child) ? 1 : 0;
    }
    for (pthread_t thread : threads)
        pthread_join(thread, nullptr);
    std::printf("children %d of %d\n", finished, forks);
    return finished == forks ? 0 : 1;
}

// A program started by a logging one (here a shell, through system())
// inherits none of the library's descriptors.
int descriptor() {
    print_result(slogf(500, 5, "before the shell"));
    pthread_mutex_lock(&__slog_mux);
    const int fd = _slogfd;
    pthread_mutex_unlock(&__slog_mux);
    char command[64];
    std::snprintf(command, sizeof command, "test -e /proc/self/fd/%d", fd);
    std::printf("descriptor %s, inherited %s\n", fd > STDERR_FILENO ? "above 2" : "0-2",
                std::system(command) == 0 ? "yes" : "no");
    return 0;
}

// A small thread stack, as a thread of a real program might be given.
constexpr std::size_t sweep_stack_size = 64 * 1024;

enum class SweepCall { ints, doubles, front_end };

struct StackPoint {
    std::size_t free;
    SweepCall call;
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
    if (point->call == SweepCall::front_end) {
        log_printf_code(600, 5, "free %zu %s %d %u %X %08X %p", point->free, "stack sweep",
                        -2147483647, 4294967295U, 0xABCDU, 0x12U, static_cast<void*>(point));
        return;
    }
    const char* format = point->call == SweepCall::doubles ? "free %zu %s %d %u %X %08X %p %.0f"
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

// A fresh thread for each point, so each meets the stack query's first call
// at its depth. Output is unbuffered: after a crash the last line names the
// point that crashed.
int stack_sweep(std::size_t from, std::size_t to, std::size_t step, SweepCall call) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // The connection is made and the C library's functions are bound first:
    // once a process, not once a thread.
    print_result(slogf(600, 5, "sweep from %zu to %zu %.0f", from, to, 1e308));
    if (call == SweepCall::front_end)
        log_printf_code(600, 5, "sweep from %zu to %zu", from, to);
    for (std::size_t free = from; free <= to && step > 0; free += step) {
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
        if (call == SweepCall::front_end)
            std::printf("called\n");
        else
            print_result(point.result);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    int a = argc > 2 ? std::atoi(argv[2]) : 0;
    int b = argc > 3 ? std::atoi(argv[3]) : 0;
    if (mode == "records")
        return records();
    if (mode == "front")
        return front(a);
    if (mode == "threads")
        return threads(a, b);
    if (mode == "fork")
        return fork_while_logging(a);
    if (mode == "restart")
        return restart();
    if (mode == "stream")
        return stream();
    if (mode == "load")
        return load(a, b);
    if (mode == "forks")
        return forks_while_threads_log(a, b);
    if (mode == EARLY_FORKS)
        return forks_while_threads_log(a, b, true);
    if (mode == "fork-handlers")
        return fork_handlers_that_log(a);
    if (mode == "checked-forks")
        return checked_forks(a);
    if (mode == "descriptor")
        return descriptor();
    if (mode == "stack" && argc > 4) {
        const std::string kind = argc > 5 ? argv[5] : "";
        const SweepCall call = kind == "double"  ? SweepCall::doubles
                               : kind == "front" ? SweepCall::front_end
                                                 : SweepCall::ints;
        return stack_sweep(static_cast<std::size_t>(a), static_cast<std::size_t>(b),
                           static_cast<std::size_t>(std::atoi(argv[4])), call);
    }
    std::fputs("usage: log_probe records|front N|threads T N|fork K|restart|stream|load T N|"
               "forks K T|early-forks K T|fork-handlers K|checked-forks K|descriptor|"
               "stack FROM TO STEP [double|front]\n",
               stderr);
    return 2;
}
