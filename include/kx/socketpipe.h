/* Wake-up channel of the services: a connected pair of non-blocking local stream sockets. */
#ifndef KX_SOCKETPIPE_H
#define KX_SOCKETPIPE_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/*
 * Fills pair with two connected stream sockets (AF_UNIX, non-blocking, close-on-exec);
 * a byte written to either end is readable on the other. Nothing listens on any network
 * interface. Returns 1, or -1 with an error record; on failure both elements are -1.
 */
KX_API int kx_socket_pipe(int pair[2]);

KX_EXTERN_C_END

#endif
