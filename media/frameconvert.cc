// frameConvert: decode and encode workers over conversion items.
//
// Layout of the work. Every item has n slots; slot j is served by service thread
// (startIndex + j) mod T and owns one decoder, one encoder and their input queues. Frame-in
// appends a frame to the item's output queue (frameList) and, when it needs decoding, to the
// decode queue of the slot that receives the current group of pictures; a key frame with
// parameter sets moves that to the next slot, so whole groups decode in parallel on different
// threads. Frame-out hands frames back in the order of the output queue.
//
// Reordering streams (B-frames). Decoders run in tagged mode and hand out pictures in display
// order, some units after the unit that carried them. The frames of a slot's group keep the
// places in the output queue they arrived in, and the k-th picture out of the decoder goes to
// the k-th place fed: the frame of its unit moves there (swapping places with the frame that
// held it), so frames leave in display order, each with its own unit, index and stream time.
// In reverse mode a group is fed from its newest place back, so it leaves in reverse display
// order. Frames fed to a decoder that has not yet given their picture are "held". When a
// group ends (a new group starts in the slot, the group moved to another slot and the queue is
// empty, the stream was flushed, or a reverse-order run is complete) the decoder is drained;
// held frames that still lack a picture then are failures and leave the output queue.
//
// Pictures come from a pool per item (reused once every holder let them go) and the decoder
// writes straight into the picture the frame will carry. The picture size is the one the
// unit's own SPS gives, or the one the decoder reports; a frame's declared size is only a
// first guess, and the frame's sizes follow the picture it gets.
//
// Locks. frameList has its own mutex; it also covers every change of a queued frame's
// representations, so frame-out reads a consistent mask. Each slot's queues have a mutex. An
// item's "in" mutex makes frame-in and clean exclusive, so a frame is in frameList whenever it
// is in a slot queue or held. Item membership and slot counts change only while every worker
// is parked (the shared service component's paused hand-over) or none runs; a slot's codec
// state is touched only by the thread serving the slot or by a caller while workers are parked.
#include "kx/frameconvert.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/log.hpp"
#include "media/picture_size.hpp"
#include "core/service.hpp"
#include "core/shared_field.hpp"
#include "kx/codec.h"
#include "kx/global.h"
#include "kx/h264.h"
#include "kx/memory.h"
#include "kx/objectlist.h"
#include "kx/time.h"

#define FC_LOGE(label, fmt, ...) KX_LOG_ERROR_AT(5, __LINE__, label, fmt __VA_OPT__(, ) __VA_ARGS__)
#define TH_LOGE(fmt, ...) FC_LOGE("frameConvert_private_thread", fmt __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr int kCommandClean = 3;
constexpr uint32_t kEncodeBitRate = 2000;  // kbit/s
constexpr double kMinRate = 5.0;           // frames per second assumed at least

using kx::load;
using kx::store;

void release(image_frame *frame) { kx_Object_delete_pthreadSafety__OI(&frame->object); }

// Full-size H.264 unit of a frame and its key-frame code (computed when unknown).
const video_h264_object *unit_of(const image_frame *f) { return f->h264Data[0][0]; }
signed char key_of(const image_frame *f) {
    const video_h264_object *u = unit_of(f);
    if (u == nullptr) return -1;
    if (u->keyFrame >= 0) return u->keyFrame;
    return video_h264_check_keyFrame(u->dataLenth, u->data);
}

uint32_t list_count(kx_ObjectList *list) {
    pthread_mutex_lock(&list->mutex);
    uint32_t n = list->count;
    pthread_mutex_unlock(&list->mutex);
    return n;
}

struct Slot {
    std::mutex m;  // decodeQueue, encodeQueue, drainWanted
    std::deque<image_frame *> decodeQueue;
    std::deque<image_frame *> encodeQueue;
    bool drainWanted = false;  // the stream was flushed: drain once the queue is empty

    // Codec state: the serving thread only (or a caller while the workers are parked).
    void *decoder = nullptr;
    uint32_t pictureWidth = 0, pictureHeight = 0;  // size the decoder produces now; 0 before the first unit
    std::map<int64_t, image_frame *> held;  // tag -> frame fed to the decoder, picture pending
    // Output places of the held frames in the order they were fed: the next picture the
    // decoder hands out (display order) goes to the first place.
    std::deque<image_frame *> places;
    int64_t nextTag = 0;
    image_frame_raw *spare = nullptr;  // picture buffer for the next decoder call
    uint32_t spareWidth = 0, spareHeight = 0;
    void *encoder = nullptr;
    uint32_t encoderWidth = 0, encoderHeight = 0;

    size_t decodeQueued() {
        std::lock_guard<std::mutex> lock(m);
        return decodeQueue.size();
    }
    size_t encodeQueued() {
        std::lock_guard<std::mutex> lock(m);
        return encodeQueue.size();
    }
};

// Decoded pictures of one item, reused instead of allocated per frame. The pool keeps one
// reference to each picture it made; a picture whose count is back at 1 has been let go by
// every frame that carried it and is free again. Each request lets go of the free pictures of
// another size and of free ones beyond a few, so the pool follows the number of pictures in
// flight (up to a limit; beyond it pictures are plain ones, freed by their last holder).
class PicturePool {
public:
    PicturePool() = default;
    PicturePool(const PicturePool &) = delete;
    PicturePool &operator=(const PicturePool &) = delete;
    ~PicturePool() {
        for (const Entry &e : entries_) put(e.picture);
    }

