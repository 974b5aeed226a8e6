// ROOT made ready for a run: opened and locked, its devices emptied, the
// tracer stand-in put in place, and each entry bound inside opened beneath
// ROOT's own descriptor and handed to bwrap as that descriptor, so that a name
// swapped for a link after the checks changes nothing.
#include "sandbox_run.h"

#include <algorithm>
#include <iterator>

#include <dirent.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/syscall.h>

namespace {

// The entries of ROOT bound inside; the /dev ones only when present.
struct bound_entry {
    const char* name; // below ROOT
    const char* inside;
    bool always; // made in ROOT when missing
};
constexpr bound_entry ENTRIES[] = {{"mnt", "/mnt", true},
                                   {"opt", "/opt", true},
                                   {"var", "/var", true},
                                   {"boot", "/boot", true},
                                   {"dev/shmem", "/dev/shmem", false},
                                   {"dev/vellmar", "/dev/vellmar", false},
                                   {"dev/slog", "/dev/slog", false}};
// Devices whose plain files are emptied before a run, below ROOT/dev.
constexpr const char* DEVICES[] = {"slog", "vellmar"};

// ROOT's descriptor, locked for the run.
int root_fd = -1;

// `name` below the directory `dir`, made first when `make`, opened as a path
// with `flags`, following only links that stay below `dir`; -1 with errno
// EXDEV (or ELOOP) for one that leads out.
int open_beneath(int dir, const char* name, bool make, std::uint64_t flags) {
    if (make && mkdirat(dir, name, 0777) != 0 && errno != EEXIST) {
        return -1;
    }
    open_how how{};
    how.flags = O_PATH | flags | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, dir, name, &how, sizeof how));
}

// Complains of ROOT/`name` that could not be opened; false.
bool refuse_entry(const char* name, int error) {
    const std::string entry = root_path + "/" + name;
    return error == EXDEV || error == ELOOP
               ? complain(entry + " leads out of ROOT; refusing to use it")
               : complain("cannot prepare " + entry, error);
}

// mkdir -p: callers rely on a ROOT that is made where missing.
bool make_directories(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0 || errno != ENOENT) {
        return true; // what is wrong with it is found when it is opened
    }
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        if (mkdir(path.substr(0, end).c_str(), 0777) != 0 && errno != EEXIST) {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
    }
}

