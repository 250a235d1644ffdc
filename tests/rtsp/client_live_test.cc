// The RTSP client against a real server (GStreamer's RTSP server in a child process, see
// tests/peers): every stream shape delivers well-formed Annex B frames with gapless indexes,
// a known clip arrives whole, unchanged and in real time, Basic and Digest log in while a
// wrong password never delivers, a refusing callback holds one frame without a reset, and a
// server that was killed and restarted on the same port is found again.
// KX_THREADED: also runs under ThreadSanitizer (the client thread against the test thread).
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/rtspclient.h"
#include "kx/time.h"
#include "tests/support/rtsp_peer.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

const std::string kScript = KX_TEST_SOURCE_DIR "/tests/peers/rtsp_gst_server.py";
const std::string kMakeClip = KX_TEST_SOURCE_DIR "/tests/peers/make_clip.sh";

// The known clip: 2 s of 320x240 at 25 frames/s, one key frame per second.
constexpr int kClipFps = 25;
constexpr double kClipSeconds = 2.0;

std::string known_clip() {
    return kxtest::make_clip(kMakeClip, KX_TEST_BINARY_DIR "/peers/known_320x240_25fps_2s.mp4", "320x240", kClipFps,
                             kClipSeconds, "400k");
}

// Shows the captured log records when the running test failed.
struct Capture : kxtest::StdoutCapture {
    ~Capture() {
        if (::testing::Test::HasFailure()) fprintf(stderr, "%s", kxtest::strip_colours(text()).c_str());
    }
};

struct Frame {
    std::vector<unsigned char> data;
    uint32_t index;
    double time;
    signed char key;
    float rate;
    uint32_t width, height;
    double at;          // arrival, monotonic seconds
    uint32_t connects;  // the item's connection count when it arrived
    signed char answer;
};

// Collects what the callback is offered. The callback runs on the service thread; the test
// thread waits on the condition variable.
struct Sink {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Frame> taken;   // frames answered with 1
    std::vector<Frame> offers;  // every call, whatever the answer
    rtspClient_item *item = nullptr;
    std::function<signed char(const Frame &)> answer;  // 1 when unset

    size_t taken_count() {
        std::lock_guard<std::mutex> lock(m);
        return taken.size();
    }
    // Waits until pred holds (checked under the lock) or limit_s passes.
    bool wait(const std::function<bool()> &pred, double limit_s) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::duration<double>(limit_s), pred);
    }
    bool wait_taken(size_t n, double limit_s) {
        return wait([&] { return taken.size() >= n; }, limit_s);
    }
};

signed char on_frame(uint32_t *, unsigned char **buffer, uint32_t len, double time, uint32_t index, signed char key,
                     float rate, uint32_t width, uint32_t height, void *externP) {
    Sink *s = static_cast<Sink *>(externP);
    Frame f{std::vector<unsigned char>(*buffer, *buffer + len),
            index,
            time,
            key,
            rate,
            width,
            height,
            kxtest::peer_now(),
            s->item ? s->item->connectCount : 0,
            1};
    std::lock_guard<std::mutex> lock(s->m);
    if (s->answer) f.answer = s->answer(f);
    s->offers.push_back(f);
    if (f.answer == 1) s->taken.push_back(std::move(f));
    s->cv.notify_all();
    return s->offers.back().answer;
}

// One client service with its items; everything is removed and deleted in reverse order.
class Service {
  public:
    // tick, silence: the connect tick and silence limit in seconds (0: the defaults, 5 and 5).
    explicit Service(double tick = 0, double silence = 0) {
        client_ = rtspClient_new__IO("live", nullptr, pthread_self(), nullptr);
        if (tick > 0) rtspClient_set_timers(client_, tick, silence, 16.0);
        rtspClient_startThread(client_, -1);
    }
    ~Service() {
        for (rtspClient_item *item : items_) {
            rtspClient_remove_item__IO_2(client_, item);
            rtspClient_item_delete__OI(item);
        }
        rtspClient_stopThread(client_);
        rtspClient_delete__OI(client_);
    }
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Adds an item for url that reports to sink; false when the URL is refused.
    bool add(const std::string &url, Sink *sink) {
        rtspClient_item *item = rtspClient_item_new_byURL__IO(url.c_str(), on_frame, sink);
        if (!item) return false;
        sink->item = item;
        items_.push_back(item);
        return rtspClient_add_item__OI_2(client_, item) == 1;
    }

