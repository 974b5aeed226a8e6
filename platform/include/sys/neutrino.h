// Host stand-in for the unit's <sys/neutrino.h>: only what the programs use.
#ifndef HOST_SYS_NEUTRINO_H
#define HOST_SYS_NEUTRINO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// One element of an I/O vector: start address, then a 32-bit length, as on the unit.
typedef struct iov_t {
    void* iov_base;
    uint32_t iov_len;
} iov_t;

#define SETIOV(_iov, _addr, _len)                                                                  \
    ((_iov)->iov_base = (void*)(_addr), (_iov)->iov_len = (uint32_t)(_len))

// Sends the gathered parts as one message on a connection and waits for the reply.
// Connection 0x40000000 is the process manager's side channel (/dev/sidechannel
// on the host); any other connection is a file descriptor.
long MsgSendv(int coid, const iov_t* siov, long sparts, const iov_t* riov, long rparts);

// Bytes of stack still free to the calling thread.
size_t __stackavail(void);

#ifdef __cplusplus
}
#endif

#endif
