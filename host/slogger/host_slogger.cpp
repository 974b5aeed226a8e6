// host-slogger: the system logger on a Linux host. Serves the side-channel
// socket, writes one line per record with its time of arrival and its sender,
// and answers each packet with its result. With --read it decodes a /dev/slog
// file instead.
#include "slogger_proto.h"
#include "wire_text.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

struct slogger_options {
    const char* socket_path = "/dev/sidechannel";
    const char* output_path = nullptr; // null: standard output
    const char* read_path = nullptr;   // --read: decode this file instead of serving
    slogger::line_format format = slogger::LINE_TEXT;
    int min_severity = 7; // records with a greater severity number are left out
    bool syslog = false;  // also forward each written record to syslog(3)
    bool serving = false; // an option that only serving takes was given
    int fail_error = 0;
    unsigned long fail_count = 0;
    // Answers taken in turn after the --fail ones: an errno, or 0 to log.
    std::vector<int> answers;
};

struct client {
    int fd;
    long pid; // the sender, as the kernel saw it connect; 0 when unknown
};

// What the command line asked for: set by read_options, only read after it.
slogger_options options;
// Where the log lines go: standard output, or the --output file main opens.
int output_fd = STDOUT_FILENO;
// Set by answer once a record could not be written; the exit status tells.
bool output_failed = false;
// Sound records answered so far, the --fail and --answers turns among them: answer counts.
unsigned long long sound_records = 0;
// The connected clients, oldest first: accept_clients adds, serve_clients drops.
std::vector<client> clients;
// The packet being answered; serve receives one at a time into it.
unsigned char packet[slogger::MAX_PACKET];
// The identity forward_to_syslog files a record under; openlog keeps a pointer to it.
std::string syslog_ident;
// The stop signal's handler writes to [1]; the serving loop polls [0].
int stop_pipe[2] = {-1, -1};

// The steps of a run, in the order they come below.
void fill_standard_descriptors();
int read_options(int argc, char** argv);
bool open_output();
int read_file(const std::string& path);
int serve_socket();

} // namespace

int main(int argc, char** argv) {
    fill_standard_descriptors();
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

// Started as a daemon often is, with standard descriptors closed, the stop
// pipe or the output would take their numbers, and what is written to
// standard output or error would land in them. /dev/null takes them instead.
void fill_standard_descriptors() {
    int fd;
    while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= STDERR_FILENO) {
    }
    if (fd > STDERR_FILENO) {
        close(fd);
    }
}

// One line of the logger's own on standard error, "host-slogger: " first.
void complain(const std::string& text) {
    const std::string line = "host-slogger: " + text + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
}

bool take_format(const char* value) {
    options.format = value[0] == 'j' ? slogger::LINE_JSON : slogger::LINE_TEXT;
    return std::strcmp(value, "text") == 0 || std::strcmp(value, "json") == 0;
}

bool take_min_severity(const char* value) {
    options.min_severity = slogger::parse_severity(value);
    return options.min_severity >= 0;
}

bool take_syslog(const char* /*value*/) {
    options.syslog = true;
    return true;
}

bool take_fail(const char* value) {
    const char* colon = std::strrchr(value, ':');
    if (colon == nullptr) {
        return false;
    }
    options.fail_error = slogger::parse_error(std::string(value, colon));
    const char* count = colon + 1;
    char* end = nullptr;
    errno = 0;
    options.fail_count = std::strtoul(count, &end, 10);
    return options.fail_error != 0 && *count != '\0' && *count != '-' && *end == '\0' && errno == 0;
}

bool take_answers(const char* value) {
    const std::string list = value;
    options.answers.clear();
    for (std::size_t start = 0, comma = 0; comma != std::string::npos; start = comma + 1) {
        comma = list.find(',', start);
        const std::string item = list.substr(start, comma - start);
        const int error = item == "log" ? 0 : slogger::parse_error(item);
        if (error == 0 && item != "log") {
            return false;
        }
        options.answers.push_back(error);
    }
    return true;
}

// Who takes an option: serving only, reading only (it is the option that
// chooses to read), or both.
enum option_use { FOR_SERVING, FOR_READING, FOR_BOTH };

