// Socket building blocks (socket.hpp) and the blocking-with-deadline kx_Socket_* calls.
#include "sys/socket.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "core/log.hpp"
#include "kx/address.h"
#include "kx/socket.h"
#include "kx/string.h"
#include "kx/time.h"
#include "serve/framer.hpp"

namespace kx::net {

int setOptions(int fd) {
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return kOpenReuse;
    struct linger lg = {1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) return kOpenLinger;
    return 0;
}

int setNoDelay(int fd) {
    int one = 1;
    return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 0 : -1;
}

int setNonBlocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    int want = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (want != flags && fcntl(fd, F_SETFL, want) != 0) return -1;
    return 0;
}

int openSocket(bool nonBlocking, bool udp) {
    int fd = socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) return kOpenSocket;
    int rv = setOptions(fd);
    if (rv == 0 && nonBlocking && setNonBlocking(fd, true) != 0) rv = kOpenMode;
    if (rv != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return rv;
    }
    return fd;
}

namespace {
sockaddr_in make_address(uint32_t ipv4, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipv4;
    a.sin_port = htons(port);
    return a;
}
}  // namespace

int connectStart(int fd, uint32_t ipv4, uint16_t port) {
    sockaddr_in a = make_address(ipv4, port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return kConnected;
    if (errno == EINPROGRESS || errno == EINTR) return kConnectPending;
    return kConnectFailed;
}

int pendingError(int fd, int *error) {
    int e = 0;
    socklen_t len = sizeof e;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0) return -1;
    *error = e;
    return 0;
}

ssize_t sendSome(int fd, const struct iovec *iov, int count, bool *wouldBlock) {
    *wouldBlock = false;
    ssize_t total = 0;
    int i = 0;
    while (i < count) {
        int n = count - i < IOV_MAX ? count - i : IOV_MAX;
        msghdr m{};
        m.msg_iov = const_cast<struct iovec *>(iov + i);
        m.msg_iovlen = static_cast<size_t>(n);
        size_t want = 0;
        for (int k = 0; k < n; ++k) want += iov[i + k].iov_len;
        ssize_t w = sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                *wouldBlock = true;
                return total;
            }
            return total > 0 ? total : -1;
        }
        total += w;
        if (static_cast<size_t>(w) < want) {
            *wouldBlock = true;  // the socket took what it could
            return total;
        }
        i += n;
    }
    return total;
}

int waitUntil(int fd, short events, double deadline, short *revents) {
    for (;;) {
        double left = deadline - kx_time_uptime_get();
        if (left <= 0) return 0;
        double ms = ceil(left * 1000.0);
        pollfd p{fd, events, 0};
        int rv = poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
        if (rv > 0) {
            if (revents) *revents = p.revents;
            return 1;
        }
        if (rv < 0 && errno != EINTR) return -1;
    }
}

static int address_of(int fd, uint32_t *ipv4, uint16_t *port, bool peer) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int rv = peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&a), &len)
                  : getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    if (rv != 0) return -1;
    if (ipv4) *ipv4 = a.sin_addr.s_addr;
    if (port) *port = ntohs(a.sin_port);
    return 0;
}

int localAddress(int fd, uint32_t *ipv4, uint16_t *port) { return address_of(fd, ipv4, port, false); }
int remoteAddress(int fd, uint32_t *ipv4, uint16_t *port) { return address_of(fd, ipv4, port, true); }

}  // namespace kx::net

// ---- the C calls ----

using namespace kx::net;

#define IP4(a) (unsigned char)((a) & 0xFF), (unsigned char)(((a) >> 8) & 0xFF), \
               (unsigned char)(((a) >> 16) & 0xFF), (unsigned char)((a) >> 24)

