// The host devctl against real descriptors: the frame on the wire and the
// error numbers a writer meets.
#include <devctl.h>

#include "child_output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(host_devctl, writes_code_count_and_bytes_as_one_little_endian_frame) {
    Pipe p;
    unsigned char record[5] = {1, 2, 3, 4, 5};
    int info = 99;
    errno = 1234;
    EXPECT_EQ(devctl(p.write_end(), static_cast<int>(0x80041133u), record, sizeof record, &info),
              EOK);
    EXPECT_EQ(errno, 1234) << "errno is left alone on success";
    EXPECT_EQ(info, 0);

    std::vector<unsigned char> frame(64);
    const ssize_t got = read(p.read_end(), frame.data(), frame.size());
    frame.resize(static_cast<std::size_t>(got));
    const std::vector<unsigned char> expected = {0x33, 0x11, 0x04, 0x80, 5, 0, 0, 0, 1, 2, 3, 4, 5};
    EXPECT_EQ(frame, expected);
}

TEST(host_devctl, empty_record_is_a_bare_header) {
    Pipe p;
    EXPECT_EQ(devctl(p.write_end(), 7, nullptr, 0, nullptr), EOK);
    unsigned char frame[16];
    EXPECT_EQ(read(p.read_end(), frame, sizeof frame), 8);
}

TEST(host_devctl, write_errors_come_back_as_result_and_errno) {
    unsigned char record[4] = {};
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_NE(full, -1);
    errno = 0;
    EXPECT_EQ(devctl(full, 1, record, sizeof record, nullptr), ENOSPC);
    EXPECT_EQ(errno, ENOSPC);
    close(full);

    errno = 0;
    EXPECT_EQ(devctl(-1, 1, record, sizeof record, nullptr), EBADF);
    EXPECT_EQ(errno, EBADF);
}

// The service went away: the caller gets EPIPE, lives, and keeps its signal set-up.
TEST(host_devctl, reader_gone_gives_epipe_without_sigpipe) {
    Pipe p;
    p.close_read();
    struct sigaction before {};
    sigaction(SIGPIPE, nullptr, &before);
    ASSERT_EQ(before.sa_handler, SIG_DFL) << "a raised SIGPIPE would end this test";

    unsigned char record[4] = {};
    EXPECT_EQ(devctl(p.write_end(), 1, record, sizeof record, nullptr), EPIPE);
    EXPECT_EQ(errno, EPIPE);

    struct sigaction after {};
    sigaction(SIGPIPE, nullptr, &after);
    EXPECT_EQ(after.sa_handler, SIG_DFL);
    sigset_t mask;
    sigset_t pending;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE)) << "mask not restored";
    EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << "signal left pending";
}

TEST(host_devctl, short_write_is_eio) {
    Pipe p;
    ASSERT_NE(fcntl(p.write_end(), F_SETFL, O_NONBLOCK), -1);
    const int room = fcntl(p.write_end(), F_SETPIPE_SZ, 4096);
    ASSERT_GT(room, 0);
    std::vector<unsigned char> record(static_cast<std::size_t>(room) * 2);
    EXPECT_EQ(devctl(p.write_end(), 1, record.data(), record.size(), nullptr), EIO);
    EXPECT_EQ(errno, EIO);
}

} // namespace
