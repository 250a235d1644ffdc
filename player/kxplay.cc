// kxplay: plays one RTSP stream through the player module and reports what arrives.
//
//   kxplay [options] URL
//
// One progress line per second (frames, fps, stream time of the last picture, kbit/s, picture
// size, dropped frames) and a summary at the end on standard output; the library's log records
// and the decoder's messages go to a file (--log) or nowhere.
//
// Play modes and seeking drive a server that plays recorded files (kxserve --root): once the
// first picture arrived, --reverse and --keyframes ask the server for its stream type (bit 0
// backward, bit 1 key frames only) and --seek jumps to a stream time, --seek-after seconds of
// play after the first picture (default at once). Pictures that arrive before the stream
// follows the requested mode (forward pictures before it turned backward, pictures before two
// key frames came in a row) are counted but neither written nor counted as played.
//
// Exit status: 0 pictures were played, 1 none arrived in time (or the stream never turned), 2
// usage or URL error.
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
    bool seek = false;
    double seekTo = 0;
    double seekAfter = 0;      // seconds of play after the first picture
    bool reverse = false;
    bool keyframes = false;
    unsigned threads = 1;
    bool quiet = false;
    double timeout = 10.0;     // no picture within this long: give up
    float fps = 25.0f;         // rate assumed until the stream's is measured
    unsigned buffers = 0;      // decoder queue limit; 0: kDefaultBuffers, kReverseBuffers backward
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
    "  --seek SECONDS      jump to that stream time while playing (--jump is the same)\n"
    "  --seek-after S      seek S seconds after the first picture (default 0: at once)\n"
    "  --reverse           play backward (the server's stream type 1; 3 with --keyframes)\n"
    "  --keyframes         key frames only (stream type 2; 3 with --reverse)\n"
    "  --decode-threads N  decoder threads (default 1)\n"
    "  --timeout S         give up when no picture arrived within S seconds (default 10)\n"
    "  --fps F             frame rate assumed until it is measured (default 25)\n"
    "  --buffers N         decoder queue limit in frames (default 32; 128 with --reverse, which\n"
    "                      holds a whole group of pictures before showing its last one)\n"
    "  --log FILE          write the library's log records and the decoder's messages to FILE\n"
    "  --quiet             no progress lines, only the summary\n"
    "  --help              this text\n";

// Backward play decodes a group of pictures only once its key frame, which arrives last, is
// queued: the queue must hold the longest group the stream has (here up to about 5 s at 25 fps).
constexpr unsigned kDefaultBuffers = 32, kReverseBuffers = 128;

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
        } else if (a == "--seek" || a == "--jump") {
            if (!value(&o->seekTo)) return 2;
            o->seek = true;
        } else if (a == "--seek-after") {
            if (!value(&o->seekAfter)) return 2;
        } else if (a == "--reverse") {
            o->reverse = true;
        } else if (a == "--keyframes") {
            o->keyframes = true;
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
    if (o->buffers == 0) o->buffers = o->reverse && !o->keyframes ? kReverseBuffers : kDefaultBuffers;
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
    std::atomic<uint64_t> arrived{0};   // every picture taken from the player
    std::atomic<uint64_t> accepted{0};  // pictures played in the requested mode
    std::atomic<uint64_t> keyPictures{0};
    std::atomic<uint32_t> width{0}, height{0};
    std::atomic<double> firstAt{0};     // uptime of the first picture
    // Stream times: of the last picture taken, and of the first and last played.
    std::atomic<double> lastTime{-1}, firstPlayed{-1}, lastPlayed{-1};
    // Until the stream follows the requested mode, pictures are not played: kRequest waits for
    // the request, kTurn then for a picture earlier than the one before it, kKey for a key
    // picture right after another (the frames the server sent before it switched end at most
    // one key picture later).
    enum Gate { kOpen, kRequest, kTurn, kKey };
    std::atomic<int> gate{kOpen};
    bool keyBefore = false;  // the previous picture after the request was a key picture
    std::atomic<uint64_t> beforeMode{0};
    // Seek: the first picture within [seekLow, seekHigh] after a seek request is where it landed.
    std::atomic<bool> seekWatch{false};
    std::atomic<double> seekLow{0}, seekHigh{0}, landedAt{-1};
    bool keepLast = false;
    std::atomic<image_frame *> last{nullptr};
    uint64_t limit = 0;
    bool osd = false;
    std::string font;
    kx_Glyphor *glyphs = nullptr;  // made for the first stamped picture's size
};

