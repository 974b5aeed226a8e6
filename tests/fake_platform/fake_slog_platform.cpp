// Scripted, recording platform for the logging client (see fake_platform.h).
#include "fake_platform.h"

#include "slog.h"
#include "slog_platform.h"

#include <cerrno>
#include <cstdarg>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <set>
#include <string_view>
#include <sys/pathmgr.h>
#include <sys/types.h>

extern "C" {
int _slogfd = SLOG_SIDE_CHANNEL;
pthread_mutex_t __slog_mux = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t __slog_once = PTHREAD_ONCE_INIT;
}

namespace {

struct failure {
    long result;
    int error;
};

struct fake_state {
    std::vector<fake_call> calls;
    std::deque<failure> sends;
    std::deque<int> open_failures;
    std::deque<std::size_t> stack;
    std::deque<int> lock_init_failures;
    std::set<int> handed_out;
    int next_fd = FAKE_FIRST_FD;
};

// Built on first use: the C library or a test framework may open files before
// this file's static objects exist.
fake_state& state() {
    static fake_state* const instance = new fake_state;
    return *instance;
}

// The next scripted result of a kind, or what an unscripted call gets.
template <typename T> T take(std::deque<T>& script, T unscripted) {
    if (script.empty())
        return unscripted;
    const T next = script.front();
    script.pop_front();
    return next;
}

bool is_faked_descriptor(int fd) {
    return fd == -1 || state().handed_out.count(fd) != 0;
}

bool is_logger_device(const char* path) {
    return path != nullptr && std::string_view(path) == SLOG_DEVICE;
}

int hand_out_descriptor() {
    fake_state& fake = state();
    fake.handed_out.insert(fake.next_fd);
    return fake.next_fd++;
}

int fake_open_logger(const char* path, int flags) {
    fake_state& fake = state();
    fake_call call{fake_call_kind::open};
    call.path = path;
    call.flags = flags;
    const int error = take(fake.open_failures, 0);
    if (error == 0) {
        call.fd = hand_out_descriptor();
    } else {
        errno = error;
        call.fd = -1;
    }
    fake.calls.push_back(call);
    return call.fd;
}

} // namespace

// The client opens the logger device with open(); a build with 64-bit file
// offsets on a 32-bit target calls it open64. Both symbols are interposed,
// under their own names so that header redirections cannot swap them. Other
// paths go on to the C library's open64: the same call on a 64-bit host, and
// one that also allows large files on a 32-bit one.
// Both alias a name of the fake's own: a fortified <fcntl.h> declares open inline.
int fake_open_entry(const char* path, int flags, ...) __asm__("fake_open");
int fake_open_alias(const char* path, int flags, ...) __asm__("open")
    __attribute__((alias("fake_open")));
int fake_open64_entry(const char* path, int flags, ...) __asm__("open64")
    __attribute__((alias("fake_open")));
int fake_close_entry(int fd) __asm__("close");

int fake_open_entry(const char* path, int flags, ...) {
    if (is_logger_device(path))
        return fake_open_logger(path, flags);
    using open_function = int (*)(const char*, int, ...);
    static const auto real = reinterpret_cast<open_function>(dlsym(RTLD_NEXT, "open64"));
    // The mode argument is there only when the flags ask for a new file.
    if ((flags & O_CREAT) == 0 && (flags & O_TMPFILE) != O_TMPFILE)
        return real(path, flags);
    va_list args;
    va_start(args, flags);
    const mode_t mode = va_arg(args, mode_t);
    va_end(args);
    return real(path, flags, mode);
}

int fake_close_entry(int fd) {
    if (!is_faked_descriptor(fd)) {
        static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
        return real(fd);
    }
    fake_call call{fake_call_kind::close};
    call.fd = fd;
    state().calls.push_back(call);
    state().handed_out.erase(fd);
    if (fd == -1) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

extern "C" long MsgSendv(int coid, const iov_t* siov, long sparts, const iov_t*, long) {
    // A cancellation point, as the unit's message pass and the host's socket calls are.
    pthread_testcancel();
    fake_state& fake = state();
    fake_call call{fake_call_kind::send};
    call.fd = coid;
    for (long i = 0; i < sparts; ++i) {
        const auto* begin = static_cast<const unsigned char*>(siov[i].iov_base);
        call.bytes.insert(call.bytes.end(), begin, begin + siov[i].iov_len);
        call.part_lengths.push_back(siov[i].iov_len);
    }
    fake.calls.push_back(call);
    const failure scripted = take(fake.sends, failure{0, 0});
    if (scripted.result == -1)
        errno = scripted.error;
    return scripted.result;
}

extern "C" size_t __stackavail(void) {
    return take(state().stack, std::size_t{FAKE_STACK_PLENTY});
}

// The client's only mutex: the others (the test framework's, the C
// library's own) go on to the C library.
extern "C" int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes) {
    const int error = mutex == &__slog_mux ? take(state().lock_init_failures, 0) : 0;
    if (error != 0)
        return error;
    using init_function = int (*)(pthread_mutex_t*, const pthread_mutexattr_t*);
    static const auto real =
        reinterpret_cast<init_function>(dlsym(RTLD_NEXT, "pthread_mutex_init"));
    return real(mutex, attributes);
}

extern "C" int pathmgr_symlink(const char* path, const char* symlink) {
    fake_call call{fake_call_kind::symlink};
    call.path = path;
    call.link = symlink;
    state().calls.push_back(call);
    return 0;
}

const std::vector<fake_call>& fake_calls() {
    return state().calls;
}

std::vector<fake_call> fake_calls_of(fake_call_kind kind) {
    std::vector<fake_call> matching;
    for (const fake_call& call : state().calls) {
        if (call.kind == kind)
            matching.push_back(call);
    }
    return matching;
}

std::vector<sent_message> fake_sent_messages() {
    std::vector<sent_message> messages;
    for (const fake_call& send : fake_calls_of(fake_call_kind::send)) {
        sent_message message;
        message.coid = send.fd;
        message.part_lengths = send.part_lengths;
        message.whole = read_wire_message(send.bytes.data(), send.bytes.size(), &message);
        messages.push_back(message);
    }
    return messages;
}

void fake_script_send(long result, int error) {
    state().sends.push_back({result, error});
}

void fake_script_open_failure(int error) {
    state().open_failures.push_back(error);
}

void fake_script_lock_init_failure(int error) {
    state().lock_init_failures.push_back(error);
}

void fake_script_stackavail(std::size_t bytes) {
    state().stack.push_back(bytes);
}

int fake_device_descriptor() {
    return hand_out_descriptor();
}

void fake_reset() {
    state() = fake_state{};
    _slogfd = SLOG_SIDE_CHANNEL;
    pthread_mutex_init(&__slog_mux, nullptr);
}
