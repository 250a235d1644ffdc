/* rtspServer: serves H.264 video and AAC audio to RTSP clients over TCP (RTP interleaved in
 * the RTSP connection), on one IPv4 address and port, through a socket pool.
 *
 * What it serves is described by items bound to URL paths:
 *  - a live item (modelType bit 0) receives frames from its producer (rtspServer_item_add_frame)
 *    and fans them out to every client that plays it;
 *  - a demand item (bit 1) matches request paths with parameters ("?..."); its producer is
 *    woken through the item's pipe;
 *  - a prefix item (bit 2) matches every path that begins with its URL (an item without URL
 *    matches every path);
 *  - a cluster item (clusterIpv4 not 0) redirects clients asking for its URL to another host.
 * Items with the same URL are chained; a request takes the first eligible one and moves on to
 * a later one only while that one's priority is smaller.
 *
 * Frames are reference-counted objects (kx_Object) of type KX_OBJECT_TYPE_H264
 * (video_h264_object) or KX_OBJECT_TYPE_AAC (audio_aac_object); bits 0-4 of the object's
 * reserved word give the track. A live item's description (SDP) is complete once every track
 * of its trackMask was described: H.264 from a frame with parameter sets and IDR slice
 * (keyFrame 3), AAC from any frame (its own object type, rate and channels). */
#ifndef KX_RTSPSERVER_H
#define KX_RTSPSERVER_H

#include "kx/base.h"
#include "kx/memory.h"
#include "kx/monitor.h"

KX_EXTERN_C_BEGIN

typedef struct rtspServer rtspServer;
typedef struct rtspServer_item rtspServer_item;

enum {
    RTSPSERVER_MODEL_LIVE = 1,   /* URL without parameters */
    RTSPSERVER_MODEL_DEMAND = 2, /* URL with parameters */
    RTSPSERVER_MODEL_PREFIX = 4  /* matches every path beginning with the URL */
};

/* Totals of a server (read from any thread). */
typedef struct rtspServer_stats {
    uint32_t clients;        /* connections held now */
    uint32_t playing;        /* clients playing a live item */
    uint64_t bytesQueued;    /* RTP and answer bytes queued on client sockets */
    uint64_t framesMissed;   /* frames live clients missed because their queue was full */
    uint64_t refused;        /* connections answered 503 for the client limit */
} rtspServer_stats;

/* ---- server ---- */

/* ipv4 in network order; port 0 lets the system choose (see rtspServer_port_get).
 * externRunStatus null: &defaultRunStatus. Null when the server cannot be made. */
KX_API rtspServer *rtspServer_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                                      unsigned char *externRunStatus, uint32_t ipv4, uint16_t port);
/* 1 started, 0 already running, negative when the thread could not be started. The port is
 * bound by the thread, retried every second while it fails. */
KX_API int rtspServer_startThread(rtspServer *server, signed char nice);
KX_API void rtspServer_stopThread(rtspServer *server);
/* Stops the thread if needed, deletes every item still held and the server. */
KX_API void rtspServer_delete__OI(rtspServer *server);
/* Connections beyond maxClients are answered "RTSP/1.0 503 Service Unavailable" and closed
 * (0: no limit, the default 4096). */
KX_API void rtspServer_clientLimit_set(rtspServer *server, uint32_t maxClients);
/* Queued strings above which a live client misses frames (default 4095). */
KX_API void rtspServer_queueLimit_set(rtspServer *server, uint32_t maxQueued);
/* The port listened on, 0 while not bound. */
KX_API uint16_t rtspServer_port_get(const rtspServer *server);
KX_API void rtspServer_stats_get(const rtspServer *server, rtspServer_stats *stats);

/* ---- items ---- */

/* With clusterIpv4 not 0 a cluster item; otherwise modelType 1..7 with bit 0 or 1 set
 * ("Invalid modelType(=%hhu)." and null else). url null: no URL. withPipe 1 makes the
 * producer's wake-up pipe (rtspServer_item_pipe_get). The values are the owner's. */
KX_API rtspServer_item *rtspServer_item_new__IO(const char *url, uint32_t clusterIpv4, unsigned char modelType,
                                                signed char priority, uint32_t value1, uint32_t value2,
                                                uint32_t value3, double floatValue, unsigned char withPipe);
/* Removes the item from its server if it has one (its clients are closed), releases its
 * frames and frees it. */
KX_API void rtspServer_item_delete__OI(rtspServer_item *item);
/* 1 added / removed; -1 when already held / not held (logged). */
KX_API int rtspServer_add_item__OI_2(rtspServer *server, rtspServer_item *item);
KX_API int rtspServer_remove_item__IO_2(rtspServer *server, rtspServer_item *item);
/* Tracks the stream carries (bit t for track t); set before frames arrive. Default 1. */
KX_API void rtspServer_item_trackMask_set(rtspServer_item *item, uint32_t trackMask);
/* Read end of the producer's pipe, -1 when the item has none. */
KX_API int rtspServer_item_pipe_get(const rtspServer_item *item);
/* Appends a frame: add_frame takes a new reference, add_frame__OI_2 the caller's. 1, or -1
 * (the reference handed over is released) for a null or non-live item or a bad frame. */
KX_API int rtspServer_item_add_frame(rtspServer_item *item, kx_Object *frame);
KX_API int rtspServer_item_add_frame__OI_2(rtspServer_item *item, kx_Object *frame);
/* Frames waiting in the item (not yet served). */
KX_API uint32_t rtspServer_item_frameCount_get(rtspServer_item *item);
/* Clients playing the item now. */
KX_API uint32_t rtspServer_item_clientCount_get(rtspServer_item *item);

KX_EXTERN_C_END

#endif
