#include "frame_decoder.h"

#include "dorvane_records.h"
#include "wire_text.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// Every record is a run of 32-bit words, then possibly a text field up to the
// end of the record; the asserts tie that to the layouts the tool sends.
struct record_layout {
    const char* words[6]; // names, in order; null after the last
    bool text_follows;
};

// Indexed by dorvane_command.
constexpr record_layout RECORD_LAYOUTS[CMD_COUNT] = {
    {{"z", "source", "S", "s"}, false},
    {{"a", "b", "c", "d", "reserved", "reserved"}, true},
    {{"z", "S", "s", "source"}, false},
    {{"resume"}, false},
    {{}, true},
    {{"y", "reserved", "reserved"}, false},
};
static_assert(offsetof(enable_disable_record, text) == 6 * 4);
static_assert(offsetof(path_name_record, text) == 0);
static_assert(offsetof(direct_connect_record, source) == 3 * 4);
static_assert(offsetof(path_id_record, reserved) == 1 * 4);

constexpr std::size_t HEADER_SIZE = 8;
// Payload kept for decoding; the largest record is 280 bytes. Bytes beyond
// this are counted and dropped, so a hostile byte count costs no memory.
constexpr std::size_t KEPT_PAYLOAD = 4096;
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
    dorvane_command index;
    frame_flag flag;
};

const devctl_command* find_command(std::uint32_t code, dorvane_command& index) {
    for (int i = 0; i < CMD_COUNT; ++i) {
        if (DEVCTL_COMMANDS[i].code == code) {
            index = static_cast<dorvane_command>(i);
            return &DEVCTL_COMMANDS[i];
        }
    }
    return nullptr;
}

frame_flag flag_of(const frame& f) {
    if (f.header_got < HEADER_SIZE) {
        return FLAG_TRUNCATED_HEADER;
    }
    if (f.got < f.count) {
        return FLAG_TRUNCATED;
    }
    if (f.command == nullptr) {
        return FLAG_UNKNOWN;
    }
    return f.count == f.command->record_size ? FLAG_NONE : FLAG_SIZE;
}

