// sandbox-run: runs a command in a private mount namespace whose /mnt, /opt,
// /var, /boot and a few /dev entries come from one host directory ROOT;
// optionally with the host logger serving ROOT/dev/sidechannel for the run.
//
// It stands around the command as env and timeout do: the command starts with
// the signal handling the runner was given, its status comes back, a signal to
// the runner is passed on, and no process of the run outlives the runner. The
// runner is the run's child subreaper, so that it finds every process the run
// made, orphans included; process ids stay the host's, as the logger reports
// them. What is bound inside is what was checked: each entry of ROOT is opened
// beneath ROOT's own descriptor and handed to bwrap as that descriptor, so a
// name swapped for a link afterwards changes nothing.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr char USAGE[] =
    "usage: sandbox-run [--logger] [--logger-output FILE] [--logger-arg ARG]...\n"
    "                   [--bind SRC DST]... [--timeout DURATION]\n"
    "                   ROOT -- COMMAND [ARG...]\n"
    "       sandbox-run --help | --version\n"
    "Prepares ROOT (mnt, opt, var, boot and the tracer stand-in\n"
    "boot/bin/tracelogger, each only when missing) and runs COMMAND in bubblewrap\n"
    "with the host file system read-only, a fresh /dev, and these bound from ROOT:\n"
    "/mnt /opt /var /boot always, and /dev/shmem /dev/vellmar /dev/slog\n"
    "/dev/sidechannel when present in ROOT (absent inside otherwise). A logger\n"
    "restarted on ROOT/dev/sidechannel during the run is reached from inside too.\n"
    "ROOT/dev/slog and the plain files under ROOT/dev/vellmar are emptied before\n"
    "the run: a device keeps nothing of an earlier run. Only ROOT's own files are\n"
    "changed, and an entry of ROOT that leads out of it is refused. One run at a\n"
    "time per ROOT: a second is refused. The working directory, standard input and\n"
    "the signal handling are kept.\n"
    "  --logger             run host-slogger on ROOT/dev/sidechannel for the run\n"
    "                       ($HOST_SLOGGER, else the one beside sandbox-run,\n"
    "                       prefixed by $EMULATOR when set); its lines go to\n"
    "                       standard output as they arrive\n"
    "  --logger-output FILE the same, but the lines are appended to FILE\n"
    "  --logger-arg ARG     the same, and pass ARG on to host-slogger (repeatable)\n"
    "  --bind SRC DST       also bind host SRC read-write at DST (repeatable)\n"
    "  --timeout DURATION   send COMMAND SIGTERM after DURATION (seconds, or with\n"
    "                       a suffix s, m, h or d; 0: no limit), as timeout does\n"
    "When COMMAND ends, the processes it left behind get 2 s to end, then SIGTERM,\n"
    "then SIGKILL 2 s later; then the logger logs what was sent and stops. A\n"
    "signal that would end sandbox-run (SIGINT, SIGTERM, SIGHUP, SIGUSR1, ...) is\n"
    "passed on to COMMAND; 2 s after it every process of the run is killed, and\n"
    "the status is 128 + the signal. The terminal's ^C reaches COMMAND itself.\n"
    "Exit status: the command's (128 + N after signal N); 124 when the time limit\n"
    "ran out; 125 when the sandbox could not be set up or the log could not be\n"
    "written, 126 when COMMAND cannot be executed, 127 when it is not found.\n";

constexpr int TIMED_OUT = 124;
constexpr int CANCELED = 125;
constexpr int CANNOT_EXECUTE = 126;
constexpr int NOT_FOUND = 127;

// Processes the command leaves behind get this long to end by themselves (the
// tracer kestrune starts ends at once), and as long again after SIGTERM; a
// signal passed on gets the same grace, counted from it.
constexpr long long SETTLE_MS = 2000;
constexpr long long GRACE_MS = 2000;
constexpr long long LOGGER_START_MS = 30000;
constexpr long long LOGGER_STOP_MS = 30000;
constexpr long long NEVER = LLONG_MAX;

