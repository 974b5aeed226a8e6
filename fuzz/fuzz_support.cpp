#include "fuzz_support.h"

#include "fake_platform.h"

#include <cstring>

namespace {

wire_message checked_message(const fake_call& send) {
    constexpr std::size_t headers = sizeof(slog_msg_header) + sizeof(slog_record_header);
    require(!send.part_lengths.empty() && send.part_lengths[0] == sizeof(slog_msg_header),
            "the message header is the first part, 16 bytes");
    require(send.bytes.size() >= headers, "a message holds both headers");
    slog_msg_header header;
    std::memcpy(&header, send.bytes.data(), sizeof header);
    const std::uint16_t type = send.fd == SLOG_SIDE_CHANNEL ? SLOG_MSG_SIDE : SLOG_MSG_WRITE;
    require(header.type == type, "the message type matches the connection");
    require(header.header_len == sizeof header, "header length 16");
    require(header.byte_count >= 0 &&
                static_cast<std::size_t>(header.byte_count) == send.bytes.size() - sizeof header,
            "the byte count is the record's size");
    require(header.reserved[0] == 0 && header.reserved[1] == 0, "reserved header words zero");

    wire_message message{send.fd, send.part_lengths.size(), {}, {}};
    std::memcpy(&message.record, send.bytes.data() + sizeof header, sizeof message.record);
    message.payload.assign(send.bytes.begin() + headers, send.bytes.end());
    return message;
}

} // namespace

std::vector<wire_message> checked_messages() {
    std::vector<wire_message> messages;
    for (const fake_call& send : fake_calls_of(fake_call_kind::send)) {
        messages.push_back(checked_message(send));
    }
    return messages;
}

std::string checked_text(const wire_message& message) {
    require((message.record.severity & SLOG_TEXT_FLAG) != 0, "a text record has the text flag");
    require(message.parts == 2, "a text record goes as one part behind the header");
    const std::vector<unsigned char>& text = message.payload;
    require(!text.empty() && text.size() <= SLOG_TEXT_MAX, "the text fits its 1016 bytes");
    const void* zero = std::memchr(text.data(), 0, text.size());
    require(zero == &text.back(), "the text ends in its only zero");
    return std::string(text.begin(), text.end() - 1);
}
