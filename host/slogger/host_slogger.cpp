// host-slogger: the system logger on a Linux host. Serves the side-channel
// socket, writes one line per record with its time of arrival and its sender,
// and answers each packet with its result. With --read it decodes a /dev/slog
// file instead.
#include "log_output.h"
#include "slogger_proto.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char usage[] =
    "usage: host-slogger [--socket PATH] [--output FILE] [--format text|json]\n"
    "                    [--min-severity NAME|N] [--syslog] [--fail ERROR:COUNT]\n"
    "                    [--answers ANSWER,...] [--help]\n"
    "       host-slogger --read FILE|- [--output FILE] [--format text|json]\n"
    "                    [--min-severity NAME|N]\n"
    "  --socket PATH      side-channel socket to serve (default /dev/sidechannel)\n"
    "  --output FILE      append the log lines to FILE (default standard output)\n"
    "  --format FORMAT    text (default): time, pid, severity, code, record;\n"
    "                     json: one object per line\n"
    "  --min-severity S   write only records at least as severe as S (0 to 7, or a\n"
    "                     name such as warning, warn or WARNING); the others are\n"
    "                     still answered as delivered\n"
    "  --syslog           also forward each written record to syslog(3), under\n"
    "                     the sender's program name and pid\n"
    "  --fail ERROR:COUNT answer the first COUNT records with -ERROR (a name such as\n"
    "                     ENOSYS or a number) without logging them\n"
    "  --answers ANSWER,... then answer the records with these in turn, over and\n"
    "                     over: an ERROR refuses the record as --fail does, 'log'\n"
    "                     logs it\n"
    "  --read FILE        decode the raw records of a /dev/slog file (- for standard\n"
    "                     input) and exit: 0 all sound, 1 some flagged on standard\n"
    "                     error, 2 a usage or read error\n"
    "SIGINT or SIGTERM stops the service: the socket is removed, and what was\n"
    "already sent is still logged and answered.\n";

// More connections are refused rather than left waiting unanswered.
constexpr std::size_t max_clients = 512;
// Packets taken from one client before the others get their turn.
constexpr int packets_per_turn = 16;

struct Options {
    std::string socket_path = "/dev/sidechannel";
    std::string output_path;
    std::string read_path; // --read: decode this file instead of serving
    slogger::Format format = slogger::Format::text;
    int min_severity = 7;
    bool syslog = false;
    bool serving_options = false; // an option that only serving takes was given
    int fail_error = 0;
    unsigned long fail_count = 0;
    // Answers taken in turn after the --fail ones: an errno, or 0 to log.
    std::vector<int> answers;
};

struct Client {
    int fd;
    long pid; // the sender, as the kernel saw it connect; 0 when unknown
};

int stop_pipe[2] = {-1, -1};

void on_stop_signal(int) {
    int saved = errno;
    char byte = 's';
    (void)!write(stop_pipe[1], &byte, 1);
    errno = saved;
}

bool parse_fail(const char* text, Options* options) {
    std::string arg = text;
    std::size_t colon = arg.rfind(':');
    if (colon == std::string::npos)
        return false;
    options->fail_error = slogger::parse_error(arg.substr(0, colon));
    std::string count = arg.substr(colon + 1);
    char* end = nullptr;
    errno = 0;
    options->fail_count = std::strtoul(count.c_str(), &end, 10);
    return options->fail_error != 0 && !count.empty() && *end == '\0' && errno == 0 &&
           count[0] != '-';
}