// Signals a terminal or a kill of the process group sends to every process of
// the group. bwrap runs with them ignored, or a ^C meant for the command would
// end bwrap and, with it, kill the command.
constexpr int GROUP_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
// Signals whose default action is not to end the process: never passed on.
constexpr int HARMLESS_SIGNALS[] = {SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGTSTP,
                                    SIGTTIN, SIGTTOU, SIGURG,  SIGWINCH};
constexpr int LAST_SIGNAL = 64;

// The first argument of the runner's own step inside the sandbox, which it
// executes through a descriptor of its program: never a ROOT of a user's.
constexpr char LAUNCH_WORD[] = "--launch-in-sandbox";
constexpr char FD_PATH[] = "/proc/self/fd/";

// The entries of ROOT bound inside; the /dev ones only when present.
struct bound_entry {
    const char* name; // below ROOT
    const char* inside;
    bool always; // made in ROOT when missing
};
constexpr bound_entry ENTRIES[] = {{"mnt", "/mnt", true},
                                   {"opt", "/opt", true},
                                   {"var", "/var", true},
                                   {"boot", "/boot", true},
                                   {"dev/shmem", "/dev/shmem", false},
                                   {"dev/vellmar", "/dev/vellmar", false},
                                   {"dev/slog", "/dev/slog", false}};
// Devices whose plain files are emptied before a run, below ROOT/dev.
constexpr const char* DEVICES[] = {"slog", "vellmar"};

// What the command line asked for: set by read_options, only read after it.
struct run_options {
    bool logger = false;
    const char* output = nullptr; // --logger-output; null: standard output
    std::vector<const char*> logger_args;
    std::vector<const char*> binds; // source, target, source, target, ...
    long long timeout_ms = 0;       // 0: no limit
    const char* root = nullptr;
    char** command = nullptr; // null-terminated
};
run_options options;

// The working directory the command starts in, read before ROOT is touched.
std::string working_directory;
// bwrap as found on PATH.
std::string bwrap;
// ROOT's real path, for messages; its descriptor, locked for the run.
std::string root_path;
int root_fd = -1;
// ROOT/dev, as checked: emptied, served by the logger and bound inside. -1: none.
int dev_fd = -1;
// The descriptors handed to bwrap, each with where it goes inside.
std::vector<std::pair<int, const char*>> handed_over;

// The signals ignored when the runner started, and the mask it was given: the
// command's, as under env. Bit N-1 stands for signal N.
std::uint64_t start_ignored = 0;
sigset_t start_mask;
// The signals that would end the runner, and SIGCHLD: blocked, read from signal_fd.
sigset_t caught;
int signal_fd = -1;
// Polled beside the signals: the watch on ROOT/dev while the logger starts;
// the report of the step inside the sandbox until it is read to its end.
int watch_fd = -1;
int report_fd = -1;
// The last signal wait_event returned.
signalfd_siginfo last_signal{};

// The logger and the sandbox (bwrap) while they run, and their wait statuses
// once reaped (-1 before). The command's pid, once the step inside reported it.
pid_t logger_pid = 0;
int logger_status = -1;
pid_t sandbox_pid = 0;
int sandbox_status = -1;
pid_t command_pid = 0;
bool launched = false;
std::string launch_report;

// Why the runner ended the run: a signal passed on, or the time limit; 0 when
// the command ended by itself.
int stop_cause = 0;
constexpr int CAUSE_TIME_LIMIT = -1;

// The steps of a run, in the order they come below.
int read_options(int argc, char** argv);
bool check_tools();
bool take_signals();
bool prepare_root();
bool start_logger();
bool start_sandbox();
void supervise();
void stop_logger();
int exit_status();
[[noreturn]] void launch(int argc, char** argv);

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strncmp(argv[0], FD_PATH, std::strlen(FD_PATH)) == 0 &&
        std::strcmp(argv[1], LAUNCH_WORD) == 0) {
        launch(argc, argv);
    }
    const int status = read_options(argc, argv);
    if (status >= 0) {
        return status;
    }
    if (!check_tools() || !take_signals()) {
        return CANCELED;
    }
    if (!prepare_root() || (options.logger && !start_logger()) || !start_sandbox()) {
        stop_logger();
        return stop_cause > 0 ? 128 + stop_cause : CANCELED;
    }
    supervise();
    stop_logger();
    return exit_status();
}