namespace {

bool parse_ipv4(const char *text, uint32_t *ipv4) {
    if (text == nullptr) return false;
    *ipv4 = kx_ipv4_network_get(strlen(text), text);
    return *ipv4 != KX_IPV4_INVALID || strcmp(text, "255.255.255.255") == 0;
}

void close_keep_errno(int fd) {
    int err = errno;
    close(fd);
    errno = err;
}

// Socket, options and mode of a listening socket, then bind and listen. Labels follow the
// caller's form (tcp: ipv4 text; local: port only).
int bind_listen(uint32_t ipv4, uint16_t port, int block, uint32_t connectCount, bool local, const char *label) {
    int fd = openSocket(block == 1);
    if (fd < 0) {
        int err = errno;
        if (local) {
            if (fd == kOpenSocket)
                KX_LOG_ERROR_AT(5, __LINE__, label, "Socket error:\"%s\",port=%hu,block=%hhd,connectCount=%hu.",
                                kx::errtext(err), port, (signed char)block, (uint16_t)connectCount);
            else
                KX_LOG_ERROR_AT(5, __LINE__, label, "Setsockopt error:\"%s\",port=%hu,block=%hhd,connectCount=%hu.",
                                kx::errtext(err), port, (signed char)block, (uint16_t)connectCount);
        } else if (fd == kOpenSocket) {
            KX_LOG_ERROR_AT(5, __LINE__, label, "Socket error:\"%s\",ipv4:\"%hhu.%hhu.%hhu.%hhu:%hu\",block=%d,connectCount=%u",
                            kx::errtext(err), IP4(ipv4), port, block, connectCount);
        } else if (fd == kOpenReuse) {
            KX_LOG_ERROR_AT(5, __LINE__, label, "SO_REUSEADDR error:\"%s\",sock=%d,ipv4:\"%hhu.%hhu.%hhu.%hhu:%hu\",block=%d,connectCount=%u",
                            kx::errtext(err), -1, IP4(ipv4), port, block, connectCount);
        } else if (fd == kOpenLinger) {
            KX_LOG_ERROR_AT(5, __LINE__, label, "Setsockopt error:\"%s\",sock=%d,ipv4:\"%hhu.%hhu.%hhu.%hhu:%hu\",block=%d,connectCount=%u",
                            kx::errtext(err), -1, IP4(ipv4), port, block, connectCount);
        } else {
            KX_LOG_ERROR_AT(5, __LINE__, label, "ioctlsocket error:\"%s\",sock=%d,server:\"%hhu.%hhu.%hhu.%hhu:%hu\",rv=%d.",
                            kx::errtext(err), -1, IP4(ipv4), port, fd);
        }
        return fd;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipv4;
    a.sin_port = local ? port : htons(port);  // local ports are in network order
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        if (local)
            KX_LOG_ERROR_AT(5, __LINE__, label, "Bind failed:\"%s\",sock=%d,port=%hu,block=%hhd,connectCount=%hu.",
                            kx::errtext(errno), fd, ntohs(port), (signed char)block, (uint16_t)connectCount);
        else
            KX_LOG_ERROR_AT(5, __LINE__, label, "Bind failed,sock=%d,ipv4:\"%hhu.%hhu.%hhu.%hhu:%hu\",block=%d,connectCount=%u",
                            fd, IP4(ipv4), port, block, connectCount);
        close_keep_errno(fd);
        return -5;
    }
    int backlog = connectCount > SOMAXCONN ? SOMAXCONN : static_cast<int>(connectCount);
    if (listen(fd, backlog) != 0) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Listen failed, error:\"%s\",sock=%d,ipv4:\"%hhu.%hhu.%hhu.%hhu:%hu\",block=%d,connectCount=%u",
                        kx::errtext(errno), fd, IP4(ipv4), local ? ntohs(port) : port, block, connectCount);
        close_keep_errno(fd);
        return -6;
    }
    return fd;
}

