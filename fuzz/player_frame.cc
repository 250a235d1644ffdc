// The player's frame callback on arbitrary access units and frame descriptions (the size, key
// code and rate a server sends beside each frame): whatever the sender claims, the item's
// picture size stays unknown (0x0) or within VIDEO_H264_MAX_SIDE on both sides.
// Input: width (4 bytes LE), height (4), key code (1), rate flag (1), then the unit.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "kx/frameconvert.h"
#include "kx/h264.h"
#include "kx/player.h"

namespace {

signed char take(image_frame *, void *) { return 1; }

uint32_t le32(const uint8_t *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    // One item for the whole run: a size learnt from one input meets the claims of the next.
    static playerLib_item *item = playerLib_item_new__IO("rtsp://127.0.0.1:1/none", 25.0f, 4, 8, take, nullptr, 1);
    if (item == nullptr) abort();
    if (size < 10) return 0;
    const uint32_t width = le32(data), height = le32(data + 4);
    const signed char key = static_cast<signed char>(data[8]);
    const float rate = (data[9] & 1) ? 25.0f : 0.0f;
    std::vector<unsigned char> unit(data + 10, data + size);
    uint32_t capacity = static_cast<uint32_t>(unit.size());
    unsigned char *buffer = unit.data();
    const signed char rv = playerLib_private_cb(&capacity, &buffer, static_cast<uint32_t>(unit.size()), 100.0, 1, key,
                                                rate, width, height, item);
    if (rv != 1 && rv != 2) abort();
    const uint32_t w = item->imageWidth, h = item->imageHeight;
    if (w > VIDEO_H264_MAX_SIDE || h > VIDEO_H264_MAX_SIDE || (w == 0) != (h == 0)) abort();
    // The item is in no service: nothing decodes, so the queue is emptied here.
    frameConvert_item_clean(item->frameConvertItem);
    return 0;
}
