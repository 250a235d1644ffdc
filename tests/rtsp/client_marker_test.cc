// The RTSP client against kxserve --root on a short Matroska clip (x264 + AAC, made by ffmpeg):
// every picture of the file arrives, the last one too, in order and whole, although the file
// ends there and no next frame ever comes to end it; also with key frames only.
// KX_THREADED: also runs under ThreadSanitizer (the client thread against the test thread).
#include <pthread.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/rtspclient.h"
#include "tests/support/kxserve_process.hpp"
#include "tests/support/media_tools.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

const std::string kServe = KX_TEST_BINARY_DIR "/bin/kxserve";
const std::string kMakeClip = KX_TEST_SOURCE_DIR "/tests/peers/make_mkv_clip.sh";
const std::string kWork = KX_TEST_BINARY_DIR "/rtsp-marker-test";
const std::string kRoot = kWork + "/root";
const std::string kClip = kRoot + "/clip.mkv";

struct Frame {
    std::vector<unsigned char> data;
    uint32_t index;
    signed char key;
};

struct Sink {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Frame> frames;
};

signed char on_frame(uint32_t *, unsigned char **buffer, uint32_t len, double, uint32_t index, signed char key, float,
                     uint32_t, uint32_t, void *externP) {
    Sink *s = static_cast<Sink *>(externP);
    std::lock_guard<std::mutex> lock(s->m);
    s->frames.push_back({std::vector<unsigned char>(*buffer, *buffer + len), index, key});
    s->cv.notify_all();
    return 1;
}

// The slices of Annex B data, each with its header byte.
std::vector<std::vector<unsigned char>> slices(const std::vector<unsigned char> &d) {
    std::vector<std::vector<unsigned char>> out;
    for (const kxtest::Nal &n : kxtest::split_annexb(d.data(), d.size()))
        if (n.type == 1 || n.type == 5) out.emplace_back(d.begin() + n.offset, d.begin() + n.offset + n.size);
    return out;
}

bool holdsIdr(const std::vector<unsigned char> &d) {
    for (const kxtest::Nal &n : kxtest::split_annexb(d.data(), d.size()))
        if (n.type == 5) return true;
    return false;
}

// ffprobe's packet count of the clip's video stream and the key flags of its packets.
std::string probe(const std::string &what) {
    std::string out = kxtest::tool_output({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0",
                                           "-count_packets", "-show_entries", what, "-of", "csv=p=0", kClip});
    return out;
}

TEST(RtspClientMarker, EveryPictureOfAFileArrivesTheLastOneToo) {
    kxtest::CaptureShownOnFailure quiet;
    mkdir(kWork.c_str(), 0755);
    mkdir(kRoot.c_str(), 0755);
    // 2 s at 25 frames/s, a key frame every 10 pictures.
    ASSERT_EQ(kxtest::run_process({"/bin/bash", kMakeClip, kClip, "320x240", "25", "2", "10"}, 120000), 0);
    const size_t packets = std::stoul(probe("stream=nb_read_packets"));
    ASSERT_EQ(packets, 50u);
    std::vector<bool> keyPacket;
    std::istringstream flags(probe("packet=flags"));
    for (std::string line; std::getline(flags, line);)
        if (!line.empty()) keyPacket.push_back(line[0] == 'K');
    ASSERT_EQ(keyPacket.size(), packets);
    const std::vector<std::vector<unsigned char>> file = kxtest::packets_of(kClip, kWork + "/packets");
    ASSERT_EQ(file.size(), packets);

    kxtest::KxServe server;
    ASSERT_TRUE(server.start(kServe, {"--listen", "127.0.0.1:0", "--root", kRoot, "--quiet"})) << server.output();
    const std::string base = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/clip.mkv";

    struct Case {
        const char *name, *query;
        bool keysOnly;
    } cases[] = {{"every picture", "?fps=100", false}, {"key frames only", "?streamtype=2", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<size_t> expected;  // the file's packets the stream is made of
        for (size_t i = 0; i < packets; ++i)
            if (!c.keysOnly || keyPacket[i]) expected.push_back(i);

        Sink sink;
        rtspClient *client = rtspClient_new__IO("marker", nullptr, pthread_self(), nullptr);
        ASSERT_NE(client, nullptr);
        rtspClient_startThread(client, -1);
        rtspClient_item *item = rtspClient_item_new_byURL__IO((base + c.query).c_str(), on_frame, &sink);
        ASSERT_NE(item, nullptr);
        ASSERT_EQ(rtspClient_add_item__OI_2(client, item), 1);
        std::vector<Frame> got;
        {
            std::unique_lock<std::mutex> lock(sink.m);
            sink.cv.wait_for(lock, std::chrono::seconds(20), [&] { return sink.frames.size() >= expected.size(); });
            got = sink.frames;
        }
        rtspClient_remove_item__IO_2(client, item);
        rtspClient_item_delete__OI(item);
        rtspClient_stopThread(client);
        rtspClient_delete__OI(client);

        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE(i);
            const std::vector<unsigned char> &want = file[expected[i]];
            EXPECT_EQ(slices(got[i].data), slices(want));
            EXPECT_EQ(holdsIdr(got[i].data), holdsIdr(want));
            EXPECT_EQ(got[i].key > 0, keyPacket[expected[i]]);
            if (i > 0) {
                EXPECT_EQ(got[i].index, (got[i - 1].index + 1) & 0xFFFFFFu);
            }
        }
    }
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