// The connect procedure: options, non-blocking connect, wait for writability, pending
// error, then the mode the caller asked for.
int connect_ipv4(uint32_t ipv4, uint16_t port, int block, double timeout, const char *label) {
    const double deadline = kx_time_uptime_get() + timeout;
    int fd = openSocket(true);
    if (fd < 0) {
        int err = errno;
        if (fd == kOpenSocket)
            KX_LOG_ERROR_AT(5, __LINE__, label, "Socket error:\"%s\",server:\"%hhu.%hhu.%hhu.%hhu:%hu\",rv=%d.",
                            kx::errtext(err), IP4(ipv4), port, fd);
        else if (fd == kOpenMode)
            KX_LOG_ERROR_AT(5, __LINE__, label, "ioctlsocket error:\"%s\",sock=%d,server:\"%hhu.%hhu.%hhu.%hhu:%hu\",rv=%d.",
                            kx::errtext(err), -1, IP4(ipv4), port, fd);
        else
            KX_LOG_ERROR_AT(5, __LINE__, label, "Setsockopt error:\"%s\",sock=%d,server:\"%hhu.%hhu.%hhu.%hhu:%hu\".",
                            kx::errtext(err), -1, IP4(ipv4), port);
        return fd;
    }
    int state = connectStart(fd, ipv4, port);
    if (state == kConnectFailed) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Connect error:\"%s\",sock=%d,server:\"%hhu.%hhu.%hhu.%hhu:%hu\".",
                        kx::errtext(errno), fd, IP4(ipv4), port);
        close_keep_errno(fd);
        return -5;
    }
    if (state == kConnectPending) {
        int rv = waitUntil(fd, POLLOUT, deadline);
        if (rv <= 0) {
            if (rv < 0)
                KX_LOG_ERROR_AT(5, __LINE__, label, "Select error:\"%s\",sock=%d,server:\"%hhu.%hhu.%hhu.%hhu:%hu\".",
                                kx::errtext(errno), fd, IP4(ipv4), port);
            close_keep_errno(fd);
            return -6;
        }
    }
    int err = 0;
    if (pendingError(fd, &err) != 0) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Getsockopt error:\"%s\",sock=%d,server:\"%hhu.%hhu.%hhu.%hhu:%hu\".",
                        kx::errtext(errno), fd, IP4(ipv4), port);
        close_keep_errno(fd);
        return -7;
    }
    if (err != 0) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "opt(=%d) error:\"%s\",sock=%d,server:\"%hhu.%hhu.%hhu.%hhu:%hu\".", err,
                        kx::errtext(err), fd, IP4(ipv4), port);
        close(fd);
        errno = err;
        return -7;
    }
    if (block != 1 && setNonBlocking(fd, false) != 0) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "ioctlsocket error:\"%s\",sock=%d,server:\"%hhu.%hhu.%hhu.%hhu:%hu\",rv=%d.",
                        kx::errtext(errno), fd, IP4(ipv4), port, -1);
        close_keep_errno(fd);
        return -4;
    }
    return fd;
}

// Outcome of one receive step of a deadline loop.
enum Step { kStepData, kStepAgain, kStepClosed, kStepError };

Step recv_step(int fd, char *p, size_t n, size_t *got, int flags = 0) {
    ssize_t r = recv(fd, p, n, MSG_DONTWAIT | flags);
    if (r > 0) {
        *got = static_cast<size_t>(r);
        return kStepData;
    }
    if (r == 0) return kStepClosed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kStepAgain;
    return kStepError;
}