    // A picture of w x h with one reference for the caller; null when memory runs out.
    image_frame_raw *take(uint32_t w, uint32_t h) {
        std::lock_guard<std::mutex> lock(m_);
        image_frame_raw *found = nullptr;
        size_t idle = 0;
        for (size_t i = 0; i < entries_.size();) {
            Entry &e = entries_[i];
            if (!is_free(e.picture)) {
                ++i;
            } else if (e.width != w || e.height != h || (found != nullptr && ++idle > kIdleKept)) {
                put(e.picture);
                entries_[i] = entries_.back();
                entries_.pop_back();
            } else {
                if (found == nullptr) found = e.picture;
                ++i;
            }
        }
        if (found == nullptr) {
            found = image_frame_raw_new__IO(w, h, IMAGE_FRAME_RAW_YUV420P);
            if (found == nullptr) return nullptr;
            if (entries_.size() >= kLimit) return found;  // not kept: freed by its last holder
            entries_.push_back({found, w, h});
        }
        kx_Object_addRefer_pthreadSafety_(&found->object);
        return found;
    }

private:
    static constexpr size_t kLimit = 64;    // pictures kept at most
    static constexpr size_t kIdleKept = 4;  // free pictures kept beyond the one handed out
    struct Entry {
        image_frame_raw *picture;
        uint32_t width, height;
    };
    static bool is_free(image_frame_raw *p) {
        return std::atomic_ref<uint32_t>(p->object.referCount).load(std::memory_order_acquire) == 1;
    }
    static void put(image_frame_raw *p) { kx_Object_delete_pthreadSafety__OI(&p->object); }

    std::mutex m_;
    std::vector<Entry> entries_;
};

struct ItemImpl {
    std::mutex in;  // frame-in against clean
    std::vector<std::unique_ptr<Slot>> slots;
    PicturePool pictures;
};

ItemImpl &impl(frameConvert_item *item) { return *static_cast<ItemImpl *>(item->impl); }

class Service;
Service &impl(frameConvert *s) { return *static_cast<Service *>(s->impl); }


class Service : public kx::ServiceThread {
public:
    Service(frameConvert *rec, uint16_t workers) : ServiceThread(options(rec, workers)), rec_(rec), pace_(workers) {}
    ~Service() override { stop(); }

    // Runs a command while every worker is parked (or none runs).
    int command(int code, frameConvert_item *item) {
        pauseWanted_.fetch_add(1);
        int rv = handOver(code, item);
        pauseWanted_.fetch_sub(1);
        return rv;
    }
    void wakeThreadOf(const frameConvert_item *item, uint16_t slot) {
        const uint16_t t = rec_->threadCount;
        wake('f', static_cast<int>((load(item->startIndex) + slot) % t));
    }
    bool pauseWanted() const { return pauseWanted_.load(std::memory_order_relaxed) != 0; }

protected:
    int onCommand(int command, void *p, Worker *) override;
    double onTick(Worker &w, double now) override;
    std::string parameterText() const override {
        char text[512];
        snprintf(text, sizeof text,
                 "threadName:\"%s\"\n  pMonitor=%#llx\n  parentTid=%ld\n  externRunStatus=%#llx\n  stid=%#llx\n"
                 "  threadCount=%hu\n  threadItemCount=%#llx\n  inRun=%#llx\n  itemList=%#llx\n",
                 rec_->threadName, (unsigned long long)(uintptr_t)rec_->pMonitor, (long)rec_->parentTid,
                 (unsigned long long)(uintptr_t)rec_->externRunStatus, (unsigned long long)(uintptr_t)this,
                 rec_->threadCount, (unsigned long long)(uintptr_t)rec_->threadItemCount,
                 (unsigned long long)(uintptr_t)&pace_, (unsigned long long)(uintptr_t)rec_->itemList);
        return text;
    }

private:
    static Options options(frameConvert *rec, uint16_t workers) {
        Options o;
        o.name = rec->threadName;
        o.pMonitor = rec->pMonitor;
        o.parentTid = rec->parentTid;
        o.externRunStatus = rec->externRunStatus;
        o.stackSize = kx::kCodecStackSize;
        o.workers = workers;
        o.handOver = kx::HandOver::whilePaused;
        o.idleWait = 1.0 / kMinRate;
        o.labels = {"frameConvert_new__IO", "frameConvert_startThread", "frameConvert_stopThread",
                    "frameConvert_private_thread", "frameConvert_add_item__OI_2"};
        return o;
    }
    int add(frameConvert_item *item);
    int remove(frameConvert_item *item);

    struct Pace {
        double rate = kMinRate;  // frame-rate estimate of the frames this worker handles
    };
    // Returns true when the slot has work left (the pass stopped early).
    bool serveDecode(frameConvert_item *item, uint16_t s, Worker &w);
    bool serveEncode(frameConvert_item *item, uint16_t s, Worker &w);
    bool keepGoing(Worker &w) const { return w.keepRunning() && !pauseWanted(); }
    void noteRate(Worker &w, const image_frame *f) {
        Pace &p = pace_[w.index()];
        uint32_t items = rec_->itemList->count ? rec_->itemList->count : 1;
        p.rate += (f->frameRate - p.rate) / items;
        if (!(p.rate >= kMinRate)) p.rate = kMinRate;
    }

