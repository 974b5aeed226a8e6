#include "slogger_proto.h"

#include "wire_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <strings.h>

namespace slogger {

namespace {

// The system logger's scale: 0 most severe; the programs log at 2 and 5.
constexpr const char* SEVERITY_NAMES[8] = {"shutdown", "critical", "error",  "warning",
                                           "notice",   "info",     "debug1", "debug2"};

// Further names --min-severity takes: the usual syslog ones, each for the
// most severe level of ours that syslog(3) would file at or above it.
struct severity_alias {
    const char* name;
    int severity;
};
constexpr severity_alias SYSLOG_SEVERITIES[] = {
    {"emerg", 0}, {"panic", 0}, {"alert", 0}, {"crit", 1}, {"err", 2}, {"warn", 3}, {"debug", 7}};

struct error_name {
    std::string_view name;
    int value;
};

constexpr error_name ERROR_NAMES[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},       {"EINTR", EINTR},     {"EIO", EIO},
    {"EBADF", EBADF},   {"EAGAIN", EAGAIN},       {"ENOMEM", ENOMEM},   {"EACCES", EACCES},
    {"EBUSY", EBUSY},   {"EEXIST", EEXIST},       {"ENODEV", ENODEV},   {"EINVAL", EINVAL},
    {"ENOSPC", ENOSPC}, {"EPIPE", EPIPE},         {"ENOSYS", ENOSYS},   {"EMSGSIZE", EMSGSIZE},
    {"EPROTO", EPROTO}, {"ETIMEDOUT", ETIMEDOUT}, {"ENOTSUP", ENOTSUP}, {"ECONNRESET", ECONNRESET},
};

enum payload_kind { PAYLOAD_TEXT, PAYLOAD_INTS, PAYLOAD_BYTES };

// Text by its flag; otherwise whole words up to what an integer record
// holds are integers, anything else raw bytes.
payload_kind kind_of(const record_view& record) {
    if (record.severity_word & SLOG_TEXT_FLAG) {
        return PAYLOAD_TEXT;
    }
    const bool words = record.payload_size % 4 == 0 && record.payload_size / 4 <= SLOG_INTS_MAX;
    return words ? PAYLOAD_INTS : PAYLOAD_BYTES;
}

std::int32_t int_at(const record_view& record, std::size_t index) {
    return static_cast<std::int32_t>(wire::le32(record.payload + 4 * index));
}

packet_outcome refuse(int error, std::string complaint) {
    return {-error, {}, std::move(complaint)};
}

// What follows the code in a text line: the escaped text, or the values.
std::string body_text(const record_view& record) {
    std::string body;
    switch (kind_of(record)) {
    case PAYLOAD_TEXT:
        wire::append_c_escaped(body, record.payload, record.payload_size, false);
        break;
    case PAYLOAD_INTS:
        body = "ints[" + std::to_string(record.payload_size / 4) + "]:";
        for (std::size_t i = 0; i < record.payload_size / 4; ++i) {
            body += ' ' + std::to_string(int_at(record, i));
        }
        break;
    case PAYLOAD_BYTES:
        body = "bytes[" + std::to_string(record.payload_size) + "]:";
        body += record.payload_size != 0 ? " " : "";
        wire::append_hex(body, record.payload, record.payload_size, ' ');
        break;
    }
    return body;
}

std::string text_line(const record_view& record, const record_origin& origin) {
    char code[16];
    std::snprintf(code, sizeof code, " 0x%08X ", static_cast<unsigned>(record.code));
    return (origin.time.empty() ? "-" : origin.time) + ' ' +
           (origin.pid > 0 ? std::to_string(origin.pid) : "-") + ' ' +
           SEVERITY_NAMES[severity_of(record)] + code + body_text(record);
}

std::string json_line(const record_view& record, const record_origin& origin) {
    std::string line = "{\"time\":";
    if (origin.time.empty()) {
        line += "null";
    } else {
        line += '"' + origin.time + '"';
    }
    line += ",\"pid\":" + (origin.pid > 0 ? std::to_string(origin.pid) : "null");
    line += ",\"severity\":\"" + std::string(SEVERITY_NAMES[severity_of(record)]) + '"';
    line += ",\"severity_value\":" + std::to_string(severity_of(record));
    line += ",\"code\":" + std::to_string(record.code);
    switch (kind_of(record)) {
    case PAYLOAD_TEXT:
        line += ",\"text\":";
        wire::append_json_string(line, record.payload, record.payload_size);
        break;
    case PAYLOAD_INTS:
        line += ",\"ints\":[";
        for (std::size_t i = 0; i < record.payload_size / 4; ++i) {
            line += (i == 0 ? "" : ",") + std::to_string(int_at(record, i));
        }
        line += ']';
        break;
    case PAYLOAD_BYTES:
        line += ",\"bytes\":\"";
        wire::append_hex(line, record.payload, record.payload_size, 0);
        line += '"';
        break;
    }
    return line + '}';
}

} // namespace

