// AVI files: what the writer writes is read by ffprobe and decoded by ffmpeg picture by
// picture as the source; the index reader gives back what the writer wrote and what ffmpeg's
// own AVI muxer wrote; sizes, rates and hostile files are refused before anything wraps.
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/avi_layout.hpp"
#include "kx/avi.h"
#include "kx/objectlist.h"
#include "tests/support/media_tools.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

const std::string kWork = KX_TEST_BINARY_DIR "/container-test/avi";

using Bytes = std::vector<unsigned char>;

const video_avi_index_entry *entry(const video_avi *a, uint32_t i) {
    return static_cast<const video_avi_index_entry *>(a->index->array[a->index->start + i]);
}

uint32_t le32(const Bytes &b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// A 160x120 test clip at 10 frames/s (one key frame a second), made once.
std::string clip() {
    mkdir(KX_TEST_BINARY_DIR "/container-test", 0755);
    return kxtest::small_clip(kWork, "clip_160x120_10fps_3s", "160x120", 10, 3);
}

struct Written {
    std::vector<int64_t> offsets;
    std::vector<uint32_t> sizes;
};

// Writes frames into path with the given codec and rate; every call must succeed.
Written write_avi(const std::string &path, const std::vector<Bytes> &frames, uint8_t codec, double fps) {
    Written w;
    FILE *f = fopen(path.c_str(), "w+b");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return w;
    video_avi *a = video_avi_new_for_file_save__IO(160, 120, codec, f);
    EXPECT_NE(a, nullptr);
    for (const Bytes &fr : frames) {
        uint32_t len = uint32_t(fr.size());
        int64_t at = video_avi_file_save_frame(a, &len, fr.data());
        EXPECT_GT(at, 0);
        w.offsets.push_back(at);
        w.sizes.push_back(len);
    }
    EXPECT_EQ(video_avi_file_save_finish(a, fps), 1);
    video_avi_delete__OI(&a);
    EXPECT_EQ(a, nullptr);
    fclose(f);
    return w;
}

video_avi *read_avi(FILE *f) {
    rewind(f);
    return video_avi_new_from_file__IO(f);
}

struct CodecCase {
    const char *name;
    uint8_t codec;
    const char *encoder;  // how ffmpeg makes the frames from the clip
    const char *ffprobeCodec;
};

class AviCodec : public ::testing::TestWithParam<CodecCase> {};

TEST_P(AviCodec, FfprobeReadsFfmpegDecodesTheReaderIndexesAgain) {
    const CodecCase c = GetParam();
    const std::string src = clip();
    const std::vector<Bytes> frames = kxtest::packets_of(src, kWork + "/frames_" + c.name, c.encoder);
    ASSERT_EQ(frames.size(), 30u);
    const std::string path = kWork + "/" + c.name + ".avi";
    const Written w = write_avi(path, frames, c.codec, 10.0);

    EXPECT_EQ(kxtest::probe_stream(path, "codec_name"), c.ffprobeCodec);
    EXPECT_EQ(kxtest::probe_stream(path, "width,height"), "160\n120");
    EXPECT_EQ(kxtest::probe_stream(path, "r_frame_rate"), "10/1");
    EXPECT_EQ(kxtest::probe_stream(path, "nb_frames"), "30");
    EXPECT_EQ(kxtest::probe_stream(path, "nb_read_frames", true), "30");
    // Every picture decodes as ffmpeg decodes the frames it was given.
    const std::vector<std::string> ours = kxtest::decoded_hashes(path);
    const std::vector<std::string> source =
        c.codec == VIDEO_AVI_CODEC_H264 ? kxtest::decoded_hashes(src)
                                        : kxtest::decoded_hashes(kWork + "/frames_" + c.name + "/%05d.bin",
                                                                 {"-framerate", "10", "-f", "image2"});
    ASSERT_EQ(ours.size(), 30u);
    EXPECT_EQ(ours, source);

    FILE *f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    video_avi *r = read_avi(f);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->width, 160u);
    EXPECT_EQ(r->height, 120u);
    EXPECT_EQ(r->codec, c.codec);
    EXPECT_FLOAT_EQ(r->frameRate, 10.0f);
    ASSERT_EQ(r->index->count, 30u);
    for (uint32_t i = 0; i < 30; ++i) {
        EXPECT_EQ(entry(r, i)->offset, uint64_t(w.offsets[i])) << i;
        EXPECT_EQ(entry(r, i)->size, w.sizes[i]) << i;
        Bytes back(entry(r, i)->size);
        ASSERT_EQ(fseeko(f, off_t(entry(r, i)->offset), SEEK_SET), 0);
        ASSERT_EQ(fread(back.data(), 1, back.size(), f), back.size());
        Bytes expect = frames[i];
        expect.resize(back.size(), 0);
        EXPECT_EQ(back, expect) << i;
    }
    video_avi_delete__OI(&r);
    fclose(f);
}

