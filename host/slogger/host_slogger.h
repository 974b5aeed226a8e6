// What host-slogger's own files share: the options, the output that serving
// and --read write to (slog_output.cpp), and --read (slog_file.cpp).
#pragma once

#include "slogger_proto.h"

#include <string>
#include <vector>

inline constexpr char DEFAULT_SOCKET[] = "/dev/sidechannel";

struct slogger_options {
    const char* socket_path = DEFAULT_SOCKET;
    const char* output_path = nullptr; // null: standard output
    const char* read_path = nullptr;   // --read: decode this file instead of serving
    slogger::line_format format = slogger::LINE_TEXT;
    int min_severity = 7;              // records with a greater severity number are left out
    std::vector<long> pids;            // --pid: only these senders; empty: all
    std::vector<std::string> programs; // --identifier: only these program names; empty: all
    bool syslog = false;               // also forward each written record to syslog(3)
    bool follow = false;               // --read: go on reading as the file grows
    long long lines = -1;              // --read: only the last this many records; -1: all
    int fail_error = 0;                // --fail: the first fail_count records get -fail_error,
    long long fail_count = 0;
    std::vector<int> answers; // then these in turn: an errno, or 0 to log
};

// What the command line asked for: set by read_options, only read after it.
extern slogger_options options;

// One line of the logger's own on standard error, "host-slogger: " first.
void complain(const std::string& text);
// Opens the --output file to append, again on SIGHUP (a log rotated); false when it cannot.
bool open_output();
const char* output_name(); // "standard output", or the --output file
// Whether the record passes --min-severity, --pid and --identifier.
bool selected(const slogger::record_view& record, const slogger::record_origin& origin);
// Writes the line and a newline, whole or not at all; false with errno set.
bool write_line(std::string line);

// Decodes the /dev/slog file at `path` ("-": standard input) to the output;
// the exit status: 0 all sound, 1 some flagged, 2 an error.
int read_file(const char* path);
