// The wake-up channel of the services: a connected local socket pair.
#include "kx/socketpipe.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.hpp"

extern "C" int kx_socket_pipe(int pair[2]) {
    if (pair == nullptr) {
        KX_LOGE("Invalid pair.");
        return -1;
    }
    pair[0] = -1;
    pair[1] = -1;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        int err = errno;
        KX_LOGE("Socketpair error:\"%s\".", kx::errtext(err));
        errno = err;
        return -1;
    }
    pair[0] = fds[0];
    pair[1] = fds[1];
    return 1;
}
