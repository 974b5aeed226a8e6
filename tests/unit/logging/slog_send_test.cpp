// The connection state machine of the logging client: which way each attempt
// takes, when it falls back, and where it stops.
#include "slog_platform.h"
#include "slog_test_support.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
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
    EXPECT_EQ(open_call.flags, O_WRONLY | O_CLOEXEC);
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

// The fallback's state table as a reference model, row by row: one call
// walks it from the connection it starts on, one row per attempt.
enum class way { side_channel, device, broken };
enum class event { delivered, failed, lost_and_opened, lost_and_open_failed, lost };
enum class then { return_reply, return_error, send_again, fall_back };

struct transition {
    way from;
    event on;
    way to;
    then next;
};

constexpr transition FALLBACK_TABLE[] = {
    {way::side_channel, event::delivered, way::side_channel, then::return_reply},
    {way::device, event::delivered, way::device, then::return_reply},
    {way::broken, event::delivered, way::broken, then::return_reply},
    {way::side_channel, event::failed, way::side_channel, then::return_error},
    {way::device, event::failed, way::device, then::return_error},
    {way::broken, event::failed, way::broken, then::return_error},
    {way::side_channel, event::lost_and_opened, way::device, then::send_again},
    {way::side_channel, event::lost_and_open_failed, way::broken, then::return_error},
    // After closing the old one; on to the side channel only once a call.
    {way::device, event::lost, way::side_channel, then::fall_back},
    {way::broken, event::lost, way::side_channel, then::fall_back},
};

const transition& row_for(way from, event on) {
    for (const transition& row : FALLBACK_TABLE) {
        if (row.from == from && row.on == on) {
            return row;
        }
    }
    ADD_FAILURE() << "no row";
    return FALLBACK_TABLE[0];
}

// What the logger does with each send, and whether each open succeeds.
enum class answer { delivered, ebadf, enosys, other_error };
constexpr std::size_t MOST_SENDS = 4;
constexpr std::size_t MOST_OPENS = 2;
constexpr int OPEN_ERROR = ENOENT;

struct outcomes {
    answer sends[MOST_SENDS];
    bool opens[MOST_OPENS];
};

// The logger's reply to each send: 0 is a delivery too, also after a lost
// send left errno at EBADF or ENOSYS.
constexpr long REPLIES[MOST_SENDS] = {100, 0, 200, 0};

int error_of(answer reply) {
    return reply == answer::ebadf ? EBADF : reply == answer::enosys ? ENOSYS : EIO;
}

struct call_effect {
    long result = 0;
    int error = 0; // when result is -1
    int connection = 0;
    std::vector<std::string> calls; // "send FD TYPE", "open FD", "close FD"

    bool operator==(const call_effect&) const = default;
};

void PrintTo(const call_effect& effect, std::ostream* out) {
    *out << "result " << effect.result << ", errno " << effect.error << ", then on "
         << effect.connection << ", calls:";
    for (const std::string& call : effect.calls) {
        *out << " [" << call << "]";
    }
}

std::string send_call(int coid, std::uint16_t type) {
    return "send " + std::to_string(coid) + " " + std::to_string(type);
}

call_effect model_call(int start, const outcomes& given, int next_fd) {
    call_effect effect;
    effect.connection = start;
    std::size_t sends = 0;
    std::size_t opens = 0;
    bool fallen_back = false;
    for (;;) {
        const int coid = effect.connection;
        const way from = coid == SLOG_SIDE_CHANNEL ? way::side_channel
                         : coid == -1              ? way::broken
                                                   : way::device;
        effect.calls.push_back(send_call(coid, from == way::side_channel ? 2 : 0x102));
        if (sends == MOST_SENDS) {
            ADD_FAILURE() << "more sends than the bound";
            return effect;
        }
        const answer reply = given.sends[sends];
        const long result = REPLIES[sends++];
        int error = error_of(reply);
        event on = reply == answer::delivered     ? event::delivered
                   : reply == answer::other_error ? event::failed
                                                  : event::lost;
        int opened = -1;
        if (on == event::lost && from == way::side_channel) {
            const bool open_succeeds = given.opens[opens++];
            opened = open_succeeds ? next_fd++ : -1;
            effect.calls.push_back("open " + std::to_string(opened));
            on = open_succeeds ? event::lost_and_opened : event::lost_and_open_failed;
            error = open_succeeds ? error : OPEN_ERROR;
        }
        const transition& row = row_for(from, on);
        if (row.next == then::fall_back) {
            effect.calls.push_back("close " + std::to_string(coid));
        }
        effect.connection = row.to == way::side_channel ? SLOG_SIDE_CHANNEL
                            : row.to == way::broken     ? -1
                            : row.to == from            ? coid
                                                        : opened;
        if (row.next == then::return_reply) {
            effect.result = result;
            return effect;
        }
        if (row.next == then::return_error || (row.next == then::fall_back && fallen_back)) {
            effect.result = -1;
            effect.error = error;
            return effect;
        }
        fallen_back = fallen_back || row.next == then::fall_back;
    }
}

