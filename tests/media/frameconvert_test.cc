// The frame conversion service over real H.264 clips (KX_LINK_SHARED: the codec plug-ins are
// found next to libkxlib), against ffmpeg's own decoding of the same clips: frames leave in
// display order, bit-exact, each with its own unit and time, with one or two workers, with
// B-frames and slices, in reverse mode; sizes from the stream, refused frames, clean,
// encoding, stops with work queued.
// KX_THREADED: also runs under ThreadSanitizer.
#include <math.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/codec.h"
#include "kx/frameconvert.h"
#include "kx/h264.h"
#include "kx/image_frame.h"
#include "kx/string.h"
#include "kx/time.h"
#include "tests/media/codec_clips.hpp"
#include "tests/media/convert_rig.hpp"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

constexpr uint32_t kW = 320, kH = 240;
constexpr size_t kPictureBytes = kW * kH * 3 / 2;
const std::string kDir = std::string(KX_TEST_BINARY_DIR) + "/testdata/convert";
const std::string kSource = "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 30";

struct Clip {
    std::vector<uint8_t> stream;
    std::vector<std::pair<size_t, size_t>> units;
    kxclip::Reference ref;
};

// Clips of 30 frames in groups of 10: without B-frames (decoding order is display order), with
// two B-frames, with a B-frame pyramid (B-frames referencing B-frames, deeper reordering),
// and with four slices per picture.
enum Kind { kBf0, kBf2, kPyramid, kSlices, kKinds };
const char *const kKindName[kKinds] = {"bf0", "bf2", "pyramid", "slices"};
const char *const kKindEncoder[kKinds] = {"-bf 0", "-bf 2", "-bf 3 -b-pyramid normal", "-bf 2 -slices 4"};
const char *const kKindFile[kKinds] = {"gop10_bf0", "gop10_bf2", "gop10_bf3_pyramid", "gop10_bf2_slices4"};

const Clip &clip(Kind kind) {
    static Clip clips[kKinds];
    Clip &c = clips[kind];
    if (!c.units.empty()) return c;
    auto made = kxclip::make(kDir, kKindFile[kind], kSource,
                             std::string("-c:v libx264 -preset fast -g 10 -keyint_min 10 -sc_threshold 0 ") +
                                 kKindEncoder[kind] + " -pix_fmt yuv420p",
                             false);
    if (made.stream.empty()) return c;
    c.stream = kxclip::read_file(made.stream);
    c.units = kxclip::split_units(c.stream, false);
    c.ref = kxclip::reference(made.container);
    return c;
}

std::string md5(const unsigned char *bytes, size_t n) {
    char out[33] = {0};
    kx_String_buffer_md5sum_string(out, (uint32_t)n, bytes);
    return std::string(out, 32);
}

// The unit as the RTSP client delivers it: parameter sets first. x264 puts its SEI in front
// of them in the first unit; SEI messages do not change the pictures, so they are left out.
std::vector<uint8_t> delivered(const Clip &c, size_t i) {
    auto [off, len] = c.units[i];
    const uint8_t *s = c.stream.data() + off;
    std::vector<size_t> starts;
    for (size_t k = 0; k + 3 <= len; ++k)
        if (s[k] == 0 && s[k + 1] == 0 && s[k + 2] == 1) starts.push_back(k + 3), k += 2;
    std::vector<uint8_t> out;
    for (size_t n = 0; n < starts.size(); ++n) {
        size_t end = n + 1 < starts.size() ? starts[n + 1] - 3 : len;
        while (end > starts[n] && s[end - 1] == 0) --end;
        if ((s[starts[n]] & 0x1f) == 6) continue;
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), s + starts[n], s + end);
    }
    return out;
}

// Stream time of unit i: its picture's presentation time, as RTP timestamps carry it.
double time_of(const Clip &c, size_t i) { return (double)c.ref.displayRank[i] / 25.0; }

