// Bounded purge of the stale lookup databases: a few entries per directory
// and run, so a full cache never delays the start-up.
#include "purge.h"

#include "log.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Entries read per directory and call, "." and ".." included.
constexpr int PURGE_ENTRY_LIMIT = 10;
// Full path of one entry, terminating zero included.
constexpr std::size_t PURGE_PATH_SIZE = 256;

constexpr char CAN_NOT_OPEN[] = "Can not open %s";
constexpr char FILE_REMOVED[] = "File %s is removed";
constexpr char CAN_NOT_REMOVE[] = "Can not remove file %s";
constexpr char NAME_TOO_LONG[] = "Can not remove file %s/...: name too long";

// Removes like remove() would, but within the directory we opened, so a
// directory renamed or replaced meanwhile cannot redirect the removal; a
// symbolic link goes as a link.
int remove_entry(int dir_fd, const char* name) {
    struct stat entry;
    if (fstatat(dir_fd, name, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        return -1;
    }
    return unlinkat(dir_fd, name, S_ISDIR(entry.st_mode) ? AT_REMOVEDIR : 0);
}

// A lookup directory that is a symbolic link is not followed: it could
// point anywhere.
DIR* open_lookup_dir(const char* dir_path) {
    const int fd = open(dir_path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    DIR* dir = fd != -1 ? fdopendir(fd) : nullptr;
    if (dir == nullptr && fd != -1) {
        close(fd);
    }
    return dir;
}

void purge_entry(int dir_fd, const char* dir_path, const char* name) {
    // The full path is only for the log; a name that does not fit is refused
    // rather than cut into the name of some other file.
    char path[PURGE_PATH_SIZE];
    const int length = std::snprintf(path, sizeof path, "%s/%s", dir_path, name);
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return;
    }
    if (static_cast<std::size_t>(length) >= sizeof path) { // a negative one too
        log_error(NAME_TOO_LONG, dir_path);
        return;
    }
    if (remove_entry(dir_fd, name) == 0) {
        log_info(FILE_REMOVED, path);
    } else {
        log_error(CAN_NOT_REMOVE, path);
    }
}
} // namespace

void purge_dir(const char* dir_path) {
    if (dir_path == nullptr) {
        return;
    }
    DIR* dir = open_lookup_dir(dir_path);
    if (dir == nullptr) {
        log_error(CAN_NOT_OPEN, dir_path);
        return;
    }
    const int dir_fd = dirfd(dir);
    int entries_read = 0;
    // A read error ends the walk like the end of the directory does.
    while (const dirent* entry = readdir(dir)) {
        purge_entry(dir_fd, dir_path, entry->d_name);
        if (++entries_read == PURGE_ENTRY_LIMIT) {
            break;
        }
    }
    closedir(dir);
}
