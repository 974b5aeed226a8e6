// The host logger of a run: started on the checked ROOT/dev, waited for until
// its socket stands, and stopped last, once it has logged what was sent.
#include "sandbox_run.h"

#include <sys/inotify.h>
#include <sys/prctl.h>

namespace {

// The logger gets this long to listen, and as long to stop.
constexpr long long LOGGER_MS = 30000;

// `path` taken from the working directory the runner was started in.
std::string absolute(const std::string& path) {
    return path.empty() || path[0] == '/' ? path : working_directory + "/" + path;
}

// Whether a socket stands at ROOT/dev/sidechannel: the logger renames its own
// into place once it listens.
bool socket_stands() {
    struct stat st {};
    return fstatat(dev_fd, "sidechannel", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode);
}

// host-slogger's command line: the emulator first, when there is one.
std::vector<std::string> logger_command(const std::string& program) {
    std::vector<std::string> words;
    const char* emulator = std::getenv("EMULATOR");
    for (const char* at = emulator != nullptr ? emulator : ""; *at != '\0';) {
        const std::size_t length = std::strcspn(at, " \t");
        if (length > 0) {
            words.emplace_back(at, length);
        }
        at += length + std::strspn(at + length, " \t");
    }
    words.insert(words.end(), {program, "--socket", "sidechannel"});
    if (options.output != nullptr) {
        words.insert(words.end(), {"--output", absolute(options.output)});
    }
    words.insert(words.end(), options.logger_args.begin(), options.logger_args.end());
    return words;
}

// The logger serves the checked ROOT/dev as its working directory, in a
// process group of its own, so that the terminal's ^C reaches the command but
// does not stop the logger while the command still logs.
[[noreturn]] void exec_logger(const std::vector<std::string>& words) {
    const pid_t runner = getppid();
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0); // should the runner be killed
    signal(SIGTTOU, SIG_IGN);                  // a background group may still write to the terminal
    restore_mask();
    const int null = open("/dev/null", O_RDONLY);
    if (getppid() != runner || null < 0 || dup2(null, STDIN_FILENO) < 0 || fchdir(dev_fd) != 0) {
        _exit(CANCELED);
    }
    exec_words(execvp, words[0].c_str(), words);
}

// Waits until the logger listens; false when it ends first, does not listen
// in time, or a signal ends the run meanwhile.
bool logger_ready() {
    const long long deadline = now_ms() + LOGGER_MS;
    for (;;) {
        const wake woke = logger_pid > 0 ? wait_event(deadline) : WAKE_CHILD;
        if (woke == WAKE_SIGNAL) {
            stop_cause = static_cast<int>(last_signal.ssi_signo);
            return false;
        }
        alignas(inotify_event) char events[4096]; // the watch only wakes the wait
        while (read(watch_fd, events, sizeof events) > 0) {
        }
        if (socket_stands()) {
            return true;
        }
        if (logger_pid <= 0) {
            return complain("host logger failed to start");
        }
        if (woke == WAKE_DEADLINE) {
            return complain("host logger did not create " + root_path + "/dev/sidechannel within " +
                            std::to_string(LOGGER_MS / 1000) + " s");
        }
    }
}

} // namespace

// Starts the logger and waits until its socket stands.
bool start_logger() {
    const char* given = std::getenv("HOST_SLOGGER");
    const std::string program = absolute(
        given != nullptr && *given != '\0' ? given : program_directory() + "/host-slogger");
    if (access(program.c_str(), X_OK) != 0) {
        return complain("host logger " + program + " not found (set HOST_SLOGGER)");
    }
    if (options.output != nullptr) {
        const int fd = open(options.output, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            return complain(std::string("cannot write ") + options.output, errno);
        }
        close(fd);
    }
    // A socket an earlier logger left would pass for this one's.
    if (socket_stands() && unlinkat(dev_fd, "sidechannel", 0) != 0) {
        return complain("cannot remove the stale " + root_path + "/dev/sidechannel", errno);
    }
    watch_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch_fd < 0 || inotify_add_watch(watch_fd, (FD_PATH + std::to_string(dev_fd)).c_str(),
                                          IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
        return complain("cannot watch " + root_path + "/dev", errno);
    }
    const std::vector<std::string> words = logger_command(program);
    logger_pid = fork();
    if (logger_pid == 0) {
        exec_logger(words);
    }
    const bool ready = logger_ready();
    close(watch_fd);
    watch_fd = -1;
    return ready;
}

// Stops the logger: it logs every record already sent, then ends.
void stop_logger() {
    if (logger_pid <= 0) {
        return;
    }
    kill(logger_pid, SIGTERM);
    for (const long long deadline = now_ms() + LOGGER_MS; logger_pid > 0;) {
        if (wait_event(deadline) == WAKE_DEADLINE) {
            kill(logger_pid, SIGKILL);
            waitpid(logger_pid, &logger_status, 0);
            logger_pid = 0;
        }
    }
}
