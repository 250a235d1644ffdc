// Key-frame classification and parameter-set location on arbitrary bytes: both classifiers must
// agree, stay inside the buffer and point at real SPS / PPS units.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kx/h264.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    // Exact-size copy: any read past the counted length is a heap overflow.
    auto *frame = static_cast<unsigned char *>(malloc(size ? size : 1));
    if (size) memcpy(frame, data, size);
    const uint32_t length = static_cast<uint32_t>(size);

    const signed char plain = video_h264_check_keyFrame(length, frame);
    const unsigned char *sps = nullptr, *pps = nullptr;
    uint32_t spsLength = 0, ppsLength = 0;
    const signed char located =
        video_h264_check_keyFrame_and_get_sps_pps(length, frame, &sps, &spsLength, &pps, &ppsLength);
    if (plain != located || plain < -1 || plain > 3) abort();
    if (plain >= 2) {
        const unsigned char *end = frame + size;
        if (sps == nullptr || pps == nullptr) abort();
        if (sps < frame || sps + spsLength > end || pps < frame || pps + ppsLength > end) abort();
        if ((sps[0] & 0x1f) != 7 || (pps[0] & 0x1f) != 8) abort();
        if (spsLength == 0 || ppsLength == 0 || sps + spsLength > pps) abort();
    } else if (sps != nullptr || pps != nullptr || spsLength != 0 || ppsLength != 0) {
        abort();
    }
    free(frame);
    return 0;
}
