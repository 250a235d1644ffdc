// BMP reading of arbitrary bytes: the reader never looks outside the data (an exact-size copy),
// a picture it accepts has the header's size, writes back as a BMP that reads to the same
// pixels, and survives conversion to every format and the geometric operations.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kx/dib.h"
#include "kx/string.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "check failed: %s\n", what);
        abort();
    }
}

uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool same_pixels(const image_dib *a, const image_dib *b) {
    if (a->width != b->width || a->height != b->height || a->format != b->format) return false;
    const size_t row = a->format == IMAGE_DIB_Gray || a->format == IMAGE_DIB_YCbCr ? a->width : size_t(a->width) * 3;
    const int planes = a->format == IMAGE_DIB_YCbCr ? 3 : 1;
    for (int p = 0; p < planes; ++p)
        for (uint32_t y = 0; y < a->height; ++y)
            if (memcmp(a->data + (size_t(p) * a->height + y) * a->lineBits,
                       b->data + (size_t(p) * b->height + y) * b->lineBits, row) != 0)
                return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    char *copy = static_cast<char *>(malloc(size ? size : 1));
    if (size) memcpy(copy, data, size);
    kx_String file = {copy, static_cast<uint32_t>(size)};

    image_dib *rgb = image_dib_new_from_bmp__IO(&file, 0, 0);
    if (rgb != nullptr) {
        const int32_t h = static_cast<int32_t>(le32(data + 22));
        check(rgb->format == IMAGE_DIB_RGB, "format");
        check(rgb->width == le32(data + 18), "width");
        check(rgb->height == static_cast<uint32_t>(h < 0 ? -h : h), "height");
        check(rgb->dataLenth == size_t(rgb->lineBits) * rgb->height, "block size");

        // Written as 24-bit and read back: the same pixels.
        kx_String *again = image_dib_to_bmpData__IO(rgb);
        check(again != nullptr, "write");
        image_dib *back = image_dib_new_from_bmp__IO(again, IMAGE_DIB_RGB, 0);
        check(back != nullptr && same_pixels(rgb, back), "round trip");
        image_dib_delete__OI(&back);
        kx_String_delete__OI(again);

        for (int32_t f = IMAGE_DIB_BGR; f <= IMAGE_DIB_Gray; ++f) {
            image_dib *other = image_dib_new_from_bmp__IO(&file, f, 0);
            check(other != nullptr && other->format == f, "other formats");
            image_dib *small = image_dib_scaling_fast__IO(other, 3, 2, IMAGE_DIB_RGB, 0);
            image_dib *flipped = image_dib_upsideDown__IO(other, 0, 0);
            image_dib *cut = image_dib_CutByMaxWidthHeigh__IO(other, rgb->width / 2, rgb->height / 2, 5, 5,
                                                              IMAGE_DIB_YCbCr, 0);
            check(small && flipped && cut, "geometry");
            image_dib_delete__OI(&small);
            image_dib_delete__OI(&flipped);
            image_dib_delete__OI(&cut);
            image_dib_delete__OI(&other);
        }
        image_dib_delete__OI(&rgb);
    }
    free(copy);
    return 0;
}
