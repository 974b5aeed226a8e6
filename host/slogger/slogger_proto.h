// The host logger's formats: checks one side-channel packet, decodes its
// record and writes it as one line of text or JSON, and says what to reply;
// finds the records in the bytes of a /dev/slog file. No I/O here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "slog.h" // the wire format

namespace slogger {

// Largest packet taken whole; a larger one is refused with EMSGSIZE.
inline constexpr std::size_t MAX_PACKET = 65536;
// Largest record: what a largest packet carries behind its message header.
inline constexpr std::size_t MAX_RECORD = MAX_PACKET - sizeof(slog_msg_header);

// One record, viewing the bytes it was decoded from.
struct record_view {
    std::uint32_t severity_word; // low three bits the severity, SLOG_TEXT_FLAG for a text
    std::uint32_t code;
    const unsigned char* payload; // a text without its terminating zero
    std::size_t payload_size;
};

// Who sent a record and when it arrived; unknown for a /dev/slog file's.
struct record_origin {
    std::string time; // RFC 3339, UTC, microseconds; empty when absent
    long pid;         // the sender's process id; 0 when absent
};

enum line_format { LINE_TEXT, LINE_JSON };

struct packet_outcome {
    std::int32_t reply;    // the record's byte count, or a negated errno
    record_view record;    // valid when the complaint is empty
    std::string complaint; // why the packet was refused; empty for a sound one
};

// Checks a packet of `size` bytes; `truncated` when it did not fit the buffer.
packet_outcome handle_packet(const unsigned char* packet, std::size_t size, bool truncated);

// The record behind a header at `record`; a text ends at its first zero.
record_view decode_record(const unsigned char* record, std::size_t payload_size);

// 0 (shutdown, most severe) to 7 (debug2).
inline int severity_of(const record_view& record) {
    return static_cast<int>(record.severity_word & 7);
}

// The line of a record, without newline. Text: time, pid, severity name, code
// as 0x and 8 hex digits, the record ("-" for what is absent); or JSON.
std::string format_line(const record_view& record, const record_origin& origin, line_format format);

// The program name a text record starts with (before ": "), or none, and
// the rest of the record as the text format shows it.
struct tagged_text {
    std::string program;
    std::string message;
};
tagged_text split_program(const record_view& record);

// `when` as 2026-12-08T12:00:00.123456Z.
std::string utc_time(const timespec& when);

// A severity named as we or syslog do, in any case (warning, WARN), or 0 to 7; else -1.
int parse_severity(const std::string& text);

// An error given as a name (ENOSYS) or a number (38); 0 when neither.
int parse_error(const std::string& text);

// Decimal digits alone, up to `most` (below LLONG_MAX / 10); else -1: no
// sign, no blank, no wrap-around to a huge count.
long long parse_count(const char* text, long long most);

// The records of a /dev/slog file (slog_file.cpp): each write put one record,
// a 12-byte header and its payload, behind the last. A text ends at its zero;
// an integer or binary record has no length, so it is taken to end where the
// next header begins. A header has a zero reserved word and no severity bit
// above the text flag; twelve zero bytes are filler. Junk is skipped up to the
// next text record's header.
enum piece_kind {
    PIECE_END,       // nothing left
    PIECE_NEED_MORE, // read more and ask again
    PIECE_RECORD,    // a sound text record
    PIECE_UNSIZED,   // an integer or binary record whose end was guessed
    PIECE_CUT_OFF,   // a text record without its terminating zero
    PIECE_GARBLED,   // bytes that start no record, or a header cut off by the end
};

struct file_piece {
    piece_kind kind;
    std::size_t size; // the bytes it takes from the front of the stream
};

// What starts at `data`, `size` bytes at hand, `at_end` when no more follow;
// decided without more bytes once `size` reaches MAX_RECORD.
file_piece next_piece(const unsigned char* data, std::size_t size, bool at_end);

} // namespace slogger
