// Bounded purge of the stale lookup databases.
#pragma once

// Purges the lookup directories when the last run did not confirm its backup.
void purge_if_backup_missing();
// Removes at most a fixed number of entries of one directory; null is ignored.
void purge_dir(const char* dir_path);
