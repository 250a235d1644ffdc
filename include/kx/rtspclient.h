/* rtspClient: RTSP client over TCP that delivers whole H.264 access units.
 *
 * One service thread serves any number of items (one item per stream URL). The thread
 * connects each item, negotiates the session (OPTIONS, DESCRIBE, SETUP per media
 * section, PLAY), reads the interleaved RTP stream, assembles every access unit in
 * Annex B form (each NAL unit behind 00 00 00 01, the parameter sets in front of IDR
 * frames) and hands it to the item's frame callback on the service thread. Broken or
 * silent connections are reset and reconnected at the next tick.
 *
 * Calling order: rtspClient_new__IO, rtspClient_startThread, create and add items,
 * (send commands), remove or delete items, rtspClient_stopThread, rtspClient_delete__OI.
 * Items may be created before or after the thread starts and added at any time.
 * The callback must not add, remove or delete items of its own service. */
#ifndef KX_RTSPCLIENT_H
#define KX_RTSPCLIENT_H

#include "kx/base.h"
#include "kx/monitor.h"

KX_EXTERN_C_BEGIN

typedef struct rtspClient rtspClient;
typedef struct rtspClient_item rtspClient_item;

/* Frame callback, called on the service thread for every complete frame.
 *   bufferSize, buffer: the item's buffer; the frame starts at (*buffer)[0]. The callback
 *       may exchange the block (allocated with kx_memery_malloc, size in *bufferSize; the
 *       old one released with kx_memery_free); the item continues with what both hold. A
 *       null block or a size too small for what follows is replaced or grown by the item;
 *       a frame answered with 2 must stay in the block it was offered in (otherwise it is
 *       dropped).
 *   dataLenth: frame length in bytes.
 *   frameTime: stream time of the frame's picture in wall-clock seconds: from the server's
 *       frame description when it sends one; otherwise from the RTP timestamps of the frame's
 *       packets on the video track's clock, counted from the wall-clock time at which the
 *       session's first frame arrived (anew after a reconnection or redirect, a change of
 *       SSRC or a timestamp jump beyond ten minutes). Pictures of a stream with B-frames
 *       therefore arrive in decoding order with their own display times.
 *   frameIndex: the item's frame index (modulo 2^24), or the server's from its description.
 *   isKeyFrame, frameRate, imageWidth, imageHeight: from the frame description; -1, 0, 0, 0
 *       when unknown.
 * Returns 1 when the frame is taken; 2 for "not now": the item keeps the frame, stops
 * reading its connection and offers the same frame again about every 20 ms; any other
 * value drops the frame. */
typedef signed char (*rtspClient_frame_cb)(uint32_t *bufferSize, unsigned char **buffer, uint32_t dataLenth,
                                           double frameTime, uint32_t frameIndex, signed char isKeyFrame,
                                           float frameRate, uint32_t imageWidth, uint32_t imageHeight,
                                           void *externP);

/* Session states (rtspClient_item.status). */
enum {
    RTSPCLIENT_STATUS_IDLE = 0,          /* not connected; the next tick connects */
    RTSPCLIENT_STATUS_CONNECTING = 1,    /* non-blocking connect in progress */
    RTSPCLIENT_STATUS_OPTIONS = 2,       /* OPTIONS being sent */
    RTSPCLIENT_STATUS_OPTIONS_WAIT = 3,
    RTSPCLIENT_STATUS_DESCRIBE = 4,
    RTSPCLIENT_STATUS_DESCRIBE_WAIT = 5,
    RTSPCLIENT_STATUS_SETUP = 6,
    RTSPCLIENT_STATUS_SETUP_WAIT = 7,
    RTSPCLIENT_STATUS_PLAY = 8,          /* PLAY being sent */
    RTSPCLIENT_STATUS_PLAYING = 9        /* interleaved media arrives */
};

/* Commands of rtspClient_item_send_cmd. */
enum {
    RTSPCLIENT_CMD_JUMP = 1,        /* parameter: the 8 bytes of a double, play position in seconds */
    RTSPCLIENT_CMD_STREAM_TYPE = 2  /* parameter: low byte is the stream type */
};

/* Largest access unit an item assembles; a larger one is dropped with an error record. */
#define RTSPCLIENT_MAX_FRAME_SIZE (32u * 1024u * 1024u)

/* Frame description the library's own server appends to the first packet of each frame
 * (the first 30 bytes of its trailer, values decoded from little-endian). */
typedef struct rtspClient_frameInfo {
    double frameTime;
    uint32_t frameIndex;
    unsigned char kind; /* 1 video; 0 while no description was received */
    signed char isKeyFrame;
    uint16_t width;
    uint16_t height;
    float frameRate;
} rtspClient_frameInfo;

