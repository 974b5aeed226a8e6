// Arbitrary side-channel packets through the host logger's check and decode.
// For every packet: either a line and the record's byte count as the reply, or
// no line, a complaint and a negative reply, as the wire format decides; the
// line is one line of printable text from which the record's text reads back.
#include "fuzz_check.h"
#include "slogger_proto.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool printable(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// Whether the logger has to take the packet, from the wire format alone.
bool is_sound(const std::uint8_t* packet, std::size_t size, bool truncated) {
    constexpr std::size_t headers = sizeof(slog_msg_header) + sizeof(slog_record_header);
    if (truncated || size < headers) {
        return false;
    }
    slog_msg_header header;
    std::memcpy(&header, packet, sizeof header);
    return header.type == SLOG_MSG_SIDE && header.header_len == sizeof header &&
           header.reserved[0] == 0 && header.reserved[1] == 0 && header.byte_count >= 0 &&
           static_cast<std::size_t>(header.byte_count) == size - sizeof header;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
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

void check_line(const std::string& line, const std::uint8_t* record, std::size_t payload_size) {
    require(printable(line), "the line is printable text");
    slog_record_header header;
    std::memcpy(&header, record, sizeof header);
    const std::size_t name_end = line.find(' ');
    require(name_end != std::string::npos && name_end > 0, "a severity name first");
    const std::string code = std::to_string(static_cast<std::uint32_t>(header.code)) + ' ';
    require(line.compare(name_end + 1, code.size(), code) == 0, "then the record code");
    const std::string rest = line.substr(name_end + 1 + code.size());
    const std::uint8_t* payload = record + sizeof header;
    if ((header.severity & SLOG_TEXT_FLAG) != 0) {
        const std::uint8_t* end = std::find(payload, payload + payload_size, 0);
        require(unescaped(rest) == std::string(payload, end), "the text reads back");
    } else {
        check_values(rest, payload_size);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // As the logger receives it: a packet beyond its buffer arrives cut.
    const bool truncated = size > slogger::max_packet;
    const std::size_t kept = std::min(size, slogger::max_packet);
    const slogger::Outcome outcome = slogger::handle_packet(data, kept, truncated);

    if (!is_sound(data, kept, truncated)) {
        require(outcome.reply < 0, "a refused packet gets a negative reply");
        require(outcome.line.empty(), "a refused packet logs nothing");
        require(!outcome.complaint.empty() && printable(outcome.complaint),
                "a refused packet is complained about, on one line");
        return 0;
    }
    require(outcome.complaint.empty(), "a sound packet is not complained about");
    require(static_cast<std::size_t>(outcome.reply) == kept - sizeof(slog_msg_header),
            "a sound packet's reply is its byte count");
    check_line(outcome.line, data + sizeof(slog_msg_header),
               kept - sizeof(slog_msg_header) - sizeof(slog_record_header));
    return 0;
}
