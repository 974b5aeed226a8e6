// Logs N records one way and reports the heap allocations they made; small
// enough to run under callgrind and strace. Also the /dev/log sink that the
// syslog(3) comparison needs.
//   log_harness client N   N records through log_info to the host logger
//   log_harness syslog N   N records through syslog(3) to /dev/log
//   log_harness sink PATH  discard datagrams sent to PATH until killed
// The records of interest are all made inside run_records(): give callgrind
// --toggle-collect='*run_records*'. One record is sent before it, so the
// one-time connection set-up of either way is not counted.
#include "log_records.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

// Linked statically like the programs, with --wrap for the allocators, so
// calls from the C library's own objects are counted too.
extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void* __wrap_malloc(std::size_t size);
void* __wrap_calloc(std::size_t count, std::size_t size);
void* __wrap_realloc(void* block, std::size_t size);
}

namespace {

// Allocations made by anything in the process, the C library included.
unsigned long allocations = 0;

void (*const ways[])(int) = {log_record_client, log_record_syslog};
const char* const way_names[] = {"client", "syslog"};

__attribute__((noinline)) void run_records(void (*log_record)(int), int count) {
    for (int i = 0; i < count; ++i) {
        log_record(i);
    }
}

int usage() {
    std::fputs("usage: log_harness client|syslog N | log_harness sink PATH\n", stderr);
    return 2;
}

} // namespace

void* __wrap_malloc(std::size_t size) {
    ++allocations;
    return __real_malloc(size);
}

void* __wrap_calloc(std::size_t count, std::size_t size) {
    ++allocations;
    return __real_calloc(count, size);
}

void* __wrap_realloc(void* block, std::size_t size) {
    ++allocations;
    return __real_realloc(block, size);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        return usage();
    }
    if (std::strcmp(argv[1], "sink") == 0) {
        return run_syslog_sink(argv[2]);
    }
    const int count = std::atoi(argv[2]);
    for (std::size_t way = 0; way < std::size(ways); ++way) {
        if (std::strcmp(argv[1], way_names[way]) != 0) {
            continue;
        }
        if (ways[way] == log_record_syslog && !open_syslog("log_harness")) {
            std::fputs("log_harness: nothing listens on /dev/log\n", stderr);
            return 1;
        }
        ways[way](-1);
        const unsigned long before = allocations;
        run_records(ways[way], count);
        std::printf("%s: %d records, %.3f heap allocations per record\n", way_names[way], count,
                    count > 0 ? static_cast<double>(allocations - before) / count : 0.0);
        return 0;
    }
    return usage();
}
