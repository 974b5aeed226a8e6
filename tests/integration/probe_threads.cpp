// Threads logging at once: every record whole and once, every reply its own.
#include "log_probe.h"

#include "slog.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

// Text and integer records alternate so both kinds interleave on the wire.
int threads(int thread_count, int per_thread) {
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < thread_count; ++t) {
        workers.emplace_back([t, per_thread, &failures] {
            for (int i = 0; i < per_thread; ++i) {
                int result = i % 2 == 0 ? slogf(100 + t, 5, "thread %d record %d", t, i)
                                        : slogi(100 + t, 5, 2, t, i);
                if (result < 0)
                    ++failures;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    std::printf("failures %d\n", failures.load());
    return 0;
}

// Texts of many lengths, filled with the thread's own letter: a reply that
// went to the wrong thread shows as a wrong byte count, a record mixed with
// another's as a foreign letter in the log.
int load(int thread_count, int per_thread) {
    end_if_stuck();
    std::atomic<int> failures{0};
    std::atomic<int> wrong_replies{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < thread_count; ++t) {
        workers.emplace_back([t, per_thread, &failures, &wrong_replies] {
            const std::string fill(400, static_cast<char>('a' + t % 26));
            for (int i = 0; i < per_thread; ++i) {
                const int pad = (i * 37 + t * 11) % 400;
                char text[512];
                const int length =
                    std::snprintf(text, sizeof text, "load %d %d %.*s", t, i, pad, fill.c_str());
                const int result = slogf(100 + t, 5, "%s", text);
                if (result < 0)
                    ++failures;
                else if (result != 12 + length + 1)
                    ++wrong_replies;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    std::printf("failures %d wrong replies %d\n", failures.load(), wrong_replies.load());
    return 0;
}
