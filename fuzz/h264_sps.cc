// SPS parser and picture size on arbitrary bytes (at most 255, as callers pass them): a parsed
// record must be in range, and the size must follow from it with the standard's crop units.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kx/h264.h"

namespace {

// Picture size from a record, -1 when the crop leaves nothing or a side exceeds the limit.
int reference_size(const video_h264_sps &s, uint64_t *w, uint64_t *h) {
    static const unsigned subWidth[4] = {1, 2, 2, 1}, subHeight[4] = {1, 2, 1, 1};
    const unsigned chroma = s.separate_colour_plane_flag ? 0 : s.chroma_format_idc;
    const uint64_t fields = s.frame_mbs_only_flag ? 1 : 2;
    const uint64_t unitX = chroma ? subWidth[chroma] : 1;
    const uint64_t unitY = (chroma ? subHeight[chroma] : 1) * fields;
    const uint64_t fullW = (uint64_t{s.pic_width_in_mbs_minus1} + 1) * 16;
    const uint64_t fullH = (uint64_t{s.pic_height_in_map_units_minus1} + 1) * 16 * fields;
    const uint64_t cropW = s.frame_cropping_flag ? unitX * (uint64_t{s.frame_crop_left_offset} + s.frame_crop_right_offset) : 0;
    const uint64_t cropH = s.frame_cropping_flag ? unitY * (uint64_t{s.frame_crop_top_offset} + s.frame_crop_bottom_offset) : 0;
    if (cropW >= fullW || cropH >= fullH) return -1;
    *w = fullW - cropW;
    *h = fullH - cropH;
    return *w <= VIDEO_H264_MAX_SIDE && *h <= VIDEO_H264_MAX_SIDE ? 1 : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    const size_t length = size > 255 ? 255 : size;
    auto *unit = static_cast<unsigned char *>(malloc(length ? length : 1));
    if (length) memcpy(unit, data, length);

    video_h264_sps record;
    memset(&record, 0xee, sizeof record);
    const int parsed = video_h264_sps_get(&record, unit, static_cast<uint8_t>(length));
    uint32_t width = 0, height = 0;
    const int sized = video_h264_size_get(&width, &height, unit, static_cast<uint8_t>(length));
    if ((parsed != 1 && parsed != -1) || (sized != 1 && sized != -1)) abort();
    if (sized == 1 && (width == 0 || height == 0 || width > VIDEO_H264_MAX_SIDE || height > VIDEO_H264_MAX_SIDE)) abort();
    if (sized == -1 && (width != 0 || height != 0)) abort();
    if (parsed == 1) {
        if (record.chroma_format_idc > 3 || record.num_ref_frames_in_pic_order_cnt_cycle > 255 ||
            record.pic_order_cnt_type > 2 || record.seq_parameter_set_id > 31)
            abort();
        // The same unit opens the buffer, so the size comes from this record.
        uint64_t w = 0, h = 0;
        const int expected = reference_size(record, &w, &h);
        if (sized != expected) abort();
        if (sized == 1 && (width != w || height != h)) abort();
    }
    free(unit);
    return 0;
}
