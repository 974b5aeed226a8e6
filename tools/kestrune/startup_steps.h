// The steps of the media set-up, in the order main runs them.
#pragma once

// Set by each -h: the unit reported a hard disk.
extern bool hdd_present;

void start_kernel_trace_if_requested();
void read_options(int argc, char* argv[]);
void set_up_storage();
void ensure_dir(const char* path);
bool link_qdb_instance(const char* target, const char* link_name);
void create_ready_marker();
