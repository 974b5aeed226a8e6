// MsgSendv on descriptors: the record bytes reach the file, FIFO or pipe
// exactly, and each failure comes back with the errno the client acts on.
#include <sys/neutrino.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct MsgHeader {
    std::uint16_t type;
    std::uint16_t header_len;
    std::int32_t byte_count;
    std::uint32_t reserved[2];
};
static_assert(sizeof(MsgHeader) == 16);

constexpr std::uint16_t write_type = 0x102;

// Header, then the record split into two parts as the client sends it.
struct Message {
    MsgHeader header;
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
};

std::string read_all(int fd) {
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

class Pipe {
  public:
    Pipe() { EXPECT_EQ(pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe() {
        close_read();
        close(fds_[1]);
    }
    int read_end() const { return fds_[0]; }
    int write_end() const { return fds_[1]; }
    void close_read() {
        if (fds_[0] >= 0)
            close(fds_[0]);
        fds_[0] = -1;
    }

  private:
    int fds_[2];
};

TEST(MsgSendvDescriptor, writes_record_bytes_without_the_header) {
    Pipe pipe;
    std::string rec("\x0d\0\0\0\x21\x4e\0\0\0\0\0\0", 12);
    Message message(write_type, rec, std::string("hello\0", 6));
    EXPECT_EQ(message.send(pipe.write_end()), 18);
    EXPECT_EQ(read_all(pipe.read_end()), rec + std::string("hello\0", 6));
}

TEST(MsgSendvDescriptor, descriptor_not_open_is_ebadf) {
    Message message(write_type, "abc", "");
    errno = 0;
    EXPECT_EQ(message.send(-1), -1);
    EXPECT_EQ(errno, EBADF);

    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    close(fd);
    errno = 0;
    EXPECT_EQ(message.send(fd), -1);
    EXPECT_EQ(errno, EBADF);

    Message other(2, "abc", "");
    errno = 0;
    EXPECT_EQ(other.send(fd), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(MsgSendvDescriptor, other_message_type_is_enosys_and_writes_nothing) {
    Pipe pipe;
    Message message(2, "abc", "");
    errno = 0;
    EXPECT_EQ(message.send(pipe.write_end()), -1);
    EXPECT_EQ(errno, ENOSYS);
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
    Message message(write_type, "abc", "");
    errno = 0;
    EXPECT_EQ(message.send(pipe.write_end()), -1);
    EXPECT_EQ(errno, EBADF);

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
    Message message(write_type, "abc", "");
    errno = 0;
    EXPECT_EQ(message.send(full), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(full);
}

TEST(MsgSendvDescriptor, byte_count_must_match_the_parts) {
    Pipe pipe;
    for (std::int32_t lie : {0, 2, 4, 1000, -1}) {
        Message message(write_type, "abc", "");
        message.header.byte_count = lie;
        errno = 0;
        EXPECT_EQ(message.send(pipe.write_end()), -1) << lie;
        EXPECT_EQ(errno, EINVAL) << lie;
    }
    MsgHeader header{write_type, 16, 0, {0, 0}};
    iov_t short_header;
    SETIOV(&short_header, &header, 10);
    errno = 0;
    EXPECT_EQ(MsgSendv(pipe.write_end(), &short_header, 1, nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(read_all(pipe.read_end()), "");
}

TEST(MsgSendvArguments, part_count_is_bounded) {
    Pipe pipe;
    MsgHeader header{write_type, 16, 0, {0, 0}};
    iov_t parts[65];
    SETIOV(&parts[0], &header, sizeof header);
    for (int i = 1; i < 65; ++i)
        SETIOV(&parts[i], "", 0);
    EXPECT_EQ(MsgSendv(pipe.write_end(), parts, 64, nullptr, 0), 0);
    for (long count : {0L, -1L, 65L}) {
        errno = 0;
        EXPECT_EQ(MsgSendv(pipe.write_end(), parts, count, nullptr, 0), -1) << count;
        EXPECT_EQ(errno, EINVAL) << count;
    }
}

} // namespace
