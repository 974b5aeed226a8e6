// Program log front end: gate on the threshold, put the program name in front,
// hand the record to the system-log client. A record that cannot be delivered
// costs one line on standard error; the caller never sees a failure.
#include "log.h"
#include "slog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <utility>

// Base name of the program, set by the C library's start-up code.
extern "C" char* __progname;

// Records more severe than this (numerically greater) are dropped.
std::uint8_t log_threshold = 5;

namespace {

constexpr char DELIVERY_FAILED[] = "Fatal: Could not write slog event";
constexpr char STARTED_FORMAT[] = "process started PID=0x%08X";
constexpr char TERMINATED_FORMAT[] = "process terminated PID=0x%08X";
constexpr char NAME_SEPARATOR[] = ": ";

bool passes_threshold(int severity) {
    return severity <= log_threshold;
}

void report_if_failed(int result) {
    if (result == -1) {
        perror(DELIVERY_FAILED);
    }
}

std::size_t count_percents(const char* text) {
    std::size_t count = 0;
    for (const char* percent = std::strchr(text, '%'); percent != nullptr;
         percent = std::strchr(percent + 1, '%')) {
        ++count;
    }
    return count;
}

// Copies text with each "%" doubled; returns the end of the copy.
char* copy_escaped(char* out, const char* text) {
    for (; *text != '\0'; ++text) {
        *out++ = *text;
        if (*text == '%') {
            *out++ = '%';
        }
    }
    return out;
}

// A new heap block holding "<program name>: <format>". The name becomes part of
// the format, so each "%" in it is doubled to print as itself.
char* prefixed_format(const char* format) {
    const char* name = __progname != nullptr ? __progname : "";
    const std::size_t name_length = std::strlen(name);
    const std::size_t percents = count_percents(name);
    const std::size_t format_length = std::strlen(format);
    char* prefixed = static_cast<char*>(
        std::malloc(name_length + percents + sizeof NAME_SEPARATOR + format_length));
    if (prefixed == nullptr) {
        return nullptr;
    }
    // Name and separator go without their zeros: the format behind them brings one.
    // NOLINTBEGIN(bugprone-not-null-terminated-result)
    char* out = percents == 0
                    ? static_cast<char*>(std::memcpy(prefixed, name, name_length)) + name_length
                    : copy_escaped(prefixed, name);
    std::memcpy(out, NAME_SEPARATOR, sizeof NAME_SEPARATOR - 1);
    // NOLINTEND(bugprone-not-null-terminated-result)
    std::memcpy(out + sizeof NAME_SEPARATOR - 1, format, format_length + 1);
    return prefixed;
}

void send_text(std::int32_t code, int severity, const char* format, va_list args) {
    if (!passes_threshold(severity)) {
        return;
    }
    char* prefixed = prefixed_format(format);
    if (prefixed == nullptr) {
        return; // out of memory: nothing could report it either
    }
    const int result = vslogf(code, severity, prefixed, args);
    const int send_errno = errno;
    std::free(prefixed);
    errno = send_errno;
    report_if_failed(result);
}

// The client has no argument-list form for integers: pass the fixed array as
// its variable arguments; it reads only the first count of them.
template <std::size_t... Index>
int send_ints(std::int32_t code, int severity, std::int32_t count,
              const std::int32_t (&values)[SLOG_INTS_MAX], std::index_sequence<Index...>) {
    return slogi(code, severity, count, values[Index]...);
}

unsigned process_id() {
    return static_cast<unsigned>(getpid());
}

} // namespace

void log_vprintf(int severity, const char* format, va_list args) {
    send_text(LOG_CODE_TEXT, severity, format, args);
}

void log_printf_code(std::int32_t code, int severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    send_text(code, severity, format, args);
    va_end(args);
}

#define LOG_AT_SEVERITY(name, severity)                                                            \
    void name(const char* format, ...) {                                                           \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        send_text(LOG_CODE_TEXT, severity, format, args);                                          \
        va_end(args);                                                                              \
    }

LOG_AT_SEVERITY(log_error, LOG_SEVERITY_ERROR)
LOG_AT_SEVERITY(log_warning, LOG_SEVERITY_WARNING)
LOG_AT_SEVERITY(log_info, LOG_SEVERITY_INFO)
LOG_AT_SEVERITY(log_debug, LOG_SEVERITY_DEBUG)
#undef LOG_AT_SEVERITY

void log_started() {
    log_printf_code(LOG_CODE_STARTED, LOG_SEVERITY_INFO, STARTED_FORMAT, process_id());
}

void log_terminated() {
    log_printf_code(LOG_CODE_TERMINATED, LOG_SEVERITY_INFO, TERMINATED_FORMAT, process_id());
}

void log_binary(std::int32_t code, int severity, const void* data, std::int32_t size) {
    if (passes_threshold(severity)) {
        report_if_failed(slogb(code, severity, data, size));
    }
}

void log_ints(std::int32_t code, int severity, std::int32_t count, ...) {
    if (!passes_threshold(severity)) {
        return;
    }
    // An out-of-range count reads no arguments: the client refuses it anyway.
    const bool in_range = static_cast<std::uint32_t>(count) <= SLOG_INTS_MAX;
    std::int32_t values[SLOG_INTS_MAX] = {};
    va_list args;
    va_start(args, count);
    for (std::int32_t i = 0; in_range && i < count; ++i) {
        values[i] = va_arg(args, std::int32_t);
    }
    va_end(args);
    report_if_failed(
        send_ints(code, severity, count, values, std::make_index_sequence<SLOG_INTS_MAX>{}));
}
