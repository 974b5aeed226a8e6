#include "frame_decoder.h"

#include "dorvane_records.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

enum field_kind { WORD, TEXT };

struct field {
    const char* name;
    std::size_t offset;
    std::size_t width;
    field_kind kind;
};

constexpr field CONNECT_AND_FADE_FIELDS[] = {
    {"z", offsetof(connect_and_fade_record, opt_z), 4, WORD},
    {"source", offsetof(connect_and_fade_record, source), 4, WORD},
    {"S", offsetof(connect_and_fade_record, opt_S), 4, WORD},
    {"s", offsetof(connect_and_fade_record, opt_s), 4, WORD},
};
constexpr field ENABLE_DISABLE_FIELDS[] = {
    {"a", offsetof(enable_disable_record, opt_a), 4, WORD},
    {"b", offsetof(enable_disable_record, opt_b), 4, WORD},
    {"c", offsetof(enable_disable_record, opt_c), 4, WORD},
    {"d", offsetof(enable_disable_record, opt_d), 4, WORD},
    {"reserved", offsetof(enable_disable_record, reserved), 4, WORD},
    {"reserved", offsetof(enable_disable_record, reserved) + 4, 4, WORD},
    {"text", offsetof(enable_disable_record, text), sizeof(enable_disable_record::text), TEXT},
};
constexpr field DIRECT_CONNECT_FIELDS[] = {
    {"z", offsetof(direct_connect_record, opt_z), 4, WORD},
    {"S", offsetof(direct_connect_record, opt_S), 4, WORD},
    {"s", offsetof(direct_connect_record, opt_s), 4, WORD},
    {"source", offsetof(direct_connect_record, source), 4, WORD},
};
constexpr field PAUSE_RESUME_FIELDS[] = {
    {"resume", offsetof(pause_resume_record, resume), 4, WORD},
};
constexpr field PATH_NAME_FIELDS[] = {
    {"text", offsetof(path_name_record, text), sizeof(path_name_record::text), TEXT},
};
constexpr field PATH_ID_FIELDS[] = {
    {"y", offsetof(path_id_record, opt_y), 4, WORD},
    {"reserved", offsetof(path_id_record, reserved), 4, WORD},
    {"reserved", offsetof(path_id_record, reserved) + 4, 4, WORD},
};

// Indexed by dorvane_command.
constexpr std::span<const field> RECORD_FIELDS[CMD_COUNT] = {
    CONNECT_AND_FADE_FIELDS, ENABLE_DISABLE_FIELDS, DIRECT_CONNECT_FIELDS,
    PAUSE_RESUME_FIELDS,     PATH_NAME_FIELDS,      PATH_ID_FIELDS,
};

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

void put_text_field(std::FILE* out, const field& f, const unsigned char* bytes) {
    std::size_t length = 0;
    while (length < f.width && bytes[length] != 0) {
        ++length;
    }
    std::fprintf(out, "    %4zu  %-8s  ", f.offset, f.name);
    put_escaped(out, bytes, length);
    std::fprintf(out, "  (%zu characters)\n", length);
    // Bytes left behind the zero by an earlier, longer text.
    std::size_t last = f.width;
    while (last > length + 1 && bytes[last - 1] == 0) {
        --last;
    }
    if (last > length + 1) {
        std::fprintf(out, "          after the zero: ");
        put_escaped(out, bytes + length + 1, last - length - 1);
        std::fputc('\n', out);
    }
}

void put_fields(std::FILE* out, std::span<const field> fields, const unsigned char* payload) {
    for (const field& f : fields) {
        if (f.kind == TEXT) {
            put_text_field(out, f, payload + f.offset);
            continue;
        }
        const std::uint32_t value = le32(payload + f.offset);
        std::fprintf(out, "    %4zu  %-8s  %u  0x%08X\n", f.offset, f.name, value, value);
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
            put_fields(out, RECORD_FIELDS[index], payload);
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
