// Bitmaps: construction, the colour tables, and every geometric operation and conversion.
//
// Every per-pixel operation is one loop (remap) instantiated for each source/target format pair:
// target pixel (i, j) is source pixel (cols[i], rows[j]) converted through the tables. Crop, flip
// and resize only differ in the index maps they hand it.
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <vector>

#include "kx/global.h"
#include "kx/memory.h"
#include "media/dib_internal.hpp"

namespace kx::dib {
namespace {

// ---- tables ----

std::atomic<const Tables *> g_tables{nullptr};
Tables g_storage;

inline int clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

void forget_tables(void *) { g_tables.store(nullptr, std::memory_order_release); }

struct Block {
    const char *name;
    size_t size;
    uint8_t *data = nullptr;
};

// Called with globalParameterMutex held.
const Tables *build_tables() {
    Block blocks[] = {
        {"pYCbCr_to_R_by_Y_Cr", 256 * 256},      {"pYCbCr_to_B_by_Y_Cb", 256 * 256},
        {"pYCbCr_to_Gcbcr_by_Cb_Cr", 256 * 256}, {"pYCbCr_to_G_by_Y_Gcbcr", 256 * kGcbcrSpan},
        {"pRGB_to_Ygb_by_G_B", 256 * 256},       {"pRGB_to_Y_by_R_Y", 256 * kYgbSpan},
        {"pRGB_to_Cb_by_B_Y", 256 * 256},        {"pRGB_to_Cr_by_R_Y", 256 * 256},
    };
    constexpr size_t kCount = sizeof blocks / sizeof blocks[0];
    kx_globalParameter *records[kCount + 1] = {};
    bool ok = true;
    for (size_t k = 0; k < kCount && ok; ++k) {
        blocks[k].data = static_cast<uint8_t *>(malloc(blocks[k].size));
        void *block = blocks[k].data;
        ok = block != nullptr && (records[k] = globalParameter_new_blocks__IO(blocks[k].name, 1, &block)) != nullptr;
    }
    // Registered ahead of the blocks, so it runs after globalRelease has freed them.
    if (ok) {
        records[kCount] = globalParameter_new_callback__IO("image_dib_tables", forget_tables, nullptr);
        ok = records[kCount] != nullptr;
    }
    if (!ok) {
        for (size_t k = 0; k <= kCount; ++k) free(records[k]);
        for (Block &b : blocks) free(b.data);
        return nullptr;
    }

    uint8_t *rByYCr = blocks[0].data, *bByYCb = blocks[1].data, *gcbcr = blocks[2].data, *gByYG = blocks[3].data;
    uint8_t *ygb = blocks[4].data, *yByRK = blocks[5].data, *cbByBY = blocks[6].data, *crByRY = blocks[7].data;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            size_t at = static_cast<size_t>(a) << 8 | static_cast<size_t>(b);
            rByYCr[at] = static_cast<uint8_t>(clamp((512 * a + 719 * b - 91648) >> 9, 0, 255));
            bByYCb[at] = static_cast<uint8_t>(clamp((128 * a + 227 * b - 28928) >> 7, 0, 255));
            gcbcr[at] = static_cast<uint8_t>(clamp((122753 - 176 * a - 365 * b) >> 9, 0, 210));
            ygb[at] = static_cast<uint8_t>((603 * a + 117 * b) >> 10);
            // Only pairs reachable from real pixels land outside 0..255 when not clamped.
            cbByBY[at] = static_cast<uint8_t>(clamp((9 * a - 9 * b + 2048) >> 4, 0, 255));
            crByRY[at] = static_cast<uint8_t>(clamp((727 * a - 727 * b + 131072) >> 10, 0, 255));
        }
        for (int g = 0; g < static_cast<int>(kGcbcrSpan); ++g) {
            gByYG[a * kGcbcrSpan + g] = static_cast<uint8_t>(clamp(a + g - 105, 0, 255));
        }
        for (int k = 0; k < static_cast<int>(kYgbSpan); ++k) {
            yByRK[a * kYgbSpan + k] = static_cast<uint8_t>(((306 * a) >> 10) + k);
        }
        g_storage.gRow[a] = static_cast<uint16_t>(a * kGcbcrSpan);
        g_storage.yRow[a] = static_cast<uint16_t>(a * kYgbSpan);
    }
    g_storage.rByYCr = rByYCr;
    g_storage.bByYCb = bByYCb;
    g_storage.gcbcr = gcbcr;
    g_storage.gByYG = gByYG;
    g_storage.ygb = ygb;
    g_storage.yByRK = yByRK;
    g_storage.cbByBY = cbByBY;
    g_storage.crByRY = crByRY;

