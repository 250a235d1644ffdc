// playerLib: player service, items, delivery loop, jump and mode (see kx/player.h).
//
// The player thread is a kx::ServiceThread with one worker. Starting it also creates the RTSP
// client service and the frame-conversion service for that thread (registered under it),
// hands them the sub-items of every listed item and starts them, so a start that could not
// bring them up fails; each pass then offers the decoded frames of every item to the item's
// callback, and an idle pass waits at most 20 ms on the wake channel. Add and remove are
// served by the worker (or applied by the caller when no worker is in its loop); the worker
// takes the services down on its way out, whichever way it leaves.
//
// Item fields that several threads touch (jump target, mode bits, in/out times, the pending
// frame, the picture size and the counters) are plain record fields accessed atomically:
// each has one writer at a time and is polled by the others.
#include "kx/player.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

#include "core/log.hpp"
#include "core/service.hpp"
#include "kx/frameconvert.h"
#include "kx/global.h"
#include "kx/h264.h"
#include "kx/objectlist.h"
#include "kx/time.h"
#include "media/picture_size.hpp"
#include "monitor/monitor.hpp"
#include "core/shared_field.hpp"

namespace {

using kx::load;
using kx::store;
void count(uint64_t &counter, uint64_t n = 1) {
    std::atomic_ref<uint64_t>(counter).fetch_add(n, std::memory_order_relaxed);
}

constexpr double kIdleWait = 0.020;     // longest wait of a pass that delivered nothing
constexpr double kSettleLimit = 5.0;    // jump and mode wait this long for the stream to follow
constexpr uint32_t kPollMicros = 1000;  // jump and mode poll period
// A stream that sent nothing for this long has ended: pictures the decoders still hold back
// (B-frames) are drained onto their frames.
constexpr double kEndOfStream = 0.5;

bool jumpPending(const playerLib_item *it) {
    double jt = load(it->jumpTarget);
    return jt < -1e-6 || jt > 1e-7;
}
// Bit 4: a direction change is pending and the stream already carries the new direction's
// frames. Every change of the mode bits clears it.
constexpr unsigned char kStreamTurned = 0x10;
unsigned char requestedMode(unsigned char bits) { return bits & 3; }
unsigned char currentMode(unsigned char bits) { return (bits >> 2) & 3; }
bool modePending(const playerLib_item *it) {
    unsigned char b = load(it->modeBits);
    return requestedMode(b) != currentMode(b);
}
void setModeBits(playerLib_item *it, int requested, int current) {
    std::atomic_ref<unsigned char> bits(it->modeBits);
    unsigned char old = bits.load();
    for (;;) {
        unsigned char r = requested >= 0 ? static_cast<unsigned char>(requested & 3) : requestedMode(old);
        unsigned char c = current >= 0 ? static_cast<unsigned char>(current & 3) : currentMode(old);
        if (bits.compare_exchange_weak(old, static_cast<unsigned char>(r | (c << 2)))) return;
    }
}

// Sets kStreamTurned when the mode bits are still those read (the change still pending).
bool markStreamTurned(playerLib_item *it, unsigned char seen) {
    return std::atomic_ref<unsigned char>(it->modeBits)
        .compare_exchange_strong(seen, static_cast<unsigned char>(seen | kStreamTurned));
}

void releaseFrame(image_frame *frame) {
    if (frame) kx_Object_delete_pthreadSafety__OI(&frame->object);
}

// Releases the item's pending frame (the player thread's, or any thread once the item is out
// of the running player).
void dropPending(playerLib_item *it) {
    image_frame *f = std::atomic_ref<image_frame *>(it->pendingFrame).exchange(nullptr);
    releaseFrame(f);
}

class Player;
Player *impl(const playerLib *p) { return static_cast<Player *>(p->impl); }

class Player final : public kx::ServiceThread {
public:
    explicit Player(playerLib *p)
        : ServiceThread({.name = p->threadName,
                         .pMonitor = p->pMonitor,
                         .parentTid = p->parentTid,
                         .externRunStatus = p->externRunStatus,
                         .stackSize = 32768,
                         .workers = 1,
                         .wakeChannel = true,
                         .handOver = kx::HandOver::byWorker,
                         .idleWait = kIdleWait,
                         .stopText = "Stop Start.",
                         .labels = {"playerLib_new__IO", "playerLib_startThread", "playerLib_stopThread",
                                    "playerLib_private_thread", "playerLib_add_item__OI_2"}}),
          p_(p) {}
    ~Player() override { stop(); }

