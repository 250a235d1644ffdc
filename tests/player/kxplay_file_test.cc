// Recorded files on demand end to end: kxserve --root over a folder of Matroska clips made by
// ffmpeg (x264 + AAC), played by kxplay backward, after a seek and with key frames only, every
// picture compared bit-exact with ffmpeg's decode of the file; the player in process gets
// every picture of the B-frame clip with its own stream time, forward and backward;
// GStreamer's rtspsrc and VLC play the same files.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <mutex>

#include "kx/codec.h"
#include "kx/global.h"
#include "kx/player.h"
#include "kx/string.h"
#include "tests/media/codec_clips.hpp"
#include "tests/support/kxserve_process.hpp"
#include "tests/support/rtsp_peer.hpp"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

using kxtest::run_process;

const std::string kKxplay = KX_TEST_BINARY_DIR "/bin/kxplay";
const std::string kServe = KX_TEST_BINARY_DIR "/bin/kxserve";
const std::string kMakeClip = KX_TEST_SOURCE_DIR "/tests/peers/make_mkv_clip.sh";
const std::string kWork = KX_TEST_BINARY_DIR "/player-file-test";
const std::string kRoot = kWork + "/root";

// 16 s of 320x240 at 25 frames/s, a key frame every 2 s (every 50th picture), AAC beside it.
constexpr int kFps = 25, kKeyEvery = 50, kPictures = 400;

struct Clip {
    const char *name;     // file under the root
    const char *encoder;  // x264 options over make_mkv_clip.sh's defaults
};
const Clip kPlain{"clip.mkv", ""};
const Clip kBframes{"clip_bf2.mkv", "-bf 2"};

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ffmpeg's decode of a clip, one MD5 per picture in display order; made once per clip.
const std::vector<std::string> &reference(const Clip &c) {
    static std::map<std::string, std::vector<std::string>> made;
    auto at = made.find(c.name);
    if (at != made.end()) return at->second;
    std::vector<std::string> hashes;
    const std::string path = kRoot + "/" + c.name;
    if (run_process({"/bin/bash", kMakeClip, path, "320x240", std::to_string(kFps), "16", std::to_string(kKeyEvery),
                     c.encoder},
                    120000) == 0)
        hashes = kxclip::frame_md5s(path);
    return made[c.name] = hashes;
}

// What one kxplay run showed: its report lines and the source position of every picture it
// wrote (-1: none of ffmpeg's pictures).
struct Played {
    int status = -1;
    std::string report;
    std::vector<int> sources;
    double firstTime = -1, lastTime = -1;  // stream times of the first and last picture played
};

// Output files of one run: named by process, since several runs of these tests may share the
// build tree at once.
std::string scratch(const std::string &tag, const char *ext) {
    return kWork + "/" + tag + "." + std::to_string(getpid()) + ext;
}

Played play(const Clip &clip, const std::string &url, std::vector<std::string> options, const std::string &tag) {
    Played p;
    const std::string y4m = scratch(tag, ".y4m"), out = scratch(tag, ".txt"), log = scratch(tag, ".log");
    std::vector<std::string> argv{kKxplay, "--timeout", "15", "--quiet", "--log", log};
    p.report = "library log: " + log + "\n";
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--y4m", y4m, url});
    p.status = run_process(argv, 60000, out.c_str());
    p.report += slurp(out);
    const std::vector<std::string> &ref = reference(clip);
    for (const std::string &h : kxclip::frame_md5s(y4m)) {
        auto at = std::find(ref.begin(), ref.end(), h);
        p.sources.push_back(at == ref.end() ? -1 : static_cast<int>(at - ref.begin()));
    }
    unlink(y4m.c_str());
    unlink(out.c_str());
    if (p.status == 0) unlink(log.c_str());  // else kept for the failure's reader
    size_t line = p.report.find("kxplay: stream time ");
    if (line != std::string::npos) sscanf(p.report.c_str() + line, "kxplay: stream time %lf s to %lf", &p.firstTime, &p.lastTime);
    return p;
}

std::string show(const std::vector<int> &v) {
    std::ostringstream s;
    for (int x : v) s << x << ' ';
    return s.str();
}

class KxplayFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string help = "/tmp/kxserve_help." + std::to_string(getpid());
        run_process({kServe, "--help"}, 10000, help.c_str());
        bool root = slurp(help).find("--root") != std::string::npos;
        unlink(help.c_str());
        if (!root) GTEST_SKIP() << "this kxserve serves no recorded files (no --root)";
        mkdir(kWork.c_str(), 0755);
        mkdir(kRoot.c_str(), 0755);
        for (const Clip *c : {&kPlain, &kBframes}) {
            ASSERT_EQ(reference(*c).size(), size_t(kPictures)) << "could not make " << c->name << " with ffmpeg";
            std::vector<std::string> distinct = reference(*c);
            std::sort(distinct.begin(), distinct.end());
            ASSERT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end()) << c->name << " repeats a picture";
        }
        ASSERT_TRUE(server.start(kServe, {"--listen", "127.0.0.1:0", "--root", kRoot, "--quiet"})) << server.output();
        base = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/";
    }
    void TearDown() override {
        if (server.pid() > 0) {
            EXPECT_EQ(server.stop(), 0);
        }
    }
    kxtest::KxServe server;
    std::string base;
};

