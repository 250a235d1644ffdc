// Matroska reader: files made by ffmpeg, mkvmerge and GStreamer index with ffprobe's packet
// counts and key flags, their H.264 read back as Annex B decodes to the file's pictures and
// their AAC read back as ADTS equals ffmpeg's extraction; small hand-made files cover the
// SeekHead forms, the lacings and the files without clusters; a table of hostile files gives
// the record and null.
#include "kx/mkv.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/mkv_reader.hpp"
#include "kx/objectlist.h"
#include "tests/support/stdout_capture.hpp"

namespace {

using Capture = kxtest::CaptureShownOnFailure;
using Bytes = std::vector<uint8_t>;

// ---- fixtures made by other muxers, cached in the build tree ----

std::string fixtureDir() {
    std::string d = std::string(KX_TEST_BINARY_DIR) + "/peers/mkv";
    system(("mkdir -p '" + d + "'").c_str());
    return d;
}

std::string run(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// Makes dir/name once with `make`, a shell command writing to $OUT; the file is renamed into
// place, so one that exists is complete, and a second caller waits on the lock.
std::string fixture(const std::string &name, const std::string &make) {
    const std::string path = fixtureDir() + "/" + name;
    const std::string script = path + ".make.sh." + std::to_string(getpid());
    std::ofstream(script) << "exec 9>'" << path << ".lock'; flock 9\n"
                          << "if [ ! -s '" << path << "' ]; then OUT='" << path << ".tmp." << getpid() << "." << name
                          << "'; (" << make << ") >/dev/null 2>&1 && mv -f \"$OUT\" '" << path << "'; fi\n";
    system(("bash '" + script + "'").c_str());
    unlink(script.c_str());
    struct stat st;
    return stat(path.c_str(), &st) == 0 && st.st_size > 0 ? path : std::string();
}

const char *kFf = "timeout 120 ffmpeg -nostdin -v error -y ";
const std::string kVideo = "-f lavfi -i testsrc2=size=160x120:rate=25 ";
const std::string kX264 = "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 12 ";

struct Muxer {
    const char *name;
    std::string file;
};

std::vector<Muxer> muxers() {
    static std::vector<Muxer> m = [] {
        std::vector<Muxer> v;
        v.push_back({"ffmpeg, 48 kHz mono",
                     fixture("ff48mono.mkv", kFf + kVideo + "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 1.6 " +
                                                 kX264 + "-c:a aac -ac 1 -f matroska \"$OUT\"")});
        // Several slices per picture: every non-key frame holds more than one unit.
        v.push_back({"ffmpeg, 44.1 kHz stereo, 3 slices",
                     fixture("ff44stereo.mkv", kFf + kVideo + "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 1.6 " +
                                                   kX264 + "-slices 3 -c:a aac -ac 2 -f matroska \"$OUT\"")});
        v.push_back({"mkvmerge",
                     fixture("mkvmerge.mkv", kFf + kVideo + "-f lavfi -i sine=frequency=300:sample_rate=44100 -t 1.6 " +
                                                 kX264 + "-c:a aac -ac 2 -f mp4 \"$OUT.mp4\" && mkvmerge -q -o \"$OUT\" \"$OUT.mp4\"; "
                                                         "r=$?; rm -f \"$OUT.mp4\"; [ $r -le 1 ]")});
        v.push_back({"GStreamer matroskamux",
                     fixture("gst.mkv", "timeout 120 gst-launch-1.0 -q videotestsrc num-buffers=40 ! "
                                        "video/x-raw,format=I420,width=160,height=120,framerate=25/1 ! "
                                        "x264enc key-int-max=12 ! h264parse ! queue ! matroskamux name=mux ! "
                                        "filesink location=\"$OUT\" audiotestsrc num-buffers=70 samplesperbuffer=1024 ! "
                                        "audio/x-raw,rate=48000,channels=1 ! avenc_aac ! aacparse ! queue ! mux.")});
        // A recording that starts an hour in, with B-frames, as a camera's clock gives it.
        v.push_back({"GStreamer matroskamux, from 3600 s",
                     fixture("gst3600.mkv", "timeout 120 gst-launch-1.0 -q videotestsrc num-buffers=40 "
                                            "timestamp-offset=3600000000000 ! "
                                            "video/x-raw,format=I420,width=160,height=120,framerate=25/1 ! "
                                            "x264enc key-int-max=12 bframes=2 ! h264parse ! queue ! matroskamux name=mux ! "
                                            "filesink location=\"$OUT\" audiotestsrc num-buffers=70 samplesperbuffer=1024 "
                                            "timestamp-offset=3600000000000 ! audio/x-raw,rate=48000,channels=1 ! "
                                            "avenc_aac ! aacparse ! queue ! mux.")});
        return v;
    }();
    return m;
}

// ffprobe's packets of one stream, in file order: key flag and presentation time.
struct Packet {
    bool key;
    double pts;
};
std::vector<Packet> probePackets(const std::string &file, const char *stream) {
    std::string out = run(std::string("timeout 60 ffprobe -v error -select_streams ") + stream +
                          " -show_entries packet=pts_time,flags -of csv=p=0 '" + file + "'");
    std::vector<Packet> packets;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t nl = out.find('\n', pos);
        if (nl == std::string::npos) nl = out.size();
        const std::string line = out.substr(pos, nl - pos);
        const size_t comma = line.find(',');
        // "N/A" (no time) reads as NaN, which no frame time equals.
        if (comma != std::string::npos)
            packets.push_back({line[comma + 1] == 'K', line[0] == 'N' ? NAN : strtod(line.c_str(), nullptr)});
        pos = nl + 1;
    }
    return packets;
}

std::vector<const video_mkv_frame *> framesOf(const video_mkv *m, unsigned track) {
    std::vector<const video_mkv_frame *> v;
    const kx_ObjectList *l = m->rows[track].frames;
    for (uint32_t i = 0; i < l->count; ++i) v.push_back(static_cast<const video_mkv_frame *>(l->array[l->start + i]));
    return v;
}

struct Opened {
    FILE *file = nullptr;
    video_mkv *mkv = nullptr;
    explicit Opened(const std::string &path) {
        file = fopen(path.c_str(), "rb");
        if (file) mkv = video_mkv_new_from_file__IO(file);
    }
    ~Opened() {
        video_mkv_delete__OI(mkv);
        if (file) fclose(file);
    }
};

std::string readFile(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(MkvReader, OtherMuxersIndexAsFfprobeSeesThem) {
    Capture cap;
    for (const Muxer &mx : muxers()) {
        SCOPED_TRACE(mx.name);
        ASSERT_FALSE(mx.file.empty()) << "the muxer did not make its file";
        Opened o(mx.file);
        ASSERT_NE(o.mkv, nullptr);
        const video_mkv *m = o.mkv;
        EXPECT_EQ(m->videoCount, 1);
        EXPECT_EQ(m->audioCount, 1);
        EXPECT_EQ(m->fileEnd, readFile(mx.file).size());
        const video_mkv_track &v = m->rows[m->firstVideoTrack];
        EXPECT_EQ(v.codec, VIDEO_MKV_CODEC_H264);
        EXPECT_EQ(v.width, 160u);
        EXPECT_EQ(v.height, 120u);
        EXPECT_FLOAT_EQ(v.frameRate, 25.0f);
        // Key flags and block times frame by frame; with B-frames the times are out of file
        // order, and the recording from 3600 s keeps its own clock.
        std::vector<Packet> packets = probePackets(mx.file, "v:0");
        std::vector<const video_mkv_frame *> frames = framesOf(m, m->firstVideoTrack);
        ASSERT_GT(packets.size(), 20u);
        ASSERT_EQ(frames.size(), packets.size());
        size_t outOfOrder = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ((frames[i]->flags & VIDEO_MKV_FRAME_KEY) != 0, packets[i].key) << i;
            EXPECT_NEAR(frames[i]->time, packets[i].pts, 1e-6) << "video frame " << i;
            if (i > 0 && frames[i]->time < frames[i - 1]->time) ++outOfOrder;
        }
        EXPECT_GT(outOfOrder, 3u) << "no B-frames in this file";
        const bool late = std::string(mx.name).find("3600") != std::string::npos;
        EXPECT_NEAR(frames[0]->time, late ? 3600.0 : 0.0, 0.05);
        EXPECT_DOUBLE_EQ(m->tick, 0.001);

        const video_mkv_track &a = m->rows[m->firstAudioTrack];
        EXPECT_EQ(a.codec, VIDEO_MKV_CODEC_AAC);
        const bool stereo = std::string(mx.name).find("44.1") != std::string::npos || mx.name == std::string("mkvmerge");
        EXPECT_EQ(a.height, stereo ? 44100u : 48000u);
        EXPECT_EQ(a.width >> 3, stereo ? 2u : 1u);
        EXPECT_FLOAT_EQ(a.frameRate, static_cast<float>(a.height / 1024.0));
        std::vector<const video_mkv_frame *> audio = framesOf(m, m->firstAudioTrack);
        packets = probePackets(mx.file, "a:0");
        ASSERT_EQ(audio.size(), packets.size());
        // A frame right behind the one before it is laced with it (mkvmerge laces AAC):
        // ffprobe steps through a lace by the track's default duration cut to whole ticks,
        // the reader by 1024 samples, so ffprobe's times fall behind by at most a tick a frame.
        size_t k = 0, laced = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            k = i > 0 && audio[i]->offset == audio[i - 1]->offset + audio[i - 1]->size ? k + 1 : 0;
            laced += k > 0;
            EXPECT_NEAR(audio[i]->time, packets[i].pts, 1e-6 + k * m->tick) << "audio frame " << i;
            if (k > 0) {
                EXPECT_NEAR(audio[i]->time - audio[i - k]->time, k * 1024.0 / a.height, 1e-9) << i;
            }
        }
        if (mx.name == std::string("mkvmerge")) {
            EXPECT_GT(laced, 0u) << "mkvmerge laced nothing";
        }
    }
}

