/* playerLib: plays RTSP URLs and hands every decoded picture to a user callback.
 *
 * A player owns one worker thread and, while that thread runs, one RTSP client service and one
 * frame-conversion service shared by all of its items. A player item stands for one URL: its
 * RTSP client item receives the stream (playerLib_private_cb checks, throttles and queues each
 * access unit), its conversion item decodes it to planar YUV 4:2:0, and the player thread
 * offers the decoded frames in order to the item's callback, which accepts (1), defers (2:
 * "not yet due", offered again on a later turn) or drops (3) each one.
 *
 * Calling order: playerLib_globalInit, playerLib_new__IO, playerLib_startThread, create and add
 * items, (jump / mode), remove or delete every item, playerLib_stopThread, playerLib_delete__OI,
 * playerLib_globalRelease. Items may be added before the thread starts.
 *
 * The module belongs to the programs (player, kxplay): it is built as the static library
 * kx_player over libkxlib, not into libkxlib itself. */
#ifndef KX_PLAYER_H
#define KX_PLAYER_H

#include "kx/base.h"
#include "kx/image_frame.h"
#include "kx/monitor.h"
#include "kx/rtspclient.h"

KX_EXTERN_C_BEGIN

typedef struct playerLib playerLib;
typedef struct playerLib_item playerLib_item;
struct frameConvert_item;

/* User callback, run on the player thread. The frame stays owned by the player: 1 accepted,
 * 2 not yet (offered again later; the item's other frames wait behind it), 3 dropped; any
 * other value is logged and the frame dropped. */
typedef signed char (*playerLib_cb)(image_frame *frame, void *externP);

/* Player record. Fields are read-only for callers. */
struct playerLib {
    char *threadName;               /* copied behind the record */
    monitor *pMonitor;              /* null: the thread makes a private monitor */
    pthread_t parentTid;
    unsigned char *externRunStatus; /* &defaultRunStatus when created with null */
    uint16_t decodeThreadCount;     /* worker threads of the conversion service */
    kx_ObjectList *itemList;        /* player items in address order */
    double rtspTimers[3];           /* tick, silence and keep-alive seconds of the RTSP service (0: its defaults) */
    void *impl;                     /* the worker thread, its wake channel and mutex */
};

/* Per-item counters, kept by the threads that see the frames. */
typedef struct playerLib_statistics {
    uint64_t receivedFrames; /* access units the RTSP client handed over (refusals not counted) */
    uint64_t receivedBytes;
    uint64_t refusals;       /* frames answered with 2 (back-pressure) */
    uint64_t queuedFrames;   /* frames queued for decoding */
    uint64_t droppedFrames;  /* frames that never reached the callback: unknown size or rate,
                                jump and mode filtering, decode failures, flushes, code 3 */
    uint64_t deliveredFrames; /* frames the callback accepted */
} playerLib_statistics;

/* Player item record. Fields shared between threads are accessed atomically by the library;
 * callers read them only for display. */
struct playerLib_item {
    char *url;                   /* copied behind the record */
    uint16_t classIndex;         /* grows by one whenever the picture size changes */
    uint32_t imageWidth;         /* 0 while unknown */
    uint32_t imageHeight;
    float frameRate;             /* given at creation; re-measured while the stream carries none */
    uint16_t bufferCountMin;     /* decoder queue depth up to which frames are never held back */
    uint16_t bufferCountMax;     /* hard limit of the decoder queue */
    uint16_t frameRateCount;
    double frameRateTime;
    uint16_t keyFrameIntervalPeak;
    uint16_t keyFrameInterval;   /* adaptive limit of the decoder queue, at most bufferCountMax */
    uint16_t keyFrameCount;      /* frames since the last key frame (saturates) */
    playerLib_cb cb;
    void *externP;
    rtspClient_item *rtspClientItem;
    struct frameConvert_item *frameConvertItem;
    double jumpTarget;           /* 0 none; > 0 earliest acceptable time; < 0 minus the latest */
    double lastInTime;           /* stream time of the last received frame */
    double lastOutTime;          /* stream time of the last accepted frame */
    unsigned char modeBits;      /* bits 0-1 requested mode, bits 2-3 current mode */
    playerLib *player;           /* the player the item is in, null when none */
    image_frame *pendingFrame;   /* decoded frame offered but not yet accepted */
    double lastArrival;          /* uptime of the last received frame */
    double flushedArrival;       /* lastArrival when the decoders were last drained (end of stream) */
    playerLib_statistics stats;
};

/* Library start-up and release (globalInit / globalRelease) and the uptime clock. */
void playerLib_globalInit(unsigned int memoryParameter, const char *stdinPath, const char *stdoutPath,
                          const char *stderrPath, unsigned char flags);