namespace {

// "sandbox-run: TEXT" on standard error; false, for the caller to return.
bool complain(const std::string& text) {
    const std::string line = "sandbox-run: " + text + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
    return false;
}

std::string error_text(int error) {
    return std::strerror(error);
}

std::string find_command(const char* name);

// A usage error: 125, as env and timeout answer one.
int usage_error(const std::string& text) {
    complain(text);
    return CANCELED;
}

// --help and --version: 0, or 125 when standard output cannot take the text.
int print(const std::string& text) {
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        complain("write error: " + error_text(errno));
        return CANCELED;
    }
    return 0;
}

// A duration as timeout(1) takes it: a number of seconds, or with a suffix.
bool take_duration(const char* text, long long& ms) {
    char* end = nullptr;
    errno = 0;
    double seconds = std::strtod(text, &end);
    if (end == text || errno != 0 || !std::isfinite(seconds) || seconds < 0) {
        return false;
    }
    constexpr char SUFFIXES[] = "smhd";
    constexpr double UNITS[] = {1, 60, 3600, 86400};
    if (const char* suffix = *end != '\0' ? std::strchr(SUFFIXES, *end) : nullptr) {
        seconds *= UNITS[suffix - SUFFIXES];
        ++end;
    }
    if (*end != '\0' || seconds * 1000 > static_cast<double>(LLONG_MAX / 2)) {
        return false;
    }
    ms = static_cast<long long>(std::ceil(seconds * 1000));
    return true;
}

// The options, each with what its value is called in a complaint.
constexpr option LONG_OPTIONS[] = {{"logger", no_argument, nullptr, 'l'},
                                   {"logger-output", required_argument, nullptr, 'o'},
                                   {"logger-arg", required_argument, nullptr, 'a'},
                                   {"bind", required_argument, nullptr, 'b'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
constexpr const char* VALUE_NAMES[] = {"", "FILE", "ARG", "SRC and DST", "DURATION"};

// An option given without its value, which getopt_long names only by its letter.
int missing_value() {
    std::size_t row = 0;
    while (LONG_OPTIONS[row].val != optopt) {
        ++row;
    }
    return usage_error(std::string("--") + LONG_OPTIONS[row].name + " needs " + VALUE_NAMES[row]);
}

// ROOT -- COMMAND [ARG...] from argv[optind] on. Returns -1 to go on, else the exit status.
int take_operands(int argc, char** argv, bool options_ended) {
    if (options_ended) {
        return usage_error("ROOT is missing (see --help)");
    }
    if (argc - optind < 3 || std::strcmp(argv[optind + 1], "--") != 0) {
        return usage_error("want ROOT -- COMMAND [ARG...] (see --help)");
    }
    options.root = argv[optind];
    options.command = argv + optind + 2;
    return -1;
}

// Reads the command line into `options`. Returns -1 to go on, else the exit status.
int read_options(int argc, char** argv) {
    opterr = 0; // the complaints below say it our way
    const char* last_value = nullptr;
    for (int c; (c = getopt_long(argc, argv, "+:", LONG_OPTIONS, nullptr)) != -1;
         last_value = optarg) {
        switch (c) {
        case 'l':
            options.logger = true;
            break;
        case 'o':
            if (*optarg == '\0') {
                return usage_error("bad --logger-output '': want a file");
            }
            options.logger = true;
            options.output = optarg;
            break;
        case 'a':
            options.logger = true;
            options.logger_args.push_back(optarg);
            break;
        case 'b':
            if (optind >= argc) {
                return usage_error("--bind needs SRC and DST");
            }
            if (struct stat st; stat(optarg, &st) != 0) {
                return usage_error(std::string("--bind source ") + optarg + " does not exist");
            }
            options.binds.push_back(optarg);
            options.binds.push_back(argv[optind++]);
            break;
        case 't':
            if (!take_duration(optarg, options.timeout_ms)) {
                return usage_error(std::string("bad --timeout '") + optarg +
                                   "': want a duration such as 10, 2.5s or 1m");
            }
            break;
        case 'h':
            return print(USAGE);
        case 'V':
            return print("sandbox-run (mediaunit-tools) " VERSION "\n");
        case ':':
            return missing_value();
        default:
            return usage_error(std::string("unknown option ") + argv[optind - 1] + " (see --help)");
        }
    }
    // A "--" that ended the options, not one that was an option's value.
    const bool ended =
        optind > 1 && std::strcmp(argv[optind - 1], "--") == 0 && argv[optind - 1] != last_value;
    return take_operands(argc, argv, ended);
}

// The directory this program lies in.
std::string program_directory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    const std::string program(path, static_cast<std::size_t>(n));
    return program.substr(0, program.rfind('/'));
}

// `path` taken from the working directory the runner was started in.
std::string absolute(const std::string& path) {
    return path.empty() || path[0] == '/' ? path : working_directory + "/" + path;
}

// bwrap on PATH, and a working directory to start the command in.
bool check_tools() {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return complain("the working directory is gone: " + error_text(errno));
    }
    working_directory = cwd;
    bwrap = find_command("bwrap");
    return !bwrap.empty() || complain("bwrap (bubblewrap) is not installed");
}

