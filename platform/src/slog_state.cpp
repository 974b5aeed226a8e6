// The logger connection state that the unit's C library owns and shares with
// its own logging calls. On the host nothing else provides it.
#include <pthread.h>

extern "C" {
// Next connection a record goes to: the side channel until the client changes it.
int _slogfd = 0x40000000;
// Serialises every send with the choice and repair of _slogfd.
pthread_mutex_t __slog_mux = PTHREAD_MUTEX_INITIALIZER;
// Runs the client's one-time set-up once per process.
pthread_once_t __slog_once = PTHREAD_ONCE_INIT;
}
