// A gathered write that never raises SIGPIPE, shared by the host layer's
// write requests and device requests. Each file that uses it gets its own
// copy: no name of it leaves the library, where a program's function of the
// same name would take over the device writes.
#pragma once

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

// writev, except that a reader gone away gives EPIPE and no signal. The
// process's signal disposition and the thread's mask are left as they were:
// SIGPIPE is blocked in this thread only, and one that this write raised is
// taken back before the thread's own mask returns.
static inline ssize_t writev_quietly(int fd, const iovec* parts, int count) {
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    // A SIGPIPE already pending belongs to someone else and stays. Only one
    // that was blocked before can be pending now.
    bool was_pending = false;
    if (sigismember(&old, SIGPIPE)) {
        sigset_t pending;
        sigpending(&pending);
        was_pending = sigismember(&pending, SIGPIPE);
    }
    ssize_t written = writev(fd, parts, count);
    int error = errno;
    if (written < 0 && error == EPIPE && !was_pending) {
        const timespec now{0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return written;
}
