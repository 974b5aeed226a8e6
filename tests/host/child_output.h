// Descriptors in host tests: a pipe, all there is to read from one, and a
// forked child's output and exit status, for tests that need a process of
// their own (a private /dev, a small stack limit).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

// Everything there is to read, up to the end or to a read that would block.
inline std::string read_all(int fd) {
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

// A pipe that does not block, closed with the object.
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

struct ChildOutput {
    std::string text;
    int status;
};

// Runs body(out) in a child, out being the write end of a pipe; the child
// exits 0 when body returns. Gives everything written to out, and the
// child's wait status.
template <typename Body> ChildOutput run_child(Body body) {
    int out[2];
    if (pipe(out) != 0)
        return {"no pipe", -1};
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        body(out[1]);
        _exit(0);
    }
    close(out[1]);
    ChildOutput result{read_all(out[0]), 0};
    close(out[0]);
    waitpid(child, &result.status, 0);
    return result;
}