// Decoded pictures as ffmpeg's per-frame hashes (the hash column only).
std::vector<std::string> pictureHashes(const std::string &input) {
    std::string out = run("timeout 120 ffmpeg -nostdin -v error " + input + " -map 0:v:0 -fps_mode passthrough -f framemd5 -");
    std::vector<std::string> hashes;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t nl = out.find('\n', pos);
        if (nl == std::string::npos) nl = out.size();
        std::string line = out.substr(pos, nl - pos);
        size_t comma = line.rfind(',');
        if (!line.empty() && line[0] != '#' && comma != std::string::npos) hashes.push_back(line.substr(comma + 1));
        pos = nl + 1;
    }
    return hashes;
}

TEST(MkvReader, SamplesReadBackDecodeAndExtractAsFfmpegDoes) {
    Capture cap;
    for (const Muxer &mx : muxers()) {
        SCOPED_TRACE(mx.name);
        ASSERT_FALSE(mx.file.empty());
        Opened o(mx.file);
        ASSERT_NE(o.mkv, nullptr);
        const video_mkv_track &v = o.mkv->rows[o.mkv->firstVideoTrack];
        const uint32_t privLength = VIDEO_MKV_CODECPRIVATE_LENGTH(v.codecPrivate);
        Bytes key(VIDEO_MKV_KEYDATA_MAX(privLength));
        ASSERT_EQ(video_mkv_h264_get_keyData(key.data(), static_cast<uint32_t>(key.size()), v.codecPrivate), 1);

        std::string annexB;
        for (const video_mkv_frame *f : framesOf(o.mkv, o.mkv->firstVideoTrack)) {
            const bool isKey = f->flags & VIDEO_MKV_FRAME_KEY;
            Bytes out(f->size + key.size());
            int n = video_mkv_read_h264Stream_from_file(out.data(), static_cast<uint32_t>(out.size()),
                                                        isKey ? key.data() : nullptr, o.file, f->offset, f->size);
            ASSERT_GT(n, 0);
            annexB.append(reinterpret_cast<const char *>(out.data()), static_cast<size_t>(n));
        }
        const std::string h264 = mx.file + ".test.h264";
        std::ofstream(h264, std::ios::binary) << annexB;
        std::vector<std::string> fromFile = pictureHashes("-i '" + mx.file + "'");
        ASSERT_FALSE(fromFile.empty());
        EXPECT_EQ(pictureHashes("-f h264 -i '" + h264 + "'"), fromFile);
        unlink(h264.c_str());

        kx_String *adts = video_mkv_file_to_aac__IO(o.mkv, 0);
        ASSERT_NE(adts, nullptr);
        const std::string ref = mx.file + ".test.aac";
        run(std::string(kFf) + "-i '" + mx.file + "' -map 0:a:0 -c:a copy -f adts '" + ref + "'");
        const std::string expected = readFile(ref);
        unlink(ref.c_str());
        ASSERT_FALSE(expected.empty());
        EXPECT_TRUE(std::string(adts->buffer, adts->lenth) == expected)
            << adts->lenth << " bytes against ffmpeg's " << expected.size();
        kx_String_delete__OI(adts);
    }
}