// Backward from "from=8" (the key frame at picture 200): once the stream turned, every picture
// written is the source picture before the previous one, from the group the turn lands in
// (not only its key frame) across several groups, and carries that picture's stream time
// (with B-frames too: the file's presentation time, not its place in the file).
TEST_F(KxplayFile, ReverseShowsTheSourcePicturesBackwardBitExact) {
    for (const Clip *clip : {&kPlain, &kBframes}) {
        SCOPED_TRACE(clip->name);
        Played p = play(*clip, base + clip->name + "?from=8", {"--reverse", "--frames", "60"},
                        std::string("reverse_") + clip->name);
        ASSERT_EQ(p.status, 0) << p.report;
        EXPECT_NE(p.report.find("mode 1 (backward): done"), std::string::npos) << p.report;
        ASSERT_EQ(p.sources.size(), 60u) << p.report;
        // The turn comes right after the first picture: the run starts at or just after it (a
        // player that decodes the first backward frames in forward order shows only picture
        // 200, or 150, of the first groups).
        EXPECT_GE(p.sources[0], 199) << show(p.sources);
        EXPECT_LT(p.sources[0], 200 + kKeyEvery) << show(p.sources);
        for (size_t i = 1; i < p.sources.size(); ++i)
            ASSERT_EQ(p.sources[i], p.sources[i - 1] - 1) << "picture " << i << ": " << show(p.sources);
        EXPECT_NEAR(p.firstTime, p.sources.front() / double(kFps), 1e-3) << p.report;
        EXPECT_NEAR(p.lastTime, p.sources.back() / double(kFps), 1e-3) << p.report;
    }
}

// A seek while playing lands on the key frame at or before its target, forward and backward,
// at once or after a second of play: the pictures run from the key frame at or before "from"
// up to the seek, then from the landing key frame on, with its stream time reported.
TEST_F(KxplayFile, SeekLandsOnTheKeyFrameAtOrBeforeTheTarget) {
    struct Case {
        const Clip *clip;
        const char *query;
        const char *target;
        const char *after;
        int startsAt, landsAt;
    } cases[] = {
        {&kPlain, "", "9.5", "0", 0, 200},           // between key frames
        {&kPlain, "", "10", "0", 0, 250},            // on a key frame
        {&kBframes, "?from=3", "13.96", "1", 50, 300}, // after a second of play, just before the next key frame
        {&kPlain, "?from=11", "5", "0", 250, 100},   // backward
        {&kBframes, "?from=11", "5", "0", 250, 100},
    };
    for (const Case &k : cases) {
        const std::string tag = std::string("seek_") + k.target + "_" + k.after + (k.query[0] ? "_from_" : "_") + k.clip->name;
        SCOPED_TRACE(tag);
        Played p = play(*k.clip, base + k.clip->name + k.query,
                        {"--seek", k.target, "--seek-after", k.after, "--frames", "70"}, tag);
        ASSERT_EQ(p.status, 0) << p.report;
        ASSERT_EQ(p.sources.size(), 70u) << p.report;
        ASSERT_EQ(p.sources[0], k.startsAt) << show(p.sources);
        size_t jump = 1;
        while (jump < p.sources.size() && p.sources[jump] == p.sources[jump - 1] + 1) ++jump;
        ASSERT_LT(jump, p.sources.size()) << "no seek seen: " << show(p.sources);
        EXPECT_EQ(p.sources[jump], k.landsAt) << show(p.sources);
        for (size_t i = jump + 1; i < p.sources.size(); ++i)
            ASSERT_EQ(p.sources[i], p.sources[i - 1] + 1) << "picture " << i << ": " << show(p.sources);
        char landed[96];
        snprintf(landed, sizeof landed, "done, playing from %.3f s", k.landsAt / double(kFps));
        EXPECT_NE(p.report.find(landed), std::string::npos) << p.report;
    }
}

