// The end of a run in phases with one deadline each, as timeout(1) ends one,
// and the status the runner exits with.
#include "sandbox_run.h"

#include <dirent.h>

namespace {

// Processes the command leaves behind get this long to end by themselves (the
// tracer kestrune starts ends at once), and as long again after SIGTERM; a
// signal passed on gets the same grace, counted from it.
constexpr long long SETTLE_MS = 2000;
constexpr long long GRACE_MS = 2000;

// Whether what woke the runner is a signal that ends the run: the terminal's
// ^C reaches the command as well, in the runner's process group, and then it
// is the command's to act on, as under env.
bool is_stop_signal(wake woke) {
    if (woke != WAKE_SIGNAL || last_signal.ssi_code != SI_KERNEL) {
        return woke == WAKE_SIGNAL;
    }
    const pid_t group = command_pid > 0 ? getpgid(command_pid) : -1;
    return group >= 0 && group != getpgrp();
}

// Phase 1: waits until the command ends (false), or a signal or the time
// limit ends the run (true, with the cause).
bool wait_for_command() {
    const long long deadline = options.timeout_ms > 0 ? now_ms() + options.timeout_ms : NEVER;
    while (sandbox_status < 0) {
        const wake woke = wait_event(deadline);
        if (woke == WAKE_DEADLINE || is_stop_signal(woke)) {
            stop_cause =
                woke == WAKE_DEADLINE ? CAUSE_TIME_LIMIT : static_cast<int>(last_signal.ssi_signo);
            return true;
        }
    }
    return false;
}

// Phase 2: passes the signal on, and any that follow, once the command is
// there to take them; waits for it until the grace, counted from the signal,
// runs out. Returns when every process of the run is to be killed.
long long pass_on(int signo) {
    const long long kill_at = now_ms() + GRACE_MS;
    std::vector<int> pending = {signo};
    for (wake woke = WAKE_CHILD; sandbox_status < 0 && woke != WAKE_DEADLINE;) {
        if (command_pid > 0) {
            for (const int each : pending) {
                kill(command_pid, each);
            }
            pending.clear();
        }
        woke = wait_event(kill_at);
        if (is_stop_signal(woke)) {
            pending.push_back(static_cast<int>(last_signal.ssi_signo));
        }
    }
    return kill_at;
}

// The live processes below the runner but for the logger: orphans of the run
// come to the runner, the run's subreaper.
std::vector<pid_t> processes_of_run() {
    std::vector<std::pair<pid_t, pid_t>> parent_of; // (parent, pid) of each live process
    DIR* proc = opendir("/proc");
    while (const dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        char stat_line[512] = "";
        const std::string path = std::string(entry->d_name) + "/stat";
        const int fd = entry->d_name[0] >= '1' && entry->d_name[0] <= '9'
                           ? openat(dirfd(proc), path.c_str(), O_RDONLY | O_CLOEXEC)
                           : -1;
        if (fd < 0) {
            continue; // not a process, or ended meanwhile
        }
        const ssize_t n = read(fd, stat_line, sizeof stat_line - 1);
        close(fd);
        // "pid (name) state parent ...": the name may hold anything, ')' too.
        const char* fields = n > 0 ? std::strrchr(stat_line, ')') : nullptr;
        if (fields != nullptr && fields[1] == ' ' && fields[2] != 'Z' && fields[2] != '\0') {
            parent_of.emplace_back(static_cast<pid_t>(std::strtol(fields + 3, nullptr, 10)),
                                   static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10)));
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    std::vector<pid_t> found;
    std::vector<pid_t> below = {getpid()};
    while (!below.empty()) {
        const pid_t process = below.back();
        below.pop_back();
        for (const auto& [parent, pid] : parent_of) {
            if (parent == process && pid != logger_pid) {
                found.push_back(pid);
                below.push_back(pid);
            }
        }
    }
    return found;
}

// Whether a process of the run is left, as cheaply as the kernel tells: each
// has an ancestor among the runner's children, orphans having come to it.
bool run_left() {
    const std::string path = "/proc/self/task/" + std::to_string(getpid()) + "/children";
    std::FILE* in = std::fopen(path.c_str(), "re");
    if (in == nullptr) {
        return !processes_of_run().empty();
    }
    char children[4096];
    const std::size_t n = std::fread(children, 1, sizeof children - 1, in);
    std::fclose(in);
    children[n] = '\0';
    for (char *at = children, *end = nullptr;; at = end) {
        const long pid = std::strtol(at, &end, 10);
        if (end == at || pid != logger_pid) {
            return end != at; // a child other than the logger
        }
    }
}

// Phase 3: what the command left behind gets until the deadline to end. False
// when something is left then, or a signal came meanwhile.
bool settle(long long deadline) {
    while (run_left()) {
        const wake woke = wait_event(deadline);
        if (woke == WAKE_DEADLINE) {
            return false;
        }
        if (is_stop_signal(woke)) {
            stop_cause = static_cast<int>(last_signal.ssi_signo);
            return false;
        }
    }
    return true;
}

// Sends the signal to every process of the run.
void signal_all(int signo) {
    for (const pid_t pid : processes_of_run()) {
        kill(pid, signo);
    }
}

// Phase 4: SIGTERM to what is left, which gets until the deadline to end.
void terminate(long long deadline) {
    signal_all(SIGTERM);
    while (run_left() && wait_event(deadline) != WAKE_DEADLINE) {
    }
}

// Phase 5: SIGKILL to what is left, until nothing is, zombies included: the
// killed are reaped before the runner goes, so that none is seen after it.
void kill_all() {
    while (run_left()) {
        signal_all(SIGKILL);
        wait_event(now_ms() + 50);
    }
}

} // namespace

// Waits for the command and for what it leaves behind, and ends the run when
// a signal or the time limit says so.
void supervise() {
    const bool stopped = wait_for_command();
    if (!stopped && settle(now_ms() + SETTLE_MS)) {
        return;
    }
    terminate(stopped ? pass_on(stop_cause > 0 ? stop_cause : SIGTERM) : now_ms() + GRACE_MS);
    kill_all();
}

int exit_status() {
    if (report_fd >= 0) {
        read_launch_report(); // all the sandbox wrote is there once it has ended
    }
    // bwrap that ended by itself before the step inside reported has failed.
    if (stop_cause == 0 && !WIFSIGNALED(sandbox_status) && command_pid == 0) {
        complain("bubblewrap could not set up the sandbox (status " +
                 std::to_string(WEXITSTATUS(sandbox_status)) + ")");
        return CANCELED;
    }
    const int status = stop_cause == CAUSE_TIME_LIMIT ? TIMED_OUT
                       : stop_cause > 0               ? 128 + stop_cause
                       : WIFSIGNALED(sandbox_status)  ? 128 + WTERMSIG(sandbox_status)
                                                      : WEXITSTATUS(sandbox_status);
    // A logger whose reader has gone ends as a filter in a pipeline does: no
    // fault of the run. Otherwise it has said why it could not write the log.
    if (logger_status < 0 || (WIFSIGNALED(logger_status) && WTERMSIG(logger_status) == SIGPIPE)) {
        return status;
    }
    if (WIFSIGNALED(logger_status)) {
        complain("the host logger was killed by signal " + std::to_string(WTERMSIG(logger_status)) +
                 "; records may be missing");
    }
    return logger_status != 0 && status == 0 ? CANCELED : status;
}
