// Decoder and encoder plug-ins through libkxlib's codec wrappers (KX_LINK_SHARED: the loader
// finds the plug-ins next to libkxlib), compared with ffmpeg's own decoding of the same clips.
#include <dlfcn.h>
#include <math.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/codec.h"
#include "kx/string.h"
#include "tests/media/codec_clips.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

constexpr uint32_t kW = 320, kH = 240;
const std::string kDir = std::string(KX_TEST_BINARY_DIR) + "/testdata/codec";
const std::string kSource = "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 20";

std::string md5(const std::vector<uint8_t> &bytes, size_t n) {
    char out[33] = {0};
    kx_String_buffer_md5sum_string(out, (uint32_t)n, bytes.data());
    return std::string(out, 32);
}

// One decoder plug-in seen through a common shape.
struct Api {
    const char *name;
    bool hevc;
    void *(*create)();
    void (*destroy)(void *);
    int (*decode)(void *, unsigned char *, uint32_t, unsigned char, uint32_t *, uint32_t *, uint32_t,
                  const unsigned char *, int64_t, int64_t *);
};

void *avc_new() { return video_h264_decode_new(kW, kH); }

// libhevcsink is not loaded by the library: bind it directly from the folder of the build.
Api hevc_api() {
    static void *lib = dlopen((std::string(KX_TEST_BINARY_DIR) + "/lib/libhevcsink.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    Api api{"hevcsink", true, nullptr, nullptr, nullptr};
    if (lib == nullptr) return api;
    api.create = reinterpret_cast<void *(*)()>(dlsym(lib, "h265_decode_new__IO"));
    api.destroy = reinterpret_cast<void (*)(void *)>(dlsym(lib, "h265_decode_delete__OI"));
    api.decode = reinterpret_cast<decltype(api.decode)>(dlsym(lib, "h265_decode_tagged"));
    return api;
}

Api avc_api() { return Api{"avcsink", false, avc_new, video_h264_decode_delete, video_h264_decode_tagged}; }

struct Picture {
    int64_t tag;
    std::string md5;
};

struct DecodeRun {
    std::vector<int> results;  // per unit
    std::vector<int64_t> immediateTags;  // per unit: tag of the picture its call returned, -1 for none
    std::vector<Picture> pictures;  // in delivery order, drain included
    int drainCalls = 0;
};

// Feeds every unit with its index as tag, then drains.
DecodeRun decode_all(const Api &api, const std::vector<uint8_t> &stream, uint8_t outType = 2) {
    DecodeRun run;
    void *d = api.create();
    if (d == nullptr) return run;
    const size_t frameSize = kW * kH * 3 / 2;
    std::vector<uint8_t> pic(kW * kH * 3);
    for (auto [off, len] : kxclip::split_units(stream, api.hevc)) {
        uint32_t w = kW, h = kH;
        int64_t tag = -1;
        int64_t index = (int64_t)run.results.size();
        int rv = api.decode(d, pic.data(), kW, outType, &w, &h, (uint32_t)len, stream.data() + off, index, &tag);
        run.results.push_back(rv);
        run.immediateTags.push_back(rv == 1 ? tag : -1);
        if (rv == 1) run.pictures.push_back({tag, md5(pic, frameSize)});
    }
    for (int guard = 0; guard < 64; ++guard) {
        uint32_t w = kW, h = kH;
        int64_t tag = -1;
        ++run.drainCalls;
        int rv = api.decode(d, pic.data(), kW, outType, &w, &h, 0, nullptr, -1, &tag);
        if (rv != 1) break;
        run.pictures.push_back({tag, md5(pic, frameSize)});
    }
    api.destroy(d);
    return run;
}

struct ClipCase {
    const char *name;
    bool hevc;
    const char *codec;
    bool reorders;  // the encoder was allowed B-frames
};

void PrintTo(const ClipCase &c, std::ostream *os) { *os << c.name; }

class DecodeClip : public ::testing::TestWithParam<ClipCase> {};

// Bit-exact against ffmpeg, every picture delivered once and matched to the unit it came from;
// without B-frames each unit's picture comes out of the call that passes it.
TEST_P(DecodeClip, MatchesFfmpegFrameByFrame) {
    const ClipCase &c = GetParam();
    kxclip::Clip clip = kxclip::make(kDir, c.name, kSource, c.codec, c.hevc);
    ASSERT_FALSE(clip.stream.empty()) << "ffmpeg could not make " << c.name;
    kxclip::Reference ref = kxclip::reference(clip.container);
    std::vector<uint8_t> stream = kxclip::read_file(clip.stream);
    ASSERT_EQ(ref.displayMd5.size(), 20u);
    ASSERT_EQ(ref.displayRank.size(), 20u);
    ASSERT_EQ(kxclip::split_units(stream, c.hevc).size(), 20u);

    Api api = c.hevc ? hevc_api() : avc_api();
    ASSERT_NE(api.decode, nullptr);
    DecodeRun run = decode_all(api, stream);
    ASSERT_EQ(run.results.size(), 20u);

    std::vector<std::string> delivered;
    std::set<int64_t> tags;
    for (const Picture &p : run.pictures) {
        delivered.push_back(p.md5);
        ASSERT_GE(p.tag, 0);
        ASSERT_LT(p.tag, 20);
        EXPECT_TRUE(tags.insert(p.tag).second) << "tag " << p.tag << " twice";
        EXPECT_EQ(p.md5, ref.displayMd5[ref.displayRank[(size_t)p.tag]]) << "picture matched to unit " << p.tag;
    }
    EXPECT_EQ(delivered, ref.displayMd5);

    int held = 0;
    for (size_t i = 0; i < run.results.size(); ++i) {
        EXPECT_TRUE(run.results[i] == 1 || run.results[i] == 0) << "unit " << i << " gave " << run.results[i];
        held += run.results[i] == 0;
        if (!c.reorders) {
            EXPECT_EQ(run.immediateTags[i], (int64_t)i) << "unit " << i;
        }
    }
    if (c.reorders) {
        EXPECT_GT(held, 0) << "a reordering clip should hold pictures back";
        EXPECT_EQ(run.results[0], 0);
    } else {
        EXPECT_EQ(run.drainCalls, 1);  // nothing held back
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clips, DecodeClip,
    ::testing::Values(
        ClipCase{"avc_p", false, "-c:v libx264 -preset veryfast -bf 0 -g 8 -pix_fmt yuv420p", false},
        ClipCase{"avc_b2", false,
                 "-c:v libx264 -preset veryfast -bf 2 -b_strategy 0 -x264-params b-pyramid=none -g 12 -pix_fmt yuv420p",
                 true},
        ClipCase{"hevc_p", true, "-c:v libx265 -x265-params bframes=0:log-level=error -g 8 -pix_fmt yuv420p", false},
        ClipCase{"hevc_b", true, "-c:v libx265 -x265-params bframes=3:log-level=error -pix_fmt yuv420p", true}),
    [](const ::testing::TestParamInfo<ClipCase> &i) { return std::string(i.param.name); });

// The three layouts from the same unit: layout 2 is checked against ffmpeg above; 1 and 0
// must agree with it, rows lineBits apart, bytes past each row untouched.
TEST(DecodeLayout, FullChromaAndLumaOnlyAgreeWithPlanar420) {
    kxclip::Clip clip = kxclip::make(kDir, "avc_p", kSource,
                                     "-c:v libx264 -preset veryfast -bf 0 -g 8 -pix_fmt yuv420p", false);
    ASSERT_FALSE(clip.stream.empty());
    std::vector<uint8_t> stream = kxclip::read_file(clip.stream);
    auto units = kxclip::split_units(stream, false);
    ASSERT_GE(units.size(), 2u);

    const uint32_t pitch = kW + 24;  // padded rows
    const uint8_t fill = 0xa5;
    std::vector<uint8_t> out[3];
    for (uint8_t type = 0; type < 3; ++type) {
        void *d = video_h264_decode_new(kW, kH);
        ASSERT_NE(d, nullptr);
        out[type].assign((size_t)pitch * kH * 3 + 64, fill);
        for (size_t u = 0; u < 2; ++u) {  // the second (P) picture
            uint32_t w = kW, h = kH;
            ASSERT_EQ(video_h264_decode(d, out[type].data(), pitch, type, &w, &h, (uint32_t)units[u].second,
                                        stream.data() + units[u].first),
                      1);
        }
        video_h264_decode_delete(d);
    }
    const uint8_t *p420 = out[2].data();
    const uint8_t *cb420 = p420 + (size_t)pitch * kH, *cr420 = cb420 + (size_t)(pitch / 2) * (kH / 2);
    for (uint32_t y = 0; y < kH; ++y) {
        for (uint32_t x = 0; x < pitch; ++x) {
            size_t i = (size_t)y * pitch + x;
            if (x >= kW) {
                ASSERT_EQ(out[0][i], fill);
                ASSERT_EQ(out[1][i], fill);
                continue;
            }
            ASSERT_EQ(out[0][i], p420[i]) << "luma " << x << "," << y;
            ASSERT_EQ(out[1][i], p420[i]) << "luma " << x << "," << y;
            size_t c = (size_t)(y / 2) * (pitch / 2) + x / 2;
            ASSERT_EQ(out[0][(size_t)pitch * kH + i], cb420[c]) << "cb " << x << "," << y;
            ASSERT_EQ(out[0][(size_t)pitch * kH * 2 + i], cr420[c]) << "cr " << x << "," << y;
        }
    }
    // Luma only: nothing after the Y plane; planar 4:2:0: chroma rows keep their padding.
    EXPECT_EQ(out[1][(size_t)pitch * kH], fill);
    EXPECT_EQ(cb420[kW / 2], fill);
    EXPECT_EQ(out[2][(size_t)pitch * kH * 3 / 2], fill);
}

// A size other than the stream's gives -2 with the real size and writes nothing; the retry with
// that size delivers the picture, and the stream goes on exactly as ffmpeg decodes it.
TEST(DecodeSize, WrongSizeReportsActualAndRetrySucceeds) {
    for (bool hevc : {false, true}) {
        SCOPED_TRACE(hevc ? "hevc" : "avc");
        const char *name = hevc ? "hevc_p" : "avc_p";
        const char *codec = hevc ? "-c:v libx265 -x265-params bframes=0:log-level=error -g 8 -pix_fmt yuv420p"
                                 : "-c:v libx264 -preset veryfast -bf 0 -g 8 -pix_fmt yuv420p";
        kxclip::Clip clip = kxclip::make(kDir, name, kSource, codec, hevc);
        ASSERT_FALSE(clip.stream.empty());
        kxclip::Reference ref = kxclip::reference(clip.container);
        std::vector<uint8_t> stream = kxclip::read_file(clip.stream);
        auto units = kxclip::split_units(stream, hevc);
        Api api = hevc ? hevc_api() : avc_api();
        ASSERT_NE(api.decode, nullptr);
        void *d = api.create();
        ASSERT_NE(d, nullptr);
        std::vector<uint8_t> pic(1920 * 1080 * 3 / 2, 0x5a);
        uint32_t w = 1920, h = 1080;
        int64_t tag = -1;
        {
            kxtest::StdoutCapture cap;
            EXPECT_EQ(api.decode(d, pic.data(), w, 2, &w, &h, (uint32_t)units[0].second, stream.data() + units[0].first, 0,
                                 &tag),
                      -2);
            EXPECT_NE(kxtest::strip_colours(cap.text()).find("Invalid size(1920/320,1080/240)."), std::string::npos);
        }
        EXPECT_EQ(w, kW);
        EXPECT_EQ(h, kH);
        EXPECT_TRUE(std::all_of(pic.begin(), pic.end(), [](uint8_t b) { return b == 0x5a; }));
        for (size_t u = 0; u < units.size(); ++u) {
            w = kW;
            h = kH;
            ASSERT_EQ(api.decode(d, pic.data(), kW, 2, &w, &h, (uint32_t)units[u].second, stream.data() + units[u].first,
                                 (int64_t)u, &tag),
                      1)
                << "unit " << u;
            EXPECT_EQ(tag, (int64_t)u);
            EXPECT_EQ(md5(pic, kW * kH * 3 / 2), ref.displayMd5[u]) << "unit " << u;
        }
        api.destroy(d);
    }
}

// Only 8-bit 4:2:0 pictures are delivered; other formats decode but are refused.
TEST(DecodeFormat, OnlyEightBit420IsAccepted) {
    for (const char *fmt : {"yuv444p", "yuv422p", "yuv420p10le"}) {
        SCOPED_TRACE(fmt);
        kxclip::Clip clip =
            kxclip::make(kDir, std::string("avc_") + fmt, "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 3",
                         std::string("-c:v libx264 -preset veryfast -bf 0 -pix_fmt ") + fmt, false);
        ASSERT_FALSE(clip.stream.empty());
        std::vector<uint8_t> stream = kxclip::read_file(clip.stream);
        auto units = kxclip::split_units(stream, false);
        ASSERT_EQ(units.size(), 3u);
        void *d = video_h264_decode_new(kW, kH);
        ASSERT_NE(d, nullptr);
        std::vector<uint8_t> pic(kW * kH * 3, 0);
        kxtest::StdoutCapture cap;
        for (auto [off, len] : units) {
            uint32_t w = kW, h = kH;
            EXPECT_EQ(video_h264_decode(d, pic.data(), kW, 2, &w, &h, (uint32_t)len, stream.data() + off), -1);
        }
        EXPECT_NE(kxtest::strip_colours(cap.text()).find(std::string("Unsupported picture format(=") + fmt + ")."),
                  std::string::npos);
        video_h264_decode_delete(d);
    }
}

// Units that carry no picture: -1 and the record the decoder logs.
TEST(DecodeFailure, UnitWithoutPictureIsMinusOne) {
    kxclip::Clip clip = kxclip::make(kDir, "avc_p", kSource,
                                     "-c:v libx264 -preset veryfast -bf 0 -g 8 -pix_fmt yuv420p", false);
    ASSERT_FALSE(clip.stream.empty());
    std::vector<uint8_t> stream = kxclip::read_file(clip.stream);
    auto units = kxclip::split_units(stream, false);
    // Parameter sets alone: everything in front of the first IDR slice (NAL type 5).
    size_t idr = 0;
    for (size_t i = units[0].first; i + 4 < units[0].first + units[0].second; ++i)
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 && (stream[i + 3] & 0x1f) == 5) {
            idr = i - (stream[i - 1] == 0 ? 1 : 0);
            break;
        }
    ASSERT_GT(idr, 0u);
    void *d = video_h264_decode_new(kW, kH);
    ASSERT_NE(d, nullptr);
    std::vector<uint8_t> pic(kW * kH * 3 / 2);
    uint32_t w = kW, h = kH;
    kxtest::StdoutCapture cap;
    EXPECT_EQ(video_h264_decode(d, pic.data(), kW, 2, &w, &h, (uint32_t)idr, stream.data()), -1);
    std::string text = kxtest::strip_colours(cap.text());
    EXPECT_NE(text.find("Decode failed,bufferLenth=" + std::to_string(idr)), std::string::npos) << text;
    // Plug-in record: level 6, clock column 0.
    EXPECT_NE(text.find("/0000000000(h264_decode)--"), std::string::npos) << text;
    EXPECT_EQ(text[0], '6');
    // The picture after it still decodes.
    EXPECT_EQ(video_h264_decode(d, pic.data(), kW, 2, &w, &h, (uint32_t)(units[0].second - (idr - units[0].first)),
                                stream.data() + idr),
              1);
    video_h264_decode_delete(d);
}

// A unit length libavcodec cannot take (it needs the length plus its padding as an int) is
// refused before any byte is read: the buffer here is far shorter than the length claims.
TEST(DecodeFailure, LengthAboveWhatTheDecoderTakesIsRefusedUnread) {
    void *d = video_h264_decode_new(kW, kH);
    ASSERT_NE(d, nullptr);
    std::vector<uint8_t> pic(kW * kH * 3 / 2);
    const uint8_t unit[8] = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
    for (uint32_t length : {(uint32_t)INT32_MAX - 10u, (uint32_t)INT32_MAX, 0xffffffffu}) {
        uint32_t w = kW, h = kH;
        kxtest::StdoutCapture cap;
        EXPECT_EQ(video_h264_decode(d, pic.data(), kW, 2, &w, &h, length, unit), -1) << length;
        EXPECT_NE(kxtest::strip_colours(cap.text()).find("Invalid argument,outType=2,bufferLenth=" + std::to_string(length)),
                  std::string::npos);
    }
    video_h264_decode_delete(d);
}

double psnr(const uint8_t *a, const uint8_t *b, size_t n) {
    double se = 0;
    for (size_t i = 0; i < n; ++i) se += (double)(a[i] - b[i]) * (a[i] - b[i]);
    if (se == 0) return 99.0;
    return 10.0 * log10(255.0 * 255.0 * (double)n / se);
}

// Source pictures: the decoded frames of the reference clip.
std::vector<std::vector<uint8_t>> source_pictures() {
    std::vector<std::vector<uint8_t>> pics;
    kxclip::Clip clip = kxclip::make(kDir, "avc_p", kSource,
                                     "-c:v libx264 -preset veryfast -bf 0 -g 8 -pix_fmt yuv420p", false);
    if (clip.stream.empty()) return pics;
    std::vector<uint8_t> stream = kxclip::read_file(clip.stream);
    void *d = video_h264_decode_new(kW, kH);
    if (d == nullptr) return pics;
    for (auto [off, len] : kxclip::split_units(stream, false)) {
        std::vector<uint8_t> pic(kW * kH * 3 / 2);
        uint32_t w = kW, h = kH;
        if (video_h264_decode(d, pic.data(), kW, 2, &w, &h, (uint32_t)len, stream.data() + off) == 1)
            pics.push_back(std::move(pic));
    }
    video_h264_decode_delete(d);
    return pics;
}

// Every picture comes back as one unit at once; IDR units carry the parameter sets (code 3)
// about once a second; the units decode back close to the source; the rate is in kbit/s.
TEST(Encode, LowLatencyUnitsDecodeBackWithKeyFramesMarked) {
    std::vector<std::vector<uint8_t>> src = source_pictures();
    ASSERT_EQ(src.size(), 20u);
    struct Case {
        uint32_t kbps;
        float fps;
        double minPsnr;
    };
    std::map<uint32_t, size_t> bytesAt;
    for (Case c : {Case{2000, 10.0f, 30.0}, Case{200, 10.0f, 20.0}}) {
        SCOPED_TRACE(c.kbps);
        void *e = video_h264_encode_new(kW, kH, c.kbps, c.fps);
        ASSERT_NE(e, nullptr);
        void *d = video_h264_decode_new(kW, kH);
        ASSERT_NE(d, nullptr);
        size_t total = 0;
        double worst = 99.0;
        for (size_t i = 0; i < src.size(); ++i) {
            video_h264_object *o = video_h264_encode__IO(e, src[i].data(), 7, (uint32_t)(100 + i), c.fps, kW, kH,
                                                         1.5, 0.1 * (double)i);
            ASSERT_NE(o, nullptr) << "picture " << i;
            EXPECT_EQ(o->classIndex, 7);
            EXPECT_EQ(o->frameIndex, 100 + i);
            EXPECT_EQ(o->width, kW);
            EXPECT_EQ(o->height, kH);
            EXPECT_DOUBLE_EQ(o->streamTime, 0.1 * (double)i);
            // The plug-in's code agrees with the library's own analysis; a group starts every 10 pictures.
            EXPECT_EQ(o->keyFrame, video_h264_check_keyFrame(o->dataLenth, o->data)) << "picture " << i;
            EXPECT_EQ(o->keyFrame, i % 10 == 0 ? 3 : 0) << "picture " << i;
            total += o->dataLenth;
            std::vector<uint8_t> back(kW * kH * 3 / 2);
            uint32_t w = kW, h = kH;
            ASSERT_EQ(video_h264_decode(d, back.data(), kW, 2, &w, &h, o->dataLenth, o->data), 1) << "picture " << i;
            worst = std::min(worst, psnr(back.data(), src[i].data(), back.size()));
            kx_Object_delete__OI(&o->object);
        }
        EXPECT_GT(worst, c.minPsnr);
        // 20 pictures at 10 fps are 2 s: the output stays within a broad band of the asked rate.
        double kbps = (double)total * 8.0 / 2.0 / 1000.0;
        EXPECT_GT(kbps, c.kbps * 0.2);
        EXPECT_LT(kbps, c.kbps * 2.0);
        bytesAt[c.kbps] = total;
        video_h264_decode_delete(d);
        video_h264_encode_delete(e);
    }
    EXPECT_GT(bytesAt[2000], bytesAt[200] * 2);
}

// A picture the plug-in cannot encode gives a null object and the wrapper's record.
TEST(Encode, FailureGivesNullObject) {
    void *e = video_h264_encode_new(kW, kH, 500, 25.0f);
    ASSERT_NE(e, nullptr);
    kxtest::StdoutCapture cap;
    EXPECT_EQ(video_h264_encode__IO(e, nullptr, 0, 0, 25.0f, kW, kH, 0.0, 0.0), nullptr);
    char expected[64];
    snprintf(expected, sizeof expected, "--Encode failed,h=%#llx.\n", (unsigned long long)(uintptr_t)e);
    EXPECT_NE(kxtest::strip_colours(cap.text()).find(expected), std::string::npos) << cap.text();
    video_h264_encode_delete(e);
    // 4:2:0 needs even sides.
    EXPECT_EQ(video_h264_encode_new(321, 240, 500, 25.0f), nullptr);
}

// Plug-in files export exactly their contract.
TEST(PluginExports, ExactlyTheContractSymbols) {
    struct Case {
        const char *file;
        std::set<std::string> symbols;
    };
    for (const Case &c :
         {Case{"libavcsink.so", {"h264_decode_new", "h264_decode_delete", "h264_decode", "h264_decode_tagged"}},
          Case{"libavcforge.so", {"h264_encode_new", "h264_encode_delete", "h264_encode"}},
          Case{"libhevcsink.so", {"h265_decode_new__IO", "h265_decode_delete__OI", "h265_decode", "h265_decode_tagged"}}}) {
        std::set<std::string> found;
        for (const std::string &l : kxclip::lines("nm -D --defined-only '" + std::string(KX_TEST_BINARY_DIR) + "/lib/" +
                                                  c.file + "' 2>/dev/null")) {
            size_t sp = l.rfind(' ');
            if (sp != std::string::npos) found.insert(l.substr(sp + 1));
        }
        EXPECT_EQ(found, c.symbols) << c.file;
        // Plug-ins stand alone: no libkxlib among their dependencies.
        auto needed = kxclip::lines("objdump -p '" + std::string(KX_TEST_BINARY_DIR) + "/lib/" + c.file +
                                    "' | grep NEEDED");
        EXPECT_FALSE(needed.empty());
        for (const std::string &l : needed) EXPECT_EQ(l.find("kxlib"), std::string::npos) << c.file << ": " << l;
    }
}

}  // namespace
