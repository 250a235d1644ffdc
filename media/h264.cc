// H.264 Annex B analysis: key-frame classification, parameter-set location, SPS parsing and
// picture size, and the reference-counted H.264 object.
//
// Every scan is bounded by the caller's length: start-code searches never look past the last
// byte, and the SPS bit reader refuses to go beyond the end of its unit.
#include "kx/h264.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "core/log.hpp"
#include "media/h264_units.hpp"

namespace {

// ---------------------------------------------------------------------------------------------
// Start codes

// The first start code at or after `from` inside [0, length): its offset and size (3 for
// 00 00 01, 4 for 00 00 00 01). The unit before it ends at that offset.
bool next_start_code(const uint8_t *p, size_t from, size_t length, size_t *at, size_t *size) {
    // A code ends in the byte 01, rare in coded data: memchr finds the candidates.
    size_t j = from + 2;
    while (j < length) {
        const void *one = memchr(p + j, 1, length - j);
        if (one == nullptr) return false;
        j = static_cast<size_t>(static_cast<const uint8_t *>(one) - p);
        if (p[j - 1] == 0 && p[j - 2] == 0) {
            bool four = j >= from + 3 && p[j - 3] == 0;
            *at = four ? j - 3 : j - 2;
            *size = four ? 4 : 3;
            return true;
        }
        ++j;
    }
    return false;
}

bool starts_with_code4(const uint8_t *p, size_t length) {
    return length >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1;
}

// Size of a leading 3- or 4-byte start code, 0 when there is none.
size_t leading_code(const uint8_t *p, size_t length) {
    if (starts_with_code4(p, length)) return 4;
    if (length >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) return 3;
    return 0;
}

// Up to four bytes as a little-endian value (what a 32-bit load of the buffer start shows).
unsigned le32(const uint8_t *p, size_t length) {
    unsigned v = 0;
    for (size_t i = 0; i < 4 && i < length; ++i) v |= static_cast<unsigned>(p[i]) << (8 * i);
    return v;
}

struct ParameterSets {
    const uint8_t *sps = nullptr;
    uint32_t spsLength = 0;
    const uint8_t *pps = nullptr;
    uint32_t ppsLength = 0;
};

// Key-frame code of an access unit; `sets` receives the SPS and PPS when the code is 2 or 3.
// `label` names the public function in the log records.
//
// The buffer itself must open with 00 00 00 01; behind an access-unit delimiter the next unit may
// use either start code, as encoders write it. Any number of SEI units may sit between the PPS
// and the slice (interlaced x264 output carries two), and SEI units may also come first.
// Parameter sets may repeat before the slice (see the SPS branch).
signed char classify(uint32_t length, const uint8_t *data, ParameterSets *sets, const char *label) {
    const uint8_t *p = data;
    size_t n = length;
    bool first = true;
    while (n > 15) {
        const size_t lead = first ? (starts_with_code4(p, n) ? 4 : 0) : leading_code(p, n);
        if (lead == 0) {
            KX_LOG_ERROR_AT(5, __LINE__, label, "Error,bufferLenth=%u,%#x.", static_cast<unsigned>(n), le32(p, n));
            return -1;
        }
        const uint8_t header = p[lead];
        const unsigned type = header & 0x1f;
        if (type == 7) {
            // A run of parameter sets: the SPS (more than one when several are carried), the
            // PPS, and then any further SPS, PPS and SEI units up to the first other unit. A
            // stored key frame read with the track's key data in front, or a camera that repeats
            // its sets, gives "SPS PPS SPS PPS SEI IDR". The sets recorded are the last PPS and
            // the last SPS in front of it: the ones in force for the slice when the stream
            // changes them (a new picture size mid-file).
            ParameterSets found;
            size_t unit = lead, at, code;
            for (;;) {  // SPS units up to the PPS
                if (!next_start_code(p, unit + 1, n, &at, &code)) {
                    KX_LOG_ERROR_AT(5, __LINE__, label, "Can't find 0x67 end,flag=%#x.", le32(p + n - 4, 4));
                    return -1;
                }
                found.sps = p + unit;
                found.spsLength = static_cast<uint32_t>(at - unit);
                unit = at + code;
                if (unit >= n) {
                    KX_LOG_ERROR_AT(5, __LINE__, label, "Can't find data.");
                    return -1;
                }
                if ((p[unit] & 0x1f) != 7) break;
            }
            if ((p[unit] & 0x1f) != 8) {
                KX_LOG_ERROR_AT(5, __LINE__, label, "Error tag=%#hhx,bufferLenth=%u.", p[unit],
                                static_cast<unsigned>(n));
                return -1;
            }
            const uint8_t *lastSps = found.sps;
            uint32_t lastSpsLength = found.spsLength;
            for (;;) {  // from the first PPS on: PPS, SPS and SEI units up to the unit that decides
                const unsigned kind = p[unit] & 0x1f;
                if (n - unit < 2 || !next_start_code(p, unit + 1, n, &at, &code) || at + code >= n) {
                    KX_LOG_ERROR_AT(5, __LINE__, label, "Can't find data.");
                    return -1;
                }
                if (kind == 7) {
                    lastSps = p + unit;
                    lastSpsLength = static_cast<uint32_t>(at - unit);
                } else if (kind == 8) {
                    found.sps = lastSps;
                    found.spsLength = lastSpsLength;
                    found.pps = p + unit;
                    found.ppsLength = static_cast<uint32_t>(at - unit);
                }
                unit = at + code;
                if (p[unit] != 0x06 && (p[unit] & 0x1f) != 7 && (p[unit] & 0x1f) != 8) break;
            }
            if (sets != nullptr) *sets = found;
            return (p[unit] & 0x1f) == 5 ? 3 : 2;
        }
        if (type == 5) return 1;
        // SEI in front of everything else (x264 opens its first access unit so; a client that
        // puts known parameter sets before the IDR slice keeps it there): step over it, so such
        // a unit still counts as the key frame it is.
        if (header == 0x06) {
            size_t at, code;
            if (!next_start_code(p, lead + 1, n, &at, &code) || at + code >= n) return 0;
            p += at;
            n -= at;
            first = false;
            continue;
        }
        // Access-unit delimiter of primary_pic_type 0 or 1 (header 0x09, then 0x10 or 0x30).
        if (header == 0x09 && (p[lead + 1] & ~0x20) == 0x10) {
            p += lead + 2;
            n -= lead + 2;
            first = false;
            continue;
        }
        return 0;
    }
    const bool coded = first ? starts_with_code4(p, n) : leading_code(p, n) != 0;
    if (n >= 11 && coded) return 0;
    KX_LOG_ERROR_AT(5, __LINE__, label, "Error,bufferLenth=%u,%#x.", static_cast<unsigned>(n), le32(p, n));
    return -1;
}

// ---------------------------------------------------------------------------------------------
// SPS bit reader: reads the RBSP of one NAL unit, dropping emulation-prevention bytes
// (00 00 03 -> 00 00) and treating 00 00 0x (x < 3), which cannot occur inside a unit, as its end.

enum class ReadError { none, length, golomb, range };

class BitReader {
public:
    BitReader(const uint8_t *p, size_t length) : p_(p), end_(length) {}

