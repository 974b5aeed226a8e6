// pathmgr_symlink on the host: the link lives in the file system. On the unit
// the process manager forgets it at every power-down and it is made anew at
// each start, so a link that is already right counts as made.
#include <sys/pathmgr.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace {
bool is_link_to(const char* link_name, const char* path) {
    char target[PATH_MAX];
    const ssize_t length = readlink(link_name, target, sizeof target);
    return length >= 0 && static_cast<size_t>(length) == std::strlen(path) &&
           std::memcmp(target, path, static_cast<size_t>(length)) == 0;
}
} // namespace

int pathmgr_symlink(const char* path, const char* link_name) {
    const int saved_errno = errno;
    // Checked first: on every start but the first the link is already there.
    if (is_link_to(link_name, path)) {
        errno = saved_errno;
        return 0;
    }
    if (symlink(path, link_name) == 0) {
        errno = saved_errno;
        return 0;
    }
    return -1;
}
