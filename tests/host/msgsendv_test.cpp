// MsgSendv on descriptors: the record bytes reach the file, FIFO or pipe
// exactly, and each failure comes back with the errno the client acts on.
// On the side channel, against a scripted logger: where its socket lives and
// what a nonsense reply does to the connection.
#include <sys/neutrino.h>

#include "child_output.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

// Every close of this process goes through here, and a test may look in
// right after one: the window in which a descriptor number is free again.
void (*after_socket_close)(int fd) = nullptr;

extern "C" int close(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
    struct stat st {};
    const bool socket = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    const int result = real(fd);
    void (*const hook)(int) = after_socket_close;
    if (socket && hook != nullptr) {
        const int error = errno;
        after_socket_close = nullptr;
        hook(fd);
        errno = error;
    }
    return result;
}

namespace {

// A text record's header, as the client puts it in front of the text.
const wire_bytes TEXT_RECORD = record_bytes(13, 20001, {});
const std::string TEXT_HEADER(TEXT_RECORD.begin(), TEXT_RECORD.end());

// The errno of a failed send; 0 when the send did not fail.
int send_error(int coid, const iov_t* parts, long count) {
    errno = 0;
    return MsgSendv(coid, parts, count, nullptr, 0) == -1 ? errno : 0;
}

// Header, then the record split into two parts as the client sends it.
struct Message {
    slog_msg_header header;
    std::string first;
    std::string second;
    iov_t parts[3];

    Message(std::uint16_t type, std::string a, std::string b)
        : first(std::move(a)), second(std::move(b)) {
        header = {type, 16, static_cast<std::int32_t>(first.size() + second.size()), {0, 0}};
        SETIOV(&parts[0], &header, sizeof header);
        SETIOV(&parts[1], first.data(), first.size());
        SETIOV(&parts[2], second.data(), second.size());
    }
    Message(const Message&) = delete;
    long send(int coid) { return MsgSendv(coid, parts, 3, nullptr, 0); }
    int error(int coid) { return send_error(coid, parts, 3); }
};

TEST(MsgSendvDescriptor, writes_record_bytes_without_the_header) {
    Pipe pipe;
    Message message(SLOG_MSG_WRITE, TEXT_HEADER, std::string("hello\0", 6));
    EXPECT_EQ(message.send(pipe.write_end()), 18);
    EXPECT_EQ(read_all(pipe.read_end()), TEXT_HEADER + std::string("hello\0", 6));
}

TEST(MsgSendvDescriptor, descriptor_not_open_is_ebadf) {
    Message message(SLOG_MSG_WRITE, "abc", "");
    EXPECT_EQ(message.error(-1), EBADF);
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    close(fd);
    EXPECT_EQ(message.error(fd), EBADF);
    EXPECT_EQ(Message(SLOG_MSG_SIDE, "abc", "").error(fd), EBADF);
}

TEST(MsgSendvDescriptor, other_message_type_is_enosys_and_writes_nothing) {
    Pipe pipe;
    EXPECT_EQ(Message(SLOG_MSG_SIDE, "abc", "").error(pipe.write_end()), ENOSYS);
    EXPECT_EQ(read_all(pipe.read_end()), "");
}

TEST(MsgSendvDescriptor, reader_gone_is_ebadf_and_no_sigpipe_is_left) {
    Pipe pipe;
    pipe.close_read();
    // With SIGPIPE at its default a raised one would kill the test.
    struct sigaction old_action;
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &default_action, &old_action);
    Message message(SLOG_MSG_WRITE, "abc", "");
    EXPECT_EQ(message.error(pipe.write_end()), EBADF);

    // Blocked by the caller: the layer's own SIGPIPE is taken back.
    sigset_t pipe_only, old_mask, pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
    EXPECT_EQ(message.send(pipe.write_end()), -1);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGPIPE, &old_action, nullptr);
}

TEST(MsgSendvDescriptor, other_write_errors_pass_through) {
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    EXPECT_EQ(Message(SLOG_MSG_WRITE, "abc", "").error(full), ENOSPC);
    close(full);
}

