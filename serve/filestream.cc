// File streaming service: one worker thread owns a catch-all demand item of an RTSP server.
// Each pass it walks the item's demand records (under the list's lock): a record without
// play state gets its file opened under the root and indexed; a record with one is
// repositioned on a PLAY start time or a stream-type change, marked finished at the end of
// the file, and otherwise given the frames that the engine (filestream_engine.hpp) names,
// read from the file one at a time into objects of exactly their size.
#include "kx/filestream.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/log.hpp"
#include "core/poller.hpp"
#include "core/service.hpp"
#include "kx/aac.h"
#include "kx/h264.h"
#include "kx/memory.h"
#include "kx/mkv.h"
#include "kx/objectlist.h"
#include "kx/time.h"
#include "serve/filestream_engine.hpp"

namespace fs = kx::filestream;

namespace {

constexpr double kIdleWait = 0.060;
// Producer states of a demand record.
constexpr unsigned char kProducing = 1, kFinished = 2, kFailed = 3;
// Track indexes the server carries (bits 0-4 of the object's first word).
constexpr uint16_t kMaxTrackNumber = 32;
// Largest access unit read into memory (far above any picture a camera records).
constexpr uint64_t kMaxFrameBytes = 64u << 20;

const video_mkv_frame *frameAt(const video_mkv_track &t, uint32_t i) {
    return static_cast<const video_mkv_frame *>(t.frames->array[t.frames->start + i]);
}

uint32_t frameCount(const video_mkv_track &t) { return t.frames != nullptr ? t.frames->count : 0; }

// Stream times of one track's frames, by frame index: block times less the origin, on the
// track's frame grid where the block times (rounded to whole ticks by the muxer) lie within
// a tick of it, and never below 0. Video frames lie on the grid of the frame rate counted
// from the origin; audio frames follow each other by their duration from the last frame
// that lay off the grid (a gap restarts the count there).
std::vector<double> streamTimes(const video_mkv_track &t, double origin, double tick) {
    const uint32_t n = t.frames != nullptr ? t.frames->count : 0;
    std::vector<double> out(n);
    const double period = t.frameRate > 0.0f ? 1.0 / static_cast<double>(t.frameRate) : 0.0;
    const double slack = tick + 1e-9;
    const bool grid = period > 0.0 && isfinite(tick) && tick >= 0.0 && slack < period / 4;
    double anchor = 0.0;
    uint32_t anchorIndex = 0;
    for (uint32_t i = 0; i < n; ++i) {
        double time = frameAt(t, i)->time - origin;
        if (grid && t.type == VIDEO_MKV_TRACK_VIDEO) {
            double on = nearbyint(time / period) * period;
            if (fabs(time - on) <= slack) time = on;
        } else if (grid) {
            double on = anchor + (i - anchorIndex) * period;
            if (i > 0 && fabs(time - on) <= slack) {
                time = on;
            } else {
                anchor = time;
                anchorIndex = i;
            }
        }
        out[i] = time > 0.0 ? time : 0.0;
    }
    return out;
}

// The main track's origin: the earliest block time of its first group of pictures (with
// B-frames the first frame in file order need not be the first shown) or its first frame.
double originOf(const video_mkv_track &t, bool video) {
    const uint32_t n = t.frames != nullptr ? t.frames->count : 0;
    double origin = n > 0 ? frameAt(t, 0)->time : 0.0;
    for (uint32_t i = 1; video && i < n && !(frameAt(t, i)->flags & VIDEO_MKV_FRAME_KEY); ++i)
        origin = std::min(origin, frameAt(t, i)->time);
    return isfinite(origin) ? origin : 0.0;
}

void releaseDemand(void *context) {
    rtspFileStream_private_VideoDemand_delete__OI(static_cast<rtspFileStream_VideoDemand *>(context));
}

}  // namespace

