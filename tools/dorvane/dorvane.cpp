// dorvane: opens the audio manager's debug device, reads its options (opening
// each -p device as it comes) and sends the one request they choose.
#include "dorvane.h"

#include "dorvane_records.h"
#include "log.h"

#include <devctl.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// First argument of every error record and complaint. Set once at start-up.
char* tool_name = nullptr;
// The audio manager's debug device; 0 until opened.
int debug_fd = 0;
// The -p device; 0 until one is opened. With standard input closed the device
// itself may be descriptor 0: a2i_path, not a2i_fd, tells whether -p was given.
int a2i_fd = 0;
// Heap copy of the last -p argument, null until a -p is read; replaced by a later -p.
char* a2i_path = nullptr;

namespace {
constexpr char AUDIO_DEBUG_DEVICE[] = "/dev/vellmar/debug";

// A device that cannot be opened ends the run with status 1.
int open_device_or_exit(const char* path) {
    const int fd = open(path, O_RDWR);
    if (fd == -1) {
        log_error("%s:  open() failed: %s \n", tool_name, strerror(errno));
        exit(1);
    }
    return fd;
}
} // namespace

void set_tool_name() {
    // Without heap for the name the run can still do its work under a fixed one.
    static char fallback_name[TOOL_NAME_SIZE];
    char* block = static_cast<char*>(malloc(TOOL_NAME_SIZE));
    const int malloc_errno = errno;
    tool_name = block != nullptr ? block : fallback_name;
    memcpy(tool_name, TOOL_SELF_NAME, sizeof TOOL_SELF_NAME);
    if (block == nullptr) {
        log_error("%s:  malloc() failed: %s \n", tool_name, strerror(malloc_errno));
    }
}

void open_debug_device() {
    debug_fd = open_device_or_exit(AUDIO_DEBUG_DEVICE);
}

// An earlier -p descriptor stays open.
void open_a2i_device(const char* path) {
    char* copy = strdup(path);
    if (copy == nullptr) {
        // No copy means no -p device: end as when it cannot be opened.
        log_error("%s:  strdup() failed: %s \n", tool_name, strerror(errno));
        exit(1);
    }
    // The earlier copy has served its open and nothing refers to it any more.
    free(a2i_path);
    a2i_path = copy;
    a2i_fd = open_device_or_exit(a2i_path);
}

// A numeric argument as the target's strtoul(text, nullptr, 0) gives it with
// its 32-bit unsigned long, on every host: a magnitude beyond 32 bits
// saturates whatever the sign, a smaller one is negated modulo 2^32 after a
// minus. errno is left as it was: the direct-connect record shows it.
std::uint32_t to_u32_like_target(const char* text) {
    const char* digits = text + strspn(text, " \t\n\v\f\r");
    const bool negative = *digits == '-';
    digits += *digits == '-' || *digits == '+' ? 1 : 0;
    if (*digits < '0' || *digits > '9') {
        return 0; // strtoull would take a second sign or a blank here
    }
    const int saved_errno = errno;
    const unsigned long long magnitude = strtoull(digits, nullptr, 0);
    errno = saved_errno;
    const auto value = static_cast<std::uint32_t>(magnitude);
    return magnitude > 0xFFFFFFFFu ? 0xFFFFFFFFu : negative ? 0u - value : value;
}

