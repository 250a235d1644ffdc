// Picture size from the SPS inside an access unit (kx::unit_picture_size, the size the frame
// conversion service trusts over a declared one) on arbitrary units of any length: it never
// reads past the unit, and a size it gives is within the library's bounds and is the size the
// SPS parser gives for the SPS where the unit's key-frame analysis places it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "kx/h264.h"
#include "media/picture_size.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    // An exact-size copy, so a read past the unit is caught.
    auto *unit = static_cast<unsigned char *>(malloc(size ? size : 1));
    if (size) memcpy(unit, data, size);
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX));
    uint32_t w = 0, h = 0;
    const bool sized = kx::unit_picture_size(unit, length, &w, &h);
    if (sized && (!kx::picture_side_ok(w) || !kx::picture_side_ok(h))) abort();
    if (!sized && (w != 0 || h != 0)) abort();
    if (sized) {
        const unsigned char *sps = nullptr, *pps = nullptr;
        uint32_t spsLength = 0, ppsLength = 0;
        if (video_h264_check_keyFrame_and_get_sps_pps(length, unit, &sps, &spsLength, &pps, &ppsLength) < 2) abort();
        if (sps < unit || sps + spsLength > unit + size) abort();
        uint32_t w2 = 0, h2 = 0;
        if (video_h264_size_get(&w2, &h2, sps, static_cast<uint8_t>(std::min<uint32_t>(spsLength, 255))) != 1 ||
            w2 != w || h2 != h)
            abort();
    }
    free(unit);
    return 0;
}
