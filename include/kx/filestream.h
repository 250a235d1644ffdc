/* rtspFileStream: plays recorded Matroska files to RTSP clients on demand.
 *
 * The service attaches one demand item without URL (it catches every request path that no
 * other item of the server serves) to an RTSP server. For each demand client it opens the
 * file that the request path names under the root directory, reads its index with the
 * Matroska reader and feeds the client's demand record with H.264 and AAC objects at the
 * file's own pace: forward or backward, every frame or key frames only, from a start time.
 *
 * Stream times: every frame, video and audio, carries its presentation time from the file (its
 * block time), relative to the file's start: the earliest time among the main track's first
 * group of pictures (the first frame of an audio-only file) is 0. With B-frames the times are
 * therefore not in the order the frames are sent, and a recording whose clock starts late (a
 * camera's, GStreamer's) still starts at 0. Block times rounded to whole file ticks are put
 * back on the track's frame grid when they lie within a tick of it; an audio frame before the
 * start (encoder priming) gets 0. Start times ("from", a PLAY range) are stream times in the
 * same sense; positions stay frame numbers in file order.
 *
 * URL parameters: "from" (start time in seconds), "fps" (pacing rate, 0 < fps <= 1000;
 * otherwise the file's frame rate) and "streamtype" (bit 0 backward, bit 1 key frames only).
 * A PLAY with a start time repositions; SET_PARAMETER "streamtype:" changes the stream type.
 * After the last frame nothing more is fed (also on a PLAY without start time) until a PLAY
 * with a start time or a turn of direction.
 *
 * The root is a boundary: a request path is percent-decoded and refused, like a missing
 * file, unless it names a regular file that lies inside the root once every symbolic link is
 * followed. A client whose path or file is refused gets no media (the connection stays until
 * the client or the idle limit closes it); the service goes on serving the others. */
#ifndef KX_FILESTREAM_H
#define KX_FILESTREAM_H

#include "kx/base.h"
#include "kx/monitor.h"
#include "kx/rtspserver.h"

KX_EXTERN_C_BEGIN

typedef struct rtspFileStream rtspFileStream;
/* Play state of one demand client (the producer's context of its demand record). */
typedef struct rtspFileStream_VideoDemand rtspFileStream_VideoDemand;

/* externRunStatus null: &defaultRunStatus. rootDir gets a final "/" when it has none. Null
 * for a null root directory or server. */
KX_API rtspFileStream *rtspFileStream_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                                              unsigned char *externRunStatus, const char *rootDir,
                                              rtspServer *pRtspServer);
/* Stops the thread if needed and frees the record (null is ignored). */
KX_API void rtspFileStream_delete__OI(rtspFileStream *fileStream);
/* 1 started, 0 already running, negative when the thread could not be started. The thread
 * adds its demand item to the server and removes it again when it stops. */
KX_API int rtspFileStream_startThread(rtspFileStream *fileStream, signed char nice);
KX_API void rtspFileStream_stopThread(rtspFileStream *fileStream);

/* Closes the file and frees the play state (the release callback the thread installs in the
 * demand record; null is ignored). */
KX_API void rtspFileStream_private_VideoDemand_delete__OI(rtspFileStream_VideoDemand *videoDemand);
/* Repositions: the stream type in force and a start time in (0, duration) start anew there
 * (forward from the key frame at or before it, backward from the last picture at or before
 * it; 0 otherwise: from the start, or backward from the end); another key-frame bit alone
 * changes only what is fed; the other direction turns round where play is now (backward
 * after forward, with B-frames, after the pictures that a reference picture already sent
 * leads, so that no picture is left out at the turn). */
KX_API void rtspFileStream_private_VideoDemand_update(rtspFileStream_VideoDemand *videoDemand,
                                                      unsigned char streamType, double startTime);

KX_EXTERN_C_END

#endif
