// MsgSendv on Linux. The side channel is a SOCK_SEQPACKET connection to the
// host logger: one packet out, one 32-bit reply back. Any other connection is
// a file descriptor that takes write requests.
#include <sys/neutrino.h>

#include "quiet_write.h"
#include "shared_object.h"
#include "slog.h"
#include "standard_descriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

// glibc's own cleanup buffers, which its cancellation runs as it unwinds the
// thread. pthread_cleanup_push is a C++ class there, whose unwinding would
// make the archive need the C++ runtime.
extern "C" void _pthread_cleanup_push(_pthread_cleanup_buffer* buffer, void (*routine)(void*),
                                      void* arg);
extern "C" void _pthread_cleanup_pop(_pthread_cleanup_buffer* buffer, int execute);

namespace {

constexpr char SIDE_CHANNEL_PATH[] = "/dev/sidechannel";
// More parts than any record needs; bounds the vector kept on the stack.
constexpr long MAX_PARTS = 64;

// The kept side-channel connection, or -1. Guarded by side_mux.
int side_fd = -1;
// Serialises one packet and its reply on side_fd. Lock order: a caller may
// hold the logging client's lock when it takes this one, never the reverse.
pthread_mutex_t side_mux = PTHREAD_MUTEX_INITIALIZER;

// Forgotten before it is closed: a child forked in between must not close
// whatever descriptor another thread opens under the same number. Nothing
// to do when there is no connection.
void drop_side_channel() {
    const int fd = side_fd;
    if (fd >= 0) {
        side_fd = -1;
        close(fd);
    }
}

// The child must not talk on its parent's connection: the replies would
// interleave. It makes its own on its first record, under a lock of its own.
// There is no prepare handler: one that took side_mux would wait on a thread
// that holds the client's lock, while the client's own prepare handler, run
// later or earlier by the order of registration, waits on that lock. With the
// client's lock held across the fork no record is in here, so the lock is
// free and stays as it is, which leaves a thread checker nothing to report;
// only a thread that called MsgSendv itself can have held it, and then it is
// made anew.
void fork_child() {
    drop_side_channel();
    if (pthread_mutex_trylock(&side_mux) == 0) {
        pthread_mutex_unlock(&side_mux);
    } else {
        pthread_mutex_init(&side_mux, nullptr);
    }
}

// Before any constructor of the program, which may log and then fork.
__attribute__((constructor(101))) void register_fork_child() {
    pthread_atfork(nullptr, nullptr, fork_child);
}

// The logger went away or restarted: nothing was sent on this connection.
bool is_dead_connection(int error) {
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN;
}

long fail(int error) {
    errno = error;
    return -1;
}

// Converts the caller's parts into host iovecs, skipping the first `skip`
// bytes. Returns the number of host parts, or -1 when the total overflows.
long to_host_iov(const iov_t* parts, long count, size_t skip, iovec* out, size_t* total) {
    long n = 0;
    *total = 0;
    for (long i = 0; i < count; ++i) {
        size_t len = parts[i].iov_len;
        if (*total > SIZE_MAX - len) {
            return -1;
        }
        *total += len;
        size_t cut = skip < len ? skip : len;
        skip -= cut;
        if (len > cut) {
            out[n++] = iovec{static_cast<char*>(parts[i].iov_base) + cut, len - cut};
        }
    }
    return n;
}

// Reads the first bytes of the message, which may span parts.
void copy_head(const iov_t* parts, long count, void* out, size_t want) {
    auto* at = static_cast<unsigned char*>(out);
    for (long i = 0; i < count && want > 0; ++i) {
        size_t take = parts[i].iov_len < want ? parts[i].iov_len : want;
        memcpy(at, parts[i].iov_base, take);
        at += take;
        want -= take;
    }
}

int connect_side_channel() {
    int fd = above_standard_descriptors(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd < 0) {
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, SIDE_CHANNEL_PATH, sizeof SIDE_CHANNEL_PATH);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        // Missing, not a socket, nobody listening: no logger on this way.
        close(fd);
        errno = ENOSYS;
        return -1;
    }
    return fd;
}

// One packet out on the kept connection, remade once if the logger was
// restarted since the last message. Returns 0, or -1 with errno.
long send_packet(msghdr* msg) {
    bool fresh = false;
    if (side_fd < 0) {
        side_fd = connect_side_channel();
        if (side_fd < 0) {
            return -1;
        }
        fresh = true;
    }
    for (;;) {
        if (sendmsg(side_fd, msg, MSG_NOSIGNAL) >= 0) {
            return 0;
        }
        if (!is_dead_connection(errno)) {
            return -1;
        }
        drop_side_channel();
        if (fresh) {
            return fail(ENOSYS);
        }
        side_fd = connect_side_channel();
        if (side_fd < 0) {
            return -1;
        }
        fresh = true;
    }
}

