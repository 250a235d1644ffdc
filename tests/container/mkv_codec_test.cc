// Matroska codec data over byte tables: codec private blocks from Annex B and ADTS, key data
// from configuration records (with the high-profile extension, several parameter sets, and the
// records that cannot give key data), stored samples to Annex B (every unit converted, lengths
// adding up exactly; key frames as one access unit with the key data in place), and ADTS
// headers from AudioSpecificConfig.
#include "kx/mkv.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/mkv_codec.hpp"
#include "kx/h264.h"
#include "tests/support/stdout_capture.hpp"

namespace {

using Capture = kxtest::CaptureShownOnFailure;
using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes block(uint8_t kind, const Bytes &payload) {
    const uint32_t n = static_cast<uint32_t>(payload.size());
    return cat({{uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24), kind}, payload});
}

const Bytes kSps = {0x67, 0x64, 0x00, 0x0B, 0xAC, 0xD9, 0x41, 0x41, 0xFB, 0x01};
const Bytes kPps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
const Bytes kCode = {0, 0, 0, 1};

// AVC configuration record with the given parameter sets; lengthByte is byte 4.
Bytes avcc(const std::vector<Bytes> &sps, const std::vector<Bytes> &pps, uint8_t lengthByte = 0xFF,
           const Bytes &tail = {}) {
    Bytes r = {1, 0x64, 0x00, 0x0B, lengthByte, uint8_t(0xE0 | sps.size())};
    for (const Bytes &s : sps) r = cat({r, {uint8_t(s.size() >> 8), uint8_t(s.size())}, s});
    r.push_back(uint8_t(pps.size()));
    for (const Bytes &p : pps) r = cat({r, {uint8_t(p.size() >> 8), uint8_t(p.size())}, p});
    return cat({r, tail});
}

Bytes keyData(const Bytes &record) {
    Bytes out(VIDEO_MKV_KEYDATA_MAX(record.size()));
    Bytes b = block(4, record);
    if (video_mkv_h264_get_keyData(out.data(), static_cast<uint32_t>(out.size()), b.data()) != 1) return {};
    out.resize(4 + VIDEO_MKV_CODECPRIVATE_LENGTH(out.data()));
    return out;
}

