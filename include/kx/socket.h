/* Blocking-with-deadline IPv4 socket calls: listening and local sockets, connects, exact
 * transfers, one-shot exchanges, a DNS lookup and a UDP broadcast sender.
 *
 * Addresses are IPv4 values in network order (kx_ipv4_network_get), ports host order unless
 * stated. block = 1 leaves a returned socket non-blocking, any other value blocking. Every
 * TCP socket made here has address reuse on and linger on with a zero time-out (a close
 * resets the connection) and is close-on-exec. Time limits are seconds; every wait is a
 * poll on the one socket to a deadline taken at the start of the call, so a partial
 * transfer never extends the total time. Each call logs its own failure, closes what it
 * opened (never the caller's socket, except kx_Socket_set_block) and returns a negative
 * code naming the failed step. Sends never raise SIGPIPE. */
#ifndef KX_SOCKET_H
#define KX_SOCKET_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* ---- listening and local sockets ---- */

/* Listening TCP socket on ipv4:port with backlog connectCount (capped by the system). The
 * socket, or -1 socket, -2 address-reuse option, -3 linger option, -4 non-blocking mode,
 * -5 bind, -6 listen failure. */
KX_API int kx_Socket_tcpIpv4_bind__IO(uint32_t ipv4, uint16_t port, int block, uint32_t connectCount);
/* As above for dotted-quad text; null binds to any address; other text gives -7. */
KX_API int kx_Socket_tcpIpv4_bind_byStringIP__IO(const char *text, uint16_t port, int block, uint32_t connectCount);
/* Local listening socket (TCP on 127.0.0.1). *port is in network order, 0 lets the system
 * choose; the port bound is written back. Codes as above, -7 when it cannot be read. */
KX_API int kx_Socket_unix_bind__IO(uint16_t *port, int block, uint32_t connectCount);
/* Connects to 127.0.0.1 at port (network order); codes of kx_Socket_tcpIPv4_connect__IO. */
KX_API int kx_Socket_unix_connect__IO(uint16_t port, int block, double timeout);
/* Waits up to timeout for a connection on listenSock and accepts it; the peer's address and
 * port (host order) go through the non-null pointers. The socket, or -6 time-out, -1 wait
 * failure, -2 accept failure, -3 / -4 option failures, -5 mode failure. */
KX_API int kx_Socket_unix_accept(uint32_t *ipv4, uint16_t *port, int listenSock, int block, double timeout);
/* The same without waiting (-2 when nothing is pending). */
KX_API int kx_Socket_unix_accept_noblock(uint32_t *ipv4, uint16_t *port, int listenSock, int block);
/* Switches the mode: 1, or -2 with the socket closed. */
KX_API int kx_Socket_set_block(int sock, int block);
/* Own or peer address (network order) and port (host order) through the non-null pointers:
 * 1 or -1. */
KX_API int kx_Socket_addr_get_local(uint32_t *ipv4, uint16_t *port, int sock);
KX_API int kx_Socket_addr_get_remote(uint32_t *ipv4, uint16_t *port, int sock);

/* ---- connecting and transferring ---- */

/* A connected socket, or -1 socket, -2 / -3 option, -4 mode change, -5 refused at once,
 * -6 not connected within timeout, -7 connection error reported by the socket. */
KX_API int kx_Socket_tcpIPv4_connect__IO(uint32_t ipv4, uint16_t port, int block, double timeout);
/* -7 also for text that is not a dotted quad. */
KX_API int kx_Socket_tcpIPv4_connect_byStringIP__IO(const char *text, uint16_t port, int block, double timeout);
/* Exactly length bytes: 1; -1 deadline passed after a partial receive; -2 the wait timed out
 * (nothing received) or failed; -3 peer closed or receive error. */
KX_API int kx_Socket_tcpIPv4_recv_by_sock(int sock, void *buffer, uint32_t length, double timeout);
/* The same with other codes: 1; -1 the wait failed; -2 peer closed or receive error;
 * -3 deadline passed. */
