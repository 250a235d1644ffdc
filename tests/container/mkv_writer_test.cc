// Matroska writer: the files pass mkvmerge and mkvinfo, ffprobe counts the frames written,
// ffmpeg decodes them picture by picture as the source; read back, every element's size
// matches its content and the cues point at clusters that open with key frames.
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/mkv_writer_layout.hpp"
#include "core/bytereader.hpp"
#include "kx/aac.h"
#include "kx/mkv_writer.h"
#include "kx/objectlist.h"
#include "tests/support/media_tools.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

const std::string kWork = KX_TEST_BINARY_DIR "/container-test/mkv";
using Bytes = std::vector<unsigned char>;

std::string work() {
    mkdir(KX_TEST_BINARY_DIR "/container-test", 0755);
    mkdir(kWork.c_str(), 0755);
    return kWork;
}

// The codec private block of a clip's first key frame, as the library builds it.
Bytes avc_block(const Bytes &key) {
    unsigned char *b = video_mkv_codecPrivate_h264_get__IO(uint32_t(key.size()), key.data());
    EXPECT_NE(b, nullptr);
    if (b == nullptr) return Bytes();
    Bytes out(b, b + 5 + VIDEO_MKV_CODECPRIVATE_LENGTH(b));
    video_mkv_codecPrivate_delete__OI(b);
    return out;
}

bool is_key(const Bytes &frame) {
    for (const kxtest::Nal &n : kxtest::split_annexb(frame.data(), frame.size()))
        if (n.type == 5) return true;
    return false;
}

// ---- reading the file back ----

struct Walk {
    bool ok = true;
    std::string problem;
    uint64_t segmentData = 0;
    std::vector<uint64_t> clusters;        // positions relative to the segment data
    std::vector<bool> clusterOpensOnKey;   // the first block of track 1 in it is a key frame
    std::vector<uint64_t> cuePositions;
    size_t blocks = 0;
};

bool is_master(uint32_t id) {
    switch (id) {
    case 0x1A45DFA3: case 0x18538067: case 0x114D9B74: case 0x4DBB: case 0x1549A966: case 0x1654AE6B:
    case 0xAE: case 0xE0: case 0xE1: case 0x1F43B675: case 0x1C53BB6B: case 0xBB: case 0xB7: case 0xA0:
        return true;
    default:
        return false;
    }
}

// Walks r, whose bytes must be exactly a sequence of elements.
void walk(kx::ByteReader r, uint64_t at, uint32_t parent, Walk *w, bool *seenMainInCluster) {
    while (!r.empty() && w->ok) {
        const size_t start = r.pos();
        uint32_t id = 0;
        uint64_t size = 0;
        if (!r.ebmlId(&id) || !r.ebmlSize(&size) || !r.fits(size)) {
            w->ok = false;
            w->problem = "element at " + std::to_string(at + start) + " runs past its parent";
            return;
        }
        const uint64_t body = at + r.pos();
        kx::ByteReader content = r.sub(size);
        if (id == 0x18538067) w->segmentData = body;
        if (id == 0x1F43B675) {
            w->clusters.push_back(at + start - w->segmentData);
            w->clusterOpensOnKey.push_back(false);
            *seenMainInCluster = false;
        }
        if (id == 0xF1 && parent == 0xB7) {
            uint64_t v = 0;
            content.beN(&v, size);
            w->cuePositions.push_back(v);
        }
        if (id == 0xA3 || (id == 0xA1 && parent == 0xA0)) {
            const uint8_t *h = content.bytes(4);
            if (h == nullptr) {
                w->ok = false;
                w->problem = "short block";
                return;
            }
            ++w->blocks;
            if ((h[0] & 0x7F) == 1 && !*seenMainInCluster) {
                *seenMainInCluster = true;
                w->clusterOpensOnKey.back() = (h[3] & 0x80) != 0;
            }
        }
        if (is_master(id)) walk(content, body, id, w, seenMainInCluster);
    }
}

Walk walk_file(const std::string &path) {
    const Bytes b = kxtest::read_file_bytes(path);
    Walk w;
    bool seen = false;
    walk(kx::ByteReader(b.data(), b.size()), 0, 0, &w, &seen);
    return w;
}

