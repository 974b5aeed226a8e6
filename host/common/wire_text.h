// Reading little-endian words out of captured bytes, and writing bytes as
// text a person or a JSON parser takes: the one copy the host tools share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wire {

inline std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// C escapes, so that any bytes stay one line of printable ASCII: \n, \t, a
// doubled backslash, and \xhh for every other byte below 0x20 or from 0x7f.
// With `quoted` the text is put in double quotes and a quote inside reads \".
void append_c_escaped(std::string& out, const unsigned char* bytes, std::size_t size, bool quoted);

// A JSON string, quotes included. Valid UTF-8 is kept as it stands; a byte
// that is no part of a valid UTF-8 sequence becomes \u00hh, the character of
// the same number (as if the byte were Latin-1). Control characters, quote
// and backslash are escaped as JSON requires, DEL as \u007f.
void append_json_string(std::string& out, const unsigned char* bytes, std::size_t size);

// Two lower-case hex digits a byte, with `separator` between bytes (0: none).
void append_hex(std::string& out, const unsigned char* bytes, std::size_t size, char separator);

} // namespace wire
