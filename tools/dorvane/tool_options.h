// The command line of dorvane and the option set it fills.
#pragma once

#include "dorvane_records.h"

#include <cstdint>

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

// A numeric argument as the target's 32-bit strtoul(text, nullptr, 0) gives it,
// on every host: out of range saturates to 0xFFFFFFFF, a negated value wraps.
std::uint32_t to_u32_like_target(const char* text);

// Scans the options into a fresh option set; opens each -p device as it is read.
void read_options(int argc, char* argv[], tool_options& options);
// Calls the one request operation the options choose; returns its result.
int send_chosen_request(const tool_options& options);
// Both of the above: 0, or the nonzero devctl result of the request.
int handle_options(int argc, char* argv[]);