TEST(MkvCodec, KeyDataHoldsEveryParameterSetBehindStartCodes) {
    Capture cap;
    const Bytes sps2 = {0x67, 0x42, 0xC0, 0x1E, 0x8C};
    struct Case {
        const char *what;
        Bytes record;
        Bytes units;  // key data after its length
    } cases[] = {
        {"one SPS, one PPS", avcc({kSps}, {kPps}), cat({kCode, kSps, kCode, kPps, kCode})},
        // ffmpeg writes chroma format and bit depths behind the lists of a High profile record.
        {"high-profile extension", avcc({kSps}, {kPps}, 0xFF, {0xFD, 0xF8, 0xF8, 0x00}),
         cat({kCode, kSps, kCode, kPps, kCode})},
        {"two SPS", avcc({kSps, sps2}, {kPps}), cat({kCode, kSps, kCode, sps2, kCode, kPps, kCode})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes k = keyData(c.record);
        ASSERT_GE(k.size(), 4u);
        EXPECT_EQ(VIDEO_MKV_CODECPRIVATE_LENGTH(k.data()), c.units.size());
        EXPECT_EQ(Bytes(k.begin() + 4, k.end()), c.units);
    }
}

TEST(MkvCodec, RecordsWithoutUsableKeyDataAreRefused) {
    Capture cap;
    Bytes good = avcc({kSps}, {kPps});
    struct Case {
        const char *what;
        Bytes record;
    } cases[] = {
        {"two-byte NAL lengths", avcc({kSps}, {kPps}, 0xFD)},
        {"no PPS", avcc({kSps}, {})},
        {"no SPS", avcc({}, {kPps})},
        {"version 0", cat({{0}, Bytes(good.begin() + 1, good.end())})},
        {"SPS length past the end", Bytes(good.begin(), good.begin() + 12)},
        {"empty", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(keyData(c.record).empty());
    }
    // Room for the key data is checked too.
    Bytes b = block(4, good), out(8);
    EXPECT_EQ(video_mkv_h264_get_keyData(out.data(), static_cast<uint32_t>(out.size()), b.data()), -1);
}

TEST(MkvCodec, StoredSamplesBecomeAnnexBWhole) {
    const Bytes sei = {0x06, 0x05, 0x01, 0xAA};
    const Bytes slice1 = {0x41, 0x9A, 0x10, 0x20}, slice2 = {0x41, 0x9B, 0x30};
    struct Case {
        const char *what;
        Bytes sample;
        bool ok;
        Bytes annexB;
    } cases[] = {
        {"one unit", cat({be32(4), slice1}), true, cat({kCode, slice1})},
        {"SEI and two slices", cat({be32(4), sei, be32(4), slice1, be32(3), slice2}), true,
         cat({kCode, sei, kCode, slice1, kCode, slice2})},
        {"length one short of the end", cat({be32(4), slice1, be32(2), slice2}), false, {}},
        {"length past the end", cat({be32(5), slice1}), false, {}},
        {"three stray bytes", cat({be32(4), slice1, {0, 0, 1}}), false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes p = c.sample;
        ASSERT_EQ(kx::mkv::annexBInPlace(p.data(), p.size()), c.ok);
        if (c.ok) {
            EXPECT_EQ(p, c.annexB);
        }
    }
}

// The file readers: key data in front of a key frame, every unit of the sample converted, and
// the codes of the failures.
TEST(MkvCodec, H264SamplesReadFromAFile) {
    Capture cap;
    const Bytes sei = {0x06, 0x05, 0x01, 0xAA}, idr = {0x65, 0x88, 0x84, 0x00, 0x33};
    Bytes file = cat({{0xEE, 0xEE}, be32(4), sei, be32(5), idr, be32(9), idr});
    FILE *f = fmemopen(file.data(), file.size(), "rb");
    ASSERT_NE(f, nullptr);
    Bytes k = keyData(avcc({kSps}, {kPps}));
    const uint32_t sample = 17;
    Bytes out(k.size() + sample);
    int n = video_mkv_read_h264Stream_from_file(out.data(), static_cast<uint32_t>(out.size()), k.data(), f, 2, sample);
    EXPECT_EQ(n, static_cast<int>(k.size() - 4 + sample - 4));
    out.resize(n > 0 ? n : 0);
    EXPECT_EQ(out, cat({kCode, kSps, kCode, kPps, kCode, sei, kCode, idr}));

    Bytes plain(sample);
    EXPECT_EQ(video_mkv_read_h264Stream_from_file(plain.data(), sample, nullptr, f, 2, sample), 17);
    EXPECT_EQ(plain, cat({kCode, sei, kCode, idr}));
    // The last length claims 9 bytes where 5 are left.
    EXPECT_EQ(video_mkv_read_h264Stream_from_file(plain.data(), sample, nullptr, f, 15, 9), -3);
    EXPECT_EQ(video_mkv_read_h264Stream_from_file(plain.data(), sample - 1, nullptr, f, 2, sample), -4);
    EXPECT_EQ(video_mkv_read_h264Stream_from_file(out.data(), sample, k.data(), f, 2, sample), -4);
    EXPECT_EQ(video_mkv_read_h264Stream_from_file(plain.data(), sample, nullptr, f, 20, sample), -2);
    fclose(f);
}

// Key frames of the layouts files hold, read with the track's key data: an x264 sample (SEI,
// IDR), a raw stream remuxed with its sets in band beside the configuration record (the same
// sets, or those of a new picture size), and samples behind an access-unit delimiter, which
// stays the first unit. Each comes out as one access unit the key-frame classifier takes as
// parameter sets and IDR slice (3), giving the sets in force for the slice.
TEST(MkvCodec, KeyFramesReadWithKeyDataAreKeyFramesAsStored) {
    Capture cap;
    const Bytes sei = {0x06, 0x05, 0x01, 0xAA}, idr = {0x65, 0x88, 0x84, 0x00, 0x33}, aud = {0x09, 0x10};
    const Bytes sps2 = {0x67, 0x64, 0x00, 0x16, 0xAC, 0xD9, 0x40, 0xA0, 0x3D, 0xA1};
    const Bytes pps2 = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC1};
    auto stored = [](const std::vector<Bytes> &units) {
        Bytes out;
        for (const Bytes &u : units) out = cat({out, be32(static_cast<uint32_t>(u.size())), u});
        return out;
    };
    auto annexB = [&](const std::vector<Bytes> &units) {
        Bytes out;
        for (const Bytes &u : units) out = cat({out, kCode, u});
        return out;
    };
    struct Case {
        const char *what;
        std::vector<Bytes> sample, read;  // stored units, units read
        Bytes sps, pps;                   // what the classifier gives
    } cases[] = {
        {"SEI, IDR", {sei, idr}, {kSps, kPps, sei, idr}, kSps, kPps},
        {"remuxed: SPS, PPS, SEI, IDR", {kSps, kPps, sei, idr}, {kSps, kPps, kSps, kPps, sei, idr}, kSps, kPps},
        {"remuxed: SPS, PPS, IDR", {kSps, kPps, idr}, {kSps, kPps, kSps, kPps, idr}, kSps, kPps},
        {"remuxed, new picture size", {sps2, pps2, idr}, {kSps, kPps, sps2, pps2, idr}, sps2, pps2},
        {"delimiter, IDR", {aud, idr}, {aud, kSps, kPps, idr}, kSps, kPps},
        {"delimiter, SEI, IDR", {aud, sei, idr}, {aud, kSps, kPps, sei, idr}, kSps, kPps},
        {"delimiter, SPS, PPS, SEI, IDR", {aud, kSps, kPps, sei, idr}, {aud, kSps, kPps, kSps, kPps, sei, idr}, kSps,
         kPps},
    };
    const Bytes k = keyData(avcc({kSps}, {kPps}));
    ASSERT_FALSE(k.empty());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = cat({{0xEE, 0xEE, 0xEE}, stored(c.sample), {0xEE}});
        FILE *f = fmemopen(file.data(), file.size(), "rb");
        ASSERT_NE(f, nullptr);
        const uint32_t size = static_cast<uint32_t>(file.size() - 4);
        Bytes out(k.size() - 4 + size - 4);  // exactly what the reader needs
        int n = video_mkv_read_h264Stream_from_file(out.data(), static_cast<uint32_t>(out.size()), k.data(), f, 3, size);
        fclose(f);
        ASSERT_EQ(n, static_cast<int>(out.size()));
        EXPECT_EQ(out, annexB(c.read));
        const unsigned char *sps = nullptr, *pps = nullptr;
        uint32_t spsLength = 0, ppsLength = 0;
        EXPECT_EQ(video_h264_check_keyFrame_and_get_sps_pps(static_cast<uint32_t>(out.size()), out.data(), &sps,
                                                            &spsLength, &pps, &ppsLength),
                  3);
        if (sps != nullptr && pps != nullptr) {
            EXPECT_EQ(Bytes(sps, sps + spsLength), c.sps);
            EXPECT_EQ(Bytes(pps, pps + ppsLength), c.pps);
        }
    }
    // A delimiter alone has no unit to go in front of: the key data comes first.
    Bytes file = stored({aud});
    FILE *f = fmemopen(file.data(), file.size(), "rb");
    ASSERT_NE(f, nullptr);
    Bytes out(k.size() - 4 + file.size() - 4);
    EXPECT_EQ(video_mkv_read_h264Stream_from_file(out.data(), static_cast<uint32_t>(out.size()), k.data(), f, 0,
                                                  static_cast<uint32_t>(file.size())),
              static_cast<int>(out.size()));
    fclose(f);
    EXPECT_EQ(out, annexB({kSps, kPps, aud}));
}

TEST(MkvCodec, AdtsFramesFromStoredAac) {
    Capture cap;
    Bytes file = {0x21, 0x10, 0x05, 0x00};
    FILE *f = fmemopen(file.data(), file.size(), "rb");
    ASSERT_NE(f, nullptr);
    unsigned char asc[7];
    ASSERT_EQ(video_mkv_codecPrivate_aac_get_byParameter(asc, 2, 2, 48000), 1);
    Bytes out(11);
    EXPECT_EQ(video_mkv_read_aacStream_from_file(out.data(), 11, asc, f, 0, 4), 11);
    // AAC LC, index 3 (48000), two channels, 11 bytes, buffer fullness 0x7FF.
    EXPECT_EQ(out, (Bytes{0xFF, 0xF1, 0x4C, 0x80, 0x01, 0x7F, 0xFC, 0x21, 0x10, 0x05, 0x00}));
    EXPECT_EQ(video_mkv_read_aacStream_from_file(out.data(), 10, asc, f, 0, 4), -4);
    EXPECT_EQ(video_mkv_read_aacStream_from_file(out.data(), 11, asc, f, 1, 4), -2);
    Bytes big(9000);
    EXPECT_EQ(video_mkv_read_aacStream_from_file(big.data(), 9000, asc, f, 0, 8185), -3);
    const Bytes shortBlock = block(0, {0x11});
    EXPECT_EQ(video_mkv_read_aacStream_from_file(out.data(), 11, shortBlock.data(), f, 0, 4), -3);
    fclose(f);

    // Configurations ADTS cannot carry: object type 5 (SBR), frequency index 15.
    unsigned char head[7];
    for (Bytes cfg : {Bytes{0x2B, 0x10}, Bytes{0x17, 0x90}}) {
        Bytes b = block(0, cfg);
        EXPECT_EQ(video_mkv_aac_get_head(head, b.data(), 100), -1);
    }
}

TEST(MkvCodec, AacConfigurationFromRateAndFromAdts) {
    Capture cap;
    struct Case {
        uint32_t rate;
        int rv;
        unsigned index;
    } cases[] = {{96000, 1, 0}, {95999, 1, 1}, {88200, 1, 1}, {48000, 1, 3}, {44100, 1, 4}, {44099, 1, 5},
                 {22050, 1, 7}, {8000, 1, 11}, {7999, 1, 12}, {7350, 1, 12}, {7349, -1, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rate);
        unsigned char b[7] = {};
        ASSERT_EQ(video_mkv_codecPrivate_aac_get_byParameter(b, 2, 1, c.rate), c.rv);
        if (c.rv != 1) continue;
        EXPECT_EQ(VIDEO_MKV_CODECPRIVATE_LENGTH(b), 2u);
        EXPECT_EQ(b[4], 0);
        EXPECT_EQ(b[5], (2 << 3) | (c.index >> 1));
        EXPECT_EQ(b[6], ((c.index & 1) << 7) | (1 << 3));
    }
    // From an ADTS header: the same two bytes as from the parameters; a CRC header is refused.
    const unsigned char adts[7] = {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x7F, 0xFC};
    unsigned char fromHead[7], fromRate[7];
    ASSERT_EQ(video_mkv_codecPrivate_aac_get(fromHead, adts), 1);
    ASSERT_EQ(video_mkv_codecPrivate_aac_get_byParameter(fromRate, 2, 2, 44100), 1);
    EXPECT_EQ(memcmp(fromHead, fromRate, 7), 0);
    const unsigned char crc[7] = {0xFF, 0xF0, 0x50, 0x80, 0x01, 0x7F, 0xFC};
    EXPECT_EQ(video_mkv_codecPrivate_aac_get(fromHead, crc), -1);
}

TEST(MkvCodec, H264BlockFromAnAccessUnit) {
    Capture cap;
    const Bytes aud = {0x09, 0x10}, idr = {0x65, 0x88, 0x84, 0x00, 0x33, 0x10};
    struct Case {
        const char *what;
        Bytes unit;
        uint8_t kind;  // 0: refused
    } cases[] = {
        {"4-byte start codes", cat({kCode, kSps, kCode, kPps, kCode, idr}), 4},
        {"3-byte start codes", cat({{0, 0, 1}, kSps, {0, 0, 1}, kPps, {0, 0, 1}, idr}), 3},
        {"delimiter first", cat({kCode, aud, kCode, kSps, kCode, kPps, kCode, idr}), 4},
        {"no parameter sets", cat({kCode, idr, kCode, idr, kCode, idr}), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        unsigned char *b = video_mkv_codecPrivate_h264_get__IO(static_cast<uint32_t>(c.unit.size()), c.unit.data());
        if (c.kind == 0) {
            EXPECT_EQ(b, nullptr);
            continue;
        }
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(VIDEO_MKV_CODECPRIVATE_KIND(b), c.kind);
        Bytes payload(b + 5, b + 5 + VIDEO_MKV_CODECPRIVATE_LENGTH(b));
        // The record names one SPS and one PPS (0xE1, 1) with 4-byte lengths (0xFF).
        EXPECT_EQ(payload, (avcc({kSps}, {kPps}, 0xFF)));
        video_mkv_codecPrivate_delete__OI(b);
    }

    unsigned char *j = video_mkv_codecPrivate_jpeg_get__IO();
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(VIDEO_MKV_CODECPRIVATE_LENGTH(j), 40u);
    EXPECT_EQ(VIDEO_MKV_CODECPRIVATE_KIND(j), 4);
    const Bytes head = {40, 0, 0, 0, 0x64, 2, 0, 0, 0, 2, 0, 0, 1, 0, 24, 0, 'M', 'J', 'P', 'G', 0x00, 0x84, 0x03, 0};
    EXPECT_EQ(Bytes(j + 5, j + 5 + head.size()), head);
    EXPECT_EQ(Bytes(j + 5 + head.size(), j + 45), Bytes(16, 0));
    video_mkv_codecPrivate_delete__OI(j);
}

}  // namespace
