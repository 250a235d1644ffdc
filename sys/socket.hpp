// Socket building blocks shared by the services and the kx_Socket_* calls: TCP set-up,
// non-blocking connect, the pending-error check, gathered sends that stop when the socket
// would block, and waits on one descriptor to a deadline (poll, so descriptor numbers of
// 1024 and above are fine). Nothing here logs; callers log with their own records.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/uio.h>

namespace kx::net {

// Steps of openTcp; a failure returns the negative step with errno set.
enum OpenStep : int { kOpenSocket = -1, kOpenReuse = -2, kOpenLinger = -3, kOpenMode = -4 };

// A TCP/IPv4 (or UDP with udp) socket, close-on-exec, with address reuse on and linger on
// with a zero time-out (a close resets the connection), non-blocking when asked. The
// descriptor, or an OpenStep with errno set (nothing stays open).
int openSocket(bool nonBlocking, bool udp = false);
inline int openTcp(bool nonBlocking) { return openSocket(nonBlocking, false); }

// Address reuse and zero linger on an existing socket (accepted ones). 0, or kOpenReuse /
// kOpenLinger with errno set.
int setOptions(int fd);

// TCP_NODELAY on: small writes go out at once instead of waiting for the peer's
// acknowledgement (senders that gather their own writes). 0, or -1 with errno set.
int setNoDelay(int fd);

// O_NONBLOCK on or off. 0, or -1 with errno set.
int setNonBlocking(int fd, bool on);

enum ConnectState : int { kConnectFailed = -1, kConnectPending = 0, kConnected = 1 };
// Starts a connect of a non-blocking socket to ipv4 (network order) : port (host order).
// kConnected, kConnectPending (wait for writability, then pendingError), or kConnectFailed
// with errno set.
int connectStart(int fd, uint32_t ipv4, uint16_t port);

// The socket's pending error (SO_ERROR): 0 with *error set, or -1 when it cannot be read
// (errno set).
int pendingError(int fd, int *error);

// Writes as much of the buffers as the socket takes now, never raising SIGPIPE. Returns the
// bytes written (possibly 0 when it would block at once; *wouldBlock tells), or -1 on an
// error (errno set). count may exceed IOV_MAX: the buffers go out in several calls.
ssize_t sendSome(int fd, const struct iovec *iov, int count, bool *wouldBlock);

// Waits until fd is ready for events (POLLIN / POLLOUT) or the uptime passes deadline.
// Interrupted waits continue with the time left. 1 ready (*revents set when non-null),
// 0 deadline passed, -1 the wait failed (errno set).
int waitUntil(int fd, short events, double deadline, short *revents = nullptr);

// sockaddr helpers: address (network order) and port (host order) of a socket's own or
// peer end. 0, or -1 with errno set.
int localAddress(int fd, uint32_t *ipv4, uint16_t *port);
int remoteAddress(int fd, uint32_t *ipv4, uint16_t *port);

}  // namespace kx::net
