/* frameConvert: the decode and encode worker service.
 *
 * A caller makes a conversion item that names the picture kinds it wants in every image frame
 * (its convert type, a mask of IMAGE_FRAME_* bits), adds the item to a running service, pushes
 * image frames into it in stream order and takes them out again in stream order (display
 * order within a group of pictures), once each carries every wanted kind:
 *   - a frame that carries only H.264 data is decoded to a full-size planar YUV 4:2:0 picture
 *     through the decoder plug-in (kx/codec.h);
 *   - a frame that needs H.264 data is encoded from its full-size YUV picture through the
 *     encoder plug-in.
 * Frames of one group of pictures (from one key frame with parameter sets to the next) go to
 * one worker slot of the item, so one decoder sees them in decoding order, while consecutive
 * groups spread over the slots and so over the service's worker threads. Frames of a group
 * leave in display order, also for streams with B-frames (whose pictures the decoder hands out
 * later and in another order than their units): each frame carries the picture of its own unit
 * with its own index and stream time, and its sizes are those of that picture. In reverse mode
 * a group leaves in reverse display order.
 *
 * Calling order: frameConvert_new__IO, frameConvert_startThread, create and add items, push
 * and take frames, remove (or delete) items, frameConvert_stopThread, frameConvert_delete__IO.
 * Items may be added before the threads start. Frame-in and frame-out may run on any threads
 * (typically one producer and one consumer); they never wait for the workers.
 *
 * Ownership: frame-in takes over the caller's reference to the frame; frame-out hands one
 * back. A service owns the items it holds: deleting it deletes them. */
#ifndef KX_FRAMECONVERT_H
#define KX_FRAMECONVERT_H

#include "kx/base.h"
#include "kx/image_frame.h"
#include "kx/monitor.h"

KX_EXTERN_C_BEGIN

typedef struct frameConvert frameConvert;
typedef struct frameConvert_item frameConvert_item;

/* Picture-kind masks used by the dispatch (IMAGE_FRAME_* bits). */
#define FRAMECONVERT_MASK_FULL 0x49u    /* full-size YUV, H.264 and RGB */
#define FRAMECONVERT_MASK_HALF 0x92u    /* half-size YUV, H.264 and RGB */
#define FRAMECONVERT_MASK_DECODED 0x41u /* a decoded full-size picture: YUV or RGB */

/* itemFlags bits. */
#define FRAMECONVERT_ITEM_REVERSE 0x01u /* frames arrive in decreasing time order */

/* Frames an encoder slot takes in a row before the next slot is considered. */
#define FRAMECONVERT_ENCODE_RUN 10u

/* Service record. Fields are read-only for callers. */
struct frameConvert {
    char *threadName;               /* copied behind the record */
    monitor *pMonitor;              /* the workers register under parentTid's entry; may be null */
    pthread_t parentTid;
    unsigned char *externRunStatus; /* &defaultRunStatus when created with null */
    uint16_t threadCount;           /* worker threads (T, at least 1) */
    uint16_t *threadItemCount;      /* T counts: item slots served by each thread (service mutex) */
    kx_ObjectList *itemList;        /* items in address order; changed only while the workers are paused */
    void *impl;                     /* implementation: the worker threads and the service mutex */
};

/* Conversion item. Fields are read-only for callers; the workers and frame-in change them. */
struct frameConvert_item {
    uint32_t convertType;      /* wanted IMAGE_FRAME_* bits */
    uint16_t threadCount;      /* worker slots (n, at least 1) */
    kx_ObjectList *frameList;  /* every queued frame in output order, with its own lock */
    unsigned char itemFlags;   /* FRAMECONVERT_ITEM_* (set with frameConvert_item_set_reverse) */
    uint16_t startIndex;       /* service thread of slot 0; slot j runs on (startIndex + j) mod T */
    frameConvert *service;     /* the service holding the item, null when none */
    uint16_t decodeSlot;       /* slot receiving the current group of pictures */
    uint16_t encodeCounter;    /* 0 .. FRAMECONVERT_ENCODE_RUN x n - 1; picks the encode slot */
    void *impl;                /* implementation: per-slot queues, codec handles, held pictures */
};

/* Service with threadCount workers (0 counts as 1); threadName is copied, externRunStatus null
 * means &defaultRunStatus. Not running. Null only when memory runs out. */
KX_API frameConvert *frameConvert_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                                          unsigned char *externRunStatus, uint16_t threadCount);
/* Stops the workers when they still run, deletes every item still held and frees the service.
 * A thread that still serves item slots is reported ("Error,%hu/%hu"). */
KX_API void frameConvert_delete__IO(frameConvert *service);

/* Starts the T workers. priority: 1..99 round-robin real time at that priority, 0 explicit
 * normal scheduling, -1 normal scheduling; other values are logged and ignored. 1 started, 0 a
 * worker already runs (logged), negative when the threads could not be made (none stays). */
KX_API int frameConvert_startThread(frameConvert *service, signed char priority);
/* Clears the run status and joins every worker. 1 stopped, 0 nothing ran. */
KX_API int frameConvert_stopThread(frameConvert *service);

/* Item wanting convertType, with threadCount slots (0 counts as 1). Null when memory runs out. */
KX_API frameConvert_item *frameConvert_item_new__OI(uint32_t convertType, uint16_t threadCount);
/* Removes the item from its service, releases every queued frame, codec and held picture. */
KX_API void frameConvert_item_delete__IO(frameConvert_item *item);

/* Adds the item to the service and assigns its slots to the least loaded run of threads. 1
 * added, 0 already in this service (logged), -1 null argument, -2 the item is in another
 * service. */
KX_API int frameConvert_add_item__OI_2(frameConvert *service, frameConvert_item *item);
/* Removes the item: 1 removed, 0 not in the service (logged), -1 null argument. Frames stay
 * queued in the item. */
KX_API int frameConvert_remove_item__IO_2(frameConvert *service, frameConvert_item *item);

/* Queues frame (the caller's reference passes to the item) and dispatches it for decoding or
 * encoding as convertType needs. 1 queued; -1 null argument; -2 the frame can never carry every
 * wanted kind (nothing to decode or encode it from; logged "Error type(=%#lx)."), not queued.
 * A frame that is not queued is released. */
KX_API int frameConvert_item_frame_in_pthreadSafety_OI(frameConvert_item *item, image_frame *frame);
/* The first frame of the queue once it carries every convertType bit, removed from the queue (the
 * caller owns the reference); null when the queue is empty or the oldest frame is not ready. */
KX_API image_frame *frameConvert_item_frame_out_pthreadSafety_IO(frameConvert_item *item);
/* Marks the end of the stream: once the queued frames are decoded, the pictures a decoder
 * still holds back (B-frames) are drained onto their frames. The next frame starts anew. */
KX_API void frameConvert_item_flush(frameConvert_item *item);
/* Drops every queued frame and the pictures the decoders hold; the next frame starts anew.
 * Pauses the service's workers while it runs. */
KX_API void frameConvert_item_clean(frameConvert_item *item);
/* Sets (reverse != 0) or clears FRAMECONVERT_ITEM_REVERSE. */
KX_API void frameConvert_item_set_reverse(frameConvert_item *item, int reverse);
/* Frames queued in the item (decoded or not). */
KX_API uint32_t frameConvert_item_bufferCount(frameConvert_item *item);

/* Number of set bits of value. */
KX_API uint32_t frameConvert_CountOne(uint32_t value);

KX_EXTERN_C_END

#endif
