// System-log client: one record per call, sent to the system logger as one
// gathered message: message header, record header, payload. No heap: records
// are built on the stack, binary data is sent from the caller's buffer.
//
// The connection (_slogfd), its lock (__slog_mux) and the once-control
// (__slog_once) are the C library's, shared with its own logging calls;
// _slogfd is read and written only with __slog_mux held.
#include "slog.h"
#include "slog_platform.h"
#include "standard_descriptors.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// Round a record up to the stack's 8-byte granule.
constexpr std::size_t stack_rounded(std::size_t bytes) {
    return (bytes + 7) & ~std::size_t{7};
}

// Stack a text record of this capacity needs, the record itself plus headroom
// for the calls made while it is alive.
constexpr std::size_t stack_requirement(std::size_t capacity) {
    return stack_rounded(sizeof(slog_record_header) + capacity) + SLOG_STACK_HEADROOM;
}
static_assert(stack_requirement(SLOG_TEXT_MAX) == 1160);

void slog_fork_prepare() {
    pthread_mutex_lock(&__slog_mux);
}

void slog_fork_parent() {
    pthread_mutex_unlock(&__slog_mux);
}

// The child has only this thread; whoever held the lock in the parent is gone.
void slog_fork_child() {
    if (pthread_mutex_init(&__slog_mux, nullptr) != 0) {
        pthread_mutex_unlock(&__slog_mux);
    }
}

void slog_init_once() {
    pthread_mutex_init(&__slog_mux, nullptr);
    pthread_atfork(slog_fork_prepare, slog_fork_parent, slog_fork_child);
}

// The errors that say this way to the logger does not work: the connection is
// not (or no longer) there, or nobody behind it handles log messages.
bool is_lost_connection(int error) {
    return error == EBADF || error == ENOSYS;
}

// The logger device, closed on exec and above the standard descriptors: no
// program this one starts inherits it, and in a program started with
// standard output closed a printf does not land among the records.
int open_logger_device() {
    return above_standard_descriptors(open(SLOG_DEVICE, O_WRONLY | O_CLOEXEC));
}

// Sends parts[1..record_parts] behind a message header written into parts[0],
// falling back between the side channel and the logger device. Starting on the
// side channel at most four sends, two opens and two closes; starting on a
// descriptor (or -1) at most three sends, one open and two closes.
long slog_send(iov_t* parts, int record_parts, std::int32_t byte_count) {
    pthread_once(&__slog_once, slog_init_once);

    slog_msg_header header{};
    header.header_len = sizeof header;
    header.byte_count = byte_count;

    // A thread cancelled in here would leave the lock held, and on the side
    // channel a reply on its way that the next record would take for its
    // own: cancellation waits until the record is out.
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    const int lock_error = pthread_mutex_lock(&__slog_mux);
    if (lock_error != 0) {
        pthread_setcancelstate(cancel_state, nullptr);
        errno = lock_error;
        return -1;
    }
    SETIOV(&parts[0], &header, sizeof header);
    bool fell_back = false;
    long result;
    for (;;) {
        const int coid = _slogfd;
        header.type = coid == SLOG_SIDE_CHANNEL ? SLOG_MSG_SIDE : SLOG_MSG_WRITE;
        result = MsgSendv(coid, parts, record_parts + 1, nullptr, 0);
        if (result != -1 || !is_lost_connection(errno)) {
            break;
        }
        if (coid == SLOG_SIDE_CHANNEL) {
            // The process manager does not pass records on: go to the logger itself.
            _slogfd = open_logger_device();
            if (_slogfd == -1) {
                break;
            }
            continue;
        }
        // The device went away (the logger restarted) or was never opened.
        close(coid);
        _slogfd = SLOG_SIDE_CHANNEL;
        if (fell_back) {
            break;
        }
        fell_back = true;
    }
    const int send_errno = errno;
    pthread_mutex_unlock(&__slog_mux);
    pthread_setcancelstate(cancel_state, nullptr);
    // Still a cancellation point, as a send on the unit is, but only where
    // the lock and the connection are ready for the next record.
    pthread_testcancel();
    SETIOV(&parts[0], nullptr, 0); // the header dies with this frame
    errno = send_errno;
    return result;
}

