// host-slogger: the system logger on a Linux host. Serves the side-channel
// socket, writes a line for each record (slog_output.cpp) and answers it; or
// decodes a /dev/slog file (slog_file.cpp).
#include "host_slogger.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

struct client {
    int fd;
    long pid; // the sender, as the kernel saw it connect; 0 when unknown
};

// Sound records answered so far, the --fail and --answers turns among them: answer counts.
unsigned long long sound_records = 0;
// log_record's: records refused since the output failed (0 while it works),
// whether it ever failed (exit status 1), whether its reader is gone (EPIPE).
unsigned long long refused = 0;
bool output_failed = false;
bool reader_gone = false;
// The connected clients, oldest first: accept_clients adds, serve_clients drops.
std::vector<client> clients;
// Clients are refused for want of room, said once, until one is taken again.
bool refusing = false;
// A descriptor kept free: closed, it makes room to take a client and refuse it.
int spare_fd = -1;
// The packet being answered; serve receives one at a time into it.
unsigned char packet[slogger::MAX_PACKET];
// Where the stop and reopen signals are read.
int signal_fd = -1;
// The identity forward_to_syslog files a record under; openlog keeps a pointer to it.
std::string syslog_ident;

void fill_standard_descriptors(); // the steps of a run, in the order they come below
int read_options(int argc, char** argv);
int serve_socket();

} // namespace

int main(int argc, char** argv) {
    fill_standard_descriptors();
    signal(SIGXFSZ, SIG_IGN); // a file size limit fails a write (EFBIG), not the logger
    static char program_name[] = "host-slogger";
    argv[0] = program_name; // getopt's complaints begin with it
    const int status = read_options(argc, argv);
    if (status >= 0) {
        return status;
    }
    const bool reading = options.read_path != nullptr;
    if (!open_output()) {
        return reading ? 2 : 1;
    }
    return reading ? read_file(options.read_path) : serve_socket();
}

namespace {

// Started as a daemon often is, with standard descriptors closed, the socket
// or the output would take their numbers and get what goes to standard output
// or error. /dev/null takes them instead.
void fill_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            (void)open("/dev/null", O_RDWR); // the lowest number free: fd
        }
    }
}

constexpr char USAGE[] =
    "usage: host-slogger [--socket PATH] [--syslog] [--fail ERROR:COUNT]\n"
    "                    [--answers ANSWER,...] [OUTPUT OPTION]...\n"
    "       host-slogger --read FILE|- [-f] [-n N] [OUTPUT OPTION]...\n"
    "Serves the side channel, a line for each record, until SIGINT or SIGTERM.\n"
    "  --socket PATH        the socket to serve (default /dev/sidechannel)\n"
    "  --syslog             also forward each record written to syslog(3)\n"
    "  --fail ERROR:COUNT   refuse the first COUNT records with ERROR (ENOSYS, 38)\n"
    "  --answers ANSWER,... then answer with these in turn: an ERROR, or log\n"
    "  --read FILE          decode a /dev/slog file (- for standard input) and exit:\n"
    "                       0 all sound, 1 some flagged, 2 a usage or read error\n"
    "  -f, --follow         with --read: go on as the file grows, as tail -f does\n"
    "  -n, --lines N        with --read: only the last N records\n"
    "Output options (records left out are still answered as delivered):\n"
    "  --output FILE        append to FILE, opened again on SIGHUP (default stdout)\n"
    "  --format text|json   text lines (default), or a JSON object a line\n"
    "  --min-severity S     only records as severe as S or more: 0 to 7, or a name\n"
    "  --pid PID            only those of process PID (again for more; not --read)\n"
    "  -t, --identifier NAME  only those of program NAME, the first word of a text\n"
    "  -h, --help, --version  show this help, or the version, and exit\n";

enum { SOCKET = 256, OUTPUT, FORMAT, MIN_SEVERITY, PID, SYSLOG, FAIL, ANSWERS, READ, VERSION };

