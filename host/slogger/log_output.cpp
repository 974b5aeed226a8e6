#include "log_output.h"

#include <cerrno>

#include <syslog.h>
#include <unistd.h>

namespace {

// The host's priority of the same name; both debug levels are debug there.
constexpr int syslog_priorities[8] = {LOG_EMERG,  LOG_CRIT, LOG_ERR,   LOG_WARNING,
                                      LOG_NOTICE, LOG_INFO, LOG_DEBUG, LOG_DEBUG};

// The identity syslog(3) shows a record under; openlog keeps a pointer to it.
std::string syslog_ident;

// Tagged "program[pid]" as the program itself would have been, so that the
// host's log tools file the record under the sender and not under us.
void forward_to_syslog(const slogger::Record& record, const slogger::Origin& origin) {
    slogger::Tagged tagged = slogger::split_program(record);
    syslog_ident = tagged.program.empty() ? "slog" : tagged.program;
    if (origin.pid > 0)
        syslog_ident += '[' + std::to_string(origin.pid) + ']';
    openlog(syslog_ident.c_str(), 0, LOG_USER);
    syslog(syslog_priorities[slogger::severity_of(record)], "%s", tagged.message.c_str());
}

} // namespace

void complain(const std::string& text) {
    std::string line = "host-slogger: " + text + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
}

bool write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_record(const LogOutput& output, const slogger::Record& record,
                  const slogger::Origin& origin) {
    if (slogger::severity_of(record) > output.min_severity)
        return true;
    if (!write_all(output.fd, slogger::format_line(record, origin, output.format) + "\n"))
        return false;
    if (output.syslog)
        forward_to_syslog(record, origin);
    return true;
}
