// The sandbox: bwrap given the checked entries of ROOT, and the runner's own
// step inside it, which starts the command as the runner was started.
#include "sandbox_run.h"

namespace {

// Signals a terminal or a kill of the process group sends to every process of
// the group. bwrap runs with them ignored, or a ^C meant for the command would
// end bwrap and, with it, kill the command.
constexpr int GROUP_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// The first argument of the runner's own step inside the sandbox, which it
// executes through a descriptor of its program: never a ROOT of a user's.
constexpr char LAUNCH_WORD[] = "--launch-in-sandbox";

// bwrap as found on PATH.
std::string bwrap;
// What the step inside the sandbox has reported so far.
std::string launch_report;

// The command as execvp would find it, or empty.
std::string find_command(const char* name) {
    if (std::strchr(name, '/') != nullptr) {
        return name;
    }
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
    for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end - start);
        std::string candidate = dir.empty() ? name : dir + "/" + name;
        struct stat st {};
        if (access(candidate.c_str(), X_OK) == 0 && stat(candidate.c_str(), &st) == 0 &&
            !S_ISDIR(st.st_mode)) {
            return candidate;
        }
    }
    return "";
}

// The descriptor's close-on-exec flag cleared, for bwrap to take it.
int inherited(int fd) {
    fcntl(fd, F_SETFD, 0);
    return fd;
}

// bwrap's command line: the checked entries by their descriptors, then the
// step inside through the runner's own program, then the command.
std::vector<std::string> sandbox_command(int report, int program_fd) {
    std::vector<std::string> words = {
        "bwrap", "--die-with-parent", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc"};
    for (const auto& [fd, inside] : handed_over) {
        words.insert(words.end(), {"--bind-fd", std::to_string(inherited(fd)), inside});
    }
    // A socket bound by itself would pin the logger of the moment: one restarted
    // on ROOT/dev/sidechannel brings a new socket. Through its folder the name
    // always finds the current one.
    struct stat st {};
    if (dev_fd >= 0 && fstatat(dev_fd, "sidechannel", &st, AT_SYMLINK_NOFOLLOW) == 0) {
        words.insert(words.end(), {"--bind-fd", std::to_string(inherited(dev_fd)), "/dev/.root",
                                   "--symlink", ".root/sidechannel", "/dev/sidechannel"});
    }
    for (std::size_t i = 0; i < options.binds.size(); i += 2) {
        words.insert(words.end(), {"--bind", options.binds[i], options.binds[i + 1]});
    }
    words.insert(words.end(), {"--chdir", working_directory, "--",
                               FD_PATH + std::to_string(inherited(program_fd)), LAUNCH_WORD,
                               std::to_string(inherited(report)), std::to_string(start_ignored),
                               std::to_string(start_blocked)});
    for (char** arg = options.command; *arg != nullptr; ++arg) {
        words.emplace_back(*arg);
    }
    return words;
}

// The step inside the sandbox ends here when the command cannot be executed.
[[noreturn]] void fail_launch(const char* name, int status, const std::string& problem) {
    complain(std::string(name) + ": " + problem);
    _exit(status);
}

} // namespace

bool is_launch_step(int argc, char** argv) {
    return argc > 1 && std::strncmp(argv[0], FD_PATH, std::strlen(FD_PATH)) == 0 &&
           std::strcmp(argv[1], LAUNCH_WORD) == 0;
}

// bwrap on PATH, and a working directory to start the command in.
bool check_tools() {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return complain("the working directory is gone", errno);
    }
    working_directory = cwd;
    bwrap = find_command("bwrap");
    return !bwrap.empty() || complain("bwrap (bubblewrap) is not installed");
}

// Starts bwrap. Every descriptor the runner was given goes on to the command,
// as env passes them; the runner's own are closed on exec.
bool start_sandbox() {
    int report[2];
    const int program_fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (program_fd < 0 || pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0) {
        return complain("cannot start the sandbox", errno);
    }
    sandbox_pid = fork();
    if (sandbox_pid == 0) {
        const std::vector<std::string> words = sandbox_command(report[1], program_fd);
        for (const int signo : GROUP_SIGNALS) {
            signal(signo, SIG_IGN);
        }
        restore_mask();
        exec_words(execv, bwrap.c_str(), words);
    }
    close(report[1]);
    close(program_fd);
    for (const auto& entry : handed_over) {
        close(entry.first);
    }
    report_fd = report[0];
    return sandbox_pid > 0 || complain("cannot start the sandbox", errno);
}

// Reads what the step inside reported: the command's pid, once the sandbox stands.
void read_launch_report() {
    char buffer[64];
    ssize_t n;
    while ((n = read(report_fd, buffer, sizeof buffer)) > 0) {
        launch_report.append(buffer, static_cast<std::size_t>(n));
    }
    if (n == 0) {
        close(report_fd);
        report_fd = -1;
    }
    if (command_pid == 0 && launch_report.find('\n') != std::string::npos) {
        command_pid = static_cast<pid_t>(std::strtol(launch_report.c_str(), nullptr, 10));
    }
}

// The step inside the sandbox, in a fresh process: gives the command the
// signal handling the runner was given, says on the report descriptor that
// the sandbox stands and which process the command is, and executes it.
// argv: FD_PATH + program, LAUNCH_WORD, report fd, ignored, blocked, command...
[[noreturn]] void launch(int argc, char** argv) {
    if (argc < 6) {
        fail_launch("sandbox-run", CANCELED, "nothing to launch");
    }
    const std::uint64_t ignored = std::strtoull(argv[3], nullptr, 10);
    const std::uint64_t blocked = std::strtoull(argv[4], nullptr, 10);
    sigset_t mask;
    sigemptyset(&mask);
    for (int signo = 1; signo <= LAST_SIGNAL; ++signo) {
        if (signo != SIGKILL && signo != SIGSTOP) {
            signal(signo, (ignored & bit(signo)) != 0 ? SIG_IGN : SIG_DFL);
        }
        if ((blocked & bit(signo)) != 0) {
            sigaddset(&mask, signo);
        }
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    const int report = static_cast<int>(std::strtol(argv[2], nullptr, 10));
    const std::string pid = std::to_string(getpid()) + "\n";
    (void)!write(report, pid.data(), pid.size());
    close(report);
    close(static_cast<int>(std::strtol(argv[0] + std::strlen(FD_PATH), nullptr, 10)));

    char** command = argv + 5;
    const char* name = command[0];
    const std::string path = find_command(name);
    struct stat st {};
    if (path.empty()) {
        fail_launch(name, NOT_FOUND, "command not found");
    }
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        fail_launch(name, CANNOT_EXECUTE, "Is a directory");
    }
    execv(path.c_str(), command);
    if (errno == ENOEXEC) { // a script without #!, as execvp runs it
        std::vector<char*> shell = {const_cast<char*>("sh"), const_cast<char*>(path.c_str())};
        shell.insert(shell.end(), command + 1, argv + argc + 1);
        execv("/bin/sh", shell.data());
    }
    fail_launch(name, errno == ENOENT ? NOT_FOUND : CANNOT_EXECUTE, std::strerror(errno));
}