constexpr option LONG_OPTIONS[] = {{"socket", required_argument, nullptr, SOCKET},
                                   {"output", required_argument, nullptr, OUTPUT},
                                   {"format", required_argument, nullptr, FORMAT},
                                   {"pid", required_argument, nullptr, PID},
                                   {"min-severity", required_argument, nullptr, MIN_SEVERITY},
                                   {"identifier", required_argument, nullptr, 't'},
                                   {"syslog", no_argument, nullptr, SYSLOG},
                                   {"fail", required_argument, nullptr, FAIL},
                                   {"answers", required_argument, nullptr, ANSWERS},
                                   {"read", required_argument, nullptr, READ},
                                   {"follow", no_argument, nullptr, 'f'},
                                   {"lines", required_argument, nullptr, 'n'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, VERSION},
                                   {nullptr, 0, nullptr, 0}};

constexpr char SEVERITIES_WANTED[] =
    "0 to 7 or a name, in any case: shutdown (emerg, panic, alert), critical (crit), error "
    "(err), warning (warn), notice, info, debug1, debug2 (debug)";

bool take_answers(const std::string& list) {
    options.answers.clear();
    for (std::size_t start = 0, comma = 0; comma != std::string::npos; start = comma + 1) {
        comma = list.find(',', start);
        const std::string item = list.substr(start, comma - start);
        options.answers.push_back(item == "log" ? 0 : slogger::parse_error(item));
        if (options.answers.back() == 0 && item != "log") {
            return false;
        }
    }
    return true;
}

// Takes an option into `options`; null, or what its value should have been.
const char* take_option(int c, const char* value) {
    switch (c) {
    case SOCKET:
    case OUTPUT:
    case READ: // paths taken as they stand
        *(c == SOCKET   ? &options.socket_path
          : c == OUTPUT ? &options.output_path
                        : &options.read_path) = value;
        return nullptr;
    case FORMAT:
        options.format = std::strcmp(value, "json") == 0 ? slogger::LINE_JSON : slogger::LINE_TEXT;
        return options.format == slogger::LINE_JSON || std::strcmp(value, "text") == 0
                   ? nullptr
                   : "text or json";
    case MIN_SEVERITY:
        options.min_severity = slogger::parse_severity(value);
        return options.min_severity >= 0 ? nullptr : SEVERITIES_WANTED;
    case PID:
        options.pids.push_back(static_cast<long>(slogger::parse_count(value, INT_MAX)));
        return options.pids.back() > 0 ? nullptr : "a process id";
    case 't':
        options.programs.emplace_back(value);
        return nullptr;
    case SYSLOG:
        options.syslog = true;
        return nullptr;
    case 'f':
        options.follow = true;
        return nullptr;
    case FAIL: {
        const char* colon = std::strrchr(value, ':');
        options.fail_error = colon != nullptr ? slogger::parse_error(std::string(value, colon)) : 0;
        options.fail_count =
            colon != nullptr ? slogger::parse_count(colon + 1, LLONG_MAX / 10) : -1;
        return options.fail_error != 0 && options.fail_count >= 0 ? nullptr : "ERROR:COUNT";
    }
    case ANSWERS:
        return take_answers(value) ? nullptr : "ERROR or log, separated by commas";
    default: // 'n'
        options.lines = slogger::parse_count(value, LLONG_MAX / 10);
        return options.lines >= 0 ? nullptr : "a number of records";
    }
}

