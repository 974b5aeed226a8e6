// Program log front end: one call per severity, the program name in front,
// records above log_threshold dropped. Never fails its caller.
#pragma once

#include <cstdarg>
#include <cstdint>

inline constexpr std::int32_t LOG_CODE_TEXT = 20001;
inline constexpr std::int32_t LOG_CODE_STARTED = 0x00104E21;
inline constexpr std::int32_t LOG_CODE_TERMINATED = 0x00204E21;
inline constexpr int LOG_SEVERITY_ERROR = 2;
inline constexpr int LOG_SEVERITY_WARNING = 3;
inline constexpr int LOG_SEVERITY_INFO = 5;
inline constexpr int LOG_SEVERITY_DEBUG = 7;

// Records with a severity above this are dropped; 5 unless a program changes it.
extern std::uint8_t log_threshold;

void log_vprintf(int severity, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));
void log_printf_code(std::int32_t code, int severity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_started();
void log_terminated();
void log_binary(std::int32_t code, int severity, const void* data, std::int32_t size);
// At most SLOG_INTS_MAX integers; a larger count is refused by the client.
void log_ints(std::int32_t code, int severity, std::int32_t count, ...);