Step send_step(int fd, const char *p, size_t n, size_t *put) {
    ssize_t r = send(fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r >= 0) {
        *put = static_cast<size_t>(r);
        return kStepData;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kStepAgain;
    return kStepError;
}

// One exact transfer to a deadline: how it ended and how many bytes moved.
enum End { kEndDone, kEndDeadline, kEndWaitFailed, kEndClosed, kEndError };
struct Transfer {
    End end;
    size_t moved;
    int err;
};

Transfer transfer(int fd, void *buffer, size_t length, double deadline, bool out) {
    auto *p = static_cast<char *>(buffer);
    size_t moved = 0;
    while (moved < length) {
        int w = waitUntil(fd, out ? POLLOUT : POLLIN, deadline);
        if (w == 0) return {kEndDeadline, moved, 0};
        if (w < 0) return {kEndWaitFailed, moved, errno};
        size_t n = 0;
        Step s = out ? send_step(fd, p + moved, length - moved, &n) : recv_step(fd, p + moved, length - moved, &n);
        if (s == kStepData) moved += n;
        else if (s == kStepClosed) return {kEndClosed, moved, 0};
        else if (s == kStepError) return {kEndError, moved, errno};
    }
    return {kEndDone, moved, 0};
}

// Receives until the data ends with the terminator, into a growing std::string (bounded by
// capacity). 1 found, -1 time-out or wait failure, -3 receive error or peer close, -4 full.
int recv_until(int fd, const char *terminator, size_t capacity, size_t chunk, double deadline, std::string *out,
               const char *label) {
    const size_t tlen = terminator ? strlen(terminator) : 0;
    if (chunk == 0) chunk = 512;
    out->clear();
    for (;;) {
        if (tlen > 0 && out->size() >= tlen && memcmp(out->data() + out->size() - tlen, terminator, tlen) == 0)
            return 1;
        if (out->size() >= capacity) {
            KX_LOG_ERROR_AT(5, __LINE__, label, "Buffer is full.len=%u", (unsigned)out->size());
            return -4;
        }
        int w = waitUntil(fd, POLLIN, deadline);
        if (w <= 0) {
            if (w < 0) KX_LOG_ERROR_AT(5, __LINE__, label, "Select error:\"%s\",sock=%d", kx::errtext(errno), fd);
            else KX_LOG_ERROR_AT(5, __LINE__, label, "Timeout");
            return -1;
        }
        // Peek, then take only up to the end of the terminator: what follows stays queued.
        size_t room = capacity - out->size();
        if (room > chunk) room = chunk;
        size_t old = out->size();
        out->resize(old + room);
        size_t got = 0;
        Step s = recv_step(fd, out->data() + old, room, &got, MSG_PEEK);
        if (s != kStepData) {
            out->resize(old);
            if (s == kStepAgain) continue;
            KX_LOG_ERROR_AT(5, __LINE__, label, "Recv error:\"%s\",sock=%d", s == kStepClosed ? "closed" : kx::errtext(errno), fd);
            return -3;
        }
        size_t take = got;
        if (tlen > 0) {
            size_t from = old >= tlen - 1 ? old - (tlen - 1) : 0;
            for (size_t i = from; i + tlen <= old + got; ++i) {
                if (memcmp(out->data() + i, terminator, tlen) == 0) {
                    take = i + tlen - old;
                    break;
                }
            }
        }
        out->resize(old + take);
        size_t taken = 0;
        while (taken < take) {
            size_t n = 0;
            if (recv_step(fd, out->data() + old + taken, take - taken, &n) != kStepData) {
                KX_LOG_ERROR_AT(5, __LINE__, label, "Recv error:\"%s\",sock=%d", kx::errtext(errno), fd);
                return -3;
            }
            taken += n;
        }
    }
}

}  // namespace

extern "C" {

int kx_Socket_tcpIpv4_bind__IO(uint32_t ipv4, uint16_t port, int block, uint32_t connectCount) {
    return bind_listen(ipv4, port, block, connectCount, false, __func__);
}

int kx_Socket_tcpIpv4_bind_byStringIP__IO(const char *text, uint16_t port, int block, uint32_t connectCount) {
    uint32_t ipv4 = INADDR_ANY;
    if (text != nullptr && !parse_ipv4(text, &ipv4)) {
        KX_LOGE("Invalid ipv4:\"%s:%hu\",block=%d,connectCount=%u", text, port, block, connectCount);
        return -7;
    }
    return bind_listen(ipv4, port, block, connectCount, false, __func__);
}

int kx_Socket_unix_bind__IO(uint16_t *port, int block, uint32_t connectCount) {
    if (port == nullptr) {
        KX_LOGE("Invalid port=%d.", 0);
        return -7;
    }
    // Local sockets listen on the loopback address only.
    int fd = bind_listen(htonl(INADDR_LOOPBACK), *port, block, connectCount, true, __func__);
    if (fd < 0) return fd;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        KX_LOGE("Getsockname error:\"%s\",sock=%d,port=%hu,block=%hhd,connectCount=%hu.", kx::errtext(errno), fd,
                ntohs(*port), (signed char)block, (uint16_t)connectCount);
        close_keep_errno(fd);
        return -7;
    }
    if (a.sin_port == 0) {
        KX_LOGE("Invalid port=%d.", 0);
        close(fd);
        return -7;
    }
    *port = a.sin_port;
    return fd;
}

int kx_Socket_unix_connect__IO(uint16_t port, int block, double timeout) {
    return connect_ipv4(htonl(INADDR_LOOPBACK), ntohs(port), block, timeout, __func__);
}