INSTANTIATE_TEST_SUITE_P(Codecs, AviCodec,
                         ::testing::Values(CodecCase{"h264", VIDEO_AVI_CODEC_H264, "copy", "h264"},
                                           CodecCase{"mjpeg", VIDEO_AVI_CODEC_MJPEG, "mjpeg", "mjpeg"}),
                         [](const auto &info) { return std::string(info.param.name); });

// The file is first filled with 0xAA bytes: the rounding gap must be written by the writer.
TEST(Avi, FiveByteFrameIsAnEightByteChunkWithZeroGap) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    const Bytes junk(512, 0xAA);
    fwrite(junk.data(), 1, junk.size(), f);
    rewind(f);
    video_avi *a = video_avi_new_for_file_save__IO(16, 16, VIDEO_AVI_CODEC_MJPEG, f);
    ASSERT_NE(a, nullptr);
    const unsigned char five[5] = {1, 2, 3, 4, 5};
    uint32_t len = 5;
    EXPECT_EQ(video_avi_file_save_frame(a, &len, five), 248);
    EXPECT_EQ(len, 8u);
    ASSERT_EQ(video_avi_file_save_finish(a, 25.0), 1);
    EXPECT_EQ(a->fileSize, 240u + 16 + 8 + 16);
    video_avi_delete__OI(&a);
    fflush(f);
    Bytes b(280);
    rewind(f);
    ASSERT_EQ(fread(b.data(), 1, b.size(), f), b.size());
    EXPECT_EQ(le32(b, 4), 280u - 8);
    EXPECT_EQ(memcmp(&b[240], "00db", 4), 0);
    EXPECT_EQ(le32(b, 244), 8u);
    EXPECT_EQ(Bytes(b.begin() + 248, b.begin() + 256), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(memcmp(&b[256], "idx1", 4), 0);
    EXPECT_EQ(le32(b, 260), 16u);
    EXPECT_EQ(le32(b, 272), 4u);  // chunk header 4 bytes behind the "movi" tag
    EXPECT_EQ(le32(b, 276), 8u);
    EXPECT_EQ(le32(b, 232), 256u - 236);
    video_avi *r = read_avi(f);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->index->count, 1u);
    EXPECT_EQ(entry(r, 0)->offset, 248u);
    EXPECT_EQ(entry(r, 0)->size, 8u);
    video_avi_delete__OI(&r);
    fclose(f);
}

TEST(Avi, ZeroFramesGiveAnEmptyIndexAndTheRateReadsBack) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    video_avi *a = video_avi_new_for_file_save__IO(320, 240, VIDEO_AVI_CODEC_H264, f);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(video_avi_file_save_finish(a, 25.0), 1);
    // Finished is finished: neither a frame nor a second index goes behind the first.
    uint32_t len = 4;
    EXPECT_EQ(video_avi_file_save_frame(a, &len, "abcd"), VIDEO_AVI_ERROR_INVALID);
    EXPECT_EQ(video_avi_file_save_finish(a, 25.0), VIDEO_AVI_ERROR_INVALID);
    video_avi_delete__OI(&a);
    fflush(f);
    Bytes b(300);
    rewind(f);
    ASSERT_EQ(fread(b.data(), 1, b.size(), f), 248u);
    EXPECT_EQ(le32(b, 32), 40000u);   // avih microseconds per frame
    EXPECT_EQ(le32(b, 128), 40000u);  // strh scale
    EXPECT_EQ(le32(b, 48), 0u);
    EXPECT_EQ(le32(b, 140), 0u);
    EXPECT_EQ(memcmp(&b[112], "H264", 4), 0);
    EXPECT_EQ(memcmp(&b[240], "idx1", 4), 0);
    EXPECT_EQ(le32(b, 244), 0u);
    video_avi *r = read_avi(f);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->index->count, 0u);
    EXPECT_EQ(r->width, 320u);
    EXPECT_FLOAT_EQ(r->frameRate, 25.0f);
    EXPECT_EQ(r->fileSize, 248u);
    video_avi_delete__OI(&r);
    fclose(f);
}

