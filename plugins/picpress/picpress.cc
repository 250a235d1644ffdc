// picpress: baseline JPEG to and from 24-bit DIB pixels over libjpeg-turbo.
//
//   int Decompress(const uint8_t *jpeg, uint32_t jpegLength, uint8_t *out, size_t outSize,
//                  uint32_t *width, uint32_t *height, int format);
//       0 on success: out holds the picture in the DIB layout of format (1 RGB, 2 BGR packed
//       rows of width * 3 bytes; 3 planar YCbCr 4:4:4, three planes of width * height; 4 grey),
//       *width and *height the picture size. -1 bad arguments, -2 the data does not decode,
//       -3 the picture does not fit in outSize bytes (nothing written; the size is reported).
//   int Compress(const uint8_t *pixels, size_t pixelSize, uint32_t width, uint32_t height,
//                uint8_t *out, size_t outSize, int quality, int format);
//       the length of the JPEG written (4:4:4, quality 0-100) from pixels in the layout of
//       format (1, 2 or 3); 0 or negative on failure, also when out is too small.
//
// Decoding uses libjpeg's defaults (integer slow DCT, fancy upsampling), the same as djpeg.
#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <jpeglib.h>

#include "plugin_log.hpp"

namespace {

void on_error(j_common_ptr cinfo);
void quiet(j_common_ptr, int) {}

// libjpeg reports fatal errors through error_exit: jump back to the caller's frame. The frames
// between setjmp and the jump hold only trivially destructible locals.
struct Error {
    jpeg_error_mgr mgr;
    jmp_buf back;
    // Standard handlers, fatal errors logged and jumped out of, warnings dropped.
    jpeg_error_mgr *install() {
        jpeg_std_error(&mgr);
        mgr.error_exit = on_error;
        mgr.emit_message = quiet;
        return &mgr;
    }
};

void on_error(j_common_ptr cinfo) {
    Error *e = reinterpret_cast<Error *>(cinfo->err);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    KX_PLUGIN_LOG("picpress", "libjpeg: %s", text);
    longjmp(e->back, 1);
}

struct Layout {
    J_COLOR_SPACE space;
    int channels;  // 0: not a layout
};

Layout layout_of(int format) {
    switch (format) {
        case 1: return {JCS_RGB, 3};
        case 2: return {JCS_EXT_BGR, 3};
        case 3: return {JCS_YCbCr, 3};
        case 4: return {JCS_GRAYSCALE, 1};
        default: return {JCS_UNKNOWN, 0};
    }
}

// Output into the caller's buffer only; running out of room is an error.
struct FixedDest {
    jpeg_destination_mgr mgr;
    size_t size;
};

void dest_init(j_compress_ptr) {}
boolean dest_full(j_compress_ptr cinfo) {
    KX_PLUGIN_LOG("Compress", "Output buffer too small.");
    longjmp(reinterpret_cast<Error *>(cinfo->err)->back, 1);
}
void dest_term(j_compress_ptr) {}

}  // namespace

