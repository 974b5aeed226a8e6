// One log record, the same text either way: through the logging front end and
// client to the host logger, or through the C library's syslog(3) to /dev/log.
#pragma once

// The text the records carry, with one number filled in.
inline constexpr char BENCH_RECORD_FORMAT[] = "media tree ready: %d directories";
inline constexpr char BENCH_SYSLOG_PATH[] = "/dev/log";

void log_record_client(int number);
void log_record_syslog(int number);

// Connects syslog(3) to /dev/log; false when nothing listens there, where
// syslog would drop every record and time nothing worth knowing.
bool open_syslog(const char* ident);

// Binds a datagram socket at path and discards what arrives, until killed.
// Returns only on failure.
int run_syslog_sink(const char* path);
