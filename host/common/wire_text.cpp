#include "wire_text.h"

namespace wire {

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

void append_byte_hex(std::string& out, unsigned char c) {
    out += HEX_DIGITS[c >> 4];
    out += HEX_DIGITS[c & 15];
}

// Length of the valid UTF-8 sequence at bytes[0] of a multi-byte character,
// or 0. The second byte's bounds rule out overlong forms, surrogates and
// anything above U+10FFFF.
std::size_t utf8_sequence(const unsigned char* bytes, std::size_t size) {
    const unsigned char lead = bytes[0];
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (length == 0 || size < length || bytes[1] < low || bytes[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// The escapes with a name: newline, tab and backslash in both dialects, the
// quote inside quotes, and the carriage return in JSON; null for other bytes.
const char* named_escape(unsigned char c, bool json, bool quoted) {
    return c == '\n'            ? "\\n"
           : c == '\t'          ? "\\t"
           : c == '\\'          ? "\\\\"
           : c == '"' && quoted ? "\\\""
           : c == '\r' && json  ? "\\r"
                                : nullptr;
}

// C escapes keep every byte printable ASCII; JSON keeps valid UTF-8 as it is.
void append_escaped(std::string& out, const unsigned char* bytes, std::size_t size, bool json,
                    bool quoted) {
    out += quoted ? "\"" : "";
    std::size_t length = 0;
    for (std::size_t i = 0; i < size; i += length) {
        const unsigned char c = bytes[i];
        length = json && c >= 0x80 ? utf8_sequence(bytes + i, size - i) : 0;
        if (length != 0) {
            out.append(reinterpret_cast<const char*>(bytes + i), length);
            continue;
        }
        length = 1;
        if (const char* named = named_escape(c, json, quoted); named != nullptr) {
            out += named;
        } else if (c < 0x20 || c >= 0x7f) {
            out += json ? "\\u00" : "\\x";
            append_byte_hex(out, c);
        } else {
            out += static_cast<char>(c);
        }
    }
    out += quoted ? "\"" : "";
}

} // namespace

void append_c_escaped(std::string& out, const unsigned char* bytes, std::size_t size, bool quoted) {
    append_escaped(out, bytes, size, false, quoted);
}

void append_json_string(std::string& out, const unsigned char* bytes, std::size_t size) {
    append_escaped(out, bytes, size, true, true);
}

void append_hex(std::string& out, const unsigned char* bytes, std::size_t size, char separator) {
    for (std::size_t i = 0; i < size; ++i) {
        if (i != 0 && separator != 0) {
            out += separator;
        }
        append_byte_hex(out, bytes[i]);
    }
}

} // namespace wire
