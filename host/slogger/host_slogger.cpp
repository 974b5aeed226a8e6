// host-slogger: the system logger on a Linux host. Serves the side-channel
// socket, writes one line per record and answers each packet with its result.
#include "slogger_proto.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    "usage: host-slogger [--socket PATH] [--output FILE] [--fail ERROR:COUNT]\n"
    "                    [--answers ANSWER,...] [--help]\n"
    "  --socket PATH      side-channel socket to serve (default /dev/sidechannel)\n"
    "  --output FILE      append the log lines to FILE (default standard output)\n"
    "  --fail ERROR:COUNT answer the first COUNT records with -ERROR (a name such as\n"
    "                     ENOSYS or a number) without logging them\n"
    "  --answers ANSWER,... then answer the records with these in turn, over and\n"
    "                     over: an ERROR refuses the record as --fail does, 'log'\n"
    "                     logs it\n"
    "SIGINT or SIGTERM stops it and removes the socket.\n";

// More connections are refused rather than left waiting unanswered.
constexpr std::size_t max_clients = 512;
// Packets taken from one client before the others get their turn.
constexpr int packets_per_turn = 16;

struct Options {
    std::string socket_path = "/dev/sidechannel";
    std::string output_path;
    int fail_error = 0;
    unsigned long fail_count = 0;
    // Answers taken in turn after the --fail ones: an errno, or 0 to log.
    std::vector<int> answers;
};

struct Client {
    int fd;
    long pid; // for diagnostics only
};

int stop_pipe[2] = {-1, -1};

void on_stop_signal(int) {
    int saved = errno;
    char byte = 's';
    (void)!write(stop_pipe[1], &byte, 1);
    errno = saved;
}

void complain(const std::string& text) {
    std::string line = "host-slogger: " + text + "\n";
    (void)!write(2, line.data(), line.size());
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

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv, Options* options) {
    static const option long_options[] = {
        {"socket", required_argument, nullptr, 's'}, {"output", required_argument, nullptr, 'o'},
        {"fail", required_argument, nullptr, 'f'},   {"answers", required_argument, nullptr, 'a'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (c) {
        case 's':
            options->socket_path = optarg;
            break;
        case 'o':
            options->output_path = optarg;
            break;
        case 'f':
            if (!parse_fail(optarg, options)) {
                complain(std::string("bad --fail '") + optarg + "': want ERROR:COUNT");
                return 2;
            }
            break;
        case 'a':
            if (!parse_answers(optarg, options)) {
                complain(std::string("bad --answers '") + optarg +
                         "': want ERROR or log, separated by commas");
                return 2;
            }
            break;
        case 'h':
            std::fputs(usage, stdout);
            return 0;
        default:
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (optind != argc) {
        std::fputs(usage, stderr);
        return 2;
    }
    return -1;
}

bool set_path(sockaddr_un* addr, const std::string& path) {
    if (path.size() >= sizeof addr->sun_path)
        return false;
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Binds under a temporary name and renames it into place once listening, so
// a client that sees the path can connect. Records the socket file's identity.
int open_listener(const std::string& path, struct stat* identity) {
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
        complain(path + " exists and is not a socket; not replacing it");
        return -1;
    }
    std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
    sockaddr_un addr{};
    if (!set_path(&addr, temporary)) {
        complain("socket path too long: " + path);
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        complain(std::string("socket: ") + std::strerror(errno));
        return -1;
    }
    unlink(temporary.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
        stat(temporary.c_str(), identity) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        complain(path + ": " + std::strerror(errno));
        unlink(temporary.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

// Removes the socket unless a newer logger has already put its own there.
void remove_socket(const std::string& path, const struct stat& identity) {
    struct stat now;
    if (lstat(path.c_str(), &now) == 0 && now.st_dev == identity.st_dev &&
        now.st_ino == identity.st_ino)
        unlink(path.c_str());
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool peer_gone(int fd) {
    pollfd probe{fd, POLLRDHUP, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

class Logger {
  public:
    Logger(const Options& options, int output) : options_(options), output_(output) {}

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
            if (size < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            // An empty read is an empty packet, unless the client has gone,
            // perhaps only since the last poll.
            if (size == 0 && (hung_up || peer_gone(client.fd)))
                return false;
            if (!answer(client, static_cast<std::size_t>(size), msg.msg_flags & MSG_TRUNC))
                return false;
        }
        return true;
    }

    std::vector<Client>& clients() { return clients_; }

  private:
    bool answer(const Client& client, std::size_t size, bool truncated) {
        slogger::Outcome outcome = slogger::handle_packet(buffer_, size, truncated);
        if (!outcome.complaint.empty()) {
            complain("client pid " + std::to_string(client.pid) + ": " + outcome.complaint);
        } else if (options_.fail_count > failed_) {
            ++failed_;
            outcome.reply = -options_.fail_error;
        } else if (int refusal = next_answer(); refusal != 0) {
            outcome.reply = -refusal;
        } else if (!write_all(output_, outcome.line + "\n")) {
            // The record is not stored: the client must not count it delivered.
            complain(std::string("writing the log: ") + std::strerror(errno));
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
    int output_;
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
    // Records already sent when the stop came are still logged.
    for (const Client& client : logger->clients()) {
        logger->serve(client, true, 1024);
        close(client.fd);
    }
}

} // namespace

int main(int argc, char** argv) {
    static Options options;
    int status = parse_options(argc, argv, &options);
    if (status >= 0)
        return status;
    int output = 1;
    if (!options.output_path.empty()) {
        output = open(options.output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (output < 0) {
            complain(options.output_path + ": " + std::strerror(errno));
            return 1;
        }
    }
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
    close(listener);
    remove_socket(options.socket_path, identity);
    return 0;
}