int kx_Socket_unix_accept_noblock(uint32_t *ipv4, uint16_t *port, int listenSock, int block) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int fd = accept4(listenSock, reinterpret_cast<sockaddr *>(&a), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        KX_LOGE("Accept error:\"%s\",listenSock=%d,rv=%d", kx::errtext(errno), listenSock, fd);
        return -2;
    }
    int rv = setOptions(fd);
    if (rv != 0) {
        KX_LOGE("Setsockopt error:\"%s\",sock=%d,listenSock=%d.", kx::errtext(errno), fd, listenSock);
        close_keep_errno(fd);
        return rv == kOpenReuse ? -3 : -4;
    }
    if (setNonBlocking(fd, block == 1) != 0) {
        KX_LOGE("ioctlsocket error:\"%s\",sock=%d", kx::errtext(errno), fd);
        close_keep_errno(fd);
        return -5;
    }
    if (ipv4) *ipv4 = a.sin_addr.s_addr;
    if (port) *port = ntohs(a.sin_port);
    return fd;
}

int kx_Socket_unix_accept(uint32_t *ipv4, uint16_t *port, int listenSock, int block, double timeout) {
    int w = waitUntil(listenSock, POLLIN, kx_time_uptime_get() + timeout);
    if (w < 0) {
        KX_LOGE("Select error:\"%s\",listenSock=%d,rv=%d.", kx::errtext(errno), listenSock, w);
        return -1;
    }
    if (w == 0) return -6;
    return kx_Socket_unix_accept_noblock(ipv4, port, listenSock, block);
}

int kx_Socket_set_block(int sock, int block) {
    if (setNonBlocking(sock, block == 1) != 0) {
        KX_LOGE("ioctlsocket error:\"%s\",sock=%d", kx::errtext(errno), sock);
        close(sock);
        return -2;
    }
    return 1;
}

int kx_Socket_addr_get_local(uint32_t *ipv4, uint16_t *port, int sock) {
    if (localAddress(sock, ipv4, port) != 0) {
        KX_LOGE("Run getsockname error:\"%s\",sock=%d.", kx::errtext(errno), sock);
        return -1;
    }
    return 1;
}

int kx_Socket_addr_get_remote(uint32_t *ipv4, uint16_t *port, int sock) {
    if (remoteAddress(sock, ipv4, port) != 0) {
        KX_LOGE("Run getsockname error:\"%s\",sock=%d.", kx::errtext(errno), sock);
        return -1;
    }
    return 1;
}

int kx_Socket_tcpIPv4_connect__IO(uint32_t ipv4, uint16_t port, int block, double timeout) {
    return connect_ipv4(ipv4, port, block, timeout, __func__);
}

int kx_Socket_tcpIPv4_connect_byStringIP__IO(const char *text, uint16_t port, int block, double timeout) {
    uint32_t ipv4;
    if (!parse_ipv4(text, &ipv4)) {
        KX_LOGE("Convert ipv4 failed,server:\"%s:%hu\".", text ? text : "", port);
        return -7;
    }
    return connect_ipv4(ipv4, port, block, timeout, __func__);
}

int kx_Socket_tcpIPv4_recv_by_sock(int sock, void *buffer, uint32_t length, double timeout) {
    Transfer t = transfer(sock, buffer, length, kx_time_uptime_get() + timeout, false);
    switch (t.end) {
        case kEndDone: return 1;
        case kEndDeadline: return t.moved > 0 ? -1 : -2;
        case kEndWaitFailed:
            KX_LOGE("Select error:\"%s\",sock=%d", kx::errtext(t.err), sock);
            return -2;
        default:
            KX_LOGE("Recv error:\"%s\",sock=%d", t.end == kEndClosed ? "closed" : kx::errtext(t.err), sock);
            return -3;
    }
}

int kx_Socket_recv_by_sock(int sock, void *buffer, uint32_t length, double timeout) {
    Transfer t = transfer(sock, buffer, length, kx_time_uptime_get() + timeout, false);
    switch (t.end) {
        case kEndDone: return 1;
        case kEndDeadline: return -3;
        case kEndWaitFailed:
            KX_LOGE("Select error:\"%s\",sock=%d,rv=%d", kx::errtext(t.err), sock, -1);
            return -1;
        default:
            KX_LOGE("Recv error:\"%s\",sock=%d,rv=%d.", t.end == kEndClosed ? "closed" : kx::errtext(t.err), sock,
                    t.end == kEndClosed ? 0 : -1);
            return -2;
    }
}