    globalParameter_append__OI(records[kCount]);
    for (size_t k = 0; k < kCount; ++k) globalParameter_append__OI(records[k]);
    g_tables.store(&g_storage, std::memory_order_release);
    return &g_storage;
}

// ---- sizes ----

inline bool mul(size_t a, size_t b, size_t *out) { return !__builtin_mul_overflow(a, b, out); }

constexpr bool valid_format(int f) { return f >= IMAGE_DIB_RGB && f <= IMAGE_DIB_Gray; }

// Checks a DIB the caller hands in: known format, a stride that holds a row and data that
// covers every row.
bool valid_dib(const image_dib *dib) {
    if (dib == nullptr || dib->data == nullptr || !valid_format(dib->format) || dib->width == 0 || dib->height == 0)
        return false;
    uint32_t need = min_stride(dib->format, dib->width);
    size_t bytes;
    if (need == 0 || dib->lineBits < need || !mul(dib->lineBits, dib->height, &bytes)) return false;
    if (dib->format == IMAGE_DIB_YCbCr && !mul(bytes, 3, &bytes)) return false;
    return dib->dataLenth >= bytes;
}

// ---- one pixel ----

// A pixel in its format's own terms: (R, G, B) for RGB and BGR, (Y, Cb, Cr), or a grey level in a.
struct Px {
    uint8_t a, b, c;
};

constexpr int kind(int f) { return f == IMAGE_DIB_BGR ? IMAGE_DIB_RGB : f; }
constexpr bool uses_tables(int s, int t) {
    return (kind(s) == IMAGE_DIB_RGB && (t == IMAGE_DIB_YCbCr || t == IMAGE_DIB_Gray)) ||
           (s == IMAGE_DIB_YCbCr && kind(t) == IMAGE_DIB_RGB);
}

template <int S>
inline Px load(const uint8_t *const *row, size_t x) {
    if constexpr (S == IMAGE_DIB_RGB) {
        const uint8_t *p = row[0] + 3 * x;
        return {p[0], p[1], p[2]};
    } else if constexpr (S == IMAGE_DIB_BGR) {
        const uint8_t *p = row[0] + 3 * x;
        return {p[2], p[1], p[0]};
    } else if constexpr (S == IMAGE_DIB_YCbCr) {
        return {row[0][x], row[1][x], row[2][x]};
    } else {
        return {row[0][x], 0, 0};
    }
}

template <int T>
inline void store(uint8_t *const *row, size_t x, Px p) {
    if constexpr (T == IMAGE_DIB_RGB) {
        uint8_t *d = row[0] + 3 * x;
        d[0] = p.a, d[1] = p.b, d[2] = p.c;
    } else if constexpr (T == IMAGE_DIB_BGR) {
        uint8_t *d = row[0] + 3 * x;
        d[0] = p.c, d[1] = p.b, d[2] = p.a;
    } else if constexpr (T == IMAGE_DIB_YCbCr) {
        row[0][x] = p.a, row[1][x] = p.b, row[2][x] = p.c;
    } else {
        row[0][x] = p.a;
    }
}

template <int S, int T>
inline Px convert(const Tables *t, Px p) {
    constexpr int s = kind(S), d = kind(T);
    if constexpr (s == d) {
        return p;
    } else if constexpr (s == IMAGE_DIB_RGB && d == IMAGE_DIB_YCbCr) {
        Px out;
        rgb_to_ycbcr(*t, p.a, p.b, p.c, out.a, out.b, out.c);
        return out;
    } else if constexpr (s == IMAGE_DIB_RGB) {  // to grey
        return {rgb_to_y(*t, p.a, p.b, p.c), 0, 0};
    } else if constexpr (s == IMAGE_DIB_YCbCr && d == IMAGE_DIB_RGB) {
        Px out;
        ycbcr_to_rgb(*t, p.a, p.b, p.c, out.a, out.b, out.c);
        return out;
    } else if constexpr (s == IMAGE_DIB_YCbCr) {  // to grey
        return {p.a, 0, 0};
    } else if constexpr (d == IMAGE_DIB_RGB) {  // grey to RGB / BGR
        return {p.a, p.a, p.a};
    } else {  // grey to YCbCr
        return {p.a, 128, 128};
    }
}