// Processes falling back to one /dev/slog file each open it as the client
// does, without O_APPEND, and write at once: every record is kept whole, each
// writer's in order, and the descriptor's own flags stay as they were.
TEST(MsgSendvDescriptor, regular_file_keeps_every_record_of_every_descriptor) {
    char path[] = "/tmp/msgsendv-append-XXXXXX";
    int made = mkstemp(path);
    ASSERT_GE(made, 0);
    close(made);
    constexpr int writers = 3;
    constexpr std::uint32_t per_writer = 400;
    constexpr std::size_t filler = 24;
    pid_t children[writers];
    for (int w = 0; w < writers; ++w) {
        children[w] = fork();
        if (children[w] == 0) {
            int fd = open(path, O_WRONLY | O_CLOEXEC);
            for (std::uint32_t k = 0; k < per_writer; ++k) {
                const std::uint32_t ids[2] = {static_cast<std::uint32_t>(w), k};
                Message message(SLOG_MSG_WRITE, std::string(reinterpret_cast<const char*>(ids), 8),
                                std::string(filler, static_cast<char>('a' + w)));
                if (message.send(fd) != static_cast<long>(8 + filler))
                    _exit(1);
            }
            _exit((fcntl(fd, F_GETFL) & O_APPEND) != 0 ? 2 : 0);
        }
    }
    for (pid_t child : children) {
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    std::string file = read_all(fd);
    close(fd);
    unlink(path);
    ASSERT_EQ(file.size(), writers * per_writer * (8 + filler));
    std::uint32_t next[writers] = {};
    for (std::size_t at = 0; at < file.size(); at += 8 + filler) {
        std::uint32_t ids[2];
        std::memcpy(ids, file.data() + at, sizeof ids);
        ASSERT_LT(ids[0], static_cast<std::uint32_t>(writers)) << at;
        ASSERT_EQ(ids[1], next[ids[0]]++) << at;
        ASSERT_EQ(file.substr(at + 8, filler), std::string(filler, static_cast<char>('a' + ids[0])))
            << at;
    }
}

TEST(MsgSendvDescriptor, byte_count_must_match_the_parts) {
    Pipe pipe;
    for (std::int32_t lie : {0, 2, 4, 1000, -1}) {
        Message message(SLOG_MSG_WRITE, "abc", "");
        message.header.byte_count = lie;
        EXPECT_EQ(message.error(pipe.write_end()), EINVAL) << lie;
    }
    slog_msg_header header{SLOG_MSG_WRITE, 16, 0, {0, 0}};
    iov_t short_header;
    SETIOV(&short_header, &header, 10);
    EXPECT_EQ(send_error(pipe.write_end(), &short_header, 1), EINVAL);
    EXPECT_EQ(read_all(pipe.read_end()), "");
}

TEST(MsgSendvArguments, part_count_is_bounded) {
    Pipe pipe;
    slog_msg_header header{SLOG_MSG_WRITE, 16, 0, {0, 0}};
    iov_t parts[65];
    SETIOV(&parts[0], &header, sizeof header);
    for (int i = 1; i < 65; ++i)
        SETIOV(&parts[i], "", 0);
    EXPECT_EQ(MsgSendv(pipe.write_end(), parts, 64, nullptr, 0), 0);
    for (long count : {0L, -1L, 65L})
        EXPECT_EQ(send_error(pipe.write_end(), parts, count), EINVAL) << count;
}

constexpr int side_channel = 0x40000000;

// A private /dev for this process, so that the scripted logger's socket can
// sit at the fixed path without touching the host's.
bool enter_private_dev() {
    if (unshare(CLONE_NEWNS) != 0) {
        const std::string uid_map = "0 " + std::to_string(getuid()) + " 1";
        const std::string gid_map = "0 " + std::to_string(getgid()) + " 1";
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        for (auto [file, text] :
             {std::pair{"/proc/self/setgroups", std::string("deny")},
              std::pair{"/proc/self/uid_map", uid_map}, std::pair{"/proc/self/gid_map", gid_map}}) {
            int fd = open(file, O_WRONLY | O_CLOEXEC);
            bool written = fd >= 0 && write(fd, text.data(), text.size()) > 0;
            if (fd >= 0)
                close(fd);
            if (!written && std::strcmp(file, "/proc/self/setgroups") != 0)
                return false;
        }
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/dev", "tmpfs", 0, nullptr) == 0;
}

// The read end of a pipe on which the scripted logger writes a byte for each
// packet it takes, before it answers.
int logger_took = -1;

// A logger process on /dev/sidechannel that answers the n-th packet, on
// whatever connection it came, with replies[n], one connection at a time,
// after delay_ms.
pid_t start_logger(const std::vector<std::int32_t>& replies, int delay_ms) {
    int took[2];
    if (pipe2(took, O_CLOEXEC) != 0)
        return -1;
    logger_took = took[0];
    int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/sidechannel");
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 4) != 0)
        return -1;
    pid_t logger = fork();
    if (logger == 0) {
        // Holds nothing of the test's, and ends with it.
        for (int fd = 0; fd < 256; ++fd) {
            if (fd != listener && fd != took[1])
                close(fd);
        }
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::size_t answered = 0;
        for (;;) {
            int client = accept(listener, nullptr, nullptr);
            char packet[2048];
            while (recv(client, packet, sizeof packet, 0) > 0 && answered < replies.size()) {
                if (write(took[1], "p", 1) != 1) {
                    _exit(1); // the test has gone
                }
                usleep(static_cast<useconds_t>(delay_ms) * 1000);
                send(client, &replies[answered++], sizeof(std::int32_t), MSG_NOSIGNAL);
            }
            close(client);
        }
    }
    close(listener);
    close(took[1]);
    return logger;
}

