// Drives the real logging client through the host layer: log_probe MODE
// [ARGUMENTS]. Each mode prints what the calls returned; the system log shows
// what arrived.
#include "log_probe.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

int number(const char* text) {
    return std::atoi(text);
}

struct probe_mode {
    const char* name;
    const char* arguments; // as the usage shows them
    int required;          // how many of them must be given
    const char* what;
    int (*run)(char** arguments);
};

constexpr probe_mode MODES[] = {
    {"records", "", 0, "one of each record kind, results one per line",
     [](char**) { return records(); }},
    {"front", "COUNT", 1, "COUNT front-end records, then \"carried on\"",
     [](char** a) { return front(number(a[0])); }},
    {"restart", "", 0, "one record, wait for /mnt/go, one more", [](char**) { return restart(); }},
    {"stream", "", 0, "front-end records, \"sent N\" after each, until /mnt/stop appears",
     [](char**) { return stream(); }},
    {"descriptor", "", 0,
     "one record, then whether a shell started with system() holds the "
     "logger's descriptor",
     [](char**) { return descriptor(); }},
    {"threads", "T N", 2, "T threads, N records each, at once",
     [](char** a) { return threads(number(a[0]), number(a[1])); }},
    {"load", "T N", 2, "T threads, N records each, every reply checked",
     [](char** a) { return load(number(a[0]), number(a[1])); }},
    {"fork", "K", 1, "K forks while another thread keeps logging",
     [](char** a) { return fork_while_logging(number(a[0])); }},
    {"forks", "K T", 2, "K forks, one after the other, while T threads log",
     [](char** a) { return forks_while_threads_log(number(a[0]), number(a[1]), false); }},
    {EARLY_FORKS, "K T", 2,
     "as forks, after a record sent before main; one more thread sends through MsgSendv itself",
     [](char** a) { return forks_while_threads_log(number(a[0]), number(a[1]), true); }},
    {"fork-handlers", "K", 1,
     "fork handlers that log, registered before the first record, then K forks",
     [](char** a) { return fork_handlers_that_log(number(a[0])); }},
    {"checked-forks", "K", 1,
     "two threads log while main forks K times; threads, locks and joins only, for the thread "
     "checkers",
     [](char** a) { return checked_forks(number(a[0])); }},
    {"stack", "FROM TO STEP [double|front]", 3,
     "one thread a step, each with FROM, FROM + STEP, ... TO bytes of its stack free when it "
     "calls slogf (with front: log_printf_code, whose result is \"called\"); \"free N: RESULT\"",
     [](char** a) {
         const auto size = [](const char* text) { return std::strtoul(text, nullptr, 10); };
         return stack_sweep(size(a[0]), size(a[1]), size(a[2]), a[3]);
     }},
};

int usage() {
    std::fputs("usage: log_probe MODE [ARGUMENTS]\n", stderr);
    for (const probe_mode& mode : MODES)
        std::fprintf(stderr, "  %s %s\n      %s\n", mode.name, mode.arguments, mode.what);
    return 2;
}

} // namespace

void print_result(int result) {
    if (result == -1)
        std::printf("-1 %s\n", std::strerror(errno));
    else
        std::printf("%d\n", result);
}

void end_if_stuck() {
    alarm(static_cast<unsigned>(give_up_after.count()));
}

int main(int argc, char** argv) {
    for (const probe_mode& mode : MODES) {
        if (argc > 1 && std::strcmp(argv[1], mode.name) == 0)
            return argc - 2 >= mode.required ? mode.run(argv + 2) : usage();
    }
    return usage();
}