    bool bit(uint32_t *out) {
        if (bits_ == 0 && !load()) return fail(ReadError::length);
        --bits_;
        *out = (current_ >> bits_) & 1u;
        return true;
    }

    bool bits(unsigned count, uint32_t *out) {
        uint32_t v = 0;
        for (unsigned i = 0; i < count; ++i) {
            uint32_t b;
            if (!bit(&b)) return false;
            v = (v << 1) | b;
        }
        *out = v;
        return true;
    }

    // Unsigned Exp-Golomb; more than 31 leading zero bits cannot encode a 32-bit value.
    bool ue(uint32_t *out) {
        unsigned zeros = 0;
        for (;;) {
            uint32_t b;
            if (!bit(&b)) return false;
            if (b) break;
            if (++zeros > 31) return fail(ReadError::golomb);
        }
        uint32_t suffix = 0;
        if (!bits(zeros, &suffix)) return false;
        *out = static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + suffix);
        return true;
    }

    bool se(int32_t *out) {
        uint32_t k;
        if (!ue(&k)) return false;
        const int64_t magnitude = (static_cast<int64_t>(k) + 1) / 2;
        *out = static_cast<int32_t>((k & 1) ? magnitude : -magnitude);
        return true;
    }

    // ue with an upper bound taken from the standard; larger values are refused.
    bool ue_max(uint32_t limit, uint32_t *out, const char **name, const char *field) {
        if (!ue(out)) return false;
        if (*out <= limit) return true;
        *name = field;
        return fail(ReadError::range);
    }

