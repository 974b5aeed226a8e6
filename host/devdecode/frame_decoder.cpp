#include "frame_decoder.h"

#include "dorvane_records.h"
#include "wire_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

namespace {

constexpr std::size_t HEADER_SIZE = 8;
// Payload kept for decoding, the largest record and more. Bytes beyond this
// are counted and dropped, so a hostile byte count costs no memory.
constexpr std::size_t KEPT_PAYLOAD = 4096;
static_assert(KEPT_PAYLOAD >= sizeof(enable_disable_record));
constexpr std::size_t DUMP_LIMIT = 64;
constexpr std::size_t DUMP_ROW = 16;

// What is wrong with a frame; the text and the JSON name of each.
enum frame_flag { FLAG_NONE, FLAG_TRUNCATED_HEADER, FLAG_TRUNCATED, FLAG_UNKNOWN, FLAG_SIZE };
constexpr const char* FLAG_NAMES[] = {"", "truncated_header", "truncated", "unknown_command",
                                      "size_mismatch"};

// One frame as read: the header's words, what arrived of its payload.
struct frame {
    unsigned number;
    std::uint64_t offset;
    std::size_t header_got;
    std::uint32_t code;
    std::uint32_t count;
    const unsigned char* payload;
    std::size_t kept;  // bytes of payload at hand
    std::uint64_t got; // bytes of payload read, kept or not
    const devctl_command* command;
    frame_flag flag;
};

const devctl_command* find_command(std::uint32_t code) {
    const auto* end = std::end(DEVCTL_COMMANDS);
    const auto* found =
        std::find_if(std::begin(DEVCTL_COMMANDS), end,
                     [code](const devctl_command& each) { return each.code == code; });
    return found != end ? found : nullptr;
}

frame_flag flag_of(const frame& f) {
    return f.header_got < HEADER_SIZE          ? FLAG_TRUNCATED_HEADER
           : f.got < f.count                   ? FLAG_TRUNCATED
           : f.command == nullptr              ? FLAG_UNKNOWN
           : f.count == f.command->record_size ? FLAG_NONE
                                               : FLAG_SIZE;
}

__attribute__((format(printf, 1, 2))) std::string printed(const char* pattern, ...) {
    char text[96];
    std::va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// A text field up to its zero, and what an earlier, longer text left behind
// the zero, up to its last nonzero byte.
struct text_field {
    const unsigned char* text;
    std::size_t length;
    const unsigned char* tail;
    std::size_t tail_length;
};

text_field split_text(const unsigned char* field, std::size_t width) {
    text_field t{field, 0, nullptr, 0};
    while (t.length < width && field[t.length] != 0) {
        ++t.length;
    }
    std::size_t last = width;
    while (last > t.length + 1 && field[last - 1] == 0) {
        --last;
    }
    t.tail = field + t.length + 1;
    t.tail_length = last > t.length + 1 ? last - t.length - 1 : 0;
    return t;
}

// Walks a sound frame's record by its command's fields: word(offset, name,
// value) for each 32-bit word, text(offset, name, text_field) for a text.
template <typename Word, typename Text> void for_each_field(const frame& f, Word word, Text text) {
    for (std::size_t i = 0; i < RECORD_FIELDS_MAX && f.command->fields[i].name != nullptr; ++i) {
        const record_field& field = f.command->fields[i];
        if (field.text) {
            text(field.offset, field.name, split_text(f.payload + field.offset, field.size));
            continue;
        }
        for (std::size_t offset = field.offset; offset < field.offset + field.size; offset += 4) {
            word(offset, field.name, wire::le32(f.payload + offset));
        }
    }
}

void append_text_fields(std::string& out, const frame& f) {
    for_each_field(
        f,
        [&out](std::size_t offset, const char* name, std::uint32_t value) {
            out += printed("    %4zu  %-8s  %u  0x%08X\n", offset, name, value, value);
        },
        [&out](std::size_t offset, const char* name, const text_field& t) {
            out += printed("    %4zu  %-8s  ", offset, name);
            wire::append_c_escaped(out, t.text, t.length, true);
            out += printed("  (%zu characters)\n", t.length);
            if (t.tail_length != 0) {
                out += "          after the zero: ";
                wire::append_c_escaped(out, t.tail, t.tail_length, true);
                out += '\n';
            }
        });
}

void append_json_fields(std::string& out, const frame& f) {
    const char* separator = "";
    for_each_field(
        f,
        [&](std::size_t offset, const char* name, std::uint32_t value) {
            out += printed("%s{\"offset\":%zu,\"name\":\"%s\",\"value\":%u}", separator, offset,
                           name, value);
            separator = ",";
        },
        [&](std::size_t offset, const char* name, const text_field& t) {
            out += printed("%s{\"offset\":%zu,\"name\":\"%s\",\"value\":", separator, offset, name);
            wire::append_json_string(out, t.text, t.length);
            if (t.tail_length != 0) {
                out += ",\"after_zero\":";
                wire::append_json_string(out, t.tail, t.tail_length);
            }
            out += '}';
            separator = ",";
        });
}

// Hex offsets, sixteen bytes a row, and the printable ones beside them.
void append_dump(std::string& out, const frame& f) {
    const std::size_t shown = std::min(f.kept, DUMP_LIMIT);
    for (std::size_t row = 0; row < shown; row += DUMP_ROW) {
        out += printed("    %04zx ", row);
        const std::size_t end = std::min(row + DUMP_ROW, shown);
        std::string ascii;
        for (const unsigned char* c = f.payload + row; c < f.payload + end; ++c) {
            out += printed(" %02X", *c);
            ascii += *c >= 0x20 && *c < 0x7F ? static_cast<char>(*c) : '.';
        }
        out += std::string(3 * (row + DUMP_ROW - end), ' ') + "  |" + ascii + "|\n";
    }
    if (f.got > shown) {
        out += printed("          ... %llu more bytes\n",
                       static_cast<unsigned long long>(f.got - shown));
    }
}

std::string text_frame(const frame& f) {
    std::string out = printed("#%u @%llu  ", f.number, static_cast<unsigned long long>(f.offset));
    if (f.flag == FLAG_TRUNCATED_HEADER) {
        return out + printed("!! truncated frame header: %zu of 8 bytes\n", f.header_got);
    }
    out += f.command != nullptr ? f.command->name : "unknown command";
    out += printed("  0x%08X  %u bytes\n", f.code, f.count);
    switch (f.flag) {
    case FLAG_TRUNCATED:
        out += printed("    !! truncated frame: %llu of %u bytes\n",
                       static_cast<unsigned long long>(f.got), f.count);
        break;
    case FLAG_UNKNOWN:
        out += "    !! unknown command code\n";
        break;
    case FLAG_SIZE:
        out += printed("    !! size mismatch: %s takes %u bytes\n", f.command->name,
                       static_cast<unsigned>(f.command->record_size));
        break;
    default:
        append_text_fields(out, f);
        return out;
    }
    append_dump(out, f);
    return out;
}

std::string json_frame(const frame& f) {
    std::string out = printed("{\"offset\":%llu", static_cast<unsigned long long>(f.offset));
    if (f.flag == FLAG_TRUNCATED_HEADER) {
        out += ",\"code\":null,\"name\":null,\"size\":null,\"fields\":[]";
    } else {
        out += printed(",\"code\":%u,\"name\":", f.code);
        out += f.command != nullptr ? '"' + std::string(f.command->name) + '"' : "null";
        out += printed(",\"size\":%u,\"fields\":[", f.count);
        if (f.flag == FLAG_NONE) {
            append_json_fields(out, f);
        }
        out += ']';
    }
    const std::string flag = f.flag != FLAG_NONE ? printed("\"%s\"", FLAG_NAMES[f.flag]) : "";
    return out + ",\"flags\":[" + flag + "]}\n";
}

// Reads up to count bytes, keeping the first `room` of them in buffer.
std::uint64_t read_payload(std::FILE* in, unsigned char* buffer, std::size_t room,
                           std::uint64_t count) {
    std::uint64_t got = 0;
    unsigned char discard[512];
    while (got < count) {
        unsigned char* into = got < room ? buffer + got : discard;
        const std::uint64_t space = got < room ? room - got : sizeof discard;
        const std::uint64_t want = count - got < space ? count - got : space;
        const std::size_t n = std::fread(into, 1, static_cast<std::size_t>(want), in);
        got += n;
        if (n < want) {
            break;
        }
    }
    return got;
}

} // namespace

decode_summary decode_frames(std::FILE* in, std::FILE* out, frame_format format) {
    decode_summary summary{0, 0, 0};
    std::uint64_t offset = 0;
    unsigned char payload[KEPT_PAYLOAD];
    for (;;) {
        unsigned char header[HEADER_SIZE];
        errno = 0;
        frame f{};
        f.header_got = std::fread(header, 1, sizeof header, in);
        if (f.header_got == 0) {
            break;
        }
        f.number = ++summary.frames;
        f.offset = offset;
        f.payload = payload;
        if (f.header_got == sizeof header) {
            f.code = wire::le32(header);
            f.count = wire::le32(header + 4);
            f.got = read_payload(in, payload, sizeof payload, f.count);
            f.kept = f.got < sizeof payload ? static_cast<std::size_t>(f.got) : sizeof payload;
            f.command = find_command(f.code);
        }
        f.flag = flag_of(f);
        summary.flagged += f.flag != FLAG_NONE ? 1 : 0;
        const std::string shown = format == FORMAT_JSON ? json_frame(f) : text_frame(f);
        std::fputs(shown.c_str(), out);
        if (std::fflush(out) != 0) {
            summary.write_error = errno;
            break;
        }
        offset += f.header_got + f.got;
        if (f.flag == FLAG_TRUNCATED_HEADER || f.flag == FLAG_TRUNCATED) {
            break;
        }
    }
    if (std::ferror(in)) {
        summary.read_error = errno != 0 ? errno : EIO;
    }
    return summary;
}
