#include "fuzz_support.h"

#include <cstring>

namespace {

void check_message(const sent_message& message) {
    require(!message.part_lengths.empty() && message.part_lengths[0] == sizeof(slog_msg_header),
            "the message header is the first part, 16 bytes");
    require(message.whole, "a message holds both headers");
    const slog_msg_header& header = message.header;
    const std::uint16_t type = message.coid == SLOG_SIDE_CHANNEL ? SLOG_MSG_SIDE : SLOG_MSG_WRITE;
    require(header.type == type, "the message type matches the connection");
    require(header.header_len == sizeof header, "header length 16");
    require(header.byte_count >= 0 && static_cast<std::size_t>(header.byte_count) ==
                                          sizeof(slog_record_header) + message.payload.size(),
            "the byte count is the record's size");
    require(header.reserved[0] == 0 && header.reserved[1] == 0, "reserved header words zero");
}

} // namespace

std::vector<sent_message> checked_messages() {
    std::vector<sent_message> messages = fake_sent_messages();
    for (const sent_message& message : messages)
        check_message(message);
    return messages;
}

std::string checked_text(const sent_message& message) {
    require((message.record.severity & SLOG_TEXT_FLAG) != 0, "a text record has the text flag");
    require(message.part_lengths.size() == 2, "a text record goes as one part behind the header");
    const std::string& text = message.payload;
    require(!text.empty() && text.size() <= SLOG_TEXT_MAX, "the text fits its 1016 bytes");
    require(text.find('\0') == text.size() - 1, "the text ends in its only zero");
    return text.substr(0, text.size() - 1);
}
