// The host logger's protocol: checks one side-channel packet, decodes its
// record into one output line and says what to reply. No I/O here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "slog.h" // the wire format

namespace slogger {

// Largest packet taken whole; a larger one is refused with EMSGSIZE.
inline constexpr std::size_t max_packet = 65536;
inline constexpr std::size_t msg_header_size = sizeof(slog_msg_header);
inline constexpr std::size_t record_header_size = sizeof(slog_record_header);

struct Outcome {
    std::int32_t reply;    // the record's byte count, or a negated errno
    std::string line;      // the log line, without newline; empty when nothing is logged
    std::string complaint; // why the packet was refused; empty for a sound one
};

// Checks a packet of `size` bytes; `truncated` when it did not fit the buffer.
Outcome handle_packet(const unsigned char* packet, std::size_t size, bool truncated);

// One line for a record: its 12-byte header, then `payload_size` bytes.
std::string format_record(const unsigned char* record, std::size_t payload_size);

// C-style escape so that any text stays on one line.
std::string escape_text(const unsigned char* text, std::size_t size);

// An error given as a name (ENOSYS) or a number (38); 0 when neither.
int parse_error(const std::string& text);

} // namespace slogger
