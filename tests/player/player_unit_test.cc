// Player records, the add/remove protocol and the frame callback's checks, without a server.
// KX_THREADED: the player thread, the RTSP client thread and the decoder threads run here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/service.hpp"
#include "kx/frameconvert.h"
#include "kx/global.h"
#include "kx/h264.h"
#include "kx/monitor.h"
#include "kx/objectlist.h"
#include "kx/player.h"
#include "kx/time.h"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

// Nothing listens on port 1 of the loopback address: items connect and fail quietly.
const char *kDeadUrl = "rtsp://127.0.0.1:1/none";

signed char accept_all(image_frame *, void *) { return 1; }

playerLib *load_player(const playerLib_item *it) { return __atomic_load_n(&it->player, __ATOMIC_ACQUIRE); }

struct Item {
    playerLib_item *it;
    Item(uint16_t min, uint16_t max, float rate = 25.0f)
        : it(playerLib_item_new__IO(kDeadUrl, rate, min, max, accept_all, nullptr, 1)) {}
    ~Item() { playerLib_item_delete__OI(it); }
};

// Feeds one access unit of the given key-frame code through the frame callback.
signed char feed(playerLib_item *it, signed char key = 0, float rate = 0.0f, uint32_t w = 0, uint32_t h = 0) {
    static unsigned char unit[] = {0, 0, 0, 1, 0x41, 0x9a, 0x26, 0x21};
    uint32_t size = sizeof unit;
    unsigned char *data = unit;
    return playerLib_private_cb(&size, &data, sizeof unit, 100.0, 7, key, rate, w, h, it);
}

TEST(PlayerItem, RejectedUrlGivesNoItem) {
    kxtest::CaptureShownOnFailure cap;
    for (const char *url : {"http://127.0.0.1/1", "rtsp://camera.local/1", "rtsp://user@127.0.0.1/1", ""}) {
        EXPECT_EQ(playerLib_item_new__IO(url, 25.0f, 1, 1, accept_all, nullptr, 1), nullptr) << url;
    }
    Item good(1, 1);
    ASSERT_NE(good.it, nullptr);
    EXPECT_STREQ(good.it->url, kDeadUrl);
    EXPECT_EQ(good.it->frameConvertItem->convertType, (uint32_t)IMAGE_FRAME_YUV_0);
}

// Back-pressure of the frame callback: frames are queued (the conversion item is in no service,
// so nothing leaves the queue) until the queue passes its limit; a pending frame makes the
// adaptive limit count as soon as the queue passes bufferCountMin.
struct PressureCase {
    uint16_t min, max;
    bool pending;
    uint32_t accepted;  // frames queued before the first refusal
};

class Pressure : public ::testing::TestWithParam<PressureCase> {};

TEST_P(Pressure, QueueStopsAtItsLimit) {
    const PressureCase c = GetParam();
    Item item(c.min, c.max);
    playerLib_item *it = item.it;
    it->imageWidth = 320;
    it->imageHeight = 240;
    image_frame *held = nullptr;
    if (c.pending) {
        held = image_frame_new__IO(320, 240, 160, 120, 80, 60, nullptr, 0, 25.0f, 0, 0);
        it->pendingFrame = held;
    }
    uint32_t accepted = 0;
    for (int i = 0; i < 200 && feed(it) == 1; ++i) accepted++;
    EXPECT_EQ(accepted, c.accepted);
    EXPECT_EQ(playerLib_item_bufferCount(it), c.accepted);
    EXPECT_EQ(feed(it), 2) << "a refused frame stays refused while the queue is full";
    EXPECT_LE(it->keyFrameInterval, c.max);
    playerLib_statistics st;
    playerLib_item_statistics(it, &st);
    EXPECT_EQ(st.queuedFrames, c.accepted);
    EXPECT_EQ(st.refusals, 2u);
    (void)held;  // released with the item
}