// ---- hand-made files ----

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes idBytes(uint32_t id) {
    Bytes b;
    for (int s = 24; s >= 0; s -= 8)
        if ((id >> s) || !b.empty() || s == 0) b.push_back(uint8_t(id >> s));
    return b;
}
Bytes sizeBytes(uint64_t n) {
    if (n < 127) return {uint8_t(0x80 | n)};
    Bytes b = {0x01};
    for (int s = 48; s >= 0; s -= 8) b.push_back(uint8_t(n >> s));
    return b;
}
Bytes el(uint32_t id, const Bytes &body) { return cat({idBytes(id), sizeBytes(body.size()), body}); }
Bytes uintEl(uint32_t id, uint64_t v, int bytes = 1) {
    Bytes b;
    for (int i = bytes - 1; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
    return el(id, b);
}
Bytes text(uint32_t id, const char *s) { return el(id, Bytes(s, s + strlen(s))); }

namespace id = kx::mkv;

const Bytes kAvcc = {1, 0x64, 0, 0x0B, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x0B, 1, 0, 2, 0x68, 0xEB};

Bytes videoEntry(uint64_t number = 1) {
    return el(id::kIdTrackEntry, cat({uintEl(id::kIdTrackNumber, number), uintEl(id::kIdTrackType, 1),
                                      text(id::kIdCodecId, "V_MPEG4/ISO/AVC"), uintEl(id::kIdDefaultDuration, 40000000, 4),
                                      el(id::kIdVideo, cat({uintEl(id::kIdPixelWidth, 320, 2), uintEl(id::kIdPixelHeight, 240)})),
                                      el(id::kIdCodecPrivate, kAvcc)}));
}
Bytes audioEntry(uint64_t number, const Bytes &rate) {
    return el(id::kIdTrackEntry, cat({uintEl(id::kIdTrackNumber, number), uintEl(id::kIdTrackType, 2),
                                      text(id::kIdCodecId, "A_AAC"),
                                      el(id::kIdAudio, cat({el(id::kIdSamplingFrequency, rate), uintEl(id::kIdChannels, 2)})),
                                      el(id::kIdCodecPrivate, {0x11, 0x90})}));
}
const Bytes kRate48k = {0x47, 0x3B, 0x80, 0x00};  // 48000 as a 4-byte float

Bytes seekEntry(bool positionFirst, uint32_t position) {
    Bytes seekId = el(id::kIdSeekId, idBytes(id::kIdTracks)), seekPos = uintEl(id::kIdSeekPosition, position, 4);
    return el(id::kIdSeek, positionFirst ? cat({seekPos, seekId}) : cat({seekId, seekPos}));
}

// EBML header, then a segment of SeekHead (pointing at the Tracks that follow), Tracks and rest.
Bytes file(const Bytes &tracksBody, const Bytes &rest, bool positionFirst = false) {
    const Bytes header = el(id::kIdEbml, text(0x4282, "matroska"));
    const uint32_t position = static_cast<uint32_t>(el(id::kIdSeekHead, seekEntry(positionFirst, 0)).size());
    const Bytes segment = cat({el(id::kIdSeekHead, seekEntry(positionFirst, position)), el(id::kIdTracks, tracksBody), rest});
    return cat({header, el(id::kIdSegment, segment)});
}

Bytes simpleBlock(uint8_t track, uint8_t flags, const Bytes &payload) {
    return el(id::kIdSimpleBlock, cat({{uint8_t(0x80 | track), 0, 0, flags}, payload}));
}
Bytes cluster(const Bytes &children) { return el(id::kIdCluster, cat({uintEl(id::kIdTimecode, 0), children})); }

struct Index {
    int rv;
    id::Index ix;
};
Index indexOf(const Bytes &bytes, id::Limits limits = id::Limits()) {
    Index r;
    id::MemorySource src(bytes.data(), bytes.size());
    r.rv = id::readIndex(src, 0, &r.ix, limits);
    return r;
}

// Offset of a payload inside the file.
uint64_t find(const Bytes &hay, const Bytes &needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return static_cast<uint64_t>(it - hay.begin());
}

TEST(MkvReader, SeekHeadEntriesInEitherOrder) {
    Capture cap;
    const Bytes key(40, 0xAB), delta(30, 0xCD);
    for (bool positionFirst : {false, true}) {
        SCOPED_TRACE(positionFirst);
        Bytes f = file(videoEntry(), cluster(cat({simpleBlock(1, 0x80, key), simpleBlock(1, 0x00, delta)})), positionFirst);
        Index r = indexOf(f);
        ASSERT_EQ(r.rv, 1);
        ASSERT_EQ(r.ix.rows.size(), 2u);
        const id::Track &t = r.ix.rows[1];
        EXPECT_EQ(t.width, 320u);
        EXPECT_FLOAT_EQ(t.frameRate, 25.0f);
        ASSERT_EQ(t.frames.size(), 2u);
        EXPECT_EQ(t.frames[0].offset, find(f, key));
        EXPECT_EQ(t.frames[0].size, 40u);
        EXPECT_EQ(t.frames[0].flags, VIDEO_MKV_FRAME_KEY);
        EXPECT_EQ(t.frames[1].offset, find(f, delta));
        EXPECT_EQ(t.frames[1].flags, 0u);
        EXPECT_EQ(r.ix.fileEnd, f.size());
    }
}

Bytes xiphSize(size_t n) {
    Bytes b(n / 255, 255);
    b.push_back(uint8_t(n % 255));
    return b;
}

TEST(MkvReader, LacedAudioBlocks) {
    Capture cap;
    // EBML: 300, then 200 as -100 in a 2-byte signed vint (bias 8191).
    const uint16_t minus100 = 0x4000 | (8191 - 100);
    struct Case {
        const char *what;
        uint8_t flags;
        Bytes head;  // lace count and sizes
        std::vector<size_t> sizes;
    } cases[] = {
        {"Xiph (2; 255, 45; 200)", 0x82, {2, 255, 45, 200}, {300, 200, 100}},
        {"EBML", 0x86, {2, 0x41, 0x2C, uint8_t(minus100 >> 8), uint8_t(minus100)}, {300, 200, 100}},
        // Lace sizes longer than the reader's first look at the block.
        {"Xiph, 69 bytes of sizes", 0x82, cat({{2}, xiphSize(9000), xiphSize(8000)}), {9000, 8000, 7}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Bytes frames;
        for (size_t i = 0; i < k.sizes.size(); ++i) frames = cat({frames, Bytes(k.sizes[i], uint8_t(0x11 * (i + 1)))});
        Bytes f = file(cat({videoEntry(), audioEntry(2, kRate48k)}), cluster(simpleBlock(2, k.flags, cat({k.head, frames}))));
        Index r = indexOf(f);
        ASSERT_EQ(r.rv, 1);
        const std::vector<video_mkv_frame> &fr = r.ix.rows[2].frames;
        ASSERT_EQ(fr.size(), k.sizes.size());
        // The first frame begins right after the lace sizes; the others follow it.
        uint64_t at = find(f, k.head) + k.head.size();
        for (size_t i = 0; i < fr.size(); ++i) {
            EXPECT_EQ(fr[i].offset, at);
            EXPECT_EQ(fr[i].size, k.sizes[i]);
            at += k.sizes[i];
        }
        EXPECT_EQ(r.ix.rows[2].height, 48000u);
        EXPECT_EQ(r.ix.rows[2].width, 2u << 3);
        // The frames of an AAC lace follow each other by 1024 samples from the block time.
        for (size_t i = 0; i < fr.size(); ++i) EXPECT_DOUBLE_EQ(fr[i].time, i * 1024 / 48000.0) << i;
    }
}

// Block times: cluster timestamp plus the block's signed offset, in TimestampScale units;
// the frames of a laced video block share theirs; the C record gives the same times.
TEST(MkvReader, BlockTimesFromClusterTimestampsAndSignedOffsets) {
    Capture cap;
    auto timed = [](uint8_t track, int16_t offset, uint8_t flags, const Bytes &payload) {
        return el(id::kIdSimpleBlock,
                  cat({{uint8_t(0x80 | track), uint8_t(uint16_t(offset) >> 8), uint8_t(offset), flags}, payload}));
    };
    const Bytes p(8, 5);
    // 0.1 ms units: clusters at 2 s and 2.5 s.
    const Bytes clusters =
        cat({el(id::kIdCluster, cat({uintEl(id::kIdTimecode, 20000, 2), timed(1, 0, 0x80, p), timed(1, 1200, 0, p),
                                     timed(1, -400, 0, p), timed(1, 400, 0, p)})),
             el(id::kIdCluster, cat({uintEl(id::kIdTimecode, 25000, 2), timed(1, -32768, 0, p),
                                     timed(1, 32767, 0x82, cat({{1, 3}, p}))}))});
    Bytes f = file(videoEntry(), cat({el(id::kIdInfo, uintEl(id::kIdTimecodeScale, 100000, 3)), clusters}));
    Index r = indexOf(f);
    ASSERT_EQ(r.rv, 1);
    const std::vector<video_mkv_frame> &fr = r.ix.rows[1].frames;
    const double expected[] = {2.0, 2.12, 1.96, 2.04, 2.5 - 3.2768, 2.5 + 3.2767, 2.5 + 3.2767};
    ASSERT_EQ(fr.size(), std::size(expected));
    for (size_t i = 0; i < fr.size(); ++i) EXPECT_NEAR(fr[i].time, expected[i], 1e-9) << i;
    FILE *fp = fmemopen(f.data(), f.size(), "rb");
    ASSERT_NE(fp, nullptr);
    video_mkv *m = video_mkv_new_from_file__IO(fp);
    ASSERT_NE(m, nullptr);
    EXPECT_DOUBLE_EQ(m->tick, 1e-4);
    std::vector<const video_mkv_frame *> c = framesOf(m, 1);
    ASSERT_EQ(c.size(), fr.size());
    for (size_t i = 0; i < c.size(); ++i) EXPECT_EQ(c[i]->time, fr[i].time) << i;
    video_mkv_delete__OI(m);
    fclose(fp);
}

// A live recording: segment and clusters of unknown size. A cluster ends where an element
// that cannot be its child begins; the segment ends with the file.
TEST(MkvReader, UnknownSizesOfALiveRecording) {
    Capture cap;
    const Bytes unknown = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes p1(30, 1), p2(31, 2), p3(32, 3);
    Bytes normal = file(videoEntry(), {});
    Bytes segmentData(normal.begin() + static_cast<long>(find(normal, idBytes(id::kIdSeekHead))), normal.end());
    Bytes f = cat({el(id::kIdEbml, text(0x4282, "matroska")), idBytes(id::kIdSegment), unknown, segmentData,
                   idBytes(id::kIdCluster), unknown, uintEl(id::kIdTimecode, 0), simpleBlock(1, 0x80, p1),
                   simpleBlock(1, 0, p2), idBytes(id::kIdCluster), unknown, simpleBlock(1, 0, p3),
                   el(id::kIdCues, Bytes(6, 0))});
    Index r = indexOf(f);
    ASSERT_EQ(r.rv, 1);
    const std::vector<video_mkv_frame> &fr = r.ix.rows[1].frames;
    ASSERT_EQ(fr.size(), 3u);
    EXPECT_EQ(fr[0].offset, find(f, p1));
    EXPECT_EQ(fr[1].offset, find(f, p2));
    EXPECT_EQ(fr[2].offset, find(f, p3));
    EXPECT_EQ(fr[2].size, 32u);
    EXPECT_EQ(r.ix.fileEnd, f.size());
}

TEST(MkvReader, TracksWithoutClustersGiveEmptyIndexes) {
    Capture cap;
    const Bytes rate64 = {0x40, 0xE5, 0x88, 0x80, 0, 0, 0, 0};  // 44100 as an 8-byte float
    // The third track leaves channels and sampling frequency at their defaults, as mkvmerge
    // does for 8 kHz mono.
    const Bytes defaults = el(id::kIdTrackEntry, cat({uintEl(id::kIdTrackNumber, 3), uintEl(id::kIdTrackType, 2),
                                                      text(id::kIdCodecId, "A_AAC"), el(id::kIdAudio, {}),
                                                      el(id::kIdCodecPrivate, {0x15, 0x88})}));
    Bytes f = file(cat({videoEntry(), audioEntry(2, rate64), defaults}), el(id::kIdTags, Bytes(10, 0)));
    FILE *fp = fmemopen(f.data(), f.size(), "rb");
    ASSERT_NE(fp, nullptr);
    video_mkv *m = video_mkv_new_from_file__IO(fp);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->entryCount, 3);
    EXPECT_EQ(m->firstVideoTrack, 1);
    EXPECT_EQ(m->firstAudioTrack, 2);
    EXPECT_EQ(m->rows[1].frames->count, 0u);
    EXPECT_EQ(m->rows[2].frames->count, 0u);
    EXPECT_EQ(m->rows[2].height, 44100u);
    EXPECT_EQ(m->rows[3].height, 8000u);
    EXPECT_EQ(m->rows[3].width, 1u << 3);
    EXPECT_EQ(m->indexLists->count, 3u);
    EXPECT_EQ(video_mkv_file_to_aac__IO(m, 0), nullptr);  // nothing to extract
    EXPECT_EQ(video_mkv_file_to_aac__IO(m, 1), nullptr);  // not an audio track
    char printed[160] = {};
    FILE *out = fmemopen(printed, sizeof printed - 1, "w");
    ASSERT_NE(out, nullptr);
    video_mkv_out(m, out);
    fclose(out);
    char expected[160];
    snprintf(expected, sizeof expected, "320,240,2,25.000000,%zu,(1,2,0),%#llx", f.size(),
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(fp)));
    EXPECT_STREQ(printed, expected);
    video_mkv_delete__OI(m);
    fclose(fp);
}

