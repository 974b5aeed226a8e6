// What arrives and what a caller sees: records of every kind, the front end's
// Fatal line, a logger restarted between records, and the descriptors a
// started program inherits.
#include "log_probe.h"

#include "log.h"
#include "slog.h"
#include "slog_platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <pthread.h>
#include <unistd.h>

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
