// Bounded purge of one stale lookup database, its own file so that unit tests
// reach it without the start-up sequence.
#pragma once

// Removes at most a fixed number of entries of one directory; null is ignored.
void purge_dir(const char* dir_path);
