// How the runner waits, with one deadline: for a signal that would end it, a
// child of the run (reaped), the launch report or the logger's watch.
#include "sandbox_run.h"

#include <algorithm>
#include <ctime>

#include <poll.h>
#include <sys/prctl.h>

namespace {

// Signals whose default action is not to end the process, and the C library's
// own (32 up to SIGRTMIN): never passed on.
constexpr std::uint64_t HARMLESS_SIGNALS = bit(SIGKILL) | bit(SIGSTOP) | bit(SIGCHLD) |
                                           bit(SIGCONT) | bit(SIGTSTP) | bit(SIGTTIN) |
                                           bit(SIGTTOU) | bit(SIGURG) | bit(SIGWINCH);

// The signals that would end the runner, and SIGCHLD: blocked, read from signal_fd.
sigset_t caught;
int signal_fd = -1;

// Reaps every child that has ended, keeping the logger's and the sandbox's status.
void reap_children() {
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
        if (pid == logger_pid) {
            logger_status = status;
            logger_pid = 0;
        } else if (pid == sandbox_pid) {
            sandbox_status = status;
        }
    }
}

} // namespace

// Notes the signal handling the runner was given, and from here on reads the
// signals that would end it from a descriptor, as the run's child subreaper:
// every process the run makes, orphans included, stays below the runner.
bool take_signals() {
    sigprocmask(SIG_BLOCK, nullptr, &start_mask);
    sigemptyset(&caught);
    sigaddset(&caught, SIGCHLD);
    for (int signo = 1; signo <= LAST_SIGNAL; ++signo) {
        start_blocked |= sigismember(&start_mask, signo) == 1 ? bit(signo) : 0;
        struct sigaction given {};
        if (sigaction(signo, nullptr, &given) == 0 && given.sa_handler == SIG_IGN) {
            start_ignored |= bit(signo);
        } else if ((HARMLESS_SIGNALS & bit(signo)) == 0 && (signo < 32 || signo >= SIGRTMIN)) {
            sigaddset(&caught, signo); // one the runner was told to ignore stays ignored
        }
    }
    sigprocmask(SIG_BLOCK, &caught, nullptr);
    signal_fd = signalfd(-1, &caught, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signal_fd < 0 || prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
        return complain("cannot collect the processes of the run", errno);
    }
    return true;
}

// Child processes start with the signal mask the runner was given.
void restore_mask() {
    sigprocmask(SIG_SETMASK, &start_mask, nullptr);
}

long long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Waits for a signal (children reaped on SIGCHLD), for the watch or the
// report (read here), or for the deadline.
wake wait_event(long long deadline) {
    for (;;) {
        const long long left = deadline == NEVER ? -1 : std::max(0LL, deadline - now_ms());
        pollfd fds[3] = {{signal_fd, POLLIN, 0}, {watch_fd, POLLIN, 0}, {report_fd, POLLIN, 0}};
        const int n = poll(fds, 3, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (n < 0 ? errno != EINTR : n == 0 && now_ms() >= deadline) {
            return WAKE_DEADLINE; // poll failed, or the time is up
        }
        if (n <= 0) {
            continue;
        }
        if (fds[2].revents != 0) {
            read_launch_report();
        }
        if (fds[0].revents == 0) {
            return WAKE_READABLE;
        }
        if (read(signal_fd, &last_signal, sizeof last_signal) != sizeof last_signal) {
            continue;
        }
        if (last_signal.ssi_signo != SIGCHLD) {
            return WAKE_SIGNAL;
        }
        reap_children();
        return WAKE_CHILD;
    }
}
