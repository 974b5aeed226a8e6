// kestrune: lays out the media storage once at start-up, before the media
// stack comes up. Always exits with 0: failures show in the system log.
#include "log.h"
#include "media_paths.h"
#include "purge.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/pathmgr.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The unit's getopt stops at the first non-option; glibc's would go on
// scanning past it unless told not to with a leading "+".
#ifdef __GLIBC__
constexpr char OPTION_STRING[] = "+h";
#else
constexpr char OPTION_STRING[] = "h";
#endif

constexpr mode_t MEDIA_DIR_MODE = 0777;
constexpr mode_t READY_MARKER_MODE = 0600;

constexpr char HDD_DETECTED[] = "HDD Detected";
constexpr char MEDIA_MOUNT_MISSING[] = "HDD Media Mount not found !";
constexpr char BACKUP_NOT_WRITTEN[] =
    "Backup was not written in last live cycle, remove mldb files";
constexpr char QDB_LINK_FAILED[] =
    "Failed to Create io-fs-media-qdb Symlink, io-fs-media-qdb could not be started";
constexpr char READY_MARKER_FAILED[] =
    " Failed to Create MEDIAREADY marker file , Media will not come up ";

void start_kernel_trace_if_requested();
bool read_options(int argc, char* argv[]);
void set_up_storage(bool hdd_present);
bool link_qdb_instance(const char* target, const char* link_name);
void create_ready_marker();
} // namespace

int main(int argc, char* argv[]) {
    start_kernel_trace_if_requested();
    const bool hdd_present = read_options(argc, argv);
    set_up_storage(hdd_present);
    if (link_qdb_instance(MEDIA_FS_PATH, MEDIA_FS_QDB_LINK)) {
        create_ready_marker();
    }
    return 0;
}

namespace {
void start_kernel_trace_if_requested() {
    if (access(KERNELTRACE_TRIGGER, F_OK) == 0) {
        // The shell is wanted: its "&" lets the tracer run on after we exit.
        if (std::system(TRACER_COMMAND) != 0) { // NOLINT(cert-env33-c)
            // Whether the tracer really started is not ours to judge.
        }
    }
}

// True when some -h reported a hard disk; each -h is logged.
bool read_options(int argc, char* argv[]) {
    bool hdd_present = false;
    int option;
    while ((option = getopt(argc, argv, OPTION_STRING)) != -1) {
        if (option == 'h') {
            log_info(HDD_DETECTED);
            hdd_present = true;
        }
    }
    return hdd_present;
}

template <std::size_t Count> void ensure_dirs(const std::array<const char*, Count>& paths) {
    for (const char* path : paths) {
        if (access(path, F_OK) != 0) {
            // A failure (parent missing, medium read-only or full) only means
            // the media stack finds one directory fewer; the set-up goes on.
            (void)mkdir(path, MEDIA_DIR_MODE);
        }
    }
}

// The media tree on the disk, or the fallback pair without one; the stale
// lookup databases go when the last run did not confirm its backup.
void set_up_storage(bool hdd_present) {
    if (!hdd_present) {
        ensure_dirs(FALLBACK_DIRS);
        return;
    }
    if (access(MEDIA_ROOT, F_OK) != 0) {
        log_info(MEDIA_MOUNT_MISSING);
        return;
    }
    ensure_dirs(MEDIA_DIRS);
    if (access(BACKUP_MARKER, F_OK) != 0) {
        log_error(BACKUP_NOT_WRITTEN);
        for (const char* dir_path : LOOKUP_CACHE_DIRS) {
            purge_dir(dir_path);
        }
    }
}

bool link_qdb_instance(const char* target, const char* link_name) {
    if (pathmgr_symlink(target, link_name) != -1) {
        return true;
    }
    log_error(QDB_LINK_FAILED);
    return false;
}

void create_ready_marker() {
    // Whoever waits on the marker may already have seen it: leave it be.
    if (access(READY_MARKER, F_OK) == 0) {
        return;
    }
    const int fd = creat(READY_MARKER, READY_MARKER_MODE);
    if (fd == -1) {
        log_error(READY_MARKER_FAILED);
        return;
    }
    close(fd);
}
} // namespace
