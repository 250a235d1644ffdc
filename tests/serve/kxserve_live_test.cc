// kxserve --live fed from an x264 clip with AAC, played by real clients on 127.0.0.1:
// ffprobe, ffmpeg (picture hashes equal to ffmpeg's decode of the source), GStreamer's
// rtspsrc, VLC, and our own RTSP client; cluster redirects followed; hostile clients that
// neither crash the server nor stall the others.
#include <arpa/inet.h>
#include <ctype.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/rtspclient.h"
#include "tests/support/fdlimit.hpp"
#include "tests/support/kxserve_process.hpp"
#include "tests/support/media_tools.hpp"
#include "tests/support/rtsp_loopback_client.hpp"
#include "tests/support/rtsp_peer.hpp"
#include "tests/support/wait.hpp"

namespace {

using kxtest::KxServe;
using kxtest::run_process;

const std::string kBin = KX_TEST_BINARY_DIR;
const std::string kServe = kBin + "/bin/kxserve";
const std::string kDir = kBin + "/peers/kxserve";

// Makes path once (cached across runs) with ffmpeg arguments args (output appended).
bool made(const std::string &path, std::vector<std::string> args) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return true;
    mkdir((kBin + "/peers").c_str(), 0755);
    mkdir(kDir.c_str(), 0755);
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    args.insert(args.begin(), {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y"});
    args.push_back(tmp);
    if (run_process(args, 120000) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// 4 s of 320x240 at 25 fps, an IDR frame every second; sine tones as ADTS at 48 kHz mono
// and 44.1 kHz stereo.
struct Clips {
    std::string video = kDir + "/clip.h264", mono = kDir + "/a48m.aac", stereo = kDir + "/a44s.aac";
    bool ok = made(video, {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-t", "4", "-c:v", "libx264",
                           "-g", "25", "-bf", "0", "-pix_fmt", "yuv420p", "-f", "h264"}) &&
              made(mono, {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "4", "-ac", "1", "-c:a",
                          "aac", "-f", "adts"}) &&
              made(stereo, {"-f", "lavfi", "-i", "sine=frequency=330:sample_rate=44100", "-t", "4", "-ac", "2",
                            "-c:a", "aac", "-f", "adts"});
};

const Clips &clips() {
    static Clips c;
    return c;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream s(text);
    std::string l;
    while (std::getline(s, l))
        if (!l.empty()) out.push_back(l);
    return out;
}

// Picture hashes (last framemd5 column) of ffmpeg's output.
std::vector<std::string> framemd5(const std::vector<std::string> &input, int frames) {
    std::string out = "/tmp/kxserve_md5." + std::to_string(getpid());
    std::vector<std::string> args{"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error"};
    args.insert(args.end(), input.begin(), input.end());
    args.insert(args.end(), {"-map", "0:v", "-frames:v", std::to_string(frames), "-f", "framemd5", "-"});
    run_process(args, 60000, out.c_str());
    std::vector<std::string> hashes;
    for (const std::string &l : lines(slurp(out)))
        if (l[0] != '#') hashes.push_back(l.substr(l.rfind(',') + 1));
    unlink(out.c_str());
    for (std::string &h : hashes)
        while (!h.empty() && h.front() == ' ') h.erase(0, 1);
    return hashes;
}

// True when got is a run of the looped source sequence starting at a key frame (every 25th).
::testing::AssertionResult runOfSource(const std::vector<std::string> &source, const std::vector<std::string> &got) {
    if (got.empty() || source.empty()) return ::testing::AssertionFailure() << "no pictures";
    for (size_t start = 0; start < source.size(); start += 25) {
        size_t k = 0;
        while (k < got.size() && got[k] == source[(start + k) % source.size()]) ++k;
        if (k == got.size()) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "pictures differ from the source (first " << got[0] << ")";
}

class KxServeLive : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(clips().ok) << "could not make the clips with ffmpeg";
        ASSERT_TRUE(server.start(kServe, {"--listen", "127.0.0.1:0", "--live", "/cam=" + clips().video + "," +
                                          clips().mono, "--live", "/st=" + clips().video + "," + clips().stereo,
                                          "--quiet"}))
            << server.output();
        base = "rtsp://127.0.0.1:" + std::to_string(server.port());
    }
    void TearDown() override {
        EXPECT_EQ(server.stop(), 0);
    }
    KxServe server;
    std::string base;
};

TEST_F(KxServeLive, FfprobeReportsCodecsSizeRateAndChannels) {
    struct Case {
        std::string url;
        const char *audio;
    } cases[] = {{"rtsp://localhost:" + std::to_string(server.port()) + "/cam", "aac|48000|1"},
                 {base + "/st", "aac|44100|2"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        std::string out = "/tmp/kxserve_probe." + std::to_string(getpid());
        ASSERT_EQ(run_process({"/usr/bin/ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries",
                               "stream=codec_name,width,height,sample_rate,channels", "-of", "csv=p=0", c.url},
                              30000, out.c_str()),
                  0);
        std::vector<std::string> got = lines(slurp(out));
        unlink(out.c_str());
        for (std::string &l : got)
            for (char &ch : l)
                if (ch == ',') ch = '|';
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0], "h264|320|240");
        EXPECT_EQ(got[1], c.audio);
    }
}

TEST_F(KxServeLive, FfmpegAndGstreamerDecodeTheSourcePictures) {
    std::vector<std::string> source = framemd5({"-i", clips().video}, 100);
    ASSERT_EQ(source.size(), 100u);
    std::vector<std::string> viaFfmpeg = framemd5({"-rtsp_transport", "tcp", "-i", base + "/cam"}, 60);
    EXPECT_EQ(viaFfmpeg.size(), 60u);
    EXPECT_TRUE(runOfSource(source, viaFfmpeg));

    std::string out = "/tmp/kxserve_gst." + std::to_string(getpid());
    run_process({"/usr/bin/gst-launch-1.0", "-q", "rtspsrc", "location=" + base + "/cam", "protocols=tcp", "!",
                 "rtph264depay", "!", "avdec_h264", "!", "videoconvert", "!", "video/x-raw,format=I420", "!",
                 "identity", "eos-after=40", "!", "checksumsink", "hash=0"},
                30000, out.c_str());
    std::vector<std::string> viaGst;
    for (const std::string &l : lines(slurp(out)))
        if (l.size() > 32 && l[0] != '(') viaGst.push_back(l.substr(l.rfind(' ') + 1));
    unlink(out.c_str());
    EXPECT_GE(viaGst.size(), 30u);
    EXPECT_TRUE(runOfSource(source, viaGst));
}

TEST_F(KxServeLive, VlcPlaysToAFile) {
    if (access("/usr/bin/cvlc", X_OK) != 0) GTEST_SKIP() << "cvlc is not installed";
    // VLC reads RTSP only through its live555 module, which some builds (Debian 12) lack.
    std::string modules = "/tmp/kxserve_vlc_modules." + std::to_string(getpid());
    run_process({"/usr/sbin/runuser", "-u", "nobody", "--", "/usr/bin/cvlc", "--list"}, 30000, modules.c_str());
    bool live555 = slurp(modules).find("live555") != std::string::npos;
    unlink(modules.c_str());
    if (!live555) GTEST_SKIP() << "this VLC has no RTSP client (live555 module)";
    std::string ts = "/tmp/kxserve_vlc." + std::to_string(getpid()) + ".ts";
    int rc = run_process({"/usr/sbin/runuser", "-u", "nobody", "--", "/usr/bin/cvlc", "-I", "dummy", "--rtsp-tcp",
                          "--run-time=4", "--play-and-exit", base + "/cam",
                          "--sout=#std{access=file,mux=ts,dst=" + ts + "}", "vlc://quit"},
                         30000);
    EXPECT_EQ(rc, 0);
    std::vector<std::string> got = framemd5({"-i", ts}, 30);
    unlink(ts.c_str());
    EXPECT_GE(got.size(), 30u);
    EXPECT_TRUE(runOfSource(framemd5({"-i", clips().video}, 100), got));
}

struct Received {
    std::mutex m;
    std::vector<rtspClient_frameInfo> frames;
    std::vector<uint32_t> lengths;
};

signed char onFrame(uint32_t *, unsigned char **, uint32_t length, double time, uint32_t index, signed char key,
                    float rate, uint32_t width, uint32_t height, void *p) {
    Received *r = static_cast<Received *>(p);
    std::lock_guard<std::mutex> lock(r->m);
    rtspClient_frameInfo info{time, index, 1, key, static_cast<uint16_t>(width), static_cast<uint16_t>(height), rate};
    r->frames.push_back(info);
    r->lengths.push_back(length);
    return 1;
}

// Our own client gets the server's frame description: consecutive indexes from a key frame,
// stream times at 1/25 s, the picture size and the rate. A second path on this server is a
// cluster redirect, followed by our client and by ffmpeg.
TEST_F(KxServeLive, OwnClientGetsTheTrailerAndFollowsARedirect) {
    KxServe front;
    ASSERT_TRUE(front.start(kServe, {"--listen", "127.0.0.2:" + std::to_string(server.port()), "--cluster",
                                     "/cam=127.0.0.1", "--quiet"}))
        << front.output();
    std::string redirected = "rtsp://127.0.0.2:" + std::to_string(server.port()) + "/cam";
    for (const std::string &url : {base + "/cam", redirected}) {
        SCOPED_TRACE(url);
        Received got;
        rtspClient *client = rtspClient_new__IO("kxserveTest", nullptr, 0, nullptr);
        rtspClient_startThread(client, -1);
        rtspClient_item *item = rtspClient_item_new_byURL__IO(url.c_str(), onFrame, &got);
        ASSERT_NE(item, nullptr);
        rtspClient_add_item__OI_2(client, item);
        bool enough = kxtest::eventually(
            [&] {
                std::lock_guard<std::mutex> lock(got.m);
                return got.frames.size() >= 30;
            },
            std::chrono::milliseconds(20000));
        rtspClient_remove_item__IO_2(client, item);
        rtspClient_stopThread(client);
        rtspClient_item_delete__OI(item);
        rtspClient_delete__OI(client);
        ASSERT_TRUE(enough);
        EXPECT_EQ(got.frames[0].isKeyFrame, 3);
        for (size_t i = 0; i < got.frames.size(); ++i) {
            SCOPED_TRACE(i);
            const rtspClient_frameInfo &f = got.frames[i];
            EXPECT_EQ(f.frameIndex, got.frames[0].frameIndex + i);
            EXPECT_EQ(f.isKeyFrame == 3, f.frameIndex % 25 == 0);
            EXPECT_DOUBLE_EQ(f.frameTime, f.frameIndex / 25.0);
            EXPECT_EQ(f.width, 320);
            EXPECT_EQ(f.height, 240);
            EXPECT_FLOAT_EQ(f.frameRate, 25.0f);
            EXPECT_GT(got.lengths[i], 4u);
        }
    }
    std::vector<std::string> viaRedirect = framemd5({"-rtsp_transport", "tcp", "-i", redirected}, 10);
    EXPECT_EQ(viaRedirect.size(), 10u);
    EXPECT_EQ(front.stop(), 0);
}

// --relay: one connection to a camera (GStreamer's RTSP server playing an x264 clip, without
// and with B-frames), served on to ffmpeg with the camera's pictures, their times one frame
// apart in display order.
TEST(KxServeRelay, ServesTheCameraPictures) {
    std::string why = kxtest::gst_peer_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string plain = kxtest::make_clip(KX_TEST_SOURCE_DIR "/tests/peers/make_clip.sh",
                                                kDir + "/relay_320x240.mp4", "320x240", 25, 4, "400k", false);
    const std::string bframes = kxtest::small_clip(kDir, "relay_320x240_bf2", "320x240", 25, 4, "-bf 2");
    for (const std::string &clip : {plain, bframes}) {
        SCOPED_TRACE(clip);
        ASSERT_FALSE(clip.empty());
        kxtest::RtspPeer camera;
        std::string error;
        ASSERT_TRUE(camera.start(KX_TEST_SOURCE_DIR "/tests/peers/rtsp_gst_server.py",
                                 {"--source", "file", "--clip", clip}, &error))
            << error;
        KxServe relay;
        ASSERT_TRUE(relay.start(kServe, {"--listen", "127.0.0.1:0", "--relay", "/cam=" + camera.url(), "--quiet"}))
            << relay.output();
        const std::string url = "rtsp://127.0.0.1:" + std::to_string(relay.port()) + "/cam";
        // ffprobe's decoded frames, read beside ffmpeg's (the camera plays its clip once).
        std::string probed;
        std::thread probe([&] {
            probed = kxtest::tool_output({"/usr/bin/ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-select_streams",
                                          "v:0", "-read_intervals", "%+#40", "-show_entries", "frame=pts", "-of",
                                          "csv=p=0", url},
                                         60000);
        });
        // passthrough: every picture decoded, none dropped or repeated to a constant rate (which
        // loses the B-frames after the first picture, whose time is not known yet).
        std::vector<std::string> got = framemd5({"-rtsp_transport", "tcp", "-i", url, "-fps_mode", "passthrough"}, 20);
        probe.join();
        EXPECT_EQ(got.size(), 20u);
        EXPECT_TRUE(runOfSource(framemd5({"-i", clip}, 100), got));
        // Their times one frame apart in display order (the last few, read while it stops, may skip).
        std::vector<long long> times;
        for (const std::string &l : lines(probed))
            if (!l.empty() && isdigit(static_cast<unsigned char>(l[0]))) times.push_back(atoll(l.c_str()));
        ASSERT_GE(times.size(), 30u);
        for (size_t i = 1; i < 30; ++i) EXPECT_EQ(times[i] - times[i - 1], 3600) << "frame " << i;
        EXPECT_EQ(relay.stop(), 0);
    }
}

// Garbage, a 10 MB header, a huge Content-Length, 2000 idle connections and a client that
// stops reading: the server survives, a well-behaved client keeps getting every frame, and
// the memory comes back once they are gone.
TEST_F(KxServeLive, HostileClientsNeitherCrashNorStallOthers) {
    ASSERT_TRUE(kxtest::raise_fd_limit(4600));
    // The server inherited the old limit; a second one started now gets the raised one.
    KxServe big;
    ASSERT_TRUE(big.start(kServe, {"--listen", "127.0.0.1:0", "--live", "/cam=" + clips().video, "--quiet"}));
    std::string url = "rtsp://127.0.0.1:" + std::to_string(big.port()) + "/cam";
    auto req = [&](const std::string &m, int cseq, const std::string &extra = "") {
        return m + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n";
    };
    kxtest::LoopbackClient good;
    ASSERT_TRUE(good.connect(big.port()));
    ASSERT_TRUE(good.send(req("DESCRIBE " + url, 1)));
    ASSERT_FALSE(good.answer().empty());
    ASSERT_TRUE(good.send(req("SETUP " + url + "/track0", 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")));
    ASSERT_FALSE(good.answer().empty());
    ASSERT_TRUE(good.send(req("PLAY " + url, 3)));
    ASSERT_FALSE(good.answer(10000).empty());
    ASSERT_FALSE(good.interleaved(1000).empty());
    long rssBefore = big.rssKiB();

    {
        kxtest::LoopbackClient garbage, header, length, stalled;
        ASSERT_TRUE(garbage.connect(big.port()));
        ASSERT_TRUE(garbage.send(std::string(100000, '\x07') + "\r\n\r\n"));
        ASSERT_TRUE(header.connect(big.port()));
        header.send("DESCRIBE " + url + " RTSP/1.0\r\nX: " + std::string(10 << 20, 'a'), 10000);
        ASSERT_TRUE(length.connect(big.port()));
        ASSERT_TRUE(length.send("SET_PARAMETER " + url + " RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 99999999999\r\n\r\n"));
        ASSERT_TRUE(stalled.connect(big.port(), 4096));
        ASSERT_TRUE(stalled.send(req("DESCRIBE " + url, 1)));
        ASSERT_TRUE(stalled.send(req("SETUP " + url + "/track0", 2, "Transport: RTP/AVP/TCP;interleaved=0-1\r\n")));
        ASSERT_TRUE(stalled.send(req("PLAY " + url, 3)));
        std::vector<std::unique_ptr<kxtest::LoopbackClient>> idle;
        for (int i = 0; i < 2000; ++i) {
            idle.push_back(std::make_unique<kxtest::LoopbackClient>());
            ASSERT_TRUE(idle.back()->connect(big.port())) << i;
        }
        EXPECT_TRUE(garbage.closedByPeer());
        EXPECT_TRUE(header.closedByPeer());
        EXPECT_TRUE(length.closedByPeer());
        // Meanwhile the good client gets every frame: 3 s of consecutive trailer indexes.
        std::string stream = good.interleaved(200 * 1000, 10000);
        uint32_t last = 0;
        size_t frames = 0, gaps = 0;
        for (size_t at = 0; at + 16 <= stream.size();) {
            size_t len = 4 + ((static_cast<uint8_t>(stream[at + 2]) << 8) | static_cast<uint8_t>(stream[at + 3]));
            if (at + len > stream.size()) break;
            if (static_cast<uint8_t>(stream[at + 4]) & 0x20) {  // first packet of a frame: the trailer
                uint32_t index;
                memcpy(&index, stream.data() + at + len - 31 + 16, 4);
                if (frames > 0 && index != last + 1) ++gaps;
                last = index;
                ++frames;
            }
            at += len;
        }
        EXPECT_GT(frames, 20u);
        EXPECT_EQ(gaps, 0u);
        EXPECT_TRUE(big.running());
    }
    // All gone: the memory the connections took is given back.
    EXPECT_TRUE(kxtest::eventually([&] { return big.rssKiB() < rssBefore + 16 * 1024; },
                                   std::chrono::milliseconds(10000)))
        << big.rssKiB() << " KiB after, " << rssBefore << " KiB before";
    good.close();
    EXPECT_EQ(big.stop(), 0);
}

}  // namespace
