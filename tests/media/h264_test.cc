// H.264 analysis: classification, parameter-set location, SPS parsing and picture size on real
// libx264 streams (made once per build tree with ffmpeg) and on hand-built units; H.264 objects.
#include "kx/h264.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/h264_units.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Keeps log records out of the test output; replays everything when the test failed (gtest's
// own failure messages go to standard output too).
struct Quiet {
    kxtest::StdoutCapture capture;
    ~Quiet() {
        std::string text = capture.text();
        capture.restore();
        if (::testing::Test::HasFailure()) fputs(text.c_str(), stdout);
    }
};

const Bytes kCode4 = {0, 0, 0, 1};
const Bytes kCode3 = {0, 0, 1};

// ---------------------------------------------------------------------------------------------
// Real streams

struct StreamCase {
    const char *name;
    unsigned width, height;
    std::vector<std::string> encoderArgs;
    unsigned profile;     // what libx264 signals for these settings
    unsigned chroma;      // chroma_format_idc of the pixel format
    unsigned frameMbsOnly;
};

void PrintTo(const StreamCase &c, std::ostream *os) { *os << c.name; }

const StreamCase kStreams[] = {
    {"hd_high", 1920, 1080, {"-preset", "veryfast", "-profile:v", "high", "-pix_fmt", "yuv420p"}, 100, 1, 1},
    {"qhd_baseline", 640, 360, {"-preset", "ultrafast", "-profile:v", "baseline", "-pix_fmt", "yuv420p"}, 66, 1, 1},
    {"qcif_aud", 176, 144, {"-profile:v", "baseline", "-pix_fmt", "yuv420p", "-x264-params", "aud=1"}, 66, 1, 1},
    {"qhd_interlaced", 640, 360,
     {"-preset", "veryfast", "-pix_fmt", "yuv420p", "-flags", "+ildct+ilme", "-x264opts", "tff=1"}, 100, 1, 0},
    {"qhd_422", 640, 360, {"-preset", "ultrafast", "-pix_fmt", "yuv422p"}, 122, 2, 1},
    {"odd_444", 347, 197, {"-preset", "ultrafast", "-pix_fmt", "yuv444p"}, 244, 3, 1},
};

Bytes read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Three frames of the test pattern through libx264 as an Annex B file, cached in the build tree
// (written under a temporary name and renamed, so parallel test processes never see half a file).
Bytes stream_for(const StreamCase &c) {
    const std::string dir = std::string(KX_TEST_BINARY_DIR) + "/h264_streams";
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + c.name + ".h264";
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || st.st_size == 0) {
        const std::string tmp = path + ".tmp" + std::to_string(getpid());
        std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=" + std::to_string(c.width) + "x" +
                          std::to_string(c.height) + ":rate=25 -frames:v 3 -c:v libx264";
        for (const std::string &a : c.encoderArgs) cmd += " " + a;
        cmd += " -bsf:v h264_mp4toannexb -f h264 '" + tmp + "'";
        if (std::system(cmd.c_str()) != 0) return {};
        rename(tmp.c_str(), path.c_str());
    }
    return read_all(path);
}

struct Nal {
    size_t start;   // first byte of its start code
    size_t header;  // NAL header byte
    size_t end;     // where the next start code begins
};

std::vector<Nal> split_nals(const Bytes &b) {
    std::vector<Nal> out;
    for (size_t i = 0; i + 3 <= b.size(); ++i) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            size_t start = (i > 0 && b[i - 1] == 0) ? i - 1 : i;
            if (!out.empty()) out.back().end = start;
            out.push_back({start, i + 3, b.size()});
            i += 2;
        }
    }
    return out;
}

// Access units: a new one starts at a delimiter, at parameter sets or SEI after a slice, and at
// a slice with first_mb_in_slice 0 after a slice.
std::vector<Bytes> split_access_units(const Bytes &b) {
    std::vector<Bytes> units;
    size_t auStart = 0;
    bool haveSlice = false, open = false;
    for (const Nal &n : split_nals(b)) {
        unsigned type = b[n.header] & 0x1f;
        bool slice = type == 1 || type == 5;
        bool begins = type == 9 || (haveSlice && (type == 6 || type == 7 || type == 8)) ||
                      (haveSlice && slice && (b[n.header + 1] & 0x80));
        if (open && begins) {
            units.emplace_back(b.begin() + auStart, b.begin() + n.start);
            haveSlice = false;
        }
        if (!open || begins) auStart = n.start;
        open = true;
        haveSlice = haveSlice || slice;
    }
    if (open) units.emplace_back(b.begin() + auStart, b.end());
    return units;
}

// The unit (header to end) of the first NAL of `type` inside an access unit.
Bytes unit_of_type(const Bytes &au, unsigned type) {
    for (const Nal &n : split_nals(au)) {
        if ((au[n.header] & 0x1f) == type) return Bytes(au.begin() + n.header, au.begin() + n.end);
    }
    return {};
}

class RealStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(RealStream, KeyFramesParameterSetsAndSize) {
    const StreamCase &c = GetParam();
    Bytes stream = stream_for(c);
    ASSERT_FALSE(stream.empty()) << "ffmpeg with libx264 is needed to make " << c.name;
    std::vector<Bytes> frames = split_access_units(stream);
    ASSERT_EQ(frames.size(), 3u);
    Quiet quiet;