KX_API int kx_Socket_recv_by_sock(int sock, void *buffer, uint32_t length, double timeout);
/* Exactly length bytes out: 1; -1 deadline after a partial send; -2 the wait timed out or
 * failed; -3 send error. */
KX_API int kx_Socket_tcpIPv4_send_by_sock(int sock, uint32_t length, const void *data, double timeout);
/* Sends and receives at once until both are complete: 1; -1 the wait failed or timed out;
 * -2 deadline; -3 receive ended; -4 send failed. */
KX_API int kx_Socket_tcpIPv4_send_and_recv_by_sock(int sock, const void *sendData, uint32_t sendLength,
                                                   void *recvBuffer, uint32_t recvLength, double timeout);
/* Connects (blocking), exchanges within what is left of timeout, closes. -7 bad address; the
 * connect codes; -6 no time left; the exchange codes shifted down by 4 (-5 .. -8). */
KX_API int kx_Socket_tcpIPv4_send_and_recv_by_ipv4(const char *text, uint16_t port, const void *sendData,
                                                   uint32_t sendLength, void *recvBuffer, uint32_t recvLength,
                                                   double timeout);
/* Everything up to and including the first point where the received data ends with
 * terminator; bytes after it stay queued on the socket. Null on time-out or error. */
KX_API kx_String *kx_Socket_tcpIPv4_recv_by_sock_until_string__IO(int sock, const char *terminator, uint32_t chunk,
                                                                 double timeout);
/* The same into buffer (capacity bytes): the length, or -1 time-out / wait failure, -3
 * receive error or peer close, -4 capacity reached without the terminator. */
KX_API long kx_Socket_tcpIPv4_recv_by_sock_until_string(int sock, const char *terminator, uint32_t capacity,
                                                        char *buffer, double timeout);
/* Sends, then receives until the terminator, within one deadline: the length received, the
 * send codes, or the receive codes above. */
KX_API long kx_Socket_tcpIPv4_send_and_recv_by_sock_until_string(int sock, uint32_t sendLength, const void *sendData,
                                                                 const char *terminator, uint32_t capacity,
                                                                 char *buffer, double timeout);
/* One HTTP-style message: the header through "\r\n\r\n", then as many bytes as its
 * Content-Length says. The total length, or -1 time-out / wait failure, -3 receive error,
 * -4 capacity exceeded (or an unreadable Content-Length). */
KX_API long kx_Socket_tcpIPv4_recv_httpData_by_sock(int sock, uint32_t capacity, char *buffer, double timeout);

/* ---- other ---- */

/* Addresses of the A records of name, asked of the DNS server serverText:port over TCP, as
 * dotted texts; null on any failure or when none was found. */
KX_API kx_StringList *kx_Socket_ipv4_get_from_dns__IO(const char *name, const char *serverText, uint16_t port,
                                                      double timeout);
/* Dotted texts of this host's IPv4 interface addresses; null on failure. */
KX_API kx_StringList *kx_Socket_ipv4_get_from_localHost__IO(void);

/* UDP socket connected to ipv4:port with the two options: the socket, or -1 .. -5 as for TCP. */
KX_API int kx_Socket_udpIPv4_connect__IO(uint32_t ipv4, uint16_t port, int block);

/* UDP broadcast sender aimed at the broadcast address of ipv4/prefixLength (all host bits
 * set); null when no socket can be made. send: 1 when all bytes went out, else -1. delete
 * clears the caller's pointer, closes and frees. */
typedef struct zr7ee_udpSender zr7ee_udpSender;
KX_API zr7ee_udpSender *zr7ee_Socket_udpIPv4_new__IO(uint32_t ipv4, uint8_t prefixLength, uint16_t port);
KX_API int zr7ee_Socket_udpIPv4_send(zr7ee_udpSender *sender, const void *data, uint32_t length);
KX_API void zr7ee_Socket_udpIPv4_delete__OI(zr7ee_udpSender **sender);

KX_EXTERN_C_END

#endif