// The reply to the packet just sent. It must be read even when a signal
// interrupts the wait, or the next message would get this one's reply.
long receive_reply() {
    int32_t reply = 0;
    ssize_t got;
    do {
        got = recv(side_fd, &reply, sizeof reply, 0);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof reply) {
        if (reply >= 0) {
            return reply;
        }
        if (reply >= -4095) {
            return fail(-reply);
        }
        // Not a negated errno: a logger that answers nonsense is not trusted
        // with the next record either.
        drop_side_channel();
        return fail(EPROTO);
    }
    // The logger went away after taking the message; the connection is spent.
    int error = EPROTO;
    if (got == 0 || (got < 0 && is_dead_connection(errno))) {
        error = ENOSYS;
    } else if (got < 0) {
        error = errno;
    }
    drop_side_channel();
    return fail(error);
}

// A shared object that links the library and is unloaded takes its
// connection with it, or each load would leave one more open, and the logger
// would refuse new clients at its limit. The program's own goes with the
// process. A thread still in a send keeps it.
__attribute__((destructor(101))) void close_side_channel() {
    if (!in_shared_object(&side_fd) || pthread_mutex_trylock(&side_mux) != 0) {
        return;
    }
    drop_side_channel();
    pthread_mutex_unlock(&side_mux);
}

// One message is one exchange: a thread that called MsgSendv itself and is
// cancelled between its packet and the reply leaves the lock free, and the
// connection goes, or the next message would take this one's reply for its
// own. (The client holds cancellation off for its whole call.)
void abandon_exchange(void*) {
    drop_side_channel();
    pthread_mutex_unlock(&side_mux);
}

long send_side_channel(const iov_t* parts, long count) {
    // The parts go out as they are; the kernel refuses a total it cannot send.
    iovec host[MAX_PARTS];
    for (long i = 0; i < count; ++i) {
        host[i] = iovec{parts[i].iov_base, parts[i].iov_len};
    }
    msghdr msg{};
    msg.msg_iov = host;
    msg.msg_iovlen = static_cast<size_t>(count);

    int error = pthread_mutex_lock(&side_mux);
    if (error != 0) {
        return fail(error);
    }
    _pthread_cleanup_buffer cleanup;
    _pthread_cleanup_push(&cleanup, abandon_exchange, nullptr);
    const long result = send_packet(&msg) == 0 ? receive_reply() : -1;
    error = errno;
    _pthread_cleanup_pop(&cleanup, 0);
    pthread_mutex_unlock(&side_mux);
    errno = error;
    return result;
}

// The logger device keeps every write. A regular file standing in for it is
// appended to, whatever flags the program opened it with, so that processes
// falling back to the same /dev/slog file keep each other's records, each
// whole. Where there is no per-write append (qemu-user, older kernels), the
// descriptor appends for the one write.
ssize_t write_request(int fd, const iovec* parts, int count) {
    struct stat file;
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        return writev_quietly(fd, parts, count);
    }
    ssize_t written = pwritev2(fd, parts, count, -1, RWF_APPEND);
    if (written >= 0 || (errno != ENOTSUP && errno != ENOSYS)) {
        return written;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_APPEND) != 0) {
        return -1;
    }
    written = writev(fd, parts, count);
    int error = errno;
    fcntl(fd, F_SETFL, flags);
    errno = error;
    return written;
}

long send_descriptor(int fd, const iov_t* parts, long count) {
    slog_msg_header header{};
    copy_head(parts, count, &header, sizeof header);
    if (header.type != SLOG_MSG_WRITE) {
        // A closed descriptor says so whatever the message.
        if (fcntl(fd, F_GETFD) < 0) {
            return fail(EBADF);
        }
        return fail(ENOSYS);
    }

    iovec host[MAX_PARTS];
    size_t total = 0;
    long n = to_host_iov(parts, count, sizeof header, host, &total);
    // The header must describe exactly the bytes the parts hold.
    if (n < 0 || total < sizeof header || header.byte_count < 0 ||
        static_cast<size_t>(header.byte_count) != total - sizeof header) {
        return fail(EINVAL);
    }
    ssize_t written = write_request(fd, host, static_cast<int>(n));
    if (written < 0) {
        return fail(errno == EPIPE ? EBADF : errno);
    }
    return written;
}

} // namespace

extern "C" long MsgSendv(int coid, const iov_t* siov, long sparts, const iov_t* riov, long rparts) {
    // The only reply is the status; reply parts are not filled.
    (void)riov;
    if (sparts < 1 || sparts > MAX_PARTS || siov == nullptr || rparts < 0) {
        return fail(EINVAL);
    }
    if (coid == SLOG_SIDE_CHANNEL) {
        return send_side_channel(siov, sparts);
    }
    return send_descriptor(coid, siov, sparts);
}