call_effect real_call(int start, const outcomes& given) {
    fake_reset();
    _slogfd = start == SLOG_SIDE_CHANNEL || start == -1 ? start : fake_device_descriptor();
    for (std::size_t i = 0; i < MOST_SENDS; ++i) {
        const answer reply = given.sends[i];
        fake_script_send(reply == answer::delivered ? REPLIES[i] : -1, error_of(reply));
    }
    for (const bool open_succeeds : given.opens) {
        fake_script_open_failure(open_succeeds ? 0 : OPEN_ERROR);
    }
    errno = 0;
    call_effect effect;
    effect.result = send_record();
    effect.error = effect.result == -1 ? errno : 0;
    effect.connection = _slogfd;
    const std::vector<sent_message> messages = sent_messages();
    std::size_t sent = 0;
    for (const fake_call& call : fake_calls()) {
        effect.calls.push_back(
            call.kind == fake_call_kind::send ? send_call(call.fd, messages.at(sent++).header.type)
            : call.kind == fake_call_kind::open ? "open " + std::to_string(call.fd)
                                                : "close " + std::to_string(call.fd));
    }
    return effect;
}

// Every sequence of answers up to the bound, from each way a call can start
// on: case n gives send i the answer of bits 2i and 2i+1, and makes open j
// fail with bit 8+j. 3 x 4^4 x 2^2 = 3,072 calls, each against the model.
TEST_F(SlogSend, every_outcome_sequence_follows_the_fallback_table) {
    for (const int start : {SLOG_SIDE_CHANNEL, FAKE_FIRST_FD, -1}) {
        const int next_fd = start == FAKE_FIRST_FD ? FAKE_FIRST_FD + 1 : FAKE_FIRST_FD;
        for (unsigned n = 0; n < 1024; ++n) {
            outcomes given{};
            for (std::size_t i = 0; i < MOST_SENDS; ++i) {
                given.sends[i] = static_cast<answer>((n >> (2 * i)) & 3);
            }
            given.opens[0] = (n & 256) == 0;
            given.opens[1] = (n & 512) == 0;
            ASSERT_EQ(real_call(start, given), model_call(start, given, next_fd))
                << "from " << start << ", case " << n;
        }
    }
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

void* log_when_cancelled(void*) {
    pthread_cancel(pthread_self());
    send_record();
    return nullptr;
}

// A thread cancelled while it logs: its record goes out whole, though the
// fake's send is a cancellation point; it ends at the end of the call, and
// the lock is free for the next record.
TEST_F(SlogSend, cancelled_thread_finishes_its_record_and_leaves_the_lock_free) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer takes the frames a cancellation unwinds for overflows";
#endif
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, log_when_cancelled, nullptr), 0);
    void* status = nullptr;
    ASSERT_EQ(pthread_join(thread, &status), 0);
    EXPECT_EQ(status, PTHREAD_CANCELED);
    EXPECT_EQ(call_trace(), (std::vector<std::string>{"send " + SIDE}));
    ASSERT_EQ(pthread_mutex_trylock(&__slog_mux), 0);
    pthread_mutex_unlock(&__slog_mux);
}

// Also where the lock cannot be made anew in the child. The child ends with
// exit, as a program would, so that its exit handlers run.
TEST_F(SlogSend, fork_leaves_the_lock_free_in_parent_and_child) {
    ASSERT_EQ(send_record(), 0); // the client's set-up has run
    for (const bool init_fails : {false, true}) {
        fake_reset();
        if (init_fails) {
            fake_script_lock_init_failure(EAGAIN);
        }
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            exit(pthread_mutex_trylock(&__slog_mux) == 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << init_fails;
        ASSERT_EQ(pthread_mutex_trylock(&__slog_mux), 0);
        pthread_mutex_unlock(&__slog_mux);
    }
}

} // namespace