std::uint64_t bit(int signo) {
    return std::uint64_t{1} << (signo - 1);
}

bool harmless(int signo) {
    return std::find(std::begin(HARMLESS_SIGNALS), std::end(HARMLESS_SIGNALS), signo) !=
               std::end(HARMLESS_SIGNALS) ||
           (signo >= 32 && signo < SIGRTMIN); // the C library's own
}

// Notes the signal handling the runner was given, and from here on reads the
// signals that would end it from a descriptor, as the run's subreaper.
bool take_signals() {
    sigprocmask(SIG_BLOCK, nullptr, &start_mask);
    sigemptyset(&caught);
    sigaddset(&caught, SIGCHLD);
    for (int signo = 1; signo <= LAST_SIGNAL; ++signo) {
        struct sigaction given {};
        if (sigaction(signo, nullptr, &given) == 0 && given.sa_handler == SIG_IGN) {
            start_ignored |= bit(signo);
        } else if (!harmless(signo)) {
            sigaddset(&caught, signo); // one the runner was told to ignore stays ignored
        }
    }
    sigprocmask(SIG_BLOCK, &caught, nullptr);
    signal_fd = signalfd(-1, &caught, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signal_fd < 0 || prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
        return complain("cannot collect the processes of the run: " + error_text(errno));
    }
    return true;
}

// `path` opened below the directory `dir`, following only links that stay
// below it; -1 with errno EXDEV (or ELOOP) for one that leads out.
int open_beneath(int dir, const char* path, std::uint64_t flags) {
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, dir, path, &how, sizeof how));
}

// Complains of ROOT/`name` that could not be opened; false.
bool refuse_entry(const char* name, int error) {
    const std::string entry = root_path + "/" + name;
    if (error == EXDEV || error == ELOOP) {
        return complain(entry + " leads out of ROOT; refusing to use it");
    }
    return complain("cannot prepare " + entry + ": " + error_text(error));
}

// mkdir -p: callers rely on a ROOT that is made where missing.
bool make_directories(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0 || errno != ENOENT) {
        return true; // what is wrong with it is found when it is opened
    }
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        if (mkdir(path.substr(0, end).c_str(), 0777) != 0 && errno != EEXIST) {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
    }
}