namespace {
// The target's getopt stops at the first operand; glibc's reorders the
// arguments unless the option string starts with '+'.
#if defined(__GLIBC__)
#define DORVANE_SCAN_MODE "+"
#else
#define DORVANE_SCAN_MODE ""
#endif
constexpr char OPTION_STRING[] = DORVANE_SCAN_MODE "a:b:c:d:e:f:gp:S:O:z:s:x:y:";

// Built fresh for each handle_options call; all zero to begin with.
struct tool_options {
    std::uint32_t opt_a;
    bool a_given;
    std::uint32_t opt_b;
    std::uint32_t opt_c;
    std::uint32_t opt_d; // -d and -e
    char path_text[PATH_TEXT_SIZE];
    bool path_refused; // a -f of this run was too long for path_text
    bool g_given;
    std::uint32_t opt_S;
    std::uint32_t source; // -O
    std::uint32_t opt_z;
    std::uint32_t opt_s;
    std::uint32_t opt_x;
    bool x_given;
    std::uint32_t opt_y;
};

// Options that store one number; -e fills the same field as -d.
struct numeric_option {
    char letter;
    std::uint32_t tool_options::*field;
    bool tool_options::*given; // null when the request choice ignores it
};

constexpr numeric_option NUMERIC_OPTIONS[] = {
    {'a', &tool_options::opt_a, &tool_options::a_given},
    {'b', &tool_options::opt_b, nullptr},
    {'c', &tool_options::opt_c, nullptr},
    {'d', &tool_options::opt_d, nullptr},
    {'e', &tool_options::opt_d, nullptr},
    {'S', &tool_options::opt_S, nullptr},
    {'O', &tool_options::source, nullptr},
    {'z', &tool_options::opt_z, nullptr},
    {'s', &tool_options::opt_s, nullptr},
    {'x', &tool_options::opt_x, &tool_options::x_given},
    {'y', &tool_options::opt_y, nullptr},
};

void copy_path_text(tool_options& options, const char* text) {
    const size_t length = strlen(text);
    if (length >= sizeof options.path_text) {
        // Refuse rather than cut: a shortened path would name another file.
        log_error("%s:  -f path too long: %u characters, at most %u \n", tool_name,
                  static_cast<unsigned>(length), static_cast<unsigned>(PATH_TEXT_SIZE - 1));
        options.path_refused = true;
        return;
    }
    // Only the text and its zero: bytes behind it keep an earlier, longer -f.
    memcpy(options.path_text, text, length + 1);
}

void apply_option(tool_options& options, int letter, const char* argument) {
    for (const numeric_option& option : NUMERIC_OPTIONS) {
        if (option.letter == letter) {
            options.*option.field = to_u32_like_target(argument);
            if (option.given != nullptr) {
                options.*option.given = true;
            }
            return;
        }
    }
    switch (letter) {
    case 'f':
        copy_path_text(options, argument);
        break;
    case 'g':
        options.g_given = true;
        break;
    case 'p':
        open_a2i_device(argument);
        break;
    default: // '?': a letter outside the option string or a missing argument
        printf("%s:  Wrong Input parameter! \n", tool_name);
        break;
    }
}

int send_request(int fd, dorvane_command command, void* record, size_t size) {
    const devctl_command& cmd = DEVCTL_COMMANDS[command];
    const int result = devctl(fd, static_cast<int>(cmd.code), record, size, nullptr);
    if (result != EOK) {
        log_error("%s:  devctl( %s ) failed: %s", tool_name, cmd.name, strerror(errno));
    }
    return result;
}

// After a refused -f, path_text holds an earlier or empty text: a request
// carrying it would name another path than the one asked for, as a cut one
// would. Says so and tells the caller not to send.
bool path_was_refused(const tool_options& options, dorvane_command command) {
    if (options.path_refused) {
        log_error("%s:  %s not sent: a -f path was refused \n", tool_name,
                  DEVCTL_COMMANDS[command].name);
    }
    return options.path_refused;
}

int send_enable_disable(const tool_options& options) {
    if (path_was_refused(options, CMD_ENABLE_DISABLE)) {
        return 0;
    }
    enable_disable_record record{
        options.opt_a, options.opt_b, options.opt_c, options.opt_d, {}, {}};
    // All 100 bytes as they stand, tail of an earlier longer -f included.
    memcpy(record.text, options.path_text, sizeof options.path_text);
    return send_request(debug_fd, CMD_ENABLE_DISABLE, &record, sizeof record);
}

int send_browser_select(const tool_options& options) {
    if (options.opt_x == 0) {
        if (path_was_refused(options, CMD_PATH_NAME)) {
            return 0;
        }
        path_name_record record{};
        // A longer -f is refused, so path_text always ends within its 100 bytes.
        memcpy(record.text, options.path_text, strlen(options.path_text) + 1);
        return send_request(debug_fd, CMD_PATH_NAME, &record, sizeof record);
    }
    if (options.opt_x == 1) {
        path_id_record record{options.opt_y, {}};
        return send_request(debug_fd, CMD_PATH_ID, &record, sizeof record);
    }
    log_error("%s:  invalid parameter x:%d \n", tool_name,
              static_cast<std::int32_t>(options.opt_x));
    return 0;
}

int send_direct_connect(const tool_options& options) {
    log_error("%s:  direct connect called: %s", tool_name, strerror(errno));
    direct_connect_record record{options.opt_z, options.opt_S, options.opt_s, options.source};
    return send_request(debug_fd, CMD_DIRECT_CONNECT, &record, sizeof record);
}

int send_source_request(const tool_options& options) {
    if (options.source > 3) {
        printf("%s:  Incorrect source parameter! \n", tool_name);
        return 0;
    }
    if (options.source <= 1) {
        connect_and_fade_record record{options.opt_z, options.source, options.opt_S, options.opt_s};
        return send_request(debug_fd, CMD_CONNECT_AND_FADE, &record, sizeof record);
    }
    if (a2i_path == nullptr) {
        // Without -p, a2i_fd's 0 is standard input, not the second service.
        // With standard input closed a -p device may itself be descriptor 0.
        log_error("%s:  no -p device given for source %u \n", tool_name,
                  static_cast<unsigned>(options.source));
        return 0;
    }
    pause_resume_record record{options.source == 3 ? 1u : 0u};
    return send_request(a2i_fd, CMD_PAUSE_RESUME, &record, sizeof record);
}
} // namespace

// Reads the options, then sends the one request they choose: -a first, then
// -x, then -g, then the source value. 0, or the nonzero devctl result.
int handle_options(int argc, char* argv[]) {
    tool_options options{};
    int letter;
    while ((letter = getopt(argc, argv, OPTION_STRING)) != -1) {
        apply_option(options, letter, optarg);
    }
    if (options.a_given) {
        return send_enable_disable(options);
    }
    if (options.x_given) {
        return send_browser_select(options);
    }
    if (options.g_given) {
        return send_direct_connect(options);
    }
    return send_source_request(options);
}

// Debug device first. A descriptor 0 is taken for "never opened" and left to
// the process exit.
void close_devices() {
    if (debug_fd != 0) {
        close(debug_fd);
    }
    if (a2i_fd != 0) {
        close(a2i_fd);
    }
}
