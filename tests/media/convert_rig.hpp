// A running frame conversion service with one item, for tests and benchmarks: everything is
// stopped and freed at the end.
#pragma once

#include <stdint.h>

#include "kx/frameconvert.h"
#include "kx/image_frame.h"

namespace kxclip {

struct Rig {
    frameConvert *service;
    frameConvert_item *item;
    Rig(uint16_t threads, uint16_t slots, uint32_t convertType = IMAGE_FRAME_YUV_0) {
        service = frameConvert_new__IO("FrameConvert", nullptr, 0, nullptr, threads);
        item = frameConvert_item_new__OI(convertType, slots);
        frameConvert_add_item__OI_2(service, item);
        frameConvert_startThread(service, -1);
    }
    ~Rig() {
        frameConvert_remove_item__IO_2(service, item);
        frameConvert_stopThread(service);
        frameConvert_item_delete__IO(item);
        frameConvert_delete__IO(service);
    }
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;
};

}  // namespace kxclip
