// Native epoll for the service threads, and the wake-up channel built on kx_socket_pipe.
#include "core/poller.hpp"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.hpp"
#include "kx/socketpipe.h"

namespace kx {

Poller::Poller() {
    fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (fd_ < 0) {
        int err = errno;
        KX_LOGE("Epoll_create1 error:\"%s\".", errtext(err));
        errno = err;
    }
}

Poller::~Poller() {
    if (fd_ >= 0) close(fd_);
}

int Poller::add(int fd, uint32_t events, void *data) { return control(EPOLL_CTL_ADD, fd, events, data); }

int Poller::modify(int fd, uint32_t events, void *data) { return control(EPOLL_CTL_MOD, fd, events, data); }

int Poller::remove(int fd) { return control(EPOLL_CTL_DEL, fd, 0, nullptr); }

int Poller::control(int op, int fd, uint32_t events, void *data) {
    if (op != EPOLL_CTL_ADD && op != EPOLL_CTL_DEL && op != EPOLL_CTL_MOD) {
        KX_LOGE("Invalid op(=%d),fd=%d,events=%#x,data=%#lx error.", op, fd, events,
                (unsigned long)(uintptr_t)data);
        errno = EINVAL;
        return -1;
    }
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.ptr = data;
    if (epoll_ctl(fd_, op, fd, &ev) == 0) {
        if (op == EPOLL_CTL_ADD) {
            count_.fetch_add(1, std::memory_order_relaxed);
        } else if (op == EPOLL_CTL_DEL) {
            count_.fetch_sub(1, std::memory_order_relaxed);
        }
        return 0;
    }
    int err = errno;  // printing may change errno; callers read it after -1
    switch (op) {
    case EPOLL_CTL_ADD:
        KX_LOGE("Add fd=%d,events=%#x error.", fd, events);
        break;
    case EPOLL_CTL_DEL:
        KX_LOGE("Del fd=%d,error.", fd);
        break;
    default:
        KX_LOGE("Mod fd=%d,events=%#x error.", fd, events);
        break;
    }
    errno = err;
    return -1;
}

int Poller::wait(struct epoll_event *out, int maxEvents, int timeoutMs) {
    int rv;
    int err;
    if (out == nullptr || maxEvents < 1) {
        rv = -1;
        err = EINVAL;
    } else {
        rv = epoll_wait(fd_, out, maxEvents, timeoutMs);
        if (rv >= 0) return rv;
        err = errno;
        if (err == EINTR) return 0;  // a signal: an early wake with nothing ready
    }
    KX_LOGE("Select error:\"%s\",rv=%d,count=%lu/%d,timeout=%d.", errtext(err), rv, (unsigned long)count(), maxEvents,
            timeoutMs);
    errno = err;
    return -1;
}

WakeChannel::WakeChannel() {
    int pair[2];
    if (kx_socket_pipe(pair) == 1) {
        fds_[0] = pair[0];
        fds_[1] = pair[1];
    }
}

WakeChannel::~WakeChannel() {
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
}

int WakeChannel::notify(char c) {
    if (fds_[1] < 0) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        ssize_t n = send(fds_[1], &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == 1) return 1;
        if (n < 0 && errno == EINTR) continue;
        // A full channel already holds unread bytes, so the reader will wake.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 1;
        if (n == 0) errno = EIO;
        return -1;
    }
}

long WakeChannel::drain(char *lastByte) {
    if (fds_[0] < 0) {
        errno = EBADF;
        return -1;
    }
    long total = 0;
    char buf[256];
    for (;;) {
        ssize_t n = recv(fds_[0], buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            total += n;
            if (lastByte != nullptr) *lastByte = buf[n - 1];
            continue;
        }
        if (n == 0) return total;  // the other end is gone (cannot happen while we own both)
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return total;
        return -1;
    }
}

}  // namespace kx
