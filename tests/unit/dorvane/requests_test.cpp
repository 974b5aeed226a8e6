#include "dorvane_fixture.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

wire_bytes text(const char* chars, std::size_t count) {
    return wire_bytes(chars, chars + count);
}

wire_bytes zeros(std::size_t count) {
    return wire_bytes(count, 0);
}

struct sent_case {
    std::vector<std::string> options;
    int fd;
    std::uint32_t code;
    wire_bytes record;
};

// The one request each command line sends: precedence -a, -x, -g, source;
// every record's bytes.
TEST_F(dorvane_test, each_command_line_sends_its_one_record) {
    // clang-format off
    const sent_case cases[] = {
        {{}, FAKE_DEBUG_FD, 0x80041101u, zeros(16)},
        {{"-z", "3", "-O", "1", "-S", "4", "-s", "5"}, FAKE_DEBUG_FD, 0x80041101u,
         le_words({3, 1, 4, 5})},
        {{"-z", "3", "-O", "9", "-S", "4", "-s", "5", "-g"}, FAKE_DEBUG_FD, 0x80041103u,
         le_words({3, 4, 5, 9})},
        {{"-a", "0", "-x", "1", "-g", "-O", "2", "-b", "8", "-c", "7", "-e", "6", "-f", "/long/one",
          "-f", "/x"}, FAKE_DEBUG_FD, 0x80041102u,
         le_words({0, 8, 7, 6, 0, 0}) + text("/x\0ng/one", 9) + zeros(256 - 9)},
        {{"-x", "0", "-g", "-f", "/some/longer", "-f", "/m"}, FAKE_DEBUG_FD, 0x80041132u,
         text("/m", 2) + zeros(262)},
        {{"-x", "1", "-y", "7", "-g"}, FAKE_DEBUG_FD, 0x80041133u, le_words({7, 0, 0})},
        {{"-O", "2"}, FAKE_A2I_FD, 0x80041122u, le_words({0})},
        {{"-O", "3"}, FAKE_A2I_FD, 0x80041122u, le_words({1})},
    };
    // clang-format on
    for (const sent_case& c : cases) {
        reset(FAKE_A2I_FD);
        EXPECT_EQ(handle(c.options), 0);
        ASSERT_EQ(fake_devctl_calls().size(), 1u) << ::testing::PrintToString(c.options);
        const fake_devctl_call& call = fake_devctl_calls().front();
        EXPECT_EQ(call.fd, c.fd);
        EXPECT_EQ(call.code, c.code);
        EXPECT_EQ(call.bytes, c.record) << ::testing::PrintToString(c.options);
        EXPECT_FALSE(call.info_given);
    }
}

struct refused_case {
    std::vector<std::string> options;
    const char* standard_output;
    const char* error_line; // null: no record
};

TEST_F(dorvane_test, refusals_send_nothing_and_say_why) {
    const refused_case cases[] = {
        {{"-x", "2"}, "", "dorvane:  invalid parameter x:2 \n"},
        {{"-x", "4294967295"}, "", "dorvane:  invalid parameter x:-1 \n"},
        {{"-O", "4"}, "dorvane:  Incorrect source parameter! \n", nullptr},
        // Without -p, descriptor 0 is standard input, not the second service.
        {{"-O", "2"}, "", "dorvane:  no -p device given for source 2 \n"},
        {{"-O", "3"}, "", "dorvane:  no -p device given for source 3 \n"},
    };
    for (const refused_case& c : cases) {
        reset();
        testing::internal::CaptureStdout();
        EXPECT_EQ(handle(c.options), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.standard_output);
        EXPECT_TRUE(fake_devctl_calls().empty()) << c.options[1];
        const auto lines = logged_lines();
        if (c.error_line == nullptr) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], std::pair(2, std::string(c.error_line)));
        }
    }
}

