// Pictures out: JPEG decoding and encoding through libkxlib and its picpress plug-in against
// libjpeg-turbo's own TurboJPEG API on the same picture, and the glyph overlay's cost per
// stamped line. Prints milliseconds per picture of both and their ratio.
//   bench_picture [seconds per figure]   (default 2; a 1280x720 picture made with ffmpeg)
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <turbojpeg.h>

#include <functional>
#include <string>
#include <vector>

#include "kx/dib.h"
#include "kx/global.h"
#include "kx/glyph.h"
#include "kx/jpeg.h"
#include "tests/media/codec_clips.hpp"

namespace {

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// Milliseconds per call of f, run for about seconds.
double per_call(double seconds, const std::function<bool()> &f) {
    if (!f()) return -1;  // warm-up: plug-ins, tables
    int n = 0;
    const double start = now();
    double t = start;
    do {
        if (!f()) return -1;
        ++n;
        t = now();
    } while (t - start < seconds);
    return (t - start) * 1000.0 / n;
}

void row(const char *what, double ours, double anchor) {
    printf("%-34s kxlib %8.3f ms   turbojpeg %8.3f ms   ratio %.2f\n", what, ours, anchor,
           anchor > 0 ? ours / anchor : 0.0);
}

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    const std::string dir = std::string(KX_BENCH_BINARY_DIR) + "/testdata/bench";
    const std::string path = dir + "/picture_720p.jpg";
    if (!kxclip::exists(path) &&
        system(("mkdir -p '" + dir + "' && ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720 "
                "-frames:v 1 -pix_fmt yuvj420p -q:v 2 '" + path + "'").c_str()) != 0) {
        fprintf(stderr, "no picture\n");
        return 1;
    }
    void *tj = dlopen("libturbojpeg.so.0", RTLD_NOW | RTLD_LOCAL);
    if (tj == nullptr) {
        fprintf(stderr, "libturbojpeg.so.0: %s\n", dlerror());
        return 1;
    }
    auto initD = reinterpret_cast<decltype(&tjInitDecompress)>(dlsym(tj, "tjInitDecompress"));
    auto initC = reinterpret_cast<decltype(&tjInitCompress)>(dlsym(tj, "tjInitCompress"));
    auto decompress = reinterpret_cast<decltype(&tjDecompress2)>(dlsym(tj, "tjDecompress2"));
    auto compress = reinterpret_cast<decltype(&tjCompress2)>(dlsym(tj, "tjCompress2"));
    auto destroy = reinterpret_cast<decltype(&tjDestroy)>(dlsym(tj, "tjDestroy"));
    auto bufSize = reinterpret_cast<decltype(&tjBufSize)>(dlsym(tj, "tjBufSize"));
    if (!initD || !initC || !decompress || !compress || !destroy || !bufSize) return 1;

    image_jpeg *jpeg = image_jpeg_new_from_file__IO(path.c_str());
    if (jpeg == nullptr || image_jpeg_analyseTag_base(jpeg) != 1) return 1;
    const uint32_t w = jpeg->width, h = jpeg->height;
    printf("picture %ux%u, %u bytes, 4:2:0\n", w, h, jpeg->length);

    tjhandle dh = initD(), ch = initC();
    std::vector<unsigned char> rgb(size_t(w) * h * 3);
    image_dib *dib = nullptr;
    double ours = per_call(seconds, [&] {
        image_dib_delete__OI(&dib);
        jpeg->bitCount = 0;  // analysis included
        dib = image_jpeg_convert_to_dib__IO(jpeg, nullptr, IMAGE_DIB_RGB, 0, 0, 0, 0);
        return dib != nullptr;
    });
    double anchor = per_call(seconds, [&] {
        return decompress(dh, jpeg->data, jpeg->length, rgb.data(), int(w), 0, int(h), TJPF_RGB, 0) == 0;
    });
    row("decode to RGB", ours, anchor);
    if (dib == nullptr) return 1;

    std::vector<unsigned char> out(bufSize(int(w), int(h), TJSAMP_444));
    ours = per_call(seconds, [&] {
        image_jpeg *j = image_jpeg_new_from_dib__IO(dib, 90);
        image_jpeg_delete__OI(&j);
        return true;
    });
    anchor = per_call(seconds, [&] {
        unsigned char *o = out.data();
        unsigned long size = out.size();
        return compress(ch, dib->data, int(w), 0, int(h), TJPF_RGB, &o, &size, TJSAMP_444, 90, TJFLAG_NOREALLOC) == 0;
    });
    row("encode RGB at quality 90, 4:4:4", ours, anchor);

    kx_Glyphor *g = kx_Glyphor_new__IO(nullptr, 32, 32, 0, 0);
    if (g != nullptr) {
        std::vector<unsigned char> plane(size_t(w) * h, 40);
        double stamp = per_call(seconds, [&] {
            return kx_Glyphor_write(g, "12:00:01.040  #123456", plane.data(), w, h, w, 16, 16, 255) == 1;
        });
        printf("%-34s kxlib %8.3f ms (cached 4-bit glyphs, 32 px)\n", "stamp one line into luma", stamp);
        kx_Glyphor_delete__OI(g);
    }
    image_dib_delete__OI(&dib);
    image_jpeg_delete__OI(&jpeg);
    destroy(dh);
    destroy(ch);
    dlclose(tj);
    globalRelease();
    return 0;
}
