// sandbox-run's command line: the usage, the options and the operands.
#include "sandbox_run.h"

#include <cmath>

#include <getopt.h>

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

// Complains; 125, as env and timeout answer a usage error or a failed write.
int canceled(const std::string& text) {
    complain(text);
    return CANCELED;
}

// --help and --version: 0, or 125 when standard output cannot take the text.
int print(const char* text) {
    const bool written = std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0;
    return written ? 0 : canceled(std::string("write error: ") + std::strerror(errno));
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
    return canceled(std::string("--") + LONG_OPTIONS[row].name + " needs " + VALUE_NAMES[row]);
}

// ROOT -- COMMAND [ARG...] from argv[optind] on. Returns -1 to go on, else the exit status.
int take_operands(int argc, char** argv, bool options_ended) {
    if (options_ended) {
        return canceled("ROOT is missing (see --help)");
    }
    if (argc - optind < 3 || std::strcmp(argv[optind + 1], "--") != 0) {
        return canceled("want ROOT -- COMMAND [ARG...] (see --help)");
    }
    options.root = argv[optind];
    options.command = argv + optind + 2;
    return -1;
}

} // namespace

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
                return canceled("bad --logger-output '': want a file");
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
                return canceled("--bind needs SRC and DST");
            }
            if (struct stat st; stat(optarg, &st) != 0) {
                return canceled(std::string("--bind source ") + optarg + " does not exist");
            }
            options.binds.push_back(optarg);
            options.binds.push_back(argv[optind++]);
            break;
        case 't':
            if (!take_duration(optarg, options.timeout_ms)) {
                return canceled(std::string("bad --timeout '") + optarg +
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
            return canceled(std::string("unknown option ") + argv[optind - 1] + " (see --help)");
        }
    }
    // A "--" that ended the options, not one that was an option's value.
    const bool ended =
        optind > 1 && std::strcmp(argv[optind - 1], "--") == 0 && argv[optind - 1] != last_value;
    return take_operands(argc, argv, ended);
}
