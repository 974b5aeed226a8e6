// Fixed names of the media set-up: the paths it tests and creates, and the
// media tree. Nothing here is configurable on the unit.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

inline constexpr char KERNELTRACE_TRIGGER[] = "/mnt/quota/mm/STARTUP_KERNELTRACE";
// The trailing "&" lets the shell return at once; the tracer outlives us.
inline constexpr char TRACER_COMMAND[] = "/boot/bin/tracelogger -M -n0 -w -S120M &";
inline constexpr char MEDIA_ROOT[] = "/mnt/quota/mm";
inline constexpr char BACKUP_MARKER[] = "/mnt/quota/mm/backupWritten";
inline constexpr char MEDIA_FS_PATH[] = "/opt/share/bin/io-fs-media";
inline constexpr char MEDIA_FS_QDB_LINK[] = "/opt/share/bin/io-fs-media-qdb";
inline constexpr char READY_MARKER[] = "/dev/shmem/kestruneFinished";

// Parents come before their children, so one mkdir per entry is enough.
inline constexpr std::array<const char*, 24> MEDIA_DIRS = {
    "/mnt/quota/mm/PVCache",
    "/mnt/quota/mm/PVCache/hu",
    "/mnt/quota/mm/PVCache/rse",
    "/mnt/quota/mm/backup",
    "/mnt/quota/mm/backup2",
    "/mnt/quota/mm/EntServer",
    "/mnt/quota/mm/Voicenotes",
    "/mnt/quota/mm/Voicenotes/tmp",
    "/mnt/quota/mm/A4A",
    "/mnt/quota/mm/ODLCoverart",
    "/mnt/quota/mm/gracenote",
    "/mnt/quota/mm/gracenote/mldb",
    "/mnt/quota/mm/gracenote/mldb_backup",
    "/mnt/quota/mm/gracenote/odlcache",
    "/mnt/quota/mm/gracenote/odlcache_backup",
    "/mnt/quota/mm/sdars",
    "/mnt/quota/mm/sdars/art",
    "/mnt/quota/mm/sdars/art/baseline",
    "/mnt/quota/mm/OnlineEntertainment",
    "/mnt/quota/mm/OnlineEntertainment/Content",
    "/mnt/quota/mm/OnlineEntertainment/Coverart",
    "/mnt/quota/mm/OnlineEntertainment/Channeldata",
    "/mnt/quota/mm/OnlineEntertainment/App",
    "/mnt/quota/mm/OnlineEntertainment/Fingerprint",
};

// Used when no disk is reported; their parent must already exist.
inline constexpr std::array<const char*, 2> FALLBACK_DIRS = {
    "/var/opt/mm/backup",
    "/var/opt/mm/backup2",
};

// The stale lookup databases: entries 12 to 15 of the media tree, so they
// exist by the time they are purged.
inline constexpr std::size_t LOOKUP_CACHE_FIRST = 11;
inline constexpr std::array<const char*, 4> LOOKUP_CACHE_DIRS = {
    MEDIA_DIRS[LOOKUP_CACHE_FIRST],
    MEDIA_DIRS[LOOKUP_CACHE_FIRST + 1],
    MEDIA_DIRS[LOOKUP_CACHE_FIRST + 2],
    MEDIA_DIRS[LOOKUP_CACHE_FIRST + 3],
};

static_assert(std::string_view(LOOKUP_CACHE_DIRS[0]) == "/mnt/quota/mm/gracenote/mldb");
static_assert(std::string_view(LOOKUP_CACHE_DIRS[1]) == "/mnt/quota/mm/gracenote/mldb_backup");
static_assert(std::string_view(LOOKUP_CACHE_DIRS[2]) == "/mnt/quota/mm/gracenote/odlcache");
static_assert(std::string_view(LOOKUP_CACHE_DIRS[3]) == "/mnt/quota/mm/gracenote/odlcache_backup");

namespace media_paths_check {
// Every entry's parent is the media root or an earlier entry.
constexpr bool parents_come_first() {
    for (std::size_t i = 0; i < MEDIA_DIRS.size(); ++i) {
        const std::string_view path = MEDIA_DIRS[i];
        const std::string_view parent = path.substr(0, path.rfind('/'));
        bool found = parent == MEDIA_ROOT;
        for (std::size_t j = 0; j < i && !found; ++j) {
            found = parent == MEDIA_DIRS[j];
        }
        if (!found) {
            return false;
        }
    }
    return true;
}
static_assert(parents_come_first());
} // namespace media_paths_check
