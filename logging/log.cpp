// Program log front end: gate on the threshold, put the program name in front,
// hand the record to the system-log client. A record that cannot be delivered
// costs one line on standard error; the caller never sees a failure.
#include "log.h"
#include "slog.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <utility>

// Base name of the program, set by the C library's start-up code.
extern "C" char* __progname;

// Records less severe than this (numerically greater) are dropped.
std::uint8_t log_threshold = 5;

namespace {

// What perror("Fatal: Could not write slog event") puts before the error text.
constexpr char FATAL_LEAD[] = "Fatal: Could not write slog event: ";
constexpr char STARTED_FORMAT[] = "process started PID=0x%08X";
constexpr char TERMINATED_FORMAT[] = "process terminated PID=0x%08X";
// The Fatal line: its lead, the error text and a newline.
constexpr std::size_t FATAL_LINE_SIZE = 256;
// The prefixed format is built on the stack up to this size, zero included,
// and on the heap beyond: every format of both programs fits behind a program
// name of some 150 characters. Live while the client formats, it adds a fifth
// to the 1,160 bytes of stack a record needs; the record's own size would
// nearly double that, for formats no caller here has.
constexpr std::size_t STACK_FORMAT_SIZE = 256;

bool passes_threshold(int severity) {
    return severity <= log_threshold;
}

// The last-resort line, the bytes perror would write, in one raw write from a
// small buffer: perror goes through stdio and needs several KB of stack, more
// than the record it reports, so a record refused for want of stack would
// crash the program on its way to saying so. Every error text of the C
// library fits; a longer one would be cut, the newline kept.
void report_failure(int error) {
    char line[FATAL_LINE_SIZE];
    constexpr std::size_t lead = sizeof FATAL_LEAD - 1;
    constexpr std::size_t room = sizeof line - lead - 1;
    const char* reason = std::strerror(error);
    const std::size_t reason_length = std::min(std::strlen(reason), room);
    // A line for write, with its length and a newline: no terminating zero.
    std::memcpy(line, FATAL_LEAD, lead);
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    std::memcpy(line + lead, reason, reason_length);
    line[lead + reason_length] = '\n';
    if (write(STDERR_FILENO, line, lead + reason_length + 1) < 0) {
        // The last resort failed too: there is nowhere left to report it.
    }
}

void report_if_failed(int result) {
    if (result == -1) {
        report_failure(errno);
    }
}

// "<program name>: <format>", in buffer when it fits, else on the heap (null
// when the heap has no room). The name becomes part of the format, so each "%"
// in it is doubled to print as itself; the usual name has none.
char* prefixed_format(char (&buffer)[STACK_FORMAT_SIZE], const char* format) {
    const char* name = __progname != nullptr ? __progname : "";
    const std::size_t name_length = std::strlen(name);
    const bool plain = std::strchr(name, '%') == nullptr;
    const auto percents =
        plain ? 0 : static_cast<std::size_t>(std::count(name, name + name_length, '%'));
    const std::size_t format_size = std::strlen(format) + 1;
    const std::size_t size = name_length + percents + 2 + format_size;
    char* const out = size <= sizeof buffer ? buffer : static_cast<char*>(std::malloc(size));
    if (out == nullptr) {
        return nullptr;
    }
    // No zero behind the name and the separator: the format brings its own.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    char* at = plain ? static_cast<char*>(std::memcpy(out, name, name_length)) + name_length : out;
    for (const char* c = name; !plain && *c != '\0'; ++c) {
        *at++ = *c;
        if (*c == '%') {
            *at++ = '%';
        }
    }
    *at++ = ':';
    *at++ = ' ';
    std::memcpy(at, format, format_size);
    return out;
}

void send_text(std::int32_t code, int severity, const char* format, va_list args) {
    if (!passes_threshold(severity)) {
        return;
    }
    // Nothing to put the name in front of: refused as the client refuses it.
    if (format == nullptr) {
        report_failure(EINVAL);
        return;
    }
    // In this frame, live while the client formats: its stack guard counts it.
    char on_stack[STACK_FORMAT_SIZE];
    char* prefixed = prefixed_format(on_stack, format);
    if (prefixed == nullptr) {
        report_failure(ENOMEM); // the record is lost, but not without a word
        return;
    }
    report_if_failed(vslogf(code, severity, prefixed, args));
    if (prefixed != on_stack) {
        std::free(prefixed);
    }
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