    // True while the worker runs its loop with the services up (jump and mode wait on it).
    bool serving() const { return servicesUp_.load() && keepRunning(); }

    // Starts the worker and its services: 1 running, 0 already running, negative when the
    // thread or a service could not be made (nothing stays started).
    int begin(signed char priority) {
        if (tid(0) == 0 && runStatus() == 0) {
            left_.store(false);
            // The monitor is settled before the thread runs: the services made below register
            // in it under the worker. A private one goes with the worker (unregisterWorker).
            if (pMonitor() == nullptr && private_ == nullptr)
                private_ = monitor_new__IO("Monitor", 0, nullptr, nullptr, 0, 5.0f, 0.1f);
            monitor_.store(pMonitor() ? pMonitor() : private_);
        }
        int rv = start(priority);
        if (rv < 0 && private_ != nullptr && tid(0) == 0) {
            monitor_delete__OI(private_);
            private_ = nullptr;
            monitor_.store(nullptr);
        }
        if (rv != 1) return rv;
        rv = startServices();
        if (rv != 1) stop();
        return rv;
    }

protected:
    std::string parameterText() const override {
        char text[512];
        int rd = wakeReadFd(0);
        snprintf(text, sizeof text,
                 "threadName:\"%s\"\n  pMonitor=%#lx\n  parentTid=%ld\n  externRunStatus=%#lx\n"
                 "  decodeThreadCount=%hu\n  parentTid=%#lx\n  pipe=%d/%d\n",
                 p_->threadName, (unsigned long)(uintptr_t)p_->pMonitor, (long)p_->parentTid,
                 (unsigned long)(uintptr_t)p_->externRunStatus, p_->decodeThreadCount,
                 (unsigned long)(uintptr_t)p_->itemList, rd, rd);
        return text;
    }

    monitorItem *registerWorker(Worker &) override {
        monitor *m = monitor_.load();
        if (m == nullptr) return nullptr;
        monitorItem *item = monitorItem_new__IO(name().c_str(), p_);
        if (item == nullptr) return nullptr;
        // A private monitor holds no parent entry to wait for: the thread is its root.
        pthread_t parent = m == private_ ? 0 : parentTid();
        if (kx::monitorItemAddWhile(m, item, parent, [this] { return keepRunning(); }) != 1) {
            monitorItem_delete__IO(item);
            return nullptr;
        }
        return item;
    }

    void unregisterWorker(Worker &w) override {
        monitor *m = monitor_.load();
        if (m != nullptr && w.item() != nullptr) {
            monitorItem *item = w.item();
            kx::monitorItemRemoveWhile(m, item, [this] { return runStatus() != 0; });
            monitorItem_delete__IO(item);
        }
        if (private_ != nullptr) monitor_delete__OI(private_);
        private_ = nullptr;
        monitor_.store(nullptr);
    }

    int onCommand(int command, void *arg, Worker *) override {
        auto *it = static_cast<playerLib_item *>(arg);
        kx_ObjectList *list = p_->itemList;
        bool listed = kx_ObjectList_check_exist_order(list, it) >= 0;
        if (command == kx::kCommandAdd) {
            if (listed) {
                KX_LOG_ERROR_AT(5, __LINE__, "playerLib_add_item__OI_2",
                                "Add item has exist,url:\"%s\",cb=%#lx,externP=%#lx.", it->url,
                                (unsigned long)(uintptr_t)it->cb, (unsigned long)(uintptr_t)it->externP);
                store(it->player, p_);
                return 0;
            }
            // Sub-items join the services only while these exist (else the start adds them). An
            // item the services refuse is not listed: the add fails.
            if (servicesUp_.load()) {
                int rv = attach(it);
                if (rv != 1) return rv;
            }
            if (kx_ObjectList_insert_order(list, it) < 0) {
                KX_LOG_ERROR_AT(5, __LINE__, "playerLib_add_item__OI_2", "Insert item failed,url:\"%s\".", it->url);
                if (servicesUp_.load()) detach(it);
                return -4;
            }
            store(it->player, p_);
            return 1;
        }
        if (command == kx::kCommandRemove) {
            if (!listed) {
                KX_LOG_ERROR_AT(5, __LINE__, "playerLib_remove_item__IO_2",
                                "Remove item not exist,url:\"%s\",cb=%#lx,externP=%#lx.", it->url,
                                (unsigned long)(uintptr_t)it->cb, (unsigned long)(uintptr_t)it->externP);
            }
            kx_ObjectList_remove_order(list, it);
            if (listed && servicesUp_.load()) detach(it);
            if (listed) dropPending(it);
            store(it->player, static_cast<playerLib *>(nullptr));
            return listed ? 1 : 0;
        }
        return -1;
    }

