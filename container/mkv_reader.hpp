// Matroska indexing engine: the file's tracks and where every frame lies, read through a byte
// source so that the same code runs over files and over bytes in memory.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "core/bytereader.hpp"
#include "kx/mkv.h"

namespace kx::mkv {

// Element ids, with their length markers (as ByteReader::ebmlId gives them).
enum : uint32_t {
    kIdEbml = 0x1A45DFA3,
    kIdSegment = 0x18538067,
    kIdSeekHead = 0x114D9B74,
    kIdSeek = 0x4DBB,
    kIdSeekId = 0x53AB,
    kIdSeekPosition = 0x53AC,
    kIdInfo = 0x1549A966,
    kIdTimecodeScale = 0x2AD7B1,
    kIdTracks = 0x1654AE6B,
    kIdTrackEntry = 0xAE,
    kIdTrackNumber = 0xD7,
    kIdTrackType = 0x83,
    kIdCodecId = 0x86,
    kIdCodecPrivate = 0x63A2,
    kIdName = 0x536E,
    kIdDefaultDuration = 0x23E383,
    kIdVideo = 0xE0,
    kIdPixelWidth = 0xB0,
    kIdPixelHeight = 0xBA,
    kIdAudio = 0xE1,
    kIdSamplingFrequency = 0xB5,
    kIdChannels = 0x9F,
    kIdCluster = 0x1F43B675,
    kIdTimecode = 0xE7,
    kIdSimpleBlock = 0xA3,
    kIdBlockGroup = 0xA0,
    kIdBlock = 0xA1,
    kIdBlockDuration = 0x9B,
    kIdReferenceBlock = 0xFB,
    kIdCues = 0x1C53BB6B,
    kIdTags = 0x1254C367,
    kIdChapters = 0x1043A770,
    kIdAttachments = 0x1941A469,
    kIdVoid = 0xEC,
    kIdCrc32 = 0xBF,
};

// Random access to the bytes of a file. Positions are absolute; a failed read is logged.
class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    virtual bool read(uint64_t pos, void *out, size_t n) = 0;
    // What the records show as the file handle.
    virtual unsigned long long handle() const { return 0; }
};

class MemorySource : public Source {
public:
    MemorySource(const void *data, size_t size) : data_(static_cast<const uint8_t *>(data)), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t pos, void *out, size_t n) override;

private:
    const uint8_t *data_;
    size_t size_;
};

class FileSource : public Source {
public:
    explicit FileSource(FILE *file);
    uint64_t size() const override { return size_; }
    bool read(uint64_t pos, void *out, size_t n) override;
    unsigned long long handle() const override { return reinterpret_cast<uintptr_t>(file_); }
    bool ok() const { return ok_; }

private:
    FILE *file_;
    uint64_t size_ = 0;
    bool ok_ = false;
};

// Frames of one laced block. The reader is at the lace-count byte; payloadSize counts the
// bytes from there to the end of the block, which may be more than the reader holds.
struct Lace {
    uint64_t offset;  // from the lace-count byte
    uint64_t size;
};
enum LaceResult : int {
    kLaceOk = 1,
    kLaceShort = 0,   // the lace sizes run past the bytes the reader holds: give it more
    kLaceBad = -1,    // sizes that overrun the block, or a malformed size
    kLaceFixed = -2,  // fixed-size lacing, which is not taken
};
int splitLaces(ByteReader r, uint64_t payloadSize, unsigned lacing, std::vector<Lace> *out);

struct Track {
    bool present = false;
    uint8_t type = 0;
    uint8_t codec = 0;
    uint32_t width = 0;   // video width, or the audio configuration byte
    uint32_t height = 0;  // video height, or the audio sample rate
    float frameRate = 0;
    bool hasName = false;
    std::string name;
    std::vector<uint8_t> codecPrivate;  // block form: length, kind byte, payload
    std::vector<video_mkv_frame> frames;
};

struct Index {
    uint64_t fileEnd = 0;
    uint16_t first[3] = {0, 0, 0};  // video, audio, subtitles
    uint16_t count[3] = {0, 0, 0};
    uint64_t timecodeScale = 1000000;  // nanoseconds per timecode tick
    std::vector<Track> rows;           // by track number; rows[0] is empty
};

struct Limits {
    uint64_t maxFrames = VIDEO_MKV_MAX_FRAMES;
    uint64_t maxHeadElement = 16u << 20;  // SeekHead, Info and Tracks are read whole
};

// Indexes the Matroska file that begins at `start`: 1, or a negative code after its record.
int readIndex(Source &src, uint64_t start, Index *out, const Limits &limits = Limits());

}  // namespace kx::mkv
