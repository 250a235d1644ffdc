// Single-thread H.264 decoding through libkxlib's decoder wrapper against the ffmpeg program
// decoding the same clip on one thread. Prints frames per second of both and their ratio.
//   bench_decode [clip.mkv]   (default: a 1080p30 8 Mbit/s clip of 5 s made in the build tree)
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kx/codec.h"
#include "tests/media/codec_clips.hpp"

namespace {

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

}  // namespace

int main(int argc, char **argv) {
    kxclip::Clip clip;
    if (argc > 1) {
        clip.container = argv[1];
        clip.stream = std::string(argv[1]) + ".h264";
        std::string cmd = "ffmpeg -nostdin -v error -y -i '" + clip.container +
                          "' -c copy -bsf:v h264_mp4toannexb -f h264 '" + clip.stream + "'";
        if (system(cmd.c_str()) != 0) clip = {};
    } else {
        clip = kxclip::make(std::string(KX_BENCH_BINARY_DIR) + "/testdata/bench", "h264_1080p30_8M",
                            "-f lavfi -i testsrc2=size=1920x1080:rate=30 -t 5",
                            "-c:v libx264 -preset fast -b:v 8M -maxrate 8M -bufsize 8M -pix_fmt yuv420p", false);
    }
    if (clip.stream.empty()) {
        fprintf(stderr, "no clip\n");
        return 1;
    }
    std::vector<uint8_t> stream = kxclip::read_file(clip.stream);
    auto units = kxclip::split_units(stream, false);
    if (units.empty()) {
        fprintf(stderr, "no access units in %s\n", clip.stream.c_str());
        return 1;
    }

    const uint32_t width = 1920, height = 1080;
    uint32_t w = width, h = height;
    std::vector<unsigned char> picture((size_t)width * height * 3 / 2);
    const std::string ffmpeg = "ffmpeg -nostdin -v error -threads 1 -i '" + clip.stream + "' -f null - ";
    double best = 1e30, ffmpegSeconds = 1e30;
    size_t pictures = 0;
    // Rounds alternate between the two so both see the same machine load; best of 3 each.
    for (int round = 0; round < 3; ++round) {
        double t0 = now();
        if (system(ffmpeg.c_str()) != 0) {
            fprintf(stderr, "ffmpeg failed\n");
            return 1;
        }
        ffmpegSeconds = std::min(ffmpegSeconds, now() - t0);

        void *d = video_h264_decode_new(width, height);
        if (d == nullptr) return 1;
        pictures = 0;
        t0 = now();
        for (auto [off, len] : units) {
            w = width;
            h = height;
            int rv = video_h264_decode(d, picture.data(), w, 2, &w, &h, (uint32_t)len, stream.data() + off);
            if (rv == 1) ++pictures;
            else if (rv != 0) fprintf(stderr, "unit at %zu: %d\n", off, rv);
        }
        while (video_h264_decode(d, picture.data(), w, 2, &w, &h, 0, nullptr) == 1) ++pictures;
        best = std::min(best, now() - t0);
        video_h264_decode_delete(d);
    }
    double ours = (double)pictures / best, theirs = (double)units.size() / ffmpegSeconds;
    printf("clip: %s (%zu access units, %zu pictures, %ux%u)\n", clip.stream.c_str(), units.size(), pictures, w, h);
    printf("video_h264_decode, 1 thread, layout 2: %.1f fps (best of 3, picture copied out)\n", ours);
    printf("ffmpeg -threads 1 -f null:             %.1f fps (best of 3, whole process)\n", theirs);
    printf("ratio: %.3f\n", ours / theirs);
    return 0;
}