// Key frames only, forward and backward: once the stream follows the mode, every picture is a
// key frame of the source, one group after the other without a gap.
TEST_F(KxplayFile, KeyframesGiveOnlyKeyPicturesOfEveryGroup) {
    struct Case {
        const Clip *clip;
        const char *query;
        std::vector<std::string> options;
        int step;  // from one picture to the next, in source pictures
    } cases[] = {
        {&kPlain, "", {"--keyframes"}, kKeyEvery},
        {&kBframes, "?from=14", {"--keyframes", "--reverse"}, -kKeyEvery},
    };
    for (const Case &k : cases) {
        const std::string tag = std::string("keyframes") + (k.step < 0 ? "_reverse_" : "_") + k.clip->name;
        SCOPED_TRACE(tag);
        std::vector<std::string> options = k.options;
        options.insert(options.end(), {"--frames", "4"});
        Played p = play(*k.clip, base + k.clip->name + k.query, options, tag);
        ASSERT_EQ(p.status, 0) << p.report;
        ASSERT_EQ(p.sources.size(), 4u) << p.report;
        for (size_t i = 0; i < p.sources.size(); ++i) {
            ASSERT_EQ(p.sources[i] % kKeyEvery, 0) << "picture " << i << " is no key frame: " << show(p.sources);
            if (i > 0) {
                ASSERT_EQ(p.sources[i], p.sources[i - 1] + k.step) << show(p.sources);
            }
        }
        EXPECT_NE(p.report.find("4 key pictures"), std::string::npos) << p.report;
    }
}

// What the in-process player delivered: each picture's MD5 and stream time, in display order.
struct Delivered {
    std::mutex m;
    std::vector<std::string> hashes;
    std::vector<double> times;
    std::vector<unsigned char> yuv;
};

signed char deliver(image_frame *frame, void *p) {
    auto *d = static_cast<Delivered *>(p);
    uint32_t w = 0, h = 0;
    double t = -1;
    float rate = 0;
    playerLib_image_frame_get_parameter0(frame, &w, &h, &t, &rate);
    std::lock_guard<std::mutex> lock(d->m);
    d->yuv.resize(size_t(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2));
    if (playerLib_image_frame_get_yuv420p(frame, d->yuv.data()) != 1) return 1;
    unsigned char digest[16];
    kx_String_buffer_md5sum(digest, static_cast<uint32_t>(d->yuv.size()), d->yuv.data());
    char hex[33];
    for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    d->hashes.push_back(hex);
    d->times.push_back(t);
    return 1;
}

// The player in this process over the B-frame clip from "from=8", turned backward after 30
// pictures: every picture carries its own presentation time (source position / frame rate),
// so in display order the times rise by exactly one frame period, then fall by one, and the
// backward pictures take over near where forward play got to.
TEST_F(KxplayFile, InProcessPlayerGetsEveryBFramePictureWithItsOwnTime) {
    kxtest::CaptureShownOnFailure cap;
    video_h264_private_plugin_folder_set(KX_TEST_BINARY_DIR "/lib");
    globalInit(0, nullptr, nullptr, nullptr, 0);
    playerLib *player = playerLib_new__IO("KxplayFile", nullptr, 0, nullptr, 1);
    ASSERT_NE(player, nullptr);
    ASSERT_EQ(playerLib_startThread(player, 0), 1);
    Delivered d;
    // Backward play holds a whole group before its first picture: room for 128 frames.
    playerLib_item *item = playerLib_item_new__IO((base + kBframes.name + "?from=8").c_str(), 25.0f, 64, 128, deliver,
                                                  &d, 1);
    ASSERT_NE(item, nullptr);
    ASSERT_EQ(playerLib_add_item__OI_2(player, item), 1);
    auto count = [&] {
        std::lock_guard<std::mutex> lock(d.m);
        return d.hashes.size();
    };
    const bool forward = kxtest::eventually([&] { return count() >= 30; }, std::chrono::seconds(30));
    const int turned = forward ? playerLib_item_mode(item, 1) : 0;
    const bool backward = turned == 1 && kxtest::eventually([&] { return count() >= 130; }, std::chrono::seconds(60));
    playerLib_remove_item__IO_2(player, item);
    playerLib_item_delete__OI(item);
    playerLib_stopThread(player);
    playerLib_delete__OI(player);
    globalRelease();
    ASSERT_TRUE(forward) << "fewer than 30 pictures";
    ASSERT_EQ(turned, 1);
    ASSERT_TRUE(backward) << "fewer than 100 pictures after the turn";

    const std::vector<std::string> &ref = reference(kBframes);
    std::vector<int> src;
    for (const std::string &h : d.hashes) {
        auto at = std::find(ref.begin(), ref.end(), h);
        src.push_back(at == ref.end() ? -1 : static_cast<int>(at - ref.begin()));
    }
    for (size_t i = 0; i < src.size(); ++i) {
        ASSERT_GE(src[i], 0) << "picture " << i << " is none of the source's: " << show(src);
        ASSERT_NEAR(d.times[i], src[i] / double(kFps), 1e-6) << "picture " << i << ": " << show(src);
    }
    // Forward from the key frame at 8 s one picture at a time, then backward one at a time.
    ASSERT_EQ(src[0], 200) << show(src);
    size_t turn = 1;
    while (turn < src.size() && src[turn] == src[turn - 1] + 1) ++turn;
    ASSERT_GE(turn, 30u) << show(src);
    ASSERT_LT(turn, src.size()) << show(src);
    for (size_t i = turn + 1; i < src.size(); ++i)
        ASSERT_EQ(src[i], src[i - 1] - 1) << "picture " << i << ": " << show(src);
    // The first backward picture is the one before the last forward one. The server sends the
    // turn's group whole from after the pictures a reference picture already sent leads; the
    // player drops the frames later than the last picture shown only until the first earlier
    // one arrives, and keeps the later references behind it (the next B-frame's reference
    // comes after it): none is lost at the turn.
    EXPECT_GE(src[turn], src[turn - 1] - 1) << show(src);
    EXPECT_LT(src[turn], src[turn - 1] + 24) << show(src);
}

