/* Matroska reading and the Matroska codec data.
 *
 * The reader indexes a Matroska file in one pass: its tracks (H.264 or Motion-JPEG video, AAC
 * audio, SSA subtitles) with their codec private data, and where every frame of every track
 * lies in the file. No frame data is read while indexing; the sample readers below read single
 * frames from the recorded positions afterwards, as Annex-B H.264 (parameter sets in front of
 * key frames) or as ADTS AAC.
 *
 * Every size read from a file is checked against what is left of its element and of the file
 * before anything is allocated or read; elements the reader does not need are skipped by their
 * sizes at every level. */
#ifndef KX_MKV_H
#define KX_MKV_H

#include "kx/base.h"
#include "kx/string.h"

KX_EXTERN_C_BEGIN

/* Track types (TrackType values). */
enum { VIDEO_MKV_TRACK_VIDEO = 1, VIDEO_MKV_TRACK_AUDIO = 2, VIDEO_MKV_TRACK_SUBTITLE = 17 };
/* Codec codes: video 1 Motion-JPEG, 2 H.264; audio 1 AAC; subtitles 1 SSA. */
enum { VIDEO_MKV_CODEC_MJPEG = 1, VIDEO_MKV_CODEC_H264 = 2, VIDEO_MKV_CODEC_AAC = 1, VIDEO_MKV_CODEC_SSA = 1 };

/* Most tracks and frames one file may index; a file claiming more is refused. */
#define VIDEO_MKV_MAX_TRACKS 255u
#define VIDEO_MKV_MAX_FRAMES (1u << 24)

/* One frame: where its payload lies in the file, and when it is shown. */
typedef struct video_mkv_frame {
    uint64_t offset; /* file position of the first payload byte */
    uint32_t size;   /* payload bytes */
    uint32_t flags;  /* bit 0: key frame */
    float start;     /* subtitles: start and end in seconds; 0 for other tracks */
    float end;
    /* Block time in seconds, every track: (cluster Timestamp + the block's signed relative
     * time) x TimestampScale. This is the frame's presentation time, so with B-frames the
     * times of a video track are not in file order. The frames of a laced block share the
     * block time, except in an AAC track of known sample rate, where the k-th frame of the
     * lace is k x 1024 samples later. */
    double time;
} video_mkv_frame;
#define VIDEO_MKV_FRAME_KEY 1u

/* One track row, indexed by track number. */
typedef struct video_mkv_track {
    const char *name;     /* the Name element, or null */
    uint8_t type;         /* VIDEO_MKV_TRACK_*; 0 for row 0 */
    uint8_t codec;        /* VIDEO_MKV_CODEC_* */
    uint32_t width;       /* video: PixelWidth; audio: configuration byte, bits 3-5 the channel count */
    uint32_t height;      /* video: PixelHeight; audio: sampling frequency in whole Hz */
    float frameRate;      /* video: 10^9 / DefaultDuration; audio: sample rate / 1024 */
    kx_ObjectList *frames; /* video_mkv_frame records in file order (owned by the reader) */
    const unsigned char *codecPrivate; /* codec private block (see below), or null for row 0 */
} video_mkv_track;

/* The reader record. */
typedef struct video_mkv {
    uint16_t firstVideoTrack;    /* number of the first track of each type, 0 when none */
    uint16_t firstAudioTrack;
    uint16_t firstSubtitleTrack;
    uint16_t videoCount;         /* tracks of each type */
    uint16_t audioCount;
    uint16_t subtitleCount;
    uint16_t entryCount;         /* track entries; rows holds entryCount + 1 rows */
    uint64_t fileEnd;            /* file position at which the segment ends */
    FILE *file;                  /* the constructor's file (not closed by the reader) */
    kx_ObjectList *indexLists;   /* every track's frames list, in track order */
    video_mkv_track *rows;       /* rows[n] is track number n; rows[0] is empty */
    double tick;                 /* seconds per block-time unit (TimestampScale / 10^9) */
} video_mkv;

/* Indexes the Matroska file that begins at the file's current position. Null after an error
 * record for anything that is not a complete, supported file; a partial index is never
 * returned. */
KX_API video_mkv *video_mkv_new_from_file__IO(FILE *file);
/* Frees the record with every frame index (null is ignored). */
KX_API void video_mkv_delete__OI(video_mkv *mkv);
/* Prints width, height, codec and frame rate of the first video track, then fileEnd, the three
 * track counts and the file handle: "%u,%u,%hhu,%f,%llu,(%hhu,%hhu,%hhu),%#llx". */
