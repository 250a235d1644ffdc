// Decoding through the frame conversion service against libavcodec's own frame-threaded
// decoding, all in this process on the same access units in memory (no process start-up,
// probing or file reading on either side):
//   - frameConvert with 2 workers (an item of 2 slots: consecutive groups of pictures decode in
//     parallel) and with 1 worker: frames made from the units, fed as fast as frame-in takes
//     them and taken out in order on another thread;
//   - libavcodec with 2 frame threads: every unit sent, every picture received and handed back
//     (and, for reference, with 1 thread).
// Prints the three frame rates (best of 3 alternating rounds), the ratios, the CPU time each
// spends per frame (all threads of the process; it holds when other work shares the machine),
// and the resident size of the process before and after 10 000 frames through one item with 2
// workers.
//   bench_convert [clip.mkv [width height]]
//     (default: 1080p30 8 Mbit/s clips of 10 s, a group of pictures every second, without and
//      with B-frames)
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "kx/frameconvert.h"
#include "kx/h264.h"
#include "kx/image_frame.h"
#include "kx/time.h"
#include "tests/media/codec_clips.hpp"
#include "tests/media/convert_rig.hpp"

namespace {

FILE *g_out = stderr;  // the figures; standard output carries the library's log records

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// CPU seconds of every thread of the process so far.
double cpu_seconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (double)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// One timed run: frames per second and CPU milliseconds per frame; best of several kept.
struct Figure {
    double fps = 0, cpuMs = 0;
    void keep(double frames, double seconds, double cpu) {
        if (frames <= 0 || seconds <= 0) return;
        fps = std::max(fps, frames / seconds);
        const double ms = cpu * 1e3 / frames;
        cpuMs = cpuMs == 0 ? ms : std::min(cpuMs, ms);
    }
};

double rss_mib() {
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    fclose(f);
    return (double)resident * (double)sysconf(_SC_PAGESIZE) / (1024.0 * 1024.0);
}

struct Input {
    std::string name;
    std::vector<uint8_t> stream;  // padded for libavcodec's readers
    std::vector<std::pair<size_t, size_t>> units;
    std::vector<signed char> keys;
    uint32_t width = 0, height = 0;
};

image_frame *frame_of(const Input &in, size_t i, size_t index) {
    auto [off, len] = in.units[i];
    const uint8_t *data = in.stream.data() + off;
    const double t = (double)index / 30.0, arrival = kx_time_uptime_get();
    image_frame *f = image_frame_new__IO(in.width, in.height, in.width / 2, in.height / 2, in.width / 4,
                                         in.height / 4, nullptr, (uint32_t)index, 30.0f, arrival, t);
    video_h264_object *u = video_h264_object_new_with_data__IO(0, (uint32_t)index, 30.0f, in.width, in.height,
                                                               in.keys[i], arrival, t, (uint32_t)len, data);
    image_frame_set__OI_2(f, &u->object, 0);
    return f;
}

// Takes frames out until `total` came or the producer is done and the queue is empty.
struct Consumer {
    frameConvert_item *item;
    std::atomic<bool> fed{false};
    std::atomic<size_t> out{0};
    std::thread thread;
    explicit Consumer(frameConvert_item *it) : item(it) {
        thread = std::thread([this] {
            for (;;) {
                if (image_frame *f = frameConvert_item_frame_out_pthreadSafety_IO(item)) {
                    out.fetch_add(1);
                    kx_Object_delete_pthreadSafety__OI(&f->object);
                    continue;
                }
                if (fed.load() && frameConvert_item_bufferCount(item) == 0) break;
                kx_thread_usleep(1000);  // frames come every few ms: light polling
            }
        });
    }
    size_t finish() {
        fed = true;
        thread.join();
        return out.load();
    }
};

// From the first frame-in to the last frame-out; nothing kept when a frame was lost.
void run_ours(const Input &in, uint16_t workers, Figure *fig) {
    kxclip::Rig s(workers, workers);  // an item of as many slots as workers
    const double t0 = now(), c0 = cpu_seconds();
    Consumer consumer(s.item);
    for (size_t i = 0; i < in.units.size(); ++i) frameConvert_item_frame_in_pthreadSafety_OI(s.item, frame_of(in, i, i));
    frameConvert_item_flush(s.item);
    size_t out = consumer.finish();
    const double seconds = now() - t0, cpu = cpu_seconds() - c0;
    if (out == in.units.size()) fig->keep((double)out, seconds, cpu);
}

// libavcodec's H.264 decoder with `threads` frame threads; nothing kept on failure.
void run_libavcodec(const Input &in, int threads, Figure *fig) {
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket *packet = av_packet_alloc();
    AVFrame *picture = av_frame_alloc();
    size_t out = 0;
    double seconds = 0, cpu = 0;
    if (ctx != nullptr && packet != nullptr && picture != nullptr) {
        ctx->thread_count = threads;
        ctx->thread_type = FF_THREAD_FRAME;
        if (avcodec_open2(ctx, codec, nullptr) == 0) {
            const double t0 = now(), c0 = cpu_seconds();
            auto receive = [&] {
                while (avcodec_receive_frame(ctx, picture) == 0) {
                    ++out;
                    av_frame_unref(picture);
                }
            };
            for (auto [off, len] : in.units) {
                packet->data = const_cast<uint8_t *>(in.stream.data() + off);
                packet->size = (int)len;
                while (avcodec_send_packet(ctx, packet) == AVERROR(EAGAIN)) receive();
                receive();
            }
            packet->data = nullptr;
            packet->size = 0;
            avcodec_send_packet(ctx, nullptr);
            receive();
            seconds = now() - t0;
            cpu = cpu_seconds() - c0;
        }
    }
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    if (out == in.units.size()) fig->keep((double)out, seconds, cpu);
}

// `total` frames through one item with 2 workers, at most `depth` queued at a time as the
// player keeps it; the resident size after the first pass over the clip, at the end, and the
// largest seen in between (sampled every 500 frames).
bool run_memory(const Input &in, size_t total, size_t depth, double *before, double *after, double *peak) {
    kxclip::Rig s(2, 2);
    Consumer consumer(s.item);
    const size_t n = in.units.size();
    for (size_t k = 0; k < total; ++k) {
        while (frameConvert_item_bufferCount(s.item) >= depth) kx_thread_usleep(200);
        frameConvert_item_frame_in_pthreadSafety_OI(s.item, frame_of(in, k % n, k));
        if (k + 1 == n) {
            while (consumer.out.load() < n) kx_thread_usleep(200);
            *before = rss_mib();
        }
        if (k >= n && k % 500 == 0) *peak = std::max(*peak, rss_mib());
    }
    frameConvert_item_flush(s.item);
    const size_t out = consumer.finish();
    *after = rss_mib();
    return out == total;
}

bool load(Input *in, const kxclip::Clip &clip, uint32_t width, uint32_t height) {
    if (clip.stream.empty()) return false;
    in->stream = kxclip::read_file(clip.stream);
    in->units = kxclip::split_units(in->stream, false);
    in->stream.resize(in->stream.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    for (auto [off, len] : in->units)
        in->keys.push_back(video_h264_check_keyFrame((uint32_t)len, in->stream.data() + off));
    in->width = width;
    in->height = height;
    return !in->units.empty();
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<Input> inputs;
    if (argc > 1) {
        kxclip::Clip clip{argv[1], std::string(argv[1]) + ".h264"};
        std::string cmd = "ffmpeg -nostdin -v error -y -i '" + clip.container +
                          "' -c copy -bsf:v h264_mp4toannexb -f h264 '" + clip.stream + "'";
        if (system(cmd.c_str()) != 0) clip = {};
        Input in;
        in.name = argv[1];
        if (load(&in, clip, argc > 3 ? (uint32_t)atoi(argv[2]) : 1920, argc > 3 ? (uint32_t)atoi(argv[3]) : 1080))
            inputs.push_back(std::move(in));
    } else {
        for (int bf : {0, 2}) {
            Input in;
            in.name = "h264_1080p30_8M_g30_bf" + std::to_string(bf);
            auto clip = kxclip::make(std::string(KX_BENCH_BINARY_DIR) + "/testdata/bench", in.name,
                                     "-f lavfi -i testsrc2=size=1920x1080:rate=30 -t 10",
                                     "-c:v libx264 -preset fast -b:v 8M -maxrate 8M -bufsize 8M -g 30 -keyint_min 30 "
                                     "-sc_threshold 0 -bf " + std::to_string(bf) + " -pix_fmt yuv420p",
                                     false);
            if (load(&in, clip, 1920, 1080)) inputs.push_back(std::move(in));
        }
    }
    if (inputs.empty()) {
        fprintf(stderr, "no clip\n");
        return 1;
    }
    // The figures go to the original standard output; the library's log records do not.
    int figures = dup(STDOUT_FILENO);
    if (figures < 0 || (g_out = fdopen(figures, "w")) == nullptr) return 1;
    setvbuf(g_out, nullptr, _IOLBF, 0);
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;

    bool ok = true;
    for (const Input &in : inputs) {
        Figure fTwo, fOne, fLavc, fLavcOne;
        // Rounds alternate between them so all see the same machine load; best of 3 each.
        for (int round = 0; round < 3; ++round) {
            run_ours(in, 2, &fTwo);
            run_ours(in, 1, &fOne);
            run_libavcodec(in, 2, &fLavc);
            run_libavcodec(in, 1, &fLavcOne);
        }
        const double two = fTwo.fps, one = fOne.fps, lavc = fLavc.fps;
        fprintf(g_out, "clip %s: %zu access units, %ux%u\n", in.name.c_str(), in.units.size(), in.width, in.height);
        fprintf(g_out, "  frameConvert, 2 workers:      %7.1f fps  %6.2f ms CPU per frame\n", two, fTwo.cpuMs);
        fprintf(g_out, "  frameConvert, 1 worker:       %7.1f fps  %6.2f ms CPU per frame\n", one, fOne.cpuMs);
        fprintf(g_out, "  libavcodec, 2 frame threads:  %7.1f fps  %6.2f ms CPU per frame\n", lavc, fLavc.cpuMs);
        fprintf(g_out, "  (libavcodec, 1 thread:        %7.1f fps  %6.2f ms CPU per frame)\n", fLavcOne.fps,
                fLavcOne.cpuMs);
        fprintf(g_out, "  2 workers / libavcodec:       %7.3f\n", lavc > 0 ? two / lavc : 0.0);
        fprintf(g_out, "  2 workers / (2 x 1 worker):   %7.3f\n", one > 0 ? two / (2 * one) : 0.0);
        if (two == 0 || one == 0 || lavc == 0) ok = false;
    }
    double before = 0, after = 0, peak = 0;
    const size_t total = 10000;
    if (!run_memory(inputs[0], total, 16, &before, &after, &peak)) ok = false;
    fprintf(g_out, "resident size, 2 workers, %zu frames of %s: %.1f MiB after %zu frames, %.1f MiB after %zu, at most %.1f MiB between\n",
            total, inputs[0].name.c_str(), before, inputs[0].units.size(), after, total, peak);
    if (!ok) fprintf(g_out, "a run lost frames\n");
    return ok ? 0 : 1;
}