// One option: getopt_long, the check of its value, the complaint and the
// usage all come from its row, so that a new option is one row.
struct option_row {
    const char* name;
    const char* value;                  // its value in the option list; null: takes none
    const char* values;                 // its values in the synopsis; null: as `value`
    option_use use;                     // who takes it
    const char* slogger_options::*path; // set to the value as it stands, or
    bool (*take)(const char* value);    // takes the value; false when it is not one
    const char* want;                   // what a refused value should have been
    const char* help;                   // each line after the first goes under the first
};

constexpr option_row OPTION_ROWS[] = {
    {"socket", "PATH", nullptr, FOR_SERVING, &slogger_options::socket_path, nullptr, "a path",
     "side-channel socket to serve (default /dev/sidechannel)"},
    {"output", "FILE", nullptr, FOR_BOTH, &slogger_options::output_path, nullptr, "a file",
     "append the log lines to FILE (default standard output)"},
    {"format", "FORMAT", "text|json", FOR_BOTH, nullptr, take_format, "text or json",
     "text (default): time, pid, severity, code, record;\njson: one object per line"},
    {"min-severity", "S", "NAME|N", FOR_BOTH, nullptr, take_min_severity,
     "0 to 7 or a name, in any case: shutdown (emerg, panic, alert), critical (crit), error "
     "(err), warning (warn), notice, info, debug1, debug2 (debug)",
     "write only records at least as severe as S (0 to 7, or a\nname such as warning, warn or "
     "WARNING); the others are\nstill answered as delivered"},
    {"syslog", nullptr, nullptr, FOR_SERVING, nullptr, take_syslog, nullptr,
     "also forward each written record to syslog(3), under\nthe sender's program name and pid"},
    {"fail", "ERROR:COUNT", nullptr, FOR_SERVING, nullptr, take_fail, "ERROR:COUNT",
     "answer the first COUNT records with -ERROR (a name such as\nENOSYS or a number) without "
     "logging them"},
    {"answers", "ANSWER,...", nullptr, FOR_SERVING, nullptr, take_answers,
     "ERROR or log, separated by commas",
     "then answer the records with these in turn, over and\nover: an ERROR refuses the record "
     "as --fail does, 'log'\nlogs it"},
    {"read", "FILE", "FILE|-", FOR_READING, &slogger_options::read_path, nullptr,
     "a file, or - for standard input",
     "decode the raw records of a /dev/slog file (- for standard\ninput) and exit: 0 all sound, "
     "1 some flagged on standard\nerror, 2 a usage or read error"},
};

constexpr std::size_t USAGE_WIDTH = 80;
constexpr std::size_t HELP_COLUMN = 21;
constexpr std::size_t SYNOPSIS_INDENT = 19; // "usage: host-slogger"

// "--name VALUE", with the values the synopsis shows when `synopsis`.
std::string spelled(const option_row& row, bool synopsis) {
    const char* value = synopsis && row.values != nullptr ? row.values : row.value;
    return std::string("--") + row.name + (value != nullptr ? std::string(" ") + value : "");
}

// Adds a word to the synopsis line that begins at `line`, or under it when
// the line would grow wider than the usage.
void add_word(std::string& usage, std::size_t& line, const std::string& word) {
    if (usage.size() - line + 1 + word.size() > USAGE_WIDTH) {
        usage += '\n' + std::string(SYNOPSIS_INDENT, ' ');
        line = usage.size() - SYNOPSIS_INDENT;
    }
    usage += ' ' + word;
}

// How to serve, how to read, then what each option does.
std::string usage() {
    std::string text = "usage: host-slogger";
    std::size_t line = 0;
    for (const option_row& row : OPTION_ROWS) {
        if (row.use != FOR_READING) {
            add_word(text, line, '[' + spelled(row, true) + ']');
        }
    }
    add_word(text, line, "[--help]");
    text += "\n       host-slogger";
    line = text.size() - SYNOPSIS_INDENT;
    for (option_use use : {FOR_READING, FOR_BOTH}) {
        for (const option_row& row : OPTION_ROWS) {
            if (row.use == use) {
                add_word(text, line,
                         use == FOR_BOTH ? '[' + spelled(row, true) + ']' : spelled(row, true));
            }
        }
    }
    text += '\n';
    for (const option_row& row : OPTION_ROWS) {
        std::string item = "  " + spelled(row, false);
        item.resize(std::max(item.size() + 1, HELP_COLUMN), ' ');
        item += row.help;
        for (std::size_t at = item.find('\n'); at != std::string::npos;
             at = item.find('\n', at + 1)) {
            item.insert(at + 1, HELP_COLUMN, ' ');
        }
        text += item + '\n';
    }
    return text + "SIGINT or SIGTERM stops the service: the socket is removed, and what was\n"
                  "already sent is still logged and answered.\n";
}

