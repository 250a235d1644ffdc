// The file streamer behind an RTSP server on 127.0.0.1, over a Matroska clip made by ffmpeg
// (x264 + AAC): ffmpeg's pictures and audio packets equal those of the file; start times,
// pace, key frames only, turning round and the end seen in the frame trailers of a scripted
// client; B-frame clips (ffmpeg's, and GStreamer's with a clock from 3600 s) carry every
// frame's presentation time in each direction; paths that leave the root, missing files and broken files give no media and their
// records while other clients are served. KX_THREADED
#include "kx/filestream.h"

#include <arpa/inet.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/rtspserver.h"
#include "tests/support/kxserve_process.hpp"
#include "tests/support/media_tools.hpp"
#include "tests/support/rtsp_loopback_client.hpp"
#include "tests/support/rtsp_peer.hpp"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

using kxtest::LoopbackClient;
using kxtest::run_process;

const std::string kDir = KX_TEST_BINARY_DIR "/peers/filestream";
const std::string kRoot = kDir + "/root";
const std::string kClip = kRoot + "/clip.mkv";
const std::string kSecret = kDir + "/secret.mkv";  // a playable file outside the root
const std::string kSlices = kRoot + "/slices.mkv";  // 4 s, three slices per picture
const std::string kTone = kRoot + "/tone.mkv";      // 4 s of AAC alone
// 4 s with two B-frames between references and a key frame every second: by ffmpeg, and by
// GStreamer with its clock starting at 3600 s (no audio).
const std::string kBframes = kRoot + "/bframes.mkv";
const std::string kLate = kRoot + "/late.mkv";

// 12 s of 320x240 at 25 frames/s, a key frame every 2 s (pictures 0, 50, ... 250), AAC
// 48 kHz mono beside it.
constexpr int kFrames = 300;

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream s(text);
    std::string l;
    while (std::getline(s, l))
        if (!l.empty() && l[0] != '#') out.push_back(l);
    return out;
}

// framemd5 hashes of one ffmpeg run, per stream index (video decoded, audio packets copied).
std::vector<std::vector<std::string>> framemd5(const std::vector<std::string> &input, bool audio,
                                               const std::vector<std::string> &limit) {
    std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error"};
    argv.insert(argv.end(), input.begin(), input.end());
    argv.insert(argv.end(), {"-map", "0:v:0"});
    if (audio) argv.insert(argv.end(), {"-map", "0:a:0", "-c:a", "copy"});
    argv.insert(argv.end(), limit.begin(), limit.end());
    argv.insert(argv.end(), {"-fps_mode", "passthrough", "-pix_fmt", "yuv420p", "-f", "framemd5", "-"});
    std::vector<std::vector<std::string>> out(2);
    for (const std::string &l : lines(kxtest::tool_output(argv, 60000))) {
        size_t comma = l.rfind(',');
        int stream = atoi(l.c_str());
        if (comma == std::string::npos || stream < 0 || stream > 1) continue;
        std::string h = l.substr(comma + 1);
        h.erase(0, h.find_first_not_of(' '));
        out[static_cast<size_t>(stream)].push_back(h);
    }
    return out;
}