    double onTick(Worker &, double now) override {
        if (!servicesUp_.load()) return kIdleWait;  // the start is still bringing them up
        bool delivered = false;
        kx_ObjectList *list = p_->itemList;
        for (uint32_t i = 0; i < list->count; ++i) {
            auto *it = static_cast<playerLib_item *>(list->array[list->start + i]);
            if (deliver(it)) delivered = true;
            drainAtEnd(it, now);
        }
        return delivered ? 0.0 : kIdleWait;
    }

    // Runs on every way out of the worker (also when it gave up waiting for its parent's
    // monitor entry), under the service mutex.
    void onThreadExit(Worker &) override {
        left_.store(true);
        if (servicesUp_.load()) takeDown(p_->itemList ? p_->itemList->count : 0);
    }

private:
    // 1, or negative when a service refused a sub-item (nothing of the item stays with them).
    int attach(playerLib_item *it) {
        int rv = rtspClient_add_item__OI_2(rtsp_, it->rtspClientItem);
        if (rv != 1) {
            KX_LOG_ERROR_AT(5, __LINE__, "playerLib_add_item__OI_2", "Add rtspClient item failed,url:\"%s\",rv=%d.",
                            it->url, rv);
            return -2;
        }
        rv = frameConvert_add_item__OI_2(convert_, it->frameConvertItem);
        if (rv != 1) {
            KX_LOG_ERROR_AT(5, __LINE__, "playerLib_add_item__OI_2", "Add frameConvert item failed,url:\"%s\",rv=%d.",
                            it->url, rv);
            rtspClient_remove_item__IO_2(rtsp_, it->rtspClientItem);
            return -3;
        }
        return 1;
    }
    void detach(playerLib_item *it) {
        rtspClient_remove_item__IO_2(rtsp_, it->rtspClientItem);
        frameConvert_remove_item__IO_2(convert_, it->frameConvertItem);
    }

    // Brings the services up for the started worker (held mutex: commands wait, the list is
    // stable). A worker that already left (its run status changed meanwhile) gets none.
    int startServices() {
        std::lock_guard<std::mutex> lock(mutex());
        if (left_.load()) return 1;
        monitor *m = monitor_.load();
        pthread_t self = tid(0);
        // The services follow a run byte of this player, never cleared: the worker stops them
        // in order on its way out, after the external byte ended its own loop.
        childRun_ = 1;
        rtsp_ = rtspClient_new__IO("RtspClient", m, self, &childRun_);
        convert_ = frameConvert_new__IO("FrameConvert", m, self, &childRun_, p_->decodeThreadCount);
        if (rtsp_ == nullptr || convert_ == nullptr) {
            KX_LOG_ERROR_AT(5, __LINE__, "playerLib_startThread", "Create the services failed.");
            takeDown(0);
            return -2;
        }
        if (p_->rtspTimers[0] > 0 && p_->rtspTimers[1] > 0 && p_->rtspTimers[2] > 0)
            rtspClient_set_timers(rtsp_, p_->rtspTimers[0], p_->rtspTimers[1], p_->rtspTimers[2]);
        kx_ObjectList *list = p_->itemList;
        for (uint32_t i = 0; i < list->count; ++i) {
            if (attach(static_cast<playerLib_item *>(list->array[list->start + i])) != 1) {
                takeDown(i);
                return -3;
            }
        }
        int rv = rtspClient_startThread(rtsp_, 99);
        if (rv == 1) rv = frameConvert_startThread(convert_, 0);
        if (rv != 1) {
            KX_LOG_ERROR_AT(5, __LINE__, "playerLib_startThread", "Start the services failed,rv=%d.", rv);
            takeDown(list->count);
            return -4;
        }
        servicesUp_.store(true);
        return 1;
    }

