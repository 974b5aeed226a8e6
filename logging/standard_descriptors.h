// A descriptor the logging connection opens is kept above the standard ones:
// in a program started with standard output or error closed it would get
// that number, and the program's printf or perror output would reach the
// logger among the records. Shared by the client's logger device and the host
// layer's side channel. Each file that uses it gets its own copy: no name of
// it leaves the library.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

// fd itself when it is above the standard descriptors or -1; otherwise a
// close-on-exec copy above them, fd closed, or -1 with errno.
static inline int above_standard_descriptors(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}