std::string format(const char* pattern, unsigned long long a, unsigned long long b = 0) {
    char text[96];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// A field's words are visited in order, then the text field if the layout
// has one: `word` for each word, `text` for the text with what follows its zero.
template <typename Word, typename Text> void visit_fields(const frame& f, Word word, Text text) {
    const record_layout& layout = RECORD_LAYOUTS[f.index];
    std::size_t offset = 0;
    for (const char* name : layout.words) {
        // A layout that outgrew its record must not read past the payload.
        if (name == nullptr || offset + 4 > f.kept) {
            break;
        }
        word(offset, name, wire::le32(f.payload + offset));
        offset += 4;
    }
    if (!layout.text_follows) {
        return;
    }
    const unsigned char* bytes = f.payload + offset;
    const std::size_t width = f.kept - offset;
    std::size_t length = 0;
    while (length < width && bytes[length] != 0) {
        ++length;
    }
    // Bytes left behind the zero by an earlier, longer text.
    std::size_t last = width;
    while (last > length + 1 && bytes[last - 1] == 0) {
        --last;
    }
    const std::size_t tail = last > length + 1 ? last - length - 1 : 0;
    text(offset, bytes, length, bytes + length + 1, tail);
}

// Hex offsets, sixteen bytes a row, and the printable ones beside them.
void append_dump(std::string& out, const frame& f) {
    const std::size_t shown = f.kept < DUMP_LIMIT ? f.kept : DUMP_LIMIT;
    for (std::size_t row = 0; row < shown; row += DUMP_ROW) {
        out += format("    %04llx ", row);
        std::string ascii;
        for (std::size_t i = row; i < row + DUMP_ROW; ++i) {
            if (i < shown) {
                const unsigned char c = f.payload[i];
                out += format(" %02X", c);
                ascii += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
            } else {
                out += "   ";
            }
        }
        out += "  |" + ascii + "|\n";
    }
    if (f.got > shown) {
        out += format("          ... %llu more bytes\n", f.got - shown);
    }
}

std::string text_frame(const frame& f) {
    std::string out = format("#%llu @%llu  ", f.number, f.offset);
    if (f.flag == FLAG_TRUNCATED_HEADER) {
        return out + format("!! truncated frame header: %llu of 8 bytes\n", f.header_got);
    }
    out += f.command != nullptr ? f.command->name : "unknown command";
    out += format("  0x%08llX  %llu bytes\n", f.code, f.count);
    switch (f.flag) {
    case FLAG_TRUNCATED:
        out += format("    !! truncated frame: %llu of %llu bytes\n", f.got, f.count);
        break;
    case FLAG_UNKNOWN:
        out += "    !! unknown command code\n";
        break;
    case FLAG_SIZE:
        out += std::string("    !! size mismatch: ") + f.command->name +
               format(" takes %llu bytes\n", f.command->record_size);
        break;
    default:
        visit_fields(
            f,
            [&](std::size_t offset, const char* name, std::uint32_t value) {
                out += format("    %4llu  ", offset);
                out += name + std::string(8 - std::string(name).size(), ' ');
                out += format("  %llu  0x%08llX\n", value, value);
            },
            [&](std::size_t offset, const unsigned char* text, std::size_t length,
                const unsigned char* tail, std::size_t tail_size) {
                out += format("    %4llu  text      ", offset);
                wire::append_c_escaped(out, text, length, true);
                out += format("  (%llu characters)\n", length);
                if (tail_size != 0) {
                    out += "          after the zero: ";
                    wire::append_c_escaped(out, tail, tail_size, true);
                    out += '\n';
                }
            });
        return out;
    }
    append_dump(out, f);
    return out;
}

std::string json_frame(const frame& f) {
    std::string out = format("{\"offset\":%llu", f.offset);
    if (f.flag == FLAG_TRUNCATED_HEADER) {
        out += ",\"code\":null,\"name\":null,\"size\":null,\"fields\":[]";
    } else {
        out += format(",\"code\":%llu,\"name\":", f.code);
        out += f.command != nullptr ? '"' + std::string(f.command->name) + '"' : "null";
        out += format(",\"size\":%llu,\"fields\":[", f.count);
        if (f.flag == FLAG_NONE) {
            const char* separator = "";
            visit_fields(
                f,
                [&](std::size_t offset, const char* name, std::uint32_t value) {
                    out += separator + format("{\"offset\":%llu,\"name\":\"", offset);
                    out += name + format("\",\"value\":%llu}", value);
                    separator = ",";
                },
                [&](std::size_t offset, const unsigned char* text, std::size_t length,
                    const unsigned char* tail, std::size_t tail_size) {
                    out +=
                        separator + format("{\"offset\":%llu,\"name\":\"text\",\"value\":", offset);
                    wire::append_json_string(out, text, length);
                    if (tail_size != 0) {
                        out += ",\"after_zero\":";
                        wire::append_json_string(out, tail, tail_size);
                    }
                    out += '}';
                });
        }
        out += ']';
    }
    out += ",\"flags\":[";
    if (f.flag != FLAG_NONE) {
        out += std::string("\"") + FLAG_NAMES[f.flag] + '"';
    }
    return out + "]}\n";
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

decode_summary decode_frames(std::FILE* in, std::FILE* out, frame_format output_format) {
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
        f.index = CMD_COUNT;
        if (f.header_got == sizeof header) {
            f.code = wire::le32(header);
            f.count = wire::le32(header + 4);
            f.got = read_payload(in, payload, sizeof payload, f.count);
            f.kept = f.got < sizeof payload ? static_cast<std::size_t>(f.got) : sizeof payload;
            f.command = find_command(f.code, f.index);
        }
        f.flag = flag_of(f);
        summary.flagged += f.flag != FLAG_NONE ? 1 : 0;
        const std::string shown =
            output_format == frame_format::json ? json_frame(f) : text_frame(f);
        std::fputs(shown.c_str(), out);
        std::fflush(out);
        offset += f.header_got + f.got;
        if (f.flag == FLAG_TRUNCATED_HEADER || f.flag == FLAG_TRUNCATED) {
            break;
        }
    }
    if (std::ferror(in)) {
        summary.read_error = errno != 0 ? errno : EIO;
    }
    std::fflush(out);
    return summary;
}
