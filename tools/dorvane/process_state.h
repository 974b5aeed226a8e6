// Process-wide state of dorvane: who it says it is and the devices it opened.
#pragma once

inline constexpr char TOOL_SELF_NAME[] = "dorvane";
inline constexpr unsigned TOOL_NAME_SIZE = 50;
inline constexpr char AUDIO_DEBUG_DEVICE[] = "/dev/vellmar/debug";

// First argument of every error record and complaint. Set once at start-up.
extern char* tool_name;
// The audio manager's debug device; 0 until opened.
extern int debug_fd;
// The -p device; 0 until one is opened. With standard input closed the device
// itself may be descriptor 0: a2i_path, not a2i_fd, tells whether -p was given.
extern int a2i_fd;
// Heap copy of the last -p argument, null until a -p is read; replaced by a later -p.
extern char* a2i_path;

// Puts the self-name into tool_name.
void set_tool_name();
// Opens a device read-write; a device that cannot be opened ends the run with status 1.
int open_device_or_exit(const char* path);
// Remembers and opens the -p device; an earlier descriptor stays open.
void open_a2i_device(const char* path);
// Closes what start-up and -p opened, debug device first. A descriptor 0 is
// taken for "never opened" and left to the process exit.
void close_devices();