int kx_Socket_tcpIPv4_send_by_sock(int sock, uint32_t length, const void *data, double timeout) {
    Transfer t = transfer(sock, const_cast<void *>(data), length, kx_time_uptime_get() + timeout, true);
    switch (t.end) {
        case kEndDone: return 1;
        case kEndDeadline: return t.moved > 0 ? -1 : -2;
        case kEndWaitFailed:
            KX_LOGE("Select error:\"%s\",sock=%d,rv=%d", kx::errtext(t.err), sock, -1);
            return -2;
        default:
            KX_LOGE("Send error:\"%s\",sock=%d,rv=%d", kx::errtext(t.err), sock, -1);
            return -3;
    }
}

int kx_Socket_tcpIPv4_send_and_recv_by_sock(int sock, const void *sendData, uint32_t sendLength, void *recvBuffer,
                                            uint32_t recvLength, double timeout) {
    const double deadline = kx_time_uptime_get() + timeout;
    const auto *out = static_cast<const char *>(sendData);
    auto *in = static_cast<char *>(recvBuffer);
    size_t put = 0, got = 0;
    while (put < sendLength || got < recvLength) {
        if (kx_time_uptime_get() >= deadline) return -2;
        short want = static_cast<short>((put < sendLength ? POLLOUT : 0) | (got < recvLength ? POLLIN : 0));
        short ready = 0;
        int w = waitUntil(sock, want, deadline, &ready);
        if (w <= 0) {
            if (w < 0) KX_LOGE("Select error:\"%s\",sock=%d,rv=%d", kx::errtext(errno), sock, w);
            return -1;
        }
        if (got < recvLength && (ready & (POLLIN | POLLHUP | POLLERR))) {
            size_t n = 0;
            Step s = recv_step(sock, in + got, recvLength - got, &n);
            if (s == kStepData) got += n;
            else if (s != kStepAgain) {
                KX_LOGE("Recv error:\"%s\",sock=%d,rv=%d.", s == kStepClosed ? "closed" : kx::errtext(errno), sock, -1);
                return -3;
            }
        }
        if (put < sendLength && (ready & (POLLOUT | POLLERR))) {
            size_t n = 0;
            Step s = send_step(sock, out + put, sendLength - put, &n);
            if (s == kStepData) put += n;
            else if (s == kStepError) {
                KX_LOGE("Send error:\"%s\",sock=%d,rv=%d", kx::errtext(errno), sock, -1);
                return -4;
            }
        }
    }
    return 1;
}

int kx_Socket_tcpIPv4_send_and_recv_by_ipv4(const char *text, uint16_t port, const void *sendData,
                                            uint32_t sendLength, void *recvBuffer, uint32_t recvLength,
                                            double timeout) {
    const double deadline = kx_time_uptime_get() + timeout;
    uint32_t ipv4;
    if (!parse_ipv4(text, &ipv4)) {
        KX_LOGE("Convert ipv4 failed,server:\"%s:%hu\".", text ? text : "", port);
        return -7;
    }
    int fd = connect_ipv4(ipv4, port, 0, timeout, __func__);
    if (fd < 0) return fd;
    double left = deadline - kx_time_uptime_get();
    int rv = -6;
    if (left > 0) {
        rv = kx_Socket_tcpIPv4_send_and_recv_by_sock(fd, sendData, sendLength, recvBuffer, recvLength, left);
        if (rv != 1) rv -= 4;
    }
    close(fd);
    return rv;
}

kx_String *kx_Socket_tcpIPv4_recv_by_sock_until_string__IO(int sock, const char *terminator, uint32_t chunk,
                                                          double timeout) {
    std::string data;
    if (recv_until(sock, terminator, UINT32_MAX - 1, chunk, kx_time_uptime_get() + timeout, &data, __func__) != 1)
        return nullptr;
    return kx_String_new_form_stringBuffer__IO(data.data(), static_cast<uint32_t>(data.size()));
}

long kx_Socket_tcpIPv4_recv_by_sock_until_string(int sock, const char *terminator, uint32_t capacity, char *buffer,
                                                 double timeout) {
    std::string data;
    int rv = recv_until(sock, terminator, capacity, 4096, kx_time_uptime_get() + timeout, &data, __func__);
    if (rv != 1) return rv;
    memcpy(buffer, data.data(), data.size());
    return static_cast<long>(data.size());
}

