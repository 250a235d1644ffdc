/* Matroska recording: H.264 or Motion-JPEG video, AAC audio and SSA subtitles written straight
 * to the caller's open file.
 *
 * The file starts with a fixed head (EBML header, Segment, SeekHead, Info) whose sizes and
 * positions are patched when the recording finishes, then the Tracks element. Frames go into
 * SimpleBlocks (subtitles into BlockGroups with their duration) inside Clusters: a cluster
 * opens at a key frame of the main video track (the first video track) once the open one
 * holds a second of it, and before any block's time relative to its cluster would pass
 * 32767 ms. Clusters that open on a key frame get a cue point; the cues are written when
 * the recording finishes.
 *
 * Calling order: video_mkv_new_for_file_save__IO, video_mkv_file_save_frame / _audio /
 * _subtitle, video_mkv_file_save_finish, video_mkv_writer_delete__OI; the caller closes the
 * file. After a negative result the file is incomplete. */
#ifndef KX_MKV_WRITER_H
#define KX_MKV_WRITER_H

#include "kx/base.h"
#include "kx/mkv.h" /* track types, codec codes and the codec private blocks */

KX_EXTERN_C_BEGIN

typedef struct video_mkv_writer video_mkv_writer;

/* Results besides 1. */
enum {
    VIDEO_MKV_ERROR_WRITE = -1,   /* a write or flush failed */
    VIDEO_MKV_ERROR_SEEK = -2,    /* a seek failed */
    VIDEO_MKV_ERROR_INVALID = -3, /* bad track, length or data */
    VIDEO_MKV_ERROR_TIME = -4     /* an audio or subtitle block lies more than 32 s before its cluster */
};

/* One track of a recording. Track numbers are the positions in the array, from 1. */
typedef struct video_mkv_writer_track {
    uint8_t type;       /* VIDEO_MKV_TRACK_* */
    uint8_t codec;      /* VIDEO_MKV_CODEC_* of the type */
    uint32_t width;     /* video: picture width; subtitles: PlayResX */
    uint32_t height;    /* video: picture height; subtitles: PlayResY */
    float frameRate;    /* video: frames per second (finite, > 0) */
    uint32_t sampleRate;/* audio: samples per second */
    uint8_t channels;   /* audio: 1 to 7 */
    /* Codec private block (4-byte little-endian payload length, kind byte, payload), copied:
     * H.264 the AVC decoder configuration record (video_mkv_codecPrivate_h264_get__IO), AAC the
     * AudioSpecificConfig (null: made from sampleRate and channels, AAC LC). Motion-JPEG and subtitles: ignored (the bitmap header
     * and the script header are made from the track). */
    const unsigned char *codecPrivate;
    const char *fontName; /* subtitles: style font (null: "Arial") */
    uint32_t fontSize;    /* subtitles: style size (0: 20) */
} video_mkv_writer_track;

/* Writes the head and the tracks at the file's current position. Null (logged) when a track
 * is invalid or a write fails. */
KX_API video_mkv_writer *video_mkv_new_for_file_save__IO(FILE *file, uint8_t trackCount,
                                                         const video_mkv_writer_track *tracks);
/* One video frame: Annex B H.264 (stored with 4-byte NAL lengths) or a JPEG picture (padded
 * with zero bytes to a multiple of 4; *length becomes the stored length). 1 or
 * VIDEO_MKV_ERROR_*. */
KX_API int video_mkv_file_save_frame(video_mkv_writer *writer, uint8_t track, signed char isKeyFrame,
                                     uint32_t *length, const void *data);
/* One raw AAC frame (no ADTS header); its time is its position in the track times 1024
 * samples. 1 or VIDEO_MKV_ERROR_*. */
KX_API int video_mkv_file_save_audio(video_mkv_writer *writer, uint8_t track, uint32_t length, const void *data);
/* One SSA event line shown from startSeconds for durationSeconds. 1 or VIDEO_MKV_ERROR_*. */
KX_API int video_mkv_file_save_subtitle(video_mkv_writer *writer, uint8_t track, double startSeconds,
                                        double durationSeconds, uint32_t length, const char *text);
/* Closes the last cluster, writes the cues and patches the sizes, the cue position and the
 * duration. Leaves the file positioned at its end. 1 or VIDEO_MKV_ERROR_*. */
KX_API int video_mkv_file_save_finish(video_mkv_writer *writer);
KX_API void video_mkv_writer_delete__OI(video_mkv_writer *writer);
/* Prints "width,height,codec,frameRate,segmentSize,(video,audio,subtitle tracks),file" of the
 * main video track without a line end. */
KX_API void video_mkv_writer_out(const video_mkv_writer *writer, FILE *stream);

KX_EXTERN_C_END

#endif
