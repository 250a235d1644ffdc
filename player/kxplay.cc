// kxplay: plays one RTSP stream through the player module and reports what arrives.
//
//   kxplay [options] URL
//
// One progress line per second (frames, fps, kbit/s, picture size, dropped frames) and a
// summary at the end on standard output; the library's log records go to a file (--log) or
// nowhere. Exit status: 0 pictures were played, 1 none arrived in time, 2 usage or URL error.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "kx/dib.h"
#include "kx/global.h"
#include "kx/glyph.h"
#include "kx/jpeg.h"
#include "kx/memory.h"
#include "kx/player.h"
#include "kx/time.h"
#include "player/programs.hpp"

namespace {

struct Options {
    std::string url;
    double seconds = 0;        // 0: until --frames or a signal
    uint64_t frames = 0;       // 0: no limit
    std::string y4m;
    std::string snapshot;
    bool osd = false;          // stamp stream time and frame index onto the pictures written
    std::string font;          // of the stamp; empty: the system's sans font
    bool jump = false;
    double jumpTo = 0;
    unsigned threads = 1;
    bool quiet = false;
    double timeout = 10.0;     // no picture within this long: give up
    float fps = 25.0f;         // rate assumed until the stream's is measured
    unsigned buffers = 32;     // decoder queue limit
    std::string log;
};

const char *kUsage =
    "usage: kxplay [options] rtsp://[user:password@]a.b.c.d[:port]/path\n"
    "  --seconds S         play S seconds (default: until --frames, Ctrl-C or the stream ends)\n"
    "  --frames N          stop after N pictures\n"
    "  --y4m FILE          write the decoded pictures as YUV4MPEG2 ('-' for standard output)\n"
    "  --snapshot FILE     write the last picture as JPEG (FILE.jpg, FILE.jpeg) or BMP (other names)\n"
    "  --osd               stamp stream time and frame index onto the pictures written\n"
    "  --font FILE         font of --osd (default: the system's sans font)\n"
    "  --jump SECONDS      after the first picture, jump to that stream time\n"
    "  --decode-threads N  decoder threads (default 1)\n"
    "  --timeout S         give up when no picture arrived within S seconds (default 10)\n"
    "  --fps F             frame rate assumed until it is measured (default 25)\n"
    "  --buffers N         decoder queue limit in frames (default 32)\n"
    "  --log FILE          write the library's log records to FILE\n"
    "  --quiet             no progress lines, only the summary\n"
    "  --help              this text\n";

bool number(const char *text, double *out) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != 0 || v < 0) return false;
    *out = v;
    return true;
}

// 0 run, 1 help printed, 2 usage error.
int parse(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](double *out) {
            if (i + 1 >= argc || !number(argv[i + 1], out)) {
                fprintf(stderr, "kxplay: %s needs a non-negative number\n", a.c_str());
                return false;
            }
            ++i;
            return true;
        };
        auto text = [&](std::string *out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "kxplay: %s needs a value\n", a.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        double v = 0;
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 1;
        } else if (a == "--seconds") {
            if (!value(&o->seconds)) return 2;
        } else if (a == "--frames") {
            if (!value(&v)) return 2;
            o->frames = static_cast<uint64_t>(v);
        } else if (a == "--y4m") {
            if (!text(&o->y4m)) return 2;
        } else if (a == "--snapshot") {
            if (!text(&o->snapshot)) return 2;
        } else if (a == "--osd") {
            o->osd = true;
        } else if (a == "--font") {
            if (!text(&o->font)) return 2;
        } else if (a == "--jump") {
            if (!value(&o->jumpTo)) return 2;
            o->jump = true;
        } else if (a == "--decode-threads") {
            if (!value(&v) || v < 1 || v > 64) {
                fprintf(stderr, "kxplay: --decode-threads takes 1 to 64\n");
                return 2;
            }
            o->threads = static_cast<unsigned>(v);
        } else if (a == "--timeout") {
            if (!value(&o->timeout)) return 2;
        } else if (a == "--fps") {
            if (!value(&v)) return 2;
            o->fps = static_cast<float>(v);
        } else if (a == "--buffers") {
            if (!value(&v) || v < 2 || v > 60000) {
                fprintf(stderr, "kxplay: --buffers takes 2 to 60000\n");
                return 2;
            }
            o->buffers = static_cast<unsigned>(v);
        } else if (a == "--log") {
            if (!text(&o->log)) return 2;
        } else if (a == "--quiet" || a == "-q") {
            o->quiet = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            fprintf(stderr, "kxplay: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else if (o->url.empty()) {
            o->url = a;
        } else {
            fprintf(stderr, "kxplay: more than one URL\n");
            return 2;
        }
    }
    if (o->url.empty()) {
        fprintf(stderr, "%s", kUsage);
        return 2;
    }
    return 0;
}

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop.store(true); }

