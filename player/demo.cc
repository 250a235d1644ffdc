// The demonstration entry of the player program: one URL for ten minutes.
#include <errno.h>
#include <stdio.h>

#include "core/log.hpp"
#include "kx/global.h"
#include "kx/player.h"
#include "kx/time.h"

signed char playerLib_private_test_cb(image_frame *frame, void *) {
    KX_LOGI("FrameRate:%lf.", (double)frame->frameRate);
    return 1;
}

void playerLib_test(const char *url) {
    printf("strerror(errno):%s\n", kx::errtext(errno));
    KX_LOGE("strerror(errno):%s", kx::errtext(errno));
    globalInit(0, nullptr, nullptr, nullptr, 0);
    KX_LOGE("tttt");
    KX_LOGE("strerror(errno):%s", kx::errtext(errno));

    playerLib *player = playerLib_new__IO("PlayerLib", nullptr, 0, nullptr, 1);
    int started = playerLib_startThread(player, 0);
    if (started != 1) KX_LOGE("Start the player failed,rv=%d.", started);
    const uint16_t buffers = url ? 10 : 100;
    playerLib_item *item = started == 1 ? playerLib_item_new__IO(url ? url : PLAYERLIB_DEFAULT_URL, 25.0f, buffers,
                                                                 buffers, playerLib_private_test_cb, nullptr, 1)
                                        : nullptr;
    int added = item != nullptr ? playerLib_add_item__OI_2(player, item) : 0;
    if (item != nullptr && added != 1) KX_LOGE("Add the item failed,rv=%d.", added);
    if (added == 1) {
        // Ten minutes, or until the run status the player follows is cleared.
        const double end = kx_time_uptime_get() + 600.0;
        while (*player->externRunStatus == 1 && kx_time_uptime_get() < end) kx_thread_usleep(50000);
        playerLib_remove_item__IO_2(player, item);
    }
    playerLib_item_delete__OI(item);
    playerLib_stopThread(player);
    playerLib_delete__OI(player);
    globalRelease();
}