  private:
    rtspClient *client_ = nullptr;
    std::vector<rtspClient_item *> items_;
};

bool is_vcl(int type) {
    return type == 1 || type == 5;
}

// Every frame is Annex B (00 00 00 01 in front, only single NAL unit types 1-23 inside, none
// empty or with the forbidden bit), holds a picture, and a frame with an IDR slice carries SPS
// and PPS in front of it. Returns how many frames hold an IDR slice.
size_t expect_well_formed(const std::vector<Frame> &frames) {
    size_t idr_frames = 0;
    int reported = 0;
    auto report = [&](size_t i, const std::string &what) {
        if (reported++ < 5) ADD_FAILURE() << "frame " << i << " (index " << frames[i].index << "): " << what;
    };
    for (size_t i = 0; i < frames.size(); ++i) {
        const std::vector<unsigned char> &d = frames[i].data;
        bool leading = false;
        std::vector<kxtest::Nal> nals = kxtest::split_annexb(d.data(), d.size(), &leading);
        if (!leading) report(i, "does not start with 00 00 00 01");
        bool sps = false, pps = false, vcl = false, idr = false;
        for (const kxtest::Nal &n : nals) {
            if (n.size == 0) {
                report(i, "empty NAL unit");
                continue;
            }
            if (d[n.offset] & 0x80) report(i, "NAL unit with the forbidden bit");
            if (n.type < 1 || n.type > 23) report(i, "NAL unit of type " + std::to_string(n.type));
            if (n.type == 7) sps = true;
            if (n.type == 8) pps = true;
            if (n.type == 5 && !idr) {
                idr = true;
                if (!sps || !pps) report(i, "IDR slice without SPS and PPS in front");
            }
            vcl = vcl || is_vcl(n.type);
        }
        if (!vcl) report(i, "no slice");
        if (idr) ++idr_frames;
    }
    return idr_frames;
}

// Indexes advance by one (modulo 2^24) from frame to frame.
void expect_gapless(const std::vector<Frame> &frames, size_t from = 0, size_t to = SIZE_MAX) {
    to = std::min(to, frames.size());
    for (size_t i = from + 1; i < to; ++i)
        if (frames[i].index != ((frames[i - 1].index + 1) & 0xffffff)) {
            ADD_FAILURE() << "index " << frames[i - 1].index << " is followed by " << frames[i].index;
            return;
        }
}

class LiveClient : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = kxtest::gst_peer_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
    }
    // Starts a peer with args; fails the test when it does not come up.
    void start(kxtest::RtspPeer &peer, const std::vector<std::string> &args) {
        std::string error;
        ASSERT_TRUE(peer.start(kScript, args, &error)) << error;
    }
};

// --- every stream shape ---------------------------------------------------------------

struct Shape {
    const char *name;
    std::vector<std::string> args;  // "{clip}" stands for the known clip
    bool credentials;               // log in as user:secret
};

const Shape kShapes[] = {
    {"FileClipParameterSetsInSdp", {"--source", "file", "--clip", "{clip}"}, false},
    {"LiveWithAudioTrackAndSlices", {"--audio", "--slices", "2"}, false},
    {"LiveParameterSetsInBand", {"--params", "inband"}, false},
    {"LiveAggregationPackets", {"--params", "inband", "--aggregate"}, false},
    {"LiveBasicAuth", {"--auth", "basic", "--user", "user", "--password", "secret"}, true},
    {"LiveDigestAuth", {"--auth", "digest", "--user", "user", "--password", "secret"}, true},
};

