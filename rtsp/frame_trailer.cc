#include "rtsp/frame_trailer.hpp"

#include <string.h>

#include <algorithm>

#include "core/bytereader.hpp"

namespace kx::rtsp {

namespace {

constexpr char kMagic[8] = {'T', 'I', '.', 'k', 'x', 'l', 'i', 'b'};

void put_le(unsigned char *at, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

void encodeFrameTrailer(const FrameTrailer &t, unsigned char out[kFrameTrailerSize]) {
    memset(out, 0, kFrameTrailerSize);
    memcpy(out, kMagic, sizeof kMagic);
    uint64_t time;
    memcpy(&time, &t.streamTime, sizeof time);
    put_le(out + 8, time, 8);
    put_le(out + 16, t.frameIndex, 4);
    out[20] = t.kind;
    if (t.kind != 2) {
        out[21] = static_cast<unsigned char>(t.keyFrame);
        put_le(out + 22, t.width, 2);
        put_le(out + 24, t.height, 2);
        uint32_t rate;
        memcpy(&rate, &t.frameRate, sizeof rate);
        put_le(out + 26, rate, 4);
    }
    out[30] = static_cast<unsigned char>(kFrameTrailerSize);
}

bool decodeFrameTrailer(const unsigned char *padding, size_t p, FrameTrailer *out) {
    if (padding == nullptr || p <= sizeof kMagic || memcmp(padding, kMagic, sizeof kMagic) != 0) return false;
    // The count byte is not part of the fields; a short trailer leaves the rest zero.
    unsigned char raw[kFrameTrailerSize - 1] = {};
    memcpy(raw, padding, std::min(p - 1, sizeof raw));
    ByteReader r(raw, sizeof raw);
    uint64_t time = 0;
    uint32_t index = 0, rate = 0;
    uint8_t kind = 0, key = 0;
    uint16_t width = 0, height = 0;
    r.skip(sizeof kMagic);
    r.le64(&time);
    r.le32(&index);
    r.u8(&kind);
    r.u8(&key);
    r.le16(&width);
    r.le16(&height);
    r.le32(&rate);
    FrameTrailer t;
    memcpy(&t.streamTime, &time, sizeof time);
    t.frameIndex = index;
    t.kind = kind;
    t.keyFrame = static_cast<int8_t>(key);
    t.width = width;
    t.height = height;
    memcpy(&t.frameRate, &rate, sizeof rate);
    *out = t;
    return true;
}

}  // namespace kx::rtsp
