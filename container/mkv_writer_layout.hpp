// Matroska writer's element bytes, without I/O: the fixed head, track entries, cluster and
// block heads, cues. Every element's size is the length of the content built behind it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace kx::mkvw {

using Bytes = std::vector<uint8_t>;

// Offsets inside the fixed head, counted from its first byte.
constexpr size_t kHeadSize = 252;         // EBML header, Segment head, SeekHead, Info
constexpr size_t kSegmentSizeAt = 44;     // 01 and 7 bytes
constexpr size_t kSegmentDataAt = 52;     // SeekHead positions count from here
constexpr size_t kCuesPositionAt = 98;    // 7-byte SeekPosition of the Cues entry
constexpr size_t kDurationAt = 218;       // 4-byte float, milliseconds
constexpr size_t kClusterSizeAt = 4;      // 5-byte size behind the Cluster id
constexpr size_t kClusterHeadSize = 9;    // id and size
constexpr uint64_t kMaxClusterSize = (uint64_t(1) << 35) - 2;

void putId(Bytes &b, uint32_t id);
// Shortest EBML size of n (never the all-ones "unknown" value of its length).
void putSize(Bytes &b, uint64_t n);
void putBig(uint8_t *p, uint64_t v, size_t n);
void element(Bytes &b, uint32_t id, const Bytes &content);
void uintElement(Bytes &b, uint32_t id, uint64_t v);
void floatElement(Bytes &b, uint32_t id, float v);
void textElement(Bytes &b, uint32_t id, const std::string &text);

// The fixed head with the segment size, cue position and duration left for the finish.
Bytes head();

struct TrackSpec {
    uint8_t number = 0;
    uint8_t type = 0;        // 1 video, 2 audio, 17 subtitles
    std::string codecId;
    Bytes codecPrivate;
    uint32_t width = 0, height = 0;
    uint64_t defaultDurationNs = 0;  // video
    float sampleRate = 0;            // audio
    uint8_t channels = 0;            // audio
};
Bytes tracks(const std::vector<TrackSpec> &specs);

// BITMAPINFOHEADER of Motion-JPEG pictures of that size.
Bytes bitmapHeader(uint32_t width, uint32_t height);
// SSA script header of a subtitle track.
std::string ssaHeader(uint32_t playResX, uint32_t playResY, const std::string &font, uint32_t fontSize);

// Cluster id, a 5-byte size to patch (kClusterSizeAt) and the Timecode element.
Bytes clusterHead(uint64_t timeMs);
void clusterSize(uint64_t size, uint8_t out[5]);
// SimpleBlock head for a payload of n bytes.
Bytes simpleBlockHead(uint8_t track, int16_t relativeMs, uint8_t flags, uint64_t n);
// A BlockGroup holding one Block of the payload and its duration.
Bytes blockGroup(uint8_t track, int16_t relativeMs, uint64_t durationMs, const uint8_t *payload, size_t n);

struct Cue {
    uint64_t timeMs;
    uint64_t clusterPosition;  // relative to the segment data
};
Bytes cues(const std::vector<Cue> &points, uint8_t track);

// Annex B to 4-byte big-endian NAL lengths, appended to out; false when there is no unit.
bool lengthPrefixed(const uint8_t *annexB, size_t n, Bytes *out);
// The SPS and PPS of an AVC configuration record as 4-byte-length units; false when malformed.
bool parameterSetsOf(const Bytes &avcc, Bytes *out);

}  // namespace kx::mkvw
