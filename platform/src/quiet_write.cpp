#include "quiet_write.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

// SIGPIPE is blocked in this thread only, and one that this write raised is
// taken back before the thread's own mask returns.
ssize_t writev_quietly(int fd, const iovec* parts, int count) {
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
