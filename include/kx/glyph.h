/* kx_Glyphor: anti-aliased UTF-8 text drawn into 8-bit picture planes (a grey or luma plane, a
 * half-resolution chroma plane, or the first byte of a packed 3-byte image).
 *
 * Glyphs come from the plug-in libGlyphor (FreeType), loaded by file name on the first
 * kx_Glyphor_new__IO from, in order: /kx/bin/libGlyphor.so, ./libGlyphor.so,
 * ../bin/libGlyphor.so, then the folder that holds libkxlib. Rendered glyphs are cached per
 * font context as 4-bit coverage maps; contexts with equal parameters are shared and counted.
 * The caches of all contexts together are held to KX_GLYPHOR_CACHE_LIMIT bytes: a request for a
 * context while the total is above it deletes unreferenced contexts, oldest first.
 *
 * Every public call serialises on one module lock. */
#ifndef KX_GLYPH_H
#define KX_GLYPH_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

#define KX_GLYPHOR_CACHE_LIMIT 4096000u
/* Font used when a context is made without a font path; when that file does not exist, the
 * system's default sans font (fontconfig) is used instead, named in an info record. */
#define KX_GLYPHOR_DEFAULT_FONT "/kx/bin/default.ttc"

/* One cached glyph: one heap block of 14 + ceil(width * rows / 2) bytes. map holds the
 * width x rows coverage samples row after row as one sequence, two per byte, the earlier one in
 * the high nibble, 0 (none) to 15 (full); with an odd count the last byte holds the last
 * sample in its high nibble. The space (code 32) is never rendered: left = right = context
 * width / 2, no map. */
typedef struct kx_Glyphor_glyph {
    uint32_t code;
    int16_t left;  /* pixels between the pen and the bitmap */
    int16_t top;   /* rows from the top of the text line to the bitmap's first row */
    int16_t width; /* bitmap columns */
    int16_t rows;  /* bitmap rows */
    int16_t right; /* pixels to leave after the bitmap */
    unsigned char map[];
} kx_Glyphor_glyph;

/* A shared font context. */
typedef struct kx_Glyphor {
    int16_t width;   /* glyph cell width in pixels (pixel size given to the plug-in) */
    int16_t height;  /* glyph cell height in pixels */
    int32_t embolden; /* FreeType 26.6 strength, 0 off */
    int32_t shear;    /* 16.16 slant, 0 off */
    uint32_t referenceCount;
    kx_ObjectList *glyphList; /* kx_Glyphor_glyph records in ascending code order */
    uint32_t bufferSize;      /* bytes held by glyphList */
    void *face;               /* plug-in face, opened on the first glyph request, or null */
    const char *fontPath;     /* text stored behind the record */
} kx_Glyphor;

/* Shared context for the parameters (fontPath null or empty: the default font), or null when
 * the plug-in cannot be loaded or a size is not positive. An equal context is reused
 * (referenceCount + 1). */
KX_API kx_Glyphor *kx_Glyphor_new__IO(const char *fontPath, int16_t width, int16_t height, int32_t embolden,
                                      int32_t shear);
/* Gives up one holder: closes the face (reopened on the next request) and decrements
 * referenceCount; a count already 0 is logged and stays 0. The context stays for reuse. */
KX_API void kx_Glyphor_delete__OI(kx_Glyphor *context);
/* Cached glyph of a character code, rendered on first request; null when it cannot be made. */
KX_API const kx_Glyphor_glyph *kx_Glyphor_get(kx_Glyphor *context, uint32_t code);

/* Draws NUL-terminated UTF-8 text with its line's top-left corner at (x, y) of a plane of
 * planeWidth x planeHeight samples, rows lineBits bytes apart, in colour (0-255). Nothing is
 * ever written outside the plane: glyph parts left of or above it (negative x or y) and below
 * it are clipped. Results:
 *    1 done;
 *   -1 invalid UTF-8 (nothing after it is drawn, nothing beyond the text's end is read);
 *   -2 a glyph cannot be made;
 *   -3 the text does not fit: y + the context height >= planeHeight (tested first), or a glyph
 *      would end at or beyond planeWidth (the glyphs before it are drawn);
 *   -4 a null argument, an empty plane or a stride shorter than a row. */
KX_API int kx_Glyphor_write(kx_Glyphor *context, const char *text, unsigned char *plane, uint32_t planeWidth,
                            uint32_t planeHeight, uint32_t lineBits, int x, int y, unsigned char colour);
/* The same for a chroma plane at half resolution: planeWidth, planeHeight and lineBits describe
 * the chroma plane itself, x and y are full-resolution positions; positions and glyph maps are
 * halved (every other map sample of every other row is drawn). */
KX_API int kx_Glyphor_write_uv(kx_Glyphor *context, const char *text, unsigned char *plane, uint32_t planeWidth,
                               uint32_t planeHeight, uint32_t lineBits, int x, int y, unsigned char colour);
/* The same for a packed image of 3 bytes per pixel (lineBits in bytes); only the first byte of
 * each pixel is drawn. */
KX_API int kx_Glyphor_write_3(kx_Glyphor *context, const char *text, unsigned char *plane, uint32_t planeWidth,
                              uint32_t planeHeight, uint32_t lineBits, int x, int y, unsigned char colour);

/* Release hook (registered in globalParameterList when the plug-in is loaded): closes the
 * plug-in and frees every context. */
KX_API void kx_Glyphor_private_unload_lib(void);
/* Total bytes held by the glyph caches of all contexts. */
KX_API uint64_t kx_Glyphor_cache_total(void);

KX_EXTERN_C_END

#endif
