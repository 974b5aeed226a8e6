// System-log client: builds one record per call and delivers it to the system
// logger as one gathered message, over the side channel or a /dev/slog descriptor.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

inline constexpr int SLOG_SIDE_CHANNEL = 0x40000000;
inline constexpr std::uint16_t SLOG_MSG_WRITE = 0x102;
inline constexpr std::uint16_t SLOG_MSG_SIDE = 2;
inline constexpr std::int32_t SLOG_TEXT_FLAG = 8;
inline constexpr std::size_t SLOG_TEXT_MAX = 1016;
inline constexpr std::uint32_t SLOG_INTS_MAX = 32;
inline constexpr std::size_t SLOG_STACK_PLENTY = 2051;
inline constexpr std::size_t SLOG_STACK_HEADROOM = 128;
inline constexpr char SLOG_DEVICE[] = "/dev/slog";

// First part of every message. On a descriptor it is the standard write
// request header: the device receives only the byte_count record bytes.
struct slog_msg_header {
    std::uint16_t type;       // SLOG_MSG_WRITE or SLOG_MSG_SIDE, per send attempt
    std::uint16_t header_len; // 16
    std::int32_t byte_count;  // record bytes behind this header
    std::uint32_t reserved[2];
};
static_assert(sizeof(slog_msg_header) == 16);
static_assert(offsetof(slog_msg_header, type) == 0);
static_assert(offsetof(slog_msg_header, header_len) == 2);
static_assert(offsetof(slog_msg_header, byte_count) == 4);
static_assert(offsetof(slog_msg_header, reserved) == 8);

// First bytes of every record.
struct slog_record_header {
    std::int32_t severity; // text records carry SLOG_TEXT_FLAG as well
    std::int32_t code;
    std::uint32_t reserved; // written as zero
};
static_assert(sizeof(slog_record_header) == 12);
static_assert(offsetof(slog_record_header, severity) == 0);
static_assert(offsetof(slog_record_header, code) == 4);
static_assert(offsetof(slog_record_header, reserved) == 8);

// Each returns what the logger replied, or -1 with errno.
// Text: at most SLOG_TEXT_MAX - 1 characters; ENOMEM when the stack is short.
// A severity with SLOG_TEXT_FLAG set also echoes the text to standard error.
int slogf(std::int32_t code, std::int32_t severity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int vslogf(std::int32_t code, std::int32_t severity, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
// EINVAL for a count over SLOG_INTS_MAX or negative.
int slogi(std::int32_t code, std::int32_t severity, std::int32_t count, ...);
// EINVAL for a negative size, or one that leaves no room for the record header.
int slogb(std::int32_t code, std::int32_t severity, const void* data, std::int32_t size);
