// Host devctl: the request goes out as one frame (code, byte count, bytes) on
// the descriptor, so a capture file or a simulator behind a FIFO sees it whole.
#include <devctl.h>

#include "quiet_write.h"

#include <cerrno>
#include <cstdint>
#include <sys/uio.h>

namespace {

void put_le32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// A reader that went away must not kill the caller with SIGPIPE, and a signal
// that interrupts the write does not fail the request.
ssize_t write_frame(int fd, const iovec* parts, int count, int& error) {
    ssize_t written;
    do {
        written = writev_quietly(fd, parts, count);
    } while (written == -1 && errno == EINTR);
    error = written == -1 ? errno : 0;
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
    const ssize_t written = write_frame(fd, parts, 2, error);
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
