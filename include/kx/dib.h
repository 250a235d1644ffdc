/* image_dib: the plain bitmap (width x height pixels in one of four formats with its own row
 * stride) and the pixel work around it: format conversion through integer lookup tables
 * (BT.601-style YCbCr), crop, vertical flip, nearest-neighbour and bilinear grey resize, planar
 * YUV 4:2:0 to packed RGB, and BMP files.
 *
 * Every operation that makes a DIB returns a new one (the source is left as it is) or null when
 * the arguments do not describe a valid picture (unknown format, zero size, a stride too short
 * for a row, coordinates outside the picture, sizes that do not fit the address space). The
 * module writes no log records.
 *
 * The conversion tables are built on first use, under globalParameterMutex, and released by
 * globalRelease; after globalRelease a later conversion builds them again. */
#ifndef KX_DIB_H
#define KX_DIB_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* Pixel formats of a DIB. */
enum {
    IMAGE_DIB_RGB = 1,   /* packed, 3 bytes per pixel: R, G, B */
    IMAGE_DIB_BGR = 2,   /* packed, 3 bytes per pixel: B, G, R */
    IMAGE_DIB_YCbCr = 3, /* planar 4:4:4: Y plane, Cb plane, Cr plane, each height rows of lineBits bytes */
    IMAGE_DIB_Gray = 4   /* 1 byte per pixel */
};

/* Raw buffer formats understood by image_dib_copy only. */
enum {
    IMAGE_DIB_YUV420P = 5, /* Y plane, then Cb, then Cr, each chroma plane (h+1)/2 rows of (lineBits+1)/2 bytes */
    IMAGE_DIB_GBR = 6      /* packed, 3 bytes per pixel: G, B, R */
};

typedef struct image_dib {
    uint32_t width;    /* pixels per row */
    uint32_t height;   /* rows */
    int32_t format;    /* IMAGE_DIB_RGB .. IMAGE_DIB_Gray */
    uint32_t lineBits; /* row stride: bytes per row (RGB, BGR, Gray), bytes per plane row (YCbCr) */
    size_t dataLenth;  /* bytes in data: height * lineBits, times 3 for YCbCr */
    unsigned char *data; /* rows top to bottom; release with image_dib_delete__OI */
} image_dib;

/* ---- construction and release ---- */

/* DIB with an uninitialised pixel block. lineBits 0 takes the default stride (width * 3 for RGB
 * and BGR, width for Gray and for each YCbCr plane); a smaller non-zero stride gives null. */
KX_API image_dib *image_dib_new__IO(uint32_t width, uint32_t height, int32_t format, uint32_t lineBits);
/* Frees the pixel block and the record and clears *dib (null pointers are ignored). */
KX_API void image_dib_delete__OI(image_dib **dib);
/* The same in the shape of a pixel-buffer destroy callback: pixels is ignored, dib is the record. */
KX_API void image_dib_delete_for_gtk__OI(unsigned char *pixels, void *dib);

/* ---- geometry and conversion (target format 0 keeps the source's format) ---- */

/* Nearest-neighbour resize: target row j takes source row ((2j + 1) * height / newHeight) >> 1,
 * target column i likewise (the centre of each target pixel). */
KX_API image_dib *image_dib_scaling_fast__IO(const image_dib *dib, uint32_t newWidth, uint32_t newHeight,
                                             int32_t format, uint32_t lineBits);
/* Inclusive rectangle (x1, y1) - (x2, y2); needs x1 <= x2 < width and y1 <= y2 < height. */
KX_API image_dib *image_dib_cutByPoint__IO(const image_dib *dib, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2,
                                           int32_t format, uint32_t lineBits);
/* Vertical flip: row r of the result is row height - 1 - r of the source. */
KX_API image_dib *image_dib_upsideDown__IO(const image_dib *dib, int32_t format, uint32_t lineBits);
/* Crop of at most maxWidth x maxHeight around (centerX, centerY), kept inside the picture: a side
 * that fits is taken whole, a centre too close to the start keeps the start, one too close to
 * the end keeps the end, otherwise the window is centred. */
KX_API image_dib *image_dib_CutByMaxWidthHeigh__IO(const image_dib *dib, uint32_t centerX, uint32_t centerY,
                                                   uint32_t maxWidth, uint32_t maxHeight, int32_t format,
                                                   uint32_t lineBits);
/* Whole picture converted to format (every pair of the four formats). */
KX_API image_dib *image_dib_new_from_dib__IO(const image_dib *dib, int32_t format, uint32_t lineBits);
/* From a planar 4:4:4 YCbCr source given as three planes sharing one row stride (0: width).
 * format 0 or 3 gives YCbCr, 1 RGB, 2 BGR, 4 Gray. */
KX_API image_dib *image_dib_new_from_YCbCr__IO(uint32_t width, uint32_t height, int32_t format, uint32_t lineBits,
                                               const unsigned char *y, const unsigned char *cb,
                                               const unsigned char *cr, uint32_t sourceLineBits);

/* ---- BMP files ---- */

/* Reads a BMP file held in memory: uncompressed 24-bit (B, G, R), 8-bit and 4-bit (palette
 * applied when the file has one, otherwise the samples are grey levels, a 4-bit sample v giving
 * v * 16), rows bottom-up or, with a negative height, top-down. format 0 or 1 gives RGB, 2 BGR,
 * 3 YCbCr, 4 Gray. Null for anything else or for a header that does not fit the data. */
KX_API image_dib *image_dib_new_from_bmp__IO(const kx_String *bmpData, int32_t format, uint32_t lineBits);
/* The same for a file; null when it cannot be read. */
KX_API image_dib *image_dib_new_from_file__IO(const char *path, int32_t format, uint32_t lineBits);
/* BMP file of the DIB: 24-bit for RGB, BGR and YCbCr (pixels at offset 54), 8-bit with a grey
 * palette for Gray (pixels at offset 1078); rows bottom-up, padded to 4 bytes. Null when the file
 * would exceed UINT32_MAX bytes. */
KX_API kx_String *image_dib_to_bmpData__IO(const image_dib *dib);
/* Writes image_dib_to_bmpData__IO(dib) to path: the result of kx_String_save_to_file (1, -1 file
 * cannot be opened, -2 write failed), or -3 when no BMP data could be made. */
KX_API int image_dib_svae_to_file(const image_dib *dib, const char *path);

/* ---- raw buffers ---- */

/* Converts a width x height picture between raw buffers. Supported: IMAGE_DIB_YUV420P to
 * IMAGE_DIB_RGB and to IMAGE_DIB_GBR. Strides of 0 take width (source) and width * 3 (target).
 * Every target pixel is written; the pixels of a 2 x 2 block share one Cb and one Cr sample.
 * 1, or -1 for another pair, a null buffer, a zero size or a short stride. */
KX_API int image_dib_copy(uint32_t width, uint32_t height, int32_t sourceFormat, uint32_t sourceLineBits,
                          const void *source, int32_t targetFormat, uint32_t targetLineBits, void *target);
/* Bilinear resize of an 8-bit grey picture (value truncated toward zero); returns targetHeight,
 * or 0 when a size is 0, a stride is shorter than its width or a buffer is null. */
KX_API uint32_t image_dib_resize_gray(unsigned char *target, uint32_t targetWidth, uint32_t targetHeight,
                                      uint32_t targetLineBits, const unsigned char *source, uint32_t sourceWidth,
                                      uint32_t sourceHeight, uint32_t sourceLineBits);

KX_EXTERN_C_END

#endif
