// The six device-control requests of the audio-manager debug interface: their
// codes and names, and the records sent with them. Shared with the host-side
// frame decoder, so the layouts have one source of truth.
#pragma once

#include <cstddef>
#include <cstdint>

enum dorvane_command {
    CMD_CONNECT_AND_FADE,
    CMD_ENABLE_DISABLE,
    CMD_DIRECT_CONNECT,
    CMD_PAUSE_RESUME,
    CMD_PATH_NAME,
    CMD_PATH_ID,
    CMD_COUNT
};

struct devctl_command {
    std::uint32_t code;
    const char* name; // as it appears in the failure line
    std::uint32_t record_size;
};

// Indexed by dorvane_command. The codes all carry direction "to device", size
// field 4 and class 0x11; the size field is not the record length.
inline constexpr devctl_command DEVCTL_COMMANDS[CMD_COUNT] = {
    {0x80041101u, "DCMD_DEBUG_AC_CONNECT_AND_FADE", 16},
    {0x80041102u, "DCMD_DEBUG_NEW_ENABLE_DISABLE", 280},
    {0x80041103u, "DCMD_DIRECT_CONNECT", 16},
    {0x80041122u, "DCMD_A2I_SERV_PAUSE_RESUME", 4},
    {0x80041132u, "DCMD_BROWSER_SELECT_PATH_NAME", 264},
    {0x80041133u, "DCMD_BROWSER_SELECT_PATH_ID", 12},
};

inline constexpr std::size_t PATH_TEXT_SIZE = 100; // -f text with its zero

struct connect_and_fade_record {
    std::uint32_t opt_z;
    std::uint32_t source; // 0 or 1
    std::uint32_t opt_S;
    std::uint32_t opt_s;
};
static_assert(sizeof(connect_and_fade_record) == 16);
static_assert(offsetof(connect_and_fade_record, opt_z) == 0);
static_assert(offsetof(connect_and_fade_record, source) == 4);
static_assert(offsetof(connect_and_fade_record, opt_S) == 8);
static_assert(offsetof(connect_and_fade_record, opt_s) == 12);

struct enable_disable_record {
    std::uint32_t opt_a;
    std::uint32_t opt_b;
    std::uint32_t opt_c;
    std::uint32_t opt_d;
    std::uint32_t reserved[2]; // zero
    char text[256];            // path_text's 100 bytes, then zero
};
static_assert(sizeof(enable_disable_record) == 280);
static_assert(offsetof(enable_disable_record, opt_a) == 0);
static_assert(offsetof(enable_disable_record, opt_b) == 4);
static_assert(offsetof(enable_disable_record, opt_c) == 8);
static_assert(offsetof(enable_disable_record, opt_d) == 12);
static_assert(offsetof(enable_disable_record, reserved) == 16);
static_assert(offsetof(enable_disable_record, text) == 24);
static_assert(sizeof(enable_disable_record::text) >= PATH_TEXT_SIZE);

struct direct_connect_record {
    std::uint32_t opt_z;
    std::uint32_t opt_S;
    std::uint32_t opt_s;
    std::uint32_t source; // any value
};
static_assert(sizeof(direct_connect_record) == 16);
static_assert(offsetof(direct_connect_record, opt_z) == 0);
static_assert(offsetof(direct_connect_record, opt_S) == 4);
static_assert(offsetof(direct_connect_record, opt_s) == 8);
static_assert(offsetof(direct_connect_record, source) == 12);

struct pause_resume_record {
    std::uint32_t resume; // 0 pause (source 2), 1 resume (source 3)
};
static_assert(sizeof(pause_resume_record) == 4);
static_assert(offsetof(pause_resume_record, resume) == 0);

struct path_name_record {
    char text[264]; // path_text up to its zero, then zero
};
static_assert(sizeof(path_name_record) == 264);
static_assert(offsetof(path_name_record, text) == 0);
static_assert(sizeof(path_name_record::text) >= PATH_TEXT_SIZE);

struct path_id_record {
    std::uint32_t opt_y;
    std::uint32_t reserved[2]; // zero
};
static_assert(sizeof(path_id_record) == 12);
static_assert(offsetof(path_id_record, opt_y) == 0);
static_assert(offsetof(path_id_record, reserved) == 4);

static_assert(DEVCTL_COMMANDS[CMD_CONNECT_AND_FADE].record_size == sizeof(connect_and_fade_record));
static_assert(DEVCTL_COMMANDS[CMD_ENABLE_DISABLE].record_size == sizeof(enable_disable_record));
static_assert(DEVCTL_COMMANDS[CMD_DIRECT_CONNECT].record_size == sizeof(direct_connect_record));
static_assert(DEVCTL_COMMANDS[CMD_PAUSE_RESUME].record_size == sizeof(pause_resume_record));
static_assert(DEVCTL_COMMANDS[CMD_PATH_NAME].record_size == sizeof(path_name_record));
static_assert(DEVCTL_COMMANDS[CMD_PATH_ID].record_size == sizeof(path_id_record));
