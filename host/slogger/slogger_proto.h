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
inline constexpr std::size_t MSG_HEADER_SIZE = sizeof(slog_msg_header);
inline constexpr std::size_t RECORD_HEADER_SIZE = sizeof(slog_record_header);
// Largest record: what a largest packet carries behind its message header.
inline constexpr std::size_t MAX_RECORD = MAX_PACKET - MSG_HEADER_SIZE;

// One record, viewing the bytes it was decoded from.
struct record_view {
    std::uint32_t severity_word; // low three bits the severity, SLOG_TEXT_FLAG for a text
    std::uint32_t code;
    const unsigned char* payload; // a text without its terminating zero
    std::size_t payload_size;
};

// Who sent a record and when it arrived; neither is known of a record read
// from a /dev/slog file.
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

// The record behind a 12-byte header at `record`, with `payload_size` bytes
// of payload; a text ends at its first zero.
record_view decode_record(const unsigned char* record, std::size_t payload_size);

// 0 (shutdown, most severe) to 7 (debug2).
inline int severity_of(const record_view& record) {
    return static_cast<int>(record.severity_word & 7);
}

// The log line of a record, without newline. Text: time, pid, severity name,
// code as 0x and eight hex digits, then the record ("-" for what is absent).
// JSON: one object; see the manual page for its keys.
std::string format_line(const record_view& record, const record_origin& origin, line_format format);

// The program name a text record starts with (before ": "), and the rest;
// an empty name when there is none.
struct tagged_text {
    std::string program;
    std::string message; // the record as the text format shows it
};
tagged_text split_program(const record_view& record);

// `when` as 2026-12-08T12:00:00.123456Z.
std::string utc_time(const timespec& when);

// A severity given as a name of ours or of syslog's, in any case (warning,
// WARN), or as a number (3); -1 when neither.
int parse_severity(const std::string& text);

// An error given as a name (ENOSYS) or a number (38); 0 when neither.
int parse_error(const std::string& text);

// Finding the records in the bytes of a /dev/slog file. A write request puts
// exactly the record's bytes there, one record after another with nothing in
// between: a 12-byte header, then the payload. A text record ends at its
// terminating zero; an integer or binary record carries no length, so its end
// is taken to be where the next header begins, or the end of the file. A
// header is taken as one when its reserved word is zero and its severity word
// has no bit above the text flag; twelve zero bytes are filler, not a record.
// Bytes that start no record are skipped up to the next text record's header.
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

// What starts at `data`, of which `size` bytes are at hand; `at_end` when no
// more follow. Decides without more bytes once `size` reaches MAX_RECORD.
file_piece next_piece(const unsigned char* data, std::size_t size, bool at_end);

} // namespace slogger