void expect_sound_file(const std::string &path, size_t blocks) {
    const Walk w = walk_file(path);
    ASSERT_TRUE(w.ok) << w.problem;
    EXPECT_EQ(w.blocks, blocks);
    ASSERT_FALSE(w.cuePositions.empty());
    for (uint64_t pos : w.cuePositions) {
        auto it = std::find(w.clusters.begin(), w.clusters.end(), pos);
        ASSERT_NE(it, w.clusters.end()) << "cue at " << pos << " names no cluster";
        EXPECT_TRUE(w.clusterOpensOnKey[size_t(it - w.clusters.begin())]) << "cue at " << pos;
    }
    // mkvmerge finds neither errors nor warnings; mkvinfo walks the whole file.
    int status = -1;
    const std::string json = kxtest::tool_output({"/usr/bin/mkvmerge", "-J", path}, 60000, &status);
    EXPECT_EQ(status, 0) << json;
    EXPECT_NE(json.find("\"errors\": []"), std::string::npos) << json;
    EXPECT_NE(json.find("\"warnings\": []"), std::string::npos) << json;
    EXPECT_EQ(kxtest::run_process({"/usr/bin/mkvinfo", "--all", path}, 60000), 0);
}

std::string mkvmerge_json(const std::string &path) { return kxtest::tool_output({"/usr/bin/mkvmerge", "-J", path}); }

// Writes video frames (and nothing else) with one track of the given kind.
void write_video(const std::string &path, const std::vector<Bytes> &frames, uint8_t codec, float fps,
                 const Bytes &block) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    video_mkv_writer_track t = {};
    t.type = VIDEO_MKV_TRACK_VIDEO;
    t.codec = codec;
    t.width = 160;
    t.height = 120;
    t.frameRate = fps;
    t.codecPrivate = block.empty() ? nullptr : block.data();
    video_mkv_writer *m = video_mkv_new_for_file_save__IO(f, 1, &t);
    ASSERT_NE(m, nullptr);
    for (const Bytes &fr : frames) {
        uint32_t len = uint32_t(fr.size());
        ASSERT_EQ(video_mkv_file_save_frame(m, 1, codec == VIDEO_MKV_CODEC_H264 ? is_key(fr) : 1, &len, fr.data()), 1);
        if (codec == VIDEO_MKV_CODEC_MJPEG) {
            EXPECT_EQ(len, (fr.size() + 3) / 4 * 4);
        }
    }
    ASSERT_EQ(video_mkv_file_save_finish(m), 1);
    video_mkv_writer_delete__OI(m);
    fclose(f);
}

TEST(MkvWriter, H264FilePassesTheToolsAndDecodesAsTheSource) {
    const std::string src = kxtest::small_clip(work(), "clip_160x120_10fps_3s", "160x120", 10, 3);
    const std::vector<Bytes> frames = kxtest::packets_of(src, kWork + "/h264_frames");
    ASSERT_EQ(frames.size(), 30u);
    const std::string path = kWork + "/h264.mkv";
    write_video(path, frames, VIDEO_MKV_CODEC_H264, 10, avc_block(frames[0]));
    expect_sound_file(path, 30);
    const std::string json = mkvmerge_json(path);
    EXPECT_NE(json.find("\"codec\": \"AVC/H.264/MPEG-4p10\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"pixel_dimensions\": \"160x120\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"default_duration\": 100000000"), std::string::npos) << json;
    EXPECT_EQ(kxtest::probe_stream(path, "nb_read_frames", true), "30");
    EXPECT_EQ(kxtest::probe_stream(path, "r_frame_rate"), "10/1");
    const std::vector<std::string> ours = kxtest::decoded_hashes(path);
    EXPECT_EQ(ours.size(), 30u);
    EXPECT_EQ(ours, kxtest::decoded_hashes(src));
    // Three key frames, a second apart: three clusters, each with its cue.
    EXPECT_EQ(walk_file(path).cuePositions.size(), 3u);

    // The library's reader indexes the same frames again: key flags where the source has key
    // frames, and every stored sample holds the source's NAL units.
    FILE *f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    video_mkv *r = video_mkv_new_from_file__IO(f);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->firstVideoTrack, 1);
    const video_mkv_track &row = r->rows[1];
    EXPECT_EQ(row.codec, VIDEO_MKV_CODEC_H264);
    EXPECT_EQ(row.width, 160u);
    EXPECT_FLOAT_EQ(row.frameRate, 10.0f);
    ASSERT_EQ(row.frames->count, 30u);
    for (uint32_t i = 0; i < 30; ++i) {
        auto *fr = static_cast<const video_mkv_frame *>(row.frames->array[row.frames->start + i]);
        EXPECT_EQ((fr->flags & VIDEO_MKV_FRAME_KEY) != 0, is_key(frames[i])) << i;
        Bytes stored(fr->size);
        ASSERT_EQ(fseeko(f, off_t(fr->offset), SEEK_SET), 0);
        ASSERT_EQ(fread(stored.data(), 1, stored.size(), f), stored.size());
        std::vector<Bytes> units, expected;
        for (size_t at = 0; at + 4 <= stored.size();) {
            const size_t n = size_t(stored[at]) << 24 | size_t(stored[at + 1]) << 16 | size_t(stored[at + 2]) << 8 |
                             stored[at + 3];
            ASSERT_LE(at + 4 + n, stored.size());
            units.emplace_back(stored.begin() + long(at + 4), stored.begin() + long(at + 4 + n));
            at += 4 + n;
        }
        for (const kxtest::Nal &n : kxtest::split_annexb(frames[i].data(), frames[i].size()))
            expected.emplace_back(frames[i].begin() + long(n.offset), frames[i].begin() + long(n.offset + n.size));
        EXPECT_EQ(units, expected) << i;
    }
    video_mkv_delete__OI(r);
    fclose(f);
}