    frameConvert *rec_;
    std::vector<Pace> pace_;
    std::atomic<int> pauseWanted_{0};
};

// ---- per-slot decoding (serving thread, or a caller while the workers are parked) ----

struct Ctx {
    frameConvert_item *item;
    uint16_t slot;
    uint16_t thread;
};

// Removes a failed frame from the output queue and releases it.
void drop_failed(const Ctx &c, Slot &sl, image_frame *f, const char *what) {
    const video_h264_object *u = unit_of(f);
    unsigned long left = sl.decodeQueued(), queued = list_count(c.item->frameList);
    TH_LOGE("[%hu/%hu-%lu/%lu]%s,width=%u,height=%u,key=%hhu.", c.slot, c.thread, left, queued, what, f->width[0],
            f->height[0], (unsigned char)(u ? u->keyFrame : 0));
    if (kx_ObjectList_remove_pthreadSafety(c.item->frameList, f) < 0) {
        // Not queued any more: the reference is not ours to release.
        TH_LOGE("[%hu/%hu-%lu/%lu]Remove Error,width=%u,height=%u,key=%hhu.", c.slot, c.thread, left, queued,
                f->width[0], f->height[0], (unsigned char)(u ? u->keyFrame : 0));
        return;
    }
    release(f);
}

// Drops a frame that never reached a decoder (queue purges).
void drop_queued(frameConvert_item *item, image_frame *f) {
    if (kx_ObjectList_remove_pthreadSafety(item->frameList, f) >= 0) release(f);
}

// A held frame whose unit failed: it leaves the held set and gives up its output place.
void forget_held(Slot &sl, int64_t tag, image_frame *f) {
    sl.held.erase(tag);
    auto at = std::find(sl.places.begin(), sl.places.end(), f);
    if (at != sl.places.end()) sl.places.erase(at);
}

// Makes sure the spare picture is w x h (from the item's pool). Sizes of no picture the
// library accepts are refused, so nothing is ever allocated for them.
bool ensure_spare(ItemImpl &m, Slot &sl, uint32_t w, uint32_t h) {
    if (!kx::picture_side_ok(w) || !kx::picture_side_ok(h)) return false;
    if (sl.spare != nullptr && sl.spareWidth == w && sl.spareHeight == h) return true;
    if (sl.spare != nullptr) kx_Object_delete_pthreadSafety__OI(&sl.spare->object);
    sl.spare = m.pictures.take(w, h);
    sl.spareWidth = w;
    sl.spareHeight = h;
    return sl.spare != nullptr;
}

// Exchanges two queued frames' places in frameList. Caller holds the list's lock.
void swap_places(kx_ObjectList *list, image_frame *a, image_frame *b) {
    void **first = list->array + list->start, **end = first + list->count;
    void **pa = std::find(first, end, static_cast<void *>(a)), **pb = std::find(first, end, static_cast<void *>(b));
    if (pa != end && pb != end) std::swap(*pa, *pb);
}

// The frame's sizes follow the picture it carries (half and quarter sizes rounded down).
void set_frame_size(image_frame *f, uint32_t w, uint32_t h) {
    if (f->width[0] == w && f->height[0] == h) return;
    for (unsigned s = 0; s < 3; ++s) {
        f->width[s] = w >> s;
        f->height[s] = h >> s;
        f->pixelCount[s] = f->width[s] * f->height[s];
    }
}

// The spare picture was just written for the unit tagged tag. Pictures leave the decoder in
// display order, so this one belongs to the first output place of the slot: the frame of the
// unit moves there (each frame keeps its own unit, index and stream time) and takes the
// picture. A plug-in that does not tag pictures (INT64_MIN) fills the places in order.
void attach_picture(const Ctx &c, Slot &sl, int64_t tag) {
    auto it = sl.held.find(tag);
    if (it == sl.held.end() && tag == INT64_MIN && !sl.places.empty()) {
        image_frame *first = sl.places.front();
        it = std::find_if(sl.held.begin(), sl.held.end(), [&](const auto &e) { return e.second == first; });
    }
    if (it == sl.held.end() || sl.places.empty()) {
        TH_LOGE("[%hu/%hu]Picture of unknown unit(=%lld) dropped.", c.slot, c.thread, (long long)tag);
        return;  // the spare is reused for the next call
    }
    image_frame *f = it->second;
    sl.held.erase(it);
    image_frame *place = sl.places.front();
    sl.places.pop_front();
    if (place != f) std::replace(sl.places.begin(), sl.places.end(), f, place);
    kx_ObjectList *list = c.item->frameList;
    pthread_mutex_lock(&list->mutex);
    if (place != f) swap_places(list, f, place);
    set_frame_size(f, sl.spareWidth, sl.spareHeight);
    image_frame_set__OI_2(f, &sl.spare->object, 0);
    pthread_mutex_unlock(&list->mutex);
    sl.spare = nullptr;
}

void delete_decoder(Slot &sl) {
    if (sl.decoder != nullptr) video_h264_decode_delete(sl.decoder);
    sl.decoder = nullptr;
    sl.pictureWidth = sl.pictureHeight = 0;
}