bool parse_answers(const char* text, Options* options) {
    std::string list = text;
    options->answers.clear();
    for (std::size_t start = 0;;) {
        std::size_t comma = list.find(',', start);
        std::string answer = list.substr(start, comma - start);
        int error = answer == "log" ? 0 : slogger::parse_error(answer);
        if (error == 0 && answer != "log")
            return false;
        options->answers.push_back(error);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

// What each option that checks its value wants, for the complaint.
struct Wanted {
    int code;
    const char* name;
    const char* want;
};
constexpr Wanted wanted[] = {{'F', "format", "text or json"},
                             {'m', "min-severity",
                              "0 to 7 or a name, in any case: shutdown "
                              "(emerg, panic, alert), critical (crit), error (err), warning "
                              "(warn), notice, info, debug1, debug2 (debug)"},
                             {'f', "fail", "ERROR:COUNT"},
                             {'a', "answers", "ERROR or log, separated by commas"},
                             {'r', "read", "a file, or - for standard input"},
                             {'s', "socket", "a path"},
                             {'o', "output", "a file"}};

// The options that take a path as it stands.
struct PathOption {
    int code;
    std::string Options::*path;
};
constexpr PathOption path_options[] = {
    {'s', &Options::socket_path}, {'o', &Options::output_path}, {'r', &Options::read_path}};

// Takes one option; false when its value is not one it accepts.
bool take_option(int c, const char* value, Options* options) {
    options->serving_options |= c == 's' || c == 'S' || c == 'f' || c == 'a';
    for (const PathOption& entry : path_options) {
        if (entry.code == c) {
            options->*entry.path = value;
            return *value != '\0'; // an empty --read would go unnoticed
        }
    }
    switch (c) {
    case 'F':
        options->format = value[0] == 'j' ? slogger::Format::json : slogger::Format::text;
        return std::strcmp(value, "text") == 0 || std::strcmp(value, "json") == 0;
    case 'm':
        options->min_severity = slogger::parse_severity(value);
        return options->min_severity >= 0;
    case 'S':
        options->syslog = true;
        return true;
    case 'f':
        return parse_fail(value, options);
    case 'a':
        return parse_answers(value, options);
    default:
        return false;
    }
}

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv, Options* options) {
    static const option long_options[] = {{"socket", required_argument, nullptr, 's'},
                                          {"output", required_argument, nullptr, 'o'},
                                          {"format", required_argument, nullptr, 'F'},
                                          {"min-severity", required_argument, nullptr, 'm'},
                                          {"syslog", no_argument, nullptr, 'S'},
                                          {"read", required_argument, nullptr, 'r'},
                                          {"fail", required_argument, nullptr, 'f'},
                                          {"answers", required_argument, nullptr, 'a'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        if (c == 'h') {
            std::fputs(usage, stdout);
            return 0;
        }
        if (c == '?') {
            std::fputs(usage, stderr);
            return 2;
        }
        if (!take_option(c, optarg, options)) {
            for (const Wanted& entry : wanted) {
                if (entry.code == c)
                    complain(std::string("bad --") + entry.name + " '" + optarg + "': want " +
                             entry.want);
            }
            return 2;
        }
    }
    if (optind != argc) {
        complain(std::string("unexpected argument '") + argv[optind] + "'");
        std::fputs(usage, stderr);
        return 2;
    }
    if (!options->read_path.empty() && options->serving_options) {
        complain("--read decodes a file: --socket, --syslog, --fail and --answers serve clients");
        return 2;
    }
    return -1;
}

// Binds under a temporary name beside the path and renames it into place once
// listening, so a client that sees the path can connect. Where the temporary
// name spelt out would not fit an address, it is reached through the
// directory's descriptor, so every path a plain bind takes is taken. Records
// the socket file's identity.
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
    std::string prefix = path.substr(0, path.rfind('/') + 1); // the directory, "" for here
    int directory = open(prefix.empty() ? "." : prefix.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string name = ".host-slogger." + std::to_string(getpid());
    std::string temporary = prefix + name;
    if (temporary.size() >= sizeof addr.sun_path)
        temporary = "/proc/self/fd/" + std::to_string(directory) + "/" + name;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, temporary.c_str(), temporary.size() + 1);
    int fd = directory < 0 ? -1 : socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        complain(path + ": " + std::strerror(errno));
        if (directory >= 0)
            close(directory);
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

// Removes the socket unless a newer logger has already put its own there.
void remove_socket(const std::string& path, const struct stat& identity) {
    struct stat now;
    if (lstat(path.c_str(), &now) == 0 && now.st_dev == identity.st_dev &&
        now.st_ino == identity.st_ino)
        unlink(path.c_str());
}

bool peer_gone(int fd) {
    pollfd probe{fd, POLLRDHUP, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

class Logger {
  public:
    Logger(const Options& options, const LogOutput& output) : options_(options), output_(output) {}

    void accept_clients(int listener) {
        for (;;) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                    errno != ECONNABORTED)
                    complain(std::string("accept: ") + std::strerror(errno));
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            if (clients_.size() >= max_clients) {
                complain("too many clients; refusing one");
                close(fd);
                continue;
            }
            ucred peer{};
            socklen_t size = sizeof peer;
            // The process that connected: a child makes its own connection,
            // so this is the sender of every record that comes on it.
            long pid = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? peer.pid : 0;
            clients_.push_back({fd, pid});
        }
    }

    // Takes up to `budget` packets from a client; false when it is gone.
    bool serve(const Client& client, bool hung_up, int budget) {
        for (int i = 0; i < budget; ++i) {
            iovec part{buffer_, sizeof buffer_};
            msghdr msg{};
            msg.msg_iov = &part;
            msg.msg_iovlen = 1;
            ssize_t size = recvmsg(client.fd, &msg, 0);
            timespec arrival{};
            clock_gettime(CLOCK_REALTIME, &arrival);
            if (size < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            // An empty read is an empty packet, unless the client has gone,
            // perhaps only since the last poll.
            if (size == 0 && (hung_up || peer_gone(client.fd)))
                return false;
            if (!answer(client, static_cast<std::size_t>(size), msg.msg_flags & MSG_TRUNC, arrival))
                return false;
        }
        return true;
    }

    std::vector<Client>& clients() { return clients_; }
    bool output_failed() const { return output_failed_; }

  private:
    bool answer(const Client& client, std::size_t size, bool truncated, const timespec& arrival) {
        slogger::Outcome outcome = slogger::handle_packet(buffer_, size, truncated);
        if (!outcome.complaint.empty()) {
            complain("client pid " + std::to_string(client.pid) + ": " + outcome.complaint);
        } else if (options_.fail_count > failed_) {
            ++failed_;
            outcome.reply = -options_.fail_error;
        } else if (int refusal = next_answer(); refusal != 0) {
            outcome.reply = -refusal;
        } else if (!write_record(output_, outcome.record,
                                 {slogger::utc_time(arrival), client.pid})) {
            // The record is not stored: the client must not count it delivered.
            // Said once: a full disk would otherwise fill the terminal instead.
            if (!output_failed_)
                complain("cannot write the log to " +
                         (options_.output_path.empty() ? "standard output" : options_.output_path) +
                         ": " + std::strerror(errno) + "; records not written are answered EIO");
            output_failed_ = true;
            outcome.reply = -EIO;
        }
        std::int32_t reply = outcome.reply;
        if (send(client.fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT) == sizeof reply)
            return true;
        // A full reply queue means the client sends without reading its replies.
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            complain("client pid " + std::to_string(client.pid) + " reads no replies; dropped");
        return false;
    }

    // The next of the --answers: the error to refuse with, or 0 to log.
    int next_answer() {
        if (options_.answers.empty())
            return 0;
        return options_.answers[answered_++ % options_.answers.size()];
    }

    const Options& options_;
    LogOutput output_;
    bool output_failed_ = false; // some record could not be written
    unsigned long failed_ = 0;
    unsigned long answered_ = 0;
    std::vector<Client> clients_;
    unsigned char buffer_[slogger::max_packet];
};

bool install_stop_handlers() {
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    signal(SIGPIPE, SIG_IGN);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

void run(Logger* logger, int listener) {
    std::vector<pollfd> fds;
    for (;;) {
        std::vector<Client>& clients = logger->clients();
        fds.assign({{stop_pipe[0], POLLIN, 0}, {listener, POLLIN, 0}});
        for (const Client& client : clients)
            fds.push_back({client.fd, POLLIN | POLLRDHUP, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            complain(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0)
            break;
        std::vector<Client> kept;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            short events = fds[i + 2].revents;
            bool hung_up = events & (POLLHUP | POLLRDHUP | POLLERR);
            bool alive = events == 0 || logger->serve(clients[i], hung_up, packets_per_turn);
            if (alive)
                kept.push_back(clients[i]);
            else
                close(clients[i].fd);
        }
        clients.swap(kept);
        if (fds[1].revents != 0)
            logger->accept_clients(listener);
    }
}

// Once the name is gone, the listener refuses new connections too, so that
// a client either finds no logger at all (and falls back) or is served:
// every connection already queued is taken, every packet already sent
// answered.
void drain(Logger* logger, int listener) {
    shutdown(listener, SHUT_RD);
    logger->accept_clients(listener);
    for (const Client& client : logger->clients()) {
        logger->serve(client, true, 1024);
        close(client.fd);
    }
    close(listener);
}

// Started as a daemon often is, with standard descriptors closed, the stop
// pipe or the output would take their numbers, and what is written to
// standard output or error would land in them. /dev/null takes them instead.
void fill_standard_descriptors() {
    int fd;
    while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= STDERR_FILENO) {
    }
    if (fd > STDERR_FILENO)
        close(fd);
}

} // namespace

int main(int argc, char** argv) {
    fill_standard_descriptors();
    static char program_name[] = "host-slogger";
    argv[0] = program_name; // getopt's complaints begin with it
    static Options options;
    int status = parse_options(argc, argv, &options);
    if (status >= 0)
        return status;
    int output_fd = 1;
    if (!options.output_path.empty()) {
        output_fd =
            open(options.output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (output_fd < 0) {
            complain(options.output_path + ": " + std::strerror(errno));
            return options.read_path.empty() ? 1 : 2;
        }
    }
    const LogOutput output{output_fd, options.format, options.min_severity, options.syslog};
    if (!options.read_path.empty())
        return read_file(options.read_path, output);
    if (!install_stop_handlers()) {
        complain(std::string("signals: ") + std::strerror(errno));
        return 1;
    }
    struct stat identity {};
    int listener = open_listener(options.socket_path, &identity);
    if (listener < 0)
        return 1;
    static Logger logger(options, output);
    run(&logger, listener);
    remove_socket(options.socket_path, identity);
    drain(&logger, listener);
    return logger.output_failed() ? 1 : 0;
}
