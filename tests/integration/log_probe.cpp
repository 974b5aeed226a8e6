// Drives the real logging client through the host layer. Each mode prints
// what the calls returned; the system log shows what arrived.
//   log_probe records          one of each record kind, results one per line
//   log_probe front COUNT      COUNT front-end records, then "carried on"
//   log_probe threads T N      T threads, N records each, at once
//   log_probe fork K           K forks while another thread keeps logging
//   log_probe restart          one record, wait for /mnt/go, one more
#include "log.h"
#include "slog.h"
#include "slog_platform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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
bool child_finished(pid_t child) {
    for (int waited_ms = 0; waited_ms < 30000; waited_ms += 5) {
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
        if (child > 0 && child_finished(child))
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
    std::fputs("usage: log_probe records|front N|threads T N|fork K|restart\n", stderr);
    return 2;
}