// One decoder call into the spare picture at the slot's picture size. When the decoder
// reports another size, that size is adopted (within bounds) and the call repeated once: the
// decoder keeps the picture first in line for it.
int decode_call(ItemImpl &m, Slot &sl, uint32_t length, const unsigned char *data, int64_t tag, int64_t *pictureTag) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const uint32_t W = sl.pictureWidth, H = sl.pictureHeight;
        if (!ensure_spare(m, sl, W, H)) return -1;
        uint32_t w = W, h = H;
        int r = video_h264_decode_tagged(sl.decoder, sl.spare->data, W, 2, &w, &h, length, data, tag, pictureTag);
        if (r != -2) return r;
        if (!kx::picture_side_ok(w) || !kx::picture_side_ok(h) || (w == W && h == H)) return -1;
        sl.pictureWidth = w;
        sl.pictureHeight = h;
    }
    return -1;
}

// Hands out every picture the decoder holds back; held frames left without one are failures.
void drain(const Ctx &c, Slot &sl) {
    ItemImpl &m = impl(c.item);
    if (sl.decoder != nullptr && !sl.held.empty()) {
        for (size_t guard = sl.held.size() + 4; guard-- > 0 && !sl.held.empty();) {
            int64_t tag = INT64_MIN;
            if (decode_call(m, sl, 0, nullptr, -1, &tag) != 1) break;
            attach_picture(c, sl, tag);
        }
    }
    for (auto &[tag, f] : sl.held) drop_failed(c, sl, f, "H264 Decode Error");
    sl.held.clear();
    sl.places.clear();
}

// Decodes one frame. 1 fed to the decoder (picture now or later), 0 frame failed and dropped,
// -1 no decoder could be made (the frame is untouched).
int decode_one(const Ctx &c, Slot &sl, image_frame *f) {
    ItemImpl &m = impl(c.item);
    const video_h264_object *u = unit_of(f);
    const signed char key = key_of(f);
    if (key == VIDEO_H264_KEYFRAME_PARAMETERS_IDR && !sl.held.empty()) drain(c, sl);
    // The picture size comes from the unit's own SPS when it has one, else from what the
    // decoder produced so far; the size a frame declares is only the first guess.
    uint32_t W = sl.pictureWidth, H = sl.pictureHeight;
    if (!(key > 0 && (key & 2) && kx::unit_picture_size(u->data, u->dataLenth, &W, &H)) && W == 0) {
        W = f->width[0];
        H = f->height[0];
    }
    if (!kx::picture_side_ok(W) || !kx::picture_side_ok(H)) {
        TH_LOGE("[%hu/%hu]Invalid size,width=%u,height=%u.", c.slot, c.thread, W, H);
        drop_failed(c, sl, f, "H264 Decode Error");
        return 0;
    }
    if (sl.decoder == nullptr) {
        sl.decoder = video_h264_decode_new(W, H);
        if (sl.decoder == nullptr) {
            TH_LOGE("H264 decode handle is NULL,w=%u.h=%u.", W, H);
            return -1;
        }
    }
    sl.pictureWidth = W;
    sl.pictureHeight = H;
    const int64_t tag = sl.nextTag++;
    sl.held.emplace(tag, f);
    sl.places.push_back(f);
    int64_t pictureTag = INT64_MIN;
    int r = decode_call(m, sl, u->dataLenth, u->data, tag, &pictureTag);
    if (r == 1) {
        attach_picture(c, sl, pictureTag);
        return 1;
    }
    if (r == 0) return 1;  // accepted; its picture comes with a later unit or the drain
    // The unit failed: drop its frame, recover what the decoder holds, start a fresh decoder.
    forget_held(sl, tag, f);
    drop_failed(c, sl, f, "H264 Decode Error");
    drain(c, sl);
    delete_decoder(sl);
    return 0;
}

// ---- the service ----

int Service::add(frameConvert_item *item) {
    kx_ObjectList *list = rec_->itemList;
    if (kx_ObjectList_check_exist_order(list, item) >= 0) {
        FC_LOGE("frameConvert_add_item__OI_2", "Add item has exist,convertType=%lu.", (unsigned long)item->convertType);
        return 0;
    }
    const uint16_t T = rec_->threadCount, n = item->threadCount;
    if (n > T)
        FC_LOGE("frameConvert_add_item__OI_2", "Warning,threadCount(=%hu/%hu) of item is big.", n, T);
    // The start whose run of n threads carries the least load, the earliest on ties.
    uint16_t best = 0;
    uint64_t bestLoad = UINT64_MAX;
    for (uint16_t p = 0; p < (T < 2 ? 1 : T); ++p) {
        uint64_t sum = 0;
        for (uint32_t k = 0; k < n; ++k) sum += rec_->threadItemCount[(p + k) % T];
        if (sum < bestLoad) {
            bestLoad = sum;
            best = p;
        }
    }
    store(item->startIndex, best);
    for (uint32_t j = 0; j < n; ++j) rec_->threadItemCount[(best + j) % T] += 1;
    kx_ObjectList_insert_order(list, item);
    store(item->service, rec_);
    return 1;
}

int Service::remove(frameConvert_item *item) {
    kx_ObjectList *list = rec_->itemList;
    if (kx_ObjectList_remove_order(list, item) < 0) {
        FC_LOGE("frameConvert_remove_item__IO_2", "Remove item not exist,convertType=%lu.",
                (unsigned long)item->convertType);
        if (load(item->service) == rec_) store(item->service, static_cast<frameConvert *>(nullptr));
        return 0;
    }
    const uint16_t T = rec_->threadCount;
    for (uint32_t j = 0; j < item->threadCount; ++j) {
        uint16_t &count = rec_->threadItemCount[(item->startIndex + j) % T];
        if (count > 0) --count;
    }
    store(item->service, static_cast<frameConvert *>(nullptr));
    return 1;
}

