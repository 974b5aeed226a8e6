// A forked child's output and exit status, for host tests that need a process
// of their own (a private /dev, a small stack limit).
#pragma once

#include <string>

#include <sys/wait.h>
#include <unistd.h>

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
    ChildOutput result{"", 0};
    char buffer[256];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        result.text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    waitpid(child, &result.status, 0);
    return result;
}
