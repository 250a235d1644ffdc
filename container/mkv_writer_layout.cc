// Element bytes of the Matroska writer.
#include "container/mkv_writer_layout.hpp"

#include <stdio.h>
#include <string.h>

#include "core/bytereader.hpp"
#include "media/h264_units.hpp"

namespace kx::mkvw {

void putId(Bytes &b, uint32_t id) {
    size_t n = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
    for (size_t i = n; i-- > 0;) b.push_back(uint8_t(id >> (8 * i)));
}

void putSize(Bytes &b, uint64_t n) {
    size_t len = 1;
    while (len < 8 && n >= (uint64_t(1) << (7 * len)) - 1) ++len;
    const uint64_t v = n | (uint64_t(1) << (7 * len));
    for (size_t i = len; i-- > 0;) b.push_back(uint8_t(v >> (8 * i)));
}

void putBig(uint8_t *p, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = uint8_t(v >> (8 * (n - 1 - i)));
}

void element(Bytes &b, uint32_t id, const Bytes &content) {
    putId(b, id);
    putSize(b, content.size());
    b.insert(b.end(), content.begin(), content.end());
}

void uintElement(Bytes &b, uint32_t id, uint64_t v) {
    size_t n = 1;
    while (n < 8 && (v >> (8 * n)) != 0) ++n;
    putId(b, id);
    putSize(b, n);
    for (size_t i = n; i-- > 0;) b.push_back(uint8_t(v >> (8 * i)));
}

void floatElement(Bytes &b, uint32_t id, float v) {
    uint32_t u;
    memcpy(&u, &v, 4);
    putId(b, id);
    putSize(b, 4);
    for (int i = 3; i >= 0; --i) b.push_back(uint8_t(u >> (8 * i)));
}

void textElement(Bytes &b, uint32_t id, const std::string &text) {
    element(b, id, Bytes(text.begin(), text.end()));
}

Bytes head() {
    static const uint8_t kHead[] = {
        // EBML header
        0x1A, 0x45, 0xDF, 0xA3, 0xA3, 0x42, 0x86, 0x81, 0x01, 0x42, 0xF7, 0x81, 0x01, 0x42, 0xF2, 0x81, 0x04, 0x42,
        0xF3, 0x81, 0x08, 0x42, 0x82, 0x88, 'm', 'a', 't', 'r', 'o', 's', 'k', 'a', 0x42, 0x87, 0x81, 0x02, 0x42,
        0x85, 0x81, 0x02,
        // Segment, size patched at the finish
        0x18, 0x53, 0x80, 0x67, 0x01, 0x00, 0x00, 0x00, 0x00, 0x3E, 0x9B, 0xB4,
        // SeekHead: Info at 0x35, Tracks at 0xC8, Cues patched
        0x11, 0x4D, 0x9B, 0x74, 0xB0, 0x4D, 0xBB, 0x8B, 0x53, 0xAB, 0x84, 0x15, 0x49, 0xA9, 0x66, 0x53, 0xAC, 0x81,
        0x35, 0x4D, 0xBB, 0x8B, 0x53, 0xAB, 0x84, 0x16, 0x54, 0xAE, 0x6B, 0x53, 0xAC, 0x81, 0xC8, 0x4D, 0xBB, 0x91,
        0x53, 0xAB, 0x84, 0x1C, 0x53, 0xBB, 0x6B, 0x53, 0xAC, 0x87, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        // Info
        0x15, 0x49, 0xA9, 0x66, 0x40, 0x8D, 0x2A, 0xD7, 0xB1, 0x83, 0x0F, 0x42, 0x40, 0x4D, 0x80, 0xA3};
    static const char kMuxingApp[] = "libebml v1.2.3 + libmatroska v1.3.0";
    static const char kWritingApp[] = "mkvmerge v5.5.0 ('Healer') built on Apr  6 2012 21:43:24";
    static const uint8_t kTail[] = {0x44, 0x89, 0x84, 0x00, 0x00, 0x00, 0x00,  // Duration, patched
                                    0x44, 0x61, 0x88, 0x05, 0x88, 0xA3, 0xFD, 0xB0, 0x2B, 0xC2, 0x00,
                                    0x73, 0xA4, 0x90, 0xBE, 0xC9, 0xE2, 0xBB, 0xA5, 0xA0, 0x82, 0x14,
                                    0x82, 0xB0, 0xC0, 0x43, 0xDD, 0xD3, 0x11, 0x8D};
    Bytes b(kHead, kHead + sizeof kHead);
    b.insert(b.end(), kMuxingApp, kMuxingApp + sizeof kMuxingApp - 1);
    b.insert(b.end(), {0x57, 0x41, 0xB8});
    b.insert(b.end(), kWritingApp, kWritingApp + sizeof kWritingApp - 1);
    b.insert(b.end(), kTail, kTail + sizeof kTail);
    return b;
}

Bytes tracks(const std::vector<TrackSpec> &specs) {
    Bytes all;
    for (const TrackSpec &t : specs) {
        Bytes e;
        uintElement(e, 0xD7, t.number);
        uintElement(e, 0x73C5, t.number);
        uintElement(e, 0x83, t.type);
        uintElement(e, 0x9C, 0);
        textElement(e, 0x22B59C, "und");
        textElement(e, 0x86, t.codecId);
        if (t.type == 1) {
            uintElement(e, 0x23E383, t.defaultDurationNs);
            Bytes v;
            uintElement(v, 0xB0, t.width);
            uintElement(v, 0xBA, t.height);
            element(e, 0xE0, v);
        } else if (t.type == 2) {
            Bytes a;
            floatElement(a, 0xB5, t.sampleRate);
            uintElement(a, 0x9F, t.channels);
            element(e, 0xE1, a);
        }
        if (!t.codecPrivate.empty()) element(e, 0x63A2, t.codecPrivate);
        element(all, 0xAE, e);
    }
    Bytes out;
    element(out, 0x1654AE6B, all);
    return out;
}

Bytes bitmapHeader(uint32_t width, uint32_t height) {
    Bytes b(40, 0);
    auto le = [&](size_t at, uint32_t v, size_t n) {
        for (size_t i = 0; i < n; ++i) b[at + i] = uint8_t(v >> (8 * i));
    };
    le(0, 40, 4);
    le(4, width, 4);
    le(8, height, 4);
    le(12, 1, 2);
    le(14, 24, 2);
    memcpy(&b[16], "MJPG", 4);
    le(20, width * height * 3, 4);
    return b;
}

std::string ssaHeader(uint32_t playResX, uint32_t playResY, const std::string &font, uint32_t fontSize) {
    char res[96];
    snprintf(res, sizeof res, "PlayResX: %u\r\nPlayResY: %u\r\n", playResX, playResY);
    std::string s = "[Script Info]\r\nScriptType: v4.00\r\nCollisions: Normal\r\n";
    s += res;
    s += "PlayDepth: 0\r\nTimer1: 100.0000\r\n[v4 Styles]\r\n"
         "Format: Name,Fontname,Fontsize,PrimaryColour,SecondaryColour,TertiaryColour,BackColour,Bold,Italic,"
         "BorderStyle,Outline,Shadow,Alignment,MarginL,MarginR,MarginV,AlphaLevel,Encoding\r\n";
    s += "Style: New Style," + font + "," + std::to_string(fontSize) +
         ",&H0000ff,&H0000ff,&H000000,&H000000,-1,0,1,1,1,5,0,0,0,0,134\r\n";
    s += "[Events]\r\nFormat: Marked,Start,End,Style,Actor,MarginL,MarginR,MarginV,Effect,Text\r\n";
    return s;
}

Bytes clusterHead(uint64_t timeMs) {
    Bytes b = {0x1F, 0x43, 0xB6, 0x75, 0x08, 0, 0, 0, 0};
    uintElement(b, 0xE7, timeMs);
    return b;
}

void clusterSize(uint64_t size, uint8_t out[5]) {
    out[0] = uint8_t(0x08 | ((size >> 32) & 7));
    putBig(out + 1, size, 4);
}

Bytes simpleBlockHead(uint8_t track, int16_t relativeMs, uint8_t flags, uint64_t n) {
    Bytes b;
    putId(b, 0xA3);
    putSize(b, 4 + n);
    b.push_back(uint8_t(0x80 | track));
    b.push_back(uint8_t(uint16_t(relativeMs) >> 8));
    b.push_back(uint8_t(uint16_t(relativeMs)));
    b.push_back(flags);
    return b;
}

Bytes blockGroup(uint8_t track, int16_t relativeMs, uint64_t durationMs, const uint8_t *payload, size_t n) {
    Bytes block = {uint8_t(0x80 | track), uint8_t(uint16_t(relativeMs) >> 8), uint8_t(uint16_t(relativeMs)), 0};
    block.insert(block.end(), payload, payload + n);
    Bytes group;
    element(group, 0xA1, block);
    uintElement(group, 0x9B, durationMs);
    Bytes out;
    element(out, 0xA0, group);
    return out;
}

Bytes cues(const std::vector<Cue> &points, uint8_t track) {
    Bytes all;
    for (const Cue &c : points) {
        Bytes pos, point;
        uintElement(pos, 0xF7, track);
        uintElement(pos, 0xF1, c.clusterPosition);
        uintElement(point, 0xB3, c.timeMs);
        element(point, 0xB7, pos);
        element(all, 0xBB, point);
    }
    Bytes out;
    element(out, 0x1C53BB6B, all);
    return out;
}

bool lengthPrefixed(const uint8_t *annexB, size_t n, Bytes *out) {
    const size_t before = out->size();
    kx::h264::forEachUnit(annexB, n, [&](const uint8_t *unit, size_t size) {
        // A unit ends where the next start code begins; zero bytes before it are padding.
        while (size > 1 && unit[size - 1] == 0) --size;
        uint8_t len[4];
        putBig(len, size, 4);
        out->insert(out->end(), len, len + 4);
        out->insert(out->end(), unit, unit + size);
    });
    return out->size() > before;
}

bool parameterSetsOf(const Bytes &avcc, Bytes *out) {
    kx::ByteReader r(avcc.data(), avcc.size());
    uint8_t version = 0, count = 0;
    if (!r.u8(&version) || version != 1 || !r.skip(4) || !r.u8(&count)) return false;
    for (int set = 0; set < 2; ++set) {
        if (set == 1 && !r.u8(&count)) return false;
        for (unsigned i = 0; i < (set == 0 ? count & 31u : count); ++i) {
            uint16_t len = 0;
            const uint8_t *unit = nullptr;
            if (!r.be16(&len) || !(unit = r.bytes(len))) return false;
            uint8_t l[4];
            putBig(l, len, 4);
            out->insert(out->end(), l, l + 4);
            out->insert(out->end(), unit, unit + len);
        }
    }
    return true;
}

}  // namespace kx::mkvw