// A received frame: only its H.264 unit, as the player queues it, with the size the frame
// declares and, when key >= 0, the key-frame code the sender claims.
image_frame *h264_frame(const Clip &c, size_t i, std::vector<uint8_t> unit = {}, uint32_t w = kW, uint32_t h = kH,
                        signed char key = -1) {
    if (unit.empty()) unit = delivered(c, i);
    const uint8_t *data = unit.data();
    const size_t len = unit.size();
    const double t = i < c.ref.displayRank.size() ? time_of(c, i) : (double)i / 25.0;
    image_frame *f = image_frame_new__IO(w, h, w / 2, h / 2, w / 4, h / 4, nullptr, (uint32_t)i, 25.0f,
                                         kx_time_uptime_get(), t);
    if (key < 0) key = video_h264_check_keyFrame((uint32_t)len, data);
    video_h264_object *u = video_h264_object_new_with_data__IO(0, (uint32_t)i, 25.0f, w, h, key,
                                                               kx_time_uptime_get(), t, (uint32_t)len, data);
    image_frame_set__OI_2(f, &u->object, 0);
    return f;
}

std::string picture_md5(const image_frame *f) {
    return f->yuvData[0] ? md5(f->yuvData[0]->data, kPictureBytes) : std::string("none");
}

// Takes frames until `count` have come out or nothing came for two seconds.
std::vector<image_frame *> take(frameConvert_item *item, size_t count) {
    std::vector<image_frame *> out;
    while (out.size() < count) {
        image_frame *f = nullptr;
        if (!kxtest::eventually([&] { return (f = frameConvert_item_frame_out_pthreadSafety_IO(item)) != nullptr; },
                                std::chrono::milliseconds(2000)))
            break;
        out.push_back(f);
    }
    return out;
}

// Takes frames until the item's queue is empty (frames may fail and leave it unseen).
std::vector<image_frame *> take_until_empty(frameConvert_item *item) {
    std::vector<image_frame *> out;
    kxtest::eventually([&] {
        while (image_frame *f = frameConvert_item_frame_out_pthreadSafety_IO(item)) out.push_back(f);
        return frameConvert_item_bufferCount(item) == 0;
    });
    return out;
}

void release_all(std::vector<image_frame *> &frames) {
    for (image_frame *f : frames) kx_Object_delete_pthreadSafety__OI(&f->object);
    frames.clear();
}

using kxclip::Rig;

// What a frame that came out showed.
struct Shown {
    std::string md5;
    uint32_t unit;
    double time;
};
Shown shown(const image_frame *f) { return Shown{picture_md5(f), f->frameIndex, f->streamTime}; }
std::vector<Shown> shown(const std::vector<image_frame *> &out) {
    std::vector<Shown> s;
    for (const image_frame *f : out) s.push_back(shown(f));
    return s;
}

// Empty when out shows the clip's pictures from display position first on, one after the other
// (backwards when reverse), each bit-exact, on the frame of its own unit, with stream times
// moving the same way; otherwise what is wrong at the first output that is out of order.
std::string order_fault(const Clip &c, const std::vector<Shown> &out, size_t first, bool reverse) {
    const size_t n = c.ref.displayMd5.size();
    for (size_t k = 0; k < out.size(); ++k) {
        const size_t want = reverse ? first - k : first + k;
        if (want >= n || out[k].md5 != c.ref.displayMd5[want]) {
            auto at = std::find(c.ref.displayMd5.begin(), c.ref.displayMd5.end(), out[k].md5);
            return "output " + std::to_string(k) + " shows source picture " +
                   (at == c.ref.displayMd5.end() ? std::string("none") : std::to_string(at - c.ref.displayMd5.begin())) +
                   ", expected " + std::to_string(want);
        }
        const uint32_t unit = out[k].unit;
        if (unit >= c.ref.displayRank.size() || c.ref.displayRank[unit] != want)
            return "output " + std::to_string(k) + " carries unit " + std::to_string(unit) + " for picture " +
                   std::to_string(want);
        if (out[k].time != time_of(c, unit)) return "output " + std::to_string(k) + " changed its time";
        if (k > 0 && (reverse ? out[k].time >= out[k - 1].time : out[k].time <= out[k - 1].time))
            return "output " + std::to_string(k) + ": stream time out of order";
    }
    return std::string();
}

