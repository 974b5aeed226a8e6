// Host stand-in for the unit's <devctl.h>.
#ifndef HOST_DEVCTL_H
#define HOST_DEVCTL_H

#include <stddef.h>

#ifndef EOK
#define EOK 0
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Hands a command code and a record to the service behind fd. On the host the
// request is written to fd as one frame: code, byte count, then the bytes.
// Returns EOK or an error number.
int devctl(int fd, int dcmd, void* dev_data_ptr, size_t n_bytes, int* dev_info_ptr);

#ifdef __cplusplus
}
#endif

#endif
