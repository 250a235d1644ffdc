// BMP files (14-byte file header, 40-byte or longer information header) to and from DIBs.
//
// Reading trusts nothing in the file: the header, palette and every pixel row must lie inside the
// data, and sizes are computed in 64 bits before anything is allocated.
#include <string.h>

#include "kx/dib.h"
#include "kx/memory.h"
#include "kx/string.h"
#include "media/dib_internal.hpp"

using namespace kx::dib;

namespace {

constexpr size_t kFileHeader = 14;
constexpr size_t kInfoHeader = 40;
constexpr uint32_t kGrayOffset = kFileHeader + kInfoHeader + 256 * 4;  // 1078

inline uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16), p[3] = static_cast<uint8_t>(v >> 24);
}
inline void put16(uint8_t *p, uint16_t v) { p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8); }

// Header fields of a file that passed every check.
struct Bmp {
    uint32_t width = 0, height = 0;
    bool topDown = false;
    unsigned bits = 0;
    size_t rowBytes = 0;
    const uint8_t *pixels = nullptr;   // first stored row
    const uint8_t *palette = nullptr;  // B, G, R, 0 entries
    uint32_t colours = 0;              // usable palette entries
};

bool parse(const uint8_t *d, size_t n, Bmp &b) {
    if (d == nullptr || n < kFileHeader + kInfoHeader || d[0] != 'B' || d[1] != 'M') return false;
    const uint64_t offset = le32(d + 10), info = le32(d + 14);
    if (info < kInfoHeader || kFileHeader + info > n) return false;
    const int32_t w = static_cast<int32_t>(le32(d + 18)), h = static_cast<int32_t>(le32(d + 22));
    b.bits = le16(d + 28);
    if (le32(d + 30) != 0) return false;  // compressed or bit-field layouts are not read
    if (b.bits != 24 && b.bits != 8 && b.bits != 4) return false;
    if (w <= 0 || h == 0 || h == INT32_MIN) return false;
    b.width = static_cast<uint32_t>(w);
    b.topDown = h < 0;
    b.height = static_cast<uint32_t>(h < 0 ? -h : h);
    const uint64_t row = (static_cast<uint64_t>(b.width) * b.bits + 31) / 32 * 4;
    const uint64_t pixelBytes = row * b.height;  // row < 2^33, height < 2^31
    if (offset < kFileHeader + info || offset > n || pixelBytes > n - offset) return false;
    b.rowBytes = static_cast<size_t>(row);
    b.pixels = d + offset;
    if (b.bits <= 8) {
        const uint64_t room = (offset - kFileHeader - info) / 4;
        uint64_t declared = le32(d + 46);
        if (declared == 0 || declared > (1u << b.bits)) declared = 1u << b.bits;
        b.colours = static_cast<uint32_t>(room < declared ? room : declared);
        b.palette = b.colours ? d + kFileHeader + info : nullptr;
    }
    return true;
}

// Paletted rows to a top-down Gray DIB (no palette, or a grey one) or RGB DIB (colour palette).
// High nibble first for 4-bit samples; an index past the palette reads as black.
image_dib *expand_paletted(const Bmp &b) {
    bool grey = true;
    for (uint32_t i = 0; i < b.colours && grey; ++i) {
        const uint8_t *e = b.palette + 4 * i;
        grey = e[0] == e[1] && e[1] == e[2];
    }
    image_dib *out = image_dib_new__IO(b.width, b.height, grey ? IMAGE_DIB_Gray : IMAGE_DIB_RGB, 0);
    if (out == nullptr) return nullptr;
    for (uint32_t r = 0; r < b.height; ++r) {
        const uint8_t *in = b.pixels + b.rowBytes * (b.topDown ? r : b.height - 1 - r);
        uint8_t *to = out->data + static_cast<size_t>(out->lineBits) * r;
        for (uint32_t x = 0; x < b.width; ++x) {
            unsigned v = b.bits == 8 ? in[x] : (x & 1 ? in[x / 2] & 0x0F : in[x / 2] >> 4);
            if (b.palette == nullptr) {
                to[x] = static_cast<uint8_t>(b.bits == 8 ? v : v * 16);
                continue;
            }
            static const uint8_t kBlack[4] = {0, 0, 0, 0};
            const uint8_t *e = v < b.colours ? b.palette + 4 * v : kBlack;
            if (grey) {
                to[x] = e[0];
            } else {
                to[3 * x] = e[2], to[3 * x + 1] = e[1], to[3 * x + 2] = e[0];
            }
        }
    }
    return out;
}

image_dib *from_bmp(const kx_String *bmp, int target, uint32_t lineBits) {
    Bmp b;
    if (bmp == nullptr || !parse(reinterpret_cast<const uint8_t *>(bmp->buffer), bmp->lenth, b)) return nullptr;
    if (b.bits == 24) {
        View v;
        v.format = IMAGE_DIB_BGR;
        v.width = b.width;
        v.height = b.height;
        v.plane[0] = b.topDown ? b.pixels : b.pixels + b.rowBytes * (b.height - 1);
        v.stride = b.topDown ? static_cast<ptrdiff_t>(b.rowBytes) : -static_cast<ptrdiff_t>(b.rowBytes);
        return convert_whole(v, target, lineBits);
    }
    image_dib *expanded = expand_paletted(b);
    if (expanded == nullptr || (expanded->format == target && lineBits == 0)) return expanded;
    image_dib *out = convert_whole(view_of(expanded), target, lineBits);
    image_dib_delete__OI(&expanded);
    return out;
}

