// Picture sizes the library accepts, and the size an access unit's own sequence parameter set
// gives, wherever the SPS sits in the unit (an encoder's SEI in front of it can be longer than
// the 255 bytes the SPS parser takes).
#pragma once

#include <stdint.h>

#include <algorithm>

#include "kx/h264.h"

namespace kx {

inline bool picture_side_ok(uint32_t side) { return side != 0 && side <= VIDEO_H264_MAX_SIDE; }

// True with *w / *h set when the unit carries an SPS that gives a size within bounds.
inline bool unit_picture_size(const unsigned char *data, uint32_t dataLength, uint32_t *w, uint32_t *h) {
    const unsigned char *sps = nullptr, *pps = nullptr;
    uint32_t spsLength = 0, ppsLength = 0;
    if (video_h264_check_keyFrame_and_get_sps_pps(dataLength, data, &sps, &spsLength, &pps, &ppsLength) < 2 ||
        sps == nullptr)
        return false;
    uint32_t width = 0, height = 0;
    if (video_h264_size_get(&width, &height, sps, static_cast<uint8_t>(std::min<uint32_t>(spsLength, 255))) != 1 ||
        !picture_side_ok(width) || !picture_side_ok(height))
        return false;
    *w = width;
    *h = height;
    return true;
}

}  // namespace kx