// A refused -f leaves an earlier or empty text behind: the two requests that
// carry the path are not sent, with one line saying why; the others go as
// usual. Any refused -f of the run counts, a later good one included.
TEST_F(dorvane_test, refused_f_stops_only_the_requests_that_carry_the_path) {
    const std::string long_path(100, 'q');
    const std::string too_long = "dorvane:  -f path too long: 100 characters, at most 99 \n";
    struct refused_f_case {
        std::vector<std::string> options;
        const char* not_sent; // null: the request goes
        std::uint32_t sent_code;
    };
    const refused_f_case cases[] = {
        {{"-x", "0", "-f", "/good", "-f", long_path}, "DCMD_BROWSER_SELECT_PATH_NAME", 0},
        {{"-x", "0", "-f", long_path, "-f", "/good"}, "DCMD_BROWSER_SELECT_PATH_NAME", 0},
        {{"-a", "1", "-f", long_path}, "DCMD_DEBUG_NEW_ENABLE_DISABLE", 0},
        {{"-x", "1", "-y", "7", "-f", long_path}, nullptr, 0x80041133u},
        {{"-f", long_path, "-z", "3"}, nullptr, 0x80041101u},
    };
    for (const refused_f_case& c : cases) {
        reset();
        EXPECT_EQ(handle(c.options), 0);
        std::vector<std::pair<int, std::string>> lines{{2, too_long}};
        if (c.not_sent != nullptr) {
            EXPECT_TRUE(fake_devctl_calls().empty());
            lines.emplace_back(2, std::string("dorvane:  ") + c.not_sent +
                                      " not sent: a -f path was refused \n");
        } else {
            ASSERT_EQ(fake_devctl_calls().size(), 1u);
            EXPECT_EQ(fake_devctl_calls()[0].code, c.sent_code);
        }
        EXPECT_EQ(logged_lines(), lines) << ::testing::PrintToString(c.options);
    }
    // 5000 characters are refused like 100, and 99 still fit.
    reset();
    handle({"-f", std::string(5000, 'q'), "-x", "0"});
    EXPECT_TRUE(fake_devctl_calls().empty());
    reset();
    handle({"-f", "/" + std::string(98, 'q'), "-x", "0"});
    ASSERT_EQ(fake_devctl_calls().size(), 1u);
    EXPECT_EQ(fake_devctl_calls()[0].bytes,
              text(("/" + std::string(98, 'q')).c_str(), 99) + zeros(165));
    EXPECT_TRUE(logged_lines().empty());
}

// With standard input closed the -p device lands on descriptor 0. It was given
// and opened (read-write, like every device of the tool): the request goes there.
TEST_F(dorvane_test, p_device_on_descriptor_0_gets_the_pause_resume_request) {
    const int saved_input = dup(STDIN_FILENO);
    ASSERT_NE(saved_input, -1);
    close(STDIN_FILENO);
    const int result = handle({"-p", "/dev/null", "-O", "3"});
    const int opened = a2i_fd;
    const int mode = fcntl(opened, F_GETFL) & O_ACCMODE;
    ASSERT_NE(dup2(saved_input, STDIN_FILENO), -1);
    close(saved_input);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(mode, O_RDWR);
    ASSERT_EQ(fake_devctl_calls().size(), 1u);
    EXPECT_EQ(fake_devctl_calls()[0].fd, 0);
    EXPECT_EQ(fake_devctl_calls()[0].code, 0x80041122u);
    EXPECT_EQ(fake_devctl_calls()[0].bytes, le_words({1}));
    EXPECT_TRUE(logged_lines().empty());
}

// One line naming the command, with errno's text at that moment (which may
// differ from the number returned); the devctl number comes back; no retry.
TEST_F(dorvane_test, failed_request_logs_one_line_naming_it_and_returns_devctl_number) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "DCMD_DEBUG_AC_CONNECT_AND_FADE"},
        {{"-a", "1"}, "DCMD_DEBUG_NEW_ENABLE_DISABLE"},
        {{"-x", "0"}, "DCMD_BROWSER_SELECT_PATH_NAME"},
        {{"-x", "1"}, "DCMD_BROWSER_SELECT_PATH_ID"},
        {{"-O", "3"}, "DCMD_A2I_SERV_PAUSE_RESUME"},
    };
    for (const auto& [options, name] : cases) {
        reset(FAKE_A2I_FD);
        fake_script_devctl(EIO, EPIPE);
        EXPECT_EQ(handle(options), EIO);
        EXPECT_EQ(fake_devctl_calls().size(), 1u);
        EXPECT_EQ(logged_lines(),
                  (std::vector{std::pair(2, std::string("dorvane:  devctl( ") + name +
                                                " ) failed: " + strerror(EPIPE))}));
    }
}

TEST_F(dorvane_test, direct_connect_logs_its_call_first_then_any_failure) {
    errno = ENOENT;
    fake_script_devctl(EBADF, EBADF);
    EXPECT_EQ(handle({"-g"}), EBADF);
    EXPECT_EQ(logged_lines(),
              (std::vector{
                  std::pair(2, std::string("dorvane:  direct connect called: ") + strerror(ENOENT)),
                  std::pair(2, std::string("dorvane:  devctl( DCMD_DIRECT_CONNECT ) failed: ") +
                                   strerror(EBADF))}));
}

} // namespace
