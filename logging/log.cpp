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

// Records more severe than this (numerically greater) are dropped.
std::uint8_t log_threshold = 5;

namespace {

// What perror("Fatal: Could not write slog event") puts before the error text.
constexpr char FATAL_LEAD[] = "Fatal: Could not write slog event: ";
constexpr char STARTED_FORMAT[] = "process started PID=0x%08X";
constexpr char TERMINATED_FORMAT[] = "process terminated PID=0x%08X";
constexpr char NAME_SEPARATOR[] = ": ";
// The Fatal line: its lead, the error text and a newline.
constexpr std::size_t FATAL_LINE_SIZE = 256;
// The prefixed format is built on the stack up to this size, zero included,
// and on the heap beyond it. Every format of both programs (at most about 80
// characters) fits behind a program name of up to about 150 characters. The
// buffer is in use while the client formats, so it adds to the stack a record
// needs: at 256 bytes a fifth of the 1,160 the client asks for, where a bound
// of the record's own size would nearly double it and make a short stack
// refuse records much earlier, for formats no caller here has.
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
    (void)write(STDERR_FILENO, line, lead + reason_length + 1);
}

void report_if_failed(int result) {
    if (result == -1) {
        report_failure(errno);
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

// "<program name>: <format>": the name becomes part of the format, so each "%"
// in it is doubled to print as itself.
struct prefixed_format {
    const char* name;
    std::size_t name_length;
    std::size_t name_percents;
    const char* format;
    std::size_t format_length;
};

prefixed_format measure_prefixed(const char* format) {
    const char* name = __progname != nullptr ? __progname : "";
    return {name, std::strlen(name), count_percents(name), format, std::strlen(format)};
}

// Bytes of the prefixed format, its zero included.
std::size_t prefixed_size(const prefixed_format& parts) {
    return parts.name_length + parts.name_percents + sizeof NAME_SEPARATOR + parts.format_length;
}

// Writes the prefixed format into out, which holds prefixed_size(parts) bytes.
void fill_prefixed(char* out, const prefixed_format& parts) {
    // Name and separator go without their zeros: the format behind them brings one.
    // NOLINTBEGIN(bugprone-not-null-terminated-result)
    out = parts.name_percents == 0
              ? static_cast<char*>(std::memcpy(out, parts.name, parts.name_length)) +
                    parts.name_length
              : copy_escaped(out, parts.name);
    std::memcpy(out, NAME_SEPARATOR, sizeof NAME_SEPARATOR - 1);
    // NOLINTEND(bugprone-not-null-terminated-result)
    std::memcpy(out + sizeof NAME_SEPARATOR - 1, parts.format, parts.format_length + 1);
}

void send_text(std::int32_t code, int severity, const char* format, va_list args) {
    if (!passes_threshold(severity)) {
        return;
    }
    const prefixed_format parts = measure_prefixed(format);
    const std::size_t size = prefixed_size(parts);
    // In this frame, live while the client formats: its stack guard counts it.
    char on_stack[STACK_FORMAT_SIZE];
    char* prefixed = on_stack;
    if (size > sizeof on_stack) {
        prefixed = static_cast<char*>(std::malloc(size));
        if (prefixed == nullptr) {
            report_failure(ENOMEM); // the record is lost, but not without a word
            return;
        }
    }
    fill_prefixed(prefixed, parts);
    const int result = vslogf(code, severity, prefixed, args);
    const int send_errno = errno;
    if (prefixed != on_stack) {
        std::free(prefixed);
    }
    if (result == -1) {
        report_failure(send_errno);
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