void clean_now(frameConvert_item *item);

int Service::onCommand(int command, void *p, Worker *) {
    auto *item = static_cast<frameConvert_item *>(p);
    switch (command) {
    case kx::kCommandAdd: return add(item);
    case kx::kCommandRemove: return remove(item);
    case kCommandClean: clean_now(item); return 1;
    default: return 0;
    }
}

bool Service::serveDecode(frameConvert_item *item, uint16_t s, Worker &w) {
    ItemImpl &m = impl(item);
    Slot &sl = *m.slots[s];
    const Ctx c{item, s, w.index()};
    while (keepGoing(w)) {
        image_frame *f = nullptr;
        {
            std::lock_guard<std::mutex> lock(sl.m);
            if (sl.decodeQueue.empty()) break;
            f = sl.decodeQueue.front();
            sl.decodeQueue.pop_front();
        }
        noteRate(w, f);
        if (f->dataValidType & FRAMECONVERT_MASK_DECODED) continue;
        if (!(f->dataValidType & IMAGE_FRAME_H264_0) || unit_of(f) == nullptr) {
            TH_LOGE("Error type(=%#lx).", (unsigned long)f->dataValidType);
            drop_queued(item, f);  // it can never be decoded: it must not block the queue
            continue;
        }
        if (!(load(item->itemFlags) & FRAMECONVERT_ITEM_REVERSE)) {
            if (decode_one(c, sl, f) >= 0) continue;
            // No decoder: keep the last group that can start one; earlier frames are lost.
            std::vector<image_frame *> dropped;
            {
                std::lock_guard<std::mutex> lock(sl.m);
                sl.decodeQueue.push_front(f);
                size_t lastIdr = SIZE_MAX;
                for (size_t i = 0; i < sl.decodeQueue.size(); ++i)
                    if (key_of(sl.decodeQueue[i]) > 0 && (key_of(sl.decodeQueue[i]) & 1)) lastIdr = i;
                if (lastIdr != SIZE_MAX) {
                    dropped.assign(sl.decodeQueue.begin(), sl.decodeQueue.begin() + (long)lastIdr);
                    sl.decodeQueue.erase(sl.decodeQueue.begin(), sl.decodeQueue.begin() + (long)lastIdr);
                }
            }
            for (image_frame *d : dropped) drop_queued(item, d);
            return false;  // retried on a later turn
        }
        // Reverse order: a group arrives newest first with its IDR frame last. Once the IDR
        // frame is here, decode from it back to the head, which is decoding order.
        std::vector<image_frame *> run;
        {
            std::lock_guard<std::mutex> lock(sl.m);
            sl.decodeQueue.push_front(f);
            size_t idr = SIZE_MAX;
            for (size_t i = 0; i < sl.decodeQueue.size() && idr == SIZE_MAX; ++i) {
                signed char k = key_of(sl.decodeQueue[i]);
                if (k > 0 && (k & 1)) idr = i;
            }
            if (idr == SIZE_MAX) break;  // wait for the rest of the group
            run.assign(sl.decodeQueue.begin(), sl.decodeQueue.begin() + (long)idr + 1);
            sl.decodeQueue.erase(sl.decodeQueue.begin(), sl.decodeQueue.begin() + (long)idr + 1);
        }
        if (!sl.held.empty()) drain(c, sl);
        for (size_t k = run.size(); k-- > 0;) {
            if (run[k]->dataValidType & FRAMECONVERT_MASK_DECODED) continue;
            if (!(run[k]->dataValidType & IMAGE_FRAME_H264_0) || unit_of(run[k]) == nullptr) {
                TH_LOGE("Error type(=%#lx).", (unsigned long)run[k]->dataValidType);
                drop_queued(item, run[k]);
                continue;
            }
            if (decode_one(c, sl, run[k]) < 0) {
                // No decoder: this run and everything queued behind it are lost.
                for (size_t j = 0; j <= k; ++j) drop_queued(item, run[j]);
                std::deque<image_frame *> rest;
                {
                    std::lock_guard<std::mutex> lock(sl.m);
                    rest.swap(sl.decodeQueue);
                }
                for (image_frame *d : rest) drop_queued(item, d);
                return false;
            }
        }
        drain(c, sl);  // the group is complete
    }
    const bool stoppedEarly = !keepGoing(w);
    const bool more = sl.decodeQueued() != 0;
    if (!more && !sl.held.empty()) {
        bool flushed;
        {
            std::lock_guard<std::mutex> lock(sl.m);
            flushed = sl.drainWanted;
            sl.drainWanted = false;
        }
        // The group ended when the next one went to another slot or the stream was flushed.
        if (flushed || load(item->decodeSlot) != s) drain(c, sl);
    } else if (!more) {
        std::lock_guard<std::mutex> lock(sl.m);
        sl.drainWanted = false;
    }
    return more && stoppedEarly;
}