    // Stops the services, hands the sub-items of the first `attached` listed items back (the
    // services delete what they still hold, and those belong to the player items) and deletes
    // them.
    void takeDown(uint32_t attached) {
        if (rtsp_) rtspClient_stopThread(rtsp_);
        if (convert_) frameConvert_stopThread(convert_);
        kx_ObjectList *list = p_->itemList;
        for (uint32_t i = 0; list && i < attached && i < list->count; ++i)
            detach(static_cast<playerLib_item *>(list->array[list->start + i]));
        if (rtsp_) rtspClient_delete__OI(rtsp_);
        if (convert_) frameConvert_delete__IO(convert_);
        rtsp_ = nullptr;
        convert_ = nullptr;
        servicesUp_.store(false);
    }

    // Offers the item's decoded frames to its callback; true when one was accepted.
    bool deliver(playerLib_item *it) {
        bool delivered = false;
        image_frame *f = load(it->pendingFrame);
        for (;;) {
            if (f == nullptr) {
                f = frameConvert_item_frame_out_pthreadSafety_IO(it->frameConvertItem);
                store(it->pendingFrame, f);
                if (f == nullptr) break;
            }
            if (!due(it, f)) {
                count(it->stats.droppedFrames);
                store(it->pendingFrame, static_cast<image_frame *>(nullptr));
                releaseFrame(f);
                f = nullptr;
                continue;
            }
            signed char rc = it->cb(f, it->externP);
            if (rc == 2) break;
            if (rc == 1) {
                store(it->lastOutTime, f->streamTime);
                count(it->stats.deliveredFrames);
                delivered = true;
            } else {
                if (rc != 3)
                    KX_LOG_ERROR_AT(5, __LINE__, "playerLib_private_thread", "cd failed,url:\"%s\".", it->url);
                count(it->stats.droppedFrames);
            }
            store(it->pendingFrame, static_cast<image_frame *>(nullptr));
            releaseFrame(f);
            f = nullptr;
        }
        return delivered;
    }

    // Jump and mode filter: true when the frame is to be offered, false when it is skipped.
    bool due(playerLib_item *it, const image_frame *f) {
        double ft = f->streamTime;
        double jt = load(it->jumpTarget);
        if (jt < -1e-6) {
            if (ft + jt > 0) return false;
            store(it->jumpTarget, 0.0);
            return true;
        }
        if (jt > 1e-7) {
            if (ft < jt) return false;
            store(it->jumpTarget, 0.0);
            return true;
        }
        unsigned char bits = load(it->modeBits);
        unsigned char req = requestedMode(bits), cur = currentMode(bits);
        if (req == cur) return true;
        frameConvert_item_set_reverse(it->frameConvertItem, req == 1);
        if ((req & 1) != (cur & 1)) {
            double last = load(it->lastOutTime);
            bool turned = (req & 1) ? ft < last : ft > last;
            if (!turned) return false;
        }
        setModeBits(it, -1, req);
        return true;
    }

    // End of a stream: nothing arrived for a while but undecoded frames wait (a decoder holds
    // B-frame pictures back until later units come): drain the decoders once.
    void drainAtEnd(playerLib_item *it, double now) {
        double arrival = load(it->lastArrival);
        if (arrival <= 0 || now - arrival < kEndOfStream || it->flushedArrival == arrival) return;
        if (frameConvert_item_bufferCount(it->frameConvertItem) == 0) return;
        it->flushedArrival = arrival;
        frameConvert_item_flush(it->frameConvertItem);
    }

    playerLib *p_;
    std::atomic<monitor *> monitor_{nullptr};  // settled by the start before the worker runs
    monitor *private_ = nullptr;
    rtspClient *rtsp_ = nullptr;
    frameConvert *convert_ = nullptr;
    std::atomic<bool> servicesUp_{false};
    std::atomic<bool> left_{false};  // the worker has run its exit hook (checked, never waited on)
    unsigned char childRun_ = 1;
};

// Waits, polling every millisecond, until no jump is pending and the mode is settled, the
// limit (seconds, < 0: none) has passed, or the item is no longer served by a running player.
// True when settled.
bool waitSettled(playerLib_item *it, double limit, bool modeOnly = false) {
    double t0 = kx_time_uptime_get();
    for (;;) {
        bool settled = !modePending(it) && (modeOnly || !jumpPending(it));
        if (settled) return true;
        playerLib *p = load(it->player);
        if (p == nullptr || !impl(p)->serving()) return false;
        if (limit >= 0 && kx_time_uptime_get() - t0 >= limit) return false;
        kx_thread_usleep(kPollMicros);
    }
}

}  // namespace

