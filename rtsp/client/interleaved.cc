#include "rtsp/client/interleaved.hpp"

#include <algorithm>
#include <cstring>

#include "core/log.hpp"
#include "kx/memory.h"
#include "kx/time.h"
#include "rtsp/client/answer.hpp"
#include "rtsp/client/text.hpp"
#include "rtsp/frame_trailer.hpp"

#define RX_LABEL "rtspClient_private_client_do_9_recvPLAY"
#define RX_LOGE(fmt, ...) KX_LOG_ERROR_AT(5, __LINE__, RX_LABEL, fmt __VA_OPT__(, ) __VA_ARGS__)
#define RX_LOGI(fmt, ...) KX_LOG_INFO_AT(5, __LINE__, RX_LABEL, fmt __VA_OPT__(, ) __VA_ARGS__)

namespace kx::rtsp {

namespace {
constexpr unsigned char kStartCode[4] = {0, 0, 0, 1};
constexpr size_t kOpen = static_cast<size_t>(-1);

uint16_t be16(const unsigned char *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const unsigned char *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
}  // namespace

Reassembler::Reassembler(unsigned char **buffer, uint32_t *bufferSize)
    : buffer_(buffer), bufferSize_(bufferSize), scratch_(65536 + 16), wallClock_(kx_time_GMT_get) {}

void Reassembler::reset(uint8_t videoChannel, uint8_t payloadType, uint32_t clockRate) {
    channel_ = videoChannel;
    payloadType_ = payloadType;
    stage_ = Stage::header;
    held_ = 0;
    line_.clear();
    skipLeft_ = 0;
    prevValid_ = false;
    newFrame_ = false;
    prevMarker_ = false;
    markers_ = Markers::unknown;
    packetWaits_ = false;
    frameIndex_ = 0;
    clock_.reset(clockRate);
    rtpTime_ = -1.0;
    // Nothing learned from an earlier connection describes the new one.
    info_ = {};
    sps_.clear();
    pps_.clear();
    codeChanged_ = false;
    resetFrame();
}

void Reassembler::resetFrame() {
    frameLen_ = 0;
    damaged_ = overflow_ = fuOpen_ = false;
    sawSps_ = sawPps_ = codeInserted_ = false;
    nals_.clear();
}

Reassembler::Span Reassembler::want() {
    switch (stage_) {
    case Stage::header: return {hdr_ + held_, 4 - held_};
    case Stage::text: return {textBuf_, textWant_};
    case Stage::skip: return {scratch_.data(), std::min(skipLeft_, scratch_.size())};
    case Stage::rtp: return {rtp_ + held_, 12 - held_};
    case Stage::extHead: return {ext_ + held_, 4 - held_};
    case Stage::prefetch: return {pre_ + held_, preLen_ - held_};
    case Stage::payload: return {*buffer_ + frameLen_, left_};
    case Stage::aggregate: return {scratch_.data() + aggLen_, left_};
    case Stage::ready:
    case Stage::failed: break;
    }
    return {nullptr, 0};
}

int Reassembler::commit(size_t n) {
    switch (stage_) {
    case Stage::header:
        held_ += n;
        return onHeader();
    case Stage::text:
        for (size_t i = 0; i < n; ++i) {
            char c = static_cast<char>(textBuf_[i]);
            if (++textTotal_ > kAnswerCap) return leaveText(i, n);  // not an answer after all
            if (c == '\n') {
                std::string_view line(line_);
                if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
                if (line.empty()) {
                    line_.clear();
                    if (textBody_ > 0) {
                        beginSkip(static_cast<size_t>(textBody_), After::header);
                        return skipLeft_ == 0 ? afterSkip() : kMore;
                    }
                    stage_ = Stage::header;
                    held_ = 0;
                    return kMore;
                }
                if (istartsWith(line, "Content-Length")) {
                    size_t colon = line.find(':');
                    long body = colon == std::string_view::npos ? -1 : parseSmallNumber(line.substr(colon + 1));
                    if (body < 0 || static_cast<size_t>(body) > kAnswerCap) return leaveText(i + 1, n);
                    textBody_ = body;
                }
                line_.clear();
            } else if (line_.size() < 256) {
                line_ += c;
            }
            textWant_ = (c == '\n' || c == '\r') ? 1 : 2;
        }
        return kMore;
    case Stage::skip:
        skipLeft_ -= n;
        return skipLeft_ == 0 ? afterSkip() : kMore;
    case Stage::rtp:
        held_ += n;
        return held_ == 12 ? onRtp() : kMore;
    case Stage::extHead:
        held_ += n;
        if (held_ < 4) return kMore;
        held_ = 0;
        {
            size_t ext = static_cast<size_t>(be16(ext_ + 2)) * 4;
            if (4 + ext > payloadLen_) {
                RX_LOGE("Invalid header extension(=%zu/%zu) recv from the server:\"%s\",frameIndex=%u.", ext,
                        payloadLen_, server_.c_str(), frameIndex_);
                stage_ = Stage::failed;
                return kFatal;
            }
            payloadLen_ -= 4 + ext;
            beginSkip(ext, After::prefetch);
            return skipLeft_ == 0 ? afterSkip() : kMore;
        }
    case Stage::prefetch:
        held_ += n;
        return held_ == preLen_ ? onPrefetch() : kMore;
    case Stage::payload:
        frameLen_ += n;
        left_ -= n;
        return left_ == 0 ? packetEnd() : kMore;
    case Stage::aggregate:
        aggLen_ += n;
        left_ -= n;
        return left_ == 0 ? packetEnd() : kMore;
    case Stage::ready:
    case Stage::failed: break;
    }
    return stage_ == Stage::failed ? kFatal : kMore;
}

size_t Reassembler::feed(const unsigned char *data, size_t n, int *result) {
    size_t used = 0;
    int r = stage_ == Stage::ready ? kFrame : stage_ == Stage::failed ? kFatal : kMore;
    while (r == kMore && used < n) {
        if (stage_ == Stage::header && held_ == 0) {
            // Resynchronisation: stray bytes go in one step up to the next candidate start.
            const unsigned char *p = data + used, *end = data + n;
            while (p < end && *p != '$' && *p != 'R') ++p;
            used = static_cast<size_t>(p - data);
            if (used == n) break;
        } else if (stage_ == Stage::skip) {
            size_t k = std::min(skipLeft_, n - used);
            used += k;
            skipLeft_ -= k;
            if (skipLeft_ == 0) r = afterSkip();
            continue;
        }
        Span span = want();
        if (span.size == 0) {
            r = kFatal;
            break;
        }
        size_t k = std::min(span.size, n - used);
        memcpy(span.data, data + used, k);
        used += k;
        r = commit(k);
    }
    *result = r;
    return used;
}

// Gives up on a text answer: the bytes of the read not yet looked at are the start of
// whatever follows and go to the packet header search.
int Reassembler::leaveText(size_t from, size_t n) {
    stage_ = Stage::header;
    held_ = 0;
    for (size_t i = from; i < n && held_ < sizeof hdr_; ++i) hdr_[held_++] = textBuf_[i];
    return onHeader();
}

int Reassembler::onHeader() {
    for (;;) {
        if (held_ == 0) return kMore;
        if (hdr_[0] == '$') {
            if (held_ < 4) return kMore;
            held_ = 0;
            size_t len = be16(hdr_ + 2);
            if (hdr_[1] != channel_) {
                // Audio, RTCP or anything else on its own channel.
                beginSkip(len, After::header);
                return skipLeft_ == 0 ? afterSkip() : kMore;
            }
            if (len < 12) {
                RX_LOGE("Invalid lenth(=%zu/%hhu) recv  from the server:\"%s\",frameIndex=%u.", len, payloadType_,
                        server_.c_str(), frameIndex_);
                stage_ = Stage::failed;
                return kFatal;
            }
            packetLen_ = len;
            stage_ = Stage::rtp;
            return kMore;
        }
        if (hdr_[0] == 'R') {
            if (held_ < 4) return kMore;
            if (memcmp(hdr_, "RTSP", 4) == 0) {
                held_ = 0;
                stage_ = Stage::text;
                line_ = "RTSP";
                textTotal_ = 4;
                textBody_ = 0;
                textWant_ = 2;
                return kMore;
            }
        }
        // Stray byte: drop up to the next candidate start.
        size_t i = 1;
        while (i < held_ && hdr_[i] != '$' && hdr_[i] != 'R') ++i;
        memmove(hdr_, hdr_ + i, held_ - i);
        held_ -= i;
    }
}

void Reassembler::beginSkip(size_t n, After after) {
    stage_ = Stage::skip;
    skipLeft_ = n;
    after_ = after;
}

int Reassembler::afterSkip() {
    held_ = 0;
    switch (after_) {
    case After::header: stage_ = Stage::header; return kMore;
    case After::extHead: stage_ = Stage::extHead; return kMore;
    case After::prefetch:
        if (payloadLen_ == 0) {
            stage_ = Stage::header;
            return kMore;
        }
        preLen_ = std::min<size_t>(payloadLen_, 2);
        stage_ = Stage::prefetch;
        return kMore;
    case After::packetEnd: return packetEnd();
    case After::videoEnd: return videoPacketEnd();
    }
    return kMore;
}

int Reassembler::onRtp() {
    held_ = 0;
    if ((rtp_[0] >> 6) != 2) {
        RX_LOGE("Invalid RTP version(=%d) recv from the server:\"%s\",frameIndex=%u.", rtp_[0] >> 6, server_.c_str(),
                frameIndex_);
        stage_ = Stage::failed;
        return kFatal;
    }
    if ((rtp_[1] & 0x7f) != payloadType_) {
        beginSkip(packetLen_ - 12, After::header);
        return skipLeft_ == 0 ? afterSkip() : kMore;
    }
    size_t csrc = static_cast<size_t>(rtp_[0] & 0x0f) * 4;
    bool ext = (rtp_[0] & 0x10) != 0;
    if (12 + csrc + (ext ? 4 : 0) > packetLen_) {
        RX_LOGE("Invalid lenth(=%zu/%hhu) recv  from the server:\"%s\",frameIndex=%u.", packetLen_, payloadType_,
                server_.c_str(), frameIndex_);
        stage_ = Stage::failed;
        return kFatal;
    }
    payloadLen_ = packetLen_ - 12 - csrc;
    beginSkip(csrc, ext ? After::extHead : After::prefetch);
    return skipLeft_ == 0 ? afterSkip() : kMore;
}

int Reassembler::onPrefetch() {
    held_ = 0;
    uint32_t ts = be32(rtp_ + 4), ssrc = be32(rtp_ + 8);
    uint16_t seq = be16(rtp_ + 2);
    newFrame_ = !prevValid_ || ts != prevTs_ || ssrc != prevSsrc_;
    if (prevValid_) judgeMarkers(newFrame_, ssrc == prevSsrc_, seq == static_cast<uint16_t>(prevSeq_ + 1));
    if (prevValid_ && newFrame_) {
        int r = finishFrame();
        if (r == kFrame) {
            packetWaits_ = true;
            return r;
        }
    } else if (prevValid_ && seq != static_cast<uint16_t>(prevSeq_ + 1)) {
        if (!damaged_)
            RX_LOGE("Lost data(%#hhx,%#hhx,%hu/%hu) recv from the server:\"%s\",frameIndex=%u.", pre_[0],
                    second(), seq, prevSeq_, server_.c_str(), frameIndex_);
        damaged_ = true;
    }
    return startPacket();
}

// Marker bits are not all honest. RFC 6184 sets the marker on the last packet of an access
// unit, and most senders do; some set it on the last packet of every slice or of every NAL
// unit (parameter sets included), or on none. A marker that ends a frame early splits a
// picture in two frames, which no later packet can repair, since the first part has been
// handed on; a marker that is ignored only delays the frame until the next one starts. So a
// marker ends a frame only once the stream has shown what its markers mean: the first
// timestamp change right after a marked packet trusts them; a marked packet followed by one
// of the same timestamp (more of the same access unit), or a timestamp change right after an
// unmarked packet, distrusts them for good. A stream that marks every slice shows it within
// its first multi-slice frame, normally before any frame was ended at a marker; one that
// does so only after it was trusted has one picture handed on in two parts (no slice is
// lost: the rest comes as a frame of its own), and the end of frames falls back to
// timestamp changes from then on. A sequence gap hides which packet carried the marker, so
// it proves nothing either way. The cost of waiting for proof is the stream's first frame,
// which still ends at the next one's first packet.
void Reassembler::judgeMarkers(bool newFrame, bool sameSource, bool contiguous) {
    if (markers_ == Markers::distrusted || !sameSource) return;
    if (!newFrame) {
        if (prevMarker_) markers_ = Markers::distrusted;
    } else if (contiguous) {
        markers_ = prevMarker_ ? Markers::trusted : Markers::distrusted;
    }
}

// The end of a video packet that startPacket took on: with a trusted marker, its frame ends.
int Reassembler::videoPacketEnd() {
    stage_ = Stage::header;
    held_ = 0;
    prevMarker_ = (rtp_[1] & 0x80) != 0;
    if (!prevMarker_ || markers_ != Markers::trusted) return kMore;
    int r = finishFrame();
    if (r == kFrame) packetWaits_ = false;
    return r;
}

int Reassembler::finishFrame() {
    if (fuOpen_) damage("truncated unit");
    fuOpen_ = false;
    closeNal();
    if (overflow_ || damaged_) {
        if (overflow_)
            RX_LOGE("Frame larger than %zu bytes from the server:\"%s\" dropped,frameIndex=%u.", maxFrame_,
                    server_.c_str(), frameIndex_);
        else
            RX_LOGE("Error frame recv from the server:\"%s\" error,len=%zu,frameIndex=%u.", server_.c_str(), frameLen_,
                    frameIndex_);
        ++dropped_;
        frameIndex_ = (frameIndex_ + 1) & 0xFFFFFFu;
        resetFrame();
        return kMore;
    }
    if (frameLen_ == 0) {
        resetFrame();
        return kMore;
    }
    learn();
    stage_ = Stage::ready;
    return kFrame;
}

int Reassembler::frameDone() {
    if (stage_ != Stage::ready) return stage_ == Stage::failed ? kFatal : kMore;
    frameIndex_ = (frameIndex_ + 1) & 0xFFFFFFu;
    resetFrame();
    if (!packetWaits_) {
        stage_ = Stage::header;
        held_ = 0;
        return kMore;
    }
    packetWaits_ = false;
    return startPacket();
}

void Reassembler::damage(const char *why) {
    if (!damaged_)
        RX_LOGE("Invalid data(%s,%#hhx,%#hhx) recv from the server:\"%s\",frameIndex=%u.", why, pre_[0],
                second(), server_.c_str(), frameIndex_);
    damaged_ = true;
}

bool growBuffer(unsigned char **buffer, uint32_t *size, size_t need, size_t cap) {
    constexpr size_t kLargest = UINT32_MAX & ~static_cast<size_t>(7);
    if (*buffer != nullptr && need <= *size) return true;
    cap = std::min(cap, kLargest);
    if (need > cap) return false;
    size_t have = *buffer != nullptr ? *size : 0;
    size_t target = std::max(need, std::min(have + have / 2, cap));
    target = std::min((target + 7) & ~static_cast<size_t>(7), kLargest);
    void *p = *buffer != nullptr ? kx_memery_realloc(*buffer, have, target) : kx_memery_malloc(target);
    if (p == nullptr) return false;
    *buffer = static_cast<unsigned char *>(p);
    *size = static_cast<uint32_t>(target);
    return true;
}

bool Reassembler::room(size_t extra) { return growBuffer(buffer_, bufferSize_, frameLen_ + extra, maxFrame_); }

bool Reassembler::append(const void *data, size_t n) {
    if (overflow_) return false;
    if (!room(n)) {
        overflow_ = true;
        frameLen_ = 0;
        nals_.clear();
        return false;
    }
    memcpy(*buffer_ + frameLen_, data, n);
    frameLen_ += n;
    return true;
}

void Reassembler::closeNal() {
    if (!nals_.empty() && nals_.back().end == kOpen) nals_.back().end = frameLen_;
}

int Reassembler::beginNal(uint8_t type) {
    closeNal();
    if (type == 5 && !codeInserted_ && !(sawSps_ && sawPps_)) {
        if (code_.empty()) {
            RX_LOGE("VideoCode is NULL,data(%#hhx,%#hhx) recv from the server:\"%s\",frameIndex=%u.", pre_[0],
                    second(), server_.c_str(), frameIndex_);
            stage_ = Stage::failed;
            return kNoVideoCode;
        }
        append(code_.data(), code_.size());
        codeInserted_ = true;
    }
    if (type == 7) sawSps_ = true;
    if (type == 8) sawPps_ = true;
    if (!overflow_) nals_.push_back({frameLen_ + 4, kOpen, type});
    return kMore;
}

void Reassembler::learn() {
    bool any = false;
    for (const Nal &n : nals_) {
        if (n.type != 7 && n.type != 8) continue;
        size_t end = n.end == kOpen ? frameLen_ : n.end;
        if (end <= n.start || end > frameLen_) continue;
        std::string unit(reinterpret_cast<const char *>(*buffer_) + n.start, end - n.start);
        (n.type == 7 ? sps_ : pps_) = std::move(unit);
        any = true;
    }
    if (!any || sps_.empty() || pps_.empty()) return;
    std::string code;
    code.append(reinterpret_cast<const char *>(kStartCode), 4).append(sps_);
    code.append(reinterpret_cast<const char *>(kStartCode), 4).append(pps_);
    if (code != code_) {
        code_ = std::move(code);
        codeChanged_ = true;
    }
}

int Reassembler::startPacket() {
    prevValid_ = true;
    prevTs_ = be32(rtp_ + 4);
    prevSsrc_ = be32(rtp_ + 8);
    prevSeq_ = be16(rtp_ + 2);
    if (newFrame_) {
        // The frame's first packet: its arrival anchors a session's times.
        newFrame_ = false;
        rtpTime_ = clock_.time(prevTs_, prevSsrc_, wallClock_);
    }
    snap_ = {frameLen_, nals_.size(), fuOpen_, sawSps_, sawPps_, codeInserted_};
    rest_ = payloadLen_ - preLen_;
    toFrame_ = false;
    unsigned char b0 = pre_[0];
    uint8_t t = b0 & 0x1f;
    auto skipRest = [this] {
        beginSkip(rest_, After::videoEnd);
        return skipLeft_ == 0 ? afterSkip() : kMore;
    };
    auto toPayload = [this, &skipRest] {
        if (overflow_ || !room(rest_)) {
            if (!overflow_) append(nullptr, maxFrame_ + 1);  // marks the overflow
            return skipRest();
        }
        toFrame_ = true;
        left_ = rest_;
        stage_ = Stage::payload;
        return left_ == 0 ? packetEnd() : kMore;
    };
    if (b0 & 0x80) {
        RX_LOGI("Error data(%#hhx,%#hhx,%hu) recv from the server:\"%s\",frameIndex=%u.", b0, second(),
                prevSeq_, server_.c_str(), frameIndex_);
        if (fuOpen_) damage("forbidden bit");
        fuOpen_ = false;
        return skipRest();
    }
    if (overflow_) return skipRest();
    if (t >= 1 && t <= 23) {
        if (fuOpen_) damage("truncated unit");
        fuOpen_ = false;
        int r = beginNal(t);
        if (r < 0) return r;
        append(kStartCode, 4);
        append(pre_, preLen_);
        return toPayload();
    }
    if (t == 28) {
        if (preLen_ < 2) {
            if (fuOpen_) damage("short fragment");
            fuOpen_ = false;
            return skipRest();
        }
        unsigned char fh = pre_[1];
        bool start = (fh & 0x80) != 0, end = (fh & 0x40) != 0;
        uint8_t nt = fh & 0x1f;
        if (start) {
            if (fuOpen_) damage("truncated unit");
            int r = beginNal(nt);
            if (r < 0) return r;
            unsigned char nal = static_cast<unsigned char>((b0 & 0xe0) | nt);
            append(kStartCode, 4);
            append(&nal, 1);
            fuOpen_ = !end;
            return toPayload();
        }
        if (!fuOpen_) {
            damage("fragment without start");
            return skipRest();
        }
        fuOpen_ = !end;
        return toPayload();
    }
    if (t == 24) {
        if (fuOpen_) damage("truncated unit");
        fuOpen_ = false;
        memcpy(scratch_.data(), pre_, preLen_);
        aggLen_ = preLen_;
        left_ = rest_;
        stage_ = Stage::aggregate;
        return left_ == 0 ? packetEnd() : kMore;
    }
    RX_LOGI("Invalid data(%#hhx,%#hhx,%hu) recv from the server:\"%s\",frameIndex=%u.", b0, second(),
            prevSeq_, server_.c_str(), frameIndex_);
    if (fuOpen_) damage("truncated unit");
    fuOpen_ = false;
    return skipRest();
}

void Reassembler::rollback() {
    frameLen_ = snap_.frameLen;
    nals_.resize(std::min(nals_.size(), snap_.nals));
    if (snap_.fuOpen && !nals_.empty()) nals_.back().end = kOpen;
    fuOpen_ = snap_.fuOpen;
    sawSps_ = snap_.sawSps;
    sawPps_ = snap_.sawPps;
    codeInserted_ = snap_.codeInserted;
}

void Reassembler::takeTrailer(const unsigned char *pad, size_t p) {
    FrameTrailer t;
    if (!decodeFrameTrailer(pad, p, &t)) return;
    rtspClient_frameInfo info{};
    info.frameTime = t.streamTime;
    info.frameIndex = t.frameIndex;
    info.kind = t.kind;
    info.isKeyFrame = t.keyFrame;
    info.width = t.width;
    info.height = t.height;
    info.frameRate = t.frameRate;
    info_ = info;
    frameIndex_ = info.frameIndex;
}

int Reassembler::packetEnd() {
    bool aggregate = stage_ == Stage::aggregate;
    stage_ = Stage::header;
    held_ = 0;
    if (rtp_[0] & 0x20) {
        unsigned char last;
        if (aggregate) last = scratch_[aggLen_ - 1];
        else last = rest_ > 0 ? (*buffer_)[frameLen_ - 1] : pre_[preLen_ - 1];
        size_t p = last;
        if (p == 0 || p > payloadLen_) {
            RX_LOGE("Invalid padding(=%zu/%zu) the server:\"%s\" error,frameIndex=%u.", p, payloadLen_,
                    server_.c_str(), frameIndex_);
            stage_ = Stage::failed;
            return kFatal;
        }
        if (aggregate) {
            if (p >= aggLen_) return videoPacketEnd();
            takeTrailer(scratch_.data() + aggLen_ - p, p);
            aggLen_ -= p;
        } else {
            if (p > rest_) {
                // The padding covers the unit header itself: nothing usable in this packet.
                rollback();
                return videoPacketEnd();
            }
            takeTrailer(*buffer_ + frameLen_ - p, p);
            frameLen_ -= p;
        }
    }
    if (aggregate) {
        int r = unpackAggregate(aggLen_);
        if (r < 0) return r;
    }
    return videoPacketEnd();
}

int Reassembler::unpackAggregate(size_t content) {
    const unsigned char *d = scratch_.data();
    size_t pos = 1;
    while (pos < content) {
        if (content - pos < 2) {
            damage("aggregate");
            break;
        }
        size_t size = be16(d + pos);
        pos += 2;
        if (size == 0 || size > content - pos) {
            damage("aggregate");
            break;
        }
        const unsigned char *unit = d + pos;
        pos += size;
        if (unit[0] & 0x80) continue;
        int r = beginNal(unit[0] & 0x1f);
        if (r < 0) return r;
        if (!append(kStartCode, 4) || !append(unit, size)) break;
    }
    return kMore;
}

}  // namespace kx::rtsp