TEST(MkvWriter, MotionJpegFilePassesTheToolsAndDecodesAsTheSource) {
    const std::string src = kxtest::small_clip(work(), "clip_160x120_10fps_3s", "160x120", 10, 3);
    const std::vector<Bytes> frames = kxtest::packets_of(src, kWork + "/mjpeg_frames", "mjpeg");
    ASSERT_EQ(frames.size(), 30u);
    const std::string path = kWork + "/mjpeg.mkv";
    write_video(path, frames, VIDEO_MKV_CODEC_MJPEG, 10, Bytes());
    expect_sound_file(path, 30);
    const std::string json = mkvmerge_json(path);
    EXPECT_NE(json.find("\"codec_id\": \"V_MS/VFW/FOURCC\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"pixel_dimensions\": \"160x120\""), std::string::npos) << json;
    EXPECT_EQ(kxtest::probe_stream(path, "nb_read_frames", true), "30");
    EXPECT_EQ(kxtest::decoded_hashes(path),
              kxtest::decoded_hashes(kWork + "/mjpeg_frames/%05d.bin", {"-framerate", "10", "-f", "image2"}));
}

// A key frame every 45 s: clusters open before a block's relative time passes 32767 ms, so
// the packet times rise steadily and equal the source's.
TEST(MkvWriter, LongKeyFrameIntervalKeepsTimesRising) {
    const std::string src =
        kxtest::small_clip(work(), "clip_160x120_5fps_90s_gop45", "160x120", 5, 90, "-g 225 -keyint_min 225");
    ASSERT_FALSE(src.empty());
    const std::vector<Bytes> frames = kxtest::packets_of(src, kWork + "/gop45_frames");
    ASSERT_EQ(frames.size(), 450u);
    size_t keys = 0;
    for (const Bytes &f : frames) keys += is_key(f);
    ASSERT_EQ(keys, 2u);
    const std::string path = kWork + "/gop45.mkv";
    write_video(path, frames, VIDEO_MKV_CODEC_H264, 5, avc_block(frames[0]));
    expect_sound_file(path, 450);
    const Walk w = walk_file(path);
    EXPECT_GE(w.clusters.size(), 4u);
    EXPECT_EQ(w.cuePositions.size(), 2u);
    std::istringstream in(kxtest::tool_output({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0",
                                               "-show_entries", "packet=pts", "-of", "csv=p=0", path}));
    std::vector<long> pts;
    long v;
    while (in >> v) pts.push_back(v);
    ASSERT_EQ(pts.size(), 450u);
    for (size_t i = 0; i < pts.size(); ++i) ASSERT_EQ(pts[i], long(i) * 200) << i;
    EXPECT_EQ(kxtest::decoded_hashes(path), kxtest::decoded_hashes(src));
}

