// kxrecord: records one RTSP stream into Matroska or AVI files.
//
//   kxrecord [options] URL OUT.mkv|OUT.avi
//
// Recording starts at the stream's first key frame and the file is finished cleanly on the
// time limit, on SIGINT/SIGTERM and when the source ends (no frame for --idle seconds). With
// --segment the recording goes into files named OUT-YYYYmmdd-HHMMSS.ext, a new one on the
// first key frame after each interval; an AVI file that would pass the 4 GiB of its 32-bit
// sizes is followed by a new file as well. Exit status: 0 frames were recorded, 1 none were or
// a write failed, 2 usage error.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "kx/avi.h"
#include "kx/global.h"
#include "kx/h264.h"
#include "kx/memory.h"
#include "kx/mkv.h"
#include "kx/mkv_writer.h"
#include "kx/rtspclient.h"
#include "kx/time.h"
#include "player/programs.hpp"

namespace {

const char *kUsage =
    "usage: kxrecord [options] rtsp://[user:password@]a.b.c.d[:port]/path OUT.mkv|OUT.avi\n"
    "  --seconds S   record S seconds (default: until Ctrl-C, SIGTERM or the stream ends)\n"
    "  --segment S   a new file on the first key frame after every S seconds (OUT-YYYYmmdd-HHMMSS.ext)\n"
    "  --fps F       frame rate when the stream does not say (default 25)\n"
    "  --idle S      the stream has ended when no frame came for S seconds (default 5)\n"
    "  --timeout S   give up when no key frame arrived within S seconds (default 10)\n"
    "  --log FILE    write the library's log records to FILE\n"
    "  --quiet       no progress lines\n"
    "  --help        this text\n";

struct Options {
    std::string url, out, log;
    double seconds = 0, segment = 0, idle = 5, timeout = 10;
    float fps = 25;
    bool quiet = false, avi = false;
};

bool number(const char *text, double *out) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != 0 || !(v >= 0) || v > 1e9) return false;
    *out = v;
    return true;
}

bool ends_with(const std::string &s, const char *tail) {
    const size_t n = strlen(tail);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, tail) == 0;
}

// 0 run, 1 help printed, 2 usage error.
int parse(int argc, char **argv, Options *o) {
    std::vector<std::string> plain;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        double v = 0;
        auto value = [&](double *out) {
            if (i + 1 >= argc || !number(argv[i + 1], out)) {
                fprintf(stderr, "kxrecord: %s needs a non-negative number\n", a.c_str());
                return false;
            }
            ++i;
            return true;
        };
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 1;
        } else if (a == "--seconds") {
            if (!value(&o->seconds)) return 2;
        } else if (a == "--segment") {
            if (!value(&o->segment)) return 2;
        } else if (a == "--idle") {
            if (!value(&o->idle) || o->idle <= 0) return 2;
        } else if (a == "--timeout") {
            if (!value(&o->timeout)) return 2;
        } else if (a == "--fps") {
            if (!value(&v) || v <= 0 || v > 1000) {
                fprintf(stderr, "kxrecord: --fps takes a rate above 0 up to 1000\n");
                return 2;
            }
            o->fps = float(v);
        } else if (a == "--log") {
            if (i + 1 >= argc) return 2;
            o->log = argv[++i];
        } else if (a == "--quiet" || a == "-q") {
            o->quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            fprintf(stderr, "kxrecord: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            plain.push_back(a);
        }
    }
    if (plain.size() != 2) {
        fputs(kUsage, stderr);
        return 2;
    }
    o->url = plain[0];
    o->out = plain[1];
    o->avi = ends_with(o->out, ".avi");
    if (!o->avi && !ends_with(o->out, ".mkv")) {
        fprintf(stderr, "kxrecord: the output must end in .mkv or .avi\n");
        return 2;
    }
    return 0;
}

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop.store(true); }

struct Frame {
    std::vector<unsigned char> data;
    float frameRate;
};

// Frames from the client thread to the main thread.
struct Inbox {
    std::mutex mutex;
    std::deque<Frame> frames;
    std::atomic<double> lastAt{0};
};

signed char on_frame(uint32_t *, unsigned char **buffer, uint32_t length, double, uint32_t, signed char,
                     float frameRate, uint32_t, uint32_t, void *p) {
    auto *in = static_cast<Inbox *>(p);
    std::lock_guard<std::mutex> lock(in->mutex);
    if (in->frames.size() >= 1000) return 2;  // the disk is behind: hold the stream
    in->frames.push_back({std::vector<unsigned char>(*buffer, *buffer + length), frameRate});
    in->lastAt.store(kx_time_uptime_get());
    return 1;
}

