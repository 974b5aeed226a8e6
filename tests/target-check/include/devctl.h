// Minimal stand-in for the unit's <devctl.h>. EOK comes from <errno.h> there.
#ifndef TARGET_CHECK_DEVCTL_H
#define TARGET_CHECK_DEVCTL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int devctl(int filedes, int dcmd, void* dev_data_ptr, size_t n_bytes, int* dev_info_ptr);

#ifdef __cplusplus
}
#endif

#endif