// Unneeded elements at every level are skipped; Block groups give their key flag by the
// absence of a reference.
TEST(MkvReader, SkipsWhatItDoesNotNeed) {
    Capture cap;
    const Bytes voidEl = el(id::kIdVoid, Bytes(3, 0)), crc = el(id::kIdCrc32, Bytes(4, 0));
    const Bytes entry = el(id::kIdTrackEntry, cat({crc, uintEl(id::kIdTrackNumber, 1), uintEl(0x88, 1), uintEl(0x56AA, 0),
                                                   uintEl(id::kIdTrackType, 1), voidEl, text(id::kIdCodecId, "V_MPEG4/ISO/AVC"),
                                                   uintEl(id::kIdDefaultDuration, 40000000, 4),
                                                   el(id::kIdVideo, cat({uintEl(0x9A, 2), uintEl(id::kIdPixelWidth, 64),
                                                                         uintEl(id::kIdPixelHeight, 48)})),
                                                   el(id::kIdCodecPrivate, kAvcc)}));
    const Bytes p1(20, 1), p2(21, 2);
    const Bytes group = el(id::kIdBlockGroup, cat({el(id::kIdBlock, cat({{0x81, 0, 0, 0}, p2})), uintEl(id::kIdBlockDuration, 40),
                                                   uintEl(id::kIdReferenceBlock, 0xD8), voidEl}));
    const Bytes clusterBody = cat({uintEl(id::kIdTimecode, 0), uintEl(0xA7, 0), uintEl(0xAB, 10), crc,
                                   el(id::kIdBlockGroup, el(id::kIdBlock, cat({{0x81, 0, 0, 0}, p1}))), group, voidEl});
    Bytes f = file(cat({voidEl, entry}), cat({el(id::kIdInfo, uintEl(id::kIdTimecodeScale, 1000000, 3)), el(0x1043A770, Bytes(5, 0)),
                                              el(id::kIdCluster, clusterBody), el(0x1941A469, Bytes(5, 0)),
                                              el(id::kIdCues, Bytes(4, 0))}));
    Index r = indexOf(f);
    ASSERT_EQ(r.rv, 1);
    const std::vector<video_mkv_frame> &fr = r.ix.rows[1].frames;
    ASSERT_EQ(fr.size(), 2u);
    EXPECT_EQ(fr[0].offset, find(f, p1));
    EXPECT_EQ(fr[0].flags, VIDEO_MKV_FRAME_KEY);
    EXPECT_EQ(fr[1].offset, find(f, p2));
    EXPECT_EQ(fr[1].flags, 0u);
}