struct rtspFileStream_VideoDemand {
    FILE *file = nullptr;
    video_mkv *mkv = nullptr;
    uint16_t mainTrack = 0;
    bool video = false;
    std::vector<uint16_t> sideTracks;     // other AAC tracks fed beside the main track
    std::vector<uint32_t> trackCounters;  // next frameIndex, by track number
    std::vector<std::vector<double>> times;  // stream times of the frames fed, by track number
    std::vector<unsigned char> keyData;   // main video track: 4-byte length, parameter sets
    double fpsParam = -1.0;
    fs::Cursor cursor{0, 1.0, -1.0, {}, false};

    ~rtspFileStream_VideoDemand() {
        video_mkv_delete__OI(mkv);
        if (file != nullptr) fclose(file);
    }
};

struct rtspFileStream : kx::ServiceThread {
    rtspFileStream(const char *name, monitor *m, pthread_t parent, unsigned char *run, std::string root,
                   rtspServer *server)
        : ServiceThread(options(name, m, parent, run)), rootDir(std::move(root)), pRtspServer(server) {}
    ~rtspFileStream() override { stop(); }

    static Options options(const char *name, monitor *m, pthread_t parent, unsigned char *run) {
        Options o;
        o.name = name;
        o.pMonitor = m;
        o.parentTid = parent;
        o.externRunStatus = run;
        o.idleWait = kIdleWait;
        o.labels = {"rtspFileStream_new__IO", "rtspFileStream_startThread", "rtspFileStream_stopThread",
                    "rtspFileStream_private_thread", nullptr};
        return o;
    }

    const std::string rootDir;  // always ends in "/"
    rtspServer *const pRtspServer;

    // Starts the thread and returns once its item is in the server (or could not be made),
    // so that requests right after the start find it.
    int startAndAttach(signed char nice) {
        {
            std::lock_guard<std::mutex> lock(attachMutex_);
            attached_ = false;
        }
        int rv = start(nice);
        if (rv != 1) return rv;
        std::unique_lock<std::mutex> lock(attachMutex_);
        attachCond_.wait_for(lock, std::chrono::seconds(10), [&] { return attached_; });
        return rv;
    }

protected:
    void onThreadStart(Worker &w) override;
    double onTick(Worker &w, double now) override;
    void onEvent(Worker &w, uint32_t events, void *data) override;
    void onThreadExit(Worker &w) override;
    std::string parameterText() const override;

private:
    static int serveRecord(rtspServer_demandRecord *record, void *self);
    void open(rtspServer_demandRecord *record);
    rtspFileStream_VideoDemand *openFile(const std::string &request, const fs::Params &params,
                                         const std::string &shown);
    void produce(rtspServer_demandRecord *record, rtspFileStream_VideoDemand *vd);
    kx_Object *frameObject(rtspFileStream_VideoDemand *vd, uint16_t track, uint32_t index, bool withKeyData);

    rtspServer_item *item_ = nullptr;
    int pipe_ = -1;
    std::mutex attachMutex_;
    std::condition_variable attachCond_;
    bool attached_ = false;  // the thread is past adding its item
    double now_ = 0.0;
    bool fed_ = false;          // frames went out in this pass
    double fastest_ = 0.0;      // highest pacing rate among the records served this pass
};

std::string rtspFileStream::parameterText() const {
    char text[768];
    snprintf(text, sizeof text,
             "threadName:\"%s\"\n  pMonitor=%#lx\n  parentTid=%ld\n  externRunStatus=%#lx\n  rootDir:\"%s\"\n"
             "  pRtspServer=%#lx\n",
             name().c_str(), (unsigned long)(uintptr_t)pMonitor(), (long)parentTid(),
             (unsigned long)(uintptr_t)externRunStatus(), rootDir.c_str(), (unsigned long)(uintptr_t)pRtspServer);
    return text;
}