// Opens ROOT, refuses the host's own, and takes the run's lock on it.
bool open_root() {
    if (!make_directories(options.root) ||
        (root_fd = open(options.root, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        return complain(std::string("cannot prepare ") + options.root + ": " + error_text(errno));
    }
    char* real = realpath(options.root, nullptr);
    root_path = real != nullptr ? real : options.root;
    std::free(real);
    struct stat root {};
    struct stat host {};
    if (fstat(root_fd, &root) != 0 || stat("/", &host) != 0 ||
        (root.st_dev == host.st_dev && root.st_ino == host.st_ino)) {
        return complain("ROOT must not be /");
    }
    // A second run would replace this one's logger socket and empty its devices.
    if (flock(root_fd, LOCK_EX | LOCK_NB) != 0) {
        return complain(errno == EWOULDBLOCK
                            ? root_path + " is in use by another sandbox-run: one run per ROOT"
                            : "cannot lock " + root_path + ": " + error_text(errno));
    }
    return true;
}

// Puts the tracer stand-in in ROOT/boot/bin unless something is there already.
bool install_tracer(int boot) {
    if (mkdirat(boot, "bin", 0777) != 0 && errno != EEXIST) {
        return refuse_entry("boot/bin", errno);
    }
    const int bin = open_beneath(boot, "bin", O_PATH | O_DIRECTORY);
    if (bin < 0) {
        return refuse_entry("boot/bin", errno);
    }
    struct stat st {};
    bool done = fstatat(bin, "tracelogger", &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!done) {
        const std::string source = program_directory() + "/" TRACER_STAND_IN;
        if (std::FILE* in = std::fopen(source.c_str(), "rbe")) {
            std::string script;
            char buffer[4096];
            for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
                script.append(buffer, n);
            }
            std::fclose(in);
            const int fd = openat(bin, "tracelogger",
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755);
            done = fd >= 0 &&
                   write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size()) &&
                   fchmod(fd, 0755) == 0;
            if (fd >= 0) {
                close(fd);
            }
        }
        if (!done) {
            complain("cannot install the tracer stand-in: " + error_text(errno));
        }
    }
    close(bin);
    return done;
}