// A stream time as the user reads it: wall-clock times of day for live sources, else seconds.
std::string stream_clock(double t) {
    char text[48];
    if (t < 0) return "-";
    if (t >= 86400.0 * 365) {
        time_t whole = static_cast<time_t>(t);
        struct tm tm;
        localtime_r(&whole, &tm);
        snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                 static_cast<int>((t - static_cast<double>(whole)) * 1000));
    } else {
        snprintf(text, sizeof text, "%.3f s", t);
    }
    return text;
}

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
    char text[80];
    snprintf(text, sizeof text, "%s  #%u", stream_clock(frame->streamTime).c_str(), frame->frameIndex);
    const int at = s->glyphs->height / 2;
    const uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    unsigned char *u = yuv + size_t(w) * h, *v = u + size_t(cw) * ch;
    if (kx_Glyphor_write(s->glyphs, text, yuv, w, h, w, at, at, 255) != 1) return;
    kx_Glyphor_write_uv(s->glyphs, text, u, cw, ch, cw, at, at, 128);
    kx_Glyphor_write_uv(s->glyphs, text, v, cw, ch, cw, at, at, 128);
}

bool is_key_picture(const image_frame *frame) {
    const video_h264_object *unit = frame->h264Data[0][0];
    return unit != nullptr && unit->keyFrame > 0 && (unit->keyFrame & 1);
}

