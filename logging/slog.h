/* System-log client: builds one record per call and delivers it to the system
 * logger as one gathered message, over the side channel or a /dev/slog
 * descriptor. For C (C89 on) and C++ (C++11 on) callers alike: constants are
 * macros, the calls have C linkage, and the header defines no macro without
 * the SLOG_ prefix. */
#ifndef SLOG_SLOG_H
#define SLOG_SLOG_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#ifdef __cplusplus
#include <cstdarg> /* the std:: names C++ callers use */
#include <cstddef>
#include <cstdint>
#endif

/* Each constant has the type the records and callers use: a braced
 * conversion in C++, which no cast warning objects to, a cast in C. */
#ifdef __cplusplus
/* NOLINTNEXTLINE(bugprone-macro-parentheses): a type in parentheses is a cast */
#define SLOG_CONSTANT(type, value) (type{value})
#else
#define SLOG_CONSTANT(type, value) ((type)(value))
#endif

#define SLOG_SIDE_CHANNEL 0x40000000
#define SLOG_MSG_WRITE SLOG_CONSTANT(uint16_t, 0x102)
#define SLOG_MSG_SIDE SLOG_CONSTANT(uint16_t, 2)
#define SLOG_TEXT_FLAG SLOG_CONSTANT(int32_t, 8)
#define SLOG_TEXT_MAX SLOG_CONSTANT(size_t, 1016)
#define SLOG_INTS_MAX SLOG_CONSTANT(uint32_t, 32)
#define SLOG_STACK_PLENTY SLOG_CONSTANT(size_t, 2051)
#define SLOG_STACK_HEADROOM SLOG_CONSTANT(size_t, 128)
#define SLOG_DEVICE "/dev/slog"

/* Only GCC and clang check format strings; elsewhere the attribute is dropped. */
#if defined(__GNUC__) || defined(__clang__)
#define SLOG_PRINTF_LIKE(format_index, first_arg)                                                  \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define SLOG_PRINTF_LIKE(format_index, first_arg)
#endif

/* First part of every message. On a descriptor it is the standard write
 * request header: the device receives only the byte_count record bytes. */
typedef struct slog_msg_header {
    uint16_t type;       /* SLOG_MSG_WRITE or SLOG_MSG_SIDE, per send attempt */
    uint16_t header_len; /* 16 */
    int32_t byte_count;  /* record bytes behind this header */
    uint32_t reserved[2];
} slog_msg_header;

/* First bytes of every record. */
typedef struct slog_record_header {
    int32_t severity; /* text records carry SLOG_TEXT_FLAG as well */
    int32_t code;
    uint32_t reserved; /* written as zero */
} slog_record_header;

/* C before C11 has no static assertion; the library's own build checks there.
 * The C form is the keyword itself: <assert.h> would replace a program's own
 * assert. */
#if defined(__cplusplus)
#define SLOG_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define SLOG_STATIC_ASSERT _Static_assert
#endif
#ifdef SLOG_STATIC_ASSERT
SLOG_STATIC_ASSERT(sizeof(slog_msg_header) == 16, "message header is 16 bytes");
SLOG_STATIC_ASSERT(offsetof(slog_msg_header, type) == 0, "type at 0");
SLOG_STATIC_ASSERT(offsetof(slog_msg_header, header_len) == 2, "header_len at 2");
SLOG_STATIC_ASSERT(offsetof(slog_msg_header, byte_count) == 4, "byte_count at 4");
SLOG_STATIC_ASSERT(offsetof(slog_msg_header, reserved) == 8, "reserved at 8");
SLOG_STATIC_ASSERT(sizeof(slog_record_header) == 12, "record header is 12 bytes");
SLOG_STATIC_ASSERT(offsetof(slog_record_header, severity) == 0, "severity at 0");
SLOG_STATIC_ASSERT(offsetof(slog_record_header, code) == 4, "code at 4");
SLOG_STATIC_ASSERT(offsetof(slog_record_header, reserved) == 8, "reserved at 8");
#undef SLOG_STATIC_ASSERT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Each returns what the logger replied, or -1 with errno.
 * Text: at most SLOG_TEXT_MAX - 1 characters; ENOMEM when the stack is short.
 * A severity with SLOG_TEXT_FLAG set also echoes the text to standard error. */
int slogf(int32_t code, int32_t severity, const char* format, ...) SLOG_PRINTF_LIKE(3, 4);
int vslogf(int32_t code, int32_t severity, const char* format, va_list args) SLOG_PRINTF_LIKE(3, 0);
/* EINVAL for a count over SLOG_INTS_MAX or negative. */
int slogi(int32_t code, int32_t severity, int32_t count, ...);
/* EINVAL for a negative size, or one that leaves no room for the record header. */
int slogb(int32_t code, int32_t severity, const void* data, int32_t size);

#ifdef __cplusplus
}
#endif

#endif