bool Service::serveEncode(frameConvert_item *item, uint16_t s, Worker &w) {
    ItemImpl &m = impl(item);
    Slot &sl = *m.slots[s];
    const Ctx c{item, s, w.index()};
    const uint32_t wantDecoded = item->convertType & FRAMECONVERT_MASK_DECODED;
    while (keepGoing(w)) {
        image_frame *f = nullptr;
        {
            std::lock_guard<std::mutex> lock(sl.m);
            if (sl.encodeQueue.empty()) break;
            f = sl.encodeQueue.front();
            // Frames are encoded in order: wait until the head has its picture.
            const uint32_t have = f->dataValidType;
            if (!(have & FRAMECONVERT_MASK_DECODED) || (wantDecoded & ~have)) return false;
            sl.encodeQueue.pop_front();
        }
        noteRate(w, f);
        const uint32_t W = f->width[0], H = f->height[0];
        if (sl.encoder != nullptr && (sl.encoderWidth != W || sl.encoderHeight != H)) {
            video_h264_encode_delete(sl.encoder);
            sl.encoder = nullptr;
        }
        if (sl.encoder == nullptr) {
            sl.encoder = video_h264_encode_new(W, H, kEncodeBitRate, f->frameRate);
            sl.encoderWidth = W;
            sl.encoderHeight = H;
        }
        video_h264_object *u = nullptr;
        if (sl.encoder != nullptr && f->yuvData[0] != nullptr)
            u = video_h264_encode__IO(sl.encoder, f->yuvData[0]->data, f->classIndex, f->frameIndex, f->frameRate, W,
                                      H, f->arrivalTime, f->streamTime);
        if (u != nullptr) {
            kx_ObjectList *list = item->frameList;
            pthread_mutex_lock(&list->mutex);
            image_frame_set__OI_2(f, &u->object, 0);
            pthread_mutex_unlock(&list->mutex);
            continue;
        }
        if (sl.encoder != nullptr) video_h264_encode_delete(sl.encoder);
        sl.encoder = nullptr;
        unsigned long left = sl.encodeQueued(), queued = list_count(item->frameList);
        TH_LOGE("[%hu/%hu-%lu/%lu]H264 encode Error,width=%u,height=%u.", s, c.thread, left, queued, W, H);
        if (kx_ObjectList_remove_pthreadSafety(item->frameList, f) < 0) {
            TH_LOGE("[%hu/%hu-%lu/%lu]Remove Error,width=%u,height=%u.", s, c.thread, left, queued, W, H);
        } else {
            release(f);
        }
    }
    return !keepGoing(w) && sl.encodeQueued() != 0;
}

double Service::onTick(Worker &w, double) {
    const uint16_t T = rec_->threadCount, i = w.index();
    bool more = false;
    kx_ObjectList *items = rec_->itemList;  // changes only while this worker is parked
    for (uint32_t k = 0; k < items->count && keepGoing(w); ++k) {
        auto *item = static_cast<frameConvert_item *>(items->array[items->start + k]);
        for (uint16_t s = 0; s < item->threadCount; ++s) {
            if ((item->startIndex + s) % T != i) continue;
            if (serveDecode(item, s, w)) more = true;
            if (serveEncode(item, s, w)) more = true;
        }
    }
    // Frame-in wakes the serving thread, so the idle wait only paces retries.
    if (more && !pauseWanted()) return 0.0;
    return 1.0 / std::max(pace_[i].rate, kMinRate);
}

// ---- clean ----

void clean_now(frameConvert_item *item) {
    ItemImpl &m = impl(item);
    kx_ObjectList *taken = kx_ObjectList_remove_all_pthreadSafety(item->frameList);
    for (auto &slot : m.slots) {
        Slot &sl = *slot;
        {
            std::lock_guard<std::mutex> lock(sl.m);
            sl.decodeQueue.clear();
            sl.encodeQueue.clear();
            sl.drainWanted = false;
        }
        // Pictures held for dropped frames are thrown away with their decoder.
        sl.held.clear();
        sl.places.clear();
        delete_decoder(sl);
    }
    if (taken != nullptr) {
        for (uint32_t i = 0; i < taken->count; ++i) release(static_cast<image_frame *>(taken->array[taken->start + i]));
        kx_ObjectList_delete__OI(taken);
    }
}

}  // namespace