// ---- start-up ----

void playerLib_globalInit(unsigned int memoryParameter, const char *stdinPath, const char *stdoutPath,
                          const char *stderrPath, unsigned char flags) {
    globalInit(memoryParameter, stdinPath, stdoutPath, stderrPath, flags);
}

void playerLib_globalRelease(void) { globalRelease(); }

double playerLib_kx_time_uptime_get(void) { return kx_time_uptime_get(); }

// ---- player ----

playerLib *playerLib_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                             unsigned char *externRunStatus, uint16_t decodeThreadCount) {
    if (threadName == nullptr) threadName = "PlayerLib";
    size_t n = strlen(threadName);
    auto *p = static_cast<playerLib *>(calloc(1, sizeof(playerLib) + n + 1));
    if (p == nullptr) return nullptr;
    p->threadName = reinterpret_cast<char *>(p + 1);
    memcpy(p->threadName, threadName, n + 1);
    p->pMonitor = pMonitor;
    p->parentTid = parentTid;
    p->externRunStatus = externRunStatus ? externRunStatus : &defaultRunStatus;
    p->decodeThreadCount = decodeThreadCount ? decodeThreadCount : 1;
    p->itemList = kx_ObjectList_new__IO(4);
    KX_LOGE("strerror(errno):%s", kx::errtext(errno));
    p->impl = new (std::nothrow) Player(p);
    if (p->impl == nullptr) {
        kx_ObjectList_delete__OI(p->itemList);
        free(p);
        return nullptr;
    }
    return p;
}

void playerLib_delete__OI(playerLib *p) {
    if (p == nullptr) return;
    // The thread goes first (it hands the sub-items back to the items), then the items.
    impl(p)->stop();
    delete impl(p);
    p->impl = nullptr;
    kx_ObjectList *list = p->itemList;
    p->itemList = nullptr;
    if (list) kx_ObjectList_delete_custom__OI(list, [](void *e) { playerLib_item_delete__OI(static_cast<playerLib_item *>(e)); });
    free(p);
}

void playerLib_set_rtsp_timers(playerLib *p, double tickSeconds, double silenceSeconds, double keepAliveSeconds) {
    if (p == nullptr) return;
    p->rtspTimers[0] = tickSeconds;
    p->rtspTimers[1] = silenceSeconds;
    p->rtspTimers[2] = keepAliveSeconds;
}

int playerLib_startThread(playerLib *p, unsigned char priority) {
    if (p == nullptr) return -1;
    return impl(p)->begin(static_cast<signed char>(priority));
}

int playerLib_stopThread(playerLib *p) {
    if (p == nullptr) return 0;
    return impl(p)->stop();
}

// ---- items ----

playerLib_item *playerLib_item_new__IO(const char *url, float frameRate, uint16_t bufferCountMin,
                                       uint16_t bufferCountMax, playerLib_cb cb, void *externP,
                                       uint16_t threadCount) {
    if (url == nullptr || cb == nullptr) {
        KX_LOGE("Invalid parameter,url=%#lx,cb=%#lx.", (unsigned long)(uintptr_t)url, (unsigned long)(uintptr_t)cb);
        return nullptr;
    }
    size_t n = strlen(url);
    auto *it = static_cast<playerLib_item *>(calloc(1, sizeof(playerLib_item) + n + 1));
    if (it == nullptr) return nullptr;
    it->url = reinterpret_cast<char *>(it + 1);
    memcpy(it->url, url, n + 1);
    it->frameRate = frameRate;
    it->bufferCountMin = bufferCountMin;
    it->bufferCountMax = bufferCountMax;
    it->cb = cb;
    it->externP = externP;
    it->rtspClientItem = rtspClient_item_new_byURL__IO(url, playerLib_private_cb, it);
    if (it->rtspClientItem == nullptr) {
        // The client logged why it rejected the URL.
        free(it);
        return nullptr;
    }
    it->frameConvertItem = frameConvert_item_new__OI(IMAGE_FRAME_YUV_0, threadCount);
    if (it->frameConvertItem == nullptr) {
        rtspClient_item_delete__OI(it->rtspClientItem);
        free(it);
        return nullptr;
    }
    return it;
}