long kx_Socket_tcpIPv4_send_and_recv_by_sock_until_string(int sock, uint32_t sendLength, const void *sendData,
                                                          const char *terminator, uint32_t capacity, char *buffer,
                                                          double timeout) {
    const double deadline = kx_time_uptime_get() + timeout;
    int rv = kx_Socket_tcpIPv4_send_by_sock(sock, sendLength, sendData, timeout);
    if (rv != 1) return rv;
    std::string data;
    rv = recv_until(sock, terminator, capacity, 4096, deadline, &data, __func__);
    if (rv != 1) return rv;
    memcpy(buffer, data.data(), data.size());
    return static_cast<long>(data.size());
}

long kx_Socket_tcpIPv4_recv_httpData_by_sock(int sock, uint32_t capacity, char *buffer, double timeout) {
    const double deadline = kx_time_uptime_get() + timeout;
    std::string data;
    int rv = recv_until(sock, "\r\n\r\n", capacity, 4096, deadline, &data, __func__);
    if (rv != 1) return rv;
    uint64_t body = 0;
    if (kx::pool::httpContentLength(data.data(), data.size(), capacity, &body) != 1) {
        KX_LOGE("Buffer is full.len=%u", (unsigned)data.size());
        return -4;
    }
    if (data.size() + body > capacity) {
        KX_LOGE("Buffer is full.len=%u", (unsigned)(data.size() + body));
        return -4;
    }
    memcpy(buffer, data.data(), data.size());
    if (body > 0) {
        rv = kx_Socket_tcpIPv4_recv_by_sock(sock, buffer + data.size(), static_cast<uint32_t>(body),
                                            deadline - kx_time_uptime_get());
        if (rv != 1) {
            if (rv != -3) KX_LOGE("Timeout");
            return rv == -3 ? -3 : -1;
        }
    }
    return static_cast<long>(data.size() + body);
}

int kx_Socket_udpIPv4_connect__IO(uint32_t ipv4, uint16_t port, int block) {
    int fd = openSocket(block == 1, true);
    if (fd < 0) {
        KX_LOGE("Socket error:\"%s\",server:\"%hhu.%hhu.%hhu.%hhu:%hu\",rv=%d.", kx::errtext(errno), IP4(ipv4), port, fd);
        return fd;
    }
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipv4;
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        KX_LOGE("Connect error:\"%s\",sock=%d,server:\"%hhu.%hhu.%hhu.%hhu:%hu\".", kx::errtext(errno), fd, IP4(ipv4),
                port);
        close_keep_errno(fd);
        return -5;
    }
    return fd;
}

struct zr7ee_udpSender {
    int sock;
    sockaddr_in address;
};

zr7ee_udpSender *zr7ee_Socket_udpIPv4_new__IO(uint32_t ipv4, uint8_t prefixLength, uint16_t port) {
    if (prefixLength > 32) {
        KX_LOGE("Invalid prefixLength=%hhu.", prefixLength);
        return nullptr;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        KX_LOGE("Socket error:\"%s\".", kx::errtext(errno));
        return nullptr;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        KX_LOGE("Setsockopt error:\"%s\",sock=%d.", kx::errtext(errno), fd);
        close(fd);
        return nullptr;
    }
    auto *s = static_cast<zr7ee_udpSender *>(calloc(1, sizeof(zr7ee_udpSender)));
    if (s == nullptr) {
        close(fd);
        return nullptr;
    }
    uint32_t hostMask = prefixLength == 0 ? 0xFFFFFFFFu : (prefixLength == 32 ? 0u : 0xFFFFFFFFu >> prefixLength);
    s->sock = fd;
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = htonl(ntohl(ipv4) | hostMask);
    return s;
}

int zr7ee_Socket_udpIPv4_send(zr7ee_udpSender *sender, const void *data, uint32_t length) {
    if (sender == nullptr) return -1;
    ssize_t n = sendto(sender->sock, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&sender->address),
                       sizeof sender->address);
    if (n != static_cast<ssize_t>(length)) {
        KX_LOGE("Sendto error:\"%s\",sock=%d,rv=%ld.", kx::errtext(errno), sender->sock, (long)n);
        return -1;
    }
    return 1;
}

void zr7ee_Socket_udpIPv4_delete__OI(zr7ee_udpSender **sender) {
    if (sender == nullptr || *sender == nullptr) return;
    zr7ee_udpSender *s = *sender;
    *sender = nullptr;
    close(s->sock);
    free(s);
}

}  // extern "C"
