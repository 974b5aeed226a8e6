// Host stand-in for the unit's <sys/pathmgr.h>.
#ifndef HOST_SYS_PATHMGR_H
#define HOST_SYS_PATHMGR_H

#ifdef __cplusplus
extern "C" {
#endif

// Makes link_name a link to path. On the host the link lives in the file system.
// Returns 0, or -1 with errno.
int pathmgr_symlink(const char* path, const char* link_name);

#ifdef __cplusplus
}
#endif

#endif