struct Clip {
    bool ok = false;
    std::vector<std::string> pictures, audio;  // ffmpeg's decode and AAC packets of the file
    std::vector<std::string> slicePictures, sliceAudio;
    Clip() {
        mkdir((std::string(KX_TEST_BINARY_DIR) + "/peers").c_str(), 0755);
        mkdir(kDir.c_str(), 0755);
        mkdir(kRoot.c_str(), 0755);
        const std::string make = KX_TEST_SOURCE_DIR "/tests/peers/make_mkv_clip.sh";
        struct stat st;
        if (run_process({"/bin/bash", make, kClip, "320x240", "25", "12", "50"}, 180000) != 0 ||
            run_process({"/bin/bash", make, kSlices, "320x240", "25", "4", "50", "-slices 3"}, 180000) != 0 ||
            ((stat(kTone.c_str(), &st) != 0 || st.st_size == 0) &&
             run_process({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                          "sine=frequency=440:sample_rate=48000", "-t", "4", "-c:a", "aac", kTone},
                         60000) != 0))
            return;
        if (run_process({"/bin/bash", make, kBframes, "320x240", "25", "4", "25", "-bf 2"}, 180000) != 0) return;
        if (access("/usr/bin/gst-launch-1.0", X_OK) == 0 && (stat(kLate.c_str(), &st) != 0 || st.st_size == 0)) {
            const std::string tmp = kLate + ".tmp." + std::to_string(getpid()) + ".mkv";
            if (run_process({"/usr/bin/gst-launch-1.0", "-q", "videotestsrc", "num-buffers=100",
                             "timestamp-offset=3600000000000", "!",
                             "video/x-raw,format=I420,width=320,height=240,framerate=25/1", "!", "x264enc",
                             "key-int-max=25", "bframes=2", "!", "h264parse", "!", "matroskamux", "!", "filesink",
                             "location=" + tmp},
                            120000) != 0 ||
                rename(tmp.c_str(), kLate.c_str()) != 0)
                return;
        }
        auto h = framemd5({"-i", kClip}, true, {});
        pictures = h[0];
        audio = h[1];
        h = framemd5({"-i", kSlices}, true, {});
        slicePictures = h[0];
        sliceAudio = h[1];
        // The same bytes outside the root, and the ways out of the root towards them.
        unlink(kSecret.c_str());
        if (link(kClip.c_str(), kSecret.c_str()) != 0) return;
        unlink((kRoot + "/escape.mkv").c_str());
        unlink((kRoot + "/away").c_str());
        if (symlink("../secret.mkv", (kRoot + "/escape.mkv").c_str()) != 0 || symlink("..", (kRoot + "/away").c_str()) != 0)
            return;
        mkdir((kRoot + "/day").c_str(), 0755);
        std::ofstream(kRoot + "/broken.mkv") << std::string(4096, 'x');
        ok = pictures.size() == size_t(kFrames) && audio.size() > 500 && slicePictures.size() == 100u;
    }
};

const Clip &clip() {
    static Clip c;
    return c;
}

// An RTSP server on a free port of 127.0.0.1 with a file streamer over the root.
struct Served {
    rtspServer *server = nullptr;
    rtspFileStream *files = nullptr;
    uint16_t port = 0;
    Served() {
        server = rtspServer_new__IO("fileStreamTestServer", nullptr, 0, nullptr, htonl(INADDR_LOOPBACK), 0);
        rtspServer_startThread(server, -1);
        files = rtspFileStream_new__IO("fileStreamTest", nullptr, 0, nullptr, kRoot.c_str(), server);
        rtspFileStream_startThread(files, -1);
        kxtest::eventually([&] { return (port = rtspServer_port_get(server)) != 0; });
    }
    ~Served() {
        rtspFileStream_delete__OI(files);  // stops it: its item and the clients' play states go
        rtspServer_delete__OI(server);
    }
    std::string url(const std::string &path) const { return "rtsp://127.0.0.1:" + std::to_string(port) + path; }
};

// One video frame as a scripted client sees it: its frame trailer and when it came.
struct Seen {
    double at;  // seconds since the first frame
    double streamTime;
    uint32_t index;
    int key;
};

