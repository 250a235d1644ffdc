/* rtspServer: serves H.264 video and AAC audio to RTSP clients over TCP (RTP interleaved in
 * the RTSP connection), on one IPv4 address and port, through a socket pool.
 *
 * What it serves is described by items bound to URL paths:
 *  - a live item (modelType bit 0) receives frames from its producer (rtspServer_item_add_frame)
 *    and fans them out to every client that plays it;
 *  - a demand item (bit 1) matches request paths with parameters ("?..."); every client gets
 *    its own demand record, which the item's producer (woken through the item's pipe) fills
 *    with that client's frames (see "demand clients" below);
 *  - a prefix item (bit 2) matches every path that begins with its URL (an item without URL
 *    matches every path); a prefix item without bits 0 and 1 (modelType 4) is a demand item
 *    for every request, with or without parameters (a file streamer's catch-all item);
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

/* With clusterIpv4 not 0 a cluster item; otherwise modelType 1..7 ("Invalid modelType(=%hhu)."
 * and null else; 4 alone serves every request as a demand item). url null: no URL. withPipe 1 makes the
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

/* ---- demand clients (the producer's side of a demand item) ----
 *
 * Every client that describes a demand item gets its own demand record. The producer (woken
 * through the item's pipe) walks the item's records with rtspServer_item_demandClients_each,
 * under the list's lock: while the walk runs the server neither adds nor frees a record, so
 * a record pointer is valid only inside the walk. The server frees a record when its client
 * leaves (connection closed, protocol error, DESCRIBE again), when the item is removed or
 * deleted and when the server stops or is deleted; it takes the record out of the list under
 * the lock, releases the frames still waiting in it and then, outside the lock, calls the
 * producer's release callback with the producer's context, once, from the thread that frees
 * it. Inside the walk the producer must not add, remove or delete items of the server (the
 * server's thread may be waiting for the list's lock).
 *
 * The server builds the record's description from the first frames the producer adds,
 * leaving them in place: it is complete when a frame of the first frame's track comes again
 * and every track that had a frame is described (an H.264 track by a key frame with
 * parameter sets), so video alone is described by its second frame; a positive duration
 * makes the range seekable "npt=0-duration". The frames stay in the record until
 * PLAY; then the server takes them only while fewer than 256 strings wait on the client's
 * socket, so the producer keeps at most a few frames per track in the record
 * (rtspServer_demandRecord_frameCount_get). PLAY and a SET_PARAMETER stream type write "n"
 * to the item's pipe, as DESCRIBE does. Frames are packetized with the record's own RTP
 * clocks (advancing per frame as for live items across jumps; the frame trailer's stream
 * time carries the new position). */
typedef struct rtspServer_demandRecord rtspServer_demandRecord;
typedef void (*rtspServer_demand_release)(void *context);

/* Calls fn(record, user) for every demand record of the item, under the list's lock, until
 * fn returns non-zero. Returns the number of records visited. */
KX_API uint32_t rtspServer_item_demandClients_each(rtspServer_item *item,
                                                   int (*fn)(rtspServer_demandRecord *record, void *user),
                                                   void *user);
/* Demand records of the item now. */
KX_API uint32_t rtspServer_item_demandClientCount_get(rtspServer_item *item);

/* Request path of the DESCRIBE (from "/" up to "?", as sent: not percent-decoded), null when
 * the request had none. */
KX_API const char *rtspServer_demandRecord_path_get(const rtspServer_demandRecord *record);
/* The text after "?" of the DESCRIBE ("" when empty). */
KX_API const char *rtspServer_demandRecord_query_get(const rtspServer_demandRecord *record);
/* Value of the URL parameter of that exact name (percent-decoded) into out (outSize bytes, NUL
 * ended): its length, or -1 when absent or longer than outSize - 1. */
KX_API int rtspServer_demandRecord_param_get(const rtspServer_demandRecord *record, const char *name, char *out,
                                             uint32_t outSize);
/* Client address (network order) and port, and a number unique among the server's clients. */
KX_API void rtspServer_demandRecord_peer_get(const rtspServer_demandRecord *record, uint32_t *ipv4,
                                             uint16_t *port, int *index);

/* The producer's context of the record and the callback that releases it (null, null to
 * clear without a call). */
KX_API void *rtspServer_demandRecord_context_get(const rtspServer_demandRecord *record);
KX_API void rtspServer_demandRecord_context_set(rtspServer_demandRecord *record, void *context,
                                                rtspServer_demand_release release);
/* Producer's state of the record: 0 nothing yet (the default), other values are the
 * producer's (the file streamer uses 1 producing, 2 finished, 3 failed). */
KX_API unsigned char rtspServer_demandRecord_state_get(const rtspServer_demandRecord *record);
KX_API void rtspServer_demandRecord_state_set(rtspServer_demandRecord *record, unsigned char state);
/* Seconds of media, for the description's range (read when the description completes: set
 * it before the first frames; 0, negative or not finite: none). */
KX_API void rtspServer_demandRecord_duration_set(rtspServer_demandRecord *record, double duration);
/* Start time of the last PLAY with a positive "Range: npt=" (seconds) or "Range: clock="
 * (a local calendar time as seconds on the kx_time_local_get scale, fraction kept), and
 * resets it to 0: when it is positive, the frames still waiting in the record are dropped
 * with it (they belong to the old position). While a positive start time waits to be taken
 * the server sends none of the record's frames. 0 when there was none. */
KX_API double rtspServer_demandRecord_startTime_take(rtspServer_demandRecord *record);
/* Stream type in force: bit 0 backward, bit 1 key frames only. SET_PARAMETER "streamtype:"
 * changes it (and writes "n" to the item's pipe); the producer sets it from the request's
 * parameters. After a change the server sends none of the record's frames until a visit of
 * the record by a walk (rtspServer_item_demandClients_each) that began after the change has
 * ended: the frames waiting are of the old mode, so the producer drops them in that visit
 * when they must not be sent. */
KX_API unsigned char rtspServer_demandRecord_streamType_get(const rtspServer_demandRecord *record);
KX_API void rtspServer_demandRecord_streamType_set(rtspServer_demandRecord *record, unsigned char streamType);
/* Drops the frames waiting in the record (after a change of direction). */
KX_API void rtspServer_demandRecord_frames_drop(rtspServer_demandRecord *record);
/* Frames waiting in the record. */
KX_API uint32_t rtspServer_demandRecord_frameCount_get(const rtspServer_demandRecord *record);

/* Appends a frame to the record: add_frame takes a new reference, add_frame__OI_2 the
 * caller's. 1, or -1 (the reference handed over is released) for a null record or a frame
 * that is neither H.264 nor AAC. Safe beside the server's thread, which it wakes. */
KX_API int rtspServer_item_DemandClient_add_frame(rtspServer_demandRecord *record, kx_Object *frame);
KX_API int rtspServer_item_DemandClient_add_frame__OI_2(rtspServer_demandRecord *record, kx_Object *frame);

KX_EXTERN_C_END

#endif