// What the callback (player thread) shares with the main thread.
struct Sink {
    FILE *y4m = nullptr;
    float fps = 25.0f;
    uint32_t y4mWidth = 0, y4mHeight = 0;
    std::vector<unsigned char> picture;
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> sizeSkipped{0};  // pictures of another size than the Y4M stream's
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint32_t> width{0}, height{0};
    std::atomic<double> firstAt{0};
    bool keepLast = false;
    std::atomic<image_frame *> last{nullptr};
    uint64_t limit = 0;
    bool osd = false;
    std::string font;
    kx_Glyphor *glyphs = nullptr;  // made for the first stamped picture's size
};

// Stamps "stream time  #frame index" into the top-left corner of a planar YUV 4:2:0 picture:
// white luma, neutral chroma. A picture too small for the text is left as it is.
void stamp(Sink *s, const image_frame *frame, unsigned char *yuv, uint32_t w, uint32_t h) {
    if (!s->osd) return;
    if (s->glyphs == nullptr) {
        int16_t cell = static_cast<int16_t>(std::min<uint32_t>(std::max<uint32_t>(h / 18, 10), 72));
        s->glyphs = kx_Glyphor_new__IO(s->font.empty() ? nullptr : s->font.c_str(), cell, cell, 0, 0);
        if (s->glyphs == nullptr) {
            s->osd = false;
            return;
        }
    }
    // Stream times are wall-clock seconds when the source says so, else seconds from the start.
    char text[64];
    const double t = frame->streamTime;
    if (t >= 86400.0 * 365) {
        time_t whole = static_cast<time_t>(t);
        struct tm tm;
        localtime_r(&whole, &tm);
        snprintf(text, sizeof text, "%02d:%02d:%02d.%03d  #%u", tm.tm_hour, tm.tm_min, tm.tm_sec,
                 static_cast<int>((t - static_cast<double>(whole)) * 1000), frame->frameIndex);
    } else {
        snprintf(text, sizeof text, "%.3f s  #%u", t, frame->frameIndex);
    }
    const int at = s->glyphs->height / 2;
    const uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    unsigned char *u = yuv + size_t(w) * h, *v = u + size_t(cw) * ch;
    if (kx_Glyphor_write(s->glyphs, text, yuv, w, h, w, at, at, 255) != 1) return;
    kx_Glyphor_write_uv(s->glyphs, text, u, cw, ch, cw, at, at, 128);
    kx_Glyphor_write_uv(s->glyphs, text, v, cw, ch, cw, at, at, 128);
}

signed char on_frame(image_frame *frame, void *p) {
    auto *s = static_cast<Sink *>(p);
    if (s->limit != 0 && s->accepted.load() >= s->limit) return 3;
    uint32_t w = frame->width[0], h = frame->height[0];
    if (s->y4m != nullptr) {
        if (s->y4mWidth == 0) {
            s->y4mWidth = w;
            s->y4mHeight = h;
            int num = static_cast<int>(s->fps * 1000 + 0.5f);
            fprintf(s->y4m, "YUV4MPEG2 W%u H%u F%d:1000 Ip A1:1 C420jpeg\n", w, h, num > 0 ? num : 25000);
        }
        if (w == s->y4mWidth && h == s->y4mHeight) {
            size_t bytes = size_t(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2);
            s->picture.resize(bytes);
            if (playerLib_image_frame_get_yuv420p(frame, s->picture.data()) == 1) {
                stamp(s, frame, s->picture.data(), w, h);
                fputs("FRAME\n", s->y4m);
                fwrite(s->picture.data(), 1, bytes, s->y4m);
                s->written.fetch_add(1);
            }
        } else {
            s->sizeSkipped.fetch_add(1);
        }
    }
    if (s->keepLast) {
        kx_Object_addRefer_pthreadSafety_(&frame->object);
        image_frame *old = s->last.exchange(frame);
        if (old) kx_Object_delete_pthreadSafety__OI(&old->object);
    }
    s->width.store(w);
    s->height.store(h);
    if (s->accepted.fetch_add(1) == 0) s->firstAt.store(kx_time_uptime_get());
    return 1;
}