static int command(playerLib *p, playerLib_item *it, int code) {
    if (p == nullptr || it == nullptr || p->impl == nullptr || p->itemList == nullptr) return -1;
    return impl(p)->handOver(code, it);
}

int playerLib_add_item__OI_2(playerLib *p, playerLib_item *it) { return command(p, it, kx::kCommandAdd); }

int playerLib_remove_item__IO_2(playerLib *p, playerLib_item *it) { return command(p, it, kx::kCommandRemove); }

void playerLib_item_delete__OI(playerLib_item *it) {
    if (it == nullptr) return;
    playerLib *p = load(it->player);
    if (p != nullptr && p->itemList != nullptr) playerLib_remove_item__IO_2(p, it);
    dropPending(it);
    rtspClient_item_delete__OI(it->rtspClientItem);
    frameConvert_item_delete__IO(it->frameConvertItem);
    free(it);
}

uint32_t playerLib_item_bufferCount(playerLib_item *it) {
    return it ? frameConvert_item_bufferCount(it->frameConvertItem) : 0;
}

void playerLib_item_statistics(const playerLib_item *it, playerLib_statistics *out) {
    if (it == nullptr || out == nullptr) return;
    out->receivedFrames = load(it->stats.receivedFrames);
    out->receivedBytes = load(it->stats.receivedBytes);
    out->refusals = load(it->stats.refusals);
    out->queuedFrames = load(it->stats.queuedFrames);
    out->droppedFrames = load(it->stats.droppedFrames);
    out->deliveredFrames = load(it->stats.deliveredFrames);
}

// ---- frames from the RTSP client ----

#define CB_VALUES                                                                                             \
    dataLength, frameIndex, k, frameRate, load(it->frameRate), width, load(it->imageWidth), height,          \
        load(it->imageHeight), it->classIndex, it->keyFrameInterval, it->keyFrameCount
#define CB_FORMAT                                                                                    \
    "dataLenth=%u,frameIndex=%u,isKeyFrame=%hhd,frameRate=%f/%f,imageWidth=%u/%u,imageHeight=%u/%u," \
    "classIndex=%hu,keyFrameInterval=%hu/%hu."

