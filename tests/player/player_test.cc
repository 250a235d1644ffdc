// The player end to end against GStreamer's RTSP server: pictures compared with ffmpeg's own
// decode, order with several decoder threads, back-pressure, jump, server restart, and the
// player program itself.
// KX_THREADED: the in-process tests also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/shared_field.hpp"
#include "kx/codec.h"
#include "kx/global.h"
#include "kx/player.h"
#include "kx/time.h"
#include "tests/support/rtsp_peer.hpp"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

const std::string kScript = KX_TEST_SOURCE_DIR "/tests/peers/rtsp_gst_server.py";
const std::string kMakeClip = KX_TEST_SOURCE_DIR "/tests/peers/make_clip.sh";
const std::string kKxplay = KX_TEST_BINARY_DIR "/bin/kxplay";
const std::string kPlayer = KX_TEST_BINARY_DIR "/bin/player";
const std::string kWork = KX_TEST_BINARY_DIR "/player-test";

// 3 s of 320x240 at 25 frames/s, one key frame per second, no B-frames.
std::string plain_clip() {
    return kxtest::make_clip(kMakeClip, kWork + "/plain_320x240_25fps_3s.mp4", "320x240", 25, 3.0, "400k");
}

// 3 s with B-frames (two between references), made once.
std::string bframe_clip() {
    std::string out = kWork + "/bframes_320x240_25fps_3s.mp4";
    if (access(out.c_str(), R_OK) == 0) return out;
    std::string tmp = out + ".tmp." + std::to_string(getpid()) + ".mp4";
    int rc = kxtest::run_process({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                  "testsrc2=size=320x240:rate=25", "-t", "3", "-c:v", "libx264", "-preset",
                                  "veryfast", "-pix_fmt", "yuv420p", "-bf", "2", "-g", "25", "-keyint_min", "25",
                                  "-sc_threshold", "0", "-an", tmp},
                                 120000);
    if (rc != 0 || rename(tmp.c_str(), out.c_str()) != 0) return std::string();
    return out;
}

// The MD5 of every decoded picture, in output order, from ffmpeg's framemd5 listing of input.
std::vector<std::string> frame_md5s(const std::string &input) {
    std::string listing = input + ".framemd5";
    if (kxtest::run_process({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", input, "-an", "-pix_fmt",
                             "yuv420p", "-f", "framemd5", listing},
                            60000) != 0)
        return {};
    std::vector<std::string> out;
    std::ifstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t comma = line.rfind(',');
        if (comma == std::string::npos) continue;
        std::string md5 = line.substr(comma + 1);
        md5.erase(std::remove(md5.begin(), md5.end(), ' '), md5.end());
        out.push_back(md5);
    }
    return out;
}

std::string read_text(const std::string &path) {
    std::vector<unsigned char> bytes = kxtest::read_file_bytes(path);
    return kxtest::strip_colours(std::string(bytes.begin(), bytes.end()));
}

class PlayerLive : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = kxtest::gst_peer_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        mkdir(kWork.c_str(), 0755);
    }
    void start(kxtest::RtspPeer &peer, const std::vector<std::string> &args) {
        std::string error;
        ASSERT_TRUE(peer.start(kScript, args, &error)) << error;
    }
};

// --- pictures through kxplay compared with ffmpeg ------------------------------------------

struct ExactCase {
    const char *name;
    bool bframes;
    int threads;
};

class PlayerExact : public PlayerLive, public ::testing::WithParamInterface<ExactCase> {};