KX_API void video_mkv_out(const video_mkv *mkv, FILE *stream);

/* ---- codec private blocks ----
 * A heap block: 4-byte little-endian payload length, a kind byte (H.264: the start-code length
 * found in the input, 3 or 4; Motion-JPEG: 4; AAC: 0), then the payload as stored in the file
 * (AVC decoder configuration record, BITMAPINFOHEADER, AudioSpecificConfig). */
#define VIDEO_MKV_CODECPRIVATE_LENGTH(block)                                                   \
    ((uint32_t)(block)[0] | ((uint32_t)(block)[1] << 8) | ((uint32_t)(block)[2] << 16) |      \
     ((uint32_t)(block)[3] << 24))
#define VIDEO_MKV_CODECPRIVATE_KIND(block) ((block)[4])
#define VIDEO_MKV_CODECPRIVATE_DATA(block) ((block) + 5)

/* H.264 block from an Annex-B access unit that starts with a start code: access-unit
 * delimiters are skipped, the first unit is the SPS and the next one the PPS. Null (logged)
 * otherwise. Free with video_mkv_codecPrivate_delete__OI. */
KX_API unsigned char *video_mkv_codecPrivate_h264_get__IO(uint32_t length, const void *annexB);
/* The 45-byte Motion-JPEG block. */
KX_API unsigned char *video_mkv_codecPrivate_jpeg_get__IO(void);
/* Frees a block made by the two functions above (null is ignored). */
KX_API void video_mkv_codecPrivate_delete__OI(unsigned char *block);
/* 1 and the 7-byte AAC block in out7; -1 for a sample rate below 7350 (logged). */
KX_API int video_mkv_codecPrivate_aac_get_byParameter(unsigned char out7[7], uint8_t objectType, uint8_t channels,
                                                      uint32_t sampleRate);
/* 1 and the 7-byte AAC block from an ADTS header starting FF F1 (MPEG-4, no CRC); -1 otherwise. */
KX_API int video_mkv_codecPrivate_aac_get(unsigned char out7[7], const unsigned char adtsHeader[7]);

/* Key data of an H.264 block: a 4-byte little-endian length, then 00 00 00 01 before every SPS
 * and PPS of the configuration record and a final 00 00 00 01 for the unit that follows. At
 * most VIDEO_MKV_KEYDATA_MAX(payload length) bytes in all. 1, or -1 (logged) for a record
 * that is malformed, has no SPS or PPS, does not use 4-byte NAL lengths, or does not fit in
 * keyDataSize bytes. */
#define VIDEO_MKV_KEYDATA_MAX(payloadLength) (2u * (uint32_t)(payloadLength) + 8u)
KX_API int video_mkv_h264_get_keyData(unsigned char *keyDataOut, uint32_t keyDataSize,
                                      const unsigned char *h264Block);
/* 1 and the 7-byte ADTS header (no CRC) for a frame of frameLength bytes, header included;
 * -1 (logged) when the block is not an AAC configuration ADTS can carry or frameLength does
 * not fit in 13 bits. */
KX_API int video_mkv_aac_get_head(unsigned char out7[7], const unsigned char *aacBlock, uint32_t frameLength);

/* Reads the stored H.264 sample at offset (size bytes of NAL units behind 4-byte big-endian
 * lengths) as Annex B into out: with key data (key frames) the key data's bytes come first and
 * its final start code serves the first unit; every unit gets 00 00 00 01. out must hold
 * size bytes plus the key data's length. Bytes written, or -1 seek failure, -2 short read,
 * -3 lengths that do not add up exactly to size, -4 out too small (all logged). */
KX_API int video_mkv_read_h264Stream_from_file(unsigned char *out, uint32_t outSize, const unsigned char *keyData,
                                               FILE *file, uint64_t offset, uint32_t size);
/* Reads the AAC frame at offset behind a 7-byte ADTS header: size + 7, or -1 seek failure,
 * -2 short read, -3 a block or size ADTS cannot carry, -4 out (outSize bytes) too small. */
KX_API int video_mkv_read_aacStream_from_file(unsigned char *out, uint32_t outSize, const unsigned char *aacBlock,
                                              FILE *file, uint64_t offset, uint32_t size);
/* Every frame of an AAC track as consecutive ADTS frames; track 0 is the first audio track.
 * Null (logged) when there is no such track or a frame cannot be read. */
KX_API kx_String *video_mkv_file_to_aac__IO(const video_mkv *mkv, uint16_t trackNumber);

KX_EXTERN_C_END

#endif
