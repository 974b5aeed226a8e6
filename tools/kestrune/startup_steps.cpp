// Kernel-trace trigger, command line, path-manager link and ready marker.
#include "startup_steps.h"

#include "log.h"
#include "media_paths.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/pathmgr.h>
#include <unistd.h>

bool hdd_present = false;

namespace {
// The unit's getopt stops at the first non-option; glibc's would go on
// scanning past it unless told not to with a leading "+".
#ifdef __GLIBC__
constexpr char OPTION_STRING[] = "+h";
#else
constexpr char OPTION_STRING[] = "h";
#endif

constexpr mode_t READY_MARKER_MODE = 0600;

constexpr char HDD_DETECTED[] = "HDD Detected";
constexpr char QDB_LINK_FAILED[] =
    "Failed to Create io-fs-media-qdb Symlink, io-fs-media-qdb could not be started";
constexpr char READY_MARKER_FAILED[] =
    " Failed to Create MEDIAREADY marker file , Media will not come up ";
} // namespace

void start_kernel_trace_if_requested() {
    if (access(KERNELTRACE_TRIGGER, F_OK) == 0) {
        // Whether the tracer really started is not ours to judge. The shell is
        // wanted: its "&" lets the tracer run on after we exit.
        (void)std::system(TRACER_COMMAND); // NOLINT(cert-env33-c)
    }
}

void read_options(int argc, char* argv[]) {
    hdd_present = false;
    int option;
    while ((option = getopt(argc, argv, OPTION_STRING)) != -1) {
        if (option == 'h') {
            log_info(HDD_DETECTED);
            hdd_present = true;
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