TEST(FrameConvertTest, FramesLeaveInDisplayOrderBitExactWithTheirOwnTimes) {
    struct Case {
        Kind kind;
        uint16_t threads, slots;
    } cases[] = {{kBf0, 1, 1},     {kBf0, 2, 2},     {kBf2, 1, 1},    {kBf2, 2, 2}, {kPyramid, 1, 1},
                 {kPyramid, 2, 2}, {kSlices, 1, 1},  {kSlices, 2, 2}, {kBf2, 2, 3}};
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(kKindName[k.kind]) + " threads=" + std::to_string(k.threads) +
                     " slots=" + std::to_string(k.slots));
        const Clip &c = clip(k.kind);
        ASSERT_EQ(c.units.size(), 30u);
        ASSERT_EQ(c.ref.displayRank.size(), c.units.size());
        kxtest::CaptureShownOnFailure cap;
        Rig rig(k.threads, k.slots);
        // Frames are taken while they are still being fed, and let go at once: their pictures
        // are reused for later frames.
        std::vector<Shown> out;
        std::thread consumer([&] {
            for (std::vector<image_frame *> one; out.size() < c.units.size(); release_all(one)) {
                one = take(rig.item, 1);
                if (one.empty()) break;
                out.push_back(shown(one[0]));
            }
        });
        for (size_t i = 0; i < c.units.size(); ++i)
            ASSERT_EQ(frameConvert_item_frame_in_pthreadSafety_OI(rig.item, h264_frame(c, i)), 1);
        frameConvert_item_flush(rig.item);
        consumer.join();
        EXPECT_EQ(out.size(), c.units.size());
        EXPECT_EQ(order_fault(c, out, 0, false), "");
        EXPECT_EQ(frameConvert_item_bufferCount(rig.item), 0u);
    }
}

// A reverse-play stream sends each group newest unit first, the groups newest first: it
// leaves as the exact reverse of the forward display order.
TEST(FrameConvertTest, ReverseGroupsLeaveInReverseDisplayOrder) {
    struct Case {
        Kind kind;
        uint16_t threads, slots;
    } cases[] = {{kBf0, 2, 2}, {kBf2, 1, 1}, {kPyramid, 2, 2}};
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(kKindName[k.kind]) + " threads=" + std::to_string(k.threads));
        const Clip &c = clip(k.kind);
        ASSERT_EQ(c.units.size(), 30u);
        kxtest::CaptureShownOnFailure cap;
        Rig rig(k.threads, k.slots);
        frameConvert_item_set_reverse(rig.item, 1);
        for (size_t i = c.units.size(); i-- > 0;)
            frameConvert_item_frame_in_pthreadSafety_OI(rig.item, h264_frame(c, i));
        std::vector<image_frame *> out = take(rig.item, c.units.size());
        EXPECT_EQ(out.size(), c.units.size());
        EXPECT_EQ(order_fault(c, shown(out), c.units.size() - 1, true), "");
        release_all(out);
    }
}

// The size a frame declares (from a frame trailer, say) yields to the stream's: the unit's SPS
// or, without one, what the decoder reports. No frame is lost for it, no decoder renewed, and
// a frame's sizes are those of its picture. A frame whose size cannot be known is refused.
TEST(FrameConvertTest, DeclaredSizeYieldsToTheStream) {
    struct Case {
        const char *name;
        uint32_t w, h;
        signed char firstKey;  // key code claimed for unit 0; -1: the unit's own
        size_t firstShown;     // display position of the first frame out
    } cases[] = {
        {"sps corrects a wrong size", 640, 480, -1, 0},
        {"sps corrects zero", 0, 0, -1, 0},
        {"sps corrects a side above the limit", 65535, 65535, -1, 0},
        {"decoder's size adopted", 640, 480, VIDEO_H264_KEYFRAME_IDR, 0},
        {"no size known until the next sps", 0, 0, VIDEO_H264_KEYFRAME_IDR, 10},
    };
    const Clip &c = clip(kBf2);
    ASSERT_EQ(c.units.size(), 30u);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        kxtest::CaptureShownOnFailure cap;
        Rig rig(1, 1);
        for (size_t i = 0; i < c.units.size(); ++i)
            frameConvert_item_frame_in_pthreadSafety_OI(rig.item, h264_frame(c, i, {}, k.w, k.h, i == 0 ? k.firstKey : -1));
        frameConvert_item_flush(rig.item);
        std::vector<image_frame *> out = take_until_empty(rig.item);
        EXPECT_EQ(out.size(), c.units.size() - k.firstShown);
        EXPECT_EQ(order_fault(c, shown(out), k.firstShown, false), "");
        for (image_frame *f : out) {
            EXPECT_EQ(f->width[0], kW);
            EXPECT_EQ(f->height[0], kH);
            EXPECT_EQ(f->pixelCount[0], kW * kH);
            EXPECT_EQ(f->width[2], kW / 4);
        }
        const std::string log = kxtest::strip_colours(cap.text());
        EXPECT_EQ(log.find("H264 Decode Error") != std::string::npos, k.firstShown != 0) << log;
        release_all(out);
    }
}

