// The modes of log_probe, each a function of its own, grouped by what they
// probe: delivery (probe_delivery.cpp), threads (probe_threads.cpp), forks
// (probe_forks.cpp) and the stack guard (probe_stack.cpp). log_probe.cpp
// names them and their arguments.
#pragma once

#include <chrono>
#include <cstddef>

// The mode that also logs and forks before main.
inline constexpr char EARLY_FORKS[] = "early-forks";

int records();
int front(int count);
int restart();
int stream();
int descriptor();
int threads(int thread_count, int per_thread);
int load(int thread_count, int per_thread);
int fork_while_logging(int forks);
int forks_while_threads_log(int forks, int thread_count, bool early);
int fork_handlers_that_log(int forks);
int checked_forks(int forks);
int stack_sweep(std::size_t from, std::size_t to, std::size_t step, const char* kind);

// The client's result on standard output: the reply, or -1 and errno's text.
void print_result(int result);

// A probe left waiting gives up rather than hang its test; a run that
// deadlocks is ended by SIGALRM after as long (end_if_stuck).
constexpr auto give_up_after = std::chrono::seconds(120);
void end_if_stuck();
