// The library's frame trailer: 31 bytes that our RTSP server appends as RTP padding to the
// first packet of every frame, and that our RTSP client takes off again.
//
//   offset size  field (multi-byte values little-endian)
//   0      8     "TI.kxlib"
//   8      8     stream time (double)
//   16     4     frame index
//   20     1     kind: 1 video, 2 audio
//   21     1     video: key-frame code; audio: 0
//   22     2     video: width; audio: 0
//   24     2     video: height; audio: 0
//   26     4     video: frame rate (float); audio: 0
//   30     1     31, the RTP padding count
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::rtsp {

inline constexpr size_t kFrameTrailerSize = 31;

struct FrameTrailer {
    double streamTime = 0.0;
    uint32_t frameIndex = 0;
    uint8_t kind = 0;  // 1 video, 2 audio, 0 none
    int8_t keyFrame = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    float frameRate = 0.0f;
};

// Writes the 31 trailer bytes. Audio trailers carry zeros in the video fields whatever
// the record holds.
void encodeFrameTrailer(const FrameTrailer &trailer, unsigned char out[kFrameTrailerSize]);

// Reads a trailer from an RTP padding of p bytes (its last byte is the count itself). True
// when the padding carries one: more than 8 bytes starting with "TI.kxlib". A shorter
// padding than 31 fills what it carries and leaves the rest zero.
bool decodeFrameTrailer(const unsigned char *padding, size_t p, FrameTrailer *out);

}  // namespace kx::rtsp