INSTANTIATE_TEST_SUITE_P(Limits, Pressure,
                         ::testing::Values(PressureCase{2, 4, false, 5}, PressureCase{2, 4, true, 3},
                                           PressureCase{0, 0, false, 1}, PressureCase{10, 10, true, 11},
                                           PressureCase{1, 30, false, 31}));

TEST(PlayerCallback, UnknownSizeOrRateDropsFrames) {
    kxtest::CaptureShownOnFailure cap;
    struct Case {
        float itemRate;
        uint32_t w, h;
        bool queued;
    } cases[] = {{25.0f, 0, 0, false}, {0.0f, 320, 240, false}, {25.0f, 320, 0, false}, {25.0f, 320, 240, true}};
    for (const Case &c : cases) {
        Item item(10, 10, c.itemRate);
        item.it->imageWidth = c.w;
        item.it->imageHeight = c.h;
        EXPECT_EQ(feed(item.it), 1);
        EXPECT_EQ(playerLib_item_bufferCount(item.it), c.queued ? 1u : 0u) << c.itemRate << " " << c.w << "x" << c.h;
    }
}

TEST(PlayerCallback, SizeGivenWithParameterSetsIsTakenAndRateIsMeasured) {
    Item item(100, 100, 0.0f);
    playerLib_item *it = item.it;
    // Code 3 with the size in the frame description sets the size without parsing.
    EXPECT_EQ(feed(it, 3, 0.0f, 640, 360), 1);
    EXPECT_EQ(it->imageWidth, 640u);
    EXPECT_EQ(it->imageHeight, 360u);
    // No rate yet: the first 33 frames only start the measurement and are dropped.
    for (int i = 1; i < 32; ++i) EXPECT_EQ(feed(it), 1);
    const double a0 = kx_time_uptime_get();
    EXPECT_EQ(feed(it), 1);  // the 33rd: the measurement starts here
    const double a1 = kx_time_uptime_get();
    EXPECT_EQ(playerLib_item_bufferCount(it), 0u);
    EXPECT_EQ(it->frameRate, 0.0f);
    for (int i = 0; i < 32; ++i) {
        kx_thread_usleep(2000);
        feed(it);
    }
    EXPECT_EQ(it->frameRate, 0.0f);
    kx_thread_usleep(2000);
    const double b0 = kx_time_uptime_get();
    feed(it);  // the 33rd of the measurement
    const double b1 = kx_time_uptime_get();
    ASSERT_GT(it->frameRate, 0.0f);
    // 33 frames over the span between the two feeds, which lies within [b0 - a1, b1 - a0]
    // however the machine schedules this thread.
    EXPECT_GE(it->frameRate, 33.0 / (b1 - a0) * (1 - 1e-6));
    EXPECT_LE(it->frameRate, 33.0 / (b0 - a1) * (1 + 1e-6));
    EXPECT_EQ(playerLib_item_bufferCount(it), 1u) << "the frame that completed the measurement is queued";
}

// A 320x240 unit: SPS, PPS and the start of an IDR slice (x264, baseline).
const std::vector<unsigned char> kSps320x240 = {
    0, 0, 0, 1, 0x67, 0x42, 0xc0, 0x0d, 0xd9, 0x01, 0x41, 0xfb, 0x01, 0x10, 0x00, 0x00, 0x03, 0x00,
    0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xf1, 0x42, 0xa4, 0x80, 0, 0, 0, 1, 0x68, 0xcb, 0x83, 0xcb,
    0x20, 0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33};
// A slice without parameter sets.
const std::vector<unsigned char> kSliceOnly = {0, 0, 0, 1, 0x41, 0x9a, 0x26, 0x21};

signed char feed_unit(playerLib_item *it, const std::vector<unsigned char> &unit, signed char key, uint32_t w,
                      uint32_t h) {
    std::vector<unsigned char> copy = unit;
    uint32_t size = static_cast<uint32_t>(copy.size());
    unsigned char *data = copy.data();
    return playerLib_private_cb(&size, &data, size, 100.0, 7, key, 25.0f, w, h, it);
}