// Bottom-up BMP of the DIB: 24-bit B, G, R or 8-bit grey with a palette.
kx_String *to_bmp(const image_dib *dib, bool grey) {
    if (dib == nullptr || dib->data == nullptr || dib->width == 0 || dib->height == 0) return nullptr;
    const uint64_t row = grey ? (static_cast<uint64_t>(dib->width) + 3) & ~3ull
                              : (static_cast<uint64_t>(dib->width) * 3 + 3) & ~3ull;
    const uint32_t offset = grey ? kGrayOffset : kFileHeader + kInfoHeader;
    const uint64_t image = row * dib->height, total = offset + image;
    if (row > UINT32_MAX || total > UINT32_MAX) return nullptr;
    // The flip writes the rows bottom-up at the padded stride; the padding is cleared below.
    image_dib *rows = image_dib_upsideDown__IO(dib, grey ? IMAGE_DIB_Gray : IMAGE_DIB_BGR, static_cast<uint32_t>(row));
    if (rows == nullptr) return nullptr;
    kx_String *out = kx_String_new__IO(static_cast<uint32_t>(total));
    if (out == nullptr) {
        image_dib_delete__OI(&rows);
        return nullptr;
    }
    auto *p = reinterpret_cast<uint8_t *>(out->buffer);
    memset(p, 0, offset);
    p[0] = 'B', p[1] = 'M';
    put32(p + 2, static_cast<uint32_t>(total));
    put32(p + 10, offset);
    put32(p + 14, kInfoHeader);
    put32(p + 18, dib->width);
    put32(p + 22, dib->height);
    put16(p + 26, 1);
    put16(p + 28, grey ? 8 : 24);
    put32(p + 34, static_cast<uint32_t>(image));
    if (grey) {
        put32(p + 46, 256);
        for (unsigned i = 0; i < 256; ++i) {
            uint8_t *e = p + kFileHeader + kInfoHeader + 4 * i;
            e[0] = e[1] = e[2] = static_cast<uint8_t>(i);
        }
    }
    const size_t used = grey ? dib->width : static_cast<size_t>(dib->width) * 3;
    for (uint32_t r = 0; r < dib->height; ++r) {
        uint8_t *to = p + offset + row * r;
        memcpy(to, rows->data + row * r, used);
        memset(to + used, 0, row - used);
    }
    image_dib_delete__OI(&rows);
    return out;
}

}  // namespace

extern "C" {

image_dib *image_dib_private_new_from_bmp_to_RGB__IO(const kx_String *bmp, uint32_t lineBits) {
    return from_bmp(bmp, IMAGE_DIB_RGB, lineBits);
}
image_dib *image_dib_private_new_from_bmp_to_BGR__IO(const kx_String *bmp, uint32_t lineBits) {
    return from_bmp(bmp, IMAGE_DIB_BGR, lineBits);
}
image_dib *image_dib_private_new_from_bmp_to_YCbCr__IO(const kx_String *bmp, uint32_t lineBits) {
    return from_bmp(bmp, IMAGE_DIB_YCbCr, lineBits);
}
image_dib *image_dib_private_new_from_bmp_to_Gray__IO(const kx_String *bmp, uint32_t lineBits) {
    return from_bmp(bmp, IMAGE_DIB_Gray, lineBits);
}

kx_String *image_dib_private_to_bmpData_by_RGB__IO(const image_dib *dib) { return to_bmp(dib, false); }
kx_String *image_dib_private_to_bmpData_by_BGR__IO(const image_dib *dib) { return to_bmp(dib, false); }
kx_String *image_dib_private_to_bmpData_by_YCbCr__IO(const image_dib *dib) { return to_bmp(dib, false); }
kx_String *image_dib_private_to_bmpData_by_Gray__IO(const image_dib *dib) { return to_bmp(dib, true); }

image_dib *image_dib_new_from_bmp__IO(const kx_String *bmpData, int32_t format, uint32_t lineBits) {
    using ReadFn = image_dib *(*)(const kx_String *, uint32_t);
    static const ReadFn kRead[5] = {image_dib_private_new_from_bmp_to_RGB__IO, image_dib_private_new_from_bmp_to_RGB__IO,
                                    image_dib_private_new_from_bmp_to_BGR__IO, image_dib_private_new_from_bmp_to_YCbCr__IO,
                                    image_dib_private_new_from_bmp_to_Gray__IO};
    if (format < 0 || format > IMAGE_DIB_Gray) return nullptr;
    return kRead[format](bmpData, lineBits);
}

image_dib *image_dib_new_from_file__IO(const char *path, int32_t format, uint32_t lineBits) {
    if (path == nullptr) return nullptr;
    kx_String *data = kx_String_new_form_file__IO(path);
    if (data == nullptr) return nullptr;
    image_dib *dib = image_dib_new_from_bmp__IO(data, format, lineBits);
    kx_String_delete__OI(data);
    return dib;
}

kx_String *image_dib_to_bmpData__IO(const image_dib *dib) {
    using WriteFn = kx_String *(*)(const image_dib *);
    static const WriteFn kWrite[5] = {nullptr, image_dib_private_to_bmpData_by_RGB__IO,
                                      image_dib_private_to_bmpData_by_BGR__IO, image_dib_private_to_bmpData_by_YCbCr__IO,
                                      image_dib_private_to_bmpData_by_Gray__IO};
    if (dib == nullptr || dib->format < IMAGE_DIB_RGB || dib->format > IMAGE_DIB_Gray) return nullptr;
    return kWrite[dib->format](dib);
}

int image_dib_svae_to_file(const image_dib *dib, const char *path) {
    kx_String *data = image_dib_to_bmpData__IO(dib);
    if (data == nullptr) return -3;
    int rv = kx_String_save_to_file(data, path);
    kx_String_delete__OI(data);
    return rv;
}

}  // extern "C"
