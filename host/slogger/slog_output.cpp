// host-slogger's output: the log lines, each whole or not at all, on standard
// output or in the --output file.
#include "host_slogger.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

slogger_options options;

namespace {

// Where the log lines go: standard output, or the file open_output opened.
int output_fd = STDOUT_FILENO;

} // namespace

void complain(const std::string& text) {
    const std::string line = "host-slogger: " + text + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
}

bool open_output() {
    const int fd = options.output_path == nullptr
                       ? STDOUT_FILENO
                       : open(options.output_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        complain(std::string(options.output_path) + ": " + std::strerror(errno));
        return false;
    }
    if (output_fd != STDOUT_FILENO) {
        close(output_fd);
    }
    output_fd = fd;
    return true;
}

const char* output_name() {
    return options.output_path != nullptr ? options.output_path : "standard output";
}

bool selected(const slogger::record_view& record, const slogger::record_origin& origin) {
    const auto& pids = options.pids;
    const auto& names = options.programs;
    return slogger::severity_of(record) <= options.min_severity &&
           (pids.empty() || std::find(pids.begin(), pids.end(), origin.pid) != pids.end()) &&
           (names.empty() ||
            std::count(names.begin(), names.end(), slogger::split_program(record).program) != 0);
}

// A full disk or a size limit takes part of a line: a file is cut back to its
// last whole one. Elsewhere a write fails part way only when the reader has
// gone or the terminal hung up, and no line follows. No signal interrupts it.
bool write_line(std::string line) {
    line += '\n';
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = write(output_fd, line.data() + done, line.size() - done);
        if (n <= 0) {
            const int error = n == 0 ? EIO : errno;
            const off_t end = done > 0 ? lseek(output_fd, 0, SEEK_CUR) : -1;
            if (end >= 0) {
                (void)!ftruncate(output_fd, end - static_cast<off_t>(done));
            }
            errno = error;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}
