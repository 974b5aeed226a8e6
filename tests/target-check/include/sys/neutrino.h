// Minimal stand-in for the unit's <sys/neutrino.h>: the declarations the
// product uses, with the unit's types, so the product compiles without the
// host layer. Not the platform's header; only what the product relies on.
#ifndef TARGET_CHECK_SYS_NEUTRINO_H
#define TARGET_CHECK_SYS_NEUTRINO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    void* iov_base;
    size_t iov_len; // 32 bits on the unit
} iov_t;

#define SETIOV(_iov, _addr, _len) ((_iov)->iov_base = (void*)(_addr), (_iov)->iov_len = (_len))

long MsgSendv(int coid, const iov_t* siov, size_t sparts, const iov_t* riov, size_t rparts);

size_t __stackavail(void);

#ifdef __cplusplus
}
#endif

#endif