// A frame that nothing can turn into what the item wants is refused and never queued, so
// it cannot stall the frames behind it.
TEST(FrameConvertTest, FrameThatCanNeverBeConvertedIsRefused) {
    const Clip &c = clip(kBf0);
    ASSERT_FALSE(c.units.empty());
    struct Case {
        const char *name;
        uint32_t convertType;
        bool rgb;  // the frame carries only an RGB picture (else nothing at all)
    } cases[] = {
        {"nothing to decode", IMAGE_FRAME_YUV_0, false},
        {"an RGB picture is not decoded", IMAGE_FRAME_YUV_0, true},
        {"nothing to encode", IMAGE_FRAME_H264_0, false},
        {"half-size pictures are never made", IMAGE_FRAME_YUV_0 | IMAGE_FRAME_YUV_1, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        kxtest::CaptureShownOnFailure cap;
        Rig rig(1, 1, k.convertType);
        image_frame *bad = (k.convertType & IMAGE_FRAME_YUV_1)
                               ? h264_frame(c, 0)
                               : image_frame_new__IO(kW, kH, kW / 2, kH / 2, kW / 4, kH / 4, nullptr, 99, 25.0f, 0, 0);
        if (k.rgb) image_frame_set__OI_2(bad, &image_frame_rgb_new__IO(kW, kH)->object, 0);
        EXPECT_EQ(frameConvert_item_frame_in_pthreadSafety_OI(rig.item, bad), -2);
        EXPECT_EQ(frameConvert_item_bufferCount(rig.item), 0u);
        EXPECT_NE(kxtest::strip_colours(cap.text()).find("Error type("), std::string::npos);
    }
    // A frame that can be decoded is taken after a refused one.
    kxtest::CaptureShownOnFailure cap;
    Rig rig(1, 1);
    image_frame *empty = image_frame_new__IO(kW, kH, kW / 2, kH / 2, kW / 4, kH / 4, nullptr, 99, 25.0f, 0, 0);
    EXPECT_EQ(frameConvert_item_frame_in_pthreadSafety_OI(rig.item, empty), -2);
    EXPECT_EQ(frameConvert_item_frame_in_pthreadSafety_OI(rig.item, h264_frame(c, 0)), 1);
    frameConvert_item_flush(rig.item);
    std::vector<image_frame *> out = take(rig.item, 1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(order_fault(c, shown(out), 0, false), "");
    release_all(out);
}

// Bound in a child process (a fresh binding): the decoder plug-in built with only the three
// symbols every decoder plug-in has, so pictures come without tags. They still leave in
// display order, bit-exact; without B-frames every frame also keeps its own picture.
[[noreturn]] void decode_with_required_symbols_only() {
    video_h264_private_decode_unload_lib();
    video_h264_private_plugin_folder_set(KX_TEST_BINARY_DIR "/lib/required");
    int failures = 0;
    for (Kind kind : {kBf0, kBf2}) {
        const Clip &c = clip(kind);
        Rig rig(2, 2);
        for (size_t i = 0; i < c.units.size(); ++i) frameConvert_item_frame_in_pthreadSafety_OI(rig.item, h264_frame(c, i));
        frameConvert_item_flush(rig.item);
        std::vector<image_frame *> out = take(rig.item, c.units.size());
        std::vector<std::string> md5s;
        for (const Shown &s : shown(out)) md5s.push_back(s.md5);
        if (md5s != c.ref.displayMd5) ++failures, fprintf(stderr, "%s: pictures out of order\n", kKindName[kind]);
        if (kind == kBf0 && order_fault(c, shown(out), 0, false) != "") ++failures;
        release_all(out);
    }
    const std::vector<std::string> maps = kxclip::lines("cat /proc/" + std::to_string(getpid()) + "/maps");
    if (std::none_of(maps.begin(), maps.end(), [](const std::string &l) {
            return l.find("/lib/required/libavcsink.so") != std::string::npos;
        }))
        ++failures, fprintf(stderr, "the plug-in without tags was not the one bound\n");
    fflush(stdout);
    _exit(failures == 0 ? 0 : 1);
}

TEST(FrameConvertTest, PluginWithOnlyTheRequiredSymbolsKeepsDisplayOrder) {
    ASSERT_EQ(clip(kBf0).units.size(), 30u);
    ASSERT_EQ(clip(kBf2).units.size(), 30u);
    EXPECT_EXIT(decode_with_required_symbols_only(), ::testing::ExitedWithCode(0), "");
}

TEST(FrameConvertTest, CleanDropsQueuedFramesAndDecodingStartsAfresh) {
    const Clip &c = clip(kBf2);
    ASSERT_EQ(c.units.size(), 30u);
    kxtest::CaptureShownOnFailure cap;
    // Without a service: nothing is paused, the queue simply empties.
    frameConvert_item *idle = frameConvert_item_new__OI(IMAGE_FRAME_YUV_0, 1);
    for (size_t i = 0; i < 5; ++i) frameConvert_item_frame_in_pthreadSafety_OI(idle, h264_frame(c, i));
    EXPECT_EQ(frameConvert_item_bufferCount(idle), 5u);
    frameConvert_item_clean(idle);
    EXPECT_EQ(frameConvert_item_bufferCount(idle), 0u);
    frameConvert_item_delete__IO(idle);

    // Running: clean in the middle of a group, with pictures held by the decoder; the stream
    // that follows decodes from its key frame as if nothing had happened.
    Rig rig(2, 2);
    for (size_t i = 0; i < 17; ++i) frameConvert_item_frame_in_pthreadSafety_OI(rig.item, h264_frame(c, i));
    frameConvert_item_clean(rig.item);
    EXPECT_EQ(frameConvert_item_bufferCount(rig.item), 0u);
    for (size_t i = 10; i < c.units.size(); ++i)
        frameConvert_item_frame_in_pthreadSafety_OI(rig.item, h264_frame(c, i));
    frameConvert_item_flush(rig.item);
    std::vector<image_frame *> out = take(rig.item, c.units.size() - 10);
    EXPECT_EQ(out.size(), c.units.size() - 10);
    EXPECT_EQ(order_fault(c, shown(out), 10, false), "");
    release_all(out);
}

TEST(FrameConvertTest, FailedUnitLeavesTheQueueOthersStayInOrder) {
    const Clip &c = clip(kBf0);
    ASSERT_EQ(c.units.size(), 30u);
    kxtest::CaptureShownOnFailure cap;
    Rig rig(1, 1);
    const size_t bad = 5;
    for (size_t i = 0; i < c.units.size(); ++i) {
        // The bad unit carries no picture: an access-unit delimiter only.
        image_frame *f = i == bad ? h264_frame(c, i, {0, 0, 0, 1, 9, 0x10}) : h264_frame(c, i);
        frameConvert_item_frame_in_pthreadSafety_OI(rig.item, f);
    }
    frameConvert_item_flush(rig.item);
    std::vector<image_frame *> out = take_until_empty(rig.item);
    ASSERT_FALSE(out.empty());
    std::vector<bool> seen(c.units.size(), false);
    for (size_t k = 0; k < out.size(); ++k) {
        if (k > 0) {
            EXPECT_GT(out[k]->frameIndex, out[k - 1]->frameIndex);
        }
        seen[out[k]->frameIndex] = true;
    }
    EXPECT_FALSE(seen[bad]);
    // Frames before the bad unit and every later group decode exactly.
    for (image_frame *f : out) {
        if (f->frameIndex < bad || f->frameIndex >= 10) {
            EXPECT_EQ(picture_md5(f), c.ref.displayMd5[f->frameIndex]);
        }
    }
    for (size_t i = 0; i < c.units.size(); ++i) {
        if (i < bad || i >= 10) {
            EXPECT_TRUE(seen[i]) << "frame " << i;
        }
    }
    EXPECT_NE(kxtest::strip_colours(cap.text()).find("H264 Decode Error,width=320,height=240"), std::string::npos);
    release_all(out);
}

TEST(FrameConvertTest, EncodeThenDecodeKeepsThePicture) {
    const std::string raw = kDir + "/source.yuv";
    if (!kxclip::exists(raw)) {
        ASSERT_EQ(system(("mkdir -p '" + kDir + "' && ffmpeg -nostdin -v error -y " + kSource +
                          " -f rawvideo -pix_fmt yuv420p '" + raw + ".tmp' && mv '" + raw + ".tmp' '" + raw + "'")
                             .c_str()),
                  0);
    }
    std::vector<uint8_t> yuv = kxclip::read_file(raw);
    const size_t n = yuv.size() / kPictureBytes;
    ASSERT_EQ(n, 30u);
    kxtest::CaptureShownOnFailure cap;
    Rig rig(2, 1, IMAGE_FRAME_H264_0);
    for (size_t i = 0; i < n; ++i) {
        image_frame *f = image_frame_new__IO(kW, kH, kW / 2, kH / 2, kW / 4, kH / 4, nullptr, (uint32_t)i, 25.0f,
                                             kx_time_uptime_get(), (double)i / 25.0);
        image_frame_raw *p = image_frame_raw_new__IO(kW, kH, IMAGE_FRAME_RAW_YUV420P);
        memcpy(p->data, yuv.data() + i * kPictureBytes, kPictureBytes);
        image_frame_set__OI_2(f, &p->object, 0);
        frameConvert_item_frame_in_pthreadSafety_OI(rig.item, f);
    }
    std::vector<image_frame *> out = take(rig.item, n);
    ASSERT_EQ(out.size(), n);
    EXPECT_EQ(out[0]->h264Data[0][0]->keyFrame, VIDEO_H264_KEYFRAME_PARAMETERS_IDR);
    void *dec = video_h264_decode_new(kW, kH);
    ASSERT_NE(dec, nullptr);
    std::vector<uint8_t> pic(kPictureBytes);
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(out[i]->frameIndex, i);
        const video_h264_object *u = out[i]->h264Data[0][0];
        ASSERT_NE(u, nullptr);
        uint32_t w = kW, h = kH;
        ASSERT_EQ(video_h264_decode(dec, pic.data(), kW, 2, &w, &h, u->dataLenth, u->data), 1) << "frame " << i;
        double se = 0;
        for (size_t b = 0; b < (size_t)kW * kH; ++b) {
            double d = (double)pic[b] - yuv[i * kPictureBytes + b];
            se += d * d;
        }
        double psnr = se == 0 ? 99.0 : 10.0 * log10(255.0 * 255.0 * kW * kH / se);
        EXPECT_GT(psnr, 30.0) << "frame " << i;
    }
    video_h264_decode_delete(dec);
    release_all(out);
}

TEST(FrameConvertTest, StopWithFramesQueuedNeitherHangsNorLeaks) {
    const Clip &c = clip(kBf2);
    ASSERT_EQ(c.units.size(), 30u);
    for (int round = 0; round < 3; ++round) {
        kxtest::StdoutCapture cap;
        frameConvert *service = frameConvert_new__IO("FrameConvert", nullptr, 0, nullptr, 2);
        frameConvert_item *item = frameConvert_item_new__OI(IMAGE_FRAME_YUV_0, 2);
        ASSERT_EQ(frameConvert_add_item__OI_2(service, item), 1);
        ASSERT_EQ(frameConvert_startThread(service, -1), 1);
        for (size_t i = 0; i < c.units.size(); ++i) frameConvert_item_frame_in_pthreadSafety_OI(item, h264_frame(c, i));
        if (round > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5 * round));
        EXPECT_EQ(frameConvert_stopThread(service), 1);
        // The service still holds the item: deleting it deletes the item and its frames.
        frameConvert_delete__IO(service);
        std::string log = kxtest::strip_colours(cap.text());
        EXPECT_NE(log.find("Stop successfully[FrameConvert:0]."), std::string::npos);
        EXPECT_NE(log.find("Error,1/2"), std::string::npos);
        EXPECT_NE(log.find("Error,0/2"), std::string::npos);
    }
}

