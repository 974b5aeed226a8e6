// Reading back what the logging client sent through the fake platform.
#pragma once

#include "fake_platform.h"
#include "slog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

// Every message sent since the last fake_reset(), each expected to hold both headers.
inline std::vector<sent_message> sent_messages() {
    std::vector<sent_message> messages = fake_sent_messages();
    for (const sent_message& message : messages) {
        EXPECT_TRUE(message.whole) << "a message shorter than its two headers";
    }
    return messages;
}

// The one message sent since the last fake_reset().
inline sent_message only_message() {
    const std::vector<sent_message> messages = sent_messages();
    EXPECT_EQ(messages.size(), 1U);
    return messages.empty() ? sent_message{} : messages[0];
}

// The errno a call left when it failed with -1; 0 when it did not fail.
inline int failed_with(long result) {
    return result == -1 ? errno : 0;
}

// Every test starts on the side channel with nothing scripted or recorded.
class FakePlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { fake_reset(); }
    void TearDown() override { fake_reset(); }
};
