// RTP over RTSP interleaved framing for the server: H.264 (single NAL unit packets and FU-A
// fragments) and AAC (RFC 3640 AAC-hbr, one access unit per packet), with the library's
// frame trailer as RTP padding of each frame's first packet.
//
// A frame becomes one contiguous run of '$'-framed packets, so the same bytes can be queued
// on every client of a stream. H.264 packets are at most kPacketSize bytes with the 4-byte
// prefix; an AAC packet holds one whole access unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "rtsp/frame_trailer.hpp"

namespace kx::rtspserve {

inline constexpr size_t kPacketSize = 1460;                        // '$' prefix included
inline constexpr size_t kRtpRoom = kPacketSize - 4 - 12;           // payload + padding
inline constexpr size_t kSingleUnitMax = kRtpRoom - rtsp::kFrameTrailerSize;  // 1413
inline constexpr size_t kAacMax = 8191;  // the 13-bit AU size of AAC-hbr
inline constexpr uint8_t kPayloadType = 96;

// Sequence number and RTP clock of one track of a stream.
class TrackClock {
public:
    // Advances the clock for the next frame. H.264 runs at 90 kHz: by 90000 / frameRate when
    // the rate is positive and finite, else by the distance of the stream times (at least
    // one tick, so that consecutive frames never share a timestamp). AAC advances by 1024.
    uint32_t nextVideo(double frameRate, double streamTime);
    uint32_t nextAudio();
    uint16_t seq() const { return seq_; }
    uint32_t time() const { return time_; }
    uint16_t takeSeq() { return seq_++; }

private:
    uint16_t seq_ = 0;
    uint32_t time_ = 0;
    double exact_ = 0.0;  // 90 kHz clock without truncation (wraps with time_)
    bool hasTime_ = false;
    double lastStreamTime_ = 0.0;
};

struct Packets {
    std::string bytes;       // the frame's packets, back to back
    uint16_t firstSeq = 0;   // sequence number of the first packet
    uint32_t rtpTime = 0;    // RTP timestamp of the frame
    uint32_t count = 0;      // packets
};

// H.264 access unit (Annex B) of track t. No packets (false) for data shorter than 4 bytes
// or without a start code.
bool packetizeH264(const uint8_t *data, size_t length, uint8_t track, TrackClock &clock, double frameRate,
                   double streamTime, const rtsp::FrameTrailer &trailer, Packets *out);

// AAC frame of track t, raw or behind an ADTS header (removed). No packets (false) for an
// empty payload or one above kAacMax (logged).
bool packetizeAac(const uint8_t *data, size_t length, uint8_t track, TrackClock &clock,
                  const rtsp::FrameTrailer &trailer, Packets *out);

}  // namespace kx::rtspserve