    for (size_t i = 0; i < frames.size(); ++i) {
        const Bytes &f = frames[i];  // exact-size heap copy: reading past it trips ASan
        const signed char want = i == 0 ? 3 : 0;
        EXPECT_EQ(video_h264_check_keyFrame(static_cast<uint32_t>(f.size()), f.data()), want) << "frame " << i;
        const unsigned char *sps = nullptr, *pps = nullptr;
        uint32_t spsLength = 0, ppsLength = 0;
        EXPECT_EQ(video_h264_check_keyFrame_and_get_sps_pps(static_cast<uint32_t>(f.size()), f.data(), &sps,
                                                            &spsLength, &pps, &ppsLength),
                  want);
        if (want != 3) {
            EXPECT_EQ(sps, nullptr);
            EXPECT_EQ(pps, nullptr);
            continue;
        }
        const Bytes spsUnit = unit_of_type(f, 7), ppsUnit = unit_of_type(f, 8);
        ASSERT_FALSE(spsUnit.empty());
        ASSERT_FALSE(ppsUnit.empty());
        ASSERT_TRUE(sps >= f.data() && sps + spsLength <= f.data() + f.size());
        ASSERT_TRUE(pps >= f.data() && pps + ppsLength <= f.data() + f.size());
        EXPECT_EQ(Bytes(sps, sps + spsLength), spsUnit);
        EXPECT_EQ(Bytes(pps, pps + ppsLength), ppsUnit);

        video_h264_sps record;
        ASSERT_EQ(video_h264_sps_get(&record, spsUnit.data(), static_cast<uint8_t>(spsUnit.size())), 1);
        EXPECT_EQ(record.profile_idc, c.profile);
        EXPECT_EQ(record.chroma_format_idc, c.chroma);
        EXPECT_EQ(record.frame_mbs_only_flag, c.frameMbsOnly);
        // Same unit behind a start code gives the same record.
        Bytes withCode = cat({kCode4, spsUnit});
        video_h264_sps again;
        ASSERT_EQ(video_h264_sps_get(&again, withCode.data(), static_cast<uint8_t>(withCode.size())), 1);
        EXPECT_EQ(memcmp(&record, &again, sizeof record), 0);

        uint32_t width = 0, height = 0;
        const uint8_t len = static_cast<uint8_t>(std::min<size_t>(f.size(), 255));
        Bytes head(f.begin(), f.begin() + len);
        ASSERT_EQ(video_h264_size_get(&width, &height, head.data(), len), 1);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
    }
}

INSTANTIATE_TEST_SUITE_P(Libx264, RealStream, ::testing::ValuesIn(kStreams),
                         [](const auto &info) { return std::string(info.param.name); });

// Frames rebuilt from the real units of one stream, in the orders a camera or server sends them.
TEST(H264KeyFrame, UnitOrdersFromRealStream) {
    Bytes stream = stream_for(kStreams[0]);
    ASSERT_FALSE(stream.empty());
    std::vector<Bytes> frames = split_access_units(stream);
    ASSERT_EQ(frames.size(), 3u);
    const Bytes sps = unit_of_type(frames[0], 7), pps = unit_of_type(frames[0], 8), sei = unit_of_type(frames[0], 6),
                idr = unit_of_type(frames[0], 5), p = unit_of_type(frames[1], 1);
    ASSERT_TRUE(!sps.empty() && !pps.empty() && !sei.empty() && !idr.empty() && !p.empty());
    const Bytes aud0 = {0x09, 0x10}, aud1 = {0x09, 0x30}, audOther = {0x09, 0x50};

    struct Case {
        const char *name;
        std::vector<Bytes> units;
        bool threeByteInside;
        signed char code;
    } cases[] = {
        {"idr", {idr}, false, 1},
        {"aud idr", {aud0, idr}, false, 1},
        {"aud(type 1) idr", {aud1, idr}, false, 1},
        {"aud(type 2) idr", {audOther, idr}, false, 0},
        {"aud aud idr", {aud0, aud0, idr}, false, 1},
        {"sps pps idr", {sps, pps, idr}, false, 3},
        {"sps pps sei idr", {sps, pps, sei, idr}, false, 3},
        {"sps pps sei idr (3-byte codes)", {sps, pps, sei, idr}, true, 3},
        {"aud sps pps sei idr", {aud0, sps, pps, sei, idr}, false, 3},
        {"sps pps p", {sps, pps, p}, false, 2},
        {"sps pps sei p", {sps, pps, sei, p}, true, 2},
        {"sps pps sei sei idr", {sps, pps, sei, sei, idr}, true, 3},
        {"sps pps sei sei p", {sps, pps, sei, sei, p}, false, 2},
        {"aud idr (3-byte code)", {aud0, idr}, true, 1},
        {"aud sps pps idr (3-byte codes)", {aud0, sps, pps, idr}, true, 3},
        {"p", {p}, false, 0},
        {"sei idr", {sei, idr}, false, 1},
        {"sei sps pps idr", {sei, sps, pps, idr}, true, 3},
        {"sei sei p", {sei, sei, p}, false, 0},
        {"aud sei sps pps p", {aud0, sei, sps, pps, p}, false, 2},
        // Parameter sets repeated in front of the slice: a stored key frame that carries its own
        // sets, read with the track's key data in front; encoders with several PPS.
        {"sps pps sps pps sei idr", {sps, pps, sps, pps, sei, idr}, false, 3},
        {"sps pps sps pps idr (3-byte codes)", {sps, pps, sps, pps, idr}, true, 3},
        {"aud sps pps sps pps sei idr", {aud0, sps, pps, sps, pps, sei, idr}, false, 3},
        {"sps pps sei sps pps idr", {sps, pps, sei, sps, pps, idr}, true, 3},
        {"sps pps pps idr", {sps, pps, pps, idr}, false, 3},
        {"sps sps pps idr", {sps, sps, pps, idr}, false, 3},
        {"sps pps sps idr", {sps, pps, sps, idr}, false, 3},
        {"sps pps sps pps p", {sps, pps, sps, pps, p}, false, 2},
        {"sps pps sps pps sei p", {sps, pps, sps, pps, sei, p}, true, 2},
        // A delimiter behind the sets opens another access unit: not part of the run.
        {"sps pps aud idr", {sps, pps, aud0, idr}, false, 2},
    };
    Quiet quiet;
    for (const Case &c : cases) {
        Bytes frame;
        for (size_t i = 0; i < c.units.size(); ++i) {
            const Bytes &code = (i > 0 && c.threeByteInside) ? kCode3 : kCode4;
            frame.insert(frame.end(), code.begin(), code.end());
            frame.insert(frame.end(), c.units[i].begin(), c.units[i].end());
        }
        const unsigned char *spsOut = nullptr, *ppsOut = nullptr;
        uint32_t spsLength = 0, ppsLength = 0;
        EXPECT_EQ(video_h264_check_keyFrame(static_cast<uint32_t>(frame.size()), frame.data()), c.code) << c.name;
        EXPECT_EQ(video_h264_check_keyFrame_and_get_sps_pps(static_cast<uint32_t>(frame.size()), frame.data(), &spsOut,
                                                            &spsLength, &ppsOut, &ppsLength),
                  c.code)
            << c.name;
        if (c.code & 2) {
            EXPECT_EQ(Bytes(spsOut, spsOut + spsLength), sps) << c.name;
            EXPECT_EQ(Bytes(ppsOut, ppsOut + ppsLength), pps) << c.name;
        }
    }
    // A 3-byte code in front is refused; the same frame with a 4-byte code is fine.
    Bytes front3 = cat({kCode3, sps, kCode4, pps, kCode4, idr});
    EXPECT_EQ(video_h264_check_keyFrame(static_cast<uint32_t>(front3.size()), front3.data()), -1);
}