void rtspFileStream::onThreadStart(Worker &w) {
    item_ = rtspServer_item_new__IO(nullptr, 0, RTSPSERVER_MODEL_PREFIX, 0, 0, 0, 0, 0.0, 1);
    if (item_ != nullptr) {
        pipe_ = rtspServer_item_pipe_get(item_);
        if (pipe_ >= 0 && w.poller()->add(pipe_, EPOLLIN, &pipe_) != 0) pipe_ = -1;
        if (rtspServer_add_item__OI_2(pRtspServer, item_) != 1) {
            if (pipe_ >= 0) w.poller()->remove(pipe_);
            pipe_ = -1;
            rtspServer_item_delete__OI(item_);
            item_ = nullptr;
        }
    }
    std::lock_guard<std::mutex> lock(attachMutex_);
    attached_ = true;
    attachCond_.notify_all();
}

void rtspFileStream::onEvent(Worker &, uint32_t, void *data) {
    if (data != &pipe_ || pipe_ < 0) return;
    // One read per event: a byte left behind wakes the next wait again.
    char buf[64];
    ssize_t n = read(pipe_, buf, sizeof buf);
    (void)n;
}

void rtspFileStream::onThreadExit(Worker &w) {
    if (item_ != nullptr) {
        if (pipe_ >= 0) w.poller()->remove(pipe_);
        pipe_ = -1;
        // Deleting the item frees its demand records; their release callbacks free the play
        // states.
        rtspServer_item_delete__OI(item_);
        item_ = nullptr;
    }
    // A thread that left before it started its loop releases the starter too.
    std::lock_guard<std::mutex> lock(attachMutex_);
    attached_ = true;
    attachCond_.notify_all();
}

double rtspFileStream::onTick(Worker &, double) {
    if (item_ == nullptr || rtspServer_item_demandClientCount_get(item_) == 0) return kIdleWait;
    now_ = kx_time_uptime_get();
    fed_ = false;
    fastest_ = 0.0;
    rtspServer_item_demandClients_each(item_, serveRecord, this);
    if (fed_) return 0.0;
    // Next look when the fastest client's next frame may be due.
    return fastest_ > 0.0 ? std::min(kIdleWait, 1.0 / fastest_) : kIdleWait;
}

int rtspFileStream::serveRecord(rtspServer_demandRecord *record, void *self) {
    rtspFileStream *s = static_cast<rtspFileStream *>(self);
    unsigned char state = rtspServer_demandRecord_state_get(record);
    if (state == kFailed) return 0;
    auto *vd = static_cast<rtspFileStream_VideoDemand *>(rtspServer_demandRecord_context_get(record));
    if (vd != nullptr)
        s->produce(record, vd);
    else if (state == 0)
        s->open(record);
    return 0;
}

void rtspFileStream::open(rtspServer_demandRecord *record) {
    uint32_t ip = 0;
    uint16_t port = 0;
    int index = 0;
    rtspServer_demandRecord_peer_get(record, &ip, &port, &index);
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&ip);
    const char *path = rtspServer_demandRecord_path_get(record);
    if (path == nullptr || path[0] == '\0') {
        KX_LOGE("Uri of the client(=%d):\"%hhu.%hhu.%hhu.%hhu:%hu\" is NULL.", index, a[0], a[1], a[2], a[3], port);
        rtspServer_demandRecord_state_set(record, kFailed);
        return;
    }
    char from[64], fps[64], type[64];
    bool hasFrom = rtspServer_demandRecord_param_get(record, "from", from, sizeof from) >= 0;
    bool hasFps = rtspServer_demandRecord_param_get(record, "fps", fps, sizeof fps) >= 0;
    bool hasType = rtspServer_demandRecord_param_get(record, "streamtype", type, sizeof type) >= 0;
    fs::Params params =
        fs::parseParams(hasFrom ? from : nullptr, hasFps ? fps : nullptr, hasType ? type : nullptr);
    if (hasFrom) KX_LOG_INFO_AT(1, __LINE__, __func__, "from:\"%s\"", from);
    if (hasFps) KX_LOG_INFO_AT(1, __LINE__, __func__, "fps:\"%s\"-%lf", fps, params.fps);
    if (hasType) KX_LOG_INFO_AT(1, __LINE__, __func__, "streamtype:\"%s\"-%hhu", type, params.streamType);
    rtspServer_demandRecord_streamType_set(record, params.streamType);

    // The root without its final "/", then the request path with its own leading "/".
    std::string shown = rootDir.substr(0, rootDir.size() - 1) + path;
    rtspFileStream_VideoDemand *vd = openFile(path, params, shown);
    if (vd == nullptr) {
        KX_LOGE("New file:\"%s\" for the client(=%d):\"%hhu.%hhu.%hhu.%hhu:%hu\" failed.", shown.c_str(), index, a[0],
                a[1], a[2], a[3], port);
        rtspServer_demandRecord_state_set(record, kFailed);
        return;
    }
    // The duration goes into the description, which the first frames complete.
    rtspServer_demandRecord_duration_set(record, vd->cursor.duration());
    rtspServer_demandRecord_context_set(record, vd, releaseDemand);
    rtspServer_demandRecord_state_set(record, kProducing);
    produce(record, vd);
}

