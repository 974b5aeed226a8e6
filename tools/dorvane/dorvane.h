// dorvane's process state and the steps of a run, as its main calls them and
// its tests reach them. dorvane.cpp says what each holds and does.
#pragma once

#include <cstdint>

inline constexpr char TOOL_SELF_NAME[] = "dorvane";
inline constexpr unsigned TOOL_NAME_SIZE = 50;

extern char* tool_name;
extern int debug_fd;
extern int a2i_fd;
extern char* a2i_path;

void set_tool_name();
void open_debug_device();
void open_a2i_device(const char* path);
int handle_options(int argc, char* argv[]);
void close_devices();

std::uint32_t to_u32_like_target(const char* text);
