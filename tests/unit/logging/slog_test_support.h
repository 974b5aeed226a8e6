// Reading back what the logging client sent through the fake platform.
#pragma once

#include "fake_platform.h"
#include "slog.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// One message as the logger receives it.
struct sent_message {
    int coid;
    std::vector<std::uint32_t> part_lengths;
    slog_msg_header header;
    slog_record_header record;
    std::string payload; // the bytes behind the record header, zeros included
};

inline sent_message decode_message(const fake_call& send) {
    sent_message message{send.fd, send.part_lengths, {}, {}, {}};
    constexpr std::size_t headers = sizeof(slog_msg_header) + sizeof(slog_record_header);
    EXPECT_GE(send.bytes.size(), headers);
    if (send.bytes.size() < headers) {
        return message;
    }
    std::memcpy(&message.header, send.bytes.data(), sizeof message.header);
    std::memcpy(&message.record, send.bytes.data() + sizeof message.header, sizeof message.record);
    message.payload.assign(send.bytes.begin() + headers, send.bytes.end());
    return message;
}

inline std::vector<sent_message> sent_messages() {
    std::vector<sent_message> messages;
    for (const fake_call& send : fake_calls_of(fake_call_kind::send)) {
        messages.push_back(decode_message(send));
    }
    return messages;
}

// Every test starts on the side channel with nothing scripted or recorded.
class FakePlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { fake_reset(); }
    void TearDown() override { fake_reset(); }
};
