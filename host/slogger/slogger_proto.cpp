#include "slogger_proto.h"

#include "wire_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <strings.h>

namespace slogger {

namespace {

// The system logger's scale, 0 most severe (the programs log at 2 and 5), by
// name; then the names of syslog's that --min-severity takes too, each for the
// most severe level of ours that syslog(3) would file at or above it.
struct severity_name {
    const char* name;
    int severity;
};
constexpr severity_name SEVERITIES[] = {
    {"shutdown", 0}, {"critical", 1}, {"error", 2},  {"warning", 3}, {"notice", 4},
    {"info", 5},     {"debug1", 6},   {"debug2", 7}, {"emerg", 0},   {"panic", 0},
    {"alert", 0},    {"crit", 1},     {"err", 2},    {"warn", 3},    {"debug", 7}};

// Text by its flag; otherwise whole words up to what an integer record
// holds are integers, anything else raw bytes.
enum payload_kind { PAYLOAD_TEXT, PAYLOAD_INTS, PAYLOAD_BYTES };

payload_kind kind_of(const record_view& record) {
    const bool words = record.payload_size % 4 == 0 && record.payload_size / 4 <= SLOG_INTS_MAX;
    return (record.severity_word & SLOG_TEXT_FLAG) != 0 ? PAYLOAD_TEXT
           : words                                      ? PAYLOAD_INTS
                                                        : PAYLOAD_BYTES;
}

// Appends the integers or bytes of a record that is not a text, `separator`
// between (0: none, for bytes).
void append_values(std::string& out, const record_view& record, payload_kind kind, char separator) {
    if (kind == PAYLOAD_BYTES) {
        wire::append_hex(out, record.payload, record.payload_size, separator);
        return;
    }
    for (std::size_t i = 0; i < record.payload_size / 4; ++i) {
        if (i != 0) {
            out += separator;
        }
        out += std::to_string(static_cast<std::int32_t>(wire::le32(record.payload + 4 * i)));
    }
}

packet_outcome refuse(int error, std::string complaint) {
    return {-error, {}, std::move(complaint)};
}

// What follows the code in a text line: the escaped text, or the values.
std::string body_text(const record_view& record) {
    const payload_kind kind = kind_of(record);
    if (kind == PAYLOAD_TEXT) {
        std::string body;
        wire::append_c_escaped(body, record.payload, record.payload_size, false);
        return body;
    }
    const std::size_t count = kind == PAYLOAD_INTS ? record.payload_size / 4 : record.payload_size;
    std::string body = (kind == PAYLOAD_INTS ? "ints[" : "bytes[") + std::to_string(count) +
                       (count != 0 ? "]: " : "]:");
    append_values(body, record, kind, ' ');
    return body;
}

std::string json_line(const record_view& record, const record_origin& origin) {
    std::string line = "{\"time\":" + (origin.time.empty() ? "null" : '"' + origin.time + '"');
    line += ",\"pid\":" + (origin.pid > 0 ? std::to_string(origin.pid) : "null");
    line += ",\"severity\":\"" + std::string(SEVERITIES[severity_of(record)].name) + '"';
    line += ",\"severity_value\":" + std::to_string(severity_of(record));
    line += ",\"code\":" + std::to_string(record.code);
    const payload_kind kind = kind_of(record);
    if (kind == PAYLOAD_TEXT) {
        line += ",\"text\":";
        wire::append_json_string(line, record.payload, record.payload_size);
    } else {
        line += kind == PAYLOAD_INTS ? ",\"ints\":[" : ",\"bytes\":\"";
        append_values(line, record, kind, kind == PAYLOAD_INTS ? ',' : 0);
        line += kind == PAYLOAD_INTS ? ']' : '"';
    }
    return line + '}';
}

} // namespace

record_view decode_record(const unsigned char* record, std::size_t payload_size) {
    slog_record_header header;
    std::memcpy(&header, record, sizeof header);
    const unsigned char* payload = record + sizeof header;
    if (header.severity & SLOG_TEXT_FLAG) {
        payload_size = std::find(payload, payload + payload_size, 0) - payload;
    }
    return {static_cast<std::uint32_t>(header.severity), static_cast<std::uint32_t>(header.code),
            payload, payload_size};
}

std::string format_line(const record_view& record, const record_origin& origin,
                        line_format format) {
    if (format == LINE_JSON) {
        return json_line(record, origin);
    }
    char code[16];
    std::snprintf(code, sizeof code, " 0x%08X ", static_cast<unsigned>(record.code));
    return (origin.time.empty() ? "-" : origin.time) + ' ' +
           (origin.pid > 0 ? std::to_string(origin.pid) : "-") + ' ' +
           SEVERITIES[severity_of(record)].name + code + body_text(record);
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
    slog_msg_header header;
    if (size < sizeof header) {
        return refuse(EINVAL, "short packet (" + std::to_string(size) + " bytes)");
    }
    std::memcpy(&header, packet, sizeof header);
    if (header.type != SLOG_MSG_SIDE) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%#x", header.type);
        return refuse(EINVAL, std::string("message type ") + hex + " is not a record");
    }
    if (header.header_len != sizeof header) {
        return refuse(EINVAL, "header length " + std::to_string(header.header_len) + ", not 16");
    }
    if (header.reserved[0] != 0 || header.reserved[1] != 0) {
        return refuse(EINVAL, "reserved header words not zero");
    }
    const std::size_t behind = size - sizeof header;
    if (header.byte_count < 0 || static_cast<std::size_t>(header.byte_count) != behind) {
        return refuse(EINVAL, "byte count " + std::to_string(header.byte_count) + " but " +
                                  std::to_string(behind) + " bytes follow the header");
    }
    if (behind < sizeof(slog_record_header)) {
        return refuse(EINVAL, "record shorter than its 12-byte header");
    }
    return {header.byte_count,
            decode_record(packet + sizeof header, behind - sizeof(slog_record_header)),
            {}};
}

int parse_severity(const std::string& text) {
    for (const severity_name& known : SEVERITIES) {
        if (strcasecmp(text.c_str(), known.name) == 0) {
            return known.severity;
        }
    }
    const bool digit = text.size() == 1 && text[0] >= '0' && text[0] <= '7';
    return digit ? text[0] - '0' : -1;
}

int parse_error(const std::string& text) {
    constexpr int MOST = 4095; // the errors a reply can carry
    for (int error = 1; error <= MOST; ++error) {
        if (const char* name = strerrorname_np(error); name != nullptr && text == name) {
            return error;
        }
    }
    // The one POSIX name the C library gives under another: EOPNOTSUPP.
    const long long number = text == "ENOTSUP" ? ENOTSUP : parse_count(text.c_str(), MOST);
    return static_cast<int>(std::max(number, 0LL));
}

long long parse_count(const char* text, long long most) {
    long long value = 0;
    for (const char* digit = text; *digit >= '0' && *digit <= '9'; ++digit) {
        value = value * 10 + (*digit - '0');
        if (value > most || digit[1] == '\0') {
            return value <= most ? value : -1;
        }
    }
    return -1;
}

} // namespace slogger