record_view decode_record(const unsigned char* record, std::size_t payload_size) {
    record_view decoded{wire::le32(record), wire::le32(record + 4), record + RECORD_HEADER_SIZE,
                        payload_size};
    if (decoded.severity_word & SLOG_TEXT_FLAG) {
        std::size_t length = 0;
        while (length < payload_size && decoded.payload[length] != 0) {
            ++length;
        }
        decoded.payload_size = length;
    }
    return decoded;
}

std::string format_line(const record_view& record, const record_origin& origin,
                        line_format format) {
    return format == LINE_JSON ? json_line(record, origin) : text_line(record, origin);
}

tagged_text split_program(const record_view& record) {
    std::string body = body_text(record);
    // A name is one word: "kestrune", not a sentence that happens to hold ": ".
    const std::size_t colon = body.find(": ");
    if (kind_of(record) != PAYLOAD_TEXT || colon == 0 || colon == std::string::npos || colon > 64 ||
        body.find_first_of(" \\", 0) < colon) {
        return {{}, body};
    }
    return {body.substr(0, colon), body.substr(colon + 2)};
}

std::string utc_time(const timespec& when) {
    std::tm parts{};
    gmtime_r(&when.tv_sec, &parts);
    char text[40];
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%06ldZ", when.tv_nsec / 1000);
    return text;
}

packet_outcome handle_packet(const unsigned char* packet, std::size_t size, bool truncated) {
    if (truncated) {
        return refuse(EMSGSIZE, "packet larger than " + std::to_string(MAX_PACKET) + " bytes");
    }
    if (size < MSG_HEADER_SIZE) {
        return refuse(EINVAL, "short packet (" + std::to_string(size) + " bytes)");
    }
    std::uint16_t type = wire::le16(packet);
    if (type != SLOG_MSG_SIDE) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%#x", type);
        return refuse(EINVAL, std::string("message type ") + hex + " is not a record");
    }
    std::uint16_t header_size = wire::le16(packet + 2);
    if (header_size != MSG_HEADER_SIZE) {
        return refuse(EINVAL, "header length " + std::to_string(header_size) + ", not 16");
    }
    if (wire::le32(packet + 8) != 0 || wire::le32(packet + 12) != 0) {
        return refuse(EINVAL, "reserved header words not zero");
    }
    auto byte_count = static_cast<std::int32_t>(wire::le32(packet + 4));
    std::size_t behind = size - MSG_HEADER_SIZE;
    if (byte_count < 0 || static_cast<std::size_t>(byte_count) != behind) {
        return refuse(EINVAL, "byte count " + std::to_string(byte_count) + " but " +
                                  std::to_string(behind) + " bytes follow the header");
    }
    if (behind < RECORD_HEADER_SIZE) {
        return refuse(EINVAL, "record shorter than its 12-byte header");
    }
    return {byte_count, decode_record(packet + MSG_HEADER_SIZE, behind - RECORD_HEADER_SIZE), {}};
}

