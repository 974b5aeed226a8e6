// The bytes of text, integer and binary records, the text path's stack guard
// and its echo to standard error.
#include "slog_test_support.h"

#include <cerrno>
#include <cwchar>

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class SlogRecords : public FakePlatformTest {};

const std::string LONG_TEXT(2000, 'x');

std::vector<std::int32_t> payload_ints(const std::string& payload) {
    std::vector<std::int32_t> values(payload.size() / sizeof(std::int32_t));
    std::memcpy(values.data(), payload.data(), values.size() * sizeof(std::int32_t));
    return values;
}

TEST_F(SlogRecords, text_record_is_headers_then_text_with_its_zero) {
    ASSERT_EQ(slogf(20001, 5, "disk %s at %d", "ready", 7), 0);
    const sent_message message = only_message();
    EXPECT_EQ(message.part_lengths, (std::vector<std::uint32_t>{16, 12 + 16}));
    EXPECT_EQ(message.header.type, SLOG_MSG_SIDE);
    EXPECT_EQ(message.header.header_len, 16);
    EXPECT_EQ(message.header.byte_count, 12 + 16);
    EXPECT_EQ(message.header.reserved[0], 0U);
    EXPECT_EQ(message.header.reserved[1], 0U);
    EXPECT_EQ(message.record.severity, 13);
    EXPECT_EQ(message.record.code, 20001);
    EXPECT_EQ(message.record.reserved, 0U);
    EXPECT_EQ(message.payload, std::string("disk ready at 7", 16));
}

TEST_F(SlogRecords, empty_text_is_a_single_zero_byte) {
    ASSERT_EQ(slogf(1, 2, "%s", ""), 0);
    EXPECT_EQ(fake_calls_of(fake_call_kind::send).at(0).bytes.size(), 29U);
    EXPECT_EQ(only_message().header.byte_count, 13);
    EXPECT_EQ(only_message().payload, std::string(1, '\0'));
}

TEST_F(SlogRecords, text_is_cut_at_1015_characters) {
    for (const std::size_t length : {1014U, 1015U, 1016U, 2000U}) {
        fake_reset();
        ASSERT_EQ(slogf(1, 5, "%s", LONG_TEXT.substr(0, length).c_str()), 0);
        const std::size_t kept = length < 1015 ? length : 1015;
        const sent_message message = only_message();
        EXPECT_EQ(message.header.byte_count, static_cast<std::int32_t>(12 + kept + 1));
        EXPECT_EQ(message.payload, LONG_TEXT.substr(0, kept) + '\0');
    }
}

// Bit 3 of the severity asks for the echo, not its size: 16 to 23 have it
// clear, 24 and negative numbers such as -8 and -1 have it set.
TEST_F(SlogRecords, text_severity_carries_the_text_flag_and_only_a_flagged_call_echoes) {
    for (const std::int32_t severity : {0, 5, 13, 16, 17, 23, 24, -16, -8, -1}) {
        fake_reset();
        CaptureStderr();
        ASSERT_EQ(slogf(1, severity, "x"), 0);
        const bool flagged = severity == 13 || severity == 24 || severity == -8 || severity == -1;
        EXPECT_EQ(GetCapturedStderr(), flagged ? "x\n" : "") << severity;
        EXPECT_EQ(only_message().record.severity, severity | 8);
    }
}

TEST_F(SlogRecords, integer_record_carries_the_integers_in_order) {
    ASSERT_EQ(slogi(0x104E21, 3, 3, 1, -2, INT32_MAX), 0);
    const sent_message message = only_message();
    EXPECT_EQ(message.part_lengths, (std::vector<std::uint32_t>{16, 12, 12}));
    EXPECT_EQ(message.header.byte_count, 24);
    EXPECT_EQ(message.record.severity, 3);
    EXPECT_EQ(message.record.code, 0x104E21);
    EXPECT_EQ(message.record.reserved, 0U);
    EXPECT_EQ(payload_ints(message.payload), (std::vector<std::int32_t>{1, -2, INT32_MAX}));
}

TEST_F(SlogRecords, integer_record_sizes_at_the_bounds) {
    ASSERT_EQ(slogi(1, 5, 0), 0);
    EXPECT_EQ(only_message().part_lengths, (std::vector<std::uint32_t>{16, 12, 0}));
    EXPECT_EQ(only_message().header.byte_count, 12);

    fake_reset();
    ASSERT_EQ(slogi(1, 5, 32, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                    21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32),
              0);
    EXPECT_EQ(only_message().header.byte_count, 140);
    EXPECT_EQ(payload_ints(only_message().payload).back(), 32);
}

TEST_F(SlogRecords, integer_count_out_of_range_or_null_format_is_refused_without_sending) {
    for (const std::int32_t count : {33, -1, INT32_MIN}) {
        errno = 0;
        EXPECT_EQ(failed_with(slogi(1, 5, count)), EINVAL);
    }
    // Whatever the stack: refused before the stack is even asked about.
    for (const std::size_t available : {FAKE_STACK_PLENTY, std::size_t{2051}, std::size_t{144}}) {
        fake_script_stackavail(available);
        const char* const no_format = nullptr;
        errno = 0;
        EXPECT_EQ(failed_with(slogf(1, 5, no_format)), EINVAL);
    }
    EXPECT_TRUE(fake_calls().empty());
}

