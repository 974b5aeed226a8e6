/* Program log front end: one call per severity, the program name in front,
 * records above log_threshold dropped. Never fails its caller. For C and C++
 * callers alike, as <slog/slog.h>; its own macros have the LOG_ prefix. */
#ifndef SLOG_LOG_H
#define SLOG_LOG_H

#include "slog.h"

#define LOG_CODE_TEXT SLOG_CONSTANT(int32_t, 20001)
#define LOG_CODE_STARTED SLOG_CONSTANT(int32_t, 0x00104E21)
#define LOG_CODE_TERMINATED SLOG_CONSTANT(int32_t, 0x00204E21)
#define LOG_SEVERITY_ERROR 2
#define LOG_SEVERITY_WARNING 3
#define LOG_SEVERITY_INFO 5
#define LOG_SEVERITY_DEBUG 7

#ifdef __cplusplus
extern "C" {
#endif

/* Records with a severity above this are dropped; 5 unless a program changes it. */
extern uint8_t log_threshold;

void log_vprintf(int severity, const char* format, va_list args) SLOG_PRINTF_LIKE(2, 0);
void log_printf_code(int32_t code, int severity, const char* format, ...) SLOG_PRINTF_LIKE(3, 4);
void log_error(const char* format, ...) SLOG_PRINTF_LIKE(1, 2);
void log_warning(const char* format, ...) SLOG_PRINTF_LIKE(1, 2);
void log_info(const char* format, ...) SLOG_PRINTF_LIKE(1, 2);
void log_debug(const char* format, ...) SLOG_PRINTF_LIKE(1, 2);
void log_started(void);
void log_terminated(void);
void log_binary(int32_t code, int severity, const void* data, int32_t size);
/* At most SLOG_INTS_MAX integers; a larger count is refused by the client. */
void log_ints(int32_t code, int severity, int32_t count, ...);

#ifdef __cplusplus
}
#endif

#endif