// Descriptors of this process that are sockets: with the logger in its own
// process, only the side channel's.
std::vector<int> open_sockets() {
    std::vector<int> found;
    for (int fd = 0; fd < 256; ++fd) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
            found.push_back(fd);
    }
    return found;
}

long send_record() {
    return Message(SLOG_MSG_SIDE, TEXT_HEADER, "hi").send(side_channel);
}

void* send_in_thread(void*) {
    send_record();
    return nullptr;
}

int record_error() {
    return Message(SLOG_MSG_SIDE, TEXT_HEADER, "hi").error(side_channel);
}

// Runs check in a child with a private /dev and the scripted logger, and
// expects it to find nothing wrong (it returns what it found, "" when it
// held); skips where this system gives no mount namespace.
void expect_with_logger(const std::vector<std::int32_t>& replies, std::string (*check)(int),
                        int delay_ms = 0) {
    ChildOutput child = run_child([&](int report) {
        std::string outcome = "skip";
        // A reply that never comes ends the child rather than the test run.
        alarm(30);
        if (enter_private_dev()) {
            pid_t logger = start_logger(replies, delay_ms);
            outcome = logger < 0 ? "no logger" : check(report);
            kill(logger, SIGKILL);
        }
        if (write(report, outcome.data(), outcome.size()) < 0)
            _exit(1); // a lost report shows as the child's status
    });
    const bool ended = WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0;
    if (ended && child.text == "skip")
        GTEST_SKIP() << "no mount namespace for a private /dev";
    EXPECT_TRUE(ended) << "child ended with status " << child.status << "; " << child.text;
    EXPECT_EQ(child.text, "");
}

TEST(MsgSendvSideChannel, socket_stays_off_closed_standard_descriptors) {
    expect_with_logger({28, 28}, [](int report) -> std::string {
        // The report pipe must not be what fills a freed descriptor.
        if (report <= STDERR_FILENO)
            return "report pipe on a standard descriptor";
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        if (send_record() != 28 || send_record() != 28)
            return std::string("send failed: ") + std::strerror(errno);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
            if (fcntl(fd, F_GETFD) != -1)
                return "descriptor " + std::to_string(fd) + " was taken";
        }
        std::vector<int> sockets = open_sockets();
        if (sockets.size() != 1)
            return std::to_string(sockets.size()) + " sockets open, not one";
        if ((fcntl(sockets[0], F_GETFD) & FD_CLOEXEC) == 0)
            return "socket not closed on exec";
        return "";
    });
}

TEST(MsgSendvSideChannel, reply_without_error_number_is_eproto_and_drops_the_connection) {
    expect_with_logger({-4095, -4096, INT32_MIN, 18}, [](int) -> std::string {
        if (record_error() != 4095)
            return "-4095 is not taken as its error number";
        if (open_sockets().size() != 1)
            return "an error reply dropped the connection";
        for (int i = 0; i < 2; ++i) {
            if (record_error() != EPROTO)
                return "nonsense reply " + std::to_string(i) + " is not EPROTO";
            if (!open_sockets().empty())
                return "connection kept after nonsense reply " + std::to_string(i);
        }
        if (send_record() != 18)
            return "no new connection for the next record";
        return "";
    });
}

// A thread cancelled while it waits for the reply: the lock is free, and
// the next message gets its own reply, not the one still on its way.
TEST(MsgSendvSideChannel, sender_cancelled_in_the_reply_wait_leaves_nothing_behind) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer takes the frames a cancellation unwinds for overflows";
#endif
    expect_with_logger(
        {18, 19},
        [](int) -> std::string {
            pthread_t thread;
            pthread_create(&thread, nullptr, send_in_thread, nullptr);
            char took = 0;
            if (read(logger_took, &took, 1) != 1)
                return "the logger took no packet";
            pthread_cancel(thread);
            void* status = nullptr;
            pthread_join(thread, &status);
            if (status != PTHREAD_CANCELED)
                return "the sender was not cancelled";
            const long reply = send_record();
            return reply == 19 ? "" : "the next message got " + std::to_string(reply);
        },
        300);
}

// A dropped connection is forgotten before its number is free: a child
// forked once another thread has the number must not close that thread's
// descriptor as its parent's connection.
TEST(MsgSendvSideChannel, dropped_connection_is_forgotten_before_its_number_is_reused) {
    expect_with_logger({INT32_MIN}, [](int) -> std::string {
        static int child_status = -1;
        after_socket_close = [](int fd) {
            // Any file will do; this /dev has none.
            const int other = open("/", O_RDONLY | O_CLOEXEC);
            if (other != fd) {
                dup2(other, fd);
                close(other);
            }
            const pid_t child = fork();
            if (child == 0)
                _exit(fcntl(fd, F_GETFD) != -1 ? 0 : 1);
            waitpid(child, &child_status, 0);
            close(fd);
        };
        if (record_error() != EPROTO)
            return "the nonsense reply was taken";
        if (after_socket_close != nullptr)
            return "the connection was not closed";
        if (!WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0)
            return "the child closed the number another thread took";
        return "";
    });
}

} // namespace