signed char playerLib_private_cb(uint32_t *, unsigned char **buffer, uint32_t dataLength, double time,
                                 uint32_t frameIndex, signed char keyFrame, float frameRate, uint32_t width,
                                 uint32_t height, void *user) {
    auto *it = static_cast<playerLib_item *>(user);
    const unsigned char *data = *buffer;
    store(it->lastInTime, time >= 0 ? time : kx_time_GMT_get());

    // Turn to backward play pending: the forward frames still on their way come first, each
    // later than the last picture shown, and are dropped. The first frame earlier than that
    // picture is the backward stream's: what the queue holds then is of the old direction and
    // is flushed once, and from there on every frame is kept, later ones too. The server sends
    // a group newest first, so a reference that a backward picture needs (a B-frame's later
    // one) arrives after that picture. In reverse modes a jump flushes the old position here.
    unsigned char bits = load(it->modeBits);
    unsigned char req = requestedMode(bits), cur = currentMode(bits);
    if ((req & 1) != (cur & 1) && time > 1e-5) {
        if ((req & 1) && !(bits & kStreamTurned)) {
            if (time >= load(it->lastOutTime)) {
                count(it->stats.droppedFrames);
                return 1;
            }
            if (markStreamTurned(it, bits)) {
                count(it->stats.droppedFrames, playerLib_item_bufferCount(it));
                frameConvert_item_clean(it->frameConvertItem);
            }
        }
    } else if (req & 1) {
        double jt = load(it->jumpTarget);
        if ((jt < -1e-6 && time + jt > 0) || (jt > 1e-6 && jt > time)) {
            count(it->stats.droppedFrames, playerLib_item_bufferCount(it) + 1);
            frameConvert_item_clean(it->frameConvertItem);
            return 1;
        }
        if (jt > 1e-6) store(it->jumpTarget, 0.0);
    }

    // Back-pressure: refuse while the decoder queue is deep; the client holds the frame.
    uint32_t n = playerLib_item_bufferCount(it);
    bool pending = load(it->pendingFrame) != nullptr;
    uint16_t kfi = load(it->keyFrameInterval);
    if (n > it->bufferCountMax || (n > it->bufferCountMin && pending && n > kfi)) {
        count(it->stats.refusals);
        return 2;
    }
    if (!pending && kfi < it->bufferCountMax) store(it->keyFrameInterval, static_cast<uint16_t>(kfi + 1));
    count(it->stats.receivedFrames);
    count(it->stats.receivedBytes, dataLength);
    double now = kx_time_uptime_get();
    store(it->lastArrival, now);

    signed char k = keyFrame;
    if (k < 0) {
        k = video_h264_check_keyFrame(dataLength, data);
        if (k < 0) KX_LOGE("Check keyframe failed," CB_FORMAT, CB_VALUES);
    }

    // Streams without a rate: measure it over every 33 frames.
    if (frameRate < 0.001f) {
        it->frameRateCount++;
        if (it->frameRateCount > 32) {
            if (it->frameRateTime > 0.001)
                store(it->frameRate, static_cast<float>(it->frameRateCount / (now - it->frameRateTime)));
            it->frameRateTime = now;
            it->frameRateCount = 0;
        }
        frameRate = load(it->frameRate);
    }

    // A malformed unit (negative code) does not count as carrying parameter sets.
    if (k >= 0 && (k & 2)) {
        uint16_t interval = load(it->keyFrameInterval);
        if (it->keyFrameIntervalPeak < interval) {
            uint32_t grown = std::min<uint32_t>(uint32_t(interval) + it->keyFrameCount, it->bufferCountMax);
            interval = static_cast<uint16_t>(std::max<uint32_t>(grown, 1));
            it->keyFrameIntervalPeak = interval;
        } else if (interval > 1) {
            if (interval > 2u * it->keyFrameCount) {
                interval = static_cast<uint16_t>(interval - it->keyFrameCount);
            } else {
                interval = static_cast<uint16_t>(interval - 1);
            }
        }
        store(it->keyFrameInterval, interval);
        it->keyFrameCount = 0;
        // The picture size decides every picture allocation of the item, so the sender's word
        // (the frame description) is not taken on trust: the sequence parameter set decides,
        // and the description only stands in, within bounds, when the unit has no parsable one.
        uint32_t w = 0, h = 0;
        if (kx::unit_picture_size(data, dataLength, &w, &h)) {
            if ((width != 0 || height != 0) && (width != w || height != h) &&
                (w != load(it->imageWidth) || h != load(it->imageHeight)))
                KX_LOGE("Frame size %ux%u differs from the sequence parameter set, %ux%u taken.", width, height, w, h);
        } else if (kx::picture_side_ok(width) && kx::picture_side_ok(height)) {
            w = width;
            h = height;
        } else {
            KX_LOGE("Get size failed," CB_FORMAT, CB_VALUES);
        }
        if (w != 0 && (w != load(it->imageWidth) || h != load(it->imageHeight))) {
            store(it->imageWidth, w);
            store(it->imageHeight, h);
            it->classIndex++;
        }
    } else if (it->keyFrameCount < UINT16_MAX) {
        it->keyFrameCount++;
    }

    uint32_t W = load(it->imageWidth), H = load(it->imageHeight);
    if (load(it->frameRate) <= 0.001f || W == 0 || H == 0) {
        count(it->stats.droppedFrames);
        return 1;
    }
    double streamTime = time >= 0 ? time : kx_time_GMT_get();
    video_h264_object *obj = video_h264_object_new_with_data__IO(it->classIndex, frameIndex, frameRate, W, H,
                                                                 static_cast<signed char>(k), now, streamTime,
                                                                 dataLength, data);
    if (obj == nullptr) {
        count(it->stats.droppedFrames);
        return 1;
    }
    image_frame *frame = image_frame_new__IO(W, H, W / 2, H / 2, W / 4, H / 4, nullptr, frameIndex, frameRate,
                                             obj->arrivalTime, obj->streamTime);
    if (frame == nullptr) {
        kx_Object_delete_pthreadSafety__OI(&obj->object);
        count(it->stats.droppedFrames);
        return 1;
    }
    if (image_frame_set__OI_2(frame, &obj->object, 0) != 1) {
        releaseFrame(frame);
        count(it->stats.droppedFrames);
        return 1;
    }
    frame->classIndex = it->classIndex;
    if (frameConvert_item_frame_in_pthreadSafety_OI(it->frameConvertItem, frame) == 1) count(it->stats.queuedFrames);
    return 1;
}

// ---- jump and mode ----

