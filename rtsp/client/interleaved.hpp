// Interleaved RTP stream ('$', channel, 16-bit length, RTP packet) to H.264 access units.
//
// The reassembler is a pure state machine over a byte stream: the owner asks where the
// next bytes go (want), reads at most that many there, and reports how many arrived
// (commit). Payload bytes land directly at their final place in the frame buffer, which
// the owner provides as two pointers (block and size, kx_memery allocator) so the frame
// consumer may exchange the block between frames.
//
// What it does with the stream:
//  - text answers ("RTSP/1.0 ...", with their Content-Length body) between packets are
//    skipped, other stray bytes are skipped up to the next '$';
//  - packets on channels other than the video channel, and packets of another payload
//    type on it (RTCP, audio), are skipped whatever their length;
//  - RTP CSRC lists and header extensions are skipped; padding is removed, and a padding
//    that carries the library's frame trailer ("TI.kxlib") becomes the frame info;
//  - single NAL unit packets, FU-A fragments and STAP-A aggregates become Annex B units
//    (00 00 00 01 before each); other packet types are consumed and dropped;
//  - a frame ends with the packet that carries the RTP marker bit, once the stream has shown
//    that its markers end access units (see Markers), and else when a packet with another
//    timestamp or SSRC arrives; a frame that lost a packet (sequence gap, fragment without
//    its start, truncated fragment, bad aggregate) is dropped; a frame above the size cap is
//    dropped;
//  - the parameter sets (SPS, PPS) of the stream are learned from the description and
//    from the stream itself; an IDR unit in a frame that does not carry both gets them
//    inserted in front of it;
//  - each frame's stream time is the frame description's, or else the one its RTP
//    timestamp gives on the track's clock (RtpClock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kx/rtspclient.h"
#include "rtsp/client/rtp_clock.hpp"

namespace kx::rtsp {

// Makes the block at *buffer (size *size, kx_memery allocator) hold at least need bytes,
// keeping its content. A null block or a size of 0, as a frame consumer may leave them, is
// replaced. The block grows by half at least (up to cap) so that a frame growing packet by
// packet reallocates rarely; sizes are multiples of 8. False, with the block unchanged, when
// need is above cap or memory is exhausted.
bool growBuffer(unsigned char **buffer, uint32_t *size, size_t need, size_t cap);

class Reassembler {
public:
    enum Result : int {
        kMore = 0,           // consumed; ask want() again
        kFrame = 1,          // a frame is ready: deliver it, then call frameDone()
        kFatal = -1,         // the stream is malformed; reset the connection
        kNoVideoCode = -4,   // an IDR unit without any known parameter sets
    };

    struct Span {
        unsigned char *data;
        size_t size;
    };

    // buffer and bufferSize are the frame block and its size (kx_memery allocator); both
    // may be exchanged by the frame consumer while a frame is ready.
    Reassembler(unsigned char **buffer, uint32_t *bufferSize);

    // Starts a new stream: nothing held, frame index 0, no frame description, no parameter
    // sets learned from an earlier stream, and the stream times anchored anew. clockRate:
    // ticks per second of the video track's RTP timestamps (0: 90000).
    void reset(uint8_t videoChannel, uint8_t payloadType, uint32_t clockRate = 0);
    // Wall-clock source of the anchor of stream times (kx_time_GMT_get unless replaced).
    void setWallClock(double (*now)()) { wallClock_ = now; }
    void setMaxFrame(size_t bytes) { maxFrame_ = bytes; }
    // Server text used in log records.
    void setServer(std::string server) { server_ = std::move(server); }

    // Parameter sets known for the stream (Annex B), from the description.
    void setVideoCode(const std::string &code) { code_ = code; }
    const std::string &videoCode() const { return code_; }
    // True once after the parameter sets changed through in-band units.
    bool takeVideoCodeChanged() {
        bool c = codeChanged_;
        codeChanged_ = false;
        return c;
    }

    // Where the next bytes go; size 0 while a frame waits for frameDone() or after kFatal.
    Span want();
    // n bytes (n <= want().size) were written at want().data.
    int commit(size_t n);
    // The ready frame was handed on (taken or refused): the next frame starts. kFrame when
    // the packet that waited behind the frame makes up a whole frame at once.
    int frameDone();

    // The same from memory: takes bytes from data[0..n) until they are used up, a frame is
    // ready (kFrame) or the stream failed, and returns how many it took; *result is the
    // last result. Payload bytes are copied once, to their place in the frame; bytes that
    // are skipped (stray bytes, other channels, dropped packets) are not copied at all.
    size_t feed(const unsigned char *data, size_t n, int *result);

