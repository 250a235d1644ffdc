// AVI layout without I/O: the writer's header, chunk and index bytes, and the reader's parse
// of a header list and an idx1 index held in memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "core/bytereader.hpp"

namespace kx::avi {

constexpr size_t kHeaderSize = 240;   // RIFF head, hdrl list, odml list and the movi tag
constexpr uint64_t kMoviTag = 236;    // offset of "movi" from the header start
constexpr size_t kChunkHead = 8;      // "00db" and the size
constexpr size_t kIndexEntry = 16;
constexpr uint64_t kMaxRiffSize = 0xFFFFFFFFull;

constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

// Stored size of a frame of n bytes (rounded up to a multiple of 4); false when that does not
// fit 32 bits.
bool paddedSize(uint32_t n, uint32_t *padded);

// True when a recording of fileSize bytes (from the header start) holding `frames` frames can
// take one more chunk of `padded` bytes and still be finished (idx1 included) within the
// 32-bit RIFF size.
bool roomFor(uint64_t fileSize, uint64_t frames, uint32_t padded);

// Microseconds per frame of a frame rate; 0 when the rate is refused (0, negative, not
// finite, or giving a period of 0 or beyond 32 bits).
uint32_t microsPerFrame(double frameRate);

struct Header {
    uint32_t width = 0, height = 0;
    uint8_t codec = 0;         // 1 Motion-JPEG, 2 H.264
    uint32_t microsPerFrame = 0;
    uint32_t frames = 0;
    uint64_t moviEnd = 0;      // bytes from the header start to the end of the last chunk
    uint64_t fileSize = 0;     // bytes from the header start to the end of idx1
};
void writeHeader(const Header &h, uint8_t out[kHeaderSize]);
void writeChunkHead(uint32_t padded, uint8_t out[kChunkHead]);
void writeIndexEntry(uint32_t offsetFromMovi, uint32_t size, uint8_t out[kIndexEntry]);

// What the header list says about the first video stream.
struct StreamInfo {
    uint32_t width = 0, height = 0;
    uint8_t codec = 0;
    uint32_t codecTag = 0;         // the fourcc the codec was taken from
    uint32_t microsPerFrame = 0;   // avih
    uint32_t scale = 0, rate = 0;  // strh
    uint32_t totalFrames = 0;
    int stream = -1;               // number of the video stream (chunk ids "NNdb" / "NNdc")
    double frameRate() const;
};

enum Result : int {
    kOk = 1,
    kMalformed = -1,    // a chunk runs past its list
    kNoVideo = -2,      // no avih or no video stream
    kBadCodec = -3,     // neither Motion-JPEG nor H.264
    kBadRate = -4,      // no usable frame period
    kBadEntry = -5,     // an index entry points outside the movi list
};

// Parses the content of the "hdrl" list (after its type).
int parseHeaderList(ByteReader r, StreamInfo *info);

struct Entry {
    uint64_t offset;  // absolute data offset
    uint32_t size;
};
// Takes the video stream's entries of an idx1 body. moviTag is the absolute offset of the
// "movi" fourcc (entry offsets count from it) and moviEnd the end of that list: every frame
// must lie inside it.
int parseIndex(ByteReader r, int stream, uint64_t moviTag, uint64_t moviEnd, std::vector<Entry> *entries);

}  // namespace kx::avi
