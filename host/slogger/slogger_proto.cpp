#include "slogger_proto.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace slogger {

namespace {

// The system logger's scale: 0 most severe; the programs log at 2 and 5.
constexpr const char* severity_names[8] = {"shutdown", "critical", "error",  "warning",
                                           "notice",   "info",     "debug1", "debug2"};

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

std::uint32_t word_at(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t half_at(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

Outcome refuse(int error, std::string complaint) {
    return {-error, {}, std::move(complaint)};
}

std::string numbers_line(const unsigned char* payload, std::size_t size) {
    std::string line;
    char item[16];
    if (size % 4 == 0 && size / 4 <= SLOG_INTS_MAX) {
        line = "ints[" + std::to_string(size / 4) + "]:";
        for (std::size_t i = 0; i < size; i += 4) {
            std::snprintf(item, sizeof item, " %d",
                          static_cast<std::int32_t>(word_at(payload + i)));
            line += item;
        }
        return line;
    }
    line = "bytes[" + std::to_string(size) + "]:";
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(item, sizeof item, " %02x", payload[i]);
        line += item;
    }
    return line;
}

} // namespace

std::string escape_text(const unsigned char* text, std::size_t size) {
    std::string out;
    out.reserve(size);
    char hex[8];
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char c = text[i];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string format_record(const unsigned char* record, std::size_t payload_size) {
    std::uint32_t severity = word_at(record);
    std::uint32_t code = word_at(record + 4);
    const unsigned char* payload = record + record_header_size;
    std::string line = severity_names[severity & 7];
    line += ' ';
    line += std::to_string(code);
    line += ' ';
    if (severity & SLOG_TEXT_FLAG) {
        std::size_t length = 0;
        while (length < payload_size && payload[length] != 0)
            ++length;
        return line + escape_text(payload, length);
    }
    return line + numbers_line(payload, payload_size);
}

Outcome handle_packet(const unsigned char* packet, std::size_t size, bool truncated) {
    if (truncated)
        return refuse(EMSGSIZE, "packet larger than " + std::to_string(max_packet) + " bytes");
    if (size < msg_header_size)
        return refuse(EINVAL, "short packet (" + std::to_string(size) + " bytes)");
    std::uint16_t type = half_at(packet);
    if (type != SLOG_MSG_SIDE) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%#x", type);
        return refuse(EINVAL, std::string("message type ") + hex + " is not a record");
    }
    std::uint16_t header_size = half_at(packet + 2);
    if (header_size != msg_header_size)
        return refuse(EINVAL, "header length " + std::to_string(header_size) + ", not 16");
    if (word_at(packet + 8) != 0 || word_at(packet + 12) != 0)
        return refuse(EINVAL, "reserved header words not zero");
    auto byte_count = static_cast<std::int32_t>(word_at(packet + 4));
    std::size_t behind = size - msg_header_size;
    if (byte_count < 0 || static_cast<std::size_t>(byte_count) != behind)
        return refuse(EINVAL, "byte count " + std::to_string(byte_count) + " but " +
                                  std::to_string(behind) + " bytes follow the header");
    if (behind < record_header_size)
        return refuse(EINVAL, "record shorter than its 12-byte header");
    const unsigned char* record = packet + msg_header_size;
    return {byte_count, format_record(record, behind - record_header_size), {}};
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
