// The host logger's protocol: checks one side-channel packet, decodes its
// record and writes it as one line of text or JSON, and says what to reply.
// No I/O here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "slog.h" // the wire format

namespace slogger {

// Largest packet taken whole; a larger one is refused with EMSGSIZE.
inline constexpr std::size_t max_packet = 65536;
inline constexpr std::size_t msg_header_size = sizeof(slog_msg_header);
inline constexpr std::size_t record_header_size = sizeof(slog_record_header);
// Largest record: what a largest packet carries behind its message header.
inline constexpr std::size_t max_record = max_packet - msg_header_size;

// One record, viewing the bytes it was decoded from.
struct Record {
    std::uint32_t severity_word; // low three bits the severity, SLOG_TEXT_FLAG for a text
    std::uint32_t code;
    const unsigned char* payload; // a text without its terminating zero
    std::size_t payload_size;
};

// Who sent a record and when it arrived; neither is known of a record read
// from a /dev/slog file.
struct Origin {
    std::string time; // RFC 3339, UTC, microseconds; empty when absent
    long pid;         // the sender's process id; 0 when absent
};

enum class Format { text, json };

struct Outcome {
    std::int32_t reply;    // the record's byte count, or a negated errno
    Record record;         // valid when the complaint is empty
    std::string complaint; // why the packet was refused; empty for a sound one
};

// Checks a packet of `size` bytes; `truncated` when it did not fit the buffer.
Outcome handle_packet(const unsigned char* packet, std::size_t size, bool truncated);

// The record behind a 12-byte header at `record`, with `payload_size` bytes
// of payload; a text ends at its first zero.
Record decode_record(const unsigned char* record, std::size_t payload_size);

// 0 (shutdown, most severe) to 7 (debug2).
inline int severity_of(const Record& record) {
    return static_cast<int>(record.severity_word & 7);
}

// The log line of a record, without newline. Text: time, pid, severity name,
// code as 0x and eight hex digits, then the record ("-" for what is absent).
// JSON: one object; see the manual page for its keys.
std::string format_line(const Record& record, const Origin& origin, Format format);

// The program name a text record starts with (before ": "), and the rest;
// an empty name when there is none.
struct Tagged {
    std::string program;
    std::string message; // the record as the text format shows it
};
Tagged split_program(const Record& record);

// `when` as 2026-12-08T12:00:00.123456Z.
std::string utc_time(const timespec& when);

// A severity given as a name of ours or of syslog's, in any case (warning,
// WARN), or as a number (3); -1 when neither.
int parse_severity(const std::string& text);

// An error given as a name (ENOSYS) or a number (38); 0 when neither.
int parse_error(const std::string& text);

} // namespace slogger