TEST_P(PlayerExact, PicturesMatchFfmpegDecode) {
    const ExactCase c = GetParam();
    std::string clip = c.bframes ? bframe_clip() : plain_clip();
    ASSERT_FALSE(clip.empty());
    std::vector<std::string> reference = frame_md5s(clip);
    ASSERT_EQ(reference.size(), 75u);

    kxtest::RtspPeer peer;
    start(peer, {"--source", "file", "--clip", clip, "--lifetime", "60"});
    std::string y4m = kWork + "/" + c.name + ".y4m";
    std::string log = kWork + "/" + c.name + ".txt";
    unlink(y4m.c_str());
    // A file stream plays once: 40 pictures come well before it ends.
    int rc = kxtest::run_process({kKxplay, "--frames", "40", "--timeout", "15", "--decode-threads",
                                  std::to_string(c.threads), "--y4m", y4m, peer.url()},
                                 30000, log.c_str());
    ASSERT_EQ(rc, 0) << read_text(log);
    std::vector<std::string> got = frame_md5s(y4m);
    ASSERT_EQ(got.size(), 40u);

    if (!c.bframes) {
        // Every picture bit-exact and in stream order, from the first one: the file is served
        // from its start, and its first unit (SEI in front of the parameter sets) is played.
        auto first = std::find(reference.begin(), reference.end(), got[0]);
        ASSERT_NE(first, reference.end()) << "first picture is not one of ffmpeg's";
        size_t at = static_cast<size_t>(first - reference.begin());
        EXPECT_EQ(at, 0u) << "the first group of pictures was dropped";
        ASSERT_LE(at + got.size(), reference.size());
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], reference[at + i]) << "picture " << i;
    } else {
        // Each picture on its own frame: no picture twice, every one of them ffmpeg's.
        std::vector<std::string> sorted = got;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a picture was delivered twice";
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_NE(std::find(reference.begin(), reference.end(), got[i]), reference.end()) << "picture " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Kxplay, PlayerExact,
                         ::testing::Values(ExactCase{"one_thread", false, 1}, ExactCase{"two_threads", false, 2},
                                           ExactCase{"bframes", true, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PlayerLive, KxplayReportsBadUrlAndUnreachableServer) {
    struct Case {
        std::vector<std::string> args;
        int status;
        double most;  // seconds
    } cases[] = {
        // Bounds far above what the work takes: they catch a program that hangs on (ignoring
        // --timeout), not a slow machine.
        {{"rtsp://camera.example/1"}, 2, 15.0},
        {{"--timeout", "2", "rtsp://127.0.0.1:1/none"}, 1, 15.0},
        {{"--frames"}, 2, 15.0},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {kKxplay};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        double t0 = kxtest::peer_now();
        EXPECT_EQ(kxtest::run_process(argv, 20000), c.status) << c.args.back();
        EXPECT_LT(kxtest::peer_now() - t0, c.most) << c.args.back();
    }
}

// --- in-process player ----------------------------------------------------------------

// What the user callback saw; the callback runs on the player thread.
struct Seen {
    std::atomic<int> answer{1};
    std::atomic<uint64_t> offered{0}, accepted{0};
    std::atomic<uint32_t> lastIndex{0};
    std::atomic<bool> ordered{true};
    std::atomic<double> lastTime{0};
    std::atomic<double> earliestAccepted{std::numeric_limits<double>::infinity()};
    std::mutex m;
    std::vector<double> times;  // stream times of the accepted frames, the first 200
};

signed char remember(image_frame *frame, void *p) {
    auto *s = static_cast<Seen *>(p);
    s->offered++;
    int a = s->answer.load();
    if (a == 1) {
        if (s->accepted.load() > 0 && frame->frameIndex <= s->lastIndex.load() && frame->frameIndex != 0)
            s->ordered = false;
        s->lastIndex = frame->frameIndex;
        s->lastTime = frame->streamTime;
        if (frame->streamTime < s->earliestAccepted.load()) s->earliestAccepted = frame->streamTime;
        {
            std::lock_guard<std::mutex> lock(s->m);
            if (s->times.size() < 200) s->times.push_back(frame->streamTime);
        }
        s->accepted++;
    }
    return static_cast<signed char>(a);
}

// One start-up for the whole program: tables built lazily after a globalRelease are not
// what these tests are about.
struct Library : ::testing::Environment {
    void SetUp() override {
        video_h264_private_plugin_folder_set(KX_TEST_BINARY_DIR "/lib");
        globalInit(0, nullptr, nullptr, nullptr, 0);
    }
    void TearDown() override { globalRelease(); }
};
const auto *const kLibrary = ::testing::AddGlobalTestEnvironment(new Library);

class PlayerInProcess : public PlayerLive {
protected:
    void SetUp() override {
        PlayerLive::SetUp();
        if (IsSkipped()) return;
        player = playerLib_new__IO("PlayerLive", nullptr, 0, nullptr, 2);
        playerLib_set_rtsp_timers(player, 1.0, 2.0, 16.0);
        ASSERT_EQ(playerLib_startThread(player, 0), 1);
    }
    void TearDown() override {
        if (item) {
            playerLib_remove_item__IO_2(player, item);
            playerLib_item_delete__OI(item);
        }
        if (player) {
            playerLib_stopThread(player);
            playerLib_delete__OI(player);
        }
    }
    void play(const std::string &url, uint16_t min, uint16_t max) {
        item = playerLib_item_new__IO(url.c_str(), 25.0f, min, max, remember, &seen, 2);
        ASSERT_NE(item, nullptr);
        ASSERT_EQ(playerLib_add_item__OI_2(player, item), 1);
    }
    // Generous limits: the wait ends as soon as the frames are there (sanitizer builds decode slowly).
    bool accepted_at_least(uint64_t n, int ms = 30000) {
        return kxtest::eventually([&] { return seen.accepted.load() >= n; }, std::chrono::milliseconds(ms),
                                  std::chrono::milliseconds(5));
    }
    playerLib *player = nullptr;
    playerLib_item *item = nullptr;
    Seen seen;
};

TEST_F(PlayerInProcess, SlowCallbackBoundsTheQueueAndPausesReceptionThenResumes) {
    kxtest::CaptureShownOnFailure cap;
    kxtest::RtspPeer peer;
    start(peer, {"--source", "live", "--lifetime", "60"});
    const uint16_t kMin = 4, kMax = 8;
    play(peer.url(), kMin, kMax);
    ASSERT_TRUE(accepted_at_least(5));
    // "Not yet" for every frame: the queue stops growing at its limit and the client holds.
    seen.answer = 2;
    // The client is told to hold (the frame callback answers 2) once the queue is deep; the
    // queue never passes its hard limit meanwhile.
    uint32_t deepest = 0;
    auto refused = [&] {
        deepest = std::max(deepest, playerLib_item_bufferCount(item));
        playerLib_statistics st;
        playerLib_item_statistics(item, &st);
        return st.refusals > 0;
    };
    ASSERT_TRUE(kxtest::eventually(refused, std::chrono::seconds(30), std::chrono::milliseconds(2)))
        << "the RTSP client was never told to hold a frame";
    const double until = kxtest::peer_now() + 1.0;
    while (kxtest::peer_now() < until) {
        deepest = std::max(deepest, playerLib_item_bufferCount(item));
        kx_thread_usleep(2000);
    }
    EXPECT_LE(deepest, kMax + 1u);
    EXPECT_GE(deepest, kMin + 0u);
    // Delivered frames order the client's writes before them (each frame passes from its
    // thread through locked queues to the callback), so this count is stable here unless the
    // client connects again.
    uint32_t connects = __atomic_load_n(&item->rtspClientItem->connectCount, __ATOMIC_RELAXED);
    // Taking frames again: delivery resumes on the same connection.
    uint64_t before = seen.accepted.load();
    seen.answer = 1;
    ASSERT_TRUE(accepted_at_least(before + 25));
    EXPECT_EQ(__atomic_load_n(&item->rtspClientItem->connectCount, __ATOMIC_RELAXED), connects);
    EXPECT_TRUE(seen.ordered.load());
}

TEST_F(PlayerInProcess, ServerRestartResumesDelivery) {
    kxtest::CaptureShownOnFailure cap;
    kxtest::RtspPeer peer;
    start(peer, {"--source", "live", "--lifetime", "60"});
    play(peer.url(), 10, 20);
    ASSERT_TRUE(accepted_at_least(10));
    std::string error;
    ASSERT_TRUE(peer.restart(&error)) << error;
    uint64_t before = seen.accepted.load();
    ASSERT_TRUE(accepted_at_least(before + 25, 40000)) << "no delivery after the restart";
}

TEST_F(PlayerInProcess, JumpForwardSettlesAndBackwardBeyondTheStreamTimesOut) {
    kxtest::CaptureShownOnFailure cap;
    kxtest::RtspPeer peer;
    start(peer, {"--source", "live", "--lifetime", "60"});
    play(peer.url(), 10, 20);
    ASSERT_TRUE(accepted_at_least(10));
    // This server sends no frame times: stream times come from the RTP timestamps, anchored at
    // the wall-clock time of the first frame.
    // Forward to 3 s past the newest frame: frames from 2 s before the target count, so the
    // frames of the next second are skipped and the jump settles on a later one. The callback
    // defers everything meanwhile, so the first frame it accepts afterwards is the one the
    // filter let through.
    seen.answer = 2;
    const uint64_t offered = seen.offered.load();
    ASSERT_TRUE(kxtest::eventually([&] { return seen.offered.load() > offered + 1; }, std::chrono::seconds(30)));
    const double newest = kx::load(item->lastInTime);
    const double floor = newest + 3.0 - 2.0;
    EXPECT_EQ(playerLib_item_jump(item, newest + 3.0), 1);
    EXPECT_EQ(kx::load(item->jumpTarget), 0.0);
    seen.earliestAccepted = std::numeric_limits<double>::infinity();
    uint64_t before = seen.accepted.load();
    seen.answer = 1;
    ASSERT_TRUE(accepted_at_least(before + 5));
    EXPECT_GE(seen.earliestAccepted.load(), floor) << "a frame before the jump target was delivered";
    // Backward to 1 s: no frame of this stream is that early; after the 5 s limit the target
    // is dropped and delivery goes on.
    const double t0 = kxtest::peer_now();
    EXPECT_EQ(playerLib_item_jump(item, 1.0), -2);
    EXPECT_GE(kxtest::peer_now() - t0, 4.9) << "gave up before its limit";
    EXPECT_EQ(kx::load(item->jumpTarget), 0.0);
    before = seen.accepted.load();
    ASSERT_TRUE(accepted_at_least(before + 5));
}

// A server without our frame description (GStreamer) and a stream with B-frames: every
// picture comes out with its own time, from the RTP timestamps, so the delivered times rise
// in display order one frame period apart (not with the arrival, which follows decoding
// order), and start near the wall-clock time of the session.
TEST_F(PlayerInProcess, StreamTimesOfBFramePicturesRiseOneFramePeriodApart) {
    kxtest::CaptureShownOnFailure cap;
    const std::string clip = bframe_clip();
    ASSERT_FALSE(clip.empty());
    kxtest::RtspPeer peer;
    start(peer, {"--source", "file", "--clip", clip, "--lifetime", "60"});
    const double wallBefore = kx_time_GMT_get();
    play(peer.url(), 10, 20);
    ASSERT_TRUE(accepted_at_least(40));
    std::vector<double> times;
    {
        std::lock_guard<std::mutex> lock(seen.m);
        times = seen.times;
    }
    ASSERT_GE(times.size(), 40u);
    times.resize(40);
    EXPECT_GE(times[0], wallBefore - 1.0);
    EXPECT_LE(times[0], kx_time_GMT_get());
    const double period = 1.0 / 25;
    for (size_t i = 1; i < times.size(); ++i) {
        ASSERT_GT(times[i], times[i - 1]) << "first time out of order at frame " << i;
        ASSERT_NEAR(times[i] - times[i - 1], period, 1e-3) << "step at frame " << i;
    }
}

// --- the player program ---------------------------------------------------------------

TEST_F(PlayerLive, PlayerProgramPlaysTheDefaultUrl) {
    kxtest::RtspPeer peer;
    std::string error;
    if (!peer.start(kScript, {"--source", "live", "--port", "8554", "--path", "/1", "--lifetime", "30"}, &error, 15))
        GTEST_SKIP() << "port 8554 on 127.0.0.1 is not free for the default URL: " << error;
    std::string out = kWork + "/player.out";
    // The program plays for ten minutes: once 25 pictures show it working, SIGTERM ends it
    // early and cleanly.
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char *argv[] = {const_cast<char *>(kPlayer.c_str()), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    auto records = [&] {
        std::string text = read_text(out);
        size_t n = 0;
        for (size_t at = text.find("FrameRate:"); at != std::string::npos; at = text.find("FrameRate:", at + 1)) n++;
        return n;
    };
    EXPECT_TRUE(kxtest::eventually([&] { return records() >= 25; }, std::chrono::seconds(30),
                                   std::chrono::milliseconds(50)));
    kill(pid, SIGTERM);
    int status = -1;
    bool ended = kxtest::eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30),
                                    std::chrono::milliseconds(10));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended) << "the player did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string text = read_text(out);
    EXPECT_GE(records(), 25u) << text.substr(0, 2000);
    EXPECT_NE(text.find("ddfsfsdf"), std::string::npos);
}

}  // namespace