// The picture size decides the allocations of every conversion slot: the size in the frame
// description is the sender's word, the sequence parameter set decides.
TEST(PlayerCallback, PictureSizeComesFromTheParameterSetsNotTheFrameDescription) {
    kxtest::CaptureShownOnFailure cap;
    uint32_t sw = 0, sh = 0;
    ASSERT_EQ(video_h264_size_get(&sw, &sh, kSps320x240.data() + 4, 24), 1);
    ASSERT_EQ(sw, 320u);
    ASSERT_EQ(sh, 240u);
    const uint32_t kHuge = 0xFFFFFFFFu, kOver = VIDEO_H264_MAX_SIDE + 1;
    struct Case {
        bool withSps;
        uint32_t w, h;            // frame description
        uint32_t expectW, expectH;  // 0: the frame is dropped, the size stays unknown
    } cases[] = {
        {true, 0, 0, 320, 240},          {true, 320, 240, 320, 240},     {true, 640, 360, 320, 240},
        {true, kHuge, kHuge, 320, 240},  {true, kOver, 240, 320, 240},   {true, 320, 0, 320, 240},
        {false, 1920, 1080, 1920, 1080}, {false, kOver, 240, 0, 0},      {false, 320, kOver, 0, 0},
        {false, kHuge, kHuge, 0, 0},     {false, 0, 0, 0, 0},            {false, 1920, 0, 0, 0},
    };
    for (const Case &c : cases) {
        Item item(10, 10);
        playerLib_item *it = item.it;
        EXPECT_EQ(feed_unit(it, c.withSps ? kSps320x240 : kSliceOnly, 3, c.w, c.h), 1);
        EXPECT_EQ(it->imageWidth, c.expectW) << c.withSps << " " << c.w << "x" << c.h;
        EXPECT_EQ(it->imageHeight, c.expectH) << c.withSps << " " << c.w << "x" << c.h;
        EXPECT_EQ(playerLib_item_bufferCount(it), c.expectW ? 1u : 0u) << c.withSps << " " << c.w << "x" << c.h;
    }
    // A known size is not replaced by a description out of bounds on a unit without an SPS.
    Item item(10, 10);
    ASSERT_EQ(feed_unit(item.it, kSps320x240, 3, 0, 0), 1);
    const uint16_t classIndex = item.it->classIndex;
    EXPECT_EQ(feed_unit(item.it, kSliceOnly, 3, kHuge, kHuge), 1);
    EXPECT_EQ(item.it->imageWidth, 320u);
    EXPECT_EQ(item.it->imageHeight, 240u);
    EXPECT_EQ(item.it->classIndex, classIndex);
    EXPECT_EQ(playerLib_item_bufferCount(item.it), 2u);
}

TEST(PlayerCallback, KeyFrameCounterSaturates) {
    Item item(100, 100);
    item.it->keyFrameCount = UINT16_MAX - 1;
    for (int i = 0; i < 3; ++i) feed(item.it);
    EXPECT_EQ(item.it->keyFrameCount, UINT16_MAX);
    // A frame with parameter sets resets it and grows the adaptive limit by the count, capped.
    item.it->keyFrameInterval = 5;
    item.it->keyFrameIntervalPeak = 0;
    feed(item.it, 3, 0.0f, 320, 240);
    EXPECT_EQ(item.it->keyFrameCount, 0);
    EXPECT_EQ(item.it->keyFrameInterval, 100);
}

TEST(PlayerControl, JumpAndModeNeedAPlayingItemAndValidMode) {
    kxtest::CaptureShownOnFailure cap;
    Item item(10, 10);
    struct Case {
        int mode;  // -1: jump
        int expected;
    } cases[] = {{-1, -1}, {0, -1}, {1, -1}, {3, -1}, {4, -3}, {255, -3}};
    for (const Case &c : cases) {
        int rv = c.mode < 0 ? playerLib_item_jump(item.it, 10.0)
                            : playerLib_item_mode(item.it, static_cast<unsigned char>(c.mode));
        EXPECT_EQ(rv, c.expected) << c.mode;
    }
    EXPECT_EQ(item.it->jumpTarget, 0.0);
    EXPECT_EQ(item.it->modeBits, 0);
}