void playerLib_globalRelease(void);
double playerLib_kx_time_uptime_get(void);

/* Player. threadName is copied; externRunStatus null follows defaultRunStatus. */
playerLib *playerLib_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                             unsigned char *externRunStatus, uint16_t decodeThreadCount);
/* Deletes the player and the items still listed. Stop the thread first. */
void playerLib_delete__OI(playerLib *player);
/* Timers of the RTSP client service the thread creates (seconds, each > 0); call before the
 * thread starts. */
void playerLib_set_rtsp_timers(playerLib *player, double tickSeconds, double silenceSeconds,
                               double keepAliveSeconds);
/* priority: 1..99 round-robin real time, 0 ordinary scheduling. Starts the thread together with
 * its RTSP client and frame-conversion services and hands them every listed item. 1 started, 0
 * already running; negative when nothing stays started: -1 no thread could be made, -2 the
 * services could not be made, -3 a service refused a listed item's sub-item, -4 a service
 * thread could not be started. */
int playerLib_startThread(playerLib *player, unsigned char priority);
/* 1 when a thread was stopped, 0 when none ran. Items still listed are detached from the
 * services before these are deleted; they stay listed. */
int playerLib_stopThread(playerLib *player);

/* Item for url (rtsp://[user:password@]a.b.c.d[:port][/path]); null after an error record
 * when the URL is rejected. threadCount: decoder slots of the item. */
playerLib_item *playerLib_item_new__IO(const char *url, float frameRate, uint16_t bufferCountMin,
                                       uint16_t bufferCountMax, playerLib_cb cb, void *externP,
                                       uint16_t threadCount);
/* 1 done; 0 the item was already listed (add) or not listed (remove); -1 bad arguments; add
 * on a running player: -2 / -3 the RTSP client / frame-conversion service refused the item's
 * sub-item, -4 no room in the list (the item is then not listed). */
int playerLib_add_item__OI_2(playerLib *player, playerLib_item *item);
int playerLib_remove_item__IO_2(playerLib *player, playerLib_item *item);
/* Removes the item from its player first when it is in one. */
void playerLib_item_delete__OI(playerLib_item *item);

/* Seek to seconds of stream time. 1 done; -1 the RTSP client refused (not playing); -2 no
 * frame of the new position within 5 seconds (the target is forgotten). */
int playerLib_item_jump(playerLib_item *item, double seconds);
/* Play mode 0-3 sent to the server as its stream type; bit 0 = reverse. 1 done; -1 refused
 * by the RTSP client; -2 the stream did not turn within 5 seconds (the mode is forced);
 * -3 mode above 3. */
int playerLib_item_mode(playerLib_item *item, unsigned char mode);
/* Frames now queued in the item's conversion item (decoded or not). */
uint32_t playerLib_item_bufferCount(playerLib_item *item);
/* Consistent copy of the item's counters. */
void playerLib_item_statistics(const playerLib_item *item, playerLib_statistics *out);

/* The RTSP client's frame callback of every item (externP is the player item). */
signed char playerLib_private_cb(uint32_t *bufferSize, unsigned char **buffer, uint32_t dataLength, double time,
                                 uint32_t frameIndex, signed char keyFrame, float frameRate, uint32_t width,
                                 uint32_t height, void *item);

/* Image frame accessors for the callback. */
void playerLib_image_frame_get_parameter0(const image_frame *frame, uint32_t *width, uint32_t *height, double *time,
                                          float *frameRate);
/* Full-size packed RGB (width x height x 3 bytes) into buffer: 1, or -1 when it cannot be made. */
int playerLib_image_frame_get_rgb(image_frame *frame, unsigned char *buffer);
/* Full-size planar YUV 4:2:0 into buffer: the Y plane, then U and V of ((width + 1) / 2) x
 * ((height + 1) / 2) bytes each (width x height x 3 / 2 bytes for even sizes): 1, or -1 when
 * the frame carries no YUV picture. */
int playerLib_image_frame_get_yuv420p(const image_frame *frame, unsigned char *buffer);

/* The demonstration: plays url (null: the built-in URL) for ten minutes, one "FrameRate:"
 * record per decoded frame. The wait ends early when defaultRunStatus is cleared (the player
 * program does so on SIGINT and SIGTERM). */
void playerLib_test(const char *url);
signed char playerLib_private_test_cb(image_frame *frame, void *externP);
/* The built-in URL of playerLib_test. */
#define PLAYERLIB_DEFAULT_URL "rtsp://127.0.0.1:8554/1"

KX_EXTERN_C_END

#endif
