// kestrune: lays out the media storage once at start-up, before the media
// stack comes up. Always exits with 0: failures show in the system log.
#include "media_paths.h"
#include "startup_steps.h"

int main(int argc, char* argv[]) {
    start_kernel_trace_if_requested();
    read_options(argc, argv);
    set_up_storage();
    if (link_qdb_instance(MEDIA_FS_PATH, MEDIA_FS_QDB_LINK)) {
        create_ready_marker();
    }
    return 0;
}