// Reads the command line into `options`. Returns -1 to go on, else the exit status.
int read_options(int argc, char** argv) {
    int index = -1;
    for (int c; (c = getopt_long(argc, argv, "hfn:t:", LONG_OPTIONS, &index)) != -1; index = -1) {
        if (c == 'h' || c == VERSION) {
            std::fputs(c == 'h' ? USAGE : "host-slogger (" TOOLS_PACKAGE ") " TOOLS_VERSION "\n",
                       stdout);
            return 0;
        }
        if (c == '?') {
            std::fputs(USAGE, stderr);
            return 2;
        }
        // An empty value would go unnoticed: --read '' would read nothing.
        const char* want = optarg == nullptr ? take_option(c, "")
                           : *optarg == '\0' ? "a value"
                                             : take_option(c, optarg);
        if (want != nullptr) {
            const std::string name = index >= 0 ? std::string("--") + LONG_OPTIONS[index].name
                                                : std::string("-") + static_cast<char>(c);
            complain("bad " + name + " '" + optarg + "': want " + want);
            return 2;
        }
    }
    if (optind != argc) {
        complain(std::string("unexpected argument '") + argv[optind] + "'");
        std::fputs(USAGE, stderr);
        return 2;
    }
    const bool reading = options.read_path != nullptr;
    if (reading ? options.socket_path != DEFAULT_SOCKET || !options.pids.empty() ||
                      options.syslog || options.fail_error != 0 || !options.answers.empty()
                : options.follow || options.lines >= 0) {
        complain(reading ? "--read decodes a file: --socket, --pid, --syslog, --fail and "
                           "--answers serve clients"
                         : "--follow and --lines go with --read");
        return 2;
    }
    return -1;
}

// SIGINT and SIGTERM stop, SIGHUP reopens the output, read in the serving loop.
// SIGTTOU (stty tostop) would stop the logger at its first line, and its clients.
bool handle_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&set, number);
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
    signal_fd = sigprocmask(SIG_BLOCK, &set, nullptr) == 0
                    ? signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC)
                    : -1;
    return signal_fd >= 0;
}

// Takes the signals caught: false when one of them stops the service.
bool take_signals() {
    signalfd_siginfo caught{};
    while (read(signal_fd, &caught, sizeof caught) == sizeof caught) {
        if (caught.ssi_signo != SIGHUP) {
            return false;
        }
        open_output();
    }
    return true;
}

// Binds under a temporary name beside the path, renamed into place once
// listening: a client that sees the path can connect. A temporary name too
// long for an address is reached through the directory's descriptor, so that
// every path a plain bind takes is taken. Records the socket's identity.
int open_listener(const std::string& path, struct stat* identity) {
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
        complain(path + " exists and is not a socket; not replacing it");
        return -1;
    }
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        complain("socket path too long: " + path);
        return -1;
    }
    const std::string prefix = path.substr(0, path.rfind('/') + 1); // the directory, "" for here
    const int directory =
        open(prefix.empty() ? "." : prefix.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const std::string name = ".host-slogger." + std::to_string(getpid());
    std::string temporary = prefix + name;
    if (temporary.size() >= sizeof addr.sun_path) {
        temporary = "/proc/self/fd/" + std::to_string(directory) + "/" + name;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, temporary.c_str(), temporary.size() + 1);
    int fd = directory < 0 ? -1 : socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        complain(path + ": " + std::strerror(errno));
        if (directory >= 0) {
            close(directory);
        }
        return -1;
    }
    unlinkat(directory, name.c_str(), 0); // what a logger of the same pid left
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
        fstatat(directory, name.c_str(), identity, AT_SYMLINK_NOFOLLOW) != 0 ||
        renameat(directory, name.c_str(), AT_FDCWD, path.c_str()) != 0) {
        complain(path + ": " + std::strerror(errno));
        unlinkat(directory, name.c_str(), 0);
        close(fd);
        fd = -1;
    }
    close(directory);
    return fd;
}

// More connections are refused rather than left waiting unanswered.
constexpr std::size_t MAX_CLIENTS = 512;
// Packets taken from one client before the others get their turn.
constexpr int PACKETS_PER_TURN = 16;

// Says why clients are refused, once until one is taken again. A client taken
// only to be closed finds no logger and falls back.
void say_refusing(const std::string& why) {
    if (!std::exchange(refusing, true)) {
        complain(why + "; refusing clients until some leave");
    }
}