TEST(FrameConvertTest, SlotsGoToTheLeastLoadedThreads) {
    struct Case {
        uint16_t threads;
        std::vector<uint16_t> slots;        // items added in this order
        std::vector<uint16_t> startIndex;   // expected start of each
        bool warned;
    } cases[] = {
        {2, {1, 1}, {0, 1}, false},
        {2, {1, 1, 1}, {0, 1, 0}, false},
        {3, {2, 1, 2}, {0, 2, 0}, false},
        {1, {1, 1}, {0, 0}, false},
        {2, {3}, {0}, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE("threads=" + std::to_string(k.threads) + " items=" + std::to_string(k.slots.size()));
        kxtest::CaptureShownOnFailure cap;
        frameConvert *service = frameConvert_new__IO("FrameConvert", nullptr, 0, nullptr, k.threads);
        std::vector<frameConvert_item *> items;
        for (uint16_t n : k.slots) {
            items.push_back(frameConvert_item_new__OI(IMAGE_FRAME_YUV_0, n));
            ASSERT_EQ(frameConvert_add_item__OI_2(service, items.back()), 1);
            EXPECT_EQ(items.back()->service, service);
        }
        EXPECT_EQ(frameConvert_add_item__OI_2(service, items[0]), 0);  // already there
        std::vector<uint32_t> load(k.threads, 0);
        for (size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i]->startIndex, k.startIndex[i]) << "item " << i;
            for (uint16_t j = 0; j < items[i]->threadCount; ++j) ++load[(items[i]->startIndex + j) % k.threads];
        }
        for (uint16_t t = 0; t < k.threads; ++t) EXPECT_EQ(service->threadItemCount[t], load[t]);
        for (frameConvert_item *it : items) {
            EXPECT_EQ(frameConvert_remove_item__IO_2(service, it), 1);
            EXPECT_EQ(it->service, nullptr);
            frameConvert_item_delete__IO(it);
        }
        for (uint16_t t = 0; t < k.threads; ++t) EXPECT_EQ(service->threadItemCount[t], 0u);
        frameConvert_delete__IO(service);
        std::string log = kxtest::strip_colours(cap.text());
        EXPECT_EQ(log.find("of item is big.") != std::string::npos, k.warned) << log;
        EXPECT_NE(log.find("Add item has exist,convertType=1."), std::string::npos);
    }
}