// A file with other hard links is shared with another name, perhaps outside
// ROOT: that one keeps its bytes, and this name gets a new file.
bool replace_with_empty(int parent, const char* name, const struct stat& st) {
    const std::string temporary = ".sandbox-run." + std::to_string(getpid());
    const int fd = openat(parent, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    (void)!fchown(fd, st.st_uid, st.st_gid); // another user's file: the new one is ours
    const bool done = fchmod(fd, st.st_mode & 07777) == 0 &&
                      renameat(parent, temporary.c_str(), parent, name) == 0;
    const int error = errno;
    if (!done) {
        unlinkat(parent, temporary.c_str(), 0);
    }
    close(fd);
    errno = error;
    return done;
}

// A directory of devices still to be gone through, and its name for messages.
struct device_directory {
    int fd;
    std::string shown;
};

// The programs open a device without truncating it, so a plain file standing
// for one would keep the tail of an earlier, longer request or an earlier
// run's records. Symbolic links and FIFOs are left alone, and one that cannot
// be written, which cannot take a request either; a directory is added to
// `later`.
bool empty_device(int parent, const char* name, const std::string& shown,
                  std::vector<device_directory>& later) {
    struct stat st {};
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT || complain("cannot empty " + shown + ": " + error_text(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        later.push_back(
            {openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), shown});
        if (later.back().fd < 0) {
            const int error = errno;
            later.pop_back();
            return complain("cannot empty " + shown + ": " + error_text(error));
        }
        return true;
    }
    if (!S_ISREG(st.st_mode) || (st.st_size == 0 && st.st_nlink == 1)) {
        return true;
    }
    const int fd = openat(parent, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EACCES || errno == EPERM || errno == EROFS || errno == ELOOP ||
               complain("cannot empty " + shown + ": " + error_text(errno));
    }
    // Checked again on what was opened: the name may have changed meanwhile.
    bool done = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                (st.st_nlink == 1 ? ftruncate(fd, 0) == 0 : replace_with_empty(parent, name, st));
    const int error = errno;
    close(fd);
    return done || complain("cannot empty " + shown + ": " + error_text(error));
}

// Empties ROOT/dev/slog and the plain files under ROOT/dev/vellmar, at any depth.
bool empty_devices() {
    std::vector<device_directory> later;
    bool done = true;
    for (const char* device : DEVICES) {
        done = done && empty_device(dev_fd, device, root_path + "/dev/" + device, later);
    }
    while (!later.empty()) {
        const device_directory directory = later.back();
        later.pop_back();
        DIR* dir = fdopendir(directory.fd);
        while (const dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
            const std::string name = entry->d_name;
            done = done &&
                   (name == "." || name == ".." ||
                    empty_device(directory.fd, entry->d_name, directory.shown + "/" + name, later));
        }
        dir != nullptr ? closedir(dir) : close(directory.fd);
    }
    return done;
}

// Opens ROOT/`entry.name` for bwrap, made first when it is always bound;
// false when the run is refused.
bool hand_over(const bound_entry& entry) {
    if (entry.always && mkdirat(root_fd, entry.name, 0777) != 0 && errno != EEXIST) {
        return refuse_entry(entry.name, errno);
    }
    const int fd = open_beneath(root_fd, entry.name, O_PATH | (entry.always ? O_DIRECTORY : 0));
    if (fd < 0) {
        return (!entry.always && (errno == ENOENT || errno == ENOTDIR)) ||
               refuse_entry(entry.name, errno);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || (!S_ISDIR(st.st_mode) && st.st_nlink > 1)) {
        close(fd);
        return complain(root_path + "/" + entry.name +
                        " has other hard links, which the run would write to");
    }
    handed_over.emplace_back(fd, entry.inside);
    return std::strcmp(entry.name, "boot") != 0 || install_tracer(fd);
}

// ROOT with the layout every run sees, made only where missing so that a
// test's own set-up stays; the /dev entries are the caller's to provide.
bool prepare_root() {
    if (!open_root()) {
        return false;
    }
    if (options.logger && mkdirat(root_fd, "dev", 0777) != 0 && errno != EEXIST) {
        return refuse_entry("dev", errno);
    }
    dev_fd = open_beneath(root_fd, "dev", O_PATH | O_DIRECTORY);
    if (dev_fd < 0 && (options.logger || (errno != ENOENT && errno != ENOTDIR))) {
        return refuse_entry("dev", errno);
    }
    if (dev_fd >= 0 && !empty_devices()) {
        return false;
    }
    return std::all_of(std::begin(ENTRIES), std::end(ENTRIES), hand_over);
}

long long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

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

// What woke the runner.
enum wake { WAKE_DEADLINE, WAKE_SIGNAL, WAKE_CHILD, WAKE_READABLE };

void read_launch_report();

// Waits for a signal (children reaped on SIGCHLD), for the watch or the
// report (read here), or for the deadline.
wake wait_event(long long deadline) {
    for (;;) {
        const long long left = deadline == NEVER ? -1 : std::max(0LL, deadline - now_ms());
        pollfd fds[3] = {{signal_fd, POLLIN, 0}, {watch_fd, POLLIN, 0}, {report_fd, POLLIN, 0}};
        const int n = poll(fds, 3, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n < 0 || now_ms() >= deadline) {
                return WAKE_DEADLINE;
            }
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

// Child processes start with the signal mask the runner was given.
void restore_mask() {
    sigprocmask(SIG_SETMASK, &start_mask, nullptr);
}

// Removes a socket an earlier logger left, which would pass for this one's.
bool remove_stale_socket() {
    struct stat st {};
    if (fstatat(dev_fd, "sidechannel", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode) &&
        unlinkat(dev_fd, "sidechannel", 0) != 0) {
        return complain("cannot remove the stale " + root_path +
                        "/dev/sidechannel: " + error_text(errno));
    }
    return true;
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
void exec_logger(const std::vector<std::string>& words) {
    const pid_t runner = getppid();
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0); // should the runner be killed
    if (getppid() != runner) {
        _exit(CANCELED);
    }
    signal(SIGTTOU, SIG_IGN); // a background group may still write to the terminal
    restore_mask();
    const int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0 || fchdir(dev_fd) != 0) {
        _exit(CANCELED);
    }
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    complain(words[0] + ": " + error_text(errno));
    _exit(CANCELED);
}

// Whether the logger has renamed its socket into place: it does so once it listens.
bool logger_listens() {
    alignas(inotify_event) char events[4096];
    while (read(watch_fd, events, sizeof events) > 0) {
    }
    struct stat st {};
    return fstatat(dev_fd, "sidechannel", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode);
}

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
            return complain(std::string("cannot write ") + options.output + ": " +
                            error_text(errno));
        }
        close(fd);
    }
    if (!remove_stale_socket()) {
        return false;
    }
    watch_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch_fd < 0 || inotify_add_watch(watch_fd, (FD_PATH + std::to_string(dev_fd)).c_str(),
                                          IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
        return complain("cannot watch " + root_path + "/dev: " + error_text(errno));
    }
    const std::vector<std::string> words = logger_command(program);
    logger_pid = fork();
    if (logger_pid == 0) {
        exec_logger(words);
    }
    bool ready = false;
    for (const long long deadline = now_ms() + LOGGER_START_MS; !ready;) {
        const wake woke = logger_pid > 0 ? wait_event(deadline) : WAKE_CHILD;
        if (woke == WAKE_SIGNAL) {
            stop_cause = static_cast<int>(last_signal.ssi_signo);
            break;
        }
        ready = logger_listens();
        if (!ready && logger_pid <= 0) {
            complain("host logger failed to start");
            break;
        }
        if (!ready && woke == WAKE_DEADLINE) {
            complain("host logger did not create " + root_path + "/dev/sidechannel within " +
                     std::to_string(LOGGER_START_MS / 1000) + " s");
            break;
        }
    }
    close(watch_fd);
    watch_fd = -1;
    return ready;
}