// H.264, AAC and SSA subtitles in one file: both media streams are reported and decode, the
// audio sample for sample as the ADTS source.
TEST(MkvWriter, VideoAudioAndSubtitlesInOneFile) {
    const std::string src = kxtest::small_clip(work(), "clip_160x120_10fps_3s", "160x120", 10, 3);
    const std::vector<Bytes> frames = kxtest::packets_of(src, kWork + "/av_frames");
    ASSERT_EQ(frames.size(), 30u);
    const std::string adts = kWork + "/tone.aac";
    ASSERT_EQ(kxtest::run_process({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                   "sine=frequency=440:sample_rate=44100:duration=3", "-c:a", "aac", "-b:a", "64k",
                                   "-f", "adts", adts},
                                  60000),
              0);
    kx_ObjectList *audio = audio_aac_object_get_from_file__IO(adts.c_str(), 0, 0, 0, 0);
    ASSERT_NE(audio, nullptr);
    const std::string path = kWork + "/av.mkv";
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const Bytes block = avc_block(frames[0]);
    video_mkv_writer_track t[3] = {};
    t[0].type = VIDEO_MKV_TRACK_VIDEO;
    t[0].codec = VIDEO_MKV_CODEC_H264;
    t[0].width = 160;
    t[0].height = 120;
    t[0].frameRate = 10;
    t[0].codecPrivate = block.data();
    t[1].type = VIDEO_MKV_TRACK_AUDIO;
    t[1].codec = VIDEO_MKV_CODEC_AAC;
    t[1].sampleRate = 44100;
    t[1].channels = 1;
    t[2].type = VIDEO_MKV_TRACK_SUBTITLE;
    t[2].codec = VIDEO_MKV_CODEC_SSA;
    t[2].width = 160;
    t[2].height = 120;
    video_mkv_writer *m = video_mkv_new_for_file_save__IO(f, 3, t);
    ASSERT_NE(m, nullptr);
    // Interleaved by time: audio frames of 1024 samples up to each picture's time.
    uint32_t a = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        for (; a < audio->count && a * 1024.0 / 44100 <= i / 10.0; ++a) {
            auto *o = static_cast<audio_aac_object *>(audio->array[audio->start + a]);
            ASSERT_EQ(video_mkv_file_save_audio(m, 2, o->dataLenth, o->data), 1);
        }
        uint32_t len = uint32_t(frames[i].size());
        ASSERT_EQ(video_mkv_file_save_frame(m, 1, is_key(frames[i]), &len, frames[i].data()), 1);
        if (i % 10 == 0) {
            const std::string line = "0,0,New Style,,0,0,0,,second " + std::to_string(i / 10);
            ASSERT_EQ(video_mkv_file_save_subtitle(m, 3, i / 10.0, 0.8, uint32_t(line.size()), line.c_str()), 1);
        }
    }
    for (; a < audio->count; ++a) {
        auto *o = static_cast<audio_aac_object *>(audio->array[audio->start + a]);
        ASSERT_EQ(video_mkv_file_save_audio(m, 2, o->dataLenth, o->data), 1);
    }
    const uint32_t audioFrames = audio->count;
    for (uint32_t i = 0; i < audio->count; ++i)
        kx_Object_delete__OI(static_cast<kx_Object *>(audio->array[audio->start + i]));
    kx_ObjectList_delete__OI(audio);
    ASSERT_EQ(video_mkv_file_save_finish(m), 1);
    video_mkv_writer_delete__OI(m);
    fclose(f);

    expect_sound_file(path, 30 + audioFrames + 3);
    const std::string json = mkvmerge_json(path);
    EXPECT_NE(json.find("\"codec\": \"AAC\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"codec\": \"SubStationAlpha\""), std::string::npos) << json;
    EXPECT_EQ(kxtest::probe_stream(path, "codec_name", false, "v"), "h264");
    EXPECT_EQ(kxtest::probe_stream(path, "codec_name,sample_rate,channels", false, "a"), "aac\n44100\n1");
    EXPECT_EQ(kxtest::probe_stream(path, "codec_name", false, "s"), "ass");
    EXPECT_EQ(kxtest::decoded_hashes(path), kxtest::decoded_hashes(src));
    auto audio_md5 = [](const std::string &in) {
        return kxtest::tool_output(
            {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-i", in, "-map", "0:a", "-f", "md5", "-"});
    };
    const std::string decoded = audio_md5(path);
    EXPECT_FALSE(decoded.empty());
    EXPECT_EQ(decoded, audio_md5(adts));

    // The library's reader finds the three tracks with every frame.
    f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    video_mkv *r = video_mkv_new_from_file__IO(f);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->rows[1].frames->count, 30u);
    EXPECT_EQ(r->rows[2].frames->count, audioFrames);
    EXPECT_EQ(r->rows[2].height, 44100u);
    ASSERT_EQ(r->rows[3].frames->count, 3u);
    auto *sub = static_cast<const video_mkv_frame *>(r->rows[3].frames->array[r->rows[3].frames->start + 1]);
    EXPECT_FLOAT_EQ(sub->end - sub->start, 0.8f);
    video_mkv_delete__OI(r);
    fclose(f);
}

