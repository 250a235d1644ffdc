/* socketPool: one worker thread that drives many framed TCP connections (items).
 *
 * An item either names a server the pool connects to and keeps connected (reconnecting on a
 * 5-second tick), or wraps a socket the caller already holds. Incoming bytes are cut into
 * whole messages by standard, standard2 or HTTP framing and queued on the item's receive
 * list; strings queued on its send list are written out, many per system call. Connections
 * idle for longer than keepTime are closed at the next tick.
 *
 * Limits on received lengths (per pool, see socketPool_set_recvLimits): an HTTP header that
 * grows past its cap without its empty line, a Content-Length above its cap or not a plain
 * decimal number, and a standard length above its cap each close that one connection with an
 * error record.
 *
 * Sending one buffer to many items without copying: share it (kx_String_share__IO, or
 * socketPool_item_send_share) and queue the same string on every item. */
#ifndef KX_SOCKETPOOL_H
#define KX_SOCKETPOOL_H

#include "kx/base.h"
#include "kx/monitor.h"

KX_EXTERN_C_BEGIN

typedef struct socketPool socketPool;
typedef struct socketPool_item socketPool_item;

/* Length decision of standard framing, called by the pool thread with the item once its
 * headLength-byte head (item->head) is complete: makes item->receivingString with the whole
 * message length, copies the head into its first bytes and returns 1; anything else closes
 * the connection. */
typedef signed char (*socketPool_getRecvLength_cb)(socketPool_item *item);

/* Item modes. */
enum {
    SOCKETPOOL_MODE_CONNECT = 0,       /* the pool connects and reconnects */
    SOCKETPOOL_MODE_GIVEN = 1,         /* socket given by the caller, never reconnected */
    SOCKETPOOL_MODE_CLOSE = 2,         /* close at the next tick, do not reconnect */
    SOCKETPOOL_MODE_RECONNECT = 3      /* close at the next tick, then back to 0 */
};

struct socketPool_item {
    int sock;                 /* the connection, -1 when none */
    double connectTime;       /* > 0 connected (uptime at connect); -1.0 connecting; 0 not connected */
    uint32_t sendOffset;      /* bytes of sendingString already written */
    uint32_t recvOffset;      /* bytes of the head or message received so far */
    uint16_t headLength;      /* standard framing: head bytes (8); 0 for HTTP framing */
    unsigned char mode;       /* SOCKETPOOL_MODE_*; set it with socketPool_item_mode_set */
    kx_ObjectList *sendList;  /* kx_String records to send, oldest first (own mutex) */
    kx_ObjectList *sentList;  /* null, or strings written completely (own mutex) */
    kx_ObjectList *recvList;  /* whole received messages, oldest first (own mutex) */
    socketPool_getRecvLength_cb getRecvLength; /* null for HTTP framing */
    uint32_t ipv4;            /* server address, network order (labels the records) */
    uint16_t port;            /* server port, host order */
    double lastSendTime, lastRecvTime, lastActiveTime; /* uptime of the last write, read, either */
    uint64_t sentBytes, recvBytes;
    socketPool *pool;         /* the pool holding the item, or null */
    kx_String *sendingString; /* the string being written */
    kx_String *receivingString; /* standard framing: the message being assembled */
    uintptr_t ownerData[4];   /* never touched by the pool: the owner's (pointers fit) */
    void *impl;               /* the pool's private state of the item */
    unsigned char head[];     /* headLength bytes */
};

/* ---- pool ---- */

/* keepTime: idle limit in seconds. recvListMaxCount and connectTimeout are recorded and
 * printed with the start parameters. externRunStatus null: &defaultRunStatus. Null when
 * the pool cannot be made. */
KX_API socketPool *socketPool_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                                      unsigned char *externRunStatus, double keepTime, uint32_t recvListMaxCount,
                                      double connectTimeout);
/* Starts the worker thread (nice 1..99 real time, 0 explicit normal, -1 normal). 1 started,
 * 0 already running, negative when the thread could not be started. */
KX_API int socketPool_startThread(socketPool *pool, signed char nice);
/* Stops and joins the thread; items stay listed, connections are closed. */
KX_API void socketPool_stopThread(socketPool *pool);
/* Stops the thread if needed, then deletes every item still listed and the pool. */
KX_API void socketPool_delete__OI(socketPool *pool);
/* Received-length caps of this pool's items: HTTP header (default 65536), HTTP body
 * (default 8 MiB), standard message with its head (default 64 MiB). 0 keeps a value. */