void PrintTo(const Shape &s, std::ostream *os) {
    *os << s.name;
}

class LiveShapes : public LiveClient, public ::testing::WithParamInterface<Shape> {};

TEST_P(LiveShapes, FramesArriveWellFormedAndGapless) {
    Capture capture;
    std::vector<std::string> args = GetParam().args;
    for (std::string &a : args)
        if (a == "{clip}") {
            a = known_clip();
            ASSERT_FALSE(a.empty()) << "cannot make the clip";
        }
    kxtest::RtspPeer peer;
    start(peer, args);
    if (HasFatalFailure()) return;

    Sink sink;
    Service service;
    ASSERT_TRUE(service.add(GetParam().credentials ? peer.url_with("user", "secret") : peer.url(), &sink));
    // 30 frames are 1.2 s of stream; the session needs a few hundred ms more.
    ASSERT_TRUE(sink.wait_taken(30, 8.0)) << "only " << sink.taken_count() << " frames from " << peer.url();

    std::vector<Frame> frames;
    {
        std::lock_guard<std::mutex> lock(sink.m);
        frames = sink.taken;
    }
    EXPECT_EQ(frames.front().index, 0u) << "the first frame after PLAY has index 0";
    EXPECT_GE(expect_well_formed(frames), 1u) << "no IDR frame among " << frames.size();
    expect_gapless(frames);
    for (const Frame &f : frames) EXPECT_EQ(f.connects, frames.front().connects) << "the connection was reset";
}

INSTANTIATE_TEST_SUITE_P(Peer, LiveShapes, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<Shape> &info) { return std::string(info.param.name); });

// --- the known clip ------------------------------------------------------------------

// The clip's access units, without parameter sets and delimiters: each is the list of its
// remaining NAL units (header byte included).
std::vector<std::vector<std::vector<unsigned char>>> clip_units(const std::vector<unsigned char> &es) {
    std::vector<std::vector<std::vector<unsigned char>>> units(1);
    for (const kxtest::Nal &n : kxtest::split_annexb(es.data(), es.size())) {
        if (n.type == 7 || n.type == 8 || n.type == 9) continue;
        units.back().emplace_back(es.begin() + n.offset, es.begin() + n.offset + n.size);
        if (is_vcl(n.type)) units.emplace_back();
    }
    units.pop_back();
    return units;
}

std::vector<std::vector<unsigned char>> frame_units(const Frame &f) {
    std::vector<std::vector<unsigned char>> out;
    for (const kxtest::Nal &n : kxtest::split_annexb(f.data.data(), f.data.size()))
        if (n.type != 7 && n.type != 8 && n.type != 9)
            out.emplace_back(f.data.begin() + n.offset, f.data.begin() + n.offset + n.size);
    return out;
}