extern "C" {

frameConvert *frameConvert_new__IO(const char *threadName, monitor *pMonitor, pthread_t parentTid,
                                   unsigned char *externRunStatus, uint16_t threadCount) {
    const uint16_t T = threadCount ? threadCount : 1;
    const char *name = threadName ? threadName : "";
    const size_t nameLength = strlen(name);
    // One block: the record, the per-thread counts, the name.
    const size_t countsOffset = (sizeof(frameConvert) + alignof(uint16_t) - 1) & ~(alignof(uint16_t) - 1);
    const size_t nameOffset = countsOffset + sizeof(uint16_t) * T;
    if (nameLength > SIZE_MAX - nameOffset - 1) return nullptr;
    const size_t bytes = nameOffset + nameLength + 1;
    auto *block = static_cast<unsigned char *>(calloc(1, bytes));
    if (block == nullptr) {
        FC_LOGE("frameConvert_new__IO", "calloc(%zu) error:\"%s\".", bytes, kx::errtext(errno));
        return nullptr;
    }
    auto *rec = reinterpret_cast<frameConvert *>(block);
    rec->threadItemCount = reinterpret_cast<uint16_t *>(block + countsOffset);
    rec->threadName = reinterpret_cast<char *>(block + nameOffset);
    memcpy(rec->threadName, name, nameLength + 1);
    rec->pMonitor = pMonitor;
    rec->parentTid = parentTid;
    rec->externRunStatus = externRunStatus ? externRunStatus : &defaultRunStatus;
    rec->threadCount = T;
    rec->itemList = kx_ObjectList_new__IO(1);
    rec->impl = new (std::nothrow) Service(rec, T);
    if (rec->itemList == nullptr || rec->impl == nullptr) {
        if (rec->itemList) kx_ObjectList_delete__OI(rec->itemList);
        delete static_cast<Service *>(rec->impl);
        free(block);
        return nullptr;
    }
    return rec;
}

void frameConvert_delete__IO(frameConvert *service) {
    if (service == nullptr) return;
    auto *svc = static_cast<Service *>(service->impl);
    svc->stop();  // nothing may run while the items go
    for (uint16_t i = service->threadCount; i-- > 0;)
        if (service->threadItemCount[i] != 0) FC_LOGE("frameConvert_delete__IO", "Error,%hu/%hu", i, service->threadCount);
    kx_ObjectList *items = service->itemList;
    service->itemList = nullptr;
    for (uint32_t k = 0; k < items->count; ++k) {
        auto *item = static_cast<frameConvert_item *>(items->array[items->start + k]);
        store(item->service, static_cast<frameConvert *>(nullptr));
        frameConvert_item_delete__IO(item);
    }
    kx_ObjectList_delete__OI(items);
    delete svc;
    free(service);
}

int frameConvert_startThread(frameConvert *service, signed char priority) {
    if (service == nullptr) return -1;
    return impl(service).start(priority);
}

int frameConvert_stopThread(frameConvert *service) {
    if (service == nullptr) return 0;
    return impl(service).stop();
}

frameConvert_item *frameConvert_item_new__OI(uint32_t convertType, uint16_t threadCount) {
    auto *item = static_cast<frameConvert_item *>(calloc(1, sizeof(frameConvert_item)));
    if (item == nullptr) return nullptr;
    item->convertType = convertType;
    item->threadCount = threadCount ? threadCount : 1;
    item->frameList = kx_ObjectList_new__IO(3);
    auto *m = new (std::nothrow) ItemImpl();
    bool ok = item->frameList != nullptr && m != nullptr;
    if (ok) {
        try {
            m->slots.reserve(item->threadCount);
            for (uint16_t s = 0; s < item->threadCount; ++s) m->slots.push_back(std::make_unique<Slot>());
        } catch (const std::bad_alloc &) {
            ok = false;
        }
    }
    if (!ok) {
        delete m;
        if (item->frameList) kx_ObjectList_delete__OI(item->frameList);
        free(item);
        return nullptr;
    }
    item->impl = m;
    return item;
}

void frameConvert_item_delete__IO(frameConvert_item *item) {
    if (item == nullptr) return;
    if (frameConvert *s = load(item->service)) frameConvert_remove_item__IO_2(s, item);
    ItemImpl *m = &impl(item);
    kx_ObjectList_delete_custom__OI(item->frameList, [](void *e) { release(static_cast<image_frame *>(e)); });
    for (size_t s = m->slots.size(); s-- > 0;) {
        Slot &sl = *m->slots[s];
        delete_decoder(sl);
        if (sl.spare != nullptr) kx_Object_delete_pthreadSafety__OI(&sl.spare->object);
        if (sl.encoder != nullptr) video_h264_encode_delete(sl.encoder);
    }
    delete m;
    free(item);
}

int frameConvert_add_item__OI_2(frameConvert *service, frameConvert_item *item) {
    if (service == nullptr || item == nullptr) return -1;
    frameConvert *other = load(item->service);
    if (other != nullptr && other != service) return -2;
    return impl(service).command(kx::kCommandAdd, item);
}

int frameConvert_remove_item__IO_2(frameConvert *service, frameConvert_item *item) {
    if (service == nullptr || item == nullptr) return -1;
    return impl(service).command(kx::kCommandRemove, item);
}

int frameConvert_item_frame_in_pthreadSafety_OI(frameConvert_item *item, image_frame *frame) {
    if (item == nullptr || frame == nullptr) {
        if (frame != nullptr) release(frame);
        return -1;
    }
    ItemImpl &m = impl(item);
    const uint32_t have = frame->dataValidType, want = item->convertType;
    // What the workers can add: a picture decoded from the H.264 unit, a unit encoded from the
    // picture. A frame that can never carry every wanted kind would block frame-out for good.
    uint32_t reachable = have;
    if (!(have & FRAMECONVERT_MASK_DECODED) && (have & IMAGE_FRAME_H264_0) && unit_of(frame) != nullptr)
        reachable |= IMAGE_FRAME_YUV_0;
    if (reachable & IMAGE_FRAME_YUV_0) reachable |= IMAGE_FRAME_H264_0;
    if (want & ~reachable) {
        FC_LOGE("frameConvert_item_frame_in_pthreadSafety_OI", "Error type(=%#lx).", (unsigned long)have);
        release(frame);
        return -2;
    }
    std::lock_guard<std::mutex> lock(m.in);
    // Queued first: whatever a worker does with the frame, it is in the output queue.
    kx_ObjectList_insert_tail_pthreadSafety(item->frameList, frame);
    if ((want & ~have) == 0) return 1;
    if ((have & FRAMECONVERT_MASK_FULL) == (want & FRAMECONVERT_MASK_FULL) &&
        (!(want & FRAMECONVERT_MASK_HALF) || (have & 0xd3)) &&
        (!(want & FRAMECONVERT_MASK_FULL) || (have & FRAMECONVERT_MASK_FULL) ||
         ((have | want) & FRAMECONVERT_MASK_HALF)))
        return 1;
    frameConvert *service = load(item->service);
    const uint16_t n = item->threadCount;
    if (!(have & FRAMECONVERT_MASK_DECODED) && (want & FRAMECONVERT_MASK_DECODED)) {
        const bool reverse = load(item->itemFlags) & FRAMECONVERT_ITEM_REVERSE;
        const uint16_t before = item->decodeSlot;
        auto advance = [&] {
            uint16_t d = static_cast<uint16_t>((item->decodeSlot + 1) % n);
            uint16_t next = static_cast<uint16_t>((d + 1) % n);
            if (m.slots[d]->decodeQueued() > m.slots[next]->decodeQueued()) d = next;
            store(item->decodeSlot, d);
        };
        auto append = [&] {
            Slot &sl = *m.slots[item->decodeSlot];
            std::lock_guard<std::mutex> l(sl.m);
            sl.decodeQueue.push_back(frame);
        };
        const uint16_t target = item->decodeSlot;
        if (key_of(frame) != VIDEO_H264_KEYFRAME_PARAMETERS_IDR) {
            append();
        } else if (!reverse) {
            advance();
            append();
        } else {
            append();
            advance();
        }
        if (service != nullptr) {
            Service &svc = impl(service);
            svc.wakeThreadOf(item, reverse ? target : item->decodeSlot);
            if (item->decodeSlot != before) svc.wakeThreadOf(item, before);  // its group may have ended
        }
    }
    if ((want & IMAGE_FRAME_H264_0) && !(have & IMAGE_FRAME_H264_0)) {
        const uint16_t s = static_cast<uint16_t>(item->encodeCounter / FRAMECONVERT_ENCODE_RUN);
        {
            Slot &sl = *m.slots[s];
            std::lock_guard<std::mutex> l(sl.m);
            sl.encodeQueue.push_back(frame);
        }
        const uint32_t span = FRAMECONVERT_ENCODE_RUN * n;
        uint32_t c = (item->encodeCounter + 1u) % span;
        if (c % FRAMECONVERT_ENCODE_RUN == 0) {
            uint32_t other = (c + FRAMECONVERT_ENCODE_RUN) % span;
            if (m.slots[c / FRAMECONVERT_ENCODE_RUN]->encodeQueued() > m.slots[other / FRAMECONVERT_ENCODE_RUN]->encodeQueued())
                c = other;
        }
        store(item->encodeCounter, static_cast<uint16_t>(c));
        if (service != nullptr) impl(service).wakeThreadOf(item, s);
    }
    return 1;
}

image_frame *frameConvert_item_frame_out_pthreadSafety_IO(frameConvert_item *item) {
    if (item == nullptr) return nullptr;
    kx_ObjectList *list = item->frameList;
    image_frame *out = nullptr;
    pthread_mutex_lock(&list->mutex);
    if (list->count != 0) {
        auto *head = static_cast<image_frame *>(list->array[list->start]);
        if ((head->dataValidType & item->convertType) == item->convertType)
            out = static_cast<image_frame *>(kx_ObjectList_remove_head(list));
    }
    pthread_mutex_unlock(&list->mutex);
    return out;
}

void frameConvert_item_flush(frameConvert_item *item) {
    if (item == nullptr) return;
    ItemImpl &m = impl(item);
    std::lock_guard<std::mutex> lock(m.in);
    for (auto &slot : m.slots) {
        std::lock_guard<std::mutex> l(slot->m);
        slot->drainWanted = true;
    }
    if (frameConvert *service = load(item->service))
        for (uint16_t s = 0; s < item->threadCount; ++s) impl(service).wakeThreadOf(item, s);
}

void frameConvert_item_clean(frameConvert_item *item) {
    if (item == nullptr) return;
    ItemImpl &m = impl(item);
    std::lock_guard<std::mutex> lock(m.in);
    if (frameConvert *service = load(item->service)) {
        impl(service).command(kCommandClean, item);
    } else {
        clean_now(item);
    }
}

void frameConvert_item_set_reverse(frameConvert_item *item, int reverse) {
    if (item == nullptr) return;
    std::atomic_ref<unsigned char> flags(item->itemFlags);
    if (reverse)
        flags.fetch_or(FRAMECONVERT_ITEM_REVERSE);
    else
        flags.fetch_and(static_cast<unsigned char>(~FRAMECONVERT_ITEM_REVERSE));
}

uint32_t frameConvert_item_bufferCount(frameConvert_item *item) {
    return item == nullptr ? 0 : list_count(item->frameList);
}

uint32_t frameConvert_CountOne(uint32_t v) {
    v = v - ((v >> 1) & 0x55555555u);
    v = (v & 0x33333333u) + ((v >> 2) & 0x33333333u);
    v = (v + (v >> 4)) & 0x0f0f0f0fu;
    return (v * 0x01010101u) >> 24;
}

}  // extern "C"