// One output file.
struct Output {
    FILE *file = nullptr;
    video_mkv_writer *mkv = nullptr;
    video_avi *avi = nullptr;
    std::string path;
    uint64_t frames = 0, bytes = 0;
    float fps = 25;
    double startedAt = 0;

    bool open() const { return file != nullptr; }

    // Opens path for a stream whose first key frame is key (with its SPS and PPS).
    bool start(const std::string &name, bool isAvi, const Frame &key) {
        const unsigned char *sps = nullptr, *pps = nullptr;
        uint32_t spsLength = 0, ppsLength = 0, w = 0, h = 0;
        video_h264_check_keyFrame_and_get_sps_pps(uint32_t(key.data.size()), key.data.data(), &sps, &spsLength, &pps,
                                                  &ppsLength);
        if (sps == nullptr || spsLength > 255 || video_h264_size_get(&w, &h, sps, uint8_t(spsLength)) != 1) {
            fprintf(stderr, "kxrecord: the key frame carries no usable sequence parameter set\n");
            return false;
        }
        file = fopen(name.c_str(), "w+b");
        if (file == nullptr) {
            fprintf(stderr, "kxrecord: cannot write %s: %s\n", name.c_str(), strerror(errno));
            return false;
        }
        path = name;
        frames = bytes = 0;
        startedAt = kx_time_uptime_get();
        if (isAvi) {
            avi = video_avi_new_for_file_save__IO(w, h, VIDEO_AVI_CODEC_H264, file);
        } else {
            unsigned char *block = video_mkv_codecPrivate_h264_get__IO(uint32_t(key.data.size()), key.data.data());
            video_mkv_writer_track t = {};
            t.type = VIDEO_MKV_TRACK_VIDEO;
            t.codec = VIDEO_MKV_CODEC_H264;
            t.width = w;
            t.height = h;
            t.frameRate = fps;
            t.codecPrivate = block;
            mkv = block ? video_mkv_new_for_file_save__IO(file, 1, &t) : nullptr;
            video_mkv_codecPrivate_delete__OI(block);
        }
        if (avi == nullptr && mkv == nullptr) {
            fprintf(stderr, "kxrecord: cannot start %s (see the log records)\n", name.c_str());
            fclose(file);
            file = nullptr;
            return false;
        }
        return true;
    }

    // 1 written, 0 the AVI file is full (nothing written), negative on a failure.
    int write(const Frame &f, bool key) {
        uint32_t len = uint32_t(f.data.size());
        int rv;
        if (avi != nullptr) {
            int64_t at = video_avi_file_save_frame(avi, &len, f.data.data());
            if (at == VIDEO_AVI_ERROR_LIMIT) return 0;
            rv = at > 0 ? 1 : int(at);
        } else {
            rv = video_mkv_file_save_frame(mkv, 1, key ? 1 : 0, &len, f.data.data());
        }
        if (rv == 1) {
            ++frames;
            bytes += f.data.size();
        }
        return rv;
    }

    // Finishes and closes the file; false when that failed.
    bool finish() {
        if (file == nullptr) return true;
        bool ok;
        if (avi != nullptr) {
            ok = video_avi_file_save_finish(avi, fps) == 1;
            video_avi_delete__OI(&avi);
        } else {
            ok = video_mkv_file_save_finish(mkv) == 1;
            video_mkv_writer_delete__OI(mkv);
            mkv = nullptr;
        }
        ok = fclose(file) == 0 && ok;
        file = nullptr;
        return ok;
    }
};

// OUT.ext, or OUT-YYYYmmdd-HHMMSS.ext for segments (a counter added when that name is taken).
std::string file_name(const Options &o) {
    if (o.segment <= 0) return o.out;
    const size_t dot = o.out.rfind('.');
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char stamp[32];
    strftime(stamp, sizeof stamp, "-%Y%m%d-%H%M%S", &tm);
    std::string base = o.out.substr(0, dot) + stamp, ext = o.out.substr(dot);
    std::string name = base + ext;
    for (int n = 2; access(name.c_str(), F_OK) == 0; ++n) name = base + "-" + std::to_string(n) + ext;
    return name;
}