TEST_F(LiveClient, KnownClipArrivesWholeUnchangedAndInRealTime) {
    Capture capture;
    std::string clip = known_clip();
    ASSERT_FALSE(clip.empty()) << "cannot make the clip";
    auto reference = clip_units(kxtest::read_file_bytes(clip + ".h264"));
    ASSERT_EQ(reference.size(), static_cast<size_t>(kClipFps * kClipSeconds)) << "the clip itself";

    kxtest::RtspPeer peer;
    start(peer, {"--source", "file", "--clip", clip});
    if (HasFatalFailure()) return;
    Sink sink;
    Service service;
    const double wallBefore = kx_time_GMT_get();
    ASSERT_TRUE(service.add(peer.url(), &sink));
    ASSERT_TRUE(sink.wait_taken(1, 8.0)) << "no frame from " << peer.url();
    const double wallFirst = kx_time_GMT_get();
    // The clip plays once; it has ended when no frame came for a second.
    for (size_t seen = 0; seen != sink.taken_count();) {
        seen = sink.taken_count();
        sink.wait([&] { return sink.taken.size() > seen; }, 1.0);
    }
    std::vector<Frame> frames;
    {
        std::lock_guard<std::mutex> lock(sink.m);
        frames = sink.taken;
    }

    // Every access unit, the last one too: the marker bit on its last packet ends it, with
    // no next frame to wait for.
    ASSERT_EQ(frames.size(), reference.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].index, i);
        if (frame_units(frames[i]) != reference[i]) {
            ADD_FAILURE() << "frame " << i << " differs from access unit " << i << " of the clip";
            break;
        }
        // GStreamer sends no frame description: the time comes from the RTP timestamps, one
        // frame period apart from the wall-clock time of the first frame; the rest is unknown.
        EXPECT_NEAR(frames[i].time - frames[0].time, static_cast<double>(i) / kClipFps, 1e-3) << "frame " << i;
        EXPECT_EQ(frames[i].key, -1);
        EXPECT_EQ(frames[i].rate, 0.0f);
        EXPECT_EQ(frames[i].width, 0u);
        EXPECT_EQ(frames[i].height, 0u);
    }
    EXPECT_GE(frames[0].time, wallBefore);
    EXPECT_LE(frames[0].time, wallFirst);
    expect_well_formed(frames);
    // Paced by the server, not delivered in one burst at the end (how closely the pace is kept
    // depends on the machine more than on us).
    double span = frames.back().at - frames.front().at;
    double clip_span = static_cast<double>(frames.size() - 1) / kClipFps;
    EXPECT_GE(span, 0.5 * clip_span) << frames.size() << " frames";
    EXPECT_LE(span, 3.0 * clip_span) << frames.size() << " frames";
}

// --- credentials ---------------------------------------------------------------------

struct Refusal {
    const char *name;
    const char *method;
    const char *user;  // null: no credentials in the URL
    const char *password;
};

const Refusal kRefusals[] = {
    {"BasicWrongPassword", "basic", "user", "wrong"},
    {"DigestWrongPassword", "digest", "user", "wrong"},
    {"DigestWrongUser", "digest", "someone", "secret"},
    {"DigestNoCredentials", "digest", nullptr, nullptr},
};

void PrintTo(const Refusal &r, std::ostream *os) {
    *os << r.name;
}

class LiveRefusals : public LiveClient, public ::testing::WithParamInterface<Refusal> {};

// An item with the right credentials on the same service and server shows that the server
// streams meanwhile; the refused item never gets a frame.
TEST_P(LiveRefusals, RefusedLoginNeverDelivers) {
    Capture capture;
    const Refusal &r = GetParam();
    kxtest::RtspPeer peer;
    start(peer, {"--auth", r.method, "--user", "user", "--password", "secret"});
    if (HasFatalFailure()) return;
    Sink refused, admitted;
    Service service;
    ASSERT_TRUE(service.add(r.user ? peer.url_with(r.user, r.password) : peer.url(), &refused));
    ASSERT_TRUE(service.add(peer.url_with("user", "secret"), &admitted));
    EXPECT_TRUE(admitted.wait_taken(25, 8.0)) << "only " << admitted.taken_count() << " frames with the right login";
    EXPECT_EQ(refused.taken_count(), 0u);
    std::lock_guard<std::mutex> lock(refused.m);
    EXPECT_TRUE(refused.offers.empty());
}

INSTANTIATE_TEST_SUITE_P(Peer, LiveRefusals, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal> &info) { return std::string(info.param.name); });

// --- back-pressure -------------------------------------------------------------------

