// System-log client: builds one record per call and delivers it to the system
// logger as one gathered message, over the side channel or a /dev/slog descriptor.
// C and C++ callers alike: constants are macros, the calls have C linkage.
#ifndef SLOG_SLOG_H
#define SLOG_SLOG_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#ifdef __cplusplus
#include <cstdarg> // the std:: names C++ callers use
#include <cstddef>
#include <cstdint>
#else
#include <assert.h> // static_assert, from C11 on
#endif

// The casts keep each constant the type the records and callers use.
#define SLOG_SIDE_CHANNEL 0x40000000
#define SLOG_MSG_WRITE ((uint16_t)0x102)
#define SLOG_MSG_SIDE ((uint16_t)2)
#define SLOG_TEXT_FLAG ((int32_t)8)
#define SLOG_TEXT_MAX ((size_t)1016)
#define SLOG_INTS_MAX ((uint32_t)32)
#define SLOG_STACK_PLENTY ((size_t)2051)
#define SLOG_STACK_HEADROOM ((size_t)128)
#define SLOG_DEVICE "/dev/slog"

// Only GCC and clang check format strings; elsewhere the attribute is dropped.
#if defined(__GNUC__) || defined(__clang__)
#define SLOG_PRINTF_LIKE(format_index, first_arg)                                                  \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define SLOG_PRINTF_LIKE(format_index, first_arg)
#endif

// First part of every message. On a descriptor it is the standard write
// request header: the device receives only the byte_count record bytes.
typedef struct slog_msg_header {
    uint16_t type;       // SLOG_MSG_WRITE or SLOG_MSG_SIDE, per send attempt
    uint16_t header_len; // 16
    int32_t byte_count;  // record bytes behind this header
    uint32_t reserved[2];
} slog_msg_header;

// First bytes of every record.
typedef struct slog_record_header {
    int32_t severity; // text records carry SLOG_TEXT_FLAG as well
    int32_t code;
    uint32_t reserved; // written as zero
} slog_record_header;

// C before C11 has no static_assert; the library's own build checks there.
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
static_assert(sizeof(slog_msg_header) == 16, "message header is 16 bytes");
static_assert(offsetof(slog_msg_header, type) == 0, "type at 0");
static_assert(offsetof(slog_msg_header, header_len) == 2, "header_len at 2");
static_assert(offsetof(slog_msg_header, byte_count) == 4, "byte_count at 4");
static_assert(offsetof(slog_msg_header, reserved) == 8, "reserved at 8");
static_assert(sizeof(slog_record_header) == 12, "record header is 12 bytes");
static_assert(offsetof(slog_record_header, severity) == 0, "severity at 0");
static_assert(offsetof(slog_record_header, code) == 4, "code at 4");
static_assert(offsetof(slog_record_header, reserved) == 8, "reserved at 8");
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Each returns what the logger replied, or -1 with errno.
// Text: at most SLOG_TEXT_MAX - 1 characters; ENOMEM when the stack is short.
// A severity with SLOG_TEXT_FLAG set also echoes the text to standard error.
int slogf(int32_t code, int32_t severity, const char* format, ...) SLOG_PRINTF_LIKE(3, 4);
int vslogf(int32_t code, int32_t severity, const char* format, va_list args) SLOG_PRINTF_LIKE(3, 0);
// EINVAL for a count over SLOG_INTS_MAX or negative.
int slogi(int32_t code, int32_t severity, int32_t count, ...);
// EINVAL for a negative size, or one that leaves no room for the record header.
int slogb(int32_t code, int32_t severity, const void* data, int32_t size);

#ifdef __cplusplus
}
#endif

#endif
