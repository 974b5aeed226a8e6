// Forks while other threads log: no child hangs, each makes its own
// connection, and no record is lost or crossed with another's reply.
#include "log_probe.h"

#include "log.h"
#include "slog.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/neutrino.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A child that never exits within the limit is taken to be deadlocked.
bool child_finished(pid_t child, int limit_ms) {
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

// Forks child k, which exits 0 when body(k) returns true, and waits for it up
// to limit_ms; true when it did. *forked, when given, is what fork returned.
bool child_succeeds(int k, bool (*body)(int), int limit_ms = 30000, pid_t* forked = nullptr) {
    const pid_t child = fork();
    if (child == 0)
        _exit(body(k) ? 0 : 1);
    if (forked != nullptr)
        *forked = child;
    return child > 0 && child_finished(child, limit_ms);
}

// Makes the logger name the process behind this connection: it complains
// about a malformed packet with the pid that connected.
void send_malformed() {
    slog_msg_header header{SLOG_MSG_SIDE, 0, 0, {0, 0}};
    iov_t part;
    SETIOV(&part, &header, sizeof header);
    MsgSendv(SLOG_SIDE_CHANNEL, &part, 1, nullptr, 0);
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

// Through the client and the front end, which allocates.
bool log_in_child(int k) {
    char text[64];
    std::snprintf(text, sizeof text, "child %d", k);
    const bool logged = sent_exactly(300, text);
    log_info("child %d front", k);
    return slogi(301, 5, 1, k) == 16 && logged;
}

void* log_a_while(void*) {
    for (int i = 0; i < 30; ++i)
        log_info("thread record %d", i);
    return nullptr;
}

} // namespace

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
        pid_t child = -1;
        const bool succeeded = child_succeeds(
            k,
            [](int n) {
                const bool logged = slogf(300, 5, "child %d", n) > 0;
                send_malformed();
                return logged;
            },
            30000, &child);
        std::printf("child pid %d\n", static_cast<int>(child));
        // The first stuck child shows the fault: nine more would cost 30 s each.
        if (!succeeded)
            break;
        ++finished;
    }
    stop = true;
    logger.join();
    std::printf("children %d background %d\n", finished, background.load());
    return finished == forks ? 0 : 1;
}

// Each child logs through the client and the front end: both must be usable
// in a child forked in the middle of other threads' sends, and the child must
// not share its parent's connection (replies would cross). After a record
// before main (early), one more thread sends through MsgSendv alone, and each
// fork gets a few seconds: the first one stuck ends the run.
int forks_while_threads_log(int forks, int thread_count, bool early) {
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
        // After one child stuck or failed, more would only add to the wait.
        if (!child_succeeds(k, log_in_child, early ? child_limit_s * 1000 : 30000))
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
        if (!child_succeeds(k, [](int n) { return slogi(301, 5, 1, n) == 16; }))
            return 1;
    }
    std::printf("forks %d\n", forks);
    return 0;
}

// Nothing shared but through the library, fork and join: whatever a thread
// checker reports here is the library's.
int checked_forks(int forks) {
    pthread_t loggers[2];
    for (pthread_t& thread : loggers)
        pthread_create(&thread, nullptr, log_a_while, nullptr);
    int finished = 0;
    for (int k = 0; k < forks; ++k)
        finished +=
            child_succeeds(k, [](int n) { return slogf(300, 5, "child %d", n) > 0; }) ? 1 : 0;
    for (pthread_t thread : loggers)
        pthread_join(thread, nullptr);
    std::printf("children %d of %d\n", finished, forks);
    return finished == forks ? 0 : 1;
}