constexpr size_t bytes_per_pixel(int f) { return kind(f) == IMAGE_DIB_RGB ? 3 : 1; }
constexpr int planes(int f) { return f == IMAGE_DIB_YCbCr ? 3 : 1; }

// ---- the loop ----

template <int S, int T>
image_dib *remap_t(const View &src, uint32_t w, uint32_t h, uint32_t lineBits, const uint32_t *rows,
                   const uint32_t *cols) {
    const Tables *tb = nullptr;
    if constexpr (uses_tables(S, T)) {
        if ((tb = tables()) == nullptr) return nullptr;
    }
    image_dib *out = image_dib_new__IO(w, h, T, lineBits);
    if (out == nullptr) return nullptr;
    const size_t plane = static_cast<size_t>(out->lineBits) * h;
    // Same format and consecutive columns: whole row pieces are copied.
    bool straight = S == T;
    for (uint32_t i = 1; straight && i < w; ++i) straight = cols[i] == cols[0] + i;
    for (uint32_t j = 0; j < h; ++j) {
        const uint8_t *in[3];
        uint8_t *to[3];
        for (int p = 0; p < planes(S); ++p) in[p] = src.plane[p] + static_cast<ptrdiff_t>(rows[j]) * src.stride;
        for (int p = 0; p < planes(T); ++p) to[p] = out->data + p * plane + static_cast<size_t>(j) * out->lineBits;
        if (straight) {
            for (int p = 0; p < planes(T); ++p)
                memcpy(to[p], in[p] + cols[0] * bytes_per_pixel(S), static_cast<size_t>(w) * bytes_per_pixel(S));
            continue;
        }
        for (uint32_t i = 0; i < w; ++i) store<T>(to, i, convert<S, T>(tb, load<S>(in, cols[i])));
    }
    return out;
}

using RemapFn = image_dib *(*)(const View &, uint32_t, uint32_t, uint32_t, const uint32_t *, const uint32_t *);

template <int S>
constexpr RemapFn remap_row[5] = {nullptr, remap_t<S, 1>, remap_t<S, 2>, remap_t<S, 3>, remap_t<S, 4>};
constexpr const RemapFn *kRemap[5] = {nullptr, remap_row<1>, remap_row<2>, remap_row<3>, remap_row<4>};

std::vector<uint32_t> iota(uint32_t first, uint32_t n) {
    std::vector<uint32_t> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = first + i;
    return v;
}

// Centre of target cell i of n cells over a source of m: ((2i + 1) * m / n) >> 1.
std::vector<uint32_t> centres(uint32_t m, uint32_t n) {
    std::vector<uint32_t> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = static_cast<uint32_t>(((2 * static_cast<uint64_t>(i) + 1) * m / n) >> 1);
    return v;
}

// ---- the three families, per format pair ----

template <int S, int T>
image_dib *scaling_t(const image_dib *dib, uint32_t w, uint32_t h, uint32_t lineBits) {
    if (!valid_dib(dib) || dib->format != S || w == 0 || h == 0) return nullptr;
    std::vector<uint32_t> rows = centres(dib->height, h), cols = centres(dib->width, w);
    return remap_t<S, T>(view_of(dib), w, h, lineBits, rows.data(), cols.data());
}

template <int S, int T>
image_dib *cut_t(const image_dib *dib, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2, uint32_t lineBits) {
    if (!valid_dib(dib) || dib->format != S || x1 > x2 || y1 > y2 || x2 >= dib->width || y2 >= dib->height)
        return nullptr;
    std::vector<uint32_t> rows = iota(y1, y2 - y1 + 1), cols = iota(x1, x2 - x1 + 1);
    return remap_t<S, T>(view_of(dib), x2 - x1 + 1, y2 - y1 + 1, lineBits, rows.data(), cols.data());
}

