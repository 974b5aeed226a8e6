// The platform interfaces the logging client uses. On the unit they come from
// the C library; on a Linux host, from the host layer.
#pragma once

#include <pthread.h>
#include <sys/neutrino.h> // iov_t, SETIOV, MsgSendv, __stackavail

// The logger connection, its lock and its once-control belong to the C library
// and are shared with its own logging calls; the client uses them in place.
extern "C" {
extern int _slogfd;
extern pthread_mutex_t __slog_mux;
extern pthread_once_t __slog_once;
}
