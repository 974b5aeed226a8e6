// A C program writing to the system log through the installed library:
//   cc -std=c11 hello.c $(pkg-config --cflags --libs slog) -o hello
#include <slog/log.h>
#include <slog/slog.h>

int main(void) {
    static const unsigned char frame[] = {0xde, 0xad, 0xbe, 0xef, 0x01};
    log_info("%d%% of the disks ready,\tnone failed", 100);
    log_ints(20002, LOG_SEVERITY_INFO, 3, 1, -2, 3);
    log_binary(20003, LOG_SEVERITY_WARNING, frame, (int32_t)sizeof frame);
    // The client itself: no name in front, and the caller sees a failure.
    return slogf(20004, LOG_SEVERITY_ERROR, "sent by %s", "slogf") == -1;
}
