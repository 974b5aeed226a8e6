// The unit's <errno.h> also names success: EOK. The rest is the host's.
#ifndef TARGET_CHECK_ERRNO_H
#define TARGET_CHECK_ERRNO_H

#include_next <errno.h>

#ifndef EOK
#define EOK 0
#endif

#endif
