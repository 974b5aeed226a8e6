#include "tool_options.h"

namespace {

constexpr std::uint32_t TARGET_ULONG_MAX = 0xFFFFFFFFu;
constexpr unsigned NOT_A_DIGIT = 36;

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

unsigned digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'z') {
        return static_cast<unsigned>(c - 'a') + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return static_cast<unsigned>(c - 'A') + 10;
    }
    return NOT_A_DIGIT;
}

} // namespace

// The host's own strtoul has a 64-bit unsigned long on x86-64; this follows the
// target's 32-bit one so both builds store the same value for every argument.
std::uint32_t to_u32_like_target(const char* text) {
    const char* p = text;
    while (is_c_space(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    std::uint64_t value = 0;
    for (unsigned digit = digit_value(*p); digit < base; digit = digit_value(*++p)) {
        value = value * base + digit;
        if (value > TARGET_ULONG_MAX) {
            return TARGET_ULONG_MAX; // ERANGE, whatever the sign
        }
    }
    const auto magnitude = static_cast<std::uint32_t>(value);
    return negative ? 0u - magnitude : magnitude;
}
