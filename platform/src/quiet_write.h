// A gathered write that never raises SIGPIPE, shared by the host layer's
// write requests and device requests.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

// writev, except that a reader gone away gives EPIPE and no signal. The
// process's signal disposition and the thread's mask are left as they were.
ssize_t writev_quietly(int fd, const iovec* parts, int count);
