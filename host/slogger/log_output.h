// Where the host logger puts a record: its output as a line of text or JSON,
// unless the record is less severe than asked for, and syslog(3) on request.
#pragma once

#include "slogger_proto.h"

#include <string>

struct LogOutput {
    int fd;
    slogger::Format format;
    int min_severity; // records with a greater severity number are left out
    bool syslog;      // also forward each written record to syslog(3)
};

// False only when the output could not be written, with errno set.
bool write_record(const LogOutput& output, const slogger::Record& record,
                  const slogger::Origin& origin);

// One line of the logger's own on standard error, "host-slogger: " first.
void complain(const std::string& text);

// Writes all of `data` to `fd`; false with errno set when it cannot.
bool write_all(int fd, const std::string& data);

// --read: decodes the raw records of a /dev/slog file ("-": standard input)
// and returns the exit status: 0 all sound, 1 some flagged, 2 a read error.
int read_file(const std::string& path, const LogOutput& output);
