// The connection state machine of the logging client: which way each attempt
// takes, when it falls back, and where it stops.
#include "slog_platform.h"
#include "slog_test_support.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class SlogSend : public FakePlatformTest {};

constexpr char RECORD[] = "payload";

int send_record() {
    return slogb(1, 5, RECORD, sizeof RECORD);
}

// The kinds and descriptors of every recorded call, e.g. "send 1073741824".
std::vector<std::string> call_trace() {
    std::vector<std::string> trace;
    for (const fake_call& call : fake_calls()) {
        const char* kind = call.kind == fake_call_kind::send    ? "send "
                           : call.kind == fake_call_kind::open  ? "open "
                           : call.kind == fake_call_kind::close ? "close "
                                                                : "symlink ";
        trace.push_back(kind + std::to_string(call.fd));
    }
    return trace;
}

std::vector<std::uint16_t> message_types() {
    std::vector<std::uint16_t> types;
    for (const sent_message& message : sent_messages()) {
        types.push_back(message.header.type);
    }
    return types;
}

const std::string SIDE = std::to_string(SLOG_SIDE_CHANNEL);
const std::string FIRST = std::to_string(FAKE_FIRST_FD);
const std::string SECOND = std::to_string(FAKE_FIRST_FD + 1);

TEST_F(SlogSend, side_channel_delivers_in_one_send_and_passes_the_reply_through) {
    fake_script_send(42);
    EXPECT_EQ(send_record(), 42);
    EXPECT_EQ(call_trace(), (std::vector<std::string>{"send " + SIDE}));
    EXPECT_EQ(message_types(), (std::vector<std::uint16_t>{SLOG_MSG_SIDE}));
    EXPECT_EQ(_slogfd, SLOG_SIDE_CHANNEL);
}

TEST_F(SlogSend, side_channel_without_logger_moves_to_the_device_for_good) {
    fake_script_send(-1, ENOSYS);
    EXPECT_EQ(send_record(), 0);
    EXPECT_EQ(send_record(), 0);

    EXPECT_EQ(call_trace(), (std::vector<std::string>{"send " + SIDE, "open " + FIRST,
                                                      "send " + FIRST, "send " + FIRST}));
    EXPECT_EQ(message_types(),
              (std::vector<std::uint16_t>{SLOG_MSG_SIDE, SLOG_MSG_WRITE, SLOG_MSG_WRITE}));
    const fake_call open_call = fake_calls_of(fake_call_kind::open).at(0);
    EXPECT_EQ(open_call.path, "/dev/slog");
    EXPECT_EQ(open_call.flags, O_WRONLY);
    EXPECT_EQ(_slogfd, FAKE_FIRST_FD);
}

TEST_F(SlogSend, stale_device_is_closed_and_the_record_resent_on_the_side_channel) {
    const int device = fake_device_descriptor();
    _slogfd = device;
    fake_script_send(-1, EBADF);
    EXPECT_EQ(send_record(), 0);

    const std::string stale = std::to_string(device);
    EXPECT_EQ(call_trace(),
              (std::vector<std::string>{"send " + stale, "close " + stale, "send " + SIDE}));
    EXPECT_EQ(message_types(), (std::vector<std::uint16_t>{SLOG_MSG_WRITE, SLOG_MSG_SIDE}));
    const std::vector<sent_message> messages = sent_messages();
    EXPECT_EQ(messages[0].payload, messages[1].payload);
    EXPECT_EQ(_slogfd, SLOG_SIDE_CHANNEL);
}

