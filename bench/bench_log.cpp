// The cost of one log record: log_info through the logging client to the host
// logger, against syslog(3) of the same text to a datagram socket on /dev/log.
// Run inside the sandbox with the host logger and a /dev/log sink (see
// run-log-bench).
#include "log_records.h"

#include <benchmark/benchmark.h>

namespace {

void BM_log_info(benchmark::State& state) {
    int number = 0;
    for (auto _ : state) {
        log_record_client(++number);
    }
}
BENCHMARK(BM_log_info);

void BM_syslog(benchmark::State& state) {
    if (!open_syslog("bench_log")) {
        state.SkipWithError("nothing listens on /dev/log");
        return;
    }
    int number = 0;
    for (auto _ : state) {
        log_record_syslog(++number);
    }
}
BENCHMARK(BM_syslog);

} // namespace

BENCHMARK_MAIN();