TEST_F(SlogRecords, binary_record_sends_the_bytes_unchanged) {
    const unsigned char data[] = {0x00, 0xFF, 0x0A, 0x25};
    ASSERT_EQ(slogb(9, 6, data, sizeof data), 0);
    const sent_message message = only_message();
    EXPECT_EQ(message.part_lengths, (std::vector<std::uint32_t>{16, 12, 4}));
    EXPECT_EQ(message.header.byte_count, 16);
    EXPECT_EQ(message.record.severity, 6);
    EXPECT_EQ(message.record.code, 9);
    EXPECT_EQ(message.payload, std::string("\x00\xFF\x0A\x25", 4));

    fake_reset();
    ASSERT_EQ(slogb(9, 6, data, 0), 0);
    EXPECT_EQ(only_message().header.byte_count, 12);
}

TEST_F(SlogRecords, binary_size_that_cannot_be_sent_is_refused) {
    const unsigned char data[] = {1};
    for (const std::int32_t size : {-1, INT32_MIN, INT32_MAX - 11}) {
        errno = 0;
        EXPECT_EQ(failed_with(slogb(1, 5, data, size)), EINVAL);
    }
    EXPECT_TRUE(fake_calls().empty());
}

TEST_F(SlogRecords, plenty_of_stack_reserves_the_full_record) {
    fake_script_stackavail(2052);
    fake_script_stackavail(1160);
    EXPECT_EQ(failed_with(slogf(1, 5, "abc")), ENOMEM);

    fake_script_stackavail(2052);
    fake_script_stackavail(1161);
    EXPECT_EQ(slogf(1, 5, "abc"), 0);
    EXPECT_EQ(only_message().payload, std::string("abc", 4));
}

TEST_F(SlogRecords, short_stack_reserves_only_what_the_text_needs) {
    fake_script_stackavail(2051);
    fake_script_stackavail(144);
    CaptureStderr();
    EXPECT_EQ(failed_with(slogf(1, 13, "%s", "abc")), ENOMEM);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(fake_calls().empty());

    fake_script_stackavail(2051);
    fake_script_stackavail(145);
    EXPECT_EQ(slogf(1, 5, "%s", "abc"), 0);
    EXPECT_EQ(only_message().payload, std::string("abc", 4));
}

// Less than even an empty text needs: refused before the measuring pass,
// which would format on that short stack. A character the C locale cannot
// write fails the formatter, which shows whether the pass ran.
constexpr wint_t UNFORMATTABLE = 0x100;

TEST_F(SlogRecords, stack_too_short_for_any_record_is_refused_before_formatting) {
    fake_script_stackavail(144);
    EXPECT_EQ(failed_with(slogf(1, 5, "%lc", UNFORMATTABLE)), ENOMEM);

    fake_script_stackavail(145);
    EXPECT_EQ(failed_with(slogf(1, 5, "%lc", UNFORMATTABLE)), EILSEQ);
    EXPECT_TRUE(fake_calls().empty());
}

// With plenty of stack there is no measuring pass: the one that formats into
// the record fails, and nothing is echoed or sent.
TEST_F(SlogRecords, unformattable_text_fails_with_the_formatter_error_on_either_path) {
    for (const std::size_t available : {FAKE_STACK_PLENTY, std::size_t{2051}}) {
        fake_script_stackavail(available);
        CaptureStderr();
        errno = 0;
        EXPECT_EQ(failed_with(slogf(1, 13, "%lc", UNFORMATTABLE)), EILSEQ);
        EXPECT_EQ(GetCapturedStderr(), "");
    }
    EXPECT_TRUE(fake_calls().empty());
}

TEST_F(SlogRecords, short_stack_still_cuts_a_long_text_to_the_record) {
    fake_script_stackavail(145);
    fake_script_stackavail(1160);
    EXPECT_EQ(failed_with(slogf(1, 5, "%s", LONG_TEXT.c_str())), ENOMEM);

    fake_script_stackavail(145);
    fake_script_stackavail(1161);
    ASSERT_EQ(slogf(1, 5, "%s", LONG_TEXT.c_str()), 0);
    EXPECT_EQ(only_message().payload, LONG_TEXT.substr(0, 1015) + '\0');
}

TEST_F(SlogRecords, flagged_text_is_echoed_as_one_line_and_sent_with_its_zero) {
    CaptureStderr();
    ASSERT_EQ(slogf(1, 13, "tuner %d", 2), 0);
    EXPECT_EQ(GetCapturedStderr(), "tuner 2\n");
    EXPECT_EQ(only_message().payload, std::string("tuner 2", 8));
}

TEST_F(SlogRecords, echo_is_cut_like_the_record) {
    CaptureStderr();
    ASSERT_EQ(slogf(1, 13, "%s", LONG_TEXT.c_str()), 0);
    EXPECT_EQ(GetCapturedStderr(), LONG_TEXT.substr(0, 1015) + '\n');

    CaptureStderr();
    ASSERT_EQ(slogf(1, 13, "%s", ""), 0);
    EXPECT_EQ(GetCapturedStderr(), "\n");
}

TEST_F(SlogRecords, echo_happens_even_when_the_send_fails) {
    fake_script_send(-1, EINTR);
    CaptureStderr();
    EXPECT_EQ(slogf(1, 13, "lost"), -1);
    EXPECT_EQ(GetCapturedStderr(), "lost\n");
}

} // namespace