rtspFileStream_VideoDemand *rtspFileStream::openFile(const std::string &request, const fs::Params &params,
                                                     const std::string &shown) {
    std::string decoded;
    int fd = -1;
    char *rootReal = realpath(rootDir.c_str(), nullptr);
    if (rootReal == nullptr) {
        // errno of the root
    } else if (!fs::percentDecode(request, &decoded)) {
        errno = EACCES;
    } else {
        fd = fs::openUnderRoot(rootReal, decoded);
    }
    int err = errno;
    free(rootReal);
    FILE *file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        if (fd >= 0) {
            err = errno;
            close(fd);
        }
        KX_LOGE("Open the file:\"%s\" error:\"%s\".", shown.c_str(), strerror(err));
        return nullptr;
    }
    auto *vd = new (std::nothrow) rtspFileStream_VideoDemand();
    if (vd == nullptr) {
        fclose(file);
        return nullptr;
    }
    vd->file = file;
    vd->mkv = video_mkv_new_from_file__IO(file);
    if (vd->mkv == nullptr) {
        KX_LOGE("Error new mkv from the file:\"%s\".", shown.c_str());
        delete vd;
        return nullptr;
    }
    const video_mkv *m = vd->mkv;
    vd->video = m->firstVideoTrack != 0;
    vd->mainTrack = vd->video ? m->firstVideoTrack : m->firstAudioTrack;
    if (vd->mainTrack == 0 || vd->mainTrack > kMaxTrackNumber) {
        delete vd;
        return nullptr;
    }
    const video_mkv_track &main = m->rows[vd->mainTrack];
    if (vd->video) {
        // Only H.264 is served; its parameter sets go in front of every key frame.
        uint32_t len = main.codecPrivate ? VIDEO_MKV_CODECPRIVATE_LENGTH(main.codecPrivate) : 0;
        vd->keyData.resize(VIDEO_MKV_KEYDATA_MAX(len));
        if (main.codec != VIDEO_MKV_CODEC_H264 || main.codecPrivate == nullptr ||
            video_mkv_h264_get_keyData(vd->keyData.data(), static_cast<uint32_t>(vd->keyData.size()),
                                       main.codecPrivate) != 1) {
            KX_LOGE("Get keydata from the file:\"%s\".", shown.c_str());
            delete vd;
            return nullptr;
        }
    } else if (main.codec != VIDEO_MKV_CODEC_AAC || main.codecPrivate == nullptr) {
        delete vd;
        return nullptr;
    }
    uint32_t frames = frameCount(main);
    double mainRate = main.frameRate;
    if (frames == 0 || !(isfinite(mainRate) && mainRate > 0.0)) {
        delete vd;
        return nullptr;
    }
    std::vector<uint32_t> keys;
    if (vd->video)
        for (uint32_t i = 0; i < frames; ++i)
            if (frameAt(main, i)->flags & VIDEO_MKV_FRAME_KEY) keys.push_back(i);
    std::vector<fs::SideTrack> side;
    for (uint16_t t = 1; t <= m->entryCount && t <= kMaxTrackNumber; ++t) {
        const video_mkv_track &row = m->rows[t];
        if (t == vd->mainTrack || row.type != VIDEO_MKV_TRACK_AUDIO || row.codec != VIDEO_MKV_CODEC_AAC ||
            row.codecPrivate == nullptr || frameCount(row) == 0 || !(row.frameRate > 0.0f))
            continue;
        vd->sideTracks.push_back(t);
        side.push_back({frameCount(row), static_cast<double>(row.frameRate)});
    }
    vd->trackCounters.assign(static_cast<size_t>(m->entryCount) + 1, 0);
    vd->times.resize(static_cast<size_t>(m->entryCount) + 1);
    const double origin = originOf(main, vd->video);
    vd->times[vd->mainTrack] = streamTimes(main, origin, m->tick);
    for (uint16_t t : vd->sideTracks) vd->times[t] = streamTimes(m->rows[t], origin, m->tick);
    vd->fpsParam = params.fps;
    vd->cursor = fs::Cursor(frames, mainRate, params.fps, std::move(keys), vd->video, std::move(side),
                            vd->times[vd->mainTrack]);
    vd->cursor.start(params.streamType, params.from, kx_time_uptime_get());
    return vd;
}

