// Bytes on the wire as the tests write and read them: 32-bit words
// little-endian, as the target lays them out, and system-log messages through
// the header structs whose layouts slog.h asserts, as the library sends them.
// The one writer and reader of both for the unit, host and fuzz tests.
#pragma once

#include "slog.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

using wire_bytes = std::vector<unsigned char>;

inline wire_bytes operator+(wire_bytes head, const wire_bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

inline wire_bytes le_words(std::initializer_list<std::uint32_t> words) {
    wire_bytes bytes;
    for (const std::uint32_t word : words) {
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<unsigned char>(word >> shift));
    }
    return bytes;
}

inline std::uint32_t le_word(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// The bytes of a header as the library sends it from memory.
template <typename Header> wire_bytes bytes_of(const Header& header) {
    const auto* at = reinterpret_cast<const unsigned char*>(&header);
    return wire_bytes(at, at + sizeof header);
}

// A record: its header, then the payload.
inline wire_bytes record_bytes(std::int32_t severity, std::int32_t code,
                               const wire_bytes& payload) {
    return bytes_of(slog_record_header{severity, code, 0}) + payload;
}

// A message: the header as given, then the record.
inline wire_bytes message_bytes(const slog_msg_header& header, const wire_bytes& record) {
    return bytes_of(header) + record;
}

// A message read back: both headers, and the bytes behind them.
struct wire_message {
    slog_msg_header header{};
    slog_record_header record{};
    std::string payload{}; // zeros included
};

// False, the message left as it was, when the bytes are shorter than both headers.
inline bool read_wire_message(const unsigned char* bytes, std::size_t size, wire_message* message) {
    constexpr std::size_t headers = sizeof(slog_msg_header) + sizeof(slog_record_header);
    if (size < headers)
        return false;
    std::memcpy(&message->header, bytes, sizeof message->header);
    std::memcpy(&message->record, bytes + sizeof message->header, sizeof message->record);
    message->payload.assign(bytes + headers, bytes + size);
    return true;
}