    ReadError error() const { return error_; }

private:
    bool load() {
        if (pos_ >= end_) return false;
        if (zeros_ >= 2 && p_[pos_] == 3) {  // emulation prevention
            zeros_ = 0;
            if (++pos_ >= end_) return false;
        }
        // 00 00 0x (x < 3) cannot occur inside a unit: a start code (or garbage) ends it here.
        if (pos_ + 2 < end_ && p_[pos_] == 0 && p_[pos_ + 1] == 0 && p_[pos_ + 2] < 3) return false;
        if (zeros_ >= 2 && p_[pos_] < 3) return false;
        const uint8_t b = p_[pos_++];
        zeros_ = b == 0 ? zeros_ + 1 : 0;
        current_ = b;
        bits_ = 8;
        return true;
    }

    bool fail(ReadError e) {
        if (error_ == ReadError::none) error_ = e;
        return false;
    }

    const uint8_t *p_;
    size_t end_;
    size_t pos_ = 0;
    unsigned zeros_ = 0;
    uint8_t current_ = 0;
    unsigned bits_ = 0;
    ReadError error_ = ReadError::none;
};

// Profiles whose SPS carries chroma format, bit depths and scaling matrices.
bool has_chroma_info(unsigned profile) {
    switch (profile) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86:
        case 118: case 128: case 138: case 139: case 134: case 135: case 144:
            return true;
        default:
            return false;
    }
}

bool scaling_list(BitReader &r, int32_t *list, unsigned size) {
    int32_t last = 8, next = 8;
    for (unsigned j = 0; j < size; ++j) {
        if (next != 0) {
            int32_t delta;
            if (!r.se(&delta)) return false;
            next = static_cast<int32_t>((static_cast<int64_t>(last) + delta + 256) % 256);
            if (next < 0) next += 256;
        }
        list[j] = next == 0 ? last : next;
        last = list[j];
    }
    return true;
}