TEST(Avi, RefusesFrameRatesWithoutAPeriod) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    video_avi *a = video_avi_new_for_file_save__IO(16, 16, VIDEO_AVI_CODEC_MJPEG, f);
    ASSERT_NE(a, nullptr);
    for (double fps : {0.0, -25.0, double(NAN), double(INFINITY), 4e6, 1e-4}) {
        kxtest::StdoutCapture cap;
        EXPECT_EQ(video_avi_file_save_finish(a, fps), VIDEO_AVI_ERROR_INVALID) << fps;
        EXPECT_NE(cap.text().find("Invalid frameRate"), std::string::npos) << fps;
    }
    EXPECT_EQ(a->fileSize, 240u);  // nothing written by the refusals
    EXPECT_EQ(video_avi_file_save_finish(a, 29.97), 1);
    video_avi_delete__OI(&a);
    fclose(f);
}

TEST(AviLayout, RoomForStopsBeforeTheRiffSizeWraps) {
    struct Case {
        uint64_t fileSize, frames;
        uint32_t padded;
        bool fits;
    } cases[] = {
        {240, 0, 1000, true},
        // Finished: 240 + 8 + p + 8 + 16 = RIFF size 4294967295 + 8 exactly.
        {240, 0, 0xFFFFFFFFu - 240 - 8 - 16, true},
        {240, 0, 0xFFFFFFFFu - 240 - 8 - 16 + 4, false},
        {0xFFFF0000ull, 1000, 0x10000, false},
        {0xFFFF0000ull, 1000, 0x1000, true},
        {0x100000000ull, 0, 0, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(kx::avi::roomFor(c.fileSize, c.frames, c.padded), c.fits) << c.fileSize << "+" << c.padded;
    uint32_t p = 0;
    EXPECT_FALSE(kx::avi::paddedSize(0xFFFFFFFDu, &p));
    EXPECT_TRUE(kx::avi::paddedSize(0xFFFFFFFCu, &p));
    EXPECT_EQ(p, 0xFFFFFFFCu);
}

TEST(Avi, AFrameThatWouldPass4GiBIsRefusedBeforeAnythingIsWritten) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    video_avi *a = video_avi_new_for_file_save__IO(16, 16, VIDEO_AVI_CODEC_H264, f);
    ASSERT_NE(a, nullptr);
    const unsigned char small[4] = {0, 0, 0, 1};
    for (uint32_t claimed : {0xFFFFFFFFu, 0xFFFFFF00u}) {
        kxtest::StdoutCapture cap;
        uint32_t len = claimed;  // refused on the length alone, before the data is touched
        EXPECT_EQ(video_avi_file_save_frame(a, &len, small), VIDEO_AVI_ERROR_LIMIT);
        EXPECT_EQ(len, claimed);
        EXPECT_NE(cap.text().find("4 GiB"), std::string::npos);
    }
    EXPECT_EQ(ftello(f), 240);
    uint32_t len = 4;
    EXPECT_EQ(video_avi_file_save_frame(a, &len, small), 248);
    EXPECT_EQ(video_avi_file_save_finish(a, 25), 1);
    video_avi_delete__OI(&a);
    fclose(f);
}

TEST(Avi, WriteFailuresAreNegativeWithARecord) {
    const Bytes big(1 << 20, 7);
    struct Case {
        const char *what, *path, *mode;
        uint32_t frame;
        int64_t frameResult;  // 0: not checked (the frame may stay in the stream's buffer)
        int finishResult;
    } cases[] = {
        {"disk full, large frame", "/dev/full", "wb", uint32_t(big.size()), VIDEO_AVI_ERROR_WRITE, 0},
        // A small frame stays in the stream's buffer: the failure shows when finishing.
        {"disk full, small frame", "/dev/full", "wb", 100, 0, VIDEO_AVI_ERROR_WRITE},
        {"file not writable", "/dev/null", "rb", 100, VIDEO_AVI_ERROR_WRITE, 0},
    };
    for (const Case &c : cases) {
        FILE *f = fopen(c.path, c.mode);
        ASSERT_NE(f, nullptr) << c.what;
        video_avi *a = video_avi_new_for_file_save__IO(16, 16, VIDEO_AVI_CODEC_MJPEG, f);
        ASSERT_NE(a, nullptr) << c.what;
        kxtest::StdoutCapture cap;
        uint32_t len = c.frame;
        const int64_t rv = video_avi_file_save_frame(a, &len, big.data());
        if (c.frameResult != 0) {
            EXPECT_EQ(rv, c.frameResult) << c.what;
        }
        const int fin = video_avi_file_save_finish(a, 25);
        if (c.finishResult != 0) {
            EXPECT_EQ(fin, c.finishResult) << c.what;
        }
        EXPECT_LT(std::min<int64_t>(rv, fin), 0) << c.what;
        EXPECT_NE(cap.text().find("Write data error"), std::string::npos) << c.what;
        if (std::string(c.path) == "/dev/full") {
            EXPECT_NE(cap.text().find("No space left on device"), std::string::npos) << c.what;
        }
        video_avi_delete__OI(&a);
        fclose(f);
    }
}

// A small valid file of the writer: three frames.
Bytes small_file() {
    FILE *f = tmpfile();
    video_avi *a = video_avi_new_for_file_save__IO(16, 16, VIDEO_AVI_CODEC_H264, f);
    for (uint32_t n : {5u, 12u, 3u}) {
        Bytes fr(n, uint8_t(n));
        video_avi_file_save_frame(a, &n, fr.data());
    }
    video_avi_file_save_finish(a, 25);
    video_avi_delete__OI(&a);
    fflush(f);
    fseeko(f, 0, SEEK_END);
    Bytes b(size_t(ftello(f)));
    rewind(f);
    EXPECT_EQ(fread(b.data(), 1, b.size(), f), b.size());
    fclose(f);
    return b;
}

video_avi *read_bytes(Bytes b) {
    FILE *f = fmemopen(b.data(), b.size(), "rb");
    video_avi *r = video_avi_new_from_file__IO(f);
    fclose(f);
    return r;
}

TEST(AviReader, RefusesClaimsBeyondTheFile) {
    const Bytes good = small_file();
    ASSERT_EQ(good.size(), 240u + (8 + 8) + (8 + 12) + (8 + 4) + 8 + 3 * 16);
    video_avi *r = read_bytes(good);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->index->count, 3u);
    video_avi_delete__OI(&r);

    const size_t idx = good.size() - 3 * 16 - 8;
    auto put = [](Bytes b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
        return b;
    };
    struct Case {
        const char *what;
        Bytes bytes;
    } cases[] = {
        {"truncated", Bytes(good.begin(), good.end() - 1)},
        {"riff size past the end", put(good, 4, 0xFFFFFFF0u)},
        {"not riff", put(good, 0, 0x46464952u + 1)},
        {"index size past the end", put(good, idx + 4, 0x7FFFFFF0u)},
        {"entry offset past movi", put(good, idx + 8 + 16 + 8, 0x7FFFFFF0u)},
        {"entry size past movi", put(good, idx + 8 + 16 + 12, 0x7FFFFFF0u)},
        {"hdrl size past the end", put(good, 16, 0x7FFFFFF0u)},
        {"strh not video", put(good, 108, 0x73647561u)},
        {"unknown codec", put(put(good, 112, 0x30355844u), 180, 0x30355844u)},
        {"zero frame period", put(put(good, 32, 0), 128, 0)},
        {"no index", Bytes(good.begin(), good.begin() + long(idx))},
    };
    for (Case &c : cases) {
        if (std::string(c.what) == "no index") c.bytes = put(c.bytes, 4, uint32_t(c.bytes.size() - 8));
        kxtest::StdoutCapture cap;
        EXPECT_EQ(read_bytes(c.bytes), nullptr) << c.what;
        EXPECT_FALSE(cap.text().empty()) << c.what;
    }
}