// The descriptor's close-on-exec flag cleared, for bwrap to take it.
int inherited(int fd) {
    fcntl(fd, F_SETFD, 0);
    return fd;
}

std::string hex(std::uint64_t bits) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIx64, bits);
    return text;
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
    std::uint64_t blocked = 0;
    for (int signo = 1; signo <= LAST_SIGNAL; ++signo) {
        blocked |= sigismember(&start_mask, signo) == 1 ? bit(signo) : 0;
    }
    words.insert(words.end(),
                 {"--chdir", working_directory, "--",
                  FD_PATH + std::to_string(inherited(program_fd)), LAUNCH_WORD,
                  std::to_string(inherited(report)), hex(start_ignored), hex(blocked)});
    for (char** arg = options.command; *arg != nullptr; ++arg) {
        words.emplace_back(*arg);
    }
    return words;
}

// Starts bwrap. Every descriptor the runner was given goes on to the command,
// as env passes them; the runner's own are closed on exec.
bool start_sandbox() {
    int report[2];
    const int program_fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (program_fd < 0 || pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0) {
        return complain("cannot start the sandbox: " + error_text(errno));
    }
    sandbox_pid = fork();
    if (sandbox_pid == 0) {
        const std::vector<std::string> words = sandbox_command(report[1], program_fd);
        std::vector<char*> argv;
        argv.reserve(words.size() + 1);
        for (const std::string& word : words) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        for (const int signo : GROUP_SIGNALS) {
            signal(signo, SIG_IGN);
        }
        restore_mask();
        execv(bwrap.c_str(), argv.data());
        complain("bwrap: " + error_text(errno));
        _exit(CANCELED);
    }
    close(report[1]);
    close(program_fd);
    for (const auto& entry : handed_over) {
        close(entry.first);
    }
    report_fd = report[0];
    return sandbox_pid > 0 || complain("cannot start the sandbox: " + error_text(errno));
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
    if (!launched && launch_report.find('\n') != std::string::npos) {
        launched = true;
        command_pid = static_cast<pid_t>(std::strtol(launch_report.c_str(), nullptr, 10));
    }
}

// Whether a signal ends the run: the terminal's ^C reaches the command as
// well, in the runner's process group, and then it is the command's to act on,
// as under env.
bool is_stop_signal() {
    if (last_signal.ssi_code != SI_KERNEL) {
        return true;
    }
    const pid_t group = command_pid > 0 ? getpgid(command_pid) : -1;
    return group >= 0 && group != getpgrp();
}