// "--socket, --syslog, --fail and --answers": the options only serving takes.
std::string serving_only_names() {
    auto left = std::count_if(std::begin(OPTION_ROWS), std::end(OPTION_ROWS),
                              [](const option_row& row) { return row.use == FOR_SERVING; });
    std::string names;
    for (const option_row& row : OPTION_ROWS) {
        if (row.use == FOR_SERVING) {
            --left;
            names += names.empty() ? "--" : left == 0 ? " and --" : ", --";
            names += row.name;
        }
    }
    return names;
}

// Reads the command line into `options`. Returns -1 to go on, else the exit status.
int read_options(int argc, char** argv) {
    constexpr std::size_t ROWS = std::size(OPTION_ROWS);
    option long_options[ROWS + 2] = {};
    for (std::size_t i = 0; i < ROWS; ++i) {
        const int argument = OPTION_ROWS[i].value != nullptr ? required_argument : no_argument;
        long_options[i] = {OPTION_ROWS[i].name, argument, nullptr, 0};
    }
    long_options[ROWS] = {"help", no_argument, nullptr, 'h'};
    int c;
    int index = 0;
    while ((c = getopt_long(argc, argv, "", long_options, &index)) != -1) {
        if (c == 'h' || c == '?') {
            std::fputs(usage().c_str(), c == 'h' ? stdout : stderr);
            return c == 'h' ? 0 : 2;
        }
        const option_row& row = OPTION_ROWS[index];
        options.serving |= row.use == FOR_SERVING;
        if (row.path != nullptr) {
            options.*row.path = optarg;
        }
        // An empty path would go unnoticed: --read '' would read nothing.
        if (row.path != nullptr ? *optarg == '\0' : !row.take(optarg)) {
            complain(std::string("bad --") + row.name + " '" + optarg + "': want " + row.want);
            return 2;
        }
    }
    if (optind != argc) {
        complain(std::string("unexpected argument '") + argv[optind] + "'");
        std::fputs(usage().c_str(), stderr);
        return 2;
    }
    if (options.read_path != nullptr && options.serving) {
        complain("--read decodes a file: " + serving_only_names() + " serve clients");
        return 2;
    }
    return -1;
}