// Takes the clients waiting; false when they cannot be taken for now.
bool accept_clients(int listener) {
    for (;;) {
        spare_fd = spare_fd >= 0 ? spare_fd : open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        const int error = errno;
        // Out of descriptors, the spare makes room to take a client and refuse it:
        // left waiting, it would spin the loop. EMFILE comes even when none waits.
        if (fd < 0 && (error == EMFILE || error == ENFILE) && spare_fd >= 0) {
            close(std::exchange(spare_fd, -1));
            const int waiting = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (waiting < 0) {
                return true;
            }
            close(waiting);
            say_refusing(std::string("accept: ") + std::strerror(error));
        } else if (fd < 0 && error != EINTR && error != ECONNABORTED) {
            if (error != EAGAIN && error != EWOULDBLOCK) {
                say_refusing(std::string("accept: ") + std::strerror(error));
            }
            return error == EAGAIN || error == EWOULDBLOCK;
        } else if (fd >= 0 && clients.size() >= MAX_CLIENTS) {
            close(fd);
            say_refusing(std::to_string(MAX_CLIENTS) + " clients served already");
        } else if (fd >= 0) {
            ucred peer{};
            socklen_t size = sizeof peer;
            // The process that connected: a child makes its own connection,
            // so this is the sender of every record that comes on it.
            const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
            clients.push_back({fd, known ? peer.pid : 0});
            refusing = false;
        }
    }
}

// The host's priority of the same name; both debug levels are debug there.
constexpr int SYSLOG_PRIORITIES[8] = {LOG_EMERG,  LOG_CRIT, LOG_ERR,   LOG_WARNING,
                                      LOG_NOTICE, LOG_INFO, LOG_DEBUG, LOG_DEBUG};

// Says once when nothing listens on /dev/log: syslog(3) drops records in silence.
void check_syslog() {
    const sockaddr_un address{AF_UNIX, _PATH_LOG};
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        complain(std::string("--syslog: " _PATH_LOG ": ") + std::strerror(errno) +
                 "; records are not forwarded while nothing listens there");
    }
    close(probe);
}

// Tagged "program[pid]" as the sender would have been.
void forward_to_syslog(const slogger::record_view& record, const slogger::record_origin& origin) {
    const slogger::tagged_text tagged = slogger::split_program(record);
    syslog_ident = tagged.program.empty() ? "slog" : tagged.program;
    if (origin.pid > 0) {
        syslog_ident += '[' + std::to_string(origin.pid) + ']';
    }
    openlog(syslog_ident.c_str(), 0, LOG_USER);
    syslog(SYSLOG_PRIORITIES[slogger::severity_of(record)], "%s", tagged.message.c_str());
}

// The error --fail, then --answers, refuse the sound record `n` with; 0 to log it.
int refusal_for(unsigned long long n) {
    const auto failing = static_cast<unsigned long long>(options.fail_count);
    const std::size_t turns = options.answers.size();
    return n < failing  ? options.fail_error
           : turns == 0 ? 0
                        : options.answers[(n - failing) % turns];
}

// Writes and forwards a record selected, its time of arrival spelt out only
// then; false when the output failed: the record is refused. Said once, and
// once more when writing works again.
bool log_record(const slogger::record_view& record, long pid, const timespec& arrival) {
    slogger::record_origin origin{{}, pid};
    if (!selected(record, origin)) {
        return true;
    }
    origin.time = slogger::utc_time(arrival);
    if (!write_line(slogger::format_line(record, origin, options.format))) {
        // A filter whose reader is gone stops, as a pipeline's filters do.
        reader_gone = reader_gone || errno == EPIPE;
        if (refused++ == 0 && !reader_gone) {
            complain(std::string("cannot write the log to ") + output_name() + ": " +
                     std::strerror(errno) + "; records not written are answered EIO");
        }
        output_failed = true;
        return false;
    }
    if (const unsigned long long lost = std::exchange(refused, 0); lost != 0) {
        complain(std::string("writing the log to ") + output_name() + " resumed, " +
                 std::to_string(lost) + (lost == 1 ? " record" : " records") + " refused");
    }
    if (options.syslog) {
        forward_to_syslog(record, origin);
    }
    return true;
}