// Phase 1: waits until the command ends (false), or a signal or the time
// limit ends the run (true, with the cause).
bool wait_for_command() {
    const long long deadline = options.timeout_ms > 0 ? now_ms() + options.timeout_ms : NEVER;
    while (sandbox_status < 0) {
        switch (wait_event(deadline)) {
        case WAKE_DEADLINE:
            stop_cause = CAUSE_TIME_LIMIT;
            return true;
        case WAKE_SIGNAL:
            if (is_stop_signal()) {
                stop_cause = static_cast<int>(last_signal.ssi_signo);
                return true;
            }
            break;
        case WAKE_READABLE:
        case WAKE_CHILD:
            break;
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
    while (sandbox_status < 0) {
        if (command_pid > 0) {
            for (const int each : pending) {
                kill(command_pid, each);
            }
            pending.clear();
        }
        const wake woke = wait_event(kill_at);
        if (woke == WAKE_DEADLINE) {
            break;
        }
        if (woke == WAKE_SIGNAL && is_stop_signal()) {
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

void signal_all(const std::vector<pid_t>& pids, int signo) {
    for (const pid_t pid : pids) {
        kill(pid, signo);
    }
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
    bool left = false;
    for (char *at = children, *end = nullptr;; at = end) {
        const long pid = std::strtol(at, &end, 10);
        if (end == at) {
            return left;
        }
        left = left || pid != logger_pid;
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
        if (woke == WAKE_SIGNAL && is_stop_signal()) {
            stop_cause = static_cast<int>(last_signal.ssi_signo);
            return false;
        }
    }
    return true;
}

// Phase 4: SIGTERM to what is left, which gets until the deadline to end.
void terminate(long long deadline) {
    signal_all(processes_of_run(), SIGTERM);
    while (run_left() && wait_event(deadline) != WAKE_DEADLINE) {
    }
}

// Phase 5: SIGKILL to what is left, until nothing is.
void kill_all() {
    for (std::vector<pid_t> left; !(left = processes_of_run()).empty();) {
        signal_all(left, SIGKILL);
        wait_event(now_ms() + 50);
    }
}

// Waits for the command and for what it leaves behind, and ends the run when
// a signal or the time limit says so, as timeout(1) does.
void supervise() {
    long long kill_at = NEVER;
    if (wait_for_command()) {
        kill_at = pass_on(stop_cause > 0 ? stop_cause : SIGTERM);
    } else if (settle(now_ms() + SETTLE_MS)) {
        return;
    }
    if (kill_at == NEVER) {
        kill_at = now_ms() + GRACE_MS;
    }
    terminate(kill_at);
    kill_all();
}

// Stops the logger: it logs every record already sent, then ends.
void stop_logger() {
    if (logger_pid <= 0) {
        return;
    }
    kill(logger_pid, SIGTERM);
    for (const long long deadline = now_ms() + LOGGER_STOP_MS; logger_pid > 0;) {
        if (wait_event(deadline) == WAKE_DEADLINE) {
            kill(logger_pid, SIGKILL);
            waitpid(logger_pid, &logger_status, 0);
            logger_pid = 0;
        }
    }
}

int exit_status() {
    if (report_fd >= 0) {
        read_launch_report(); // all the sandbox wrote is there once it has ended
    }
    int status = 0;
    if (stop_cause == CAUSE_TIME_LIMIT) {
        status = TIMED_OUT;
    } else if (stop_cause > 0) {
        status = 128 + stop_cause;
    } else if (WIFSIGNALED(sandbox_status)) {
        status = 128 + WTERMSIG(sandbox_status);
    } else if (!launched) {
        complain("bubblewrap could not set up the sandbox (status " +
                 std::to_string(WEXITSTATUS(sandbox_status)) + ")");
        return CANCELED;
    } else {
        status = WEXITSTATUS(sandbox_status);
    }
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

// The step inside the sandbox ends here when the command cannot be executed.
[[noreturn]] void fail_launch(const char* name, int status, const std::string& problem) {
    complain(std::string(name) + ": " + problem);
    _exit(status);
}

// The command as execvp would find it, or null.
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

// The step inside the sandbox, in a fresh process: gives the command the
// signal handling the runner was given, says on the report descriptor that
// the sandbox stands and which process the command is, and executes it.
// argv: FD_PATH + program, LAUNCH_WORD, report fd, ignored, blocked, command...
[[noreturn]] void launch(int argc, char** argv) {
    if (argc < 6) {
        fail_launch("sandbox-run", CANCELED, "nothing to launch");
    }
    const std::uint64_t ignored = std::strtoull(argv[3], nullptr, 16);
    const std::uint64_t blocked = std::strtoull(argv[4], nullptr, 16);
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
    fail_launch(name, errno == ENOENT ? NOT_FOUND : CANNOT_EXECUTE, error_text(errno));
}

} // namespace