// GStreamer's checksumsink output: the pictures (last column) and their times (first).
struct Checksums {
    std::vector<std::string> pictures;
    std::vector<double> times;
};
Checksums checksums(const std::string &text) {
    Checksums out;
    std::istringstream s(text);
    std::string l;
    while (std::getline(s, l)) {
        unsigned h = 0, m = 0;
        double sec = 0;
        if (l.size() <= 32 || l[0] == '(' || sscanf(l.c_str(), "%u:%u:%lf", &h, &m, &sec) != 3) continue;
        out.pictures.push_back(l.substr(l.rfind(' ') + 1));
        out.times.push_back(h * 3600.0 + m * 60.0 + sec);
    }
    return out;
}

// GStreamer's RTSP source plays the file from its start: the source's first pictures, exactly,
// a frame period apart (buffer-mode=none: times from the RTP timestamps alone), with B-frames
// too. The last pictures before its end of stream are not looked at: with B-frames the
// decoder's drain there lets some through, not all.
TEST_F(KxplayFile, GstreamerPlaysTheFile) {
    if (access("/usr/bin/gst-launch-1.0", X_OK) != 0) GTEST_SKIP() << "gst-launch-1.0 is not installed";
    constexpr size_t kShown = 40;
    for (const Clip *clip : {&kPlain, &kBframes}) {
        SCOPED_TRACE(clip->name);
        const std::string out = scratch("gst", ".txt");
        run_process({"/usr/bin/gst-launch-1.0", "-q", "rtspsrc", "location=" + base + clip->name, "protocols=tcp",
                     "buffer-mode=none", "!", "rtph264depay", "!", "avdec_h264", "!", "videoconvert", "!",
                     "video/x-raw,format=I420", "!", "identity", "eos-after=" + std::to_string(kShown + 10), "!",
                     "checksumsink", "hash=0"},
                    40000, out.c_str());
        Checksums got = checksums(slurp(out));
        unlink(out.c_str());
        ASSERT_GE(got.pictures.size(), kShown);
        const std::vector<std::string> &ref = reference(*clip);
        for (size_t i = 0; i < kShown; ++i) {
            ASSERT_EQ(got.pictures[i], ref[i]) << "picture " << i;
            if (i > 0) {
                ASSERT_NEAR(got.times[i] - got.times[i - 1], 1.0 / kFps, 0.001) << "picture " << i;
            }
        }
    }
}

// VLC reads RTSP only through its live555 module, which Debian 12 does not package.
TEST_F(KxplayFile, VlcPlaysTheFile) {
    if (access("/usr/bin/cvlc", X_OK) != 0) GTEST_SKIP() << "cvlc is not installed";
    const std::string modules = scratch("vlc_modules", ".txt");
    run_process({"/usr/sbin/runuser", "-u", "nobody", "--", "/usr/bin/cvlc", "--list"}, 30000, modules.c_str());
    const bool live555 = slurp(modules).find("live555") != std::string::npos;
    unlink(modules.c_str());
    if (!live555) GTEST_SKIP() << "this VLC has no RTSP client (live555 module)";
    const std::string ts = "/tmp/kxplay_file_vlc." + std::to_string(getpid()) + ".ts";
    int rc = run_process({"/usr/sbin/runuser", "-u", "nobody", "--", "/usr/bin/cvlc", "-I", "dummy", "--rtsp-tcp",
                          "--run-time=4", "--play-and-exit", base + kPlain.name,
                          "--sout=#std{access=file,mux=ts,dst=" + ts + "}", "vlc://quit"},
                         30000);
    EXPECT_EQ(rc, 0);
    std::vector<std::string> got = kxclip::frame_md5s(ts);
    unlink(ts.c_str());
    ASSERT_GE(got.size(), 30u);
    const std::vector<std::string> &ref = reference(kPlain);
    for (size_t i = 0; i < 30; ++i) ASSERT_EQ(got[i], ref[i]) << "picture " << i;
}

}  // namespace