int playerLib_item_jump(playerLib_item *it, double seconds) {
    if (it == nullptr) return -1;
    waitSettled(it, -1.0);
    uint64_t parameter;
    memcpy(&parameter, &seconds, sizeof parameter);
    if (rtspClient_item_send_cmd(it->rtspClientItem, RTSPCLIENT_CMD_JUMP, parameter) != 1) {
        KX_LOGE("Error,jumpTime=%lf.", seconds);
        return -1;
    }
    // Frames within 2 seconds before the target (forward) or after it (backward) count as arrived.
    store(it->jumpTarget, seconds > load(it->lastInTime) ? seconds - 2.0 : -(seconds + 2.0));
    double t0 = kx_time_uptime_get();
    count(it->stats.droppedFrames, playerLib_item_bufferCount(it));
    frameConvert_item_clean(it->frameConvertItem);
    waitSettled(it, kSettleLimit);
    if (jumpPending(it)) {
        KX_LOGE("Error,jumpTime=%lf/%lf,%lf/%lf---------------------------------.", seconds, load(it->jumpTarget),
                load(it->lastInTime), load(it->lastOutTime));
        store(it->jumpTarget, 0.0);
        return -2;
    }
    KX_LOGI("jumpTime=%lf,usetime=%lf---------------------------------.", seconds, kx_time_uptime_get() - t0);
    return 1;
}

int playerLib_item_mode(playerLib_item *it, unsigned char mode) {
    if (it == nullptr) return -1;
    if (mode > 3) {
        KX_LOGE("Error,mode=%hhu.", mode);
        return -3;
    }
    waitSettled(it, -1.0);
    if (rtspClient_item_send_cmd(it->rtspClientItem, RTSPCLIENT_CMD_STREAM_TYPE, mode) != 1) {
        KX_LOGE("Error,mode=%hhu.", mode);
        return -1;
    }
    unsigned char cur = currentMode(load(it->modeBits));
    const bool turns = (mode & 1) != (cur & 1);
    // The first frames of the new direction are decoded in its order: a backward group that
    // began in the old order would lose every picture but its key frame.
    if (turns) frameConvert_item_set_reverse(it->frameConvertItem, mode == 1);
    setModeBits(it, mode, -1);
    double t0 = kx_time_uptime_get();
    if (turns) {
        count(it->stats.droppedFrames, playerLib_item_bufferCount(it));
        frameConvert_item_clean(it->frameConvertItem);
    }
    // A jump still pending at the limit is not this call's failure.
    if (!waitSettled(it, kSettleLimit, true) && modePending(it)) {
        KX_LOGE("Error,mode=%hhu,%lf/%lf---------------------------------.", mode, load(it->lastInTime),
                load(it->lastOutTime));
        setModeBits(it, -1, mode);
        frameConvert_item_set_reverse(it->frameConvertItem, mode == 1);
        return -2;
    }
    KX_LOGI("mode=%hhu,usetime=%lf---------------------------------.", mode, kx_time_uptime_get() - t0);
    return 1;
}

// ---- image frame accessors ----

void playerLib_image_frame_get_parameter0(const image_frame *frame, uint32_t *width, uint32_t *height, double *time,
                                          float *frameRate) {
    if (frame == nullptr) return;
    if (width) *width = frame->width[0];
    if (height) *height = frame->height[0];
    if (time) *time = frame->streamTime;
    if (frameRate) *frameRate = frame->frameRate;
}

int playerLib_image_frame_get_rgb(image_frame *frame, unsigned char *buffer) {
    if (frame == nullptr || buffer == nullptr || image_frame_prapare(frame, IMAGE_FRAME_RGB_0) != 1 ||
        frame->rgbData[0] == nullptr) {
        KX_LOGE("Prapare ImageFrame_RGB_0 failed.");
        return -1;
    }
    memcpy(buffer, frame->rgbData[0]->data, size_t(frame->pixelCount[0]) * 3);
    return 1;
}

int playerLib_image_frame_get_yuv420p(const image_frame *frame, unsigned char *buffer) {
    if (frame == nullptr || buffer == nullptr || !(frame->dataValidType & IMAGE_FRAME_YUV_0) ||
        frame->yuvData[0] == nullptr)
        return -1;
    size_t w = frame->width[0], h = frame->height[0];
    size_t bytes = w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
    memcpy(buffer, frame->yuvData[0]->data, bytes);
    return 1;
}
