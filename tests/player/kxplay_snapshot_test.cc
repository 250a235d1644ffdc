// kxplay's JPEG snapshot and its stamp (--osd): the program against GStreamer's RTSP server,
// its files read back with djpeg.
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/rtsp_peer.hpp"

namespace {

const std::string kScript = KX_TEST_SOURCE_DIR "/tests/peers/rtsp_gst_server.py";
const std::string kMakeClip = KX_TEST_SOURCE_DIR "/tests/peers/make_clip.sh";
const std::string kKxplay = KX_TEST_BINARY_DIR "/bin/kxplay";
const std::string kWork = KX_TEST_BINARY_DIR "/player-test";

// Pixels of a picture file decoded by djpeg (RGB rows), or empty.
std::vector<unsigned char> djpeg(const std::string &path, int *w, int *h) {
    const std::string ppm = path + ".ppm";
    if (kxtest::run_process({"/bin/sh", "-c", "djpeg -ppm '" + path + "' > '" + ppm + "'"}, 30000) != 0) return {};
    std::vector<unsigned char> b = kxtest::read_file_bytes(ppm);
    b.push_back(0);
    int maxval = 0, n = 0;
    if (sscanf(reinterpret_cast<const char *>(b.data()), "P6 %d %d %d%n", w, h, &maxval, &n) != 3) return {};
    return std::vector<unsigned char>(b.begin() + n + 1, b.end() - 1);
}

TEST(KxplaySnapshot, JpegSnapshotStampedWithOsd) {
    std::string why = kxtest::gst_peer_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    mkdir(kWork.c_str(), 0755);
    const std::string clip = kxtest::make_clip(kMakeClip, kWork + "/snapshot_320x240_25fps_3s.mp4", "320x240", 25, 3.0,
                                               "400k");
    ASSERT_FALSE(clip.empty());
    kxtest::RtspPeer peer;
    std::string error;
    ASSERT_TRUE(peer.start(kScript, {"--source", "file", "--clip", clip, "--lifetime", "60"}, &error)) << error;
    const std::string plain = kWork + "/snapshot_plain.jpg", stamped = kWork + "/snapshot_osd.JPG";
    unlink(plain.c_str());
    unlink(stamped.c_str());
    // A file stream is served from its start: both runs end on the same 20th picture.
    ASSERT_EQ(kxtest::run_process({kKxplay, "--frames", "20", "--quiet", "--snapshot", plain, peer.url()}, 30000), 0);
    ASSERT_TRUE(peer.restart(&error)) << error;
    ASSERT_EQ(kxtest::run_process({kKxplay, "--frames", "20", "--quiet", "--osd", "--snapshot", stamped, peer.url()},
                                  30000),
              0);
    int w = 0, h = 0, w2 = 0, h2 = 0;
    const std::vector<unsigned char> a = djpeg(plain, &w, &h), b = djpeg(stamped, &w2, &h2);
    ASSERT_EQ(w, 320);
    ASSERT_EQ(h, 240);
    ASSERT_EQ(a.size(), size_t(320) * 240 * 3);
    ASSERT_EQ(b.size(), a.size());
    // The stamp sits in the top rows (cell 13 pixels at row 6); blocks below it are coded alike.
    size_t changedTop = 0, whiteTop = 0;
    for (size_t i = 0; i < size_t(320) * 32 * 3; ++i) {
        changedTop += a[i] != b[i];
        whiteTop += b[i] > 235 && a[i] <= 235;
    }
    EXPECT_GT(changedTop, 300u);
    EXPECT_GT(whiteTop, 100u);
    size_t changedBelow = 0;
    for (size_t i = size_t(320) * 40 * 3; i < a.size(); ++i) changedBelow += a[i] != b[i];
    EXPECT_EQ(changedBelow, 0u);
}

}  // namespace
