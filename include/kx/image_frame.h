/* image_frame: one video frame carried between threads, with up to nine representations of its
 * picture - planar YUV 4:2:0, H.264 access units (up to three) and packed RGB - at three sizes
 * (index 0 full, 1 half, 2 quarter). dataValidType tells which are present.
 *
 * A frame is a reference-counted object (kx_Object header, type KX_OBJECT_TYPE_IMAGE_FRAME). Every
 * representation attached to it also sits in the header's child list, so it is released with the
 * frame. The fields are not locked: attach representations before handing the frame on. */
#ifndef KX_IMAGE_FRAME_H
#define KX_IMAGE_FRAME_H

#include "kx/base.h"
#include "kx/h264.h"
#include "kx/memory.h"

KX_EXTERN_C_BEGIN

/* Bits of dataValidType: YUV at size s = 1 << s, H.264 = 1 << (3 + s), RGB = 1 << (6 + s). */
enum {
    IMAGE_FRAME_YUV_0 = 0x001,
    IMAGE_FRAME_YUV_1 = 0x002,
    IMAGE_FRAME_YUV_2 = 0x004,
    IMAGE_FRAME_H264_0 = 0x008,
    IMAGE_FRAME_H264_1 = 0x010,
    IMAGE_FRAME_H264_2 = 0x020,
    IMAGE_FRAME_RGB_0 = 0x040,
    IMAGE_FRAME_RGB_1 = 0x080,
    IMAGE_FRAME_RGB_2 = 0x100
};

/* Format byte of a YUV picture: bit 0 = planar YUV 4:2:0. */
#define IMAGE_FRAME_RAW_YUV420P 1

/* YUV 4:2:0 picture (object type KX_OBJECT_TYPE_RAW_IMAGE_FRAME): the Y plane of width x height
 * bytes, then the Cb and the Cr plane of ((width + 1) / 2) x ((height + 1) / 2) bytes each. The
 * size is not stored: it is the frame's size at the index the picture is attached to. */
typedef struct image_frame_raw {
    kx_Object object;
    unsigned char format;
    unsigned char reserved[3];
    unsigned char data[];
} image_frame_raw;

/* Packed RGB picture (object type KX_OBJECT_TYPE_RGB_IMAGE_FRAME): width x height x 3 bytes, R, G,
 * B, row by row. */
typedef struct image_frame_rgb {
    kx_Object object;
    unsigned char data[];
} image_frame_rgb;

typedef struct image_frame {
    kx_Object object;
    uint16_t classIndex;    /* picture-size generation; 0 as made */
    uint32_t width[3];      /* per size index */
    uint32_t height[3];
    uint32_t pixelCount[3]; /* width x height unless given at creation */
    uint32_t frameIndex;
    float frameRate;        /* frames per second */
    double arrivalTime;     /* uptime (s) at which the frame was taken in */
    double streamTime;      /* stream time (s) */
    uint32_t dataValidType; /* IMAGE_FRAME_* bits */
    image_frame_raw *yuvData[3];
    video_h264_object *h264Data[3][3]; /* per size, filled from slot 0 */
    image_frame_rgb *rgbData[3];
} image_frame;

/* Bytes of a width x height YUV 4:2:0 picture, or 0 when that does not fit 32 bits with the header. */
KX_API size_t image_frame_raw_size(uint32_t width, uint32_t height);

/* Frame with no representation (mask 0) and one reference. pixelCounts is null (each count is
 * width x height) or three counts. Null when a computed count does not fit 32 bits. */
KX_API image_frame *image_frame_new__IO(uint32_t width0, uint32_t height0, uint32_t width1, uint32_t height1,
                                        uint32_t width2, uint32_t height2, const uint32_t *pixelCounts,
                                        uint32_t frameIndex, float frameRate, double arrivalTime, double streamTime);

/* Attaches object at sizeIndex (0-2) and takes over the caller's reference: a YUV picture becomes
 * yuvData[s], an RGB picture rgbData[s], an H.264 object the first free h264Data[s] slot. A picture
 * that replaces an earlier one leaves the earlier one in the child list (it is still released with
 * the frame). 1 on success. The reference is released (the object is not attached) on failure:
 * -1 null frame or object, or size index above 2; -2 a fourth H.264 object for one size (logged);
 * -3 an object of another type (logged). */
KX_API int image_frame_set__OI_2(image_frame *frame, kx_Object *object, unsigned char sizeIndex);

/* type must be IMAGE_FRAME_H264_0: releases the full-size H.264 objects and clears the bit: 1.
 * Any other type is logged and changes nothing: -1. */
KX_API int image_frame_clear_data(image_frame *frame, uint32_t type);

/* New YUV 4:2:0 picture (format must be 1, else logged and null); pixels uninitialised. */
KX_API image_frame_raw *image_frame_raw_new__IO(uint32_t width, uint32_t height, unsigned char format);
/* New RGB picture of width x height x 3 bytes (uninitialised); null when it does not fit 32 bits. */
KX_API image_frame_rgb *image_frame_rgb_new__IO(uint32_t width, uint32_t height);

/* Makes sure the representation named by the single bit type is present: 1 when it was or has
 * been made, -1 otherwise. Made on request: IMAGE_FRAME_YUV_2 (quarter-size YUV, every fourth
 * sample of the full-size YUV) and IMAGE_FRAME_RGB_0 (full-size RGB from the full-size YUV). Any
 * other missing type is logged. */
KX_API int image_frame_prapare(image_frame *frame, uint32_t type);

KX_EXTERN_C_END

#endif