// Opens ROOT, refuses the host's own, and takes the run's lock on it.
bool open_root() {
    if (!make_directories(options.root) ||
        (root_fd = open(options.root, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        return complain(std::string("cannot prepare ") + options.root, errno);
    }
    char* real = realpath(options.root, nullptr);
    root_path = real != nullptr ? real : options.root;
    std::free(real);
    struct stat root {};
    struct stat host {};
    if (fstat(root_fd, &root) != 0 || stat("/", &host) != 0 ||
        (root.st_dev == host.st_dev && root.st_ino == host.st_ino)) {
        return complain("ROOT must not be /");
    }
    // A second run would replace this one's logger socket and empty its devices.
    if (flock(root_fd, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK
                   ? complain(root_path + " is in use by another sandbox-run: one run per ROOT")
                   : complain("cannot lock " + root_path, errno);
    }
    return true;
}

// Copies the stand-in that lies beside the runner into `bin`.
bool copy_tracer(int bin) {
    std::FILE* in = std::fopen((program_directory() + "/" TRACER_STAND_IN).c_str(), "rbe");
    if (in == nullptr) {
        return false;
    }
    std::string script;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
        script.append(buffer, n);
    }
    std::fclose(in);
    const int fd =
        openat(bin, "tracelogger", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755);
    const bool done =
        fd >= 0 && write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size()) &&
        fchmod(fd, 0755) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return done;
}

// Puts the tracer stand-in in ROOT/boot/bin unless something is there already.
bool install_tracer(int boot) {
    const int bin = open_beneath(boot, "bin", true, O_DIRECTORY);
    if (bin < 0) {
        return refuse_entry("boot/bin", errno);
    }
    struct stat st {};
    const bool done = fstatat(bin, "tracelogger", &st, AT_SYMLINK_NOFOLLOW) == 0 ||
                      copy_tracer(bin) || complain("cannot install the tracer stand-in", errno);
    close(bin);
    return done;
}

// A directory of devices still to be gone through, and its name for messages.
struct device_directory {
    int fd;
    std::string shown;
};

// A file with other hard links is shared with another name, perhaps outside
// ROOT: that one keeps its bytes, and this name gets a new file.
bool replace_with_empty(int parent, const char* name, const struct stat& st) {
    const std::string temporary = ".sandbox-run." + std::to_string(getpid());
    const int fd = openat(parent, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    (void)!fchown(fd, st.st_uid, st.st_gid); // another user's file: the new one is ours
    const bool done = fchmod(fd, st.st_mode & 07777) == 0 &&
                      renameat(parent, temporary.c_str(), parent, name) == 0;
    const int error = errno;
    if (!done) {
        unlinkat(parent, temporary.c_str(), 0);
    }
    close(fd);
    errno = error;
    return done;
}

// The programs open a device without truncating it, so a plain file standing
// for one would keep the tail of an earlier, longer request or an earlier
// run's records. Symbolic links and FIFOs are left alone, and one that cannot
// be written, which cannot take a request either; a directory is added to
// `later`.
bool empty_device(int parent, const char* name, const std::string& shown,
                  std::vector<device_directory>& later) {
    struct stat st {};
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT || complain("cannot empty " + shown, errno);
    }
    if (S_ISDIR(st.st_mode)) {
        const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            later.push_back({fd, shown});
        }
        // cppcheck-suppress resourceLeak ; empty_devices closes what `later` holds
        return fd >= 0 || complain("cannot empty " + shown, errno);
    }
    if (!S_ISREG(st.st_mode) || (st.st_size == 0 && st.st_nlink == 1)) {
        return true;
    }
    const int fd = openat(parent, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EACCES || errno == EPERM || errno == EROFS || errno == ELOOP ||
               complain("cannot empty " + shown, errno);
    }
    // Checked again on what was opened: the name may have changed meanwhile.
    const bool done =
        fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_nlink == 1 ? ftruncate(fd, 0) == 0 : replace_with_empty(parent, name, st));
    const int error = errno;
    close(fd);
    return done || complain("cannot empty " + shown, error);
}

// Empties ROOT/dev/slog and the plain files under ROOT/dev/vellmar, at any depth.
bool empty_devices() {
    std::vector<device_directory> later;
    bool done = true;
    for (const char* device : DEVICES) {
        done = done && empty_device(dev_fd, device, root_path + "/dev/" + device, later);
    }
    while (!later.empty()) {
        const device_directory directory = later.back();
        later.pop_back();
        DIR* dir = fdopendir(directory.fd);
        while (const dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
            const std::string name = entry->d_name;
            done = done &&
                   (name == "." || name == ".." ||
                    empty_device(directory.fd, entry->d_name, directory.shown + "/" + name, later));
        }
        dir != nullptr ? closedir(dir) : close(directory.fd);
    }
    return done;
}

// Opens ROOT/`entry.name` for bwrap, made first when it is always bound;
// false when the run is refused.
bool hand_over(const bound_entry& entry) {
    const int fd = open_beneath(root_fd, entry.name, entry.always, entry.always ? O_DIRECTORY : 0);
    if (fd < 0) {
        return (!entry.always && (errno == ENOENT || errno == ENOTDIR)) ||
               refuse_entry(entry.name, errno);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || (!S_ISDIR(st.st_mode) && st.st_nlink > 1)) {
        close(fd);
        return complain(root_path + "/" + entry.name +
                        " has other hard links, which the run would write to");
    }
    handed_over.emplace_back(fd, entry.inside);
    return std::strcmp(entry.name, "boot") != 0 || install_tracer(fd);
}

} // namespace

// ROOT with the layout every run sees, made only where missing so that a
// test's own set-up stays; the /dev entries are the caller's to provide.
bool prepare_root() {
    if (!open_root()) {
        return false;
    }
    dev_fd = open_beneath(root_fd, "dev", options.logger, O_DIRECTORY);
    if (dev_fd < 0 && (options.logger || (errno != ENOENT && errno != ENOTDIR))) {
        return refuse_entry("dev", errno);
    }
    return (dev_fd < 0 || empty_devices()) &&
           std::all_of(std::begin(ENTRIES), std::end(ENTRIES), hand_over);
}
