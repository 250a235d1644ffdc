// AVI header, chunk and index bytes; header list and idx1 parsing.
#include "container/avi_layout.hpp"

#include <math.h>
#include <string.h>

namespace kx::avi {

namespace {

void put32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void putTag(uint8_t *p, const char (&s)[5]) { memcpy(p, s, 4); }

uint32_t upper(uint32_t tag) {
    uint32_t out = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t c = uint8_t(tag >> (8 * i));
        if (c >= 'a' && c <= 'z') c = uint8_t(c - 'a' + 'A');
        out |= uint32_t(c) << (8 * i);
    }
    return out;
}

uint8_t codecOf(uint32_t tag) {
    const uint32_t t = upper(tag);
    if (t == fourcc("MJPG")) return 1;
    if (t == fourcc("H264") || t == fourcc("AVC1") || t == fourcc("X264")) return 2;
    return 0;
}

// One stream list: its header and format chunks.
void parseStream(ByteReader r, int number, StreamInfo *info) {
    uint32_t type = 0, handler = 0, scale = 0, rate = 0, compression = 0;
    bool haveFormat = false;
    while (r.remaining() >= 8) {
        uint32_t id = 0, size = 0;
        r.le32(&id);
        r.le32(&size);
        ByteReader body = r.sub(size);
        if (!body.ok()) return;
        if (size & 1) r.skip(1);
        if (id == fourcc("strh") && size >= 28) {
            body.le32(&type);
            body.le32(&handler);
            body.skip(12);
            body.le32(&scale);
            body.le32(&rate);
        } else if (id == fourcc("strf") && size >= 20) {
            body.skip(16);
            body.le32(&compression);
            haveFormat = true;
        }
    }
    if (type != fourcc("vids") || info->stream >= 0) return;
    info->stream = number;
    info->scale = scale;
    info->rate = rate;
    info->codecTag = haveFormat && codecOf(compression) ? compression : handler;
    info->codec = codecOf(info->codecTag);
}

}  // namespace

bool paddedSize(uint32_t n, uint32_t *padded) {
    const uint64_t p = (uint64_t(n) + 3) & ~uint64_t(3);
    if (p > UINT32_MAX) return false;
    *padded = uint32_t(p);
    return true;
}

bool roomFor(uint64_t fileSize, uint64_t frames, uint32_t padded) {
    const uint64_t finished = fileSize + kChunkHead + padded + 8 + kIndexEntry * (frames + 1);
    return finished - 8 <= kMaxRiffSize;
}

uint32_t microsPerFrame(double frameRate) {
    if (!(frameRate > 0) || !isfinite(frameRate)) return 0;
    const double us = round(1000000.0 / frameRate);
    if (!(us >= 1) || us > double(UINT32_MAX)) return 0;
    return uint32_t(us);
}

void writeHeader(const Header &h, uint8_t out[kHeaderSize]) {
    memset(out, 0, kHeaderSize);
    const char *handler = h.codec == 2 ? "H264" : "MJPG";
    putTag(out + 0, "RIFF");
    put32(out + 4, uint32_t(h.fileSize - 8));
    memcpy(out + 8, "AVI LIST", 8);
    put32(out + 16, 208);
    memcpy(out + 20, "hdrlavih", 8);
    put32(out + 28, 56);
    put32(out + 32, h.microsPerFrame);
    put32(out + 36, 0x600000);
    put32(out + 44, 0x10);
    put32(out + 48, h.frames);
    put32(out + 56, 1);
    put32(out + 64, h.width);
    put32(out + 68, h.height);
    putTag(out + 88, "LIST");
    put32(out + 92, 132);
    memcpy(out + 96, "strlstrh", 8);
    put32(out + 104, 48);
    putTag(out + 108, "vids");
    memcpy(out + 112, handler, 4);
    put32(out + 128, h.microsPerFrame);
    put32(out + 132, 1000000);
    put32(out + 140, h.frames);
    putTag(out + 156, "strf");
    put32(out + 160, 40);
    put32(out + 164, 40);
    put32(out + 168, h.width);
    put32(out + 172, h.height);
    put16(out + 176, 1);
    put16(out + 178, 24);
    memcpy(out + 180, handler, 4);
    put32(out + 184, 230400);
    putTag(out + 204, "LIST");
    put32(out + 208, 16);
    memcpy(out + 212, "odmldmlh", 8);
    put32(out + 220, 4);
    put32(out + 224, h.frames);
    putTag(out + 228, "LIST");
    put32(out + 232, uint32_t(h.moviEnd - kMoviTag));
    putTag(out + 236, "movi");
}

void writeChunkHead(uint32_t padded, uint8_t out[kChunkHead]) {
    putTag(out, "00db");
    put32(out + 4, padded);
}

void writeIndexEntry(uint32_t offsetFromMovi, uint32_t size, uint8_t out[kIndexEntry]) {
    putTag(out, "00db");
    put32(out + 4, 0x12);
    put32(out + 8, offsetFromMovi);
    put32(out + 12, size);
}

double StreamInfo::frameRate() const {
    if (scale != 0 && rate != 0) return double(rate) / double(scale);
    if (microsPerFrame != 0) return 1000000.0 / double(microsPerFrame);
    return 0;
}

int parseHeaderList(ByteReader r, StreamInfo *info) {
    bool haveMain = false;
    int streams = 0;
    while (r.remaining() >= 8) {
        uint32_t id = 0, size = 0;
        r.le32(&id);
        r.le32(&size);
        ByteReader body = r.sub(size);
        if (!body.ok()) return kMalformed;
        if (size & 1) r.skip(1);
        if (id == fourcc("avih") && size >= 40) {
            body.le32(&info->microsPerFrame);
            body.skip(12);
            body.le32(&info->totalFrames);
            body.skip(12);
            body.le32(&info->width);
            body.le32(&info->height);
            haveMain = true;
        } else if (id == fourcc("LIST") && size >= 4) {
            uint32_t type = 0;
            body.le32(&type);
            if (type == fourcc("strl")) parseStream(body.sub(body.remaining()), streams++, info);
        }
    }
    if (!haveMain || info->stream < 0) return kNoVideo;
    if (info->codec == 0) return kBadCodec;
    const double fps = info->frameRate();
    if (!(fps > 0) || !isfinite(fps)) return kBadRate;
    return kOk;
}

int parseIndex(ByteReader r, int stream, uint64_t moviTag, uint64_t moviEnd, std::vector<Entry> *entries) {
    if (stream < 0 || stream > 99) return kNoVideo;
    const uint8_t d0 = uint8_t('0' + stream / 10), d1 = uint8_t('0' + stream % 10);
    entries->clear();
    while (r.remaining() >= kIndexEntry) {
        const uint8_t *tag = r.bytes(4);
        uint32_t flags = 0, offset = 0, size = 0;
        r.le32(&flags);
        r.le32(&offset);
        r.le32(&size);
        if (tag[0] != d0 || tag[1] != d1 || tag[2] != 'd' || (tag[3] != 'b' && tag[3] != 'c')) continue;
        // The entry's offset names its chunk header; the data follow it.
        const uint64_t data = moviTag + uint64_t(offset) + kChunkHead;
        if (data < moviTag + 4 || data + size > moviEnd) return kBadEntry;
        entries->push_back({data, size});
    }
    return kOk;
}

}  // namespace kx::avi
