// Host devctl: the request goes out as one frame (code, byte count, bytes) on
// the descriptor, so a capture file or a simulator behind a FIFO sees it whole.
#include <devctl.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <sys/uio.h>

namespace {

void put_le32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// A reader that went away must not kill the caller with SIGPIPE. The signal is
// blocked in this thread only, and one raised by this write is taken back
// before the caller's mask returns, so the process disposition stays as it is.
ssize_t writev_without_sigpipe(int fd, const iovec* parts, int count, int& error) {
    sigset_t sigpipe_only;
    sigset_t previous;
    sigset_t pending;
    sigemptyset(&sigpipe_only);
    sigaddset(&sigpipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe_only, &previous);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;

    ssize_t written;
    do {
        written = writev(fd, parts, count);
    } while (written == -1 && errno == EINTR);
    error = written == -1 ? errno : 0;

    if (error == EPIPE && !was_pending) {
        const timespec no_wait{};
        while (sigtimedwait(&sigpipe_only, nullptr, &no_wait) == -1 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written;
}

} // namespace

extern "C" int devctl(int fd, int dcmd, void* dev_data_ptr, size_t n_bytes, int* dev_info_ptr) {
    if (dev_info_ptr != nullptr) {
        *dev_info_ptr = 0;
    }
    if (n_bytes > UINT32_MAX || (n_bytes != 0 && dev_data_ptr == nullptr)) {
        errno = EINVAL; // cannot be framed
        return EINVAL;
    }
    unsigned char header[8];
    put_le32(header, static_cast<std::uint32_t>(dcmd));
    put_le32(header + 4, static_cast<std::uint32_t>(n_bytes));
    const iovec parts[2] = {{header, sizeof header}, {dev_data_ptr, n_bytes}};

    const int saved_errno = errno;
    int error = 0;
    const ssize_t written = writev_without_sigpipe(fd, parts, 2, error);
    if (written == -1) {
        errno = error;
        return error;
    }
    if (static_cast<size_t>(written) != sizeof header + n_bytes) {
        errno = EIO; // the device took part of the frame
        return EIO;
    }
    errno = saved_errno;
    return EOK;
}