// ffmpeg's own AVI muxer (JUNK chunks, another header size, "00dc" chunks, unpadded sizes) is
// indexed too.
TEST(AviReader, IndexesFfmpegsMuxer) {
    const std::string src = clip();
    const std::string path = kWork + "/ffmpeg.avi";
    ASSERT_EQ(kxtest::run_process({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", src, "-c:v", "mjpeg",
                                   "-q:v", "3", path},
                                  60000),
              0);
    std::istringstream in(kxtest::tool_output({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0",
                                                "-show_entries", "packet=pos,size", "-of", "csv=p=0", path}));
    std::vector<std::pair<uint64_t, uint32_t>> packets;
    unsigned long long pos;
    unsigned size;
    char comma;
    while (in >> size >> comma >> pos) packets.push_back({pos, size});
    ASSERT_EQ(packets.size(), 30u);
    FILE *f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    video_avi *r = video_avi_new_from_file__IO(f);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->codec, VIDEO_AVI_CODEC_MJPEG);
    EXPECT_FLOAT_EQ(r->frameRate, 10.0f);
    ASSERT_EQ(r->index->count, packets.size());
    for (uint32_t i = 0; i < r->index->count; ++i) {
        EXPECT_EQ(entry(r, i)->offset, packets[i].first) << i;
        EXPECT_EQ(entry(r, i)->size, packets[i].second) << i;
    }
    video_avi_delete__OI(&r);
    fclose(f);
}

}  // namespace
