#include "log_records.h"

#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

sockaddr_un unix_address(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    return address;
}

} // namespace

void log_record_client(int number) {
    log_info(BENCH_RECORD_FORMAT, number);
}

void log_record_syslog(int number) {
    syslog(LOG_INFO, BENCH_RECORD_FORMAT, number);
}

bool open_syslog(const char* ident) {
    const int probe = socket(AF_UNIX, SOCK_DGRAM, 0);
    const sockaddr_un address = unix_address(BENCH_SYSLOG_PATH);
    const bool listening =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (listening) {
        openlog(ident, LOG_NDELAY, LOG_USER);
    }
    return listening;
}

int run_syslog_sink(const char* path) {
    const int sink = socket(AF_UNIX, SOCK_DGRAM, 0);
    const sockaddr_un address = unix_address(path);
    unlink(path);
    if (sink < 0 || bind(sink, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror(path);
        return 1;
    }
    char datagram[2048];
    while (recv(sink, datagram, sizeof datagram, 0) >= 0 || errno == EINTR) {
    }
    std::perror("recv");
    return 1;
}
