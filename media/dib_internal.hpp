// Internals shared by the bitmap sources: the colour lookup tables, a read-only view of pixel
// rows, and the one remapping loop behind crop, flip, resize and conversion.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kx/dib.h"

namespace kx::dib {

// Integer YCbCr <-> RGB tables. The eight byte blocks are process-wide and registered in the
// global parameter list; the row offsets spare a multiplication per pixel for the two tables
// whose rows are not 256 wide.
struct Tables {
    const uint8_t *rByYCr;  // [Y][Cr]   256 x 256
    const uint8_t *bByYCb;  // [Y][Cb]   256 x 256
    const uint8_t *gcbcr;   // [Cb][Cr]  256 x 256, 0..210
    const uint8_t *gByYG;   // [Y][g]    256 rows of 211
    const uint8_t *ygb;     // [G][B]    256 x 256, 0..179
    const uint8_t *yByRK;   // [R][k]    256 rows of 180
    const uint8_t *cbByBY;  // [B][Y]    256 x 256
    const uint8_t *crByRY;  // [R][Y]    256 x 256
    uint16_t gRow[256];     // Y * 211
    uint16_t yRow[256];     // R * 180
};

constexpr unsigned kGcbcrSpan = 211;
constexpr unsigned kYgbSpan = 180;

// The tables, built on first call. Null only when memory runs out.
const Tables *tables();

inline void ycbcr_to_rgb(const Tables &t, unsigned y, unsigned cb, unsigned cr, uint8_t &r, uint8_t &g, uint8_t &b) {
    r = t.rByYCr[(y << 8) | cr];
    b = t.bByYCb[(y << 8) | cb];
    g = t.gByYG[t.gRow[y] + t.gcbcr[(cb << 8) | cr]];
}

inline uint8_t rgb_to_y(const Tables &t, unsigned r, unsigned g, unsigned b) {
    return t.yByRK[t.yRow[r] + t.ygb[(g << 8) | b]];
}

inline void rgb_to_ycbcr(const Tables &t, unsigned r, unsigned g, unsigned b, uint8_t &y, uint8_t &cb, uint8_t &cr) {
    y = rgb_to_y(t, r, g, b);
    cb = t.cbByBY[(b << 8) | y];
    cr = t.crByRY[(r << 8) | y];
}

// Rows of a source picture: row r of plane p starts at plane[p] + r * stride (the stride may be
// negative for bottom-up storage). Packed and grey formats use plane[0] only.
struct View {
    int format = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    const uint8_t *plane[3] = {nullptr, nullptr, nullptr};
    ptrdiff_t stride = 0;
};

View view_of(const image_dib *dib);

// Bytes per row of one plane for a format at a width, or 0 when it does not fit 32 bits.
uint32_t min_stride(int format, uint32_t width);

// New DIB of w x h in the target format whose row j, column i is the source pixel
// (rows[j], cols[i]), converted. The indices must lie inside the source.
image_dib *remap(const View &source, uint32_t w, uint32_t h, int target, uint32_t lineBits, const uint32_t *rows,
                 const uint32_t *cols);

// The whole source, converted to target (0: the source's format).
image_dib *convert_whole(const View &source, int target, uint32_t lineBits);

}  // namespace kx::dib