// Two different sets in one frame (the track's key data, then the frame's own sets of a new
// picture size): the last PPS and the last SPS in front of it are the ones given.
TEST(H264KeyFrame, RepeatedParameterSetsGiveTheLastPair) {
    Bytes a = stream_for(kStreams[0]), b = stream_for(kStreams[1]);
    ASSERT_FALSE(a.empty() || b.empty());
    const Bytes first = split_access_units(a)[0], second = split_access_units(b)[0];
    const Bytes spsA = unit_of_type(first, 7), ppsA = unit_of_type(first, 8), idrA = unit_of_type(first, 5);
    const Bytes spsB = unit_of_type(second, 7), ppsB = unit_of_type(second, 8), sei = unit_of_type(second, 6);
    ASSERT_TRUE(!spsA.empty() && !ppsA.empty() && !idrA.empty() && !spsB.empty() && !ppsB.empty() && !sei.empty());
    ASSERT_NE(spsA, spsB);
    ASSERT_NE(ppsA, ppsB);
    struct Case {
        const char *name;
        std::vector<Bytes> units;
        Bytes sps, pps;
        unsigned width, height;  // picture size of the SPS given
    } cases[] = {
        {"key data A, own sets B", {spsA, ppsA, spsB, ppsB, sei, idrA}, spsB, ppsB, 640, 360},
        {"own sets B, then A", {spsB, ppsB, spsA, ppsA, idrA}, spsA, ppsA, 1920, 1080},
        {"two SPS, one PPS", {spsA, spsB, ppsB, idrA}, spsB, ppsB, 640, 360},
        {"SPS after the last PPS", {spsA, ppsA, spsB, idrA}, spsA, ppsA, 1920, 1080},
        {"second PPS only", {spsA, ppsA, ppsB, idrA}, spsA, ppsB, 1920, 1080},
    };
    Quiet quiet;
    for (const Case &c : cases) {
        Bytes frame;
        for (const Bytes &u : c.units) frame = cat({frame, kCode4, u});
        const unsigned char *sps = nullptr, *pps = nullptr;
        uint32_t spsLength = 0, ppsLength = 0;
        ASSERT_EQ(video_h264_check_keyFrame_and_get_sps_pps(static_cast<uint32_t>(frame.size()), frame.data(), &sps,
                                                            &spsLength, &pps, &ppsLength),
                  3)
            << c.name;
        EXPECT_EQ(Bytes(sps, sps + spsLength), c.sps) << c.name;
        EXPECT_EQ(Bytes(pps, pps + ppsLength), c.pps) << c.name;
        uint32_t width = 0, height = 0;
        ASSERT_EQ(video_h264_size_get(&width, &height, sps, static_cast<uint8_t>(std::min<uint32_t>(spsLength, 255))), 1)
            << c.name;
        EXPECT_EQ(width, c.width) << c.name;
        EXPECT_EQ(height, c.height) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// Malformed frames for the classifiers

TEST(H264KeyFrame, MalformedAndShortFrames) {
    const Bytes sps = {0x67, 0x42, 0xc0, 0x1e, 0xda, 0x02, 0x80, 0xbf, 0xe5, 0xc0, 0x44};
    const Bytes pps = {0x68, 0xce, 0x0f, 0xc8};
    const Bytes slice = {0x65, 0x88, 0x84, 0x00, 0x33, 0xff};
    const Bytes sei = {0x06, 0x05, 0xff, 0xff, 0x50};
    struct Case {
        const char *name;
        Bytes frame;
        signed char code;
        const char *log;  // expected record text, or null for none
    } cases[] = {
        {"empty", {}, -1, "Error,bufferLenth=0,0."},
        {"three bytes", {0, 0, 0}, -1, "Error,bufferLenth=3,0."},
        {"ten bytes", cat({kCode4, {0x65, 1, 2, 3, 4, 5}}), -1, "Error,bufferLenth=10,0x1000000."},
        {"eleven bytes", cat({kCode4, {0x65, 1, 2, 3, 4, 5, 6}}), 0, nullptr},
        {"fifteen bytes, no code", Bytes(15, 0x41), -1, "Error,bufferLenth=15,0x41414141."},
        {"3-byte code first", cat({kCode3, sps, kCode4, pps, kCode4, slice}), -1, "Error,bufferLenth="},
        {"sps without end", cat({kCode4, sps, {1, 2, 3, 4, 5, 6}}), -1, "Can't find 0x67 end,flag=0x6050403."},
        {"sps then slice", cat({kCode4, sps, kCode4, slice}), -1, "Error tag=0x65,bufferLenth=25."},
        {"sps then bare code", cat({kCode4, sps, {0x11, 0x22}, kCode4}), -1, "Can't find data."},
        {"pps without end", cat({kCode4, sps, kCode4, pps}), -1, "Can't find data."},
        {"pps then bare code", cat({kCode4, sps, kCode4, pps, kCode3}), -1, "Can't find data."},
        {"sei without end", cat({kCode4, sps, kCode4, pps, kCode4, sei}), -1, "Can't find data."},
        {"sei then bare code", cat({kCode4, sps, kCode4, pps, kCode3, sei, kCode4}), -1, "Can't find data."},
        {"aud then 3-byte code", cat({kCode4, {0x09, 0x10}, kCode3, slice, slice}), 0, nullptr},
        {"aud then no code", cat({kCode4, {0x09, 0x10}, {0x07}, slice, slice, slice}), -1, "Error,bufferLenth=19,0x84886507."},
        {"aud then 3-byte code, ten bytes", cat({kCode4, {0x09, 0x10}, kCode3, {0x41, 1, 2, 3, 4, 5, 6}}), -1, "Error,bufferLenth=10,0x41010000."},
        {"second sps without end", cat({kCode4, sps, kCode4, sps, {1, 2, 3, 4, 5, 6}}), -1, "Can't find 0x67 end,flag=0x6050403."},
        {"two sps then slice", cat({kCode4, sps, kCode4, sps, kCode4, slice}), -1, "Error tag=0x65,bufferLenth=40."},
        {"repeated pps without end", cat({kCode4, sps, kCode4, pps, kCode4, pps}), -1, "Can't find data."},
        {"repeated sps then bare code", cat({kCode4, sps, kCode4, pps, kCode4, sps, kCode3}), -1, "Can't find data."},
    };
    for (const Case &c : cases) {
        const unsigned char *marker = reinterpret_cast<const unsigned char *>("x");
        const unsigned char *spsOut = marker, *ppsOut = marker;
        uint32_t spsLength = 77, ppsLength = 77;
        for (int withSets = 0; withSets < 2; ++withSets) {
            kxtest::StdoutCapture capture;
            Bytes f = c.frame;  // exact-size copy
            signed char got = withSets ? video_h264_check_keyFrame_and_get_sps_pps(
                                             static_cast<uint32_t>(f.size()), f.data(), &spsOut, &spsLength, &ppsOut,
                                             &ppsLength)
                                       : video_h264_check_keyFrame(static_cast<uint32_t>(f.size()), f.data());
            std::string text = kxtest::strip_colours(capture.text());
            capture.restore();
            EXPECT_EQ(got, c.code) << c.name;
            if (c.log) {
                EXPECT_NE(text.find(c.log), std::string::npos) << c.name << ": " << text;
            } else {
                EXPECT_EQ(text, "") << c.name;
            }
        }
        EXPECT_EQ(spsOut, marker) << c.name;
        EXPECT_EQ(ppsOut, marker) << c.name;
        EXPECT_EQ(spsLength, 77u) << c.name;
        EXPECT_EQ(ppsLength, 77u) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// Hand-built sequence parameter sets

class BitWriter {
public:
    void bit(unsigned b) {
        if (used_ % 8 == 0) rbsp_.push_back(0);
        if (b) rbsp_.back() |= static_cast<uint8_t>(0x80 >> (used_ % 8));
        ++used_;
    }
    void bits(uint64_t v, unsigned n) {
        for (unsigned i = n; i > 0; --i) bit((v >> (i - 1)) & 1);
    }
    void ue(uint32_t v) {
        const uint64_t x = uint64_t{v} + 1;
        const unsigned n = static_cast<unsigned>(std::bit_width(x)) - 1;
        bits(0, n);
        bits(x, n + 1);
    }
    void se(int32_t v) { ue(v > 0 ? static_cast<uint32_t>(2 * int64_t{v} - 1) : static_cast<uint32_t>(-2 * int64_t{v})); }
    size_t bit_count() const { return used_; }
    // NAL unit: header, RBSP with its stop bit, emulation-prevention bytes inserted.
    Bytes nal(uint8_t header) const {
        BitWriter w = *this;
        w.bit(1);
        while (w.used_ % 8) w.bit(0);
        Bytes out = {header};
        unsigned zeros = 0;
        for (uint8_t b : w.rbsp_) {
            if (zeros >= 2 && b <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
        return out;
    }

private:
    Bytes rbsp_;
    size_t used_ = 0;
};

bool has_chroma_info(unsigned profile) {
    for (unsigned p : {100u, 110u, 122u, 244u, 44u, 83u, 86u, 118u, 128u, 138u, 139u, 134u, 135u, 144u}) {
        if (p == profile) return true;
    }
    return false;
}

void write_scaling_list(BitWriter &w, const int32_t *list, unsigned size) {
    // Entries from the first index whose value repeats to the end are sent as "delta to 0".
    unsigned stop = size;
    while (stop > 1 && list[stop - 1] == list[stop - 2]) --stop;
    int32_t last = 8;
    for (unsigned j = 0; j < size; ++j) {
        if (j == stop) {
            int32_t d = (0 - last) & 0xff;
            w.se(d > 127 ? d - 256 : d);
            return;
        }
        int32_t d = (list[j] - last) & 0xff;
        w.se(d > 127 ? d - 256 : d);
        last = list[j];
    }
}

// Writes the syntax of `s` up to and including vui_parameters_present_flag; `vuiBit` receives the
// index of that bit in the RBSP.
Bytes write_sps(const video_h264_sps &s, size_t *vuiBit = nullptr) {
    BitWriter w;
    w.bits(s.profile_idc, 8);
    w.bits(s.constraint_set0_flag, 1);
    w.bits(s.constraint_set1to5_flags >> 1, 7);
    w.bits(s.level_idc, 8);
    w.ue(s.seq_parameter_set_id);
    if (has_chroma_info(s.profile_idc)) {
        w.ue(s.chroma_format_idc);
        if (s.chroma_format_idc == 3) w.bit(s.separate_colour_plane_flag);
        w.ue(s.bit_depth_luma_minus8);
        w.ue(s.bit_depth_chroma_minus8);
        w.bit(s.qpprime_y_zero_transform_bypass_flag);
        w.bit(s.seq_scaling_matrix_present_flag);
        if (s.seq_scaling_matrix_present_flag) {
            for (unsigned i = 0; i < (s.chroma_format_idc == 3 ? 12u : 8u); ++i) {
                w.bit(s.seq_scaling_list_present_flag[i]);
                if (!s.seq_scaling_list_present_flag[i]) continue;
                if (i < 6) write_scaling_list(w, s.ScalingList4x4[i], 16);
                else write_scaling_list(w, s.ScalingList8x8[i - 6], 64);
            }
        }
    }
    w.ue(s.log2_max_frame_num_minus4);
    w.ue(s.pic_order_cnt_type);
    if (s.pic_order_cnt_type == 0) {
        w.ue(s.log2_max_pic_order_cnt_lsb_minus4);
    } else if (s.pic_order_cnt_type == 1) {
        w.bit(s.delta_pic_order_always_zero_flag);
        w.se(s.offset_for_non_ref_pic);
        w.se(s.offset_for_top_to_bottom_field);
        w.ue(s.num_ref_frames_in_pic_order_cnt_cycle);
        for (uint32_t i = 0; i < s.num_ref_frames_in_pic_order_cnt_cycle && i < 256; ++i) w.se(s.offset_for_ref_frame[i]);
    }
    w.ue(s.max_num_ref_frames);
    w.bit(s.gaps_in_frame_num_value_allowed_flag);
    w.ue(s.pic_width_in_mbs_minus1);
    w.ue(s.pic_height_in_map_units_minus1);
    w.bit(s.frame_mbs_only_flag);
    if (!s.frame_mbs_only_flag) w.bit(s.mb_adaptive_frame_field_flag);
    w.bit(s.direct_8x8_inference_flag);
    w.bit(s.frame_cropping_flag);
    if (s.frame_cropping_flag) {
        w.ue(s.frame_crop_left_offset);
        w.ue(s.frame_crop_right_offset);
        w.ue(s.frame_crop_top_offset);
        w.ue(s.frame_crop_bottom_offset);
    }
    if (vuiBit) *vuiBit = w.bit_count();
    w.bit(s.vui_parameters_present_flag);
    return w.nal(0x67);
}

video_h264_sps base_sps(unsigned profile, uint32_t widthMbsMinus1, uint32_t heightUnitsMinus1) {
    video_h264_sps s{};
    s.profile_idc = static_cast<uint8_t>(profile);
    s.constraint_set1to5_flags = 0xa0;
    s.level_idc = 40;
    s.chroma_format_idc = 1;
    s.log2_max_frame_num_minus4 = 2;
    s.log2_max_pic_order_cnt_lsb_minus4 = 3;
    s.max_num_ref_frames = 4;
    s.pic_width_in_mbs_minus1 = widthMbsMinus1;
    s.pic_height_in_map_units_minus1 = heightUnitsMinus1;
    s.frame_mbs_only_flag = 1;
    s.direct_8x8_inference_flag = 1;
    s.vui_parameters_present_flag = 1;
    return s;
}

void crop(video_h264_sps &s, uint32_t left, uint32_t right, uint32_t top, uint32_t bottom) {
    s.frame_cropping_flag = 1;
    s.frame_crop_left_offset = left;
    s.frame_crop_right_offset = right;
    s.frame_crop_top_offset = top;
    s.frame_crop_bottom_offset = bottom;
}

struct SpsCase {
    const char *name;
    video_h264_sps sps;
    int sizeResult;
    uint32_t width, height;  // worked out by hand from the standard's crop units
};

std::vector<SpsCase> sps_cases() {
    std::vector<SpsCase> out;
    auto add = [&](const char *name, video_h264_sps s, int result, uint32_t w, uint32_t h) {
        out.push_back({name, s, result, w, h});
    };
    video_h264_sps s = base_sps(66, 119, 67);
    crop(s, 0, 0, 0, 4);
    add("1080p baseline, 2-line crop units", s, 1, 1920, 1080);

    s = base_sps(100, 119, 33);  // 34 field map units = 68 macroblock rows
    s.frame_mbs_only_flag = 0;
    s.mb_adaptive_frame_field_flag = 1;
    crop(s, 0, 0, 0, 2);  // 4-line units in field coding
    add("1080i 4:2:0", s, 1, 1920, 1080);

    s = base_sps(122, 21, 22);
    s.chroma_format_idc = 2;
    crop(s, 1, 2, 3, 5);  // 4:2:2: 2 columns, 1 line per unit
    add("4:2:2 progressive", s, 1, 352 - 6, 368 - 8);

    s = base_sps(122, 21, 11);
    s.chroma_format_idc = 2;
    s.frame_mbs_only_flag = 0;
    crop(s, 0, 1, 0, 3);  // 4:2:2 interlaced: 2 lines per unit
    add("4:2:2 interlaced", s, 1, 352 - 2, 384 - 6);

    s = base_sps(244, 21, 12);
    s.chroma_format_idc = 3;
    crop(s, 2, 3, 1, 10);  // 4:4:4: 1 sample per unit
    add("4:4:4 odd size", s, 1, 352 - 5, 208 - 11);

    s = base_sps(244, 9, 9);
    s.chroma_format_idc = 3;
    s.separate_colour_plane_flag = 1;
    s.frame_mbs_only_flag = 0;
    crop(s, 1, 0, 1, 0);  // colour planes coded apart: 1 column, 2 lines in field coding
    add("separate colour planes", s, 1, 160 - 1, 320 - 2);

    s = base_sps(100, 4, 4);
    s.chroma_format_idc = 0;
    s.frame_mbs_only_flag = 0;
    crop(s, 3, 0, 0, 1);  // monochrome, field coding
    add("monochrome interlaced", s, 1, 80 - 3, 160 - 2);

    s = base_sps(100, 299, 269);
    add("wider than 256 macroblocks", s, 1, 4800, 4320);

    s = base_sps(77, 1023, 0);
    add("16384 wide", s, 1, 16384, 16);

    s = base_sps(77, 1024, 0);
    add("16400 wide", s, -1, 0, 0);

    s = base_sps(77, 0, 1023);
    s.frame_mbs_only_flag = 0;
    add("32768 high in field coding", s, -1, 0, 0);

    s = base_sps(77, 0xfffffffeu, 0);  // 31 leading zero bits: the longest valid code
    add("largest width code", s, -1, 0, 0);

    s = base_sps(66, 10, 10);
    crop(s, 3, 85, 0, 0);  // (3 + 85) x 2 columns = all 176
    add("crop eats the picture", s, -1, 0, 0);

    s = base_sps(66, 10, 10);
    s.pic_order_cnt_type = 1;
    s.log2_max_pic_order_cnt_lsb_minus4 = 0;
    s.delta_pic_order_always_zero_flag = 1;
    s.offset_for_non_ref_pic = -(1 << 24);  // long codes with zero runs that need escaping
    s.offset_for_top_to_bottom_field = 1 << 28;
    s.num_ref_frames_in_pic_order_cnt_cycle = 3;
    s.offset_for_ref_frame[0] = 0;
    s.offset_for_ref_frame[1] = -2147483647;
    s.offset_for_ref_frame[2] = 2147483647;
    crop(s, 0, 0, 0, 0);
    add("picture order type 1, escaped", s, 1, 176, 176);

    s = base_sps(66, 10, 10);
    s.pic_order_cnt_type = 1;
    s.log2_max_pic_order_cnt_lsb_minus4 = 0;
    s.num_ref_frames_in_pic_order_cnt_cycle = 255;
    for (int i = 0; i < 255; ++i) s.offset_for_ref_frame[i] = (i % 7) - 3;
    add("255 reference offsets", s, 1, 176, 176);

    s = base_sps(244, 19, 14);
    s.chroma_format_idc = 3;
    s.seq_scaling_matrix_present_flag = 1;
    for (int i : {0, 3, 5, 6, 9, 11}) s.seq_scaling_list_present_flag[i] = 1;
    for (int j = 0; j < 16; ++j) {
        s.ScalingList4x4[0][j] = 16 + j;
        s.ScalingList4x4[3][j] = j < 5 ? 200 - 30 * j : 80;  // ends in a repeat: sent as delta to 0
        s.ScalingList4x4[5][j] = j % 2 ? 255 : 1;            // wraps around 256 both ways
    }
    for (int j = 0; j < 64; ++j) {
        s.ScalingList8x8[0][j] = 6 + j;
        s.ScalingList8x8[3][j] = 8;  // first delta 0 keeps 8, rest repeats
        s.ScalingList8x8[5][j] = 255 - j;
    }
    s.bit_depth_luma_minus8 = 2;
    s.bit_depth_chroma_minus8 = 2;
    s.qpprime_y_zero_transform_bypass_flag = 1;
    add("4:4:4 with twelve scaling lists", s, 1, 320, 240);
    return out;
}

// The start-code scan, fast over long runs without 01 bytes, against a byte-by-byte scan on
// buffers dense in 00 and 01 from every starting offset (three- and four-byte codes, codes at
// the very start and end, runs of zeros, a code that begins before the offset).
TEST(H264StartCode, FindsTheCodeAByteScanFinds) {
    auto reference = [](const Bytes &b, size_t from, size_t *at, size_t *size) {
        for (size_t i = from; i + 3 <= b.size(); ++i) {
            if (b[i] != 0 || b[i + 1] != 0) continue;
            if (b[i + 2] == 1) return *at = i, *size = 3, true;
            if (b[i + 2] == 0 && i + 4 <= b.size() && b[i + 3] == 1) return *at = i, *size = 4, true;
        }
        return false;
    };
    std::vector<Bytes> cases = {{}, {0, 0}, {0, 0, 1}, {0, 0, 0, 1}, {0, 0, 0, 0, 0, 1, 7}, {1, 1, 0, 0, 1, 0, 0, 0, 1},
                                {9, 0, 0, 0}, {0, 0, 2, 0, 0, 1}};
    uint32_t seed = 12345;
    for (int n = 0; n < 300; ++n) {
        Bytes b(1 + n % 64);
        for (uint8_t &x : b) {
            seed = seed * 1103515245u + 12345u;
            uint32_t r = (seed >> 16) % 8;
            x = r < 4 ? 0 : r < 6 ? 1 : static_cast<uint8_t>(seed >> 8);
        }
        cases.push_back(b);
    }
    Bytes longRun(5000, 0x55);
    longRun[4000] = 0, longRun[4001] = 0, longRun[4002] = 0, longRun[4003] = 1;
    cases.push_back(longRun);
    for (const Bytes &b : cases)
        for (size_t from = 0; from <= b.size() + 1; ++from) {
            size_t wantAt = 99, wantSize = 99, at = 99, size = 99;
            bool want = reference(b, from, &wantAt, &wantSize);
            ASSERT_EQ(kx::h264::nextStartCode(b.data(), from, b.size(), &at, &size), want) << "from " << from;
            if (want) {
                EXPECT_EQ(at, wantAt) << "from " << from;
                EXPECT_EQ(size, wantSize) << "from " << from;
            }
        }
}

TEST(H264Sps, HandBuiltUnitsParseToTheirFields) {
    bool sawEscape = false;
    Quiet quiet;
    for (const SpsCase &c : sps_cases()) {
        size_t vuiBit = 0;
        Bytes nal = write_sps(c.sps, &vuiBit);
        ASSERT_LE(nal.size(), 250u) << c.name;
        sawEscape = sawEscape || nal.size() > 1 + (vuiBit + 2 + 7) / 8;  // header + RBSP with stop bit
        for (const Bytes &code : {Bytes{}, kCode3, kCode4}) {
            Bytes unit = cat({code, nal});
            video_h264_sps got;
            memset(&got, 0xab, sizeof got);
            ASSERT_EQ(video_h264_sps_get(&got, unit.data(), static_cast<uint8_t>(unit.size())), 1) << c.name;
            EXPECT_EQ(memcmp(&got, &c.sps, sizeof got), 0) << c.name;

            uint32_t width = 7, height = 7;
            EXPECT_EQ(video_h264_size_get(&width, &height, unit.data(), static_cast<uint8_t>(unit.size())),
                      c.sizeResult)
                << c.name;
            EXPECT_EQ(width, c.sizeResult == 1 ? c.width : 7u) << c.name;
            EXPECT_EQ(height, c.sizeResult == 1 ? c.height : 7u) << c.name;
        }
    }
    EXPECT_TRUE(sawEscape) << "no case exercised emulation-prevention bytes";
}

// Every prefix that stops before the last bit the parser needs is refused, reading nothing
// beyond it: not even the next unit when one follows.
TEST(H264Sps, TruncatedUnitsAreRefused) {
    kxtest::StdoutCapture capture;
    for (const SpsCase &c : sps_cases()) {
        size_t vuiBit = 0;
        Bytes nal = write_sps(c.sps, &vuiBit);
        // Bytes up to the one that holds the flag, counting inserted escape bytes.
        size_t need = 1, rbspBytes = 0, zeros = 0;
        while (rbspBytes * 8 <= vuiBit) {
            uint8_t b = nal[need++];
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            zeros = b == 0 ? zeros + 1 : 0;
            ++rbspBytes;
        }
        for (size_t k = 0; k <= nal.size(); ++k) {
            Bytes cut(nal.begin(), nal.begin() + k);
            video_h264_sps got;
            memset(&got, 0x5a, sizeof got);
            video_h264_sps untouched = got;
            int r = video_h264_sps_get(&got, cut.data(), static_cast<uint8_t>(cut.size()));
            EXPECT_EQ(r, k >= need ? 1 : -1) << c.name << " cut at " << k << " of " << nal.size();
            if (r != 1) {
                EXPECT_EQ(memcmp(&got, &untouched, sizeof got), 0) << c.name;
            }
            // The same prefix followed by a PPS: the start code ends the SPS.
            if (k >= 5 && k < need) {
                Bytes followed = cat({cut, kCode3, {0x68, 0xce, 0x3c, 0x80, 0xff, 0xff, 0xff}});
                EXPECT_EQ(video_h264_sps_get(&got, followed.data(), static_cast<uint8_t>(followed.size())), -1)
                    << c.name << " cut at " << k;
            }
        }
    }
    std::string text = kxtest::strip_colours(capture.text());
    EXPECT_NE(text.find("Invalid lenth(=4)."), std::string::npos);
    EXPECT_NE(text.find("Invalid lenth."), std::string::npos);
}

TEST(H264Sps, MalformedUnits) {
    const Bytes head = {0x67, 0x42, 0x00, 0x1e};  // header, baseline, constraints, level
    struct Case {
        const char *name;
        Bytes unit;
        const char *log;
    } cases[] = {
        {"four bytes", {0x67, 0x42, 0x00, 0x1e}, "Invalid lenth(=4)."},
        {"picture parameter set", {0x00, 0x00, 0x01, 0x68, 0xce, 0x3c, 0x80}, "Invalid tag(=0x68)."},
        {"slice behind a 4-byte code", {0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x80}, "Invalid tag(=0x65)."},
        // 40 zero bits (escaped as 00 00 03 00 00 03 00) before the marker bit of one code.
        {"exp-Golomb prefix over 31 zeros", cat({head, {0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0xff, 0xff}}),
         "Invalid Exp-Golomb code"},
        // Unescaped 00 00 00 inside the unit: the unit ends there.
        {"zero run without escapes", cat({head, {0x00, 0x00, 0x00, 0xff, 0xff, 0xff}}), "Invalid lenth."},
        {"stream ends inside a code", cat({head, {0x00, 0x00}}), "Invalid lenth."},
    };
    for (const Case &c : cases) {
        kxtest::StdoutCapture capture;
        video_h264_sps got;
        memset(&got, 0x33, sizeof got);
        video_h264_sps untouched = got;
        uint32_t width = 9, height = 9;
        EXPECT_EQ(video_h264_sps_get(&got, c.unit.data(), static_cast<uint8_t>(c.unit.size())), -1) << c.name;
        EXPECT_EQ(video_h264_size_get(&width, &height, c.unit.data(), static_cast<uint8_t>(c.unit.size())), -1)
            << c.name;
        EXPECT_EQ(memcmp(&got, &untouched, sizeof got), 0) << c.name;
        EXPECT_EQ(width + height, 18u) << c.name;
        std::string text = kxtest::strip_colours(capture.text());
        EXPECT_NE(text.find(c.log), std::string::npos) << c.name << ": " << text;
    }
}

// Values beyond the standard's range are refused before they select lists or index arrays.
TEST(H264Sps, OutOfRangeCountsAreRefused) {
    struct Case {
        const char *name;
        void (*change)(video_h264_sps &);
        const char *log;
    } cases[] = {
        {"256 reference offsets",
         [](video_h264_sps &s) {
             s.pic_order_cnt_type = 1;
             s.num_ref_frames_in_pic_order_cnt_cycle = 256;
         },
         "Invalid num_ref_frames_in_pic_order_cnt_cycle."},
        {"huge reference offset count",
         [](video_h264_sps &s) {
             s.pic_order_cnt_type = 1;
             s.num_ref_frames_in_pic_order_cnt_cycle = 0xfffffffeu;
         },
         "Invalid num_ref_frames_in_pic_order_cnt_cycle."},
        {"chroma format 4", [](video_h264_sps &s) { s.chroma_format_idc = 4; }, "Invalid chroma_format_idc."},
        {"picture order type 3", [](video_h264_sps &s) { s.pic_order_cnt_type = 3; }, "Invalid pic_order_cnt_type."},
        {"parameter set id 32", [](video_h264_sps &s) { s.seq_parameter_set_id = 32; }, "Invalid seq_parameter_set_id."},
        {"bit depth 15", [](video_h264_sps &s) { s.bit_depth_luma_minus8 = 7; }, "Invalid bit_depth_luma_minus8."},
    };
    for (const Case &c : cases) {
        video_h264_sps s = base_sps(100, 10, 10);
        c.change(s);
        Bytes unit = write_sps(s);
        kxtest::StdoutCapture capture;
        video_h264_sps got;
        uint32_t width = 0, height = 0;
        EXPECT_EQ(video_h264_sps_get(&got, unit.data(), static_cast<uint8_t>(unit.size())), -1) << c.name;
        EXPECT_EQ(video_h264_size_get(&width, &height, unit.data(), static_cast<uint8_t>(unit.size())), -1) << c.name;
        std::string text = kxtest::strip_colours(capture.text());
        EXPECT_NE(text.find(c.log), std::string::npos) << c.name << ": " << text;
    }
}

TEST(H264Size, DelimitersBeforeTheSequenceParameterSet) {
    video_h264_sps s = base_sps(66, 39, 29);
    const Bytes sps = write_sps(s);
    struct Case {
        const char *name;
        Bytes frame;
        int result;
    } cases[] = {
        {"delimiter type 0", cat({kCode4, {0x09, 0x10}, kCode4, sps}), 1},
        {"delimiter type 1, 3-byte codes", cat({kCode3, {0x09, 0x30}, kCode3, sps}), 1},
        {"two delimiters", cat({kCode4, {0x09, 0x10}, kCode4, {0x09, 0x30}, kCode4, sps}), 1},
        {"delimiter type 2", cat({kCode4, {0x09, 0x50}, kCode4, sps}), -1},
        {"delimiter at the end", cat({kCode4, {0x09, 0x10}, {0, 0}}), -1},
        {"slice first", cat({kCode4, {0x65, 0x88}, kCode4, sps}), -1},
        {"delimiter then slice", cat({kCode4, {0x09, 0x10}, kCode4, {0x41, 0x9a, 0x02, 0x04}}), -1},
    };
    Quiet quiet;
    for (const Case &c : cases) {
        uint32_t width = 1, height = 1;
        EXPECT_EQ(video_h264_size_get(&width, &height, c.frame.data(), static_cast<uint8_t>(c.frame.size())), c.result)
            << c.name;
        EXPECT_EQ(width, c.result == 1 ? 640u : 1u) << c.name;
        EXPECT_EQ(height, c.result == 1 ? 480u : 1u) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// H.264 objects

TEST(H264Object, NewAndSetData) {
    video_h264_object *o = video_h264_object_new__IO(100);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->object.type, KX_OBJECT_TYPE_H264);
    EXPECT_EQ(o->object.referCount, 1u);
    EXPECT_GE(o->object.size, sizeof(video_h264_object) + 100);
    EXPECT_EQ(o->object.childList, nullptr);
    EXPECT_EQ(o->object.releaseList, nullptr);
    EXPECT_EQ(o->dataLenth, 100u);
    EXPECT_EQ(o->classIndex | o->frameIndex | o->width | o->height, 0u);
    EXPECT_EQ(o->keyFrame, 0);
    EXPECT_EQ(o->frameRate, 0.0f);
    EXPECT_EQ(o->arrivalTime, 0.0);
    EXPECT_EQ(o->streamTime, 0.0);

    Bytes payload(100);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
    video_h264_object_set_data(o, 3, 41, 25.0f, 640, 360, 2, 1.5, 2.5, payload.data());
    EXPECT_EQ(o->classIndex, 3);
    EXPECT_EQ(o->frameIndex, 41u);
    EXPECT_EQ(o->frameRate, 25.0f);
    EXPECT_EQ(o->width, 640u);
    EXPECT_EQ(o->height, 360u);
    EXPECT_EQ(o->keyFrame, 2);
    EXPECT_EQ(o->arrivalTime, 1.5);
    EXPECT_EQ(o->streamTime, 2.5);
    EXPECT_EQ(Bytes(o->data, o->data + o->dataLenth), payload);
    // Null data sets the fields only.
    video_h264_object_set_data(o, 4, 42, 30.0f, 1, 2, 0, 3.0, 4.0, nullptr);
    EXPECT_EQ(o->frameIndex, 42u);
    EXPECT_EQ(Bytes(o->data, o->data + o->dataLenth), payload);
    kx_Object_delete__OI(&o->object);

    video_h264_object *w = video_h264_object_new_with_data__IO(7, 9, 12.5f, 176, 144, 3, 10.0, 20.0, 100, payload.data());
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->object.type, KX_OBJECT_TYPE_H264);
    EXPECT_EQ(w->classIndex, 7);
    EXPECT_EQ(w->frameIndex, 9u);
    EXPECT_EQ(w->frameRate, 12.5f);
    EXPECT_EQ(w->width, 176u);
    EXPECT_EQ(w->height, 144u);
    EXPECT_EQ(w->keyFrame, 3);
    EXPECT_EQ(w->arrivalTime, 10.0);
    EXPECT_EQ(w->streamTime, 20.0);
    EXPECT_EQ(Bytes(w->data, w->data + w->dataLenth), payload);
    kx_Object_addRefer_pthreadSafety_(&w->object);
    kx_Object_delete_pthreadSafety__OI(&w->object);
    EXPECT_EQ(w->object.referCount, 1u);
    kx_Object_delete__OI(&w->object);

    video_h264_object *empty = video_h264_object_new_with_data__IO(0, 0, 0, 0, 0, -1, -1, -1, 0, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->dataLenth, 0u);
    EXPECT_EQ(empty->keyFrame, -1);
    kx_Object_delete__OI(&empty->object);
}

TEST(H264Object, ResetLengthOnlyShrinks) {
    struct Case {
        uint32_t length;
        int result;
        uint32_t after;
        const char *log;
    } cases[] = {
        {40, 1, 40, nullptr},
        {100, 1, 100, nullptr},
        {0, 1, 0, nullptr},
        {101, -1, 100, "Invalid datalenth(=101/100)."},
        {0xffffffffu, -1, 100, "Invalid datalenth(=4294967295/100)."},
    };
    for (const Case &c : cases) {
        video_h264_object *o = video_h264_object_new__IO(100);
        ASSERT_NE(o, nullptr);
        kxtest::StdoutCapture capture;
        EXPECT_EQ(video_h264_object_reset_datalenth_small(o, c.length), c.result) << c.length;
        std::string text = kxtest::strip_colours(capture.text());
        capture.restore();
        EXPECT_EQ(o->dataLenth, c.after) << c.length;
        if (c.log) {
            EXPECT_NE(text.find(c.log), std::string::npos) << text;
        } else {
            EXPECT_EQ(text, "");
        }
        kx_Object_delete__OI(&o->object);
    }
}

TEST(H264Object, DataFromFile) {
    Bytes stream = stream_for(kStreams[1]);
    ASSERT_FALSE(stream.empty());
    std::vector<Bytes> frames = split_access_units(stream);
    ASSERT_EQ(frames.size(), 3u);
    const Bytes garbage(64, 0x5a);
    struct Case {
        const char *name;
        Bytes file;
        uint32_t objectLength;
        signed char keyFrame;
        int result;
        signed char storedKey;
        const char *log;
    } cases[] = {
        {"key frame found", frames[0], static_cast<uint32_t>(frames[0].size()), -1, 1, 3, nullptr},
        {"other frame found", frames[1], static_cast<uint32_t>(frames[1].size()), -1, 1, 0, nullptr},
        {"given code kept", frames[1], static_cast<uint32_t>(frames[1].size()), 2, 1, 2, nullptr},
        {"unreadable frame", garbage, 64, -1, 1, 0, "Check keyFrame failed,rv=-1,classIndex=5,width=320,height=240,keyFrame=-1,fd=0x"},
        {"short file", garbage, 65, -1, -1, 9, "Read data error:"},
    };
    for (const Case &c : cases) {
        FILE *f = tmpfile();
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(c.file.data(), 1, c.file.size(), f), c.file.size());
        rewind(f);
        video_h264_object *o = video_h264_object_new__IO(c.objectLength);
        ASSERT_NE(o, nullptr);
        video_h264_object_set_data(o, 1, 2, 25.0f, 3, 4, 9, 5.0, 6.0, nullptr);
        kxtest::StdoutCapture capture;
        EXPECT_EQ(video_h264_object_set_data_from_file(o, 5, 77, 320, 240, c.keyFrame, 7.0, 8.0, f), c.result)
            << c.name;
        std::string text = kxtest::strip_colours(capture.text());
        capture.restore();
        EXPECT_EQ(o->keyFrame, c.storedKey) << c.name;
        EXPECT_EQ(o->frameRate, 25.0f) << c.name;
        if (c.result == 1) {
            EXPECT_EQ(Bytes(o->data, o->data + o->dataLenth), c.file) << c.name;
            EXPECT_EQ(o->classIndex, 5) << c.name;
            EXPECT_EQ(o->frameIndex, 77u) << c.name;
            EXPECT_EQ(o->width, 320u) << c.name;
            EXPECT_EQ(o->arrivalTime, 7.0) << c.name;
            EXPECT_EQ(o->streamTime, 8.0) << c.name;
        } else {
            EXPECT_EQ(o->classIndex, 1) << c.name;
            EXPECT_EQ(o->frameIndex, 2u) << c.name;
            EXPECT_EQ(o->width, 3u) << c.name;
            EXPECT_EQ(o->streamTime, 6.0) << c.name;
        }
        if (c.log) {
            EXPECT_NE(text.find(c.log), std::string::npos) << c.name << ": " << text;
        } else {
            EXPECT_EQ(text, "") << c.name;
        }
        kx_Object_delete__OI(&o->object);
        fclose(f);
    }
}

}  // namespace