class PlayerService : public ::testing::Test {
protected:
    void SetUp() override {
        globalInit(0, nullptr, nullptr, nullptr, 0);
        player = playerLib_new__IO("PlayerTest", nullptr, 0, nullptr, 1);
        ASSERT_NE(player, nullptr);
    }
    void TearDown() override {
        playerLib_stopThread(player);
        playerLib_delete__OI(player);
        globalRelease();
    }
    playerLib *player = nullptr;
};

TEST_F(PlayerService, DefaultsAndStopWithoutStart) {
    EXPECT_EQ(player->externRunStatus, &defaultRunStatus);
    EXPECT_STREQ(player->threadName, "PlayerTest");
    EXPECT_EQ(playerLib_stopThread(player), 0);
}

TEST_F(PlayerService, DuplicateAddAndAbsentRemoveAreLoggedAndHarmless) {
    for (bool running : {false, true}) {
        if (running) {
            ASSERT_EQ(playerLib_startThread(player, 0), 1);
        }
        kxtest::CaptureShownOnFailure cap;
        Item item(10, 10);
        EXPECT_EQ(playerLib_remove_item__IO_2(player, item.it), 0);
        EXPECT_EQ(playerLib_add_item__OI_2(player, item.it), 1);
        EXPECT_EQ(playerLib_add_item__OI_2(player, item.it), 0);
        EXPECT_EQ(player->itemList->count, 1u);
        EXPECT_EQ(item.it->player, player);
        EXPECT_EQ(playerLib_remove_item__IO_2(player, item.it), 1);
        EXPECT_EQ(playerLib_remove_item__IO_2(player, item.it), 0);
        EXPECT_EQ(player->itemList->count, 0u);
        EXPECT_EQ(item.it->player, nullptr);
        std::string log = kxtest::strip_colours(cap.text());
        EXPECT_NE(log.find("Add item has exist,url:\"" + std::string(kDeadUrl) + "\""), std::string::npos) << running;
        EXPECT_NE(log.find("Remove item not exist,url:\"" + std::string(kDeadUrl) + "\""), std::string::npos) << running;
    }
}

