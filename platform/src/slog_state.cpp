// The logger connection state that the unit's C library owns and shares with
// its own logging calls. On the host nothing else provides it.
#include "shared_object.h"
#include "slog.h"

#include <pthread.h>
#include <unistd.h>

extern "C" {
// Next connection a record goes to: the side channel until the client changes it.
int _slogfd = SLOG_SIDE_CHANNEL;
// Serialises every send with the choice and repair of _slogfd.
pthread_mutex_t __slog_mux = PTHREAD_MUTEX_INITIALIZER;
// Runs the client's one-time set-up once per process.
pthread_once_t __slog_once = PTHREAD_ONCE_INIT;
}

namespace {

// No send is half done when the process forks.
void lock_for_fork() {
    pthread_mutex_lock(&__slog_mux);
}

// In the child too: the forking thread, which took the lock, is the child's
// only thread. Releasing it, rather than making it anew, leaves a thread
// checker (helgrind, DRD) nothing to report.
void unlock_after_fork() {
    pthread_mutex_unlock(&__slog_mux);
}

void set_up_logger_state() {
    pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
}

// The one-time set-up, done here as the unit's C library does it for itself,
// before any constructor or main of the program: the lock's fork handlers
// then come before any the program registers. Prepare handlers run in the
// reverse order of registration, so a program's own handlers that log run
// before the lock is taken and after it is released. The client's own
// set-up, through the same once-control, then runs nothing.
__attribute__((constructor(101))) void set_up_before_the_program() {
    pthread_once(&__slog_once, set_up_logger_state);
}

// A shared object that links the library and is unloaded takes its logger
// device descriptor with it. The program's own stays open until the
// process ends, as on the unit. A thread still in a send keeps it.
__attribute__((destructor(101))) void close_logger_device() {
    if (!in_shared_object(&_slogfd) || pthread_mutex_trylock(&__slog_mux) != 0) {
        return;
    }
    if (_slogfd != SLOG_SIDE_CHANNEL && _slogfd >= 0) {
        close(_slogfd);
        _slogfd = SLOG_SIDE_CHANNEL;
    }
    pthread_mutex_unlock(&__slog_mux);
}

} // namespace