// Opens the --output file, appending; false with a complaint when it cannot.
bool open_output() {
    if (options.output_path == nullptr) {
        return true;
    }
    output_fd = open(options.output_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (output_fd < 0) {
        complain(std::string(options.output_path) + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// The host's priority of the same name; both debug levels are debug there.
constexpr int SYSLOG_PRIORITIES[8] = {LOG_EMERG,  LOG_CRIT, LOG_ERR,   LOG_WARNING,
                                      LOG_NOTICE, LOG_INFO, LOG_DEBUG, LOG_DEBUG};

// Tagged "program[pid]" as the program itself would have been, so that the
// host's log tools file the record under the sender and not under us.
void forward_to_syslog(const slogger::record_view& record, const slogger::record_origin& origin) {
    const slogger::tagged_text tagged = slogger::split_program(record);
    syslog_ident = tagged.program.empty() ? "slog" : tagged.program;
    if (origin.pid > 0) {
        syslog_ident += '[' + std::to_string(origin.pid) + ']';
    }
    openlog(syslog_ident.c_str(), 0, LOG_USER);
    syslog(SYSLOG_PRIORITIES[slogger::severity_of(record)], "%s", tagged.message.c_str());
}

// Writes all of `data` to the output; false with errno set when it cannot.
bool write_all(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(output_fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes a record's line unless it is less severe than asked for, and
// forwards it to syslog(3) on request. False only when the output could not
// be written, with errno set.
bool write_record(const slogger::record_view& record, const slogger::record_origin& origin) {
    if (slogger::severity_of(record) > options.min_severity) {
        return true;
    }
    if (!write_all(slogger::format_line(record, origin, options.format) + "\n")) {
        return false;
    }
    if (options.syslog) {
        forward_to_syslog(record, origin);
    }
    return true;
}

// --read: the records a fallback left in a /dev/slog file, decoded as the
// logger would have written them, with what is unsound flagged on standard
// error by its byte offset. Memory stays bounded whatever the file holds: at
// most two records' room.
struct file_stream {
    int fd;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(2 * slogger::MAX_RECORD);
    std::size_t begin = 0; // the bytes not yet decoded are [begin, end)
    std::size_t end = 0;
    bool at_end = false;
};

// Reads more behind what is left; false on a read error, errno set.
bool fill(file_stream& stream) {
    if (stream.begin != 0) {
        std::memmove(stream.buffer.data(), stream.buffer.data() + stream.begin,
                     stream.end - stream.begin);
        stream.end -= stream.begin;
        stream.begin = 0;
    }
    for (;;) {
        const ssize_t n =
            read(stream.fd, stream.buffer.data() + stream.end, stream.buffer.size() - stream.end);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        stream.at_end = n == 0;
        stream.end += static_cast<std::size_t>(n);
        return true;
    }
}

// Says on standard error where a piece that is not a sound record lies, and why.
void flag(const std::string& name, unsigned long long offset, const slogger::file_piece& piece,
          const unsigned char* bytes) {
    std::string text = name + ": byte " + std::to_string(offset) + ": ";
    switch (piece.kind) {
    case slogger::PIECE_UNSIZED:
        text += "integer or binary record: its length is not in the file, taken up to the next "
                "record";
        break;
    case slogger::PIECE_CUT_OFF:
        text += "text record cut off: no terminating zero";
        break;
    default:
        text += "no record here";
    }
    text += " (" + std::to_string(piece.size) + " bytes";
    if (piece.kind == slogger::PIECE_GARBLED) {
        constexpr std::size_t SHOWN = 16;
        text += ": ";
        wire::append_hex(text, bytes, std::min(piece.size, SHOWN), ' ');
        text += piece.size > SHOWN ? " ..." : "";
    }
    complain(text + ")");
}

// Decodes the records of a /dev/slog file ("-": standard input) and returns
// the exit status: 0 all sound, 1 some flagged, 2 a read error.
int read_file(const std::string& path) {
    const bool standard_input = path == "-";
    const std::string name = standard_input ? "standard input" : path;
    file_stream stream{standard_input ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (stream.fd < 0) {
        complain(name + ": " + std::strerror(errno));
        return 2;
    }
    const slogger::record_origin absent{{}, 0};
    unsigned long long offset = 0;
    bool flagged = false;
    int status = -1;
    while (status < 0) {
        const unsigned char* data = stream.buffer.data() + stream.begin;
        const slogger::file_piece piece =
            slogger::next_piece(data, stream.end - stream.begin, stream.at_end);
        switch (piece.kind) {
        case slogger::PIECE_END:
            status = flagged ? 1 : 0;
            continue;
        case slogger::PIECE_NEED_MORE:
            if (!fill(stream)) {
                complain(name + ": " + std::strerror(errno));
                status = 2;
            }
            continue;
        case slogger::PIECE_GARBLED:
            break;
        default:
            if (!write_record(
                    slogger::decode_record(data, piece.size - slogger::RECORD_HEADER_SIZE),
                    absent)) {
                complain(std::string("writing the output: ") + std::strerror(errno));
                status = 2;
                continue;
            }
        }
        if (piece.kind != slogger::PIECE_RECORD) {
            flagged = true;
            flag(name, offset, piece, data);
        }
        stream.begin += piece.size;
        offset += piece.size;
    }
    if (!standard_input) {
        close(stream.fd);
    }
    return status;
}

void on_stop_signal(int /*signal*/) {
    const int saved = errno;
    const char byte = 's';
    (void)!write(stop_pipe[1], &byte, 1);
    errno = saved;
}

bool install_stop_handlers() {
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    signal(SIGPIPE, SIG_IGN);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
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

// Removes the socket unless a newer logger has already put its own there.
void remove_socket(const std::string& path, const struct stat& identity) {
    struct stat now;
    if (lstat(path.c_str(), &now) == 0 && now.st_dev == identity.st_dev &&
        now.st_ino == identity.st_ino) {
        unlink(path.c_str());
    }
}

// More connections are refused rather than left waiting unanswered.
constexpr std::size_t MAX_CLIENTS = 512;
// Packets taken from one client before the others get their turn.
constexpr int PACKETS_PER_TURN = 16;

void accept_clients(int listener) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) {
            continue;
        }
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                complain(std::string("accept: ") + std::strerror(errno));
            }
            return;
        }
        if (clients.size() >= MAX_CLIENTS) {
            complain("too many clients; refusing one");
            close(fd);
            continue;
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        // The process that connected: a child makes its own connection,
        // so this is the sender of every record that comes on it.
        const long pid = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? peer.pid : 0;
        clients.push_back({fd, pid});
    }
}

// The error the sound record numbered `n` is refused with under --fail, then
// the --answers in turn; 0 to log it.
int refusal_for(unsigned long long n) {
    if (n < options.fail_count) {
        return options.fail_error;
    }
    const std::size_t turns = options.answers.size();
    return turns == 0 ? 0 : options.answers[(n - options.fail_count) % turns];
}

// Answers the packet of `size` bytes just received from a client; false when
// the client is to be dropped.
bool answer(const client& from, std::size_t size, bool truncated, const timespec& arrival) {
    slogger::packet_outcome outcome = slogger::handle_packet(packet, size, truncated);
    if (!outcome.complaint.empty()) {
        complain("client pid " + std::to_string(from.pid) + ": " + outcome.complaint);
    } else if (const int refusal = refusal_for(sound_records++); refusal != 0) {
        outcome.reply = -refusal;
    } else if (!write_record(outcome.record, {slogger::utc_time(arrival), from.pid})) {
        // The record is not stored: the client must not count it delivered.
        // Said once: a full disk would otherwise fill the terminal instead.
        if (!output_failed) {
            complain(std::string("cannot write the log to ") +
                     (options.output_path == nullptr ? "standard output" : options.output_path) +
                     ": " + std::strerror(errno) + "; records not written are answered EIO");
        }
        output_failed = true;
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

bool peer_gone(int fd) {
    pollfd probe{fd, POLLRDHUP, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

// Takes up to `budget` packets from a client; false when it is gone.
bool serve(const client& from, bool hung_up, int budget) {
    for (int i = 0; i < budget; ++i) {
        iovec part{packet, sizeof packet};
        msghdr msg{};
        msg.msg_iov = &part;
        msg.msg_iovlen = 1;
        const ssize_t size = recvmsg(from.fd, &msg, 0);
        timespec arrival{};
        clock_gettime(CLOCK_REALTIME, &arrival);
        if (size < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        // An empty read is an empty packet, unless the client has gone,
        // perhaps only since the last poll.
        const bool gone = size == 0 && (hung_up || peer_gone(from.fd));
        if (gone ||
            !answer(from, static_cast<std::size_t>(size), msg.msg_flags & MSG_TRUNC, arrival)) {
            return false;
        }
    }
    return true;
}

// Serves each client in turn, and takes new ones, until a stop signal.
void serve_clients(int listener) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({{stop_pipe[0], POLLIN, 0}, {listener, POLLIN, 0}});
        for (const client& each : clients) {
            fds.push_back({each.fd, POLLIN | POLLRDHUP, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            complain(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) {
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
        if (fds[1].revents != 0) {
            accept_clients(listener);
        }
    }
}

// Once the name is gone, the listener refuses new connections too, so that
// a client either finds no logger at all (and falls back) or is served:
// every connection already queued is taken, every packet already sent
// answered.
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
int serve_socket() {
    if (!install_stop_handlers()) {
        complain(std::string("signals: ") + std::strerror(errno));
        return 1;
    }
    struct stat identity {};
    const int listener = open_listener(options.socket_path, &identity);
    if (listener < 0) {
        return 1;
    }
    serve_clients(listener);
    remove_socket(options.socket_path, identity);
    drain(listener);
    return output_failed ? 1 : 0;
}

} // namespace
