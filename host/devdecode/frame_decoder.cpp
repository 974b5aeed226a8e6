#include "frame_decoder.h"

#include "dorvane_records.h"

#include <cstddef>
#include <cstdint>

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

std::uint32_t le32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

const devctl_command* find_command(std::uint32_t code, dorvane_command& index) {
    for (int i = 0; i < CMD_COUNT; ++i) {
        if (DEVCTL_COMMANDS[i].code == code) {
            index = static_cast<dorvane_command>(i);
            return &DEVCTL_COMMANDS[i];
        }
    }
    return nullptr;
}

void put_escaped(std::FILE* out, const unsigned char* bytes, std::size_t count) {
    std::fputc('"', out);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            std::fprintf(out, "\\%c", c);
        } else if (c == '\n') {
            std::fputs("\\n", out);
        } else if (c == '\t') {
            std::fputs("\\t", out);
        } else if (c >= 0x20 && c < 0x7F) {
            std::fputc(c, out);
        } else {
            std::fprintf(out, "\\x%02X", c);
        }
    }
    std::fputc('"', out);
}

void put_text_field(std::FILE* out, std::size_t offset, const unsigned char* bytes,
                    std::size_t width) {
    std::size_t length = 0;
    while (length < width && bytes[length] != 0) {
        ++length;
    }
    std::fprintf(out, "    %4zu  %-8s  ", offset, "text");
    put_escaped(out, bytes, length);
    std::fprintf(out, "  (%zu characters)\n", length);
    // Bytes left behind the zero by an earlier, longer text.
    std::size_t last = width;
    while (last > length + 1 && bytes[last - 1] == 0) {
        --last;
    }
    if (last > length + 1) {
        std::fprintf(out, "          after the zero: ");
        put_escaped(out, bytes + length + 1, last - length - 1);
        std::fputc('\n', out);
    }
}

void put_fields(std::FILE* out, const record_layout& layout, const unsigned char* payload,
                std::size_t size) {
    std::size_t offset = 0;
    for (const char* name : layout.words) {
        // A layout that outgrew its record must not read past the payload.
        if (name == nullptr || offset + 4 > size) {
            break;
        }
        const std::uint32_t value = le32(payload + offset);
        std::fprintf(out, "    %4zu  %-8s  %u  0x%08X\n", offset, name, value, value);
        offset += 4;
    }
    if (layout.text_follows) {
        put_text_field(out, offset, payload + offset, size - offset);
    }
}

void put_dump(std::FILE* out, const unsigned char* payload, std::size_t kept, std::uint64_t total) {
    const std::size_t shown = kept < DUMP_LIMIT ? kept : DUMP_LIMIT;
    for (std::size_t row = 0; row < shown; row += 16) {
        std::fprintf(out, "    %4zu ", row);
        for (std::size_t i = row; i < row + 16 && i < shown; ++i) {
            std::fprintf(out, " %02X", payload[i]);
        }
        std::fputc('\n', out);
    }
    if (total > shown) {
        std::fprintf(out, "          ... %llu more bytes\n",
                     static_cast<unsigned long long>(total - shown));
    }
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

decode_summary decode_frames(std::FILE* in, std::FILE* out) {
    decode_summary summary{0, 0};
    std::uint64_t offset = 0;
    unsigned char payload[KEPT_PAYLOAD];
    for (;;) {
        unsigned char header[HEADER_SIZE];
        const std::size_t header_got = std::fread(header, 1, sizeof header, in);
        if (header_got == 0) {
            break;
        }
        ++summary.frames;
        if (header_got < sizeof header) {
            ++summary.flagged;
            std::fprintf(out, "#%u @%llu  !! truncated frame header: %zu of 8 bytes\n",
                         summary.frames, static_cast<unsigned long long>(offset), header_got);
            break;
        }
        const std::uint32_t code = le32(header);
        const std::uint32_t count = le32(header + 4);
        const std::uint64_t got = read_payload(in, payload, sizeof payload, count);
        const std::size_t kept =
            got < sizeof payload ? static_cast<std::size_t>(got) : sizeof payload;

        dorvane_command index = CMD_COUNT;
        const devctl_command* command = find_command(code, index);
        std::fprintf(out, "#%u @%llu  %s  0x%08X  %u bytes\n", summary.frames,
                     static_cast<unsigned long long>(offset),
                     command != nullptr ? command->name : "unknown command", code, count);
        bool decoded = false;
        if (got < count) {
            ++summary.flagged;
            std::fprintf(out, "    !! truncated frame: %llu of %u bytes\n",
                         static_cast<unsigned long long>(got), count);
        } else if (command == nullptr) {
            ++summary.flagged;
            std::fprintf(out, "    !! unknown command code\n");
        } else if (count != command->record_size) {
            ++summary.flagged;
            std::fprintf(out, "    !! size mismatch: %s takes %u bytes\n", command->name,
                         command->record_size);
        } else {
            put_fields(out, RECORD_LAYOUTS[index], payload, count);
            decoded = true;
        }
        if (!decoded) {
            put_dump(out, payload, kept, got);
        }
        std::fflush(out);
        offset += sizeof header + got;
        if (got < count) {
            break;
        }
    }
    std::fflush(out);
    return summary;
}