class Session {
public:
    Session(const Served &s, const std::string &path) : served_(s), path_(path) {}
    // DESCRIBE: the answer, "" when none came in time.
    std::string describe(int timeout_ms = 5000) {
        if (!c_.connect(served_.port)) return {};
        c_.send("DESCRIBE " + served_.url(path_) + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n");
        return c_.answer(timeout_ms);
    }
    // SETUP of the video track and PLAY (optionally with a start time).
    bool play(const std::string &range = "") {
        c_.send("SETUP " + served_.url(path_) + "/track0 RTSP/1.0\r\nCSeq: 2\r\n"
                "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
        if (c_.answer().find("200 OK") == std::string::npos) return false;
        return again(range);
    }
    bool again(const std::string &range = "") {
        return c_.send("PLAY " + served_.url(path_) + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                       "\r\nSession: 1\r\n" + (range.empty() ? "" : "Range: " + range + "\r\n") + "\r\n");
    }
    bool streamType(int type) {
        std::string body = "streamtype: " + std::to_string(type) + "\r\n";
        return c_.send("SET_PARAMETER " + served_.url(path_) + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                       "\r\nSession: 1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    // Video frames until n came or nothing came for quiet_ms.
    std::vector<Seen> frames(size_t n, int quiet_ms = 3000) {
        std::vector<Seen> out;
        while (out.size() < n) {
            std::string bytes = c_.interleaved(1, quiet_ms);
            if (bytes.empty()) break;
            double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
            for (size_t at = 0; at + 4 <= bytes.size();) {
                size_t len = (static_cast<uint8_t>(bytes[at + 2]) << 8) | static_cast<uint8_t>(bytes[at + 3]);
                const char *p = bytes.data() + at + 4;
                // The first packet of a frame carries the 31-byte trailer as RTP padding.
                if (bytes[at + 1] == 0 && len >= 12 + 31 && (static_cast<uint8_t>(p[0]) & 0x20) &&
                    memcmp(p + len - 31, "TI.kxlib", 8) == 0) {
                    Seen s{};
                    if (first_ < 0) first_ = now;
                    s.at = now - first_;
                    memcpy(&s.streamTime, p + len - 23, 8);
                    memcpy(&s.index, p + len - 15, 4);
                    s.key = static_cast<uint8_t>(p[len - 10]);
                    out.push_back(s);
                }
                at += 4 + len;
            }
        }
        return out;
    }
    LoopbackClient &client() { return c_; }

private:
    const Served &served_;
    std::string path_;
    LoopbackClient c_;
    int cseq_ = 2;
    double first_ = -1;
};

class FileStream : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg is not installed";
        ASSERT_TRUE(clip().ok) << "could not make the clip with ffmpeg";
        ASSERT_NE(served.port, 0);
    }
    Served served;
};

TEST_F(FileStream, FfmpegGetsThePicturesAndAudioOfTheFile) {
    struct Case {
        const char *path;
        const std::vector<std::string> &pictures, &audio;
    } cases[] = {{"/clip.mkv", clip().pictures, clip().audio},
                 {"/slices.mkv", clip().slicePictures, clip().sliceAudio}};  // samples of several units
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        auto got = framemd5({"-rtsp_transport", "tcp", "-i", served.url(c.path)}, true, {"-t", "3.6"});
        ASSERT_GE(got[0].size(), 80u);
        ASSERT_GE(got[1].size(), 140u);
        for (size_t i = 0; i < got[0].size(); ++i) ASSERT_EQ(got[0][i], c.pictures[i]) << "picture " << i;
        for (size_t i = 0; i < got[1].size(); ++i) ASSERT_EQ(got[1][i], c.audio[i]) << "audio packet " << i;
    }
    std::vector<std::vector<std::string>> got;
    // From a start time: the pictures from the key frame at or before it.
    got = framemd5({"-rtsp_transport", "tcp", "-i", served.url("/clip.mkv?from=9.5")}, false, {"-frames:v", "3"});
    ASSERT_EQ(got[0].size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(got[0][i], clip().pictures[200 + i]) << "picture " << i;
}

TEST_F(FileStream, StartTimesStreamTypesAndTheirFrames) {
    struct Case {
        const char *path;
        std::string range;    // PLAY "Range:" value
        double first;         // stream time of the first frame
        double step;          // from one frame to the next
        bool keysOnly;
    } cases[] = {
        {"/clip.mkv?from=3&fps=50&streamtype=2", "", 2.0, 2.0, true},
        {"/clip.mkv?from=9.5", "", 8.0, 0.04, false},
        {"/clip.mkv?from=10", "", 10.0, 0.04, false},
        {"/clip.mkv?from=100", "", 0.0, 0.04, false},   // beyond the duration: from the start
        {"/clip.mkv?from=-5&fps=0", "", 0.0, 0.04, false},
        {"/clip.mkv?streamtype=5&fps=100", "", 10.0, -0.04, false},  // 5 is 1: backward, last group
        {"/clip.mkv?streamtype=3&fps=500", "", 10.0, -2.0, true},
        {"/clip.mkv", "npt=5.3-", 4.0, 0.04, false},    // PLAY with a start time
        {"/clip.mkv?fps=100", "npt=6.5-", 6.0, 0.04, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.range);
        Session s(served, c.path);
        std::string sdp = s.describe();
        ASSERT_NE(sdp.find("m=video"), std::string::npos) << sdp;
        EXPECT_NE(sdp.find("a=range:npt=0-12"), std::string::npos) << sdp;
        ASSERT_TRUE(s.play(c.range));
        std::vector<Seen> f = s.frames(5);
        ASSERT_EQ(f.size(), 5u);
        EXPECT_NEAR(f[0].streamTime, c.first, 1e-6);
        EXPECT_EQ(f[0].key, 3);
        for (size_t i = 1; i < f.size(); ++i) {
            EXPECT_NEAR(f[i].streamTime - f[i - 1].streamTime, c.step, 1e-6) << "frame " << i;
            if (c.keysOnly) EXPECT_EQ(f[i].key, 3) << "frame " << i;
        }
    }
}

// A file of audio alone: its AAC track is the main track, paced at its own frame rate.
TEST_F(FileStream, AudioAloneIsTheMainTrack) {
    const double period = 1024 / 48000.0;
    struct Case {
        const char *path;
        double first;
    } cases[] = {{"/tone.mkv", 0.0}, {"/tone.mkv?from=2", 93 * period}};  // no key-frame search
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        Session s(served, c.path);
        std::string sdp = s.describe();
        ASSERT_NE(sdp.find("m=audio"), std::string::npos) << sdp;
        EXPECT_EQ(sdp.find("m=video"), std::string::npos) << sdp;
        ASSERT_TRUE(s.play());
        std::vector<Seen> f = s.frames(60);
        ASSERT_EQ(f.size(), 60u);
        EXPECT_NEAR(f[0].streamTime, c.first, 1e-6);
        for (size_t i = 1; i < f.size(); ++i) ASSERT_NEAR(f[i].streamTime - f[i - 1].streamTime, period, 1e-6);
        // 16 at once, then 44 at 46.9 frames/s.
        EXPECT_GE(f[59].at - f[15].at, 44 * period * 0.8);
    }
}

TEST_F(FileStream, PacesAtTheFileRateOrTheRequestedOne) {
    struct Case {
        const char *path;
        double rate;
    } cases[] = {{"/clip.mkv?fps=50", 50.0}, {"/clip.mkv", 25.0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        Session s(served, c.path);
        std::string sdp = s.describe();
        ASSERT_NE(sdp.find("m=video"), std::string::npos) << sdp;
        ASSERT_TRUE(s.play());
        std::vector<Seen> f = s.frames(120);
        ASSERT_EQ(f.size(), 120u);
        // A lead of at most 16 frames at once, then the pace: 100 frames after it.
        double took = f[119].at - f[19].at;
        EXPECT_GE(took, 100 / c.rate * 0.8) << "frames came faster than the pace";
        EXPECT_LE(took, 100 / (c.rate * 0.75)) << "frames came slower than the pace";
        EXPECT_LT(f[17].at, 100 / c.rate * 0.5) << "no lead at the start";
    }
}

// Index of the first frame from which `run` frames each follow the one before by step (the
// frames queued before a change of stream type come first); f.size() when there is none.
size_t runStart(const std::vector<Seen> &f, double step, size_t run) {
    for (size_t i = 0; i + run <= f.size(); ++i) {
        size_t n = 1;
        while (n < run && std::fabs(f[i + n].streamTime - f[i + n - 1].streamTime - step) < 1e-6) ++n;
        if (n == run) return i;
    }
    return f.size();
}

TEST_F(FileStream, TurnsRoundAndFeedsKeyFramesOnRequest) {
    Session s(served, "/clip.mkv?from=6&fps=100");
    std::string sdp = s.describe();
    ASSERT_NE(sdp.find("m=video"), std::string::npos) << sdp;
    ASSERT_TRUE(s.play());
    ASSERT_EQ(s.frames(30).size(), 30u);
    // Backward: one frame down at a time, across key frames.
    ASSERT_TRUE(s.streamType(1));
    std::vector<Seen> f = s.frames(80);
    size_t at = runStart(f, -0.04, 40);
    ASSERT_LT(at, f.size()) << "no backward run";
    EXPECT_LT(at, 40u);
    // Forward again: from a key frame, one frame up at a time.
    ASSERT_TRUE(s.streamType(0));
    f = s.frames(80);
    at = runStart(f, 0.04, 30);
    ASSERT_LT(at, f.size()) << "no forward run";
    EXPECT_EQ(f[at].key, 3);
    EXPECT_NEAR(std::fmod(f[at].streamTime, 2.0), 0.0, 1e-6);
    // Key frames only, forward: every second key frame time, nothing between.
    ASSERT_TRUE(s.streamType(2));
    f = s.frames(40, 2000);
    at = runStart(f, 2.0, 2);
    ASSERT_LT(at, f.size()) << "no key-frame run";
    for (size_t i = at; i < f.size(); ++i) EXPECT_EQ(f[i].key, 3) << "frame " << i;
}

// ffprobe's presentation times of the video packets in file order, less the earliest of the
// first group, and whether each is a key frame.
struct Probed {
    std::vector<double> times;
    std::vector<bool> keys;
};
Probed probeVideo(const std::string &file) {
    Probed p;
    for (const std::string &l : lines(kxtest::tool_output({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v",
                                                           "-show_entries", "packet=pts_time,flags", "-of", "csv=p=0",
                                                           file},
                                                          60000))) {
        size_t comma = l.find(',');
        if (comma == std::string::npos) continue;
        p.times.push_back(strtod(l.c_str(), nullptr));
        p.keys.push_back(l[comma + 1] == 'K');
    }
    double origin = p.times.empty() ? 0.0 : p.times[0];
    for (size_t i = 1; i < p.times.size() && !p.keys[i]; ++i) origin = std::min(origin, p.times[i]);
    for (double &t : p.times) t -= origin;
    return p;
}

// The file index of the frame a stream time belongs to (times are unique in these clips), -1
// for none.
int indexOfTime(const Probed &p, double t) {
    for (size_t i = 0; i < p.times.size(); ++i)
        if (std::fabs(p.times[i] - t) < 1e-6) return static_cast<int>(i);
    return -1;
}

// With B-frames every frame carries its own presentation time, counted from the file's first
// picture (also when the recording's clock starts at 3600 s): forward in file order, whose
// times rise one frame period at a time once sorted; backward in reverse file order, from the
// last group's key frame; and turning backward after a second of play the pictures run down
// from where forward play got to, one period at a time, none left out.
TEST_F(FileStream, BFramesCarryTheirPresentationTimesInEveryDirection) {
    std::vector<std::string> files = {"/bframes.mkv"};
    if (access(kLate.c_str(), R_OK) == 0) files.push_back("/late.mkv");
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        const Probed p = probeVideo(kRoot + file);
        ASSERT_EQ(p.times.size(), 100u);
        {
            Session s(served, file + "?fps=1000");
            ASSERT_NE(s.describe().find("m=video"), std::string::npos);
            ASSERT_TRUE(s.play());
            std::vector<Seen> f = s.frames(110, 1500);
            ASSERT_EQ(f.size(), 100u);
            std::vector<double> sorted;
            size_t early = 0;
            for (size_t i = 0; i < f.size(); ++i) {
                ASSERT_NEAR(f[i].streamTime, p.times[i], 1e-6) << "frame " << i;
                sorted.push_back(f[i].streamTime);
                if (i > 0 && f[i].streamTime < f[i - 1].streamTime) ++early;
            }
            EXPECT_GT(early, 20u) << "no B-frames";
            std::sort(sorted.begin(), sorted.end());
            for (size_t k = 0; k < sorted.size(); ++k) ASSERT_NEAR(sorted[k], k / 25.0, 1e-6) << "picture " << k;
        }
        {
            Session s(served, file + "?streamtype=1&fps=1000");
            ASSERT_NE(s.describe().find("m=video"), std::string::npos);
            ASSERT_TRUE(s.play());
            std::vector<Seen> f = s.frames(110, 1500);
            ASSERT_EQ(f.size(), 76u) << "the last group's key frame, then three groups";
            for (size_t i = 0; i < f.size(); ++i)
                ASSERT_EQ(indexOfTime(p, f[i].streamTime), i == 0 ? 75 : 75 - int(i)) << "frame " << i;
        }
        {
            Session s(served, file + "?from=1.5&fps=25");
            ASSERT_NE(s.describe().find("m=video"), std::string::npos);
            ASSERT_TRUE(s.play());
            std::vector<Seen> f = s.frames(20);
            ASSERT_EQ(f.size(), 20u);
            EXPECT_NEAR(f[0].streamTime, 1.0, 1e-6);
            EXPECT_EQ(f[0].key, 3);
            // Forward: the pictures from 1 s on that came without a gap.
            std::vector<double> shown;
            for (const Seen &x : f) shown.push_back(x.streamTime);
            std::sort(shown.begin(), shown.end());
            size_t upTo = 0;
            while (upTo + 1 < shown.size() && std::fabs(shown[upTo + 1] - shown[upTo] - 0.04) < 1e-6) ++upTo;
            const double reached = shown[upTo];
            ASSERT_TRUE(s.streamType(1));
            std::vector<Seen> b = s.frames(40);
            ASSERT_GE(b.size(), 30u);
            // The backward frames follow once the file index goes down; from there the file
            // index falls by one a frame.
            size_t at = 1;
            while (at < b.size() && indexOfTime(p, b[at].streamTime) >= indexOfTime(p, b[at - 1].streamTime)) ++at;
            ASSERT_LT(at + 25, b.size()) << "no backward run";
            --at;
            std::vector<double> back;
            for (size_t i = at; i < b.size(); ++i) {
                if (i > at) {
                    ASSERT_EQ(indexOfTime(p, b[i].streamTime), indexOfTime(p, b[i - 1].streamTime) - 1) << "frame " << i;
                }
                back.push_back(b[i].streamTime);
            }
            // In display order the backward pictures run down one period at a time from at least
            // where forward play had got to.
            std::sort(back.rbegin(), back.rend());
            std::string indexes;
            for (const Seen &x : b) indexes += std::to_string(indexOfTime(p, x.streamTime)) + " ";
            EXPECT_GE(back[0], reached - 1e-6) << "pictures lost at the turn; file indexes after it: " << indexes;
            for (size_t i = 1; i < back.size() && back[i] >= 0.999; ++i)
                ASSERT_NEAR(back[i - 1] - back[i], 0.04, 1e-6) << "picture " << i << " of the backward run";
        }
    }
}

TEST_F(FileStream, EndOfFileFinishesUntilPlayComesWithAStartTime) {
    Session s(served, "/clip.mkv?fps=1000");
    std::string sdp = s.describe();
    ASSERT_NE(sdp.find("m=video"), std::string::npos) << sdp;
    ASSERT_TRUE(s.play());
    std::vector<Seen> f = s.frames(kFrames + 10, 1500);
    ASSERT_EQ(f.size(), size_t(kFrames)) << "every frame once";
    for (size_t i = 0; i < f.size(); ++i) {
        ASSERT_NEAR(f[i].streamTime, i / 25.0, 1e-6) << "frame " << i;
        ASSERT_EQ(f[i].key, i % 50 == 0 ? 3 : 0) << "frame " << i;
    }
    ASSERT_TRUE(s.again());
    EXPECT_TRUE(s.frames(1, 1500).empty()) << "frames after the end";
    // A PLAY with a start time plays on from its key frame.
    ASSERT_TRUE(s.again("npt=5-"));
    f = s.frames(3);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_NEAR(f[0].streamTime, 4.0, 1e-6);
    EXPECT_EQ(f[0].key, 3);
}

TEST_F(FileStream, PathsOutsideTheRootAndBadFilesGiveNoMediaAndTheRecords) {
    struct Case {
        const char *path;
        const char *record;  // besides "New file" ... "failed."
    } cases[] = {
        {"/../secret.mkv", "Open the file"},
        {"/%2e%2e/secret.mkv", "Open the file"},
        {"/day/%2E%2e/%2e%2e/secret.mkv", "Open the file"},
        {"/escape.mkv", "Open the file"},       // a symbolic link out of the root
        {"/away/secret.mkv", "Open the file"},  // a directory link out of the root
        {"/missing.mkv?from=3", "Open the file"},
        {"/day", "Open the file"},
        {"/broken.mkv", "Error new mkv from the file"},
    };
    // The records are read from standard output while it is captured; the checks come after.
    std::vector<std::unique_ptr<Session>> refused;
    std::vector<std::string> answers;
    std::vector<bool> logged;
    std::string text;
    {
        kxtest::StdoutCapture log;
        for (const Case &c : cases) {
            auto s = std::make_unique<Session>(served, c.path);
            answers.push_back(s->describe(800));
            std::string path = c.path;
            const std::string file = kRoot + path.substr(0, path.find('?'));
            logged.push_back(kxtest::eventually([&] {
                std::string t = log.text();
                return t.find(std::string(c.record) + ":\"" + file + "\"") != std::string::npos &&
                       t.find("New file:\"" + file + "\" for the client(=") != std::string::npos;
            }));
            refused.push_back(std::move(s));
        }
        text = kxtest::strip_colours(log.text());
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].path);
        EXPECT_EQ(answers[i], "") << "a description for a refused path";
        EXPECT_TRUE(logged[i]) << text;
    }
    // The refused connections stay open without media, and others are served meanwhile.
    Session good(served, "/clip.mkv");
    std::string sdp = good.describe();
    ASSERT_NE(sdp.find("m=video"), std::string::npos) << sdp;
    ASSERT_TRUE(good.play());
    EXPECT_EQ(good.frames(3).size(), 3u);
    for (auto &s : refused) {
        EXPECT_TRUE(s->frames(1, 200).empty());
        EXPECT_FALSE(s->client().closedByPeer(100));
    }
}

