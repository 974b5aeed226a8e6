// The media directory tree on the disk, or the fallback pair without one.
#include "log.h"
#include "media_paths.h"
#include "purge.h"
#include "startup_steps.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t MEDIA_DIR_MODE = 0777;

constexpr char MEDIA_MOUNT_MISSING[] = "HDD Media Mount not found !";

template <std::size_t Count> void ensure_dirs(const std::array<const char*, Count>& paths) {
    for (const char* path : paths) {
        ensure_dir(path);
    }
}
} // namespace

void ensure_dir(const char* path) {
    if (access(path, F_OK) == 0) {
        return;
    }
    // A failure (parent missing, medium read-only or full) only means the
    // media stack finds one directory fewer; the set-up goes on.
    (void)mkdir(path, MEDIA_DIR_MODE);
}

void set_up_storage() {
    if (!hdd_present) {
        ensure_dirs(FALLBACK_DIRS);
        return;
    }
    if (access(MEDIA_ROOT, F_OK) != 0) {
        log_info(MEDIA_MOUNT_MISSING);
        return;
    }
    ensure_dirs(MEDIA_DIRS);
    purge_if_backup_missing();
}