KX_API void socketPool_set_recvLimits(socketPool *pool, uint32_t maxHttpHeader, uint32_t maxHttpContent,
                                      uint32_t maxStandardMessage);
/* Totals over all items of bytes written and read by the thread. */
KX_API void socketPool_counters_get(const socketPool *pool, uint64_t *sentBytesTotal, uint64_t *recvBytesTotal);

/* ---- items ---- */

/* Outbound item with a caller's head length (1..65535) and length function; withSentList 1
 * keeps written strings on sentList. Null on failure. */
KX_API socketPool_item *socketPool_item_new__OI(uint16_t headLength, socketPool_getRecvLength_cb getRecvLength,
                                               uint32_t ipv4, uint16_t port, unsigned char withSentList);
/* Outbound items with 8-byte standard framing: length counts the payload ("standard") or the
 * whole message ("standard2", at least 8). */
KX_API socketPool_item *socketPool_item_new_standard__IO(uint32_t ipv4, uint16_t port, unsigned char withSentList);
KX_API socketPool_item *socketPool_item_new_standard2__IO(uint32_t ipv4, uint16_t port, unsigned char withSentList);
/* Items over a connected socket the caller hands over (mode 1; the socket is made
 * non-blocking); ipv4 and port only label the records. */
KX_API socketPool_item *socketPool_item_new_standard_bySock__IO__OI(int sock, uint32_t ipv4, uint16_t port,
                                                                   unsigned char withSentList);
KX_API socketPool_item *socketPool_item_new_http_bySock__OI__OI(int sock, uint32_t ipv4, uint16_t port,
                                                               unsigned char withSentList);
/* Removes the item from its pool if it has one, closes its socket, frees its strings. */
KX_API void socketPool_item_delete__OI(socketPool_item *item);

/* Adds an item (1; 0 when it is already listed) or removes it (1; 0 when not listed). A
 * removed item keeps its open socket and its queued strings. */
KX_API int socketPool_add_item__OI_2(socketPool *pool, socketPool_item *item);
KX_API int socketPool_remove_item__IO_2(socketPool *pool, socketPool_item *item);

/* Requests a mode (2: close at the next tick; 3: close, then reconnect) from any thread. */
KX_API void socketPool_item_mode_set(socketPool_item *item, unsigned char mode);
/* Connection state as the pool thread last set it (connectTime), read safely from any thread. */
KX_API double socketPool_item_connectTime_get(const socketPool_item *item);

/* Oldest received message (the caller's), or null; all of them as a new list (null when none). */
KX_API kx_String *socketPool_item_recv_get__IO(socketPool_item *item);
KX_API kx_ObjectList *socketPool_item_recv_get_all__IO(socketPool_item *item);

/* Sending; each returns 1, or -1 when nothing could be queued (null arguments, no memory).
 *   send_buffer: a copy of the bytes;   send_OI_2: the string itself (ownership passes);
 *   send_OI_3: the caller's malloc'd buffer of length bytes without copying (ownership
 *   passes; nothing is written behind it, so the string has no terminator);   send_share: the string with one more reference
 *   (the caller keeps its own);   send_list: a copy of every string of the list (the caller
 *   keeps it);   send_list__IO_2data: every string of the list moves over, the list is left
 *   empty. */
KX_API int socketPool_item_send_buffer(socketPool_item *item, uint32_t length, const void *data);
KX_API int socketPool_item_send_OI_2(socketPool_item *item, kx_String *string);
KX_API int socketPool_item_send_OI_3(socketPool_item *item, uint32_t length, char *buffer);
KX_API int socketPool_item_send_share(socketPool_item *item, kx_String *string);
KX_API int socketPool_item_send_list(socketPool_item *item, const kx_ObjectList *list);
KX_API int socketPool_item_send_list__IO_2data(socketPool_item *item, kx_ObjectList *list);
/* A standard message carrying formatted text: head word 0 is headWord with its low 4 bits
 * set to 6, the length the text's; the text is also printed on standard output. */
KX_API int socketPool_item_send_errorData_standard(socketPool_item *item, uint32_t headWord, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Length functions of standard framing (see socketPool_getRecvLength_cb): the message is
 * length + 8 bytes ("standard") or length bytes (at least 8, "standard2"); -1 for a length
 * below 8, -2 for one above the pool's cap. */
KX_API signed char socketPool_private_getRecvLenth__IO_2(socketPool_item *item);
KX_API signed char socketPool_private_getRecvLenth2__IO_2(socketPool_item *item);

KX_EXTERN_C_END

#endif