// kxserve --root beside a live item: the named live item keeps its path (even one that is
// also a file under the root), every other path is the root's file of that name.
TEST(KxServeRoot, ServesFilesBesideNamedLiveItems) {
    if (access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(clip().ok) << "could not make the clip with ffmpeg";
    const std::string live = kDir + "/live.h264", copy = kRoot + "/copy.mkv";
    struct stat st;
    if (stat(live.c_str(), &st) != 0 || st.st_size == 0)
        ASSERT_EQ(run_process({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                               "testsrc=size=320x240:rate=25", "-t", "2", "-c:v", "libx264", "-g", "25", "-bf", "0",
                               "-pix_fmt", "yuv420p", "-f", "h264", live},
                              60000),
                  0);
    unlink(copy.c_str());
    ASSERT_EQ(link(kClip.c_str(), copy.c_str()), 0);
    const std::vector<std::string> livePictures = framemd5({"-i", live}, false, {})[0];
    ASSERT_EQ(livePictures.size(), 50u);

    kxtest::KxServe server;
    ASSERT_TRUE(server.start(KX_TEST_BINARY_DIR "/bin/kxserve",
                             {"--listen", "127.0.0.1:0", "--root", kRoot, "--live", "/clip.mkv=" + live, "--quiet"}))
        << server.output();
    const std::string base = "rtsp://127.0.0.1:" + std::to_string(server.port());
    auto pictures = [&](const std::string &path, int n) {
        return framemd5({"-rtsp_transport", "tcp", "-i", base + path}, false, {"-frames:v", std::to_string(n)})[0];
    };
    std::vector<std::string> got = pictures("/copy.mkv?from=4", 5);
    ASSERT_EQ(got.size(), 5u);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], clip().pictures[100 + i]) << "picture " << i;
    got = pictures("/clip.mkv", 5);
    ASSERT_EQ(got.size(), 5u);
    for (const std::string &h : got)
        EXPECT_NE(std::find(livePictures.begin(), livePictures.end(), h), livePictures.end()) << "not the live picture";
    // A path that names nothing: no description, and kxserve goes on.
    LoopbackClient c;
    ASSERT_TRUE(c.connect(server.port()));
    c.send("DESCRIBE " + base + "/nothing.mkv RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    EXPECT_EQ(c.answer(800), "");
    EXPECT_EQ(pictures("/copy.mkv", 2), std::vector<std::string>(clip().pictures.begin(), clip().pictures.begin() + 2));
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
