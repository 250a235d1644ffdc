// kxrecord: records one RTSP stream into Matroska or AVI files.
//
//   kxrecord [options] URL OUT.mkv|OUT.avi
//
// Recording starts at the stream's first key frame and the file is finished cleanly on the
// time limit, on SIGINT/SIGTERM and when the source ends (no frame for --idle seconds). With
// --segment the recording goes into files named OUT-YYYYmmdd-HHMMSS.ext, a new one on the
// first key frame after each interval. With a size limit (--max-size; for AVI always the 4 GiB
// its 32-bit sizes hold) each group of pictures is held until the next key frame and goes to a
// new file when it would take the open one past the limit, so files start on key frames and no
// frame is lost between them; files after the first are named by their time as well. Exit
// status: 0 frames were recorded, 1 none were or a write failed, 2 usage error.
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
#include "kx/objectlist.h"
#include "kx/rtspclient.h"
#include "kx/time.h"
#include "player/programs.hpp"

namespace {

const char *kUsage =
    "usage: kxrecord [options] rtsp://[user:password@]a.b.c.d[:port]/path OUT.mkv|OUT.avi\n"
    "  --seconds S   record S seconds (default: until Ctrl-C, SIGTERM or the stream ends)\n"
    "  --segment S   a new file on the first key frame after every S seconds (OUT-YYYYmmdd-HHMMSS.ext)\n"
    "  --max-size B  a new file, at a key frame, before a file would pass B bytes (default for .avi:\n"
    "                the 4 GiB its sizes can hold; for .mkv: none); a file holds at least one frame\n"
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
    uint64_t maxSize = 0;  // 0: no limit of the user's
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
        } else if (a == "--max-size") {
            char *end = nullptr;
            errno = 0;
            const unsigned long long b = i + 1 < argc ? strtoull(argv[i + 1], &end, 10) : 0;
            if (i + 1 >= argc || errno != 0 || end == argv[i + 1] || *end != 0 || argv[i + 1][0] == '-' || b == 0) {
                fprintf(stderr, "kxrecord: --max-size needs a number of bytes above 0\n");
                return 2;
            }
            o->maxSize = b;
            ++i;
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

bool is_key(const Frame &f) {
    const signed char code = video_h264_check_keyFrame(uint32_t(f.data.size()), f.data.data());
    return code == VIDEO_H264_KEYFRAME_IDR || code == VIDEO_H264_KEYFRAME_PARAMETERS_IDR;
}

// One output file.
struct Output {
    FILE *file = nullptr;
    video_mkv_writer *mkv = nullptr;
    video_avi *avi = nullptr;
    std::string path;
    uint64_t frames = 0, bytes = 0, keys = 0;
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
            keys += key;
            bytes += f.data.size();
        }
        return rv;
    }

    // At least the size the file would have, finished, with frames [begin, end) added.
    uint64_t size_with(const Frame *begin, const Frame *end) const {
        uint64_t size;
        if (avi != nullptr) {
            // Each frame: chunk head, data padded to 4, index entry; at the finish the index head.
            size = avi->fileSize + 8 + 16ull * avi->index->count;
            for (const Frame *f = begin; f != end; ++f) size += 8 + ((f->data.size() + 3) & ~size_t(3)) + 16;
            return size;
        }
        // Each frame: a block head (at most 13 bytes) and one byte more for every NAL unit behind
        // a 3-byte start code; each key frame may open a cluster (at most 22 bytes) with a cue
        // (at most 40, written at the finish, as are the cues' own 12 bytes).
        const off_t at = ftello(file);
        size = uint64_t(at > 0 ? at : 0) + 12 + 40 * keys;
        for (const Frame *f = begin; f != end; ++f) {
            size += f->data.size() + 13 + (is_key(*f) ? 62 : 0);
            const std::vector<unsigned char> &d = f->data;
            for (size_t i = 2; i < d.size(); ++i)
                if (d[i] == 1 && d[i - 1] == 0 && d[i - 2] == 0 && (i < 3 || d[i - 3] != 0)) ++size;
        }
        return size;
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

// OUT.ext for the first file, OUT-YYYYmmdd-HHMMSS.ext for segments and the files after the
// first (a counter added when that name is taken).
std::string file_name(const Options &o, bool first) {
    if (o.segment <= 0 && first) return o.out;
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

// Frames in stream order into files. Without a size limit frames go straight to the file; with
// one, each group of pictures is held until the next key frame and then written to the open
// file if it fits, else to a new one. A group too large to hold (above the limit or 64 MiB) is
// written as it comes into a file of its own; frames that still do not fit are dropped up to
// the next key frame.
struct Recorder {
    const Options &o;
    uint64_t limit;
    Output file;
    std::vector<Frame> group;  // held frames, a key frame first
    uint64_t heldBytes = 0;
    bool segmentDue = false;   // the held group starts a new segment
    bool direct = false;       // frames go straight to the file until the next key frame
    bool dropping = false;     // frames are dropped until the next key frame
    uint64_t total = 0, files = 0, dropped = 0;
    int status = 0;
    double recordingSince = 0;

    Recorder(const Options &options, uint64_t maxSize) : o(options), limit(maxSize) {}

    void take(Frame &&f, double now) {
        if (status != 0) return;
        if (is_key(f)) {
            flush(now);
            direct = dropping = false;
            segmentDue = o.segment > 0 && file.open() && now - file.startedAt >= o.segment;
            heldBytes += f.data.size();
            group.push_back(std::move(f));
        } else if (direct) {
            put(f, false);
            return;
        } else if (!group.empty()) {
            heldBytes += f.data.size();
            group.push_back(std::move(f));
        } else {
            dropped += dropping;  // a file starts with a key frame
            return;
        }
        if (limit == 0 || heldBytes > std::min<uint64_t>(limit, 64ull << 20)) {
            flush(now);
            direct = status == 0;
        }
    }

    // Writes the held group: into the open file when it fits, else into a new file.
    void flush(double now) {
        if (group.empty() || status != 0) return;
        if (file.open() &&
            (segmentDue || (limit > 0 && file.size_with(group.data(), group.data() + group.size()) > limit)))
            finish();
        if (status == 0 && !file.open()) {
            file.fps = group[0].frameRate > 0 ? group[0].frameRate : o.fps;
            if (!file.start(file_name(o, files == 0), o.avi, group[0])) status = 1;
            else ++files;
            if (recordingSince == 0) recordingSince = now;
        }
        for (size_t i = 0; i < group.size() && status == 0; ++i) {
            if (!put(group[i], i == 0)) {
                dropped += group.size() - i - 1;
                break;
            }
        }
        group.clear();
        heldBytes = 0;
        segmentDue = false;
    }

    // Writes one frame; false when it was dropped (and the rest of its group with it).
    bool put(const Frame &f, bool key) {
        const bool fits = limit == 0 || file.frames == 0 || file.size_with(&f, &f + 1) <= limit;
        const int rv = fits ? file.write(f, key) : 0;
        if (rv == 0) {
            // The file is full: the frames up to the next key frame have nowhere to go.
            if (dropped++ == 0)
                fprintf(stderr, "kxrecord: a group of pictures does not fit in %s; frames dropped up to the next key frame\n",
                        file.path.c_str());
            direct = false;
            dropping = true;
            return false;
        }
        if (rv < 0) {
            fprintf(stderr, "kxrecord: writing %s failed (%d): %s\n", file.path.c_str(), rv,
                    rv == -2 ? "seek error" : "write error (disk full or file not writable)");
            status = 1;
            return false;
        }
        ++total;
        return true;
    }

    void finish() {
        if (!file.finish()) {
            fprintf(stderr, "kxrecord: finishing %s failed (disk full or file not writable)\n", file.path.c_str());
            status = 1;
        }
    }
};

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

    // AVI sizes are 32-bit: a file never passes 4 GiB, whatever the user's limit.
    const uint64_t limit = o.avi ? std::min<uint64_t>(o.maxSize ? o.maxSize : VIDEO_AVI_MAX_FILE_SIZE,
                                                      VIDEO_AVI_MAX_FILE_SIZE)
                                 : o.maxSize;
    Recorder rec(o, limit);
    uint64_t bytesBefore = 0;
    const double started = kx_time_uptime_get();
    double lastReport = started;
    std::vector<Frame> batch;
    while (rec.status == 0 && !g_stop.load()) {
        {
            std::lock_guard<std::mutex> lock(inbox.mutex);
            while (!inbox.frames.empty()) {
                batch.push_back(std::move(inbox.frames.front()));
                inbox.frames.pop_front();
            }
        }
        const double now = kx_time_uptime_get();
        for (Frame &f : batch) rec.take(std::move(f), now);
        batch.clear();
        if (rec.status != 0) break;
        if (o.seconds > 0 && rec.recordingSince > 0 && now - rec.recordingSince >= o.seconds) break;
        // A held first group counts as recording since it arrived.
        if (rec.recordingSince == 0 && !rec.group.empty()) rec.recordingSince = now;
        if (rec.recordingSince == 0 && o.timeout > 0 && now - started >= o.timeout) {
            fprintf(stderr, "kxrecord: no key frame from %s within %.0f s\n", o.url.c_str(), o.timeout);
            rec.status = 1;
            break;
        }
        if (rec.recordingSince > 0 && now - inbox.lastAt.load() >= o.idle) break;  // the source has ended
        if (!o.quiet && now - lastReport >= 1.0) {
            const uint64_t bytes = rec.file.bytes;
            fprintf(out, "%6.1fs frames %-7llu kbit/s %7.1f  file %s\n", now - started, (unsigned long long)rec.total,
                    (bytes >= bytesBefore ? bytes - bytesBefore : bytes) * 8.0 / 1000.0 / (now - lastReport),
                    rec.file.open() ? rec.file.path.c_str() : "-");
            bytesBefore = bytes;
            lastReport = now;
        }
        kx_thread_usleep(10000);
    }
    rtspClient_remove_item__IO_2(client, item);
    rtspClient_stopThread(client);
    rtspClient_item_delete__OI(item);
    rtspClient_delete__OI(client);
    // Frames that came before the end are recorded too.
    rec.flush(kx_time_uptime_get());
    if (rec.file.open()) rec.finish();
    int status = rec.status;
    if (status == 0 && rec.total == 0) status = 1;
    fprintf(status == 0 ? out : stderr, "kxrecord: %llu frames in %llu file%s, %.1f s", (unsigned long long)rec.total,
            (unsigned long long)rec.files, rec.files == 1 ? "" : "s", kx_time_uptime_get() - started);
    if (rec.dropped > 0) fprintf(status == 0 ? out : stderr, ", %llu frames dropped", (unsigned long long)rec.dropped);
    fputc('\n', status == 0 ? out : stderr);
    globalRelease();
    fflush(out);
    return status;
}
