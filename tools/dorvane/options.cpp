#include "tool_options.h"

#include "log.h"
#include "process_state.h"
#include "requests.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// The target's getopt stops at the first operand; glibc's reorders the
// arguments unless the option string starts with '+'.
#if defined(__GLIBC__)
#define DORVANE_SCAN_MODE "+"
#else
#define DORVANE_SCAN_MODE ""
#endif
constexpr char OPTION_STRING[] = DORVANE_SCAN_MODE "a:b:c:d:e:f:gp:S:O:z:s:x:y:";

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

bool apply_numeric_option(tool_options& options, int letter, const char* argument) {
    for (const numeric_option& option : NUMERIC_OPTIONS) {
        if (option.letter == letter) {
            options.*option.field = to_u32_like_target(argument);
            if (option.given != nullptr) {
                options.*option.given = true;
            }
            return true;
        }
    }
    return false;
}

void apply_option(tool_options& options, int letter, const char* argument) {
    if (apply_numeric_option(options, letter, argument)) {
        return;
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

} // namespace

void read_options(int argc, char* argv[], tool_options& options) {
    options = tool_options{};
    int letter;
    while ((letter = getopt(argc, argv, OPTION_STRING)) != -1) {
        apply_option(options, letter, optarg);
    }
}

int send_chosen_request(const tool_options& options) {
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

int handle_options(int argc, char* argv[]) {
    tool_options options{};
    read_options(argc, argv, options);
    return send_chosen_request(options);
}
