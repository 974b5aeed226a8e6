#include "process_state.h"

#include "log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

char* tool_name = nullptr;
int debug_fd = 0;
int a2i_fd = 0;
char* a2i_path = nullptr;

void set_tool_name() {
    // Without heap for the name the run can still do its work under a fixed one.
    static char fallback_name[TOOL_NAME_SIZE];
    char* block = static_cast<char*>(malloc(TOOL_NAME_SIZE));
    const int malloc_errno = errno;
    tool_name = block != nullptr ? block : fallback_name;
    memcpy(tool_name, TOOL_SELF_NAME, sizeof TOOL_SELF_NAME);
    if (block == nullptr) {
        log_error("%s:  malloc() failed: %s \n", tool_name, strerror(malloc_errno));
    }
}

int open_device_or_exit(const char* path) {
    const int fd = open(path, O_RDWR);
    if (fd == -1) {
        log_error("%s:  open() failed: %s \n", tool_name, strerror(errno));
        exit(1);
    }
    return fd;
}

void open_a2i_device(const char* path) {
    char* copy = strdup(path);
    if (copy == nullptr) {
        // No copy means no -p device: end as when it cannot be opened.
        log_error("%s:  strdup() failed: %s \n", tool_name, strerror(errno));
        exit(1);
    }
    // The earlier copy has served its open and nothing refers to it any more.
    free(a2i_path);
    a2i_path = copy;
    a2i_fd = open_device_or_exit(a2i_path);
}

void close_devices() {
    if (debug_fd != 0) {
        close(debug_fd);
    }
    if (a2i_fd != 0) {
        close(a2i_fd);
    }
}