// Parses the RBSP after the NAL header into `s`; stops after the crop offsets unless
// `withVuiFlag`. On failure `bad` names an out-of-range field, if that was the cause.
bool parse_sps(BitReader &r, video_h264_sps &s, bool withVuiFlag, const char **bad) {
    uint32_t v;
    if (!r.bits(8, &v)) return false;
    s.profile_idc = static_cast<uint8_t>(v);
    if (!r.bits(1, &v)) return false;
    s.constraint_set0_flag = static_cast<uint8_t>(v);
    if (!r.bits(7, &v)) return false;
    s.constraint_set1to5_flags = static_cast<uint8_t>(v << 1);
    if (!r.bits(8, &v)) return false;
    s.level_idc = static_cast<uint8_t>(v);
    if (!r.ue_max(31, &s.seq_parameter_set_id, bad, "seq_parameter_set_id")) return false;
    s.chroma_format_idc = 1;
    if (has_chroma_info(s.profile_idc)) {
        if (!r.ue_max(3, &s.chroma_format_idc, bad, "chroma_format_idc")) return false;
        if (s.chroma_format_idc == 3 && !r.bit(&s.separate_colour_plane_flag)) return false;
        if (!r.ue_max(6, &s.bit_depth_luma_minus8, bad, "bit_depth_luma_minus8")) return false;
        if (!r.ue_max(6, &s.bit_depth_chroma_minus8, bad, "bit_depth_chroma_minus8")) return false;
        if (!r.bit(&s.qpprime_y_zero_transform_bypass_flag)) return false;
        if (!r.bit(&s.seq_scaling_matrix_present_flag)) return false;
        if (s.seq_scaling_matrix_present_flag) {
            const unsigned lists = s.chroma_format_idc == 3 ? 12 : 8;
            for (unsigned i = 0; i < lists; ++i) {
                if (!r.bit(&s.seq_scaling_list_present_flag[i])) return false;
                if (!s.seq_scaling_list_present_flag[i]) continue;
                bool ok = i < 6 ? scaling_list(r, s.ScalingList4x4[i], 16) : scaling_list(r, s.ScalingList8x8[i - 6], 64);
                if (!ok) return false;
            }
        }
    }
    if (!r.ue_max(12, &s.log2_max_frame_num_minus4, bad, "log2_max_frame_num_minus4")) return false;
    if (!r.ue_max(2, &s.pic_order_cnt_type, bad, "pic_order_cnt_type")) return false;
    if (s.pic_order_cnt_type == 0) {
        if (!r.ue_max(12, &s.log2_max_pic_order_cnt_lsb_minus4, bad, "log2_max_pic_order_cnt_lsb_minus4")) return false;
    } else if (s.pic_order_cnt_type == 1) {
        if (!r.bit(&s.delta_pic_order_always_zero_flag)) return false;
        if (!r.se(&s.offset_for_non_ref_pic)) return false;
        if (!r.se(&s.offset_for_top_to_bottom_field)) return false;
        if (!r.ue_max(255, &s.num_ref_frames_in_pic_order_cnt_cycle, bad, "num_ref_frames_in_pic_order_cnt_cycle"))
            return false;
        for (uint32_t i = 0; i < s.num_ref_frames_in_pic_order_cnt_cycle; ++i) {
            if (!r.se(&s.offset_for_ref_frame[i])) return false;
        }
    }
    if (!r.ue(&s.max_num_ref_frames)) return false;
    if (!r.bit(&s.gaps_in_frame_num_value_allowed_flag)) return false;
    if (!r.ue(&s.pic_width_in_mbs_minus1)) return false;
    if (!r.ue(&s.pic_height_in_map_units_minus1)) return false;
    if (!r.bit(&s.frame_mbs_only_flag)) return false;
    if (!s.frame_mbs_only_flag && !r.bit(&s.mb_adaptive_frame_field_flag)) return false;
    if (!r.bit(&s.direct_8x8_inference_flag)) return false;
    if (!r.bit(&s.frame_cropping_flag)) return false;
    if (s.frame_cropping_flag) {
        if (!r.ue(&s.frame_crop_left_offset) || !r.ue(&s.frame_crop_right_offset) || !r.ue(&s.frame_crop_top_offset) ||
            !r.ue(&s.frame_crop_bottom_offset))
            return false;
    }
    if (withVuiFlag && !r.bit(&s.vui_parameters_present_flag)) return false;
    return true;
}

// Logs why parse_sps failed, under the public function's name.
void log_parse_failure(const BitReader &r, const char *bad, const char *label, int line) {
    switch (r.error()) {
        case ReadError::golomb:
            KX_LOG_ERROR_AT(5, line, label, "Invalid Exp-Golomb code (more than 31 leading zero bits).");
            break;
        case ReadError::range:
            KX_LOG_ERROR_AT(5, line, label, "Invalid %s.", bad);
            break;
        default:
            KX_LOG_ERROR_AT(5, line, label, "Invalid lenth.");
            break;
    }
}

// Picture size from a parsed SPS, cropped in the units the chroma format and field coding
// give (luma samples: 1 or SubWidthC across, (2 - frame_mbs_only_flag) x SubHeightC down).
bool picture_size(const video_h264_sps &s, uint32_t *width, uint32_t *height, const char *label) {
    const uint64_t fieldFactor = 2 - s.frame_mbs_only_flag;
    const unsigned chromaArrayType = s.separate_colour_plane_flag ? 0 : s.chroma_format_idc;
    uint64_t unitX = 1, unitY = fieldFactor;
    if (chromaArrayType == 1) {
        unitX = 2;
        unitY = 2 * fieldFactor;
    } else if (chromaArrayType == 2) {
        unitX = 2;
    }
    const uint64_t fullW = (uint64_t{s.pic_width_in_mbs_minus1} + 1) * 16;
    const uint64_t fullH = (uint64_t{s.pic_height_in_map_units_minus1} + 1) * fieldFactor * 16;
    uint64_t cropX = 0, cropY = 0;
    if (s.frame_cropping_flag) {
        cropX = unitX * (uint64_t{s.frame_crop_left_offset} + s.frame_crop_right_offset);
        cropY = unitY * (uint64_t{s.frame_crop_top_offset} + s.frame_crop_bottom_offset);
    }
    if (cropX >= fullW || cropY >= fullH) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Invalid crop(=%llu/%llu,%llu/%llu).", static_cast<unsigned long long>(cropX),
                        static_cast<unsigned long long>(fullW), static_cast<unsigned long long>(cropY),
                        static_cast<unsigned long long>(fullH));
        return false;
    }
    const uint64_t w = fullW - cropX, h = fullH - cropY;
    if (w > VIDEO_H264_MAX_SIDE || h > VIDEO_H264_MAX_SIDE) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Invalid size(=%llux%llu).", static_cast<unsigned long long>(w),
                        static_cast<unsigned long long>(h));
        return false;
    }
    *width = static_cast<uint32_t>(w);
    *height = static_cast<uint32_t>(h);
    return true;
}