KX_PLUGIN_EXPORT int Decompress(const uint8_t *jpeg, uint32_t jpegLength, uint8_t *out, size_t outSize,
                                uint32_t *width, uint32_t *height, int format) {
    const Layout layout = layout_of(format);
    const J_COLOR_SPACE space = layout.space;
    const int channels = layout.channels;
    if (jpeg == nullptr || jpegLength == 0 || out == nullptr || width == nullptr || height == nullptr || channels == 0)
        return -1;
    jpeg_decompress_struct cinfo;
    Error err;
    cinfo.err = err.install();
    // Row buffer for the planar layout: one interleaved YCbCr row, from libjpeg's pool.
    JSAMPARRAY row = nullptr;
    if (setjmp(err.back)) {
        jpeg_destroy_decompress(&cinfo);
        return -2;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg, jpegLength);
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return -2;
    }
    cinfo.out_color_space = space;
    *width = cinfo.image_width;
    *height = cinfo.image_height;
    const size_t w = cinfo.image_width, h = cinfo.image_height;
    const size_t rowBytes = w * static_cast<size_t>(channels);
    if (w == 0 || h == 0 || rowBytes / static_cast<size_t>(channels) != w || h > outSize / rowBytes) {
        jpeg_destroy_decompress(&cinfo);
        return -3;
    }
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_width != w || cinfo.output_height != h ||
        cinfo.output_components != channels) {
        jpeg_destroy_decompress(&cinfo);
        return -2;
    }
    if (format == 3)
        row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                         static_cast<JDIMENSION>(rowBytes), 1);
    const size_t plane = w * h;
    while (cinfo.output_scanline < cinfo.output_height) {
        const size_t r = cinfo.output_scanline;
        if (format != 3) {
            JSAMPROW dst = out + r * rowBytes;
            jpeg_read_scanlines(&cinfo, &dst, 1);
            continue;
        }
        jpeg_read_scanlines(&cinfo, row, 1);
        uint8_t *y = out + r * w, *cb = y + plane, *cr = cb + plane;
        const JSAMPLE *s = row[0];
        for (size_t i = 0; i < w; ++i, s += 3) {
            y[i] = s[0];
            cb[i] = s[1];
            cr[i] = s[2];
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return 0;
}

KX_PLUGIN_EXPORT int Compress(const uint8_t *pixels, size_t pixelSize, uint32_t width, uint32_t height,
                              uint8_t *out, size_t outSize, int quality, int format) {
    const J_COLOR_SPACE space = layout_of(format).space;
    if (pixels == nullptr || out == nullptr || width == 0 || height == 0 || format < 1 || format > 3 ||
        width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION)
        return -1;
    const size_t w = width, h = height, rowBytes = w * 3;
    if (pixelSize / rowBytes < h) return -1;
    if (quality < 0) quality = 0;
    if (quality > 100) quality = 100;
    jpeg_compress_struct cinfo;
    Error err;
    FixedDest dest;
    cinfo.err = err.install();
    JSAMPARRAY row = nullptr;
    if (setjmp(err.back)) {
        jpeg_destroy_compress(&cinfo);
        return -2;
    }
    jpeg_create_compress(&cinfo);
    dest.mgr.next_output_byte = out;
    dest.mgr.free_in_buffer = outSize;
    dest.mgr.init_destination = dest_init;
    dest.mgr.empty_output_buffer = dest_full;
    dest.mgr.term_destination = dest_term;
    dest.size = outSize;
    cinfo.dest = &dest.mgr;
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);  // YCbCr
    // 4:4:4: snapshots keep their colour edges (4:2:0 costs some 12 dB on sharp ones).
    cinfo.comp_info[0].h_samp_factor = 1;
    cinfo.comp_info[0].v_samp_factor = 1;
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    if (format == 3)
        row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                         static_cast<JDIMENSION>(rowBytes), 1);
    const size_t plane = w * h;
    while (cinfo.next_scanline < cinfo.image_height) {
        const size_t r = cinfo.next_scanline;
        if (format != 3) {
            JSAMPROW src = const_cast<JSAMPROW>(pixels + r * rowBytes);
            jpeg_write_scanlines(&cinfo, &src, 1);
            continue;
        }
        const uint8_t *y = pixels + r * w, *cb = y + plane, *cr = cb + plane;
        JSAMPLE *d = row[0];
        for (size_t i = 0; i < w; ++i, d += 3) {
            d[0] = y[i];
            d[1] = cb[i];
            d[2] = cr[i];
        }
        jpeg_write_scanlines(&cinfo, row, 1);
    }
    jpeg_finish_compress(&cinfo);
    const size_t written = dest.size - dest.mgr.free_in_buffer;
    jpeg_destroy_compress(&cinfo);
    return written > INT32_MAX ? -3 : static_cast<int>(written);
}
