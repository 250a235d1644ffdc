/* image_jpeg: one complete baseline JPEG file in memory (8-bit, three YCbCr components).
 *
 * Checking and trimming (every constructor): the data must start with FF D8; data that does
 * not end with FF D9 is cut just behind the last FF D9 (none in it, or fewer than 20 bytes up
 * to it: refused). Analysis reads the markers up to the start of the scan and checks every
 * length against what remains. Pixel coding is done by the plug-in picpress, loaded on first
 * use from ../bin/picpress.so and picpress.so (relative to the working directory), then from
 * picpress.so and libpicpress.so in the folder that holds libkxlib.
 *
 * Embedded documents: an EBML document (kx/ebml.h) travels as a chain of COM segments placed
 * in front of the DQT segment, each one
 *     FF FE, length (big-endian: payload + 8), 45 A6 47 02, sequence number (little-endian,
 *     0 for the first segment and +1 for each further one), payload (at most 65527 bytes).
 *
 * Plug-in contract (symbols of picpress):
 *   int Decompress(const uint8_t *jpeg, uint32_t jpegLength, uint8_t *out, size_t outSize,
 *                  uint32_t *width, uint32_t *height, int format);
 *       0 on success: out holds the picture in the DIB layout of format (IMAGE_DIB_RGB, _BGR,
 *       _YCbCr or _Gray, default strides) and the size is written; anything else is a
 *       failure, also a picture that does not fit in outSize bytes.
 *   int Compress(const uint8_t *pixels, size_t pixelSize, uint32_t width, uint32_t height,
 *                uint8_t *out, size_t outSize, int quality, int format);
 *       the length of the JPEG written into out from pixels in the DIB layout of format
 *       (RGB, BGR or YCbCr, default strides), 0 or negative on failure. */
#ifndef KX_JPEG_H
#define KX_JPEG_H

#include "kx/base.h"
#include "kx/dib.h"

KX_EXTERN_C_BEGIN

struct kx_Ebml;

/* One COM segment: its marker's position in data and its length field. */
typedef struct image_jpeg_comment {
    const unsigned char *segment;
    uint16_t length;
} image_jpeg_comment;

typedef struct image_jpeg {
    uint16_t width;        /* from SOF0 */
    uint16_t height;
    uint16_t paddedWidth;  /* rounded up to 8 x the luma horizontal sampling factor */
    uint16_t paddedHeight; /* rounded up to 8 x the luma vertical sampling factor */
    uint8_t precision;     /* 8 */
    uint8_t bitCount;      /* 24 once analysed, 0 before and after a failed analysis */
    unsigned char *data;   /* the file from FF D8 to FF D9; owned */
    uint32_t length;
    uint16_t jfifVersion;  /* APP0 version bytes, 0 without APP0 */
    uint8_t densityUnits;
    const unsigned char *dqtSegment; /* the last DQT segment's marker, or null */
    uint32_t dqtLength;              /* its length field */
    float *quantTables[4];           /* dequantisation tables of a full analysis (64 floats, natural order) */
    uint8_t sampling[9];             /* Y, Cb, Cr: horizontal factor, vertical factor, quantisation table */
    void *dcTables[4];               /* Huffman tables of a full analysis, by index */
    void *acTables[4];
    const unsigned char *appSegments[16]; /* APP0..APP15 markers, by the low nibble */
    uint16_t appLengths[16];
    image_jpeg_comment *comments; /* every COM segment in file order */
    uint16_t commentCount;
    uint16_t restartInterval; /* from DRI, 0 when absent */
    const unsigned char *scanData; /* first byte behind the SOS header */
} image_jpeg;

/* Constructors: null when the data is shorter than 20 bytes, does not start with FF D8 or has
 * no FF D9 to end at. */
KX_API image_jpeg *image_jpeg_new_from_string__IO(const void *data, uint32_t length);
/* Takes the string record and its data. */
KX_API image_jpeg *image_jpeg_new_from_String__IO__OI(kx_String *string);
KX_API image_jpeg *image_jpeg_new_from_file__IO(const char *path);
/* Copy of the file without its embedded document segments; null when the analysis fails. */
KX_API image_jpeg *image_jpeg_new_from_jpeg_without_ebml__IO(image_jpeg *jpeg);
/* Compressed by the plug-in at quality (0-100); null when that fails. */
KX_API image_jpeg *image_jpeg_new_from_dib__IO(const image_dib *dib, int quality);
/* Frees the object and clears *jpeg. */
KX_API void image_jpeg_delete__OI(image_jpeg **jpeg);

/* 1 analysed now, 2 analysed before, -1 refused (logged). */
KX_API int image_jpeg_analyseTag_base(image_jpeg *jpeg);
/* The same checks plus the quantisation and Huffman tables: 1, or -1 refused. */
KX_API int image_jpeg_analyseTag_all(image_jpeg *jpeg);

/* Decodes through the plug-in into a new DIB of the JPEG's width. dibType 0 or 3 gives YCbCr,
 * 1 RGB, 2 BGR, 4 Gray. Height: dibHeight when not 0, else the JPEG's height + extraHeight
 * (rows beyond the picture are 0, a shorter DIB takes the top rows). expectedHeight, when not
 * 0, must equal the JPEG's height. conversionParameter: the row stride of the result (0
 * default). reserved is not used. Null on failure. */
KX_API image_dib *image_jpeg_convert_to_dib__IO(image_jpeg *jpeg, void *reserved, int32_t dibType, uint32_t dibHeight,
                                                uint32_t extraHeight, uint32_t expectedHeight,
                                                uint32_t conversionParameter);

/* 1 written, 0 no data, -1 the file cannot be opened, -2 write failed. */
KX_API int image_jpeg_save_to_file(const image_jpeg *jpeg, const char *path);
/* The file with document as its only embedded document (segments already embedded are left
 * out): 1, -2 write failed or the document cannot be serialised, -3 analysis failed. */
KX_API int image_jpeg_out_with_ebml(image_jpeg *jpeg, struct kx_Ebml *document, FILE *stream);
/* As above into a file: -1 when it cannot be opened. */
KX_API int image_jpeg_save_to_file_with_ebml(image_jpeg *jpeg, struct kx_Ebml *document, const char *path);
/* The file without embedded document segments: 1, -2 write failed, -3 analysis failed. */
KX_API int image_jpeg_out_without_ebml(image_jpeg *jpeg, FILE *stream);
KX_API int image_jpeg_save_to_file_without_ebml(image_jpeg *jpeg, const char *path);
/* The embedded document, or null when there is none or its chain is not consistent. */
KX_API struct kx_Ebml *image_jpeg_get_ebml__IO(image_jpeg *jpeg);

/* Returns 0 and does nothing. */
KX_API int image_jpeg_compress(void);

/* Release hook registered in globalParameterList when the plug-in is loaded. */
KX_API void image_jpeg_private_unload_lib(void);

KX_EXTERN_C_END

#endif