template <int S, int T>
image_dib *flip_t(const image_dib *dib, uint32_t lineBits) {
    if (!valid_dib(dib) || dib->format != S) return nullptr;
    std::vector<uint32_t> rows(dib->height), cols = iota(0, dib->width);
    for (uint32_t r = 0; r < dib->height; ++r) rows[r] = dib->height - 1 - r;
    return remap_t<S, T>(view_of(dib), dib->width, dib->height, lineBits, rows.data(), cols.data());
}

template <int S, int T>
image_dib *whole_t(const image_dib *dib, uint32_t lineBits) {
    if (!valid_dib(dib) || dib->format != S) return nullptr;
    return convert_whole(view_of(dib), T, lineBits);
}

template <int T>
image_dib *from_ycbcr_t(uint32_t w, uint32_t h, uint32_t lineBits, const uint8_t *y, const uint8_t *cb,
                        const uint8_t *cr, uint32_t stride) {
    if (y == nullptr || cb == nullptr || cr == nullptr || w == 0 || h == 0) return nullptr;
    if (stride == 0) stride = w;
    if (stride < w) return nullptr;
    View v;
    v.format = IMAGE_DIB_YCbCr;
    v.width = w;
    v.height = h;
    v.plane[0] = y, v.plane[1] = cb, v.plane[2] = cr;
    v.stride = stride;
    return convert_whole(v, T, lineBits);
}

}  // namespace

// ---- shared internals ----

const Tables *tables() {
    const Tables *t = g_tables.load(std::memory_order_acquire);
    if (t != nullptr) return t;
    pthread_mutex_lock(&globalParameterMutex);
    t = g_tables.load(std::memory_order_acquire);
    if (t == nullptr) t = build_tables();
    pthread_mutex_unlock(&globalParameterMutex);
    return t;
}

uint32_t min_stride(int format, uint32_t width) {
    uint64_t n = static_cast<uint64_t>(width) * (kind(format) == IMAGE_DIB_RGB ? 3 : 1);
    return n > UINT32_MAX ? 0 : static_cast<uint32_t>(n);
}

View view_of(const image_dib *dib) {
    View v;
    v.format = dib->format;
    v.width = dib->width;
    v.height = dib->height;
    v.stride = dib->lineBits;
    const size_t plane = static_cast<size_t>(dib->lineBits) * dib->height;
    for (int p = 0; p < planes(dib->format); ++p) v.plane[p] = dib->data + p * plane;
    return v;
}

image_dib *remap(const View &source, uint32_t w, uint32_t h, int target, uint32_t lineBits, const uint32_t *rows,
                 const uint32_t *cols) {
    if (target == 0) target = source.format;
    if (!valid_format(source.format) || !valid_format(target) || w == 0 || h == 0) return nullptr;
    return kRemap[source.format][target](source, w, h, lineBits, rows, cols);
}

image_dib *convert_whole(const View &source, int target, uint32_t lineBits) {
    std::vector<uint32_t> rows = iota(0, source.height), cols = iota(0, source.width);
    return remap(source, source.width, source.height, target, lineBits, rows.data(), cols.data());
}

}  // namespace kx::dib

using namespace kx::dib;

// The private families: image_dib_private_<family>_<source>_to_<target>__IO for every pair.
#define KX_DIB_PAIR(X, S, T) X(S, T, IMAGE_DIB_##S, IMAGE_DIB_##T)
#define KX_DIB_PAIRS(X)                                                                                     \
    KX_DIB_PAIR(X, RGB, RGB) KX_DIB_PAIR(X, RGB, BGR) KX_DIB_PAIR(X, RGB, YCbCr) KX_DIB_PAIR(X, RGB, Gray)         \
    KX_DIB_PAIR(X, BGR, RGB) KX_DIB_PAIR(X, BGR, BGR) KX_DIB_PAIR(X, BGR, YCbCr) KX_DIB_PAIR(X, BGR, Gray)     \
    KX_DIB_PAIR(X, YCbCr, RGB) KX_DIB_PAIR(X, YCbCr, BGR) KX_DIB_PAIR(X, YCbCr, YCbCr)                       \
    KX_DIB_PAIR(X, YCbCr, Gray) KX_DIB_PAIR(X, Gray, RGB) KX_DIB_PAIR(X, Gray, BGR)                           \
    KX_DIB_PAIR(X, Gray, YCbCr) KX_DIB_PAIR(X, Gray, Gray)