bool is_key(const Frame &f) {
    const signed char code = video_h264_check_keyFrame(uint32_t(f.data.size()), f.data.data());
    return code == VIDEO_H264_KEYFRAME_IDR || code == VIDEO_H264_KEYFRAME_PARAMETERS_IDR;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int rc = parse(argc, argv, &o);
    if (rc != 0) return rc == 1 ? 0 : 2;

    // Our lines go to the real standard output; the library's records to --log or nowhere.
    FILE *out = kxplayer::split_program_output("kxrecord", o.log);
    if (out == nullptr) return 2;

    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    globalInit(0, nullptr, nullptr, nullptr, 0);
    Inbox inbox;
    rtspClient *client = rtspClient_new__IO("kxrecord", nullptr, 0, nullptr);
    rtspClient_item *item = rtspClient_item_new_byURL__IO(o.url.c_str(), on_frame, &inbox);
    int status = 0;
    if (client == nullptr || item == nullptr) {
        fprintf(stderr, "kxrecord: invalid URL \"%s\" (expected rtsp://[user:password@]a.b.c.d[:port]/path)\n",
                o.url.c_str());
        if (item) rtspClient_item_delete__OI(item);
        if (client) rtspClient_delete__OI(client);
        globalRelease();
        return 2;
    }
    rtspClient_startThread(client, 0);
    rtspClient_add_item__OI_2(client, item);

    Output file;
    uint64_t total = 0, files = 0, bytesBefore = 0;
    const double started = kx_time_uptime_get();
    double recordingSince = 0, lastReport = started;
    std::vector<Frame> batch;
    while (status == 0 && !g_stop.load()) {
        {
            std::lock_guard<std::mutex> lock(inbox.mutex);
            while (!inbox.frames.empty()) {
                batch.push_back(std::move(inbox.frames.front()));
                inbox.frames.pop_front();
            }
        }
        const double now = kx_time_uptime_get();
        for (Frame &f : batch) {
            if (status != 0) break;
            const bool key = is_key(f);
            const bool segmentDue = o.segment > 0 && file.open() && now - file.startedAt >= o.segment;
            if (key && segmentDue) {
                if (!file.finish()) {
                    fprintf(stderr, "kxrecord: finishing %s failed: %s\n", file.path.c_str(), "write error");
                    status = 1;
                    break;
                }
            }
            if (!file.open()) {
                if (!key) continue;  // a file starts with a key frame
                file.fps = f.frameRate > 0 ? f.frameRate : o.fps;
                if (!file.start(file_name(o), o.avi, f)) {
                    status = 1;
                    break;
                }
                ++files;
                if (recordingSince == 0) recordingSince = now;
            }
            int rv = file.write(f, key);
            if (rv == 0) {
                // The AVI file is full: it is finished and the next key frame starts another.
                if (!file.finish()) {
                    fprintf(stderr, "kxrecord: finishing %s failed\n", file.path.c_str());
                    status = 1;
                }
                if (o.segment <= 0) o.segment = 1e9;  // later files are named by their time
                continue;
            }
            if (rv < 0) {
                fprintf(stderr, "kxrecord: writing %s failed (%d): %s\n", file.path.c_str(), rv,
                        rv == -2 ? "seek error" : "write error (disk full or file not writable)");
                status = 1;
                break;
            }
            ++total;
        }
        batch.clear();
        if (status != 0) break;
        if (o.seconds > 0 && recordingSince > 0 && now - recordingSince >= o.seconds) break;
        if (recordingSince == 0 && o.timeout > 0 && now - started >= o.timeout) {
            fprintf(stderr, "kxrecord: no key frame from %s within %.0f s\n", o.url.c_str(), o.timeout);
            status = 1;
            break;
        }
        if (recordingSince > 0 && now - inbox.lastAt.load() >= o.idle) break;  // the source has ended
        if (!o.quiet && now - lastReport >= 1.0) {
            const uint64_t bytes = file.bytes;
            fprintf(out, "%6.1fs frames %-7llu kbit/s %7.1f  file %s\n", now - started, (unsigned long long)total,
                    (bytes >= bytesBefore ? bytes - bytesBefore : bytes) * 8.0 / 1000.0 / (now - lastReport),
                    file.open() ? file.path.c_str() : "-");
            bytesBefore = bytes;
            lastReport = now;
        }
        kx_thread_usleep(10000);
    }
    rtspClient_remove_item__IO_2(client, item);
    rtspClient_stopThread(client);
    rtspClient_item_delete__OI(item);
    rtspClient_delete__OI(client);
    if (file.open() && !file.finish()) {
        fprintf(stderr, "kxrecord: finishing %s failed (disk full or file not writable)\n", file.path.c_str());
        status = 1;
    }
    if (status == 0 && total == 0) status = 1;
    fprintf(status == 0 ? out : stderr, "kxrecord: %llu frames in %llu file%s, %.1f s\n", (unsigned long long)total,
            (unsigned long long)files, files == 1 ? "" : "s", kx_time_uptime_get() - started);
    globalRelease();
    fflush(out);
    return status;
}
