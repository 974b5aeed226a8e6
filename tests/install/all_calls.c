// Every public call from C, against the installed headers and archives: a
// call without C linkage fails the link, a header or constant C cannot read
// fails the compile. Prints its process id for the started and terminated
// records; exits non-zero when the client reports a failure.
#define _POSIX_C_SOURCE 200809L
#include <slog/log.h>
#include <slog/slog.h>

#include <stdio.h>
#include <unistd.h>

static void log_with(int severity, const char* format, ...) SLOG_PRINTF_LIKE(2, 3);
static void log_with(int severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_vprintf(severity, format, args);
    va_end(args);
}

static int vslogf_with(int32_t code, int32_t severity, const char* format, ...)
    SLOG_PRINTF_LIKE(3, 4);
static int vslogf_with(int32_t code, int32_t severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = vslogf(code, severity, format, args);
    va_end(args);
    return result;
}

int main(void) {
    static const unsigned char bytes[] = {0x01, 0x02, 0x03, 0xff, 0x00};
    printf("%ld\n", (long)getpid());
    fflush(stdout);
    log_threshold = LOG_SEVERITY_DEBUG;
    log_started();
    log_error("error %d", LOG_SEVERITY_ERROR);
    log_warning("warning %s", "three");
    log_info("info %u%%", (unsigned)SLOG_INTS_MAX);
    log_debug("debug");
    log_with(LOG_SEVERITY_INFO, "vprintf %c", 'v');
    log_printf_code(LOG_CODE_TEXT + 1, 4, "code %ld", (long)LOG_CODE_TEXT + 1);
    log_binary(8, LOG_SEVERITY_INFO, bytes, (int32_t)sizeof bytes);
    log_ints(9, LOG_SEVERITY_INFO, 2, -1, 2);
    int failures = 0;
    failures += slogf(10, LOG_SEVERITY_INFO, "slogf %zu", SLOG_TEXT_MAX) == -1;
    failures += vslogf_with(11, LOG_SEVERITY_WARNING, "vslogf %s", SLOG_DEVICE) == -1;
    failures += slogi(12, 1, 1, 42) == -1;
    failures += slogb(13, 0, bytes, (int32_t)sizeof bytes) == -1;
    log_threshold = LOG_SEVERITY_INFO;
    log_debug("dropped");
    log_terminated();
    return failures;
}