// The callback refuses (2) for 1.5 s, three times the silence limit: the same frame comes back
// about every 20 ms, the connection is not reset, and then reception goes on where it stopped.
TEST_F(LiveClient, RefusedFrameIsOfferedAgainWithoutResetThenReceptionResumes) {
    Capture capture;
    kxtest::RtspPeer peer;
    start(peer, {});
    if (HasFatalFailure()) return;
    Sink sink;
    double hold_until = 0;  // set on the first refusal; guarded by sink.m
    sink.answer = [&](const Frame &) -> signed char {
        if (sink.taken.size() < 10) return 1;
        if (hold_until == 0) hold_until = kxtest::peer_now() + 1.5;
        return kxtest::peer_now() < hold_until ? 2 : 1;
    };
    Service service(0.5, 0.5);
    ASSERT_TRUE(service.add(peer.url(), &sink));
    ASSERT_TRUE(sink.wait_taken(25, 10.0)) << "only " << sink.taken_count() << " frames";

    std::lock_guard<std::mutex> lock(sink.m);
    const std::vector<Frame> &offers = sink.offers;
    size_t first = 0;
    while (first < offers.size() && offers[first].answer != 2) ++first;
    ASSERT_LT(first, offers.size()) << "never refused";
    size_t last = first;
    while (last + 1 < offers.size() && offers[last + 1].answer == 2) ++last;
    ASSERT_LT(last + 1, offers.size()) << "never accepted again";

    // The refused frame, then the same frame again until it is taken.
    for (size_t i = first + 1; i <= last + 1; ++i) {
        ASSERT_EQ(offers[i].index, offers[first].index) << "offer " << i;
        ASSERT_TRUE(offers[i].data == offers[first].data) << "offer " << i << " changed the frame";
    }
    std::vector<double> gaps;
    for (size_t i = first + 1; i <= last + 1; ++i) gaps.push_back(offers[i].at - offers[i - 1].at);
    std::sort(gaps.begin(), gaps.end());
    double median = gaps[gaps.size() / 2];
    // Offered again after a short wait, not in a busy loop and not only at the next tick.
    EXPECT_GE(median, 0.010) << gaps.size() << " offers";
    EXPECT_LE(median, 0.400) << gaps.size() << " offers";
    EXPECT_GE(offers[last].at - offers[first].at, 1.4);

    for (const Frame &f : offers) EXPECT_EQ(f.connects, offers.front().connects) << "the connection was reset";
    // Taken frames run on without a gap through the hold, and well past it.
    expect_gapless(sink.taken);
    expect_well_formed(sink.taken);
    EXPECT_GE(sink.taken.size(), 25u);
}

// --- server restart ------------------------------------------------------------------

// The server dies and comes back on the same port: with the default timers (5 s tick and
// silence limit) frames flow again after the silence and the next tick, on a new connection,
// from index 0.
TEST_F(LiveClient, ServerKilledAndRestartedOnTheSamePortIsFoundAgain) {
    Capture capture;
    kxtest::RtspPeer peer;
    start(peer, {});
    if (HasFatalFailure()) return;
    Sink sink;
    Service service;
    ASSERT_TRUE(service.add(peer.url(), &sink));
    ASSERT_TRUE(sink.wait_taken(10, 8.0)) << "only " << sink.taken_count() << " frames";

    size_t before;
    uint32_t connects;
    {
        std::lock_guard<std::mutex> lock(sink.m);
        before = sink.taken.size();
        connects = sink.taken.back().connects;
    }
    double killed = kxtest::peer_now();
    std::string error;
    ASSERT_TRUE(peer.restart(&error)) << error;
    bool resumed = sink.wait([&] { return sink.taken.size() > before && sink.taken.back().connects > connects; }, 40.0);
    double waited = kxtest::peer_now() - killed;
    ASSERT_TRUE(resumed) << "no frame within 40 s of the restart";

    std::lock_guard<std::mutex> lock(sink.m);
    size_t again = before;
    while (sink.taken[again].connects == connects) ++again;
    // Not found by the silence check but by a reconnection at each tick: a few ticks at most.
    EXPECT_LT(sink.taken[again].at - killed, 30.0) << "waited " << waited << " s";
    EXPECT_EQ(sink.taken[again].index, 0u) << "a new session counts from 0";
    expect_gapless(sink.taken, 0, again);
    expect_well_formed(sink.taken);
}

}  // namespace
