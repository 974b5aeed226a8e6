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
    for (const sent_message& message : sent_messages())
        types.push_back(message.header.type);
    return types;
}

const std::string SIDE = std::to_string(SLOG_SIDE_CHANNEL);
const std::string FIRST = std::to_string(FAKE_FIRST_FD);
const std::string SECOND = std::to_string(FAKE_FIRST_FD + 1);
constexpr std::uint16_t SIDE_MSG = SLOG_MSG_SIDE;
constexpr std::uint16_t WRITE_MSG = SLOG_MSG_WRITE;

// Records sent from a starting connection against scripted answers: what each
// returns, the calls made, the message types (when given) and where _slogfd
// is left. Every open is of the device, and every send carries the record.
struct way_case {
    int start;                    // FAKE_FIRST_FD: a device connection the client already holds
    std::vector<int> send_errors; // 0: the reply 42
    int open_error;
    int records;
    int result;
    int error;
    int connection;
    std::vector<std::uint16_t> types;
    std::vector<std::string> trace;
};

// clang-format off
const way_case WAYS[] = {
    // 0: the side channel delivers in one send and passes the reply through.
    {SLOG_SIDE_CHANNEL, {0}, 0, 1, 42, 0, SLOG_SIDE_CHANNEL, {SIDE_MSG}, {"send " + SIDE}},
    // 1: the side channel without logger moves to the device for good.
    {SLOG_SIDE_CHANNEL, {ENOSYS}, 0, 2, 0, 0, FAKE_FIRST_FD, {SIDE_MSG, WRITE_MSG, WRITE_MSG},
     {"send " + SIDE, "open " + FIRST, "send " + FIRST, "send " + FIRST}},
    // 2: a stale device is closed and the record resent on the side channel.
    {FAKE_FIRST_FD, {EBADF}, 0, 1, 0, 0, SLOG_SIDE_CHANNEL, {WRITE_MSG, SIDE_MSG},
     {"send " + FIRST, "close " + FIRST, "send " + SIDE}},
    // 3: an unopenable device fails with the open error and leaves the connection broken.
    {SLOG_SIDE_CHANNEL, {EBADF}, ENOENT, 1, -1, ENOENT, -1, {}, {"send " + SIDE, "open -1"}},
    // 4: a broken connection is closed and the next record goes by the side channel.
    {-1, {EBADF}, 0, 1, 0, 0, SLOG_SIDE_CHANNEL, {WRITE_MSG, SIDE_MSG},
     {"send -1", "close -1", "send " + SIDE}},
    // 5: the fallback from the side channel stops after four sends.
    {SLOG_SIDE_CHANNEL, {ENOSYS, EBADF, ENOSYS, EBADF, ENOSYS, EBADF, ENOSYS, EBADF}, 0, 1, -1,
     EBADF, SLOG_SIDE_CHANNEL, {SIDE_MSG, WRITE_MSG, SIDE_MSG, WRITE_MSG},
     {"send " + SIDE, "open " + FIRST, "send " + FIRST, "close " + FIRST, "send " + SIDE,
      "open " + SECOND, "send " + SECOND, "close " + SECOND}},
    // 6: the fallback from a descriptor stops after three sends.
    {FAKE_FIRST_FD, std::vector<int>(8, ENOSYS), 0, 1, -1, ENOSYS, SLOG_SIDE_CHANNEL, {},
     {"send " + FIRST, "close " + FIRST, "send " + SIDE, "open " + SECOND, "send " + SECOND,
      "close " + SECOND}},
};
// clang-format on

TEST_F(SlogSend, each_way_delivers_falls_back_or_stops_as_its_answers_say) {
    for (const way_case& c : WAYS) {
        SCOPED_TRACE("case " + std::to_string(&c - WAYS));
        fake_reset();
        _slogfd = c.start == FAKE_FIRST_FD ? fake_device_descriptor() : c.start;
        for (const int error : c.send_errors)
            fake_script_send(error == 0 ? 42 : -1, error);
        if (c.open_error != 0)
            fake_script_open_failure(c.open_error);
        for (int i = 0; i < c.records; ++i) {
            errno = 0;
            EXPECT_EQ(send_record(), c.result);
            if (c.result == -1) {
                EXPECT_EQ(errno, c.error);
            }
        }
        EXPECT_EQ(call_trace(), c.trace);
        if (!c.types.empty()) {
            EXPECT_EQ(message_types(), c.types);
        }
        for (const fake_call& open_call : fake_calls_of(fake_call_kind::open)) {
            EXPECT_EQ(open_call.path, "/dev/slog");
            EXPECT_EQ(open_call.flags, O_WRONLY | O_CLOEXEC);
        }
        for (const sent_message& message : sent_messages())
            EXPECT_EQ(message.payload, sent_messages().at(0).payload);
        EXPECT_EQ(_slogfd, c.connection);
    }
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
            EXPECT_EQ(failed_with(send_record()), error);
            EXPECT_EQ(call_trace(), (std::vector<std::string>{"send " + std::to_string(coid)}));
            EXPECT_EQ(_slogfd, coid);
        }
    }
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
        if (row.from == from && row.on == on)
            return row;
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
    for (const std::string& call : effect.calls)
        *out << " [" << call << "]";
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
        if (row.next == then::fall_back)
            effect.calls.push_back("close " + std::to_string(coid));
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
    for (const bool open_succeeds : given.opens)
        fake_script_open_failure(open_succeeds ? 0 : OPEN_ERROR);
    errno = 0;
    call_effect effect;
    effect.result = send_record();
    effect.error = effect.result == -1 ? errno : 0;
    effect.connection = _slogfd;
    const std::vector<std::uint16_t> types = message_types();
    std::size_t sent = 0;
    for (const std::string& call : call_trace())
        effect.calls.push_back(
            call.rfind("send ", 0) == 0 ? call + " " + std::to_string(types.at(sent++)) : call);
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
            for (std::size_t i = 0; i < MOST_SENDS; ++i)
                given.sends[i] = static_cast<answer>((n >> (2 * i)) & 3);
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

    EXPECT_EQ(failed_with(send_record()), EDEADLK);
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
        if (init_fails)
            fake_script_lock_init_failure(EAGAIN);
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0)
            exit(pthread_mutex_trylock(&__slog_mux) == 0 ? 0 : 1);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << init_fails;
        ASSERT_EQ(pthread_mutex_trylock(&__slog_mux), 0);
        pthread_mutex_unlock(&__slog_mux);
    }
}

} // namespace
