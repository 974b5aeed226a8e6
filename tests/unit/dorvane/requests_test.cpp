#include "dorvane_fixture.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace {

using requests_test = dorvane_test;

constexpr std::uint32_t CONNECT_AND_FADE = 0x80041101u;
constexpr std::uint32_t ENABLE_DISABLE = 0x80041102u;
constexpr std::uint32_t DIRECT_CONNECT = 0x80041103u;
constexpr std::uint32_t PAUSE_RESUME = 0x80041122u;
constexpr std::uint32_t PATH_NAME = 0x80041132u;
constexpr std::uint32_t PATH_ID = 0x80041133u;

std::vector<unsigned char> zeros(std::size_t count) {
    return std::vector<unsigned char>(count, 0);
}

std::vector<unsigned char> joined(std::vector<unsigned char> head,
                                  const std::vector<unsigned char>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::vector<unsigned char> text_bytes(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

TEST_F(requests_test, no_options_send_connect_and_fade_of_four_zero_words) {
    EXPECT_EQ(handle({}), 0);
    const fake_devctl_call call = only_request();
    EXPECT_EQ(call.fd, FAKE_DEBUG_FD);
    EXPECT_EQ(call.code, CONNECT_AND_FADE);
    EXPECT_EQ(call.bytes, zeros(16));
    EXPECT_FALSE(call.info_given);
    EXPECT_TRUE(logged_records().empty());
}

TEST_F(requests_test, connect_and_fade_and_direct_connect_order_their_words) {
    handle({"-z", "3", "-O", "1", "-S", "4", "-s", "5"});
    EXPECT_EQ(only_request().code, CONNECT_AND_FADE);
    EXPECT_EQ(only_request().bytes, le_words({3, 1, 4, 5}));

    fake_devctl_reset();
    optind = 0;
    handle({"-z", "3", "-O", "1", "-S", "4", "-s", "5", "-g"});
    EXPECT_EQ(only_request().code, DIRECT_CONNECT);
    EXPECT_EQ(only_request().bytes, le_words({3, 4, 5, 1}));
}

TEST_F(requests_test, direct_connect_takes_any_source_and_logs_its_call_first) {
    errno = ENOENT;
    EXPECT_EQ(handle({"-g", "-O", "9"}), 0);
    EXPECT_EQ(only_request().bytes, le_words({0, 0, 0, 9}));
    const auto records = logged_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].severity, 2);
    EXPECT_EQ(records[0].code, 20001);
    EXPECT_EQ(records[0].text, std::string("dorvane:  direct connect called: ") + strerror(ENOENT));
}

TEST_F(requests_test, enable_disable_carries_words_then_all_100_bytes_of_path_text) {
    handle({"-a", "1", "-f", "/a/b"});
    const fake_devctl_call call = only_request();
    EXPECT_EQ(call.code, ENABLE_DISABLE);
    EXPECT_EQ(call.bytes,
              joined(joined(le_words({1, 0, 0, 0, 0, 0}), text_bytes("/a/b")), zeros(280 - 28)));

    fake_devctl_reset();
    optind = 0;
    handle({"-a", "9", "-b", "8", "-c", "7", "-e", "6", "-f", "/long/one", "-f", "/x"});
    std::vector<unsigned char> expected = joined(le_words({9, 8, 7, 6, 0, 0}), zeros(256));
    std::memcpy(&expected[24], "/x\0ng/one", 9); // the tail of the first -f travels too
    EXPECT_EQ(only_request().bytes, expected);
}

TEST_F(requests_test, precedence_is_a_then_x_then_g_then_source) {
    struct case_t {
        command_line line;
        std::uint32_t code;
    };
    const case_t cases[] = {
        {{"-a", "0", "-x", "1", "-g", "-O", "2"}, ENABLE_DISABLE},
        {{"-x", "1", "-g", "-O", "1"}, PATH_ID},
        {{"-g", "-O", "2"}, DIRECT_CONNECT},
        {{"-O", "1"}, CONNECT_AND_FADE},
    };
    for (const case_t& c : cases) {
        fake_devctl_reset();
        optind = 0;
        handle(c.line);
        EXPECT_EQ(only_request().code, c.code) << c.line.words[1];
    }
}

TEST_F(requests_test, browser_select_by_name_and_by_id) {
    handle({"-x", "0"});
    EXPECT_EQ(only_request().code, PATH_NAME);
    EXPECT_EQ(only_request().bytes, zeros(264));

    fake_devctl_reset();
    optind = 0;
    handle({"-f", "/some/longer", "-f", "/m", "-x", "0"});
    EXPECT_EQ(only_request().bytes, joined(text_bytes("/m"), zeros(262)))
        << "only the text up to its zero";

    fake_devctl_reset();
    optind = 0;
    handle({"-x", "1", "-y", "7"});
    EXPECT_EQ(only_request().code, PATH_ID);
    EXPECT_EQ(only_request().bytes, le_words({7, 0, 0}));
}