    bool frameReady() const { return stage_ == Stage::ready; }
    // want() names the frame buffer itself: the rest of a packet's payload goes there.
    bool wantsPayload() const { return stage_ == Stage::payload; }
    uint32_t frameLength() const { return static_cast<uint32_t>(frameLen_); }
    uint32_t frameIndex() const { return frameIndex_; }
    // The last frame description received, kind 0 when none.
    const rtspClient_frameInfo &frameInfo() const { return info_; }
    // Stream time of the ready frame: the frame description's while the stream sends one,
    // else the one its RTP timestamp gives (wall-clock seconds); -1 before any packet.
    double frameTime() const { return info_.kind == 1 ? info_.frameTime : rtpTime_; }

    // Counters (for tests and records).
    uint64_t framesDropped() const { return dropped_; }

private:
    enum class Stage : uint8_t {
        header, text, skip, rtp, extHead, prefetch, payload, aggregate, ready, failed
    };
    enum class After : uint8_t { header, extHead, prefetch, packetEnd, videoEnd };
    // What the stream's marker bits are known to mean. A marker ends the frame only while
    // trusted: the first timestamp change that follows a packet with the marker makes them
    // trusted; a timestamp change right after a packet without it, or a packet of the same
    // timestamp after one with it, makes them distrusted for the rest of the stream.
    enum class Markers : uint8_t { unknown, trusted, distrusted };
    struct Nal {
        size_t start, end;  // content (behind the start code) in the frame
        uint8_t type;
    };
    struct Snapshot {
        size_t frameLen, nals;
        bool fuOpen, sawSps, sawPps, codeInserted;
    };

    int onHeader();
    int leaveText(size_t from, size_t n);
    int onRtp();
    int onPrefetch();
    int startPacket();
    int packetEnd();
    int videoPacketEnd();
    void judgeMarkers(bool newFrame, bool sameSource, bool contiguous);
    int finishFrame();
    void resetFrame();
    void beginSkip(size_t n, After after);
    int afterSkip();
    bool room(size_t extra);
    bool append(const void *data, size_t n);
    int beginNal(uint8_t type);
    void closeNal();
    void damage(const char *why);
    void learn();
    void takeTrailer(const unsigned char *pad, size_t p);
    int unpackAggregate(size_t content);
    void rollback();
    unsigned char second() const { return preLen_ > 1 ? pre_[1] : static_cast<unsigned char>(0); }

    unsigned char **buffer_;
    uint32_t *bufferSize_;
    size_t maxFrame_ = RTSPCLIENT_MAX_FRAME_SIZE;
    std::string server_;
    uint8_t channel_ = 0, payloadType_ = 96;

    Stage stage_ = Stage::header;
    unsigned char hdr_[4] = {};
    size_t held_ = 0;  // bytes in hdr_, rtp_, ext_ or pre_ of the current stage
    // text answers
    unsigned char textBuf_[2] = {};
    size_t textWant_ = 2;
    std::string line_;
    size_t textTotal_ = 0;
    long textBody_ = 0;
    // skipping
    std::vector<unsigned char> scratch_;
    size_t skipLeft_ = 0;
    After after_ = After::header;
    // current packet
    size_t packetLen_ = 0;  // RTP packet length L
    unsigned char rtp_[12] = {};
    unsigned char ext_[4] = {};
    size_t payloadLen_ = 0;  // payload including padding
    unsigned char pre_[2] = {};
    size_t preLen_ = 0;
    size_t left_ = 0;        // payload bytes still to read
    size_t rest_ = 0;        // payload bytes behind pre_
    bool toFrame_ = false;   // rest_ goes into the frame (else aggregate or skip)
    size_t aggLen_ = 0;
    Snapshot snap_{};
    // previous video packet
    bool prevValid_ = false;
    uint32_t prevTs_ = 0, prevSsrc_ = 0;
    uint16_t prevSeq_ = 0;
    bool newFrame_ = false;  // the packet being started is the first of its frame
    bool prevMarker_ = false;  // the previous video packet carried the marker bit
    Markers markers_ = Markers::unknown;
    // The ready frame was ended by the first packet of the next one, which waits behind it
    // (else by its own last packet, and nothing waits).
    bool packetWaits_ = false;
    // stream times
    RtpClock clock_;
    double (*wallClock_)();
    double rtpTime_ = -1.0;  // of the frame being assembled or ready
    // frame
    size_t frameLen_ = 0;
    uint32_t frameIndex_ = 0;
    bool damaged_ = false, overflow_ = false, fuOpen_ = false;
    bool sawSps_ = false, sawPps_ = false, codeInserted_ = false;
    std::vector<Nal> nals_;
    rtspClient_frameInfo info_{};
    std::string code_, sps_, pps_;
    bool codeChanged_ = false;
    uint64_t dropped_ = 0;
};

}  // namespace kx::rtsp
