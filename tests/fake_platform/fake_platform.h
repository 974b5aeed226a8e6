// A scripted, recording stand-in for the platform interfaces of the logging
// client: MsgSendv, __stackavail, the logger state (_slogfd, __slog_mux,
// __slog_once), opens and closes of the logger device, and pathmgr_symlink.
//
// Every call lands in one log, in order. Results come from scripts, consumed
// one per call; an unscripted call succeeds:
//   - MsgSendv replies 0, and is a cancellation point;
//   - open("/dev/slog") hands out a new fake descriptor (FAKE_FIRST_FD, +1, ...);
//   - __stackavail reports FAKE_STACK_PLENTY bytes free;
//   - pthread_mutex_init of the logger lock initialises it.
// Only "/dev/slog", -1 and descriptors the fake handed out are faked; every
// other open and close reaches the C library.
#pragma once

#include "wire_bytes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int FAKE_FIRST_FD = 20000;
inline constexpr std::size_t FAKE_STACK_PLENTY = 1 << 20;

enum class fake_call_kind { send, open, close, symlink };

struct fake_call {
    fake_call_kind kind;
    // send: the connection; open: the descriptor returned (or -1); close: the descriptor.
    int fd = 0;
    // send: all parts flattened, in order.
    std::vector<unsigned char> bytes{};
    // send: the length of each part.
    std::vector<std::uint32_t> part_lengths{};
    // open: the path; symlink: the link's target.
    std::string path{};
    // symlink: the link's name.
    std::string link{};
    // open: the flags.
    int flags = 0;
};

// Everything called since the last fake_reset(), in order.
const std::vector<fake_call>& fake_calls();
// Only the calls of one kind, in order.
std::vector<fake_call> fake_calls_of(fake_call_kind kind);

// A send as the logger reads it; whole is false, the headers left zero, when
// it holds less than both headers.
struct sent_message : wire_message {
    int coid = 0;
    std::vector<std::uint32_t> part_lengths{};
    bool whole = false;
};
// Every send since the last fake_reset(), in order.
std::vector<sent_message> fake_sent_messages();

// Each script call queues one result for one later call of its kind.
// MsgSendv returns result, and with result -1 sets errno to error.
void fake_script_send(long result, int error = 0);
// An open of "/dev/slog" fails with error; with error 0 it succeeds, so that
// a later open can be made to fail.
void fake_script_open_failure(int error);
// The next pthread_mutex_init of the logger lock fails with error and leaves
// the lock as it was; other mutexes are the C library's.
void fake_script_lock_init_failure(int error);
// __stackavail reports bytes.
void fake_script_stackavail(std::size_t bytes);

// A fake logger descriptor handed out without recording an open: stands for
// a device connection the C library already holds.
int fake_device_descriptor();

// Forgets calls and scripts, puts _slogfd back on the side channel and gives the
// logger lock a fresh start. __slog_once is left done: running the client's
// set-up again would register its fork handlers twice.
void fake_reset();
