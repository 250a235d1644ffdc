#include "serve/rtsp_packetizer.hpp"

#include <math.h>

#include "core/log.hpp"
#include "media/h264_units.hpp"

namespace kx::rtspserve {

namespace {

constexpr double kWrap = 4294967296.0;
// Stream times beyond this (about 31700 years) are taken as unusable.
constexpr double kMaxStreamTime = 1e12;

void header(std::string &out, uint8_t track, size_t rtpLength, bool padded, bool marker, uint16_t seq,
            uint32_t time) {
    unsigned char h[16] = {'$',
                           static_cast<unsigned char>(2 * track),
                           static_cast<unsigned char>(rtpLength >> 8),
                           static_cast<unsigned char>(rtpLength),
                           static_cast<unsigned char>(padded ? 0xA0 : 0x80),
                           static_cast<unsigned char>((marker ? 0x80 : 0x00) | kPayloadType),
                           static_cast<unsigned char>(seq >> 8),
                           static_cast<unsigned char>(seq),
                           static_cast<unsigned char>(time >> 24),
                           static_cast<unsigned char>(time >> 16),
                           static_cast<unsigned char>(time >> 8),
                           static_cast<unsigned char>(time),
                           0x6B,
                           0x78,
                           0x72,
                           static_cast<unsigned char>(0x73 + track)};
    out.append(reinterpret_cast<const char *>(h), sizeof h);
}

// Appends one packet: payload pieces a and b, the trailer when it is the frame's first.
void packet(Packets &p, uint8_t track, TrackClock &clock, bool marker, const rtsp::FrameTrailer *trailer,
            const void *a, size_t aLength, const void *b = nullptr, size_t bLength = 0) {
    size_t pad = trailer != nullptr ? rtsp::kFrameTrailerSize : 0;
    uint16_t seq = clock.takeSeq();
    if (p.count == 0) p.firstSeq = seq;
    header(p.bytes, track, 12 + aLength + bLength + pad, pad != 0, marker, seq, p.rtpTime);
    p.bytes.append(static_cast<const char *>(a), aLength);
    if (bLength > 0) p.bytes.append(static_cast<const char *>(b), bLength);
    if (pad != 0) {
        unsigned char t[rtsp::kFrameTrailerSize];
        rtsp::encodeFrameTrailer(*trailer, t);
        p.bytes.append(reinterpret_cast<const char *>(t), sizeof t);
    }
    ++p.count;
}

}  // namespace

uint32_t TrackClock::nextVideo(double frameRate, double streamTime, bool backward) {
    const bool usable = isfinite(streamTime) && streamTime >= 0.0 && streamTime < kMaxStreamTime;
    // The distance of frames in order: the period of a stream without a rate.
    if (usable && isfinite(lastTime_)) {
        double d = fabs(streamTime - lastTime_);
        if (d > 0.0 && d <= kReorderWindow) gap_ = d * 90000.0;
    }
    lastTime_ = usable ? streamTime : NAN;
    double period = isfinite(frameRate) && frameRate > 0.0 ? 90000.0 / frameRate : gap_;
    if (!isfinite(period) || period < 1.0) period = 1.0;
    if (period >= kWrap) period = fmod(period, kWrap);

    double at;
    if (!usable || backward) {
        at = started_ ? top_ + period : period;
        anchored_ = false;
    } else if (anchored_ && streamTime > lowTime_ && streamTime <= highTime_ + kJumpAhead &&
               streamTime >= highTime_ - kReorderWindow) {
        at = anchorClock_ + (streamTime - anchorTime_) * 90000.0;
        if (streamTime > highTime_) highTime_ = streamTime;
    } else {
        at = started_ ? top_ + period : period;
        anchored_ = true;
        anchorClock_ = at;
        anchorTime_ = lowTime_ = highTime_ = streamTime;
    }
    if (!started_ || at > top_) top_ = at;
    // Whole turns of the 32-bit clock leave the timestamps as they are: dropped, so that the
    // unwrapped values stay small.
    if (top_ >= 2 * kWrap) {
        double turns = floor(top_ / kWrap) - 1.0;
        top_ -= turns * kWrap;
        anchorClock_ -= turns * kWrap;
        at -= turns * kWrap;
    }
    // To the nearest tick: stream times of wall-clock size (relayed streams) carry a few
    // hundredths of a tick of rounding, either way.
    double wrapped = fmod(floor(at + 0.5), kWrap);
    if (wrapped < 0.0) wrapped += kWrap;
    uint32_t next = static_cast<uint32_t>(wrapped);
    if (started_ && next == time_) ++next;
    time_ = next;
    started_ = true;
    return time_;
}

uint32_t TrackClock::nextAudio() {
    time_ += 1024;
    return time_;
}

bool packetizeH264(const uint8_t *data, size_t length, uint8_t track, TrackClock &clock, double frameRate,
                   double streamTime, const rtsp::FrameTrailer &trailer, Packets *out, bool backward) {
    out->bytes.clear();
    out->count = 0;
    if (data == nullptr || length < 4) return false;
    // Find the last unit first: the frame's last packet carries the marker bit.
    const uint8_t *last = nullptr;
    h264::forEachUnit(data, length, [&](const uint8_t *unit, size_t) { last = unit; });
    if (last == nullptr) return false;
    out->rtpTime = clock.nextVideo(frameRate, streamTime, backward);
    out->bytes.reserve(length + length / (kRtpRoom - 2) * 18 + 64);
    h264::forEachUnit(data, length, [&](const uint8_t *unit, size_t size) {
        const rtsp::FrameTrailer *t = out->count == 0 ? &trailer : nullptr;
        bool endOfFrame = unit == last;
        if (size + (t != nullptr ? rtsp::kFrameTrailerSize : 0) <= kRtpRoom) {
            packet(*out, track, clock, endOfFrame, t, unit, size);
            return;
        }
        // FU-A: indicator (the unit's NRI, type 28) and header (start/end, unit type).
        uint8_t indicator = static_cast<uint8_t>((unit[0] & 0xE0) | 28);
        uint8_t type = unit[0] & 0x1F;
        size_t pos = 1;
        bool first = true;
        while (pos < size) {
            size_t room = kRtpRoom - 2 - (t != nullptr ? rtsp::kFrameTrailerSize : 0);
            size_t n = size - pos < room ? size - pos : room;
            bool end = pos + n == size;
            uint8_t fu[2] = {indicator, static_cast<uint8_t>((first ? 0x80 : 0) | (end ? 0x40 : 0) | type)};
            packet(*out, track, clock, end && endOfFrame, t, fu, 2, unit + pos, n);
            pos += n;
            first = false;
            t = nullptr;
        }
    });
    return out->count > 0;
}

bool packetizeAac(const uint8_t *data, size_t length, uint8_t track, TrackClock &clock,
                  const rtsp::FrameTrailer &trailer, Packets *out) {
    out->bytes.clear();
    out->count = 0;
    if (data == nullptr) return false;
    if (length >= 7 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0) {
        size_t head = (data[1] & 1) ? 7 : 9;
        if (length < head) return false;
        data += head;
        length -= head;
    }
    if (length == 0) return false;
    if (length > kAacMax) {
        KX_LOGE("Error,len=%zu,packageSize=%zu", length, kAacMax);
        return false;
    }
    out->rtpTime = clock.nextAudio();
    // AU-headers-length 16 bits, then one AU header: 13-bit size, 3-bit index 0.
    uint8_t au[4] = {0x00, 0x10, static_cast<uint8_t>(length >> 5), static_cast<uint8_t>((length & 0x1F) << 3)};
    packet(*out, track, clock, true, &trailer, au, sizeof au, data, length);
    return true;
}

}  // namespace kx::rtspserve