kx_Object *rtspFileStream::frameObject(rtspFileStream_VideoDemand *vd, uint16_t track, uint32_t index,
                                       bool withKeyData) {
    const video_mkv_track &t = vd->mkv->rows[track];
    const video_mkv_frame *f = frameAt(t, index);
    const uint16_t trackIndex = static_cast<uint16_t>((track - 1) & 31);
    if (t.type == VIDEO_MKV_TRACK_VIDEO) {
        const unsigned char *key = withKeyData ? vd->keyData.data() : nullptr;
        uint64_t size = f->size;
        if (key != nullptr) {
            uint32_t keyLength = VIDEO_MKV_CODECPRIVATE_LENGTH(key);
            if (keyLength < 4 || f->size < 4) return nullptr;
            size += keyLength - 4;
        }
        if (size == 0 || size > kMaxFrameBytes) {
            KX_LOGE("Invalid frame size(=%llu),track=%hu,index=%u.", (unsigned long long)size, track, index);
            return nullptr;
        }
        video_h264_object *o = video_h264_object_new__IO(static_cast<uint32_t>(size));
        if (o == nullptr) return nullptr;
        int n = video_mkv_read_h264Stream_from_file(o->data, static_cast<uint32_t>(size), key, vd->file, f->offset,
                                                    f->size);
        if (n != static_cast<int>(size)) {
            kx_Object_delete__OI(&o->object);
            return nullptr;
        }
        signed char code = key != nullptr ? VIDEO_H264_KEYFRAME_PARAMETERS_IDR : VIDEO_H264_KEYFRAME_NONE;
        video_h264_object_set_data(o, 0, vd->trackCounters[track]++, t.frameRate, t.width, t.height, code, now_,
                                   vd->times[track][index], nullptr);
        o->object.reserved = trackIndex;
        return &o->object;
    }
    uint64_t size = static_cast<uint64_t>(f->size) + 7;
    if (size > 8191) return nullptr;  // more than an ADTS frame can carry
    audio_aac_object *o = audio_aac_object_new__IO(static_cast<uint32_t>(size));
    if (o == nullptr) return nullptr;
    int n = video_mkv_read_aacStream_from_file(o->data, static_cast<uint32_t>(size), t.codecPrivate, vd->file,
                                               f->offset, f->size);
    if (n != static_cast<int>(size)) {
        kx_Object_delete__OI(&o->object);
        return nullptr;
    }
    const unsigned char *asc = VIDEO_MKV_CODECPRIVATE_DATA(t.codecPrivate);
    uint8_t objectType = static_cast<uint8_t>(asc[0] >> 3);
    uint8_t channels = static_cast<uint8_t>((asc[1] >> 3) & 15);
    audio_aac_object_set_data(o, 0, vd->trackCounters[track]++, t.frameRate, objectType, channels, t.height, now_,
                              vd->times[track][index], nullptr);
    o->object.reserved = trackIndex;
    return &o->object;
}

