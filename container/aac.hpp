// ADTS headers and frames, without I/O.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/bytereader.hpp"

namespace kx::aac {

struct AdtsHeader {
    uint8_t profile = 0;       // audio object type (2 = AAC LC)
    uint8_t rateIndex = 0;
    uint32_t sampleRate = 0;
    uint8_t channels = 0;
    uint16_t frameLength = 0;  // header included
    uint8_t headerLength = 7;  // 9 with the CRC
    uint16_t payloadLength = 0;
};

enum AdtsResult : int {
    kAdtsOk = 1,
    kAdtsEnd = 0,            // no bytes left: a clean end
    kAdtsBadSync = -1,
    kAdtsBadProfile = -2,    // not AAC LC
    kAdtsBadRate = -3,       // sampling-frequency index above 12
    kAdtsBadLength = -4,     // frame length shorter than its header
    kAdtsShortHeader = -5,   // fewer than 7 bytes left
    kAdtsShortPayload = -6,  // the frame runs past the end
};

// Sample rate of an MPEG-4 sampling-frequency index (0..12), 0 for others.
uint32_t sampleRateOf(unsigned index);

// Reads the header at b (7 bytes).
int adtsHeader(const uint8_t b[7], AdtsHeader *h);

// The next frame of the stream: on kAdtsOk, *payload points at its raw AAC data inside r and
// r is past the frame; on any other result r stays at the frame's start.
int adtsNext(ByteReader &r, AdtsHeader *h, const uint8_t **payload);

}  // namespace kx::aac