TEST_F(requests_test, x_other_than_0_or_1_is_refused_with_signed_value) {
    for (const auto& [value, shown] :
         {std::pair{"2", "2"}, std::pair{"-1", "-1"}, std::pair{"4294967295", "-1"},
          std::pair{"0x7fffffff", "2147483647"}}) {
        fake_reset();
        fake_devctl_reset();
        optind = 0;
        EXPECT_EQ(handle({"-x", value}), 0);
        EXPECT_TRUE(fake_devctl_calls().empty());
        const auto records = logged_records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].severity, 2);
        EXPECT_EQ(records[0].text, std::string("dorvane:  invalid parameter x:") + shown + " \n");
    }
}

TEST_F(requests_test, source_above_3_is_refused_on_standard_output) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(handle({"-O", "4"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "dorvane:  Incorrect source parameter! \n");
    EXPECT_TRUE(fake_devctl_calls().empty());
    EXPECT_TRUE(logged_records().empty());
}

TEST_F(requests_test, pause_resume_goes_to_the_p_device) {
    const int device = open("/dev/null", O_RDWR);
    ASSERT_GT(device, 0);
    a2i_fd = device;
    EXPECT_EQ(handle({"-O", "2"}), 0);
    EXPECT_EQ(only_request().fd, device);
    EXPECT_EQ(only_request().code, PAUSE_RESUME);
    EXPECT_EQ(only_request().bytes, le_words({0}));

    fake_devctl_reset();
    optind = 0;
    handle({"-O", "3"});
    EXPECT_EQ(only_request().bytes, le_words({1}));
}

TEST_F(requests_test, pause_resume_without_p_device_sends_nothing_and_says_so) {
    for (const char* source : {"2", "3"}) {
        fake_reset();
        fake_devctl_reset();
        optind = 0;
        EXPECT_EQ(handle({"-O", source}), 0);
        EXPECT_TRUE(fake_devctl_calls().empty()) << "sent on descriptor 0";
        const auto records = logged_records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].severity, 2);
        EXPECT_EQ(records[0].text,
                  std::string("dorvane:  no -p device given for source ") + source + " \n");
    }
}

TEST_F(requests_test, failed_request_logs_one_line_naming_it_and_returns_devctl_number) {
    struct case_t {
        command_line line;
        const char* name;
    };
    const case_t cases[] = {
        {{}, "DCMD_DEBUG_AC_CONNECT_AND_FADE"},
        {{"-a", "1"}, "DCMD_DEBUG_NEW_ENABLE_DISABLE"},
        {{"-x", "0"}, "DCMD_BROWSER_SELECT_PATH_NAME"},
        {{"-x", "1"}, "DCMD_BROWSER_SELECT_PATH_ID"},
    };
    for (const case_t& c : cases) {
        fake_reset();
        fake_devctl_reset();
        optind = 0;
        fake_script_devctl(ENOSPC, ENOSPC);
        EXPECT_EQ(handle(c.line), ENOSPC);
        EXPECT_EQ(fake_devctl_calls().size(), 1u) << "no retry";
        const auto records = logged_records();
        ASSERT_EQ(records.size(), 1u) << c.name;
        EXPECT_EQ(records[0].severity, 2);
        EXPECT_EQ(records[0].text,
                  std::string("dorvane:  devctl( ") + c.name + " ) failed: " + strerror(ENOSPC));
    }
}

// The reason shown is errno's, which may differ from the number returned.
TEST_F(requests_test, failure_line_shows_errno_text_of_the_moment) {
    a2i_fd = FAKE_DEBUG_FD + 1;
    fake_script_devctl(EIO, EPIPE);
    EXPECT_EQ(handle({"-O", "3"}), EIO);
    const auto records = logged_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text,
              std::string("dorvane:  devctl( DCMD_A2I_SERV_PAUSE_RESUME ) failed: ") +
                  strerror(EPIPE));
    a2i_fd = 0;
}

TEST_F(requests_test, failed_direct_connect_logs_call_line_then_failure_line) {
    errno = 0;
    fake_script_devctl(EBADF, EBADF);
    EXPECT_EQ(handle({"-g"}), EBADF);
    const auto records = logged_records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, std::string("dorvane:  direct connect called: ") + strerror(0));
    EXPECT_EQ(records[1].text,
              std::string("dorvane:  devctl( DCMD_DIRECT_CONNECT ) failed: ") + strerror(EBADF));
}

} // namespace