void rtspFileStream::produce(rtspServer_demandRecord *record, rtspFileStream_VideoDemand *vd) {
    fs::Cursor &cur = vd->cursor;
    double start = rtspServer_demandRecord_startTime_take(record);
    if (start > 0.0) cur.update(cur.mode(), start, now_);
    unsigned char type = rtspServer_demandRecord_streamType_get(record) & 3u;
    if (type != cur.mode()) {
        KX_LOG_INFO_AT(1, __LINE__, __func__, "dsfdsfdsfsf--%hhu/%hhu", type, cur.mode());
        rtspServer_demandRecord_frames_drop(record);
        cur.update(type, -1.0, now_);
    }
    // At the end the client is finished and gets nothing more, also on a PLAY without start
    // time; its play state stays until it leaves, so that a PLAY with a start time or a turn
    // of direction plays on from there.
    const bool finished = rtspServer_demandRecord_state_get(record) == kFinished;
    if (cur.finished()) {
        if (!finished) rtspServer_demandRecord_state_set(record, kFinished);
        return;
    }
    if (finished) rtspServer_demandRecord_state_set(record, kProducing);
    fastest_ = std::max(fastest_, cur.rate());
    std::vector<fs::Feed> feeds = cur.batch(now_, rtspServer_demandRecord_frameCount_get(record));
    for (const fs::Feed &f : feeds) {
        uint16_t track = f.track == 0 ? vd->mainTrack : vd->sideTracks[f.track - 1];
        bool key = false;
        if (f.track == 0 && vd->video)
            key = (frameAt(vd->mkv->rows[track], f.index)->flags & VIDEO_MKV_FRAME_KEY) != 0;
        kx_Object *o = frameObject(vd, track, f.index, key);
        if (o == nullptr) continue;  // an unreadable sample (logged) is left out
        if (rtspServer_item_DemandClient_add_frame__OI_2(record, o) == 1) fed_ = true;
    }
}

extern "C" {

rtspFileStream *rtspFileStream_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                                       unsigned char *externRunStatus, const char *rootDir, rtspServer *pRtspServer) {
    if (rootDir == nullptr || rootDir[0] == '\0' || pRtspServer == nullptr) return nullptr;
    std::string root = rootDir;
    if (root.back() != '/') root += '/';
    try {
        return new rtspFileStream(threadName != nullptr ? threadName : "rtspFileStream", pMonitor, parentTid,
                                  externRunStatus, std::move(root), pRtspServer);
    } catch (...) {
        return nullptr;
    }
}

void rtspFileStream_delete__OI(rtspFileStream *fileStream) { delete fileStream; }

int rtspFileStream_startThread(rtspFileStream *fileStream, signed char nice) {
    return fileStream != nullptr ? fileStream->startAndAttach(nice) : -1;
}

void rtspFileStream_stopThread(rtspFileStream *fileStream) {
    if (fileStream != nullptr) fileStream->stop();
}

void rtspFileStream_private_VideoDemand_delete__OI(rtspFileStream_VideoDemand *videoDemand) { delete videoDemand; }

void rtspFileStream_private_VideoDemand_update(rtspFileStream_VideoDemand *videoDemand, unsigned char streamType,
                                               double startTime) {
    if (videoDemand == nullptr) return;
    videoDemand->cursor.update(streamType, startTime, kx_time_uptime_get());
}

}  // extern "C"