bool is_jpeg_name(const std::string &path) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = path.substr(dot + 1);
    for (char &c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return ext == "jpg" || ext == "jpeg";
}

// The picture as JPEG (quality 90) or BMP by the file name, stamped with --osd.
int write_snapshot(image_frame *frame, const std::string &path, Sink *s) {
    uint32_t w = frame->width[0], h = frame->height[0];
    image_dib *dib = image_dib_new__IO(w, h, IMAGE_DIB_RGB, 0);
    if (dib == nullptr) return -1;
    std::vector<unsigned char> yuv(size_t(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2));
    bool made;
    if (s->osd && playerLib_image_frame_get_yuv420p(frame, yuv.data()) == 1) {
        stamp(s, frame, yuv.data(), w, h);
        made = image_dib_copy(w, h, IMAGE_DIB_YUV420P, 0, yuv.data(), IMAGE_DIB_RGB, 0, dib->data) == 1;
    } else {
        made = playerLib_image_frame_get_rgb(frame, dib->data) == 1;
    }
    int rv = -1;
    if (made && is_jpeg_name(path)) {
        image_jpeg *jpeg = image_jpeg_new_from_dib__IO(dib, 90);
        rv = jpeg ? image_jpeg_save_to_file(jpeg, path.c_str()) : -1;
        image_jpeg_delete__OI(&jpeg);
    } else if (made) {
        rv = image_dib_svae_to_file(dib, path.c_str());
    }
    image_dib_delete__OI(&dib);
    return rv == 1 ? 1 : -1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int rc = parse(argc, argv, &o);
    if (rc != 0) return rc == 1 ? 0 : 2;

    // Our lines go to the real standard output; the library's records to --log or nowhere.
    FILE *out = kxplayer::split_program_output("kxplay", o.log);
    if (out == nullptr) return 2;

    Sink sink;
    sink.fps = o.fps > 0 ? o.fps : 25.0f;
    sink.keepLast = !o.snapshot.empty();
    sink.osd = o.osd;
    sink.font = o.font;
    sink.limit = o.frames;
    if (!o.y4m.empty()) {
        sink.y4m = o.y4m == "-" ? out : fopen(o.y4m.c_str(), "wb");
        if (sink.y4m == nullptr) {
            fprintf(stderr, "kxplay: cannot write %s: %s\n", o.y4m.c_str(), strerror(errno));
            return 2;
        }
        if (sink.y4m == out) o.quiet = true;
    }
    FILE *report = sink.y4m == out ? stderr : out;

    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    kxplayer::use_plugins_beside_program();
    globalInit(0, nullptr, nullptr, nullptr, 0);
    playerLib *player = playerLib_new__IO("kxplay", nullptr, 0, nullptr, static_cast<uint16_t>(o.threads));
    playerLib_item *item = playerLib_item_new__IO(o.url.c_str(), o.fps, static_cast<uint16_t>(o.buffers / 2),
                                                  static_cast<uint16_t>(o.buffers), on_frame, &sink,
                                                  static_cast<uint16_t>(o.threads));
    int status = 0;
    if (item == nullptr) {
        fprintf(stderr, "kxplay: invalid URL \"%s\" (expected rtsp://[user:password@]a.b.c.d[:port]/path)\n",
                o.url.c_str());
        status = 2;
    } else {
        int started = playerLib_startThread(player, 0);
        int added = started == 1 ? playerLib_add_item__OI_2(player, item) : 0;
        if (started != 1 || added != 1) {
            fprintf(stderr, "kxplay: the player could not start (start %d, add %d)\n", started, added);
            status = 1;
        }

        const double start = kx_time_uptime_get();
        double lastReport = start;
        playerLib_statistics before = {};
        uint64_t acceptedBefore = 0;
        bool jumped = !o.jump;
        while (status == 0 && !g_stop.load()) {
            kx_thread_usleep(20000);
            double now = kx_time_uptime_get();
            uint64_t accepted = sink.accepted.load();
            if (o.frames != 0 && accepted >= o.frames) break;
            if (o.seconds > 0 && now - start >= o.seconds) break;
            if (accepted == 0 && now - start >= o.timeout) {
                fprintf(stderr, "kxplay: no picture from %s within %.0f s (server unreachable or not streaming H.264)\n",
                        o.url.c_str(), o.timeout);
                status = 1;
                break;
            }
            if (!jumped && accepted > 0) {
                jumped = true;
                int jr = playerLib_item_jump(item, o.jumpTo);
                fprintf(report, "jump to %.3f s: %s\n", o.jumpTo,
                        jr == 1 ? "done" : jr == -1 ? "refused by the server connection" : "no picture of the new position within 5 s");
            }
            if (now - lastReport >= 1.0) {
                playerLib_statistics st;
                playerLib_item_statistics(item, &st);
                double span = now - lastReport;
                if (!o.quiet) {
                    fprintf(report, "%6.1fs frames %-7llu fps %5.1f  kbit/s %7.1f  size %ux%u  dropped %llu  queue %u\n",
                            now - start, (unsigned long long)accepted, (accepted - acceptedBefore) / span,
                            (st.receivedBytes - before.receivedBytes) * 8.0 / 1000.0 / span, sink.width.load(),
                            sink.height.load(), (unsigned long long)st.droppedFrames, playerLib_item_bufferCount(item));
                }
                before = st;
                acceptedBefore = accepted;
                lastReport = now;
            }
        }
        const double elapsed = kx_time_uptime_get() - start;
        playerLib_remove_item__IO_2(player, item);
        playerLib_stopThread(player);

        playerLib_statistics st;
        playerLib_item_statistics(item, &st);
        uint64_t accepted = std::min<uint64_t>(sink.accepted.load(), o.frames ? o.frames : UINT64_MAX);
        double playing = sink.firstAt.load() > 0 ? kx_time_uptime_get() - sink.firstAt.load() : 0;
        (void)playing;
        fprintf(report,
                "kxplay: %llu frames in %.1f s (%.1f fps), %llu frames received, %.1f kbit/s, size %ux%u, dropped %llu, "
                "held back %llu times\n",
                (unsigned long long)accepted, elapsed, elapsed > 0 ? accepted / elapsed : 0.0,
                (unsigned long long)st.receivedFrames, elapsed > 0 ? st.receivedBytes * 8.0 / 1000.0 / elapsed : 0.0,
                sink.width.load(), sink.height.load(), (unsigned long long)st.droppedFrames,
                (unsigned long long)st.refusals);
        if (sink.y4m != nullptr) {
            fprintf(report, "kxplay: %llu pictures written to %s", (unsigned long long)sink.written.load(),
                    o.y4m.c_str());
            if (sink.sizeSkipped.load()) fprintf(report, " (%llu of another size left out)", (unsigned long long)sink.sizeSkipped.load());
            fputc('\n', report);
        }
        if (!o.snapshot.empty()) {
            image_frame *last = sink.last.exchange(nullptr);
            if (last == nullptr) {
                fprintf(stderr, "kxplay: no picture for the snapshot\n");
            } else {
                if (write_snapshot(last, o.snapshot, &sink) == 1) {
                    fprintf(report, "kxplay: snapshot %ux%u written to %s\n", last->width[0], last->height[0],
                            o.snapshot.c_str());
                } else {
                    fprintf(stderr, "kxplay: cannot write the snapshot %s\n", o.snapshot.c_str());
                    status = status ? status : 1;
                }
                kx_Object_delete_pthreadSafety__OI(&last->object);
            }
        }
        if (status == 0 && accepted == 0) status = 1;
        playerLib_item_delete__OI(item);
    }
    playerLib_delete__OI(player);
    if (sink.glyphs != nullptr) kx_Glyphor_delete__OI(sink.glyphs);
    if (sink.y4m != nullptr && sink.y4m != out) fclose(sink.y4m);
    globalRelease();
    fflush(out);
    return status;
}