// Answers the packet just received; false when the client is to be dropped.
bool answer(const client& from, std::size_t size, bool truncated, const timespec& arrival) {
    slogger::packet_outcome outcome = slogger::handle_packet(packet, size, truncated);
    if (!outcome.complaint.empty()) {
        complain("client pid " + std::to_string(from.pid) + ": " + outcome.complaint);
    } else if (const int refusal = refusal_for(sound_records++); refusal != 0) {
        outcome.reply = -refusal;
    } else if (!log_record(outcome.record, from.pid, arrival)) {
        outcome.reply = -EIO;
    }
    const std::int32_t reply = outcome.reply;
    if (send(from.fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT) == sizeof reply) {
        return true;
    }
    // A full reply queue means the client sends without reading its replies.
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        complain("client pid " + std::to_string(from.pid) + " reads no replies; dropped");
    }
    return false;
}

// Takes up to `budget` packets from a client; false when it is gone.
bool serve(const client& from, bool hung_up, int budget) {
    for (int i = 0; i < budget; ++i) {
        const ssize_t size = recv(from.fd, packet, sizeof packet, MSG_TRUNC); // its whole size
        timespec arrival{};
        clock_gettime(CLOCK_REALTIME, &arrival);
        if (size < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        // An empty read is an empty packet, unless the client is gone (since the poll, perhaps).
        pollfd probe{from.fd, POLLRDHUP, 0};
        const bool gone = size == 0 && (hung_up || (poll(&probe, 1, 0) > 0 && probe.revents != 0));
        const auto whole = static_cast<std::size_t>(size);
        if (gone || !answer(from, std::min(whole, sizeof packet), whole > sizeof packet, arrival)) {
            return false;
        }
    }
    return true;
}

// Serves the clients in turn and takes new ones, until a stop or the reader goes.
void serve_clients(int listener) {
    std::vector<pollfd> fds;
    // Where clients cannot be taken for now, the listener rests a moment.
    for (bool resting = false; !reader_gone;) {
        fds.assign(
            {{signal_fd, POLLIN, 0}, {listener, static_cast<short>(resting ? 0 : POLLIN), 0}});
        for (const client& each : clients) {
            fds.push_back({each.fd, POLLIN | POLLRDHUP, 0});
        }
        if (poll(fds.data(), fds.size(), resting ? 100 : -1) < 0 && errno != EINTR) {
            complain(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0 && !take_signals()) {
            return;
        }
        std::vector<client> kept;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const short events = fds[i + 2].revents;
            const bool hung_up = events & (POLLHUP | POLLRDHUP | POLLERR);
            if (events == 0 || serve(clients[i], hung_up, PACKETS_PER_TURN)) {
                kept.push_back(clients[i]);
            } else {
                close(clients[i].fd);
            }
        }
        clients.swap(kept);
        resting = fds[1].revents != 0 && !accept_clients(listener);
    }
}

// With the name gone, the listener refuses new connections too: a client
// finds no logger (and falls back) or is served, every packet answered.
void drain(int listener) {
    shutdown(listener, SHUT_RD);
    accept_clients(listener);
    for (const client& each : clients) {
        serve(each, true, 1024);
        close(each.fd);
    }
    close(listener);
}

// Serves the socket until a stop signal, then drains what was already sent.
// When the output's reader has gone it ends by SIGPIPE, as a filter does.
int serve_socket() {
    if (!handle_signals()) {
        complain(std::string("signals: ") + std::strerror(errno));
        return 1;
    }
    if (options.syslog) {
        check_syslog();
    }
    struct stat identity {};
    const int listener = open_listener(options.socket_path, &identity);
    if (listener < 0) {
        return 1;
    }
    serve_clients(listener);
    // The socket goes, unless a newer logger has already put its own there.
    struct stat now {};
    if (lstat(options.socket_path, &now) == 0 && now.st_dev == identity.st_dev &&
        now.st_ino == identity.st_ino) {
        unlink(options.socket_path);
    }
    drain(listener);
    if (reader_gone) {
        signal(SIGPIPE, SIG_DFL);
        raise(SIGPIPE);
    }
    return output_failed ? 1 : 0;
}

} // namespace