TEST(FrameConvertTest, FramesLeaveOnlyWhenTheOldestIsReady) {
    kxtest::StdoutCapture cap;
    const Clip &c = clip(kBf0);
    ASSERT_FALSE(c.units.empty());
    frameConvert_item *item = frameConvert_item_new__OI(IMAGE_FRAME_YUV_0, 1);
    auto decoded = [](uint32_t index) {
        image_frame *f = image_frame_new__IO(kW, kH, 0, 0, 0, 0, nullptr, index, 25.0f, 0, 0);
        image_frame_set__OI_2(f, &image_frame_raw_new__IO(kW, kH, 1)->object, 0);
        return f;
    };
    frameConvert_item_frame_in_pthreadSafety_OI(item, decoded(0));
    frameConvert_item_frame_in_pthreadSafety_OI(item, h264_frame(c, 1));  // not decoded: no service
    frameConvert_item_frame_in_pthreadSafety_OI(item, decoded(2));
    image_frame *first = frameConvert_item_frame_out_pthreadSafety_IO(item);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->frameIndex, 0u);
    kx_Object_delete_pthreadSafety__OI(&first->object);
    EXPECT_EQ(frameConvert_item_frame_out_pthreadSafety_IO(item), nullptr);  // frame 2 waits behind 1
    EXPECT_EQ(frameConvert_item_bufferCount(item), 2u);
    frameConvert_item_delete__IO(item);
}

TEST(FrameConvertTest, CountOneCountsSetBits) {
    std::mt19937 rng(1);
    std::vector<uint32_t> values = {0u, 1u, 0x80000000u, 0xffffffffu, 0x55555555u, 0x0f0f0f0fu};
    for (int i = 0; i < 64; ++i) values.push_back((uint32_t)rng());
    for (uint32_t v : values) EXPECT_EQ(frameConvert_CountOne(v), (uint32_t)std::popcount(v)) << std::hex << v;
}

}  // namespace