TEST(MkvReader, RefusesWhatItCannotIndex) {
    const Bytes payload(16, 7);
    const Bytes okTracks = cat({videoEntry(), audioEntry(2, kRate48k)});
    const Bytes okCluster = cluster(simpleBlock(1, 0x80, payload));
    Bytes good = file(okTracks, okCluster);
    // A Segment that begins with Info instead of a SeekHead.
    Bytes infoFirst = cat({el(id::kIdEbml, {}), el(id::kIdSegment, cat({el(id::kIdInfo, {}), el(id::kIdTracks, okTracks)}))});
    // A Tracks element claiming 4 GB in a file of a few hundred bytes.
    Bytes hugeTracks = good;
    {
        uint64_t at = find(hugeTracks, idBytes(id::kIdTracks)) + 4;
        Bytes claim = {0x01, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
        hugeTracks = cat({Bytes(good.begin(), good.begin() + at), claim, Bytes(good.begin() + at + 1, good.end())});
    }
    // A cluster claiming more than the segment holds.
    Bytes overrun = file(okTracks, cat({el(id::kIdCluster, cat({uintEl(id::kIdTimecode, 0), simpleBlock(1, 0x80, payload)}))}));
    {
        uint64_t at = find(overrun, idBytes(id::kIdCluster)) + 4;
        overrun[at] = uint8_t(overrun[at] + 40);
    }
    const Bytes lacedSizesPast = cluster(simpleBlock(2, 0x82, cat({{2, 255, 255, 10}, payload})));
    const Bytes laceCountPast = cluster(simpleBlock(2, 0x82, {200, 1, 1}));
    const Bytes ebmlLacePast = cluster(simpleBlock(2, 0x86, cat({{1, 0x40, 0x40}, payload})));
    const Bytes negativeEbmlLace = cluster(simpleBlock(2, 0x86, cat({{2, 0x82, 0x80}, payload})));
    const Bytes fixedLacing = cluster(simpleBlock(2, 0x84, cat({{1}, payload})));
    const Bytes blockTrack3 = cluster(simpleBlock(3, 0x80, payload));
    const Bytes groupWithoutBlock = cluster(el(id::kIdBlockGroup, uintEl(id::kIdBlockDuration, 4)));
    const Bytes tinyBlock = cluster(el(id::kIdSimpleBlock, {0x81, 0}));
    Bytes truncated(good.begin(), good.end() - 5);
    const Bytes opus = el(id::kIdTrackEntry, cat({uintEl(id::kIdTrackNumber, 1), uintEl(id::kIdTrackType, 2),
                                                  text(id::kIdCodecId, "A_OPUS")}));
    const Bytes noPrivate = el(id::kIdTrackEntry, cat({uintEl(id::kIdTrackNumber, 1), uintEl(id::kIdTrackType, 1),
                                                       text(id::kIdCodecId, "V_MPEG4/ISO/AVC"),
                                                       uintEl(id::kIdDefaultDuration, 40000000, 4),
                                                       el(id::kIdVideo, cat({uintEl(id::kIdPixelWidth, 64), uintEl(id::kIdPixelHeight, 48)}))}));
    struct Case {
        const char *what;
        Bytes bytes;
    } cases[] = {
        {"not EBML", Bytes(good.begin() + 4, good.end())},
        {"three bytes", Bytes(good.begin(), good.begin() + 3)},
        {"Info first", infoFirst},
        {"Tracks of 4 GB", hugeTracks},
        {"cluster past the segment", overrun},
        {"file cut short of its segment", truncated},
        {"Xiph sizes past the block", file(okTracks, lacedSizesPast)},
        {"lace count past the block", file(okTracks, laceCountPast)},
        {"EBML lace size past the block", file(okTracks, ebmlLacePast)},
        {"EBML lace size below zero", file(okTracks, negativeEbmlLace)},
        {"fixed-size lacing", file(okTracks, fixedLacing)},
        {"block of a track without a row", file(okTracks, blockTrack3)},
        {"block group without a block", file(okTracks, groupWithoutBlock)},
        {"block shorter than its head", file(okTracks, tinyBlock)},
        {"track number out of range", file(videoEntry(2), okCluster)},
        {"same track number twice", file(cat({videoEntry(1), videoEntry(1)}), {})},
        {"unsupported codec", file(opus, {})},
        {"video without codec private data", file(noPrivate, {})},
        {"no track entries", file(el(id::kIdVoid, {0}), {})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kxtest::StdoutCapture out;
        EXPECT_LT(indexOf(c.bytes).rv, 0);
        // The C constructor gives null with the same file in memory.
        Bytes copy = c.bytes;
        FILE *fp = fmemopen(copy.data(), copy.size(), "rb");
        ASSERT_NE(fp, nullptr);
        EXPECT_EQ(video_mkv_new_from_file__IO(fp), nullptr);
        fclose(fp);
        EXPECT_NE(out.text().find("--\033[31m"), std::string::npos) << "no error record";
    }
    EXPECT_EQ(indexOf(good).rv, 1);

    // A frame count above the limit is refused before it is stored.
    Bytes many = file(okTracks, cluster(cat({simpleBlock(2, 0x82, cat({{3, 4, 4, 4}, payload})), simpleBlock(1, 0x80, payload)})));
    {
        Capture cap;
        EXPECT_EQ(indexOf(many, id::Limits{4, 1u << 20}).rv, -1);
        EXPECT_EQ(indexOf(many, id::Limits{5, 1u << 20}).rv, 1);
    }
}

}  // namespace