TEST_F(SlogSend, unopenable_device_fails_with_the_open_error_and_leaves_the_connection_broken) {
    fake_script_send(-1, EBADF);
    fake_script_open_failure(ENOENT);
    errno = 0;
    EXPECT_EQ(send_record(), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(call_trace(), (std::vector<std::string>{"send " + SIDE, "open -1"}));
    EXPECT_EQ(_slogfd, -1);
}

TEST_F(SlogSend, broken_connection_is_closed_and_the_next_record_goes_by_the_side_channel) {
    _slogfd = -1;
    fake_script_send(-1, EBADF); // a send on -1
    EXPECT_EQ(send_record(), 0);
    EXPECT_EQ(call_trace(), (std::vector<std::string>{"send -1", "close -1", "send " + SIDE}));
    EXPECT_EQ(message_types(), (std::vector<std::uint16_t>{SLOG_MSG_WRITE, SLOG_MSG_SIDE}));
    EXPECT_EQ(_slogfd, SLOG_SIDE_CHANNEL);
}

TEST_F(SlogSend, other_errors_fail_the_record_and_keep_the_connection) {
    enum start { side_channel, device, broken };
    for (const start from : {side_channel, device, broken}) {
        for (const int error : {EINTR, EIO, ENOSPC}) {
            fake_reset();
            const int coid = from == side_channel ? SLOG_SIDE_CHANNEL
                             : from == device     ? fake_device_descriptor()
                                                  : -1;
            _slogfd = coid;
            fake_script_send(-1, error);
            EXPECT_EQ(send_record(), -1);
            EXPECT_EQ(errno, error);
            EXPECT_EQ(call_trace(), (std::vector<std::string>{"send " + std::to_string(coid)}));
            EXPECT_EQ(_slogfd, coid);
        }
    }
}

TEST_F(SlogSend, fallback_from_the_side_channel_stops_after_four_sends) {
    for (int i = 0; i < 8; ++i) {
        fake_script_send(-1, i % 2 == 0 ? ENOSYS : EBADF);
    }
    EXPECT_EQ(send_record(), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(call_trace(),
              (std::vector<std::string>{"send " + SIDE, "open " + FIRST, "send " + FIRST,
                                        "close " + FIRST, "send " + SIDE, "open " + SECOND,
                                        "send " + SECOND, "close " + SECOND}));
    EXPECT_EQ(message_types(), (std::vector<std::uint16_t>{SLOG_MSG_SIDE, SLOG_MSG_WRITE,
                                                           SLOG_MSG_SIDE, SLOG_MSG_WRITE}));
    EXPECT_EQ(_slogfd, SLOG_SIDE_CHANNEL);
}

TEST_F(SlogSend, fallback_from_a_descriptor_stops_after_three_sends) {
    const int device = fake_device_descriptor();
    _slogfd = device;
    for (int i = 0; i < 8; ++i) {
        fake_script_send(-1, ENOSYS);
    }
    EXPECT_EQ(send_record(), -1);
    EXPECT_EQ(errno, ENOSYS);

    const std::string stale = std::to_string(device);
    const std::string reopened = std::to_string(device + 1);
    EXPECT_EQ(call_trace(), (std::vector<std::string>{"send " + stale, "close " + stale,
                                                      "send " + SIDE, "open " + reopened,
                                                      "send " + reopened, "close " + reopened}));
    EXPECT_EQ(_slogfd, SLOG_SIDE_CHANNEL);
}

TEST_F(SlogSend, lock_failure_sends_nothing_and_reports_the_lock_error) {
    ASSERT_EQ(send_record(), 0); // the client's one-time set-up is done
    fake_reset();
    // An error-checking lock that this thread already holds refuses a second lock.
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&__slog_mux, &attributes);
    pthread_mutexattr_destroy(&attributes);
    ASSERT_EQ(pthread_mutex_lock(&__slog_mux), 0);

    EXPECT_EQ(send_record(), -1);
    EXPECT_EQ(errno, EDEADLK);
    EXPECT_TRUE(fake_calls().empty());
    pthread_mutex_unlock(&__slog_mux);
}

TEST_F(SlogSend, fork_leaves_the_lock_free_in_parent_and_child) {
    ASSERT_EQ(send_record(), 0); // the client's set-up has run
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        _exit(pthread_mutex_trylock(&__slog_mux) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(pthread_mutex_trylock(&__slog_mux), 0);
    pthread_mutex_unlock(&__slog_mux);
}

} // namespace