#define KX_DIB_SCALING(S, T, s, t)                                                                           \
    image_dib *image_dib_private_scaling_fast_##S##_to_##T##__IO(const image_dib *dib, uint32_t w, uint32_t h, \
                                                                 uint32_t lineBits) {                         \
        return scaling_t<s, t>(dib, w, h, lineBits);                                                           \
    }
#define KX_DIB_CUT(S, T, s, t)                                                                                   \
    image_dib *image_dib_private_cutByPoint_##S##_to_##T##__IO(const image_dib *dib, uint32_t x1, uint32_t y1,   \
                                                               uint32_t x2, uint32_t y2, uint32_t lineBits) {     \
        return cut_t<s, t>(dib, x1, y1, x2, y2, lineBits);                                                         \
    }
#define KX_DIB_FLIP(S, T, s, t)                                                                                  \
    image_dib *image_dib_private_upsideDown_##S##_to_##T##__IO(const image_dib *dib, uint32_t lineBits) {         \
        return flip_t<s, t>(dib, lineBits);                                                                        \
    }

extern "C" {
KX_DIB_PAIRS(KX_DIB_SCALING)
KX_DIB_PAIRS(KX_DIB_CUT)
KX_DIB_PAIRS(KX_DIB_FLIP)

image_dib *image_dib_private_new_from_dib_RGB_to_RGB__IO(const image_dib *dib, uint32_t lineBits) {
    return whole_t<IMAGE_DIB_RGB, IMAGE_DIB_RGB>(dib, lineBits);
}
image_dib *image_dib_private_new_from_dib_RGB_to_YCbCr__IO(const image_dib *dib, uint32_t lineBits) {
    return whole_t<IMAGE_DIB_RGB, IMAGE_DIB_YCbCr>(dib, lineBits);
}
image_dib *image_dib_private_new_from_dib_YCbCr_to_RGB__IO(const image_dib *dib, uint32_t lineBits) {
    return whole_t<IMAGE_DIB_YCbCr, IMAGE_DIB_RGB>(dib, lineBits);
}

image_dib *image_dib_private_new_from_YCbCr_to_YCbCr__IO(uint32_t w, uint32_t h, uint32_t lineBits,
                                                         const uint8_t *y, const uint8_t *cb, const uint8_t *cr,
                                                         uint32_t stride) {
    return from_ycbcr_t<IMAGE_DIB_YCbCr>(w, h, lineBits, y, cb, cr, stride);
}
image_dib *image_dib_private_new_from_YCbCr_to_RGB__IO(uint32_t w, uint32_t h, uint32_t lineBits, const uint8_t *y,
                                                       const uint8_t *cb, const uint8_t *cr, uint32_t stride) {
    return from_ycbcr_t<IMAGE_DIB_RGB>(w, h, lineBits, y, cb, cr, stride);
}
image_dib *image_dib_private_new_from_YCbCr_to_BGR__IO(uint32_t w, uint32_t h, uint32_t lineBits, const uint8_t *y,
                                                       const uint8_t *cb, const uint8_t *cr, uint32_t stride) {
    return from_ycbcr_t<IMAGE_DIB_BGR>(w, h, lineBits, y, cb, cr, stride);
}
image_dib *image_dib_private_new_from_YCbCr_to_Gray__IO(uint32_t w, uint32_t h, uint32_t lineBits, const uint8_t *y,
                                                        const uint8_t *cb, const uint8_t *cr, uint32_t stride) {
    return from_ycbcr_t<IMAGE_DIB_Gray>(w, h, lineBits, y, cb, cr, stride);
}
}  // extern "C"

