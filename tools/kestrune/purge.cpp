// Bounded purge of the stale lookup databases: a few entries per directory
// and run, so a full cache never delays the start-up.
#include "purge.h"

#include "log.h"
#include "media_paths.h"

#include <cstddef>
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

constexpr char BACKUP_NOT_WRITTEN[] =
    "Backup was not written in last live cycle, remove mldb files";
constexpr char CAN_NOT_OPEN[] = "Can not open %s";
constexpr char FILE_REMOVED[] = "File %s is removed";
constexpr char CAN_NOT_REMOVE[] = "Can not remove file %s";
constexpr char NAME_TOO_LONG[] = "Can not remove file %s/...: name too long";

bool is_dot_entry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// The full path is only for the log; a name that does not fit is refused
// rather than cut into the name of some other file.
bool build_entry_path(char (&path)[PURGE_PATH_SIZE], const char* dir_path, const char* name) {
    const std::size_t dir_len = std::strlen(dir_path);
    const std::size_t name_len = std::strlen(name);
    if (dir_len + 1 + name_len >= PURGE_PATH_SIZE) {
        return false;
    }
    std::memcpy(path, dir_path, dir_len);
    path[dir_len] = '/';
    std::memcpy(path + dir_len + 1, name, name_len + 1);
    return true;
}

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
    if (fd == -1) {
        return nullptr;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
    }
    return dir;
}

void purge_entry(int dir_fd, const char* dir_path, const char* name) {
    char path[PURGE_PATH_SIZE];
    const bool path_fits = build_entry_path(path, dir_path, name);
    if (is_dot_entry(name)) {
        return;
    }
    if (!path_fits) {
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

void purge_if_backup_missing() {
    if (access(BACKUP_MARKER, F_OK) == 0) {
        return;
    }
    log_error(BACKUP_NOT_WRITTEN);
    for (const char* dir_path : LOOKUP_CACHE_DIRS) {
        purge_dir(dir_path);
    }
}

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
