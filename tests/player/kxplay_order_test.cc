// Display order end to end: clips with and without B-frames (two, a pyramid of three) and
// with several slices per picture, served by GStreamer's RTSP server, played by kxplay
// --y4m with one and two decoder threads: every picture written is ffmpeg's decode of the
// same source picture, and the run of source pictures has no gap, repeat or swap.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/media/codec_clips.hpp"
#include "tests/support/rtsp_peer.hpp"

namespace {

const std::string kScript = KX_TEST_SOURCE_DIR "/tests/peers/rtsp_gst_server.py";
const std::string kMakeClip = KX_TEST_SOURCE_DIR "/tests/peers/make_clip.sh";
const std::string kKxplay = KX_TEST_BINARY_DIR "/bin/kxplay";
const std::string kWork = KX_TEST_BINARY_DIR "/player-order-test";

struct ClipKind {
    const char *name;
    const char *encoder;  // x264 options over make_clip.sh's defaults
};
const ClipKind kBf0{"bf0", ""};
const ClipKind kBf2{"bf2", "-bf 2"};
const ClipKind kPyramid{"pyramid", "-bf 3 -b-pyramid normal"};
const ClipKind kSlices{"slices", "-bf 2 -slices 4"};

// 3 s of 320x240 at 25 frames/s, one group of pictures per second; made once.
std::string clip(const ClipKind &k) {
    std::string out = kWork + "/" + k.name + "_320x240_25fps_3s.mp4";
    if (kxtest::run_process({"/bin/bash", kMakeClip, out, "320x240", "25", "3", "400k", k.encoder}, 120000) != 0)
        return std::string();
    return out;
}

class KxplayOrder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = kxtest::gst_peer_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        mkdir(kWork.c_str(), 0755);
    }
};

TEST_F(KxplayOrder, PicturesAreFfmpegsInDisplayOrderWithoutGapRepeatOrSwap) {
    struct Case {
        const ClipKind *kind;
        int threads;
    } cases[] = {{&kBf0, 1}, {&kBf2, 1}, {&kBf2, 2}, {&kPyramid, 2}, {&kSlices, 1}};
    for (const Case &c : cases) {
        const std::string name = std::string(c.kind->name) + "_threads" + std::to_string(c.threads);
        SCOPED_TRACE(name);
        const std::string file = clip(*c.kind);
        ASSERT_FALSE(file.empty());
        const std::vector<std::string> reference = kxclip::frame_md5s(file);
        ASSERT_EQ(reference.size(), 75u);

        kxtest::RtspPeer peer;
        std::string error;
        ASSERT_TRUE(peer.start(kScript, {"--source", "file", "--clip", file, "--lifetime", "60"}, &error)) << error;
        const std::string y4m = kWork + "/" + name + ".y4m", log = kWork + "/" + name + ".txt";
        unlink(y4m.c_str());
        // A file stream plays once from its start: 40 pictures come well before it ends.
        int rc = kxtest::run_process({kKxplay, "--frames", "40", "--timeout", "15", "--decode-threads",
                                      std::to_string(c.threads), "--y4m", y4m, peer.url()},
                                     30000, log.c_str());
        peer.stop();
        ASSERT_EQ(rc, 0) << "kxplay failed, log in " << log;
        const std::vector<std::string> got = kxclip::frame_md5s(y4m);
        ASSERT_EQ(got.size(), 40u);
        // Source position of every written picture; they must run 0, 1, 2, ...
        for (size_t i = 0; i < got.size(); ++i) {
            auto at = std::find(reference.begin(), reference.end(), got[i]);
            ASSERT_NE(at, reference.end()) << "picture " << i << " is none of ffmpeg's";
            const size_t source = static_cast<size_t>(at - reference.begin());
            ASSERT_EQ(source, i) << "first out-of-order picture: output " << i << " shows source picture " << source;
        }
    }
}

}  // namespace