int parse_severity(const std::string& text) {
    for (int severity = 0; severity < 8; ++severity) {
        if (strcasecmp(text.c_str(), SEVERITY_NAMES[severity]) == 0) {
            return severity;
        }
    }
    for (const severity_alias& alias : SYSLOG_SEVERITIES) {
        if (strcasecmp(text.c_str(), alias.name) == 0) {
            return alias.severity;
        }
    }
    const bool digit = text.size() == 1 && text[0] >= '0' && text[0] <= '7';
    return digit ? text[0] - '0' : -1;
}

int parse_error(const std::string& text) {
    for (const error_name& entry : ERROR_NAMES) {
        if (entry.name == text) {
            return entry.value;
        }
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    const bool number = !text.empty() && *end == '\0' && errno == 0 && value >= 1 && value <= 4095;
    return number ? static_cast<int>(value) : 0;
}

namespace {

bool is_text_header(const unsigned char* header) {
    std::uint32_t severity = wire::le32(header);
    return severity >= SLOG_TEXT_FLAG && severity <= (SLOG_TEXT_FLAG | 7) &&
           wire::le32(header + 8) == 0;
}

bool is_other_header(const unsigned char* header) {
    std::uint32_t severity = wire::le32(header);
    return severity < SLOG_TEXT_FLAG && wire::le32(header + 8) == 0 &&
           (severity | wire::le32(header + 4)) != 0;
}

// The first header at or after `from` wholly within `size` bytes, or 0;
// with `any` of either kind, else of a text record.
std::size_t next_header(const unsigned char* data, std::size_t from, std::size_t size, bool any) {
    for (std::size_t at = from; at + RECORD_HEADER_SIZE <= size; ++at) {
        if (is_text_header(data + at) || (any && is_other_header(data + at))) {
            return at;
        }
    }
    return 0;
}

} // namespace

file_piece next_piece(const unsigned char* data, std::size_t size, bool at_end) {
    const bool full = size >= MAX_RECORD;
    const std::size_t window = full ? MAX_RECORD : size;
    if (size == 0 && at_end) {
        return {PIECE_END, 0};
    }
    if (size < RECORD_HEADER_SIZE) {
        return at_end ? file_piece{PIECE_GARBLED, size} : file_piece{PIECE_NEED_MORE, 0};
    }

    if (is_text_header(data)) {
        const auto* zero = static_cast<const unsigned char*>(
            std::memchr(data + RECORD_HEADER_SIZE, 0, window - RECORD_HEADER_SIZE));
        if (zero != nullptr) {
            return {PIECE_RECORD, static_cast<std::size_t>(zero - data) + 1};
        }
        // Cut by the end of the file, or longer than any record: either way
        // the text is all there is of it.
        if (at_end || full) {
            return {PIECE_CUT_OFF, window};
        }
        return {PIECE_NEED_MORE, 0};
    }
    if (is_other_header(data)) {
        std::size_t next = next_header(data, RECORD_HEADER_SIZE, window, true);
        if (next != 0) {
            return {PIECE_UNSIZED, next};
        }
        if (at_end || full) {
            return {PIECE_UNSIZED, window};
        }
        return {PIECE_NEED_MORE, 0};
    }
    // Junk is left only for a text header: too much junk looks like another.
    std::size_t next = next_header(data, 1, window, false);
    if (next != 0) {
        return {PIECE_GARBLED, next};
    }
    if (at_end) {
        return {PIECE_GARBLED, window};
    }
    // Keep what may be the start of a header cut by the end of the window.
    if (full) {
        return {PIECE_GARBLED, window - (RECORD_HEADER_SIZE - 1)};
    }
    return {PIECE_NEED_MORE, 0};
}

} // namespace slogger
