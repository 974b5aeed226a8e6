// Arbitrary side-channel packets through the host logger's check and decode.
// For every packet: either a record and its byte count as the reply, or a
// complaint and a negative reply, as the wire format decides; the record's
// line is one line of printable text from which the record's text reads back.
// The same bytes taken as a /dev/slog file: the reader's pieces cover them
// exactly, each piece at least one byte, and a sound record ends at its zero.
#include "fuzz_check.h"
#include "slogger_proto.h"
#include "wire_bytes.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool printable(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// Whether the logger has to take a packet that holds both headers, from the
// wire format alone.
bool is_sound(const wire_message& message, std::size_t size) {
    const slog_msg_header& header = message.header;
    return header.type == SLOG_MSG_SIDE && header.header_len == sizeof header &&
           header.reserved[0] == 0 && header.reserved[1] == 0 && header.byte_count >= 0 &&
           static_cast<std::size_t>(header.byte_count) == size - sizeof header;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The bytes behind an escaped text; stops the run on an escape the logger
// never writes.
std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        require(i + 1 < text.size(), "no lone backslash at the end");
        const char kind = text[++i];
        if (kind == 'n' || kind == 't' || kind == '\\') {
            out += kind == 'n' ? '\n' : kind == 't' ? '\t' : '\\';
            continue;
        }
        require(kind == 'x' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
                    hex_digit(text[i + 2]) >= 0,
                "escapes are \\n, \\t, \\\\ or \\x and two hex digits");
        out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
        i += 2;
    }
    return out;
}

// Integers when the payload is whole words and no more than a record holds,
// else bytes; either way one item a word or byte.
void check_values(const std::string& values, std::size_t payload_size) {
    const bool ints = payload_size % 4 == 0 && payload_size / 4 <= SLOG_INTS_MAX;
    const std::size_t items = ints ? payload_size / 4 : payload_size;
    const std::string head = (ints ? "ints[" : "bytes[") + std::to_string(items) + "]:";
    require(values.compare(0, head.size(), head) == 0, "the values' kind and count");
    require(static_cast<std::size_t>(std::count(values.begin(), values.end(), ' ')) == items,
            "one value an item");
}

void check_line(const std::string& full_line, const wire_message& message) {
    require(printable(full_line), "the line is printable text");
    const std::string origin = "2026-12-08T12:00:00.000001Z 7 ";
    require(full_line.compare(0, origin.size(), origin) == 0, "time and pid first");
    const std::string line = full_line.substr(origin.size());
    const std::size_t name_end = line.find(' ');
    require(name_end != std::string::npos && name_end > 0, "a severity name");
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X ", static_cast<unsigned>(message.record.code));
    require(line.compare(name_end + 1, std::strlen(code), code) == 0, "then the record code");
    const std::string rest = line.substr(name_end + 1 + std::strlen(code));
    if ((message.record.severity & SLOG_TEXT_FLAG) != 0) {
        require(unescaped(rest) == message.payload.substr(0, message.payload.find('\0')),
                "the text reads back");
    } else {
        check_values(rest, message.payload.size());
    }
}

void check_file_pieces(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    for (;;) {
        const slogger::file_piece piece = slogger::next_piece(data + at, size - at, true);
        if (piece.kind == slogger::PIECE_END) {
            require(at == size, "the end only when all is taken");
            return;
        }
        require(piece.kind != slogger::PIECE_NEED_MORE, "at the end nothing waits");
        require(piece.size > 0 && piece.size <= size - at, "a piece takes bytes that are there");
        if (piece.kind == slogger::PIECE_RECORD) {
            const std::uint8_t* zero =
                std::find(data + at + sizeof(slog_record_header), data + at + piece.size, 0);
            require(zero == data + at + piece.size - 1, "a sound record ends at its first zero");
        }
        at += piece.size;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // As the logger receives it: a packet beyond its buffer arrives cut.
    const bool truncated = size > slogger::MAX_PACKET;
    const std::size_t kept = std::min(size, slogger::MAX_PACKET);
    const slogger::packet_outcome outcome = slogger::handle_packet(data, kept, truncated);
    check_file_pieces(data, kept);

    wire_message message;
    if (truncated || !read_wire_message(data, kept, &message) || !is_sound(message, kept)) {
        require(outcome.reply < 0, "a refused packet gets a negative reply");
        require(!outcome.complaint.empty() && printable(outcome.complaint),
                "a refused packet is complained about, on one line");
        return 0;
    }
    require(outcome.complaint.empty(), "a sound packet is not complained about");
    require(static_cast<std::size_t>(outcome.reply) == kept - sizeof(slog_msg_header),
            "a sound packet's reply is its byte count");
    const slogger::record_origin origin{"2026-12-08T12:00:00.000001Z", 7};
    check_line(slogger::format_line(outcome.record, origin, slogger::LINE_TEXT), message);
    return 0;
}
