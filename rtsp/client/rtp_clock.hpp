// Stream times of pictures from the RTP timestamps of their packets.
//
// RTP timestamps are presentation times on the track's clock: a stream with B-frames carries
// them in decoding order, so they do not rise from frame to frame, and they wrap at 2^32.
// The clock unwraps them against the timestamp seen last (a signed 32-bit step) and anchors
// the first picture of a session at the wall-clock time it arrived, so that stream times are
// wall-clock seconds like those of the library's own server. A step that no real stream takes
// (more than ten minutes either way) or another SSRC starts a new anchor.
#pragma once

#include <cstdint>

namespace kx::rtsp {

class RtpClock {
public:
    static constexpr uint32_t kDefaultRate = 90000;
    static constexpr double kLargestStepSeconds = 600.0;

    // A new session: the next picture anchors. rate is the track's clock in ticks per
    // second; 0 stands for the usual video clock of 90000.
    void reset(uint32_t rate);
    // Stream time (seconds) of a picture whose packets carry timestamp ts from source ssrc.
    // now() gives the wall-clock time; it is called only when an anchor is taken.
    double time(uint32_t ts, uint32_t ssrc, double (*now)());

    uint32_t rate() const { return rate_; }

private:
    double anchor(uint32_t ts, uint32_t ssrc, double (*now)());

    uint32_t rate_ = kDefaultRate;
    int64_t largestStep_ = static_cast<int64_t>(kLargestStepSeconds * kDefaultRate);
    bool anchored_ = false;
    uint32_t ssrc_ = 0;
    uint32_t last_ = 0;     // timestamp of the picture before
    int64_t ticks_ = 0;     // last_ unwrapped, counted from the anchor's timestamp
    double anchorTime_ = 0; // wall-clock time of the anchor
};

}  // namespace kx::rtsp
