#include "slogger_proto.h"

#include "wire_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <strings.h>

namespace slogger {

namespace {

// The system logger's scale: 0 most severe; the programs log at 2 and 5.
constexpr const char* severity_names[8] = {"shutdown", "critical", "error",  "warning",
                                           "notice",   "info",     "debug1", "debug2"};

// Further names --min-severity takes: the usual syslog ones, each for the
// most severe level of ours that syslog(3) would file at or above it.
struct SeverityName {
    const char* name;
    int severity;
};
constexpr SeverityName syslog_severities[] = {{"emerg", 0}, {"panic", 0}, {"alert", 0}, {"crit", 1},
                                              {"err", 2},   {"warn", 3},  {"debug", 7}};

struct ErrorName {
    std::string_view name;
    int value;
};

constexpr ErrorName error_names[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},       {"EINTR", EINTR},     {"EIO", EIO},
    {"EBADF", EBADF},   {"EAGAIN", EAGAIN},       {"ENOMEM", ENOMEM},   {"EACCES", EACCES},
    {"EBUSY", EBUSY},   {"EEXIST", EEXIST},       {"ENODEV", ENODEV},   {"EINVAL", EINVAL},
    {"ENOSPC", ENOSPC}, {"EPIPE", EPIPE},         {"ENOSYS", ENOSYS},   {"EMSGSIZE", EMSGSIZE},
    {"EPROTO", EPROTO}, {"ETIMEDOUT", ETIMEDOUT}, {"ENOTSUP", ENOTSUP}, {"ECONNRESET", ECONNRESET},
};

enum class Kind { text, ints, bytes };

// Text by its flag; otherwise whole words up to what an integer record
// holds are integers, anything else raw bytes.
Kind kind_of(const Record& record) {
    if (record.severity_word & SLOG_TEXT_FLAG)
        return Kind::text;
    if (record.payload_size % 4 == 0 && record.payload_size / 4 <= SLOG_INTS_MAX)
        return Kind::ints;
    return Kind::bytes;
}

std::int32_t int_at(const Record& record, std::size_t index) {
    return static_cast<std::int32_t>(wire::le32(record.payload + 4 * index));
}

Outcome refuse(int error, std::string complaint) {
    return {-error, {}, std::move(complaint)};
}

// What follows the code in a text line: the escaped text, or the values.
std::string body_text(const Record& record) {
    std::string body;
    switch (kind_of(record)) {
    case Kind::text:
        wire::append_c_escaped(body, record.payload, record.payload_size, false);
        break;
    case Kind::ints:
        body = "ints[" + std::to_string(record.payload_size / 4) + "]:";
        for (std::size_t i = 0; i < record.payload_size / 4; ++i)
            body += ' ' + std::to_string(int_at(record, i));
        break;
    case Kind::bytes:
        body = "bytes[" + std::to_string(record.payload_size) + "]:";
        if (record.payload_size != 0)
            body += ' ';
        wire::append_hex(body, record.payload, record.payload_size, ' ');
        break;
    }
    return body;
}

std::string text_line(const Record& record, const Origin& origin) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(record.code));
    std::string line = origin.time.empty() ? "-" : origin.time;
    line += ' ';
    line += origin.pid > 0 ? std::to_string(origin.pid) : "-";
    line += ' ';
    line += severity_names[severity_of(record)];
    line += ' ';
    line += code;
    line += ' ';
    return line + body_text(record);
}

std::string json_line(const Record& record, const Origin& origin) {
    std::string line = "{\"time\":";
    if (origin.time.empty()) {
        line += "null";
    } else {
        line += '"' + origin.time + '"';
    }
    line += ",\"pid\":" + (origin.pid > 0 ? std::to_string(origin.pid) : "null");
    line += ",\"severity\":\"" + std::string(severity_names[severity_of(record)]) + '"';
    line += ",\"severity_value\":" + std::to_string(severity_of(record));
    line += ",\"code\":" + std::to_string(record.code);
    switch (kind_of(record)) {
    case Kind::text:
        line += ",\"text\":";
        wire::append_json_string(line, record.payload, record.payload_size);
        break;
    case Kind::ints:
        line += ",\"ints\":[";
        for (std::size_t i = 0; i < record.payload_size / 4; ++i)
            line += (i == 0 ? "" : ",") + std::to_string(int_at(record, i));
        line += ']';
        break;
    case Kind::bytes:
        line += ",\"bytes\":\"";
        wire::append_hex(line, record.payload, record.payload_size, 0);
        line += '"';
        break;
    }
    return line + '}';
}

} // namespace

Record decode_record(const unsigned char* record, std::size_t payload_size) {
    Record decoded{wire::le32(record), wire::le32(record + 4), record + record_header_size,
                   payload_size};
    if (decoded.severity_word & SLOG_TEXT_FLAG) {
        std::size_t length = 0;
        while (length < payload_size && decoded.payload[length] != 0)
            ++length;
        decoded.payload_size = length;
    }
    return decoded;
}

std::string format_line(const Record& record, const Origin& origin, Format format) {
    return format == Format::json ? json_line(record, origin) : text_line(record, origin);
}

Tagged split_program(const Record& record) {
    std::string body = body_text(record);
    if (kind_of(record) != Kind::text)
        return {{}, body};
    // A name is one word: "kestrune", not a sentence that happens to hold ": ".
    std::size_t colon = body.find(": ");
    if (colon == 0 || colon == std::string::npos || colon > 64 ||
        body.find_first_of(" \\", 0) < colon)
        return {{}, body};
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

Outcome handle_packet(const unsigned char* packet, std::size_t size, bool truncated) {
    if (truncated)
        return refuse(EMSGSIZE, "packet larger than " + std::to_string(max_packet) + " bytes");
    if (size < msg_header_size)
        return refuse(EINVAL, "short packet (" + std::to_string(size) + " bytes)");
    std::uint16_t type = wire::le16(packet);
    if (type != SLOG_MSG_SIDE) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%#x", type);
        return refuse(EINVAL, std::string("message type ") + hex + " is not a record");
    }
    std::uint16_t header_size = wire::le16(packet + 2);
    if (header_size != msg_header_size)
        return refuse(EINVAL, "header length " + std::to_string(header_size) + ", not 16");
    if (wire::le32(packet + 8) != 0 || wire::le32(packet + 12) != 0)
        return refuse(EINVAL, "reserved header words not zero");
    auto byte_count = static_cast<std::int32_t>(wire::le32(packet + 4));
    std::size_t behind = size - msg_header_size;
    if (byte_count < 0 || static_cast<std::size_t>(byte_count) != behind)
        return refuse(EINVAL, "byte count " + std::to_string(byte_count) + " but " +
                                  std::to_string(behind) + " bytes follow the header");
    if (behind < record_header_size)
        return refuse(EINVAL, "record shorter than its 12-byte header");
    return {byte_count, decode_record(packet + msg_header_size, behind - record_header_size), {}};
}

int parse_severity(const std::string& text) {
    for (int severity = 0; severity < 8; ++severity) {
        if (strcasecmp(text.c_str(), severity_names[severity]) == 0)
            return severity;
    }
    for (const SeverityName& entry : syslog_severities) {
        if (strcasecmp(text.c_str(), entry.name) == 0)
            return entry.severity;
    }
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '7')
        return text[0] - '0';
    return -1;
}

int parse_error(const std::string& text) {
    for (const ErrorName& entry : error_names) {
        if (entry.name == text)
            return entry.value;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > 4095)
        return 0;
    return static_cast<int>(value);
}

} // namespace slogger
