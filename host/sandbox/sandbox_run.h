// What the rooms of sandbox-run share: its statuses, the state of a run, and
// the steps each room offers, in the order a run takes them.
#pragma once

// The C and POSIX headers most rooms use, so that each names only its own.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The runner's own exit statuses, as timeout and env have them.
enum own_status { TIMED_OUT = 124, CANCELED, CANNOT_EXECUTE, NOT_FOUND };

constexpr long long NEVER = LLONG_MAX;
constexpr int LAST_SIGNAL = 64;
constexpr char FD_PATH[] = "/proc/self/fd/";

// Bit N-1 of a signal set passed as a word stands for signal N.
constexpr std::uint64_t bit(int signo) {
    return std::uint64_t{1} << (signo - 1);
}

struct run_options {
    bool logger = false;
    const char* output = nullptr; // --logger-output; null: standard output
    std::vector<const char*> logger_args;
    std::vector<const char*> binds; // source, target, source, target, ...
    long long timeout_ms = 0;       // 0: no limit
    const char* root = nullptr;
    char** command = nullptr; // null-terminated
};
// What the command line asked for: set by read_options, only read after it.
inline run_options options;

// The working directory the command starts in, read before ROOT is touched.
inline std::string working_directory;
// ROOT's real path, for messages.
inline std::string root_path;
// ROOT/dev, as checked: emptied, served by the logger and bound inside. -1: none.
inline int dev_fd = -1;
// The descriptors handed to bwrap, each with where it goes inside.
inline std::vector<std::pair<int, const char*>> handed_over;

// The mask the runner was given, and the signals it had ignored and blocked:
// the command's, as under env.
inline sigset_t start_mask;
inline std::uint64_t start_ignored = 0;
inline std::uint64_t start_blocked = 0;
// Polled beside the signals: the watch on ROOT/dev while the logger starts;
// the report of the step inside the sandbox until it is read to its end.
inline int watch_fd = -1;
inline int report_fd = -1;
// The last signal wait_event returned.
inline signalfd_siginfo last_signal{};

// The logger and the sandbox (bwrap) while they run, and their wait statuses
// once reaped (-1 before). The command's pid, once the step inside has
// reported that the sandbox stands; 0 before.
inline pid_t logger_pid = 0;
inline int logger_status = -1;
inline pid_t sandbox_pid = 0;
inline int sandbox_status = -1;
inline pid_t command_pid = 0;

// Why the runner ended the run: a signal passed on, or the time limit; 0 when
// the command ended by itself.
inline int stop_cause = 0;
constexpr int CAUSE_TIME_LIMIT = -1;

// main.cpp: what every room uses.
// "sandbox-run: TEXT" on standard error, with the error's description when
// one is given; false, for the caller to return.
bool complain(const std::string& text);
bool complain(const std::string& text, int error);
std::string program_directory();
[[noreturn]] void exec_words(int (*exec)(const char*, char* const*), const char* program,
                             const std::vector<std::string>& words);

// options.cpp: returns -1 to go on, else the exit status.
int read_options(int argc, char** argv);

// wait.cpp: the signals, the clock and the one way the runner waits.
enum wake { WAKE_DEADLINE, WAKE_SIGNAL, WAKE_CHILD, WAKE_READABLE };
bool take_signals();
long long now_ms();
wake wait_event(long long deadline);
void restore_mask();

// root.cpp: ROOT prepared, checked and locked.
bool prepare_root();

// logger.cpp
bool start_logger();
void stop_logger();

// launch.cpp: bwrap, and the runner's own step inside the sandbox.
bool is_launch_step(int argc, char** argv);
[[noreturn]] void launch(int argc, char** argv);
bool check_tools();
bool start_sandbox();
void read_launch_report();

// supervise.cpp
void supervise();
int exit_status();