TEST_F(PlayerService, ItemsFollowTheServicesAndAreHandedBackAtStop) {
    Item before(10, 10), after(10, 10);
    ASSERT_EQ(playerLib_add_item__OI_2(player, before.it), 1);
    EXPECT_EQ(__atomic_load_n(&before.it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr);
    ASSERT_EQ(playerLib_startThread(player, 0), 1);
    EXPECT_EQ(playerLib_startThread(player, 0), 0);
    // Listed before the start: its sub-items join the services the thread creates.
    ASSERT_TRUE(kxtest::eventually([&] {
        return __atomic_load_n(&before.it->frameConvertItem->service, __ATOMIC_ACQUIRE) != nullptr;
    }));
    EXPECT_NE(__atomic_load_n(&before.it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr);
    ASSERT_EQ(playerLib_add_item__OI_2(player, after.it), 1);
    EXPECT_NE(__atomic_load_n(&after.it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr);
    EXPECT_NE(__atomic_load_n(&after.it->frameConvertItem->service, __ATOMIC_ACQUIRE), nullptr);
    // Stopping with both still listed hands the sub-items back before the services go.
    EXPECT_EQ(playerLib_stopThread(player), 1);
    for (playerLib_item *it : {before.it, after.it}) {
        EXPECT_EQ(__atomic_load_n(&it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr);
        EXPECT_EQ(__atomic_load_n(&it->frameConvertItem->service, __ATOMIC_ACQUIRE), nullptr);
        EXPECT_EQ(it->player, player) << "the items stay listed";
    }
    // A restart takes them into the new services again.
    ASSERT_EQ(playerLib_startThread(player, 0), 1);
    ASSERT_TRUE(kxtest::eventually([&] {
        return __atomic_load_n(&after.it->frameConvertItem->service, __ATOMIC_ACQUIRE) != nullptr;
    }));
}

// The callback defers every frame: the player thread keeps offering its pending frame.
signed char defer_all(image_frame *, void *offers) {
    static_cast<std::atomic<int> *>(offers)->fetch_add(1);
    return 2;
}

// An item not yet in a running player with a frame pending (set before the player thread can
// touch the field), and a reference of the caller's own to see it released.
image_frame *hold_frame(playerLib_item *it) {
    image_frame *frame = image_frame_new__IO(16, 16, 8, 8, 4, 4, nullptr, 0, 25.0f, 0, 0);
    kx_Object_addRefer_pthreadSafety_(&frame->object);
    __atomic_store_n(&it->pendingFrame, frame, __ATOMIC_RELEASE);
    return frame;
}

TEST_F(PlayerService, DeletingAListedItemRemovesItAndReleasesItsPendingFrame) {
    ASSERT_EQ(playerLib_startThread(player, 0), 1);
    for (bool remove : {true, false}) {
        std::atomic<int> offers{0};
        playerLib_item *it = playerLib_item_new__IO(kDeadUrl, 25.0f, 10, 10, defer_all, &offers, 1);
        image_frame *frame = hold_frame(it);
        ASSERT_EQ(playerLib_add_item__OI_2(player, it), 1);
        ASSERT_TRUE(kxtest::eventually([&] { return offers.load() > 1; }, std::chrono::seconds(20)));
        if (remove) {
            EXPECT_EQ(playerLib_remove_item__IO_2(player, it), 1);
            EXPECT_EQ(it->pendingFrame, nullptr);
        }
        playerLib_item_delete__OI(it);
        EXPECT_EQ(player->itemList->count, 0u);
        EXPECT_EQ(__atomic_load_n(&frame->object.referCount, __ATOMIC_ACQUIRE), 1u) << remove;
        kx_Object_delete_pthreadSafety__OI(&frame->object);
    }
}

size_t registered(monitor *m) {
    pthread_mutex_lock(&m->mutex);
    size_t n = m->pThreadList->count;
    pthread_mutex_unlock(&m->mutex);
    return n;
}

// Deleting a running player stops its thread and services (every thread unregistered) and
// deletes the items still listed (each releases its pending frame); ASan sees the sub-items
// handed back before the services that held them were deleted.
TEST_F(PlayerService, DeletingTheRunningPlayerDeletesListedItems) {
    kxtest::CaptureShownOnFailure cap;
    monitor *m = monitor_new__IO("mon", 0, nullptr, nullptr, 0, 5.0f, 0.1f);
    playerLib *own = playerLib_new__IO("Owner", m, 0, nullptr, 2);
    ASSERT_EQ(playerLib_startThread(own, 0), 1);
    std::vector<image_frame *> frames;
    std::atomic<int> offers{0};
    for (int i = 0; i < 3; ++i) {
        playerLib_item *it = playerLib_item_new__IO(kDeadUrl, 25.0f, 10, 10, defer_all, &offers, 2);
        frames.push_back(hold_frame(it));
        ASSERT_EQ(playerLib_add_item__OI_2(own, it), 1);
    }
    EXPECT_EQ(own->itemList->count, 3u);
    // The player thread, the RTSP client thread and two conversion workers.
    EXPECT_TRUE(kxtest::eventually([&] { return registered(m) == 4u; }, std::chrono::seconds(20))) << registered(m);
    playerLib_delete__OI(own);
    EXPECT_EQ(registered(m), 0u);
    for (image_frame *frame : frames) {
        EXPECT_EQ(__atomic_load_n(&frame->object.referCount, __ATOMIC_ACQUIRE), 1u) << "item not deleted";
        kx_Object_delete_pthreadSafety__OI(&frame->object);
    }
    monitor_delete__OI(m);
}

// The thread waits for its parent's monitor entry when the shared run byte is cleared: it
// leaves without ever running its loop, takes its services down on the way, and the stop
// that follows returns.
TEST_F(PlayerService, StopReturnsWhenTheRunByteEndsTheWaitForTheParent) {
    kxtest::CaptureShownOnFailure cap;
    monitor *m = monitor_new__IO("mon", 0, nullptr, nullptr, 0, 5.0f, 0.1f);
    unsigned char run = 1;
    playerLib *own = playerLib_new__IO("Orphan", m, pthread_self(), &run, 1);  // parent never registered
    Item item(10, 10);
    ASSERT_EQ(playerLib_add_item__OI_2(own, item.it), 1);
    ASSERT_EQ(playerLib_startThread(own, 0), 1);
    EXPECT_NE(__atomic_load_n(&item.it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr);
    __atomic_store_n(&run, 0, __ATOMIC_RELEASE);
    std::atomic<int> stopped{-100};
    std::thread([&] { stopped = playerLib_stopThread(own); }).detach();
    if (!kxtest::eventually([&] { return stopped.load() != -100; }, std::chrono::seconds(20))) {
        ADD_FAILURE() << "playerLib_stopThread hangs";
        return;  // the player stays with the stuck stop
    }
    EXPECT_EQ(stopped.load(), 1);
    EXPECT_EQ(__atomic_load_n(&item.it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr);
    EXPECT_EQ(__atomic_load_n(&item.it->frameConvertItem->service, __ATOMIC_ACQUIRE), nullptr);
    EXPECT_EQ(registered(m), 0u);
    EXPECT_EQ(playerLib_remove_item__IO_2(own, item.it), 1);
    playerLib_delete__OI(own);
    monitor_delete__OI(m);
}

// Thread creation that succeeds `allowed` more times, then fails; real-time requests run at
// ordinary priority here.
std::atomic<int> g_allowed{0};
int limited_create(pthread_t *tid, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
    if (g_allowed.load() <= 0) return EAGAIN;
    int inherit = 0, policy = 0;
    pthread_attr_getinheritsched(attr, &inherit);
    pthread_attr_getschedpolicy(attr, &policy);
    size_t stack = 0;
    pthread_attr_getstacksize(attr, &stack);
    pthread_attr_t plain;
    pthread_attr_init(&plain);
    pthread_attr_setstacksize(&plain, stack);
    int rc = pthread_create(tid, inherit == PTHREAD_EXPLICIT_SCHED && policy == SCHED_RR ? &plain : attr, fn, arg);
    pthread_attr_destroy(&plain);
    if (rc == 0) g_allowed--;
    return rc;
}

// A start whose thread or services cannot be made fails and leaves nothing started; the
// listed item stays listed with its sub-items back, and a later start serves it.
TEST_F(PlayerService, StartFailsWhenItsThreadOrServicesCannotStart) {
    struct Case {
        int allowed;  // threads that may still be made: player, RTSP client, conversion worker
        const char *what;
    } cases[] = {{0, "player thread"}, {1, "RTSP client thread"}, {2, "conversion worker"}};
    Item item(10, 10);
    ASSERT_EQ(playerLib_add_item__OI_2(player, item.it), 1);
    for (const Case &c : cases) {
        kxtest::CaptureShownOnFailure cap;
        g_allowed = c.allowed;
        kx::testing::setThreadCreate(limited_create);
        int rv = playerLib_startThread(player, 0);
        kx::testing::setThreadCreate(nullptr);
        EXPECT_LT(rv, 0) << c.what;
        EXPECT_EQ(playerLib_stopThread(player), 0) << c.what << ": nothing stays started";
        EXPECT_EQ(__atomic_load_n(&item.it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr) << c.what;
        EXPECT_EQ(__atomic_load_n(&item.it->frameConvertItem->service, __ATOMIC_ACQUIRE), nullptr) << c.what;
        EXPECT_EQ(player->itemList->count, 1u) << c.what;
    }
    ASSERT_EQ(playerLib_startThread(player, 0), 1);
    EXPECT_NE(__atomic_load_n(&item.it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr);
    EXPECT_NE(__atomic_load_n(&item.it->frameConvertItem->service, __ATOMIC_ACQUIRE), nullptr);
    EXPECT_EQ(playerLib_remove_item__IO_2(player, item.it), 1);
}

// A service that refuses an item's sub-item (here: its conversion item is already held by
// another conversion service) makes the add fail while the player runs, and the start fail
// while it is listed before the start.
TEST_F(PlayerService, AnItemTheServicesRefuseIsReportedNotListed) {
    kxtest::CaptureShownOnFailure cap;
    frameConvert *other = frameConvert_new__IO("Other", nullptr, 0, nullptr, 1);
    Item item(10, 10);
    ASSERT_EQ(frameConvert_add_item__OI_2(other, item.it->frameConvertItem), 1);
    // Listed while stopped: the start cannot hand it to its services.
    ASSERT_EQ(playerLib_add_item__OI_2(player, item.it), 1);
    EXPECT_LT(playerLib_startThread(player, 0), 0);
    EXPECT_EQ(playerLib_stopThread(player), 0);
    EXPECT_EQ(__atomic_load_n(&item.it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr);
    ASSERT_EQ(playerLib_remove_item__IO_2(player, item.it), 1);
    // Added to the running player: refused, not listed, nothing left with the RTSP client.
    ASSERT_EQ(playerLib_startThread(player, 0), 1);
    EXPECT_LT(playerLib_add_item__OI_2(player, item.it), 0);
    EXPECT_EQ(player->itemList->count, 0u);
    EXPECT_EQ(load_player(item.it), nullptr);
    EXPECT_EQ(__atomic_load_n(&item.it->rtspClientItem->client, __ATOMIC_ACQUIRE), nullptr);
    EXPECT_NE(kxtest::strip_colours(cap.text()).find("Add frameConvert item failed,url:\"" + std::string(kDeadUrl)),
              std::string::npos);
    // Free again, it is taken.
    ASSERT_EQ(frameConvert_remove_item__IO_2(other, item.it->frameConvertItem), 1);
    EXPECT_EQ(playerLib_add_item__OI_2(player, item.it), 1);
    EXPECT_EQ(playerLib_remove_item__IO_2(player, item.it), 1);
    frameConvert_delete__IO(other);
}

TEST_F(PlayerService, ClearedRunStatusEndsTheThread) {
    unsigned char run = 1;
    playerLib *own = playerLib_new__IO("Own", nullptr, 0, &run, 2);
    ASSERT_EQ(playerLib_startThread(own, 0), 1);
    Item item(10, 10);
    ASSERT_EQ(playerLib_add_item__OI_2(own, item.it), 1);
    ASSERT_TRUE(kxtest::eventually([&] {
        return __atomic_load_n(&item.it->frameConvertItem->service, __ATOMIC_ACQUIRE) != nullptr;
    }));
    __atomic_store_n(&run, 0, __ATOMIC_RELAXED);
    // The thread leaves by itself: the next add is applied by the caller, the sub-items are back.
    ASSERT_TRUE(kxtest::eventually([&] {
        return __atomic_load_n(&item.it->frameConvertItem->service, __ATOMIC_ACQUIRE) == nullptr;
    }));
    EXPECT_EQ(playerLib_item_jump(item.it, 5.0), -1);
    EXPECT_EQ(playerLib_remove_item__IO_2(own, item.it), 1);
    EXPECT_EQ(playerLib_stopThread(own), 1);
    playerLib_delete__OI(own);
}

}  // namespace
