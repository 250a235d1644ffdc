/* video_avi: single-stream AVI (RIFF) files of Motion-JPEG or H.264 frames.
 *
 * The writer streams one "00db" chunk per frame to the caller's open file, then writes a
 * legacy "idx1" index and, last, the 240-byte header in front of the frames. The reader takes
 * the header and the index of such a file (and of AVI files of other muxers with one video
 * stream and an idx1 index) so that frames can be read back one by one by seeking.
 *
 * Writing: video_avi_new_for_file_save__IO, video_avi_file_save_frame per frame,
 * video_avi_file_save_finish, video_avi_delete__OI; the caller closes the file. */
#ifndef KX_AVI_H
#define KX_AVI_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* Codec codes. */
enum {
    VIDEO_AVI_CODEC_MJPEG = 1,
    VIDEO_AVI_CODEC_H264 = 2
};

/* Results of the writer (besides 1 and the frame offsets). */
enum {
    VIDEO_AVI_ERROR_WRITE = -1,   /* a write or flush failed (disk full, file not writable) */
    VIDEO_AVI_ERROR_SEEK = -2,    /* a seek failed */
    VIDEO_AVI_ERROR_LIMIT = -3,   /* the frame would take the file past the 4 GiB that its 32-bit sizes hold */
    VIDEO_AVI_ERROR_INVALID = -4  /* bad argument: no record or data, frame rate 0, negative or not finite */
};

/* Largest file the writer makes: the RIFF size (file size - 8) is a 32-bit number. */
#define VIDEO_AVI_MAX_FILE_SIZE (0xFFFFFFFFull + 8u)

/* One frame of the index (16 bytes). */
typedef struct video_avi_index_entry {
    uint64_t offset; /* absolute file offset of the frame data */
    uint32_t size;   /* stored size (the writer's frames padded to a multiple of 4) */
    uint32_t spare;
} video_avi_index_entry;

typedef struct video_avi {
    uint32_t width;
    uint32_t height;
    uint8_t codec;          /* VIDEO_AVI_CODEC_* */
    float frameRate;        /* frames per second; the writer sets it when it finishes */
    uint64_t fileSize;      /* writer: bytes from the header start to the current end; reader: RIFF size + 8 */
    kx_ObjectList *index;   /* video_avi_index_entry pointers in frame order */
    FILE *file;             /* the caller's file; not owned */
    uint64_t position;      /* writer: absolute offset of the next chunk */
    uint64_t headerStart;   /* absolute offset of the "RIFF" tag */
    video_avi_index_entry *entryBlock; /* reader: every entry in one block; null for the writer */
} video_avi;

/* Writer at the file's current position: 240 bytes are skipped for the header, which is
 * written last. Null when the file is null or that seek fails. */
KX_API video_avi *video_avi_new_for_file_save__IO(uint32_t width, uint32_t height, uint8_t codec, FILE *file);
/* Writes one frame of *length bytes as a chunk padded with zero bytes to a multiple of 4;
 * *length becomes the padded size. Returns the absolute offset of the frame data, or
 * VIDEO_AVI_ERROR_* (then the file is unusable, except after VIDEO_AVI_ERROR_LIMIT, which
 * writes nothing: finish the file and start another). */
KX_API int64_t video_avi_file_save_frame(video_avi *avi, uint32_t *length, const void *data);
/* Writes the index and the header (frameRate: frames per second, finite and > 0) and leaves
 * the file positioned after the header. 1, or VIDEO_AVI_ERROR_*. */
KX_API int video_avi_file_save_finish(video_avi *avi, double frameRate);
/* Reads the header and index of the file positioned at the start of its "RIFF" tag. Every
 * size, count and offset is checked against the file's real length; null on any failure. */
KX_API video_avi *video_avi_new_from_file__IO(FILE *file);
/* Frees the record and its index and clears the caller's pointer. */
KX_API void video_avi_delete__OI(video_avi **pointerToAvi);
/* Prints "width,height,codec,frameRate,fileSize,file" without a line end. */
KX_API void video_avi_out(const video_avi *avi, FILE *stream);

KX_EXTERN_C_END

#endif