signed char on_frame(image_frame *frame, void *p) {
    auto *s = static_cast<Sink *>(p);
    if (s->limit != 0 && s->accepted.load() >= s->limit) return 3;
    // Every picture is accepted (the player follows the stream by the accepted ones); only
    // those in the requested mode are played.
    const double t = frame->streamTime;
    const bool key = is_key_picture(frame);
    const double before = s->lastTime.exchange(t);
    if (s->arrived.fetch_add(1) == 0) s->firstAt.store(kx_time_uptime_get());
    if (s->seekWatch.load() && t >= s->seekLow.load() && t <= s->seekHigh.load()) {
        s->landedAt.store(t);
        s->seekWatch.store(false);
    }
    int gate = s->gate.load();
    if ((gate == Sink::kTurn && before >= 0 && t < before) || (gate == Sink::kKey && key && s->keyBefore)) {
        gate = Sink::kOpen;
        s->gate.store(gate);
    }
    s->keyBefore = gate == Sink::kKey && key;
    if (gate != Sink::kOpen) {
        s->beforeMode.fetch_add(1);
        return 1;
    }
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
    if (key) s->keyPictures.fetch_add(1);
    if (s->firstPlayed.load() < 0) s->firstPlayed.store(t);
    s->lastPlayed.store(t);
    s->accepted.fetch_add(1);
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
    // The decoder's own messages (libavcodec writes them to the standard error) go with the
    // library's records; ours keep the real standard error.
    FILE *err = fdopen(dup(STDERR_FILENO), "w");
    if (err != nullptr) {
        setvbuf(err, nullptr, _IONBF, 0);
        dup2(STDOUT_FILENO, STDERR_FILENO);
    } else {
        err = stderr;
    }

    Sink sink;
    sink.fps = o.fps > 0 ? o.fps : 25.0f;
    sink.keepLast = !o.snapshot.empty();
    sink.osd = o.osd;
    sink.font = o.font;
    sink.limit = o.frames;
    if (o.reverse || o.keyframes) sink.gate.store(Sink::kRequest);
    if (!o.y4m.empty()) {
        sink.y4m = o.y4m == "-" ? out : fopen(o.y4m.c_str(), "wb");
        if (sink.y4m == nullptr) {
            fprintf(err, "kxplay: cannot write %s: %s\n", o.y4m.c_str(), strerror(errno));
            return 2;
        }
        if (sink.y4m == out) o.quiet = true;
    }
    FILE *report = sink.y4m == out ? err : out;

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
        fprintf(err, "kxplay: invalid URL \"%s\" (expected rtsp://[user:password@]a.b.c.d[:port]/path)\n",
                o.url.c_str());
        status = 2;
    } else {
        int started = playerLib_startThread(player, 0);
        int added = started == 1 ? playerLib_add_item__OI_2(player, item) : 0;
        if (started != 1 || added != 1) {
            fprintf(err, "kxplay: the player could not start (start %d, add %d)\n", started, added);
            status = 1;
        }

        const double start = kx_time_uptime_get();
        double lastReport = start;
        playerLib_statistics before = {};
        uint64_t acceptedBefore = 0;
        const unsigned char mode = static_cast<unsigned char>((o.reverse ? 1 : 0) | (o.keyframes ? 2 : 0));
        bool modeAsked = mode == 0, seekAsked = !o.seek;
        double modeAt = 0;      // uptime of the mode request
        double seekShown = -1;  // uptime until which the seek's landing is awaited before it is reported
        while (status == 0 && !g_stop.load()) {
            kx_thread_usleep(20000);
            double now = kx_time_uptime_get();
            uint64_t accepted = sink.accepted.load(), arrived = sink.arrived.load();
            if (o.frames != 0 && accepted >= o.frames) break;
            if (o.seconds > 0 && now - start >= o.seconds) break;
            if (arrived == 0 && now - start >= o.timeout) {
                fprintf(err, "kxplay: no picture from %s within %.0f s (server unreachable or not streaming H.264)\n",
                        o.url.c_str(), o.timeout);
                status = 1;
                break;
            }
            if (!modeAsked && arrived > 0) {
                // The server turns the stream; the player follows the first picture of the new mode.
                modeAsked = true;
                modeAt = now;
                sink.gate.store(o.reverse ? Sink::kTurn : Sink::kKey);
                int mr = playerLib_item_mode(item, mode);
                fprintf(report, "mode %u (%s%s): %s\n", mode, o.reverse ? "backward" : "forward",
                        o.keyframes ? ", key frames only" : "",
                        mr == 1 ? "done" : mr == -1 ? "refused by the server connection" : "the stream did not turn within 5 s");
                if (mr == -1) {
                    status = 1;
                    break;
                }
            }
            if (modeAsked && mode != 0 && sink.gate.load() != Sink::kOpen && now - modeAt >= o.timeout) {
                fprintf(err, "kxplay: the stream did not follow mode %u within %.0f s\n", mode, o.timeout);
                status = 1;
                break;
            }
            if (!seekAsked && modeAsked && arrived > 0 && now - sink.firstAt.load() >= o.seekAfter) {
                // The player counts pictures up to 2 s on the near side of the target as arrived.
                seekAsked = true;
                const double last = sink.lastTime.load();
                sink.seekLow.store(o.seekTo > last ? o.seekTo - 2.0 : -1e300);
                sink.seekHigh.store(o.seekTo > last ? 1e300 : o.seekTo + 2.0);
                sink.landedAt.store(-1);
                sink.seekWatch.store(true);
                int jr = playerLib_item_jump(item, o.seekTo);
                if (jr == 1) {
                    seekShown = kx_time_uptime_get() + 1.0;
                } else {
                    sink.seekWatch.store(false);
                    fprintf(report, "seek to %.3f s: %s\n", o.seekTo,
                            jr == -1 ? "refused by the server connection" : "no picture of the new position within 5 s");
                }
            }
            if (seekShown > 0 && (sink.landedAt.load() >= 0 || now >= seekShown)) {
                seekShown = -1;
                const double landed = sink.landedAt.load();
                if (landed >= 0)
                    fprintf(report, "seek to %.3f s: done, playing from %s\n", o.seekTo, stream_clock(landed).c_str());
                else
                    fprintf(report, "seek to %.3f s: done\n", o.seekTo);
            }
            if (now - lastReport >= 1.0) {
                playerLib_statistics st;
                playerLib_item_statistics(item, &st);
                double span = now - lastReport;
                if (!o.quiet) {
                    fprintf(report,
                            "%6.1fs frames %-7llu fps %5.1f  at %-13s kbit/s %7.1f  size %ux%u  dropped %llu  queue %u\n",
                            now - start, (unsigned long long)accepted, (accepted - acceptedBefore) / span,
                            stream_clock(sink.lastPlayed.load()).c_str(),
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
        fprintf(report,
                "kxplay: %llu frames in %.1f s (%.1f fps), %llu frames received, %.1f kbit/s, size %ux%u, dropped %llu, "
                "held back %llu times\n",
                (unsigned long long)accepted, elapsed, elapsed > 0 ? accepted / elapsed : 0.0,
                (unsigned long long)st.receivedFrames, elapsed > 0 ? st.receivedBytes * 8.0 / 1000.0 / elapsed : 0.0,
                sink.width.load(), sink.height.load(), (unsigned long long)st.droppedFrames,
                (unsigned long long)st.refusals);
        if (accepted > 0)
            fprintf(report, "kxplay: stream time %s to %s, %llu key pictures\n", stream_clock(sink.firstPlayed.load()).c_str(),
                    stream_clock(sink.lastPlayed.load()).c_str(), (unsigned long long)sink.keyPictures.load());
        if (sink.beforeMode.load())
            fprintf(report, "kxplay: %llu pictures before the stream followed mode %u (not played)\n",
                    (unsigned long long)sink.beforeMode.load(), mode);
        if (sink.y4m != nullptr) {
            fprintf(report, "kxplay: %llu pictures written to %s", (unsigned long long)sink.written.load(),
                    o.y4m.c_str());
            if (sink.sizeSkipped.load()) fprintf(report, " (%llu of another size left out)", (unsigned long long)sink.sizeSkipped.load());
            fputc('\n', report);
        }
        if (!o.snapshot.empty()) {
            image_frame *last = sink.last.exchange(nullptr);
            if (last == nullptr) {
                fprintf(err, "kxplay: no picture for the snapshot\n");
            } else {
                if (write_snapshot(last, o.snapshot, &sink) == 1) {
                    fprintf(report, "kxplay: snapshot %ux%u written to %s\n", last->width[0], last->height[0],
                            o.snapshot.c_str());
                } else {
                    fprintf(err, "kxplay: cannot write the snapshot %s\n", o.snapshot.c_str());
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
