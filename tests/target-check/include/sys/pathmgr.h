// Minimal stand-in for the unit's <sys/pathmgr.h>.
#ifndef TARGET_CHECK_SYS_PATHMGR_H
#define TARGET_CHECK_SYS_PATHMGR_H

#ifdef __cplusplus
extern "C" {
#endif

int pathmgr_symlink(const char* path, const char* symlink);

#ifdef __cplusplus
}
#endif

#endif