// Text with its zero as vsnprintf left it in a buffer of this capacity, or 0
// when it failed.
std::size_t formatted_length(int formatted, std::size_t capacity) {
    if (formatted < 0) {
        return 0;
    }
    const std::size_t with_zero = static_cast<std::size_t>(formatted) + 1;
    return with_zero < capacity ? with_zero : capacity;
}

// Writes the text to standard error as one line: its zero becomes a newline
// for the one raw write.
void echo_text(char* text, std::size_t length) {
    text[length - 1] = '\n';
    if (write(STDERR_FILENO, text, length) < 0) {
        // Standard error is the caller's; a lost echo has nowhere else to go.
    }
    text[length - 1] = '\0';
}

} // namespace

int vslogf(std::int32_t code, std::int32_t severity, const char* format, va_list args) {
    // Some C libraries refuse a null format, others crash on it.
    if (format == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const std::size_t available = __stackavail();
    // Too short even for an empty text: refuse before the measuring pass,
    // which formats the whole text and would itself overrun a stack this short.
    if (available <= stack_requirement(1)) {
        errno = ENOMEM;
        return -1;
    }
    std::size_t capacity = SLOG_TEXT_MAX;
    if (available <= SLOG_STACK_PLENTY) {
        // Short of stack: reserve only what this text needs.
        va_list measured;
        va_copy(measured, args);
        const int needed = vsnprintf(nullptr, 0, format, measured);
        va_end(measured);
        capacity = formatted_length(needed, SLOG_TEXT_MAX);
        if (capacity == 0) {
            return -1;
        }
    }
    if (__stackavail() <= stack_requirement(capacity)) {
        errno = ENOMEM;
        return -1;
    }

    const std::size_t record_size = sizeof(slog_record_header) + capacity;
    char* record = static_cast<char*>(__builtin_alloca(record_size));
    char* text = record + sizeof(slog_record_header);
    const std::size_t length = formatted_length(vsnprintf(text, capacity, format, args), capacity);
    if (length == 0) {
        return -1;
    }
    if ((severity & SLOG_TEXT_FLAG) != 0) {
        echo_text(text, length);
    }
    const slog_record_header header{severity | SLOG_TEXT_FLAG, code, 0};
    std::memcpy(record, &header, sizeof header);

    iov_t parts[2];
    SETIOV(&parts[1], record, sizeof header + length);
    return static_cast<int>(slog_send(parts, 1, static_cast<std::int32_t>(sizeof header + length)));
}

int slogf(std::int32_t code, std::int32_t severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = vslogf(code, severity, format, args);
    va_end(args);
    return result;
}

int slogi(std::int32_t code, std::int32_t severity, std::int32_t count, ...) {
    // A negative count is as far out of range as one over the maximum.
    if (static_cast<std::uint32_t>(count) > SLOG_INTS_MAX) {
        errno = EINVAL;
        return -1;
    }
    std::int32_t values[SLOG_INTS_MAX];
    va_list args;
    va_start(args, count);
    for (std::int32_t i = 0; i < count; ++i) {
        values[i] = va_arg(args, std::int32_t);
    }
    va_end(args);

    const slog_record_header header{severity, code, 0};
    const std::size_t payload = static_cast<std::size_t>(count) * sizeof values[0];
    iov_t parts[3];
    SETIOV(&parts[1], &header, sizeof header);
    SETIOV(&parts[2], values, payload);
    return static_cast<int>(
        slog_send(parts, 2, static_cast<std::int32_t>(sizeof header + payload)));
}

int slogb(std::int32_t code, std::int32_t severity, const void* data, std::int32_t size) {
    // A negative size would send whatever memory follows the caller's buffer,
    // and a size near the limit would overflow the byte count.
    if (size < 0 || size > INT32_MAX - static_cast<std::int32_t>(sizeof(slog_record_header))) {
        errno = EINVAL;
        return -1;
    }
    const slog_record_header header{severity, code, 0};
    iov_t parts[3];
    SETIOV(&parts[1], &header, sizeof header);
    SETIOV(&parts[2], data, size);
    return static_cast<int>(slog_send(parts, 2, static_cast<std::int32_t>(sizeof header) + size));
}