namespace {

using ScalingFn = image_dib *(*)(const image_dib *, uint32_t, uint32_t, uint32_t);
using CutFn = image_dib *(*)(const image_dib *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);
using FlipFn = image_dib *(*)(const image_dib *, uint32_t);
using FromYCbCrFn = image_dib *(*)(uint32_t, uint32_t, uint32_t, const uint8_t *, const uint8_t *, const uint8_t *,
                                   uint32_t);

#define KX_DIB_ROW(prefix, S)                                                                                    \
    {nullptr, prefix##S##_to_RGB__IO, prefix##S##_to_BGR__IO, prefix##S##_to_YCbCr__IO, prefix##S##_to_Gray__IO}
#define KX_DIB_TABLE(prefix)                                                                               \
    {{}, KX_DIB_ROW(prefix, RGB), KX_DIB_ROW(prefix, BGR), KX_DIB_ROW(prefix, YCbCr), KX_DIB_ROW(prefix, Gray)}

const ScalingFn kScaling[5][5] = KX_DIB_TABLE(image_dib_private_scaling_fast_);
const CutFn kCut[5][5] = KX_DIB_TABLE(image_dib_private_cutByPoint_);
const FlipFn kFlip[5][5] = KX_DIB_TABLE(image_dib_private_upsideDown_);
const FromYCbCrFn kFromYCbCr[5] = {
    image_dib_private_new_from_YCbCr_to_YCbCr__IO, image_dib_private_new_from_YCbCr_to_RGB__IO,
    image_dib_private_new_from_YCbCr_to_BGR__IO, image_dib_private_new_from_YCbCr_to_YCbCr__IO,
    image_dib_private_new_from_YCbCr_to_Gray__IO};

// Source and target format of a family call: false for an unusable DIB or target.
bool pair_of(const image_dib *dib, int32_t &target) {
    if (!valid_dib(dib)) return false;
    if (target == 0) target = dib->format;
    return valid_format(target);
}

// ---- planar YUV 4:2:0 to packed RGB ----

// o0, o1, o2: byte positions of R, G and B in a target pixel.
template <int o0, int o1, int o2>
void yuv420_to_packed(const Tables &t, uint32_t w, uint32_t h, size_t stride, const uint8_t *src, size_t outStride,
                      uint8_t *out) {
    const size_t cStride = (stride + 1) / 2;
    const uint8_t *planeY = src;
    const uint8_t *planeU = src + stride * h;
    const uint8_t *planeV = planeU + cStride * ((static_cast<size_t>(h) + 1) / 2);
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t *rowY = planeY + stride * y;
        const uint8_t *rowU = planeU + cStride * (y / 2);
        const uint8_t *rowV = planeV + cStride * (y / 2);
        uint8_t *d = out + outStride * y;
        for (uint32_t x = 0; x < w; x += 2) {
            const unsigned cb = rowU[x / 2], cr = rowV[x / 2];
            const uint8_t *rRow = t.rByYCr + cr, *bRow = t.bByYCb + cb;
            const unsigned g = t.gcbcr[(cb << 8) | cr];
            for (uint32_t k = x; k < x + 2 && k < w; ++k, d += 3) {
                const unsigned luma = rowY[k];
                d[o0] = rRow[luma << 8];
                d[o1] = t.gByYG[t.gRow[luma] + g];
                d[o2] = bRow[luma << 8];
            }
        }
    }
}

}  // namespace

