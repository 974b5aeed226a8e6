// The program log front end: threshold, program-name prefix, codes, and the
// last-resort line on standard error.
#include "log.h"
#include "slog_test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

extern "C" char* __progname;

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

char PROGRAM[] = "kestrune";

class LogFrontEnd : public FakePlatformTest {
  protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        saved_name = __progname;
        __progname = PROGRAM;
    }
    void TearDown() override {
        __progname = saved_name;
        FakePlatformTest::TearDown();
    }

  private:
    char* saved_name = nullptr;
};

// The record's text without its terminating zero.
std::string sent_text() {
    const std::string payload = only_message().payload;
    return payload.empty() ? payload : payload.substr(0, payload.size() - 1);
}

// A logger that cannot be reached: no side channel and no device.
void make_logger_unreachable() {
    fake_script_send(-1, ENOSYS);
    fake_script_open_failure(ENOENT);
}

void log_with_severity(int severity, const char* format, ...) __attribute__((format(printf, 2, 3)));
void log_with_severity(int severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_vprintf(severity, format, args);
    va_end(args);
}

TEST_F(LogFrontEnd, records_above_the_threshold_send_and_print_nothing) {
    make_logger_unreachable();
    CaptureStderr();
    log_debug("hidden %d", 1);
    log_with_severity(6, "hidden");
    log_with_severity(8 + 2, "flagged for echo but too severe a number");
    log_binary(1, 6, "x", 1);
    log_ints(1, 7, 1, 5);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(fake_calls().empty());
}

TEST_F(LogFrontEnd, each_severity_call_sends_its_severity_with_the_text_code) {
    struct expected_record {
        void (*call)(const char*, ...);
        std::int32_t severity_word;
    };
    const expected_record cases[] = {{log_error, 2 | 8}, {log_warning, 3 | 8}, {log_info, 5 | 8}};
    for (const expected_record& expected : cases) {
        fake_reset();
        expected.call("disk %s", "missing");
        const std::vector<sent_message> messages = sent_messages();
        ASSERT_EQ(messages.size(), 1U);
        EXPECT_EQ(messages[0].record.severity, expected.severity_word);
        EXPECT_EQ(messages[0].record.code, LOG_CODE_TEXT);
        EXPECT_EQ(sent_text(), "kestrune: disk missing");
    }
}

TEST_F(LogFrontEnd, caller_code_is_carried_unchanged) {
    log_printf_code(0x12345678, 2, "%s", "coded");
    EXPECT_EQ(sent_messages().at(0).record.code, 0x12345678);
    EXPECT_EQ(sent_text(), "kestrune: coded");
}

// The prefixed format is built on the stack up to 256 bytes and on the heap
// beyond; the record is the same either way, "%" in the name included. A
// program without a name (none set by the start-up code) logs under "".
TEST_F(LogFrontEnd, record_text_is_the_name_and_the_formatted_message_at_any_format_length) {
    char odd_name[] = "a%s%d%";
    for (char* name : {PROGRAM, odd_name, static_cast<char*>(nullptr)}) {
        __progname = name;
        name = name != nullptr ? name : const_cast<char*>("");
        const auto escaped =
            std::strlen(name) +
            static_cast<std::size_t>(std::count(name, name + std::strlen(name), '%'));
        for (const std::size_t prefixed_size : {255U, 256U, 257U, 1200U}) {
            fake_reset();
            // "<name>: " + filler + "%d" + zero
            const std::string filler(prefixed_size - escaped - 2 - 2 - 1, 'f');
            log_info((filler + "%d").c_str(), 7);
            const std::string expected = std::string(name) + ": " + filler + "7";
            EXPECT_EQ(sent_text(), expected.substr(0, 1015)) << name << " " << prefixed_size;
        }
    }
}

// The bytes perror would write, for the errors a logger or the stack can cause
// and for a number the C library has no text for.
TEST_F(LogFrontEnd, undeliverable_record_prints_the_fatal_line_as_perror_would) {
    for (const int error : {ENOENT, ENOMEM, EINTR, EIO, EPROTO, 1000}) {
        CaptureStderr();
        errno = error;
        std::perror("Fatal: Could not write slog event");
        const std::string perror_line = GetCapturedStderr();

        fake_reset();
        fake_script_send(-1, error);
        CaptureStderr();
        log_error("%s", "lost");
        EXPECT_EQ(GetCapturedStderr(), perror_line);
    }
    fake_reset();
    make_logger_unreachable();
    CaptureStderr();
    log_error("%s", "lost");
    EXPECT_EQ(GetCapturedStderr(),
              std::string("Fatal: Could not write slog event: ") + std::strerror(ENOENT) + "\n");
}

TEST_F(LogFrontEnd, process_records_carry_the_process_id_in_hex) {
    const struct {
        void (*call)();
        const char* what;
        std::int32_t code;
    } cases[] = {{log_started, "started", 0x00104E21}, {log_terminated, "terminated", 0x00204E21}};
    for (const auto& c : cases) {
        fake_reset();
        c.call();
        char expected[64];
        std::snprintf(expected, sizeof expected, "kestrune: process %s PID=0x%08X", c.what,
                      static_cast<unsigned>(getpid()));
        EXPECT_EQ(sent_text(), expected);
        EXPECT_EQ(only_message().record.code, c.code);
        EXPECT_EQ(only_message().record.severity, 5 | 8);
    }
}

TEST_F(LogFrontEnd, binary_and_integer_records_pass_unchanged_without_prefix) {
    log_binary(77, 3, "ab", 2);
    log_ints(78, 2, 3, 10, -20, 30);
    const std::vector<sent_message> messages = sent_messages();
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages[0].record.severity, 3);
    EXPECT_EQ(messages[0].record.code, 77);
    EXPECT_EQ(messages[0].payload, "ab");
    EXPECT_EQ(messages[1].record.severity, 2);
    EXPECT_EQ(messages[1].record.code, 78);
    const std::int32_t ints[] = {10, -20, 30};
    EXPECT_EQ(messages[1].payload, std::string(reinterpret_cast<const char*>(ints), sizeof ints));

    // The most one record holds: every one of them is read and sent.
    fake_reset();
    log_ints(79, 5, 32, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
             22, 23, 24, 25, 26, 27, 28, 29, 30, 31, -32);
    std::int32_t most[32];
    for (std::int32_t i = 0; i < 32; ++i)
        most[i] = i + 1;
    most[31] = -32;
    ASSERT_EQ(sent_messages().size(), 1U);
    EXPECT_EQ(sent_messages()[0].payload,
              std::string(reinterpret_cast<const char*>(most), sizeof most));
}

TEST_F(LogFrontEnd, refused_count_or_null_format_is_reported_like_any_failure) {
    const std::string refused =
        std::string("Fatal: Could not write slog event: ") + std::strerror(EINVAL) + "\n";
    for (const std::int32_t count : {33, -1}) {
        CaptureStderr();
        log_ints(1, 5, count, 1, 2);
        EXPECT_EQ(GetCapturedStderr(), refused);
    }
    const char* const no_format = nullptr;
    CaptureStderr();
    log_info(no_format);
    log_printf_code(1, 2, no_format);
    log_with_severity(3, no_format);
    EXPECT_EQ(GetCapturedStderr(), refused + refused + refused);
    // Below the threshold there is nothing to refuse.
    CaptureStderr();
    log_debug(no_format);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(fake_calls().empty());
}

} // namespace