// The places the finish patches lie behind the element heads they belong to.
TEST(MkvWriterLayout, HeadPatchPlaces) {
    namespace w = kx::mkvw;
    const w::Bytes h = w::head();
    ASSERT_EQ(h.size(), w::kHeadSize);
    EXPECT_EQ(Bytes(h.begin() + w::kSegmentSizeAt - 4, h.begin() + w::kSegmentSizeAt + 1),
              (Bytes{0x18, 0x53, 0x80, 0x67, 0x01}));
    EXPECT_EQ(Bytes(h.begin() + w::kCuesPositionAt - 7, h.begin() + w::kCuesPositionAt),
              (Bytes{0x1C, 0x53, 0xBB, 0x6B, 0x53, 0xAC, 0x87}));
    EXPECT_EQ(Bytes(h.begin() + w::kDurationAt - 3, h.begin() + w::kDurationAt), (Bytes{0x44, 0x89, 0x84}));
    const Bytes info = {0x15, 0x49, 0xA9, 0x66};
    EXPECT_EQ(Bytes(h.begin() + w::kSegmentDataAt + 0x35, h.begin() + w::kSegmentDataAt + 0x39), info);
    EXPECT_EQ(w::kSegmentDataAt + 0xC8, w::kHeadSize);  // the Tracks element follows the head
}

TEST(MkvWriter, RefusesInvalidTracks) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    const float rates[] = {0.0f, -5.0f, NAN, INFINITY};
    for (float r : rates) {
        video_mkv_writer_track t = {};
        t.type = VIDEO_MKV_TRACK_VIDEO;
        t.codec = VIDEO_MKV_CODEC_MJPEG;
        t.width = 16;
        t.height = 16;
        t.frameRate = r;
        kxtest::StdoutCapture cap;
        EXPECT_EQ(video_mkv_new_for_file_save__IO(f, 1, &t), nullptr) << r;
        EXPECT_NE(cap.text().find("Invalid frameRate"), std::string::npos) << r;
    }
    video_mkv_writer_track bad[3] = {};
    bad[0] = {VIDEO_MKV_TRACK_VIDEO, 9, 16, 16, 25, 0, 0, nullptr, nullptr, 0};        // unknown codec
    bad[1] = {VIDEO_MKV_TRACK_AUDIO, VIDEO_MKV_CODEC_AAC, 0, 0, 0, 44100, 0, nullptr, nullptr, 0};  // no channels
    bad[2] = {VIDEO_MKV_TRACK_VIDEO, VIDEO_MKV_CODEC_H264, 16, 16, 25, 0, 0, nullptr, nullptr, 0};  // no record
    for (const video_mkv_writer_track &t : bad) {
        kxtest::StdoutCapture cap;
        EXPECT_EQ(video_mkv_new_for_file_save__IO(f, 1, &t), nullptr);
        EXPECT_FALSE(cap.text().empty());
    }
    EXPECT_EQ(ftello(f), 0);  // nothing written for a refused recording
    fclose(f);
}

TEST(MkvWriter, WriteFailuresAreNegativeAndStick) {
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    video_mkv_writer_track t = {};
    t.type = VIDEO_MKV_TRACK_VIDEO;
    t.codec = VIDEO_MKV_CODEC_MJPEG;
    t.width = 16;
    t.height = 16;
    t.frameRate = 25;
    video_mkv_writer *m = video_mkv_new_for_file_save__IO(full, 1, &t);  // the head is still buffered
    ASSERT_NE(m, nullptr);
    const Bytes big(1 << 20, 0xFF);
    kxtest::StdoutCapture cap;
    uint32_t len = uint32_t(big.size());
    EXPECT_EQ(video_mkv_file_save_frame(m, 1, 1, &len, big.data()), VIDEO_MKV_ERROR_WRITE);
    EXPECT_NE(cap.text().find("Write data error:\"No space left on device\""), std::string::npos);
    len = 8;
    EXPECT_LT(video_mkv_file_save_frame(m, 1, 1, &len, big.data()), 0);
    EXPECT_LT(video_mkv_file_save_finish(m), 0);
    video_mkv_writer_delete__OI(m);
    fclose(full);

    // A small recording that stays in the stream's buffer fails when it is finished.
    full = fopen("/dev/full", "wb");
    m = video_mkv_new_for_file_save__IO(full, 1, &t);
    ASSERT_NE(m, nullptr);
    len = 5;
    EXPECT_EQ(video_mkv_file_save_frame(m, 1, 1, &len, big.data()), 1);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(video_mkv_file_save_finish(m), VIDEO_MKV_ERROR_WRITE);
    video_mkv_writer_delete__OI(m);
    fclose(full);
}

}  // namespace