// Allocation size of an object holding dataLength bytes; false when it exceeds the header's
// 32-bit size field.
bool object_size(uint32_t dataLength, uint32_t *size) {
    const size_t total = sizeof(video_h264_object) + static_cast<size_t>(dataLength);
    if (total > UINT32_MAX) return false;
    *size = static_cast<uint32_t>(total);
    return true;
}

void store_fields(video_h264_object *o, uint16_t classIndex, uint32_t frameIndex, float frameRate, uint32_t width,
                  uint32_t height, signed char keyFrame, double arrivalTime, double streamTime) {
    o->classIndex = classIndex;
    o->frameIndex = frameIndex;
    o->frameRate = frameRate;
    o->width = width;
    o->height = height;
    o->keyFrame = keyFrame;
    o->arrivalTime = arrivalTime;
    o->streamTime = streamTime;
}

}  // namespace

bool kx::h264::nextStartCode(const uint8_t *data, size_t from, size_t length, size_t *at, size_t *size) {
    return next_start_code(data, from, length, at, size);
}

static_assert(offsetof(video_h264_object, classIndex) == sizeof(kx_Object), "fields follow the object header");
static_assert(offsetof(video_h264_object, data) > offsetof(video_h264_object, dataLenth), "data follows its length");

extern "C" {

signed char video_h264_check_keyFrame(uint32_t length, const void *data) {
    return classify(length, static_cast<const uint8_t *>(data), nullptr, __func__);
}

signed char video_h264_check_keyFrame_and_get_sps_pps(uint32_t length, const void *data, const unsigned char **sps,
                                                      uint32_t *spsLength, const unsigned char **pps,
                                                      uint32_t *ppsLength) {
    ParameterSets sets;
    signed char code = classify(length, static_cast<const uint8_t *>(data), &sets, __func__);
    if (code == 2 || code == 3) {
        if (sps) *sps = sets.sps;
        if (spsLength) *spsLength = sets.spsLength;
        if (pps) *pps = sets.pps;
        if (ppsLength) *ppsLength = sets.ppsLength;
    }
    return code;
}

int video_h264_sps_get(video_h264_sps *record, const void *data, uint8_t length) {
    const auto *p = static_cast<const uint8_t *>(data);
    if (length < 5) {
        KX_LOGE("Invalid lenth(=%hhu).", length);
        return -1;
    }
    const size_t skip = leading_code(p, length);
    const uint8_t header = p[skip];
    if ((header & 0x1f) != 7) {
        KX_LOGE("Invalid tag(=%#hhx).", header);
        return -1;
    }
    video_h264_sps s{};
    BitReader r(p + skip + 1, length - skip - 1);
    const char *bad = nullptr;
    if (!parse_sps(r, s, true, &bad)) {
        log_parse_failure(r, bad, __func__, __LINE__);
        return -1;
    }
    *record = s;
    return 1;
}

int video_h264_size_get(uint32_t *width, uint32_t *height, const void *data, uint8_t length) {
    const auto *p = static_cast<const uint8_t *>(data);
    size_t n = length;
    for (;;) {
        if (n < 5) {
            KX_LOGE("Invalid lenth(=%hhu).", static_cast<uint8_t>(n));
            return -1;
        }
        const size_t skip = leading_code(p, n);
        p += skip;
        n -= skip;
        if ((p[0] & 0x1f) == 7) break;
        // Access-unit delimiter: header 0x09, then primary_pic_type 0 or 1 with the stop bit.
        if (n >= 6 && p[0] == 0x09 && (p[1] == 0x10 || p[1] == 0x30)) {
            p += 2;
            n -= 2;
            continue;
        }
        KX_LOGE("Invalid tag(=%#hhx).", p[0]);
        return -1;
    }
    video_h264_sps s{};
    BitReader r(p + 1, n - 1);
    const char *bad = nullptr;
    if (!parse_sps(r, s, false, &bad)) {
        log_parse_failure(r, bad, __func__, __LINE__);
        return -1;
    }
    uint32_t w, h;
    if (!picture_size(s, &w, &h, __func__)) return -1;
    *width = w;
    *height = h;
    return 1;
}

video_h264_object *video_h264_object_new__IO(uint32_t dataLength) {
    uint32_t size;
    if (!object_size(dataLength, &size)) {
        KX_LOGE("Invalid datalenth(=%u).", dataLength);
        return nullptr;
    }
    auto *o = static_cast<video_h264_object *>(kx_memery_malloc(size));
    if (o == nullptr) {
        KX_LOGE("Malloc(%u) error:\"%s\".", size, kx::errtext(errno));
        return nullptr;
    }
    memset(o, 0, sizeof(video_h264_object));
    kx_Object_init(&o->object, KX_OBJECT_TYPE_H264, size);
    o->dataLenth = dataLength;
    return o;
}

video_h264_object *video_h264_object_new_with_data__IO(uint16_t classIndex, uint32_t frameIndex, float frameRate,
                                                       uint32_t width, uint32_t height, signed char keyFrame,
                                                       double arrivalTime, double streamTime, uint32_t dataLength,
                                                       const void *data) {
    video_h264_object *o = video_h264_object_new__IO(dataLength);
    if (o == nullptr) return nullptr;
    store_fields(o, classIndex, frameIndex, frameRate, width, height, keyFrame, arrivalTime, streamTime);
    if (data != nullptr && dataLength > 0) memcpy(o->data, data, dataLength);
    return o;
}

void video_h264_object_set_data(video_h264_object *object, uint16_t classIndex, uint32_t frameIndex, float frameRate,
                                uint32_t width, uint32_t height, signed char keyFrame, double arrivalTime,
                                double streamTime, const void *data) {
    store_fields(object, classIndex, frameIndex, frameRate, width, height, keyFrame, arrivalTime, streamTime);
    if (data != nullptr && object->dataLenth > 0) memcpy(object->data, data, object->dataLenth);
}

int video_h264_object_reset_datalenth_small(video_h264_object *object, uint32_t length) {
    if (length > object->dataLenth) {
        KX_LOGE("Invalid datalenth(=%u/%u).", length, object->dataLenth);
        return -1;
    }
    object->dataLenth = length;
    return 1;
}

int video_h264_object_set_data_from_file(video_h264_object *object, uint16_t classIndex, uint32_t frameIndex,
                                         uint32_t width, uint32_t height, signed char keyFrame, double arrivalTime,
                                         double streamTime, FILE *file) {
    const auto fd = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(file));
    errno = 0;
    const size_t got = object->dataLenth > 0 ? fread(object->data, 1, object->dataLenth, file) : 0;
    if (got != object->dataLenth) {
        KX_LOGE("Read data error:\"%s\",classIndex=%hu,width=%u,height=%u,keyFrame=%hhd,fd=%#llx,dataLenth=%u.",
                kx::errtext(errno), classIndex, width, height, keyFrame, fd, object->dataLenth);
        return -1;
    }
    if (keyFrame < 0) {
        const signed char rv = video_h264_check_keyFrame(object->dataLenth, object->data);
        if (rv < 0) {
            KX_LOGE("Check keyFrame failed,rv=%hhd,classIndex=%hu,width=%u,height=%u,keyFrame=%hhd,fd=%#llx,dataLenth=%u.",
                    rv, classIndex, width, height, keyFrame, fd, object->dataLenth);
            keyFrame = 0;
        } else {
            keyFrame = rv;
        }
    }
    store_fields(object, classIndex, frameIndex, object->frameRate, width, height, keyFrame, arrivalTime, streamTime);
    return 1;
}

}  // extern "C"
