#include "rtsp/client/rtp_clock.hpp"

#include <algorithm>
#include <cstdlib>

namespace kx::rtsp {

void RtpClock::reset(uint32_t rate) {
    rate_ = rate != 0 ? rate : kDefaultRate;
    // A signed 32-bit step cannot tell more than 2^31 - 1 ticks either way.
    largestStep_ = std::min<int64_t>(static_cast<int64_t>(kLargestStepSeconds * rate_), INT32_MAX);
    anchored_ = false;
    ssrc_ = last_ = 0;
    ticks_ = 0;
    anchorTime_ = 0;
}

double RtpClock::anchor(uint32_t ts, uint32_t ssrc, double (*now)()) {
    anchored_ = true;
    ssrc_ = ssrc;
    last_ = ts;
    ticks_ = 0;
    anchorTime_ = now();
    return anchorTime_;
}

double RtpClock::time(uint32_t ts, uint32_t ssrc, double (*now)()) {
    if (!anchored_ || ssrc != ssrc_) return anchor(ts, ssrc, now);
    // Modulo 2^32, the nearer way round: across the wrap and back for reordered pictures.
    const int64_t step = static_cast<int32_t>(ts - last_);
    if (std::llabs(step) > largestStep_) return anchor(ts, ssrc, now);
    ticks_ += step;
    last_ = ts;
    return anchorTime_ + static_cast<double>(ticks_) / rate_;
}

}  // namespace kx::rtsp
