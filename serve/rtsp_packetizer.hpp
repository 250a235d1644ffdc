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
//
// Video runs at 90 kHz and follows presentation times: a frame's timestamp is the stretch's
// anchor plus 90000 x (its stream time - the anchor's), so a B-frame sent after the picture
// it is shown before gets the lower timestamp. A stretch starts (anchored at the highest
// timestamp given so far plus one frame period, so the client's clock runs on) at the first
// frame, after restart(), and at a discontinuity: a stream time more than kJumpAhead beyond
// the stretch's highest, more than kReorderWindow below it, or not above the stretch's first
// (lowest) one, which is how a looped source or a repeated time shows. Frames whose stream
// time is unusable (not finite, negative) and frames played backward (their times fall)
// advance by one period each. The period is 90000 / frameRate when the rate is positive and
// finite, else the distance of the last two frames in order (else one tick). Consecutive
// frames never share a timestamp. AAC advances by 1024.
class TrackClock {
public:
    static constexpr double kJumpAhead = 3.0;      // seconds
    static constexpr double kReorderWindow = 0.5;  // seconds

    uint32_t nextVideo(double frameRate, double streamTime, bool backward = false);
    uint32_t nextAudio();
    // The next video frame starts a new stretch (a new position of the same stream).
    void restart() { anchored_ = false; }
    uint16_t seq() const { return seq_; }
    uint32_t time() const { return time_; }
    uint16_t takeSeq() { return seq_++; }

private:
    uint16_t seq_ = 0;
    uint32_t time_ = 0;
    bool started_ = false;      // a video frame has been timed
    bool anchored_ = false;     // stream times map onto the clock from the anchor
    double top_ = 0.0;          // highest clock given, unwrapped and without truncation
    double anchorClock_ = 0.0;  // clock of the stretch's anchor (same scale as top_)
    double anchorTime_ = 0.0;   // its stream time
    double lowTime_ = 0.0, highTime_ = 0.0;  // lowest and highest stream times of the stretch
    double lastTime_ = 0.0;     // stream time of the previous frame, NaN when unusable
    double gap_ = 0.0;          // ticks between the last two frames in order (0: none yet)
};

struct Packets {
    std::string bytes;       // the frame's packets, back to back
    uint16_t firstSeq = 0;   // sequence number of the first packet
    uint32_t rtpTime = 0;    // RTP timestamp of the frame
    uint32_t count = 0;      // packets
};

// H.264 access unit (Annex B) of track t, timed by the clock (backward: the frame is played
// backward). No packets (false) for data shorter than 4 bytes or without a start code.
bool packetizeH264(const uint8_t *data, size_t length, uint8_t track, TrackClock &clock, double frameRate,
                   double streamTime, const rtsp::FrameTrailer &trailer, Packets *out, bool backward = false);

// AAC frame of track t, raw or behind an ADTS header (removed). No packets (false) for an
// empty payload or one above kAacMax (logged).
bool packetizeAac(const uint8_t *data, size_t length, uint8_t track, TrackClock &clock,
                  const rtsp::FrameTrailer &trailer, Packets *out);

}  // namespace kx::rtspserve