extern "C" {

void image_dib_private_copy_YUV420P2RGB(const Tables *t, uint32_t w, uint32_t h, size_t stride, const uint8_t *src,
                                        size_t outStride, uint8_t *out) {
    yuv420_to_packed<0, 1, 2>(*t, w, h, stride, src, outStride, out);
}
void image_dib_private_copy_YUV420P2GBR(const Tables *t, uint32_t w, uint32_t h, size_t stride, const uint8_t *src,
                                        size_t outStride, uint8_t *out) {
    yuv420_to_packed<2, 0, 1>(*t, w, h, stride, src, outStride, out);
}

// ---- construction and release ----

image_dib *image_dib_new__IO(uint32_t width, uint32_t height, int32_t format, uint32_t lineBits) {
    if (!valid_format(format) || width == 0 || height == 0) return nullptr;
    uint32_t need = min_stride(format, width);
    if (need == 0) return nullptr;
    if (lineBits == 0) lineBits = need;
    size_t bytes;
    if (lineBits < need || !mul(lineBits, height, &bytes)) return nullptr;
    if (format == IMAGE_DIB_YCbCr && !mul(bytes, 3, &bytes)) return nullptr;
    auto *dib = static_cast<image_dib *>(kx_memery_malloc(sizeof(image_dib)));
    if (dib == nullptr) return nullptr;
    dib->data = static_cast<unsigned char *>(kx_memery_malloc(bytes));
    if (dib->data == nullptr) {
        kx_memery_free(dib, sizeof(image_dib));
        return nullptr;
    }
    dib->width = width;
    dib->height = height;
    dib->format = format;
    dib->lineBits = lineBits;
    dib->dataLenth = bytes;
    return dib;
}

void image_dib_delete__OI(image_dib **dib) {
    if (dib == nullptr || *dib == nullptr) return;
    kx_memery_free((*dib)->data, (*dib)->dataLenth);
    kx_memery_free(*dib, sizeof(image_dib));
    *dib = nullptr;
}

void image_dib_delete_for_gtk__OI(unsigned char *pixels, void *dib) {
    (void)pixels;
    auto *record = static_cast<image_dib *>(dib);
    image_dib_delete__OI(&record);
}

// ---- families ----

image_dib *image_dib_scaling_fast__IO(const image_dib *dib, uint32_t newWidth, uint32_t newHeight, int32_t format,
                                      uint32_t lineBits) {
    if (!pair_of(dib, format)) return nullptr;
    return kScaling[dib->format][format](dib, newWidth, newHeight, lineBits);
}

image_dib *image_dib_cutByPoint__IO(const image_dib *dib, uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2,
                                    int32_t format, uint32_t lineBits) {
    if (!pair_of(dib, format)) return nullptr;
    return kCut[dib->format][format](dib, x1, y1, x2, y2, lineBits);
}

image_dib *image_dib_upsideDown__IO(const image_dib *dib, int32_t format, uint32_t lineBits) {
    if (!pair_of(dib, format)) return nullptr;
    return kFlip[dib->format][format](dib, lineBits);
}

image_dib *image_dib_CutByMaxWidthHeigh__IO(const image_dib *dib, uint32_t centerX, uint32_t centerY,
                                            uint32_t maxWidth, uint32_t maxHeight, int32_t format, uint32_t lineBits) {
    if (!pair_of(dib, format) || maxWidth == 0 || maxHeight == 0) return nullptr;
    // One axis: size n, centre c, window m -> first and last index.
    auto window = [](int64_t n, int64_t c, int64_t m, int64_t &first, int64_t &last) {
        if (n <= m) {
            first = 0, last = n - 1;
        } else if (m > 2 * c) {
            first = 0, last = m - 1;
        } else if (2 * (n - 1 - c) >= m) {
            first = c - m / 2, last = first + m - 1;
        } else {
            first = n - m, last = n - 1;
        }
    };
    int64_t x1, x2, y1, y2;
    window(dib->width, centerX, maxWidth, x1, x2);
    window(dib->height, centerY, maxHeight, y1, y2);
    return kCut[dib->format][format](dib, static_cast<uint32_t>(x1), static_cast<uint32_t>(y1),
                                     static_cast<uint32_t>(x2), static_cast<uint32_t>(y2), lineBits);
}

image_dib *image_dib_new_from_dib__IO(const image_dib *dib, int32_t format, uint32_t lineBits) {
    if (!pair_of(dib, format)) return nullptr;
    if (dib->format == IMAGE_DIB_RGB && format == IMAGE_DIB_RGB)
        return image_dib_private_new_from_dib_RGB_to_RGB__IO(dib, lineBits);
    if (dib->format == IMAGE_DIB_RGB && format == IMAGE_DIB_YCbCr)
        return image_dib_private_new_from_dib_RGB_to_YCbCr__IO(dib, lineBits);
    if (dib->format == IMAGE_DIB_YCbCr && format == IMAGE_DIB_RGB)
        return image_dib_private_new_from_dib_YCbCr_to_RGB__IO(dib, lineBits);
    return convert_whole(view_of(dib), format, lineBits);
}

image_dib *image_dib_new_from_YCbCr__IO(uint32_t width, uint32_t height, int32_t format, uint32_t lineBits,
                                        const unsigned char *y, const unsigned char *cb, const unsigned char *cr,
                                        uint32_t sourceLineBits) {
    if (format < 0 || format > IMAGE_DIB_Gray) return nullptr;
    return kFromYCbCr[format](width, height, lineBits, y, cb, cr, sourceLineBits);
}

// ---- raw buffers ----

int image_dib_copy(uint32_t width, uint32_t height, int32_t sourceFormat, uint32_t sourceLineBits, const void *source,
                   int32_t targetFormat, uint32_t targetLineBits, void *target) {
    if (sourceFormat != IMAGE_DIB_YUV420P || (targetFormat != IMAGE_DIB_RGB && targetFormat != IMAGE_DIB_GBR))
        return -1;
    if (source == nullptr || target == nullptr || width == 0 || height == 0) return -1;
    const size_t outNeed = static_cast<size_t>(width) * 3;
    const size_t stride = sourceLineBits ? sourceLineBits : width;
    const size_t outStride = targetLineBits ? targetLineBits : outNeed;
    if (stride < width || outStride < outNeed) return -1;
    const Tables *t = tables();
    if (t == nullptr) return -1;
    auto *src = static_cast<const uint8_t *>(source);
    auto *out = static_cast<uint8_t *>(target);
    if (targetFormat == IMAGE_DIB_RGB)
        image_dib_private_copy_YUV420P2RGB(t, width, height, stride, src, outStride, out);
    else
        image_dib_private_copy_YUV420P2GBR(t, width, height, stride, src, outStride, out);
    return 1;
}

uint32_t image_dib_resize_gray(unsigned char *target, uint32_t targetWidth, uint32_t targetHeight,
                               uint32_t targetLineBits, const unsigned char *source, uint32_t sourceWidth,
                               uint32_t sourceHeight, uint32_t sourceLineBits) {
    if (target == nullptr || source == nullptr || targetWidth == 0 || targetHeight == 0 || sourceWidth == 0 ||
        sourceHeight == 0 || targetLineBits < targetWidth || sourceLineBits < sourceWidth)
        return 0;
    // Exact fixed point: position i * sw / tw = sx + rx / tw; weights are products of remainders.
    const uint64_t dx = targetWidth, dy = targetHeight, whole = dx * dy;
    std::vector<uint32_t> sx(targetWidth), rx(targetWidth);
    for (uint32_t i = 0; i < targetWidth; ++i) {
        uint64_t n = static_cast<uint64_t>(i) * sourceWidth;
        sx[i] = static_cast<uint32_t>(n / dx);
        rx[i] = static_cast<uint32_t>(n % dx);
    }
    for (uint32_t j = 0; j < targetHeight; ++j) {
        uint64_t n = static_cast<uint64_t>(j) * sourceHeight;
        const uint32_t sy = static_cast<uint32_t>(n / dy);
        const uint64_t fy = n % dy;
        const unsigned char *row0 = source + static_cast<size_t>(sy) * sourceLineBits;
        const unsigned char *row1 = sy + 1 < sourceHeight ? row0 + sourceLineBits : row0;
        unsigned char *out = target + static_cast<size_t>(j) * targetLineBits;
        for (uint32_t i = 0; i < targetWidth; ++i) {
            const uint32_t x0 = sx[i], x1 = x0 + 1 < sourceWidth ? x0 + 1 : x0;
            const uint64_t fx = rx[i];
            // Each weight fits 64 bits; weight times a sample may not, hence the wide sum.
            const unsigned __int128 sum =
                static_cast<unsigned __int128>((dx - fx) * (dy - fy)) * row0[x0] +
                static_cast<unsigned __int128>(fx * (dy - fy)) * row0[x1] +
                static_cast<unsigned __int128>((dx - fx) * fy) * row1[x0] + static_cast<unsigned __int128>(fx * fy) * row1[x1];
            out[i] = static_cast<unsigned char>(sum / whole);
        }
    }
    return targetHeight;
}

}  // extern "C"