/* Service record. Fields are read-only for callers. */
struct rtspClient {
    char *threadName;                /* copied behind the record */
    monitor *pMonitor;
    pthread_t parentTid;
    unsigned char *externRunStatus;  /* &defaultRunStatus when created with null */
    kx_ObjectList *itemList;         /* items in address order; touched only by the thread while it runs */
    kx_ObjectList *itemListWrite;    /* items with newly queued commands */
    double tickSeconds;              /* connect/silence tick, 5.0 */
    double silenceSeconds;           /* reset after this long without traffic, 5.0 */
    double keepAliveSeconds;         /* keep-alive period while playing, 16.0 */
    void *service;                   /* implementation */
};

/* Item record. Fields are written by the service thread while the item is added; callers
 * read them only while the item is not added (or accept a racy view). */
struct rtspClient_item {
    char *username;          /* null when none */
    char *password;
    char *path;              /* with its leading '/', query included; null when none */
    rtspClient_frame_cb cb;
    void *externP;
    kx_StructList *cmdList;  /* queued commands: 8-byte parameter then 1-byte code; own mutex */
    int sock;                /* -1 when not connected */
    unsigned char status;    /* RTSPCLIENT_STATUS_* */
    unsigned char held;      /* 1 while a finished frame waits because the callback answered 2 */
    unsigned char videoPayloadType;
    unsigned char audioPayloadType;
    unsigned char videoChannel; /* interleaved channel of the video track (0 unless the server says otherwise) */
    uint32_t cseq;           /* CSeq of the last request */
    uint32_t frameIndex;     /* index of the frame being assembled, modulo 2^24 */
    rtspClient_frameInfo frameInfo;
    uint32_t ipv4;           /* network byte order */
    uint16_t port;           /* 554 unless the URL names one */
    double lastActivity;     /* uptime of the last receive handling or completed send */
    double lastKeepAlive;    /* uptime of the last keep-alive request */
    rtspClient *client;      /* the service the item belongs to, null when none */
    uint32_t bufferSize;
    unsigned char *buffer;   /* kx_memery block: answers during negotiation, the frame while playing */
    char *controlURL;        /* aggregate control URL, null before DESCRIBE succeeded */
    char *session;           /* session identifier from the SETUP answer */
    kx_String *videoCode;    /* 00 00 00 01 SPS 00 00 00 01 PPS, from the description or in-band */
    uint32_t connectCount;   /* connection attempts made so far */
    uint32_t frameCount;     /* frames the callback took */
    void *impl;              /* implementation */
};

/* Service. threadName is copied; externRunStatus null means &defaultRunStatus. */
KX_API rtspClient *rtspClient_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                                      unsigned char *externRunStatus);
/* Deletes the service and every item it still holds. Stop the thread first. */
KX_API void rtspClient_delete__OI(rtspClient *client);
/* Timers (seconds, each > 0; defaults 5, 5, 16). Takes effect for passes that follow. */
KX_API void rtspClient_set_timers(rtspClient *client, double tickSeconds, double silenceSeconds,
                                  double keepAliveSeconds);
/* priority: 1..99 round-robin real time, 0 explicit normal scheduling, -1 normal scheduling.
 * Returns 1 when started, 0 when a thread already runs, negative when none could be made. */
KX_API int rtspClient_startThread(rtspClient *client, signed char priority);
/* Returns 1 when a thread was stopped, 0 when none ran. */
KX_API int rtspClient_stopThread(rtspClient *client);

/* Items. ipv4 in network byte order; the three texts are copied (each may be null). */
KX_API rtspClient_item *rtspClient_item_new__IO(uint32_t ipv4, uint16_t port, const char *username,
                                                const char *password, const char *path, rtspClient_frame_cb cb,
                                                void *externP);
/* rtsp://[user:password@]a.b.c.d[:port][/path]; null (after an error record) when rejected. */
KX_API rtspClient_item *rtspClient_item_new_byURL__IO(const char *url, rtspClient_frame_cb cb, void *externP);
/* Removes the item from its service first when it has one. */
KX_API void rtspClient_item_delete__OI(rtspClient_item *item);

/* Hand-over to and from the service. 1 done, 0 already present / not present, negative on
 * bad arguments. */
KX_API int rtspClient_add_item__OI_2(rtspClient *client, rtspClient_item *item);
KX_API int rtspClient_remove_item__IO_2(rtspClient *client, rtspClient_item *item);

/* Queues a command for a playing item (RTSPCLIENT_CMD_*). 1 queued; -1 when the item is
 * not playing. */
KX_API int rtspClient_item_send_cmd(rtspClient_item *item, int cmd, uint64_t parameter);
/* The jump command with its position packed into the parameter. */
KX_API int rtspClient_item_send_jump(rtspClient_item *item, double position);

/* Demonstration: plays a fixed camera URL for 200 seconds with a decoding callback. */
KX_API void rtspClient_test(monitor *pMonitor);
KX_API signed char rtspClient_test_cb_forDecode(uint32_t *bufferSize, unsigned char **buffer, uint32_t dataLenth,
                                                double frameTime, uint32_t frameIndex, signed char isKeyFrame,
                                                float frameRate, uint32_t imageWidth, uint32_t imageHeight,
                                                void *externP);

KX_EXTERN_C_END

#endif
