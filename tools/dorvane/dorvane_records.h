// The six device-control requests of the audio-manager debug interface: their
// codes and names, and the records sent with them. Shared with the host-side
// frame decoder, so the layouts have one source of truth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

enum dorvane_command {
    CMD_CONNECT_AND_FADE,
    CMD_ENABLE_DISABLE,
    CMD_DIRECT_CONNECT,
    CMD_PAUSE_RESUME,
    CMD_PATH_NAME,
    CMD_PATH_ID,
    CMD_COUNT
};

inline constexpr std::size_t PATH_TEXT_SIZE = 100; // -f text with its zero

// A record's field as the decoder shows it, under the member's name: 32-bit
// words, or a text up to its zero. Taken from the struct; an offset other than
// the documented one becomes SIZE_MAX, which the check below refuses. A null
// name ends a shorter list.
inline constexpr std::size_t RECORD_FIELDS_MAX = 6;
struct record_field {
    const char* name;
    std::size_t offset;
    std::size_t size;
    bool text;
};
// clang-format off
#define RECORD_FIELD(record, member, wire_offset)                                                  \
    record_field{#member, offsetof(record, member) == (wire_offset) ? (wire_offset) : SIZE_MAX,    \
                 sizeof(record::member),                                                           \
                 std::is_same_v<std::remove_all_extents_t<decltype(record::member)>, char>}
// clang-format on

struct connect_and_fade_record {
    std::uint32_t z;
    std::uint32_t source; // 0 or 1
    std::uint32_t S;
    std::uint32_t s;
};
inline constexpr record_field CONNECT_AND_FADE_FIELDS[RECORD_FIELDS_MAX] = {
    RECORD_FIELD(connect_and_fade_record, z, 0),
    RECORD_FIELD(connect_and_fade_record, source, 4),
    RECORD_FIELD(connect_and_fade_record, S, 8),
    RECORD_FIELD(connect_and_fade_record, s, 12),
};

struct enable_disable_record {
    std::uint32_t a;
    std::uint32_t b;
    std::uint32_t c;
    std::uint32_t d;
    std::uint32_t reserved[2]; // zero
    char text[256];            // path_text's 100 bytes, then zero
};
static_assert(sizeof(enable_disable_record::text) >= PATH_TEXT_SIZE);
inline constexpr record_field ENABLE_DISABLE_FIELDS[RECORD_FIELDS_MAX] = {
    RECORD_FIELD(enable_disable_record, a, 0),
    RECORD_FIELD(enable_disable_record, b, 4),
    RECORD_FIELD(enable_disable_record, c, 8),
    RECORD_FIELD(enable_disable_record, d, 12),
    RECORD_FIELD(enable_disable_record, reserved, 16),
    RECORD_FIELD(enable_disable_record, text, 24),
};

struct direct_connect_record {
    std::uint32_t z;
    std::uint32_t S;
    std::uint32_t s;
    std::uint32_t source; // any value
};
inline constexpr record_field DIRECT_CONNECT_FIELDS[RECORD_FIELDS_MAX] = {
    RECORD_FIELD(direct_connect_record, z, 0),
    RECORD_FIELD(direct_connect_record, S, 4),
    RECORD_FIELD(direct_connect_record, s, 8),
    RECORD_FIELD(direct_connect_record, source, 12),
};

struct pause_resume_record {
    std::uint32_t resume; // 0 pause (source 2), 1 resume (source 3)
};
inline constexpr record_field PAUSE_RESUME_FIELDS[RECORD_FIELDS_MAX] = {
    RECORD_FIELD(pause_resume_record, resume, 0),
};

struct path_name_record {
    char text[264]; // path_text up to its zero, then zero
};
static_assert(sizeof(path_name_record::text) >= PATH_TEXT_SIZE);
inline constexpr record_field PATH_NAME_FIELDS[RECORD_FIELDS_MAX] = {
    RECORD_FIELD(path_name_record, text, 0),
};

struct path_id_record {
    std::uint32_t y;
    std::uint32_t reserved[2]; // zero
};
inline constexpr record_field PATH_ID_FIELDS[RECORD_FIELDS_MAX] = {
    RECORD_FIELD(path_id_record, y, 0),
    RECORD_FIELD(path_id_record, reserved, 4),
};
#undef RECORD_FIELD

struct devctl_command {
    std::uint32_t code;
    const char* name; // as it appears in the failure line
    std::uint32_t record_size;
    const record_field* fields; // RECORD_FIELDS_MAX of them
};

// Indexed by dorvane_command. The codes all carry direction "to device", size
// field 4 and class 0x11; the size field is not the record length.
inline constexpr devctl_command DEVCTL_COMMANDS[CMD_COUNT] = {
    {0x80041101u, "DCMD_DEBUG_AC_CONNECT_AND_FADE", 16, CONNECT_AND_FADE_FIELDS},
    {0x80041102u, "DCMD_DEBUG_NEW_ENABLE_DISABLE", 280, ENABLE_DISABLE_FIELDS},
    {0x80041103u, "DCMD_DIRECT_CONNECT", 16, DIRECT_CONNECT_FIELDS},
    {0x80041122u, "DCMD_A2I_SERV_PAUSE_RESUME", 4, PAUSE_RESUME_FIELDS},
    {0x80041132u, "DCMD_BROWSER_SELECT_PATH_NAME", 264, PATH_NAME_FIELDS},
    {0x80041133u, "DCMD_BROWSER_SELECT_PATH_ID", 12, PATH_ID_FIELDS},
};

static_assert(DEVCTL_COMMANDS[CMD_CONNECT_AND_FADE].record_size == sizeof(connect_and_fade_record));
static_assert(DEVCTL_COMMANDS[CMD_ENABLE_DISABLE].record_size == sizeof(enable_disable_record));
static_assert(DEVCTL_COMMANDS[CMD_DIRECT_CONNECT].record_size == sizeof(direct_connect_record));
static_assert(DEVCTL_COMMANDS[CMD_PAUSE_RESUME].record_size == sizeof(pause_resume_record));
static_assert(DEVCTL_COMMANDS[CMD_PATH_NAME].record_size == sizeof(path_name_record));
static_assert(DEVCTL_COMMANDS[CMD_PATH_ID].record_size == sizeof(path_id_record));

// Each record is its fields and nothing else: every field at its documented
// offset, right behind the one before, words whole, the last ending the record.
// A field added or moved fails here until its table says so; the decoder follows.
constexpr bool fields_cover_records() {
    for (const devctl_command& command : DEVCTL_COMMANDS) {
        std::size_t end = 0;
        for (std::size_t i = 0; i < RECORD_FIELDS_MAX && command.fields[i].name != nullptr; ++i) {
            const record_field& field = command.fields[i];
            const bool whole = field.text || field.size % 4 == 0;
            end = field.offset == end && whole ? end + field.size : SIZE_MAX;
        }
        if (end != command.record_size) {
            return false;
        }
    }
    return true;
}
static_assert(fields_cover_records());
