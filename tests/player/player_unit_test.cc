// Player records, the add/remove protocol and the frame callback's checks, without a server.
// KX_THREADED: the player thread, the RTSP client thread and the decoder threads run here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kx/frameconvert.h"
#include "kx/global.h"
#include "kx/objectlist.h"
#include "kx/player.h"
#include "kx/time.h"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

// Nothing listens on port 1 of the loopback address: items connect and fail quietly.
const char *kDeadUrl = "rtsp://127.0.0.1:1/none";

signed char accept_all(image_frame *, void *) { return 1; }

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
    for (int i = 1; i < 33; ++i) EXPECT_EQ(feed(it), 1);
    EXPECT_EQ(playerLib_item_bufferCount(it), 0u);
    EXPECT_EQ(it->frameRate, 0.0f);
    const double t0 = kx_time_uptime_get();
    for (int i = 0; i < 33; ++i) {
        kx_thread_usleep(2000);
        feed(it);
    }
    const double elapsed = kx_time_uptime_get() - t0;
    ASSERT_GT(it->frameRate, 0.0f);
    // 33 frames over the measured span (the timer started at the 33rd frame above).
    EXPECT_NEAR(it->frameRate, 33.0 / elapsed, 33.0 / elapsed * 0.3);
    EXPECT_EQ(playerLib_item_bufferCount(it), 1u) << "the frame that completed the measurement is queued";
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
        if (running) ASSERT_EQ(playerLib_startThread(player, 0), 1);
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

TEST_F(PlayerService, DeletingAListedItemRemovesItAndReleasesItsPendingFrame) {
    ASSERT_EQ(playerLib_startThread(player, 0), 1);
    for (bool remove : {true, false}) {
        playerLib_item *it = playerLib_item_new__IO(kDeadUrl, 25.0f, 10, 10, accept_all, nullptr, 1);
        ASSERT_EQ(playerLib_add_item__OI_2(player, it), 1);
        image_frame *frame = image_frame_new__IO(16, 16, 8, 8, 4, 4, nullptr, 0, 25.0f, 0, 0);
        kx_Object_addRefer_pthreadSafety_(&frame->object);  // our own reference
        __atomic_store_n(&it->pendingFrame, frame, __ATOMIC_RELEASE);
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

TEST_F(PlayerService, DeletingTheRunningPlayerDeletesListedItems) {
    ASSERT_EQ(playerLib_startThread(player, 0), 1);
    for (int i = 0; i < 3; ++i) {
        playerLib_item *it = playerLib_item_new__IO(kDeadUrl, 25.0f, 10, 10, accept_all, nullptr, 2);
        ASSERT_EQ(playerLib_add_item__OI_2(player, it), 1);
    }
    EXPECT_EQ(player->itemList->count, 3u);
    playerLib_delete__OI(player);  // stops the thread, hands the sub-items back, deletes the items
    player = playerLib_new__IO("PlayerTest", nullptr, 0, nullptr, 1);
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
