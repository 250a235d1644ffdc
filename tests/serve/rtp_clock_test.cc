// RTP timestamps of a stream with B-frames end to end: an x264 clip (-bf 2) fed to a live item
// frame by frame in decoding order, each frame with its presentation time, read at once by
// GStreamer's rtspsrc (every picture, equal to ffmpeg's decode of the clip), ffprobe (frame
// times rise in display order, one period apart) and a scripted client (each frame's
// timestamp is its presentation time, the PLAY answer's rtptime that of the first packet).
// KX_THREADED
#include <arpa/inet.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/h264.h"
#include "kx/rtspserver.h"
#include "tests/support/media_tools.hpp"
#include "tests/support/rtsp_loopback_client.hpp"
#include "tests/support/wait.hpp"

namespace {

const std::string kDir = KX_TEST_BINARY_DIR "/rtp-clock-test";
constexpr int kFps = 25;       // make_clip.sh: a key frame every second
constexpr size_t kShown = 60;  // pictures the players take, more than two groups

// The clip in decoding order: access units (Annex B, parameter sets before key frames), their
// presentation times and key flags; ffmpeg's pictures in display order.
struct Clip {
    std::vector<std::vector<unsigned char>> units;
    std::vector<double> times;
    std::vector<bool> keys;
    std::vector<std::string> pictures;
    double seconds = 0;
};

const Clip &bframeClip() {
    static Clip c;
    if (!c.units.empty()) return c;
    const std::string mp4 = kxtest::small_clip(kDir, "bf2", "320x240", kFps, 4, "-bf 2");
    if (mp4.empty()) return c;
    std::istringstream probe(kxtest::tool_output({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0",
                                                  "-show_entries", "packet=pts_time,flags", "-of", "csv=p=0", mp4}));
    for (std::string line; std::getline(probe, line);) {
        size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        c.times.push_back(atof(line.c_str()));
        c.keys.push_back(line[comma + 1] == 'K');
    }
    const std::string units = kDir + "/bf2_units." + std::to_string(getpid());
    c.units = kxtest::packets_of(mp4, units);
    kxtest::run_process({"/bin/rm", "-rf", units}, 10000);
    c.pictures = kxtest::decoded_hashes(mp4);
    c.seconds = static_cast<double>(c.pictures.size()) / kFps;
    return c;
}

// Feeds the clip to the item at its pace, looped, the stream times running on across loops.
struct Producer {
    rtspServer_item *item;
    const Clip &clip;
    std::atomic<bool> run{true};
    std::thread thread;
    Producer(rtspServer_item *i, const Clip &c) : item(i), clip(c) {
        thread = std::thread([this] {
            auto start = std::chrono::steady_clock::now();
            for (uint32_t n = 0; run.load(); ++n) {
                size_t i = n % clip.units.size();
                double t = clip.times[i] + (n / clip.units.size()) * clip.seconds;
                const std::vector<unsigned char> &u = clip.units[i];
                video_h264_object *v = video_h264_object_new_with_data__IO(
                    0, n, kFps, 320, 240, clip.keys[i] ? 3 : 0, 0.0, t, static_cast<uint32_t>(u.size()), u.data());
                rtspServer_item_add_frame__OI_2(item, &v->object);
                std::this_thread::sleep_until(start + std::chrono::microseconds(1000000 / kFps) * (n + 1));
            }
        });
    }
    ~Producer() {
        run.store(false);
        thread.join();
    }
};

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string req(const std::string &line, int cseq, const std::string &extra = "") {
    return line + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n";
}

uint32_t be32(const std::string &s, size_t at) {
    return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
           (uint32_t(uint8_t(s[at + 2])) << 8) | uint8_t(s[at + 3]);
}

// The scripted client: the PLAY answer's rtptime and seq are the first packet's, and each
// frame's timestamp (its first packet: that one carries the padding) is its presentation time.
void checkTimestamps(uint16_t port, const std::string &url, const Clip &clip) {
    kxtest::LoopbackClient c;
    ASSERT_TRUE(c.connect(port));
    ASSERT_TRUE(c.send(req("DESCRIBE " + url, 1)));
    EXPECT_NE(c.answer(10000).find("RTSP/1.0 200 OK"), std::string::npos);
    ASSERT_TRUE(c.send(req("SETUP " + url + "/track0", 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")));
    EXPECT_NE(c.answer().find("interleaved=0-1"), std::string::npos);
    ASSERT_TRUE(c.send(req("PLAY " + url, 3)));
    const std::string play = c.answer(10000);
    size_t at = play.find(";seq=");
    ASSERT_NE(at, std::string::npos) << play;
    unsigned seq = 0, rtptime = 0;
    ASSERT_EQ(sscanf(play.c_str() + at, ";seq=%u;rtptime=%u", &seq, &rtptime), 2) << play;
    std::string stream;
    std::vector<uint32_t> stamps;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (size_t p = 0; stamps.size() < kShown && std::chrono::steady_clock::now() < end;) {
        stream += c.interleaved(1, 5000);
        for (; p + 16 <= stream.size(); p += 4 + ((uint8_t(stream[p + 2]) << 8) | uint8_t(stream[p + 3]))) {
            ASSERT_EQ(stream[p], '$');
            if (stream[p + 1] == 0 && (uint8_t(stream[p + 4]) & 0x20)) stamps.push_back(be32(stream, p + 8));
        }
    }
    ASSERT_GE(stamps.size(), kShown);
    EXPECT_EQ((uint8_t(stream[6]) << 8) | uint8_t(stream[7]), int(seq));
    EXPECT_EQ(be32(stream, 8), rtptime);
    // Playing starts at a key frame: from one of the clip's, the times of the frames that follow
    // it in decoding order (the loop's times run on).
    const size_t n = clip.units.size();
    size_t matched = n;
    for (size_t k = 0; k < n && matched == n; ++k) {
        bool all = clip.keys[k];
        for (size_t i = 0; i < kShown && all; ++i) {
            double t = clip.times[(k + i) % n] + static_cast<double>((k + i) / n) * clip.seconds;
            all = static_cast<int32_t>(stamps[i] - stamps[0]) == llround((t - clip.times[k]) * 90000.0);
        }
        if (all) matched = k;
    }
    EXPECT_LT(matched, n) << "the frames' timestamps are not the clip's presentation times";
}

TEST(RtpClock, BframeStreamReachesPlayersInPresentationTime) {
    const Clip &clip = bframeClip();
    ASSERT_GT(clip.pictures.size(), kShown) << "could not make the clip with ffmpeg";
    ASSERT_EQ(clip.units.size(), clip.pictures.size());
    ASSERT_EQ(clip.times.size(), clip.units.size());
    bool reordered = false;
    for (size_t i = 1; i < clip.times.size(); ++i) reordered |= clip.times[i] < clip.times[i - 1];
    ASSERT_TRUE(reordered) << "the clip has no B-frames";

    rtspServer *server = rtspServer_new__IO("rtpClockTest", nullptr, 0, nullptr, htonl(INADDR_LOOPBACK), 0);
    ASSERT_NE(server, nullptr);
    std::unique_ptr<rtspServer, void (*)(rtspServer *)> owner(server, rtspServer_delete__OI);
    rtspServer_startThread(server, -1);
    uint16_t port = 0;
    ASSERT_TRUE(kxtest::eventually([&] { return (port = rtspServer_port_get(server)) != 0; }));
    rtspServer_item *item = rtspServer_item_new__IO("/bf", 0, RTSPSERVER_MODEL_LIVE, 0, 0, 0, 0, 0, 0);
    ASSERT_EQ(rtspServer_add_item__OI_2(server, item), 1);
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/bf";
    Producer producer(item, clip);

    const std::string gstOut = kDir + "/gst." + std::to_string(getpid()) + ".txt";
    const std::string probeOut = kDir + "/probe." + std::to_string(getpid()) + ".txt";
    const bool gst = access("/usr/bin/gst-launch-1.0", X_OK) == 0;
    std::thread gstThread([&] {
        if (!gst) return;
        // buffer-mode=none: buffer times from the RTP timestamps alone, no skew correction.
        kxtest::run_process({"/usr/bin/gst-launch-1.0", "-q", "rtspsrc", "location=" + url, "protocols=tcp",
                             "buffer-mode=none", "!", "rtph264depay", "!", "avdec_h264", "!", "videoconvert", "!",
                             "video/x-raw,format=I420", "!", "identity", "eos-after=" + std::to_string(kShown + 10),
                             "!", "checksumsink", "hash=0"},
                            40000, gstOut.c_str());
    });
    std::thread probeThread([&] {
        kxtest::run_process({"/usr/bin/ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-select_streams", "v:0",
                             "-read_intervals", "%+#" + std::to_string(kShown + 10), "-show_entries", "frame=pts", "-of",
                             "csv=p=0", url},
                            40000, probeOut.c_str());
    });
    checkTimestamps(port, url, clip);
    probeThread.join();
    gstThread.join();

    // ffprobe's decoded frames, in display order: one period apart.
    std::istringstream probe(slurp(probeOut));
    unlink(probeOut.c_str());
    std::vector<long long> pts;
    for (std::string line; std::getline(probe, line);)
        if (!line.empty() && (isdigit(static_cast<unsigned char>(line[0])) || line[0] == '-'))
            pts.push_back(atoll(line.c_str()));  // not "N/A" (a first frame before any time is known)
    ASSERT_GE(pts.size(), kShown);
    std::string steps;
    for (size_t i = 1; i < kShown; ++i)  // (the last few, read while it stops, may skip)
        if (pts[i] - pts[i - 1] != 90000 / kFps)
            steps += std::to_string(i) + ":" + std::to_string(pts[i] - pts[i - 1]) + " ";
    EXPECT_EQ(steps, "") << "frames whose time is not one period after the one before";

    // GStreamer's pictures: a run of the clip's from a key frame, none lost, one period apart.
    // (The last few before its end of stream are not looked at: the decoder's drain at the
    // end lets some of them through, not all.)
    if (!gst) GTEST_SKIP() << "gst-launch-1.0 is not installed";
    std::vector<std::string> got;
    std::vector<double> times;
    std::istringstream s(slurp(gstOut));
    unlink(gstOut.c_str());
    for (std::string l; std::getline(s, l);) {
        unsigned h = 0, m = 0;
        double sec = 0;
        if (l.size() <= 32 || l[0] == '(' || sscanf(l.c_str(), "%u:%u:%lf", &h, &m, &sec) != 3) continue;
        got.push_back(l.substr(l.rfind(' ') + 1));
        times.push_back(h * 3600.0 + m * 60.0 + sec);
    }
    ASSERT_GE(got.size(), kShown);
    size_t k = 0;
    while (k < clip.pictures.size() && clip.pictures[k] != got[0]) ++k;
    ASSERT_LT(k, clip.pictures.size()) << "GStreamer's first picture is none of the clip's";
    EXPECT_EQ(k % kFps, 0u);
    for (size_t i = 0; i < kShown; ++i) {
        ASSERT_EQ(got[i], clip.pictures[(k + i) % clip.pictures.size()]) << "picture " << i;
        if (i > 0) {
            ASSERT_NEAR(times[i] - times[i - 1], 1.0 / kFps, 0.001) << "picture " << i;
        }
    }
}

}  // namespace
