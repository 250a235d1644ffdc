// Demand items of the RTSP server fed by a producer thread of the test, as a file streamer
// feeds them: each client's own record with its request path, parameters and peer, a
// description from its first frames (with the media's range), PLAY start times handed to
// the producer with the old position's frames dropped, and the producer's release callback
// called once whichever way the record ends, with every frame released. KX_THREADED
#include "kx/rtspserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/h264.h"
#include "kx/memory.h"
#include "tests/support/media_tools.hpp"
#include "tests/support/reassemble.hpp"
#include "tests/support/rtsp_loopback_client.hpp"
#include "tests/support/wait.hpp"

namespace {

using Frames = std::vector<std::vector<unsigned char>>;
using kxtest::LoopbackClient;

const std::string kWork = KX_TEST_BINARY_DIR "/serve-test/demand";

// 2 s of 320x240 at 25 fps, a key frame every second, as ffmpeg's packets (Annex B with the
// parameter sets in front of each key frame).
struct Clip {
    std::string path = kxtest::small_clip(kWork, "clip_320x240_25fps_2s", "320x240", 25, 2);
    Frames frames = path.empty() ? Frames{} : kxtest::packets_of(path, kWork + "/frames");
};

const Clip &clip() {
    static Clip c;
    return c;
}

constexpr double kFps = 25.0;
constexpr uint32_t kMaxWaiting = 16;  // frames a record holds at most, as a file streamer keeps it
constexpr uint32_t kJumpTag = 1000;   // frame index offset of the frames fed after a jump
constexpr uint32_t kTypeTag = 2000;   // and after a change of stream type

struct Server {
    rtspServer *server = nullptr;
    rtspServer_item *item = nullptr;
    uint16_t port = 0;
    // A catch-all demand item as a file streamer makes it: no URL, prefix bit alone, a pipe.
    Server() {
        server = rtspServer_new__IO("rtspDemandTest", nullptr, 0, nullptr, htonl(INADDR_LOOPBACK), 0);
        rtspServer_startThread(server, -1);
        kxtest::eventually([&] { return (port = rtspServer_port_get(server)) != 0; });
        item = rtspServer_item_new__IO(nullptr, 0, RTSPSERVER_MODEL_PREFIX, 0, 0, 0, 0, 0, 1);
        rtspServer_add_item__OI_2(server, item);
    }
    ~Server() {
        if (server != nullptr) rtspServer_delete__OI(server);
    }
};

// What the producer saw of a record on its first visit.
struct Seen {
    std::string path, query, name, flag, missing;
    int nameLength = -2, flagLength = -2, missingLength = -2, shortLength = -2;
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    int index = 0;
};

// Feeds the clip, looped, into every demand record of the item from its own thread, woken
// by the item's pipe (or every 10 ms, to refill). Keeps a reference of its own on every
// frame, so that the test can check the server released each of its references once.
class Producer {
public:
    Producer(rtspServer_item *item, const Frames &frames) : item_(item), frames_(frames) {
        thread_ = std::thread([this] { loop(); });
    }
    ~Producer() {
        stop();
        for (kx_Object *o : kept_) kx_Object_delete_pthreadSafety__OI(o);
    }
    void stop() {
        run_.store(false);
        if (thread_.joinable()) thread_.join();
    }
    // Frames whose reference count is not back to the producer's own (after stop()).
    size_t held() const {
        size_t n = 0;
        for (kx_Object *o : kept_)
            if (o->referCount != 1) ++n;
        return n;
    }
    size_t made() const { return kept_.size(); }
    // Holds the producer out of its walk (a busy producer), or lets it go on.
    void hold(bool on) {
        held_.store(on);
        if (on) kxtest::eventually([&] { return parked_.load(); });
    }

    std::atomic<int> releases{0};
    std::atomic<int> records{0};
    std::mutex mutex;
    std::vector<Seen> seen;
    std::vector<double> starts;

private:
    struct Feed {
        Producer *owner;
        size_t next = 0;     // next source frame
        uint64_t fed = 0;    // frames fed (the stream's own count, for stream times)
        uint32_t tag = 0;    // kJumpTag or kTypeTag once repositioned
        unsigned char type = 0;
    };

    static void released(void *context) {
        Feed *f = static_cast<Feed *>(context);
        f->owner->releases.fetch_add(1);
        delete f;
    }
    static int visit(rtspServer_demandRecord *r, void *self) {
        static_cast<Producer *>(self)->serve(r);
        return 0;
    }

    void loop() {
        int fd = rtspServer_item_pipe_get(item_);
        while (run_.load()) {
            parked_.store(held_.load());
            if (held_.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                char drain[64];
                while (read(fd, drain, sizeof drain) > 0) {
                }
            }
            rtspServer_item_demandClients_each(item_, visit, this);
        }
    }

    void serve(rtspServer_demandRecord *r) {
        Feed *f = static_cast<Feed *>(rtspServer_demandRecord_context_get(r));
        if (f == nullptr) {
            Seen s;
            const char *path = rtspServer_demandRecord_path_get(r);
            s.path = path != nullptr ? path : "(null)";
            s.query = rtspServer_demandRecord_query_get(r);
            char value[64];
            s.nameLength = rtspServer_demandRecord_param_get(r, "name", value, sizeof value);
            if (s.nameLength >= 0) s.name = value;
            s.flagLength = rtspServer_demandRecord_param_get(r, "flag", value, sizeof value);
            if (s.flagLength >= 0) s.flag = value;
            s.missingLength = rtspServer_demandRecord_param_get(r, "Name", value, sizeof value);
            s.shortLength = rtspServer_demandRecord_param_get(r, "name", value, 3);
            rtspServer_demandRecord_peer_get(r, &s.ipv4, &s.port, &s.index);
            {
                std::lock_guard<std::mutex> lock(mutex);
                seen.push_back(s);
            }
            f = new Feed{this};
            rtspServer_demandRecord_context_set(r, f, released);
            rtspServer_demandRecord_duration_set(r, frames_.size() / kFps);
            rtspServer_demandRecord_state_set(r, 1);
            records.fetch_add(1);
        }
        double start = rtspServer_demandRecord_startTime_take(r);
        if (start > 0.0) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                starts.push_back(start);
            }
            // The key frame at or before the start (one every 25 frames).
            size_t at = static_cast<size_t>(start * kFps) % frames_.size();
            f->next = at - at % 25;
            f->fed = f->next;
            f->tag = kJumpTag;
        }
        unsigned char type = rtspServer_demandRecord_streamType_get(r);
        if (type != f->type) {
            // A new mode: the frames waiting are of the old one; start again from the start.
            f->type = type;
            rtspServer_demandRecord_frames_drop(r);
            f->next = 0;
            f->fed = 0;
            f->tag = kTypeTag;
        }
        while (rtspServer_demandRecord_frameCount_get(r) < kMaxWaiting) {
            const std::vector<unsigned char> &data = frames_[f->next];
            signed char key = video_h264_check_keyFrame(static_cast<uint32_t>(data.size()), data.data()) == 3 ? 3 : 0;
            video_h264_object *v = video_h264_object_new_with_data__IO(
                0, f->tag + static_cast<uint32_t>(f->fed), static_cast<float>(kFps), 320, 240, key, 0.0,
                f->fed / kFps, static_cast<uint32_t>(data.size()), data.data());
            kx_Object_addRefer_pthreadSafety_(&v->object);
            kept_.push_back(&v->object);
            rtspServer_item_DemandClient_add_frame__OI_2(r, &v->object);
            f->next = (f->next + 1) % frames_.size();
            ++f->fed;
        }
    }

    rtspServer_item *item_;
    const Frames &frames_;
    std::atomic<bool> run_{true};
    std::atomic<bool> held_{false}, parked_{false};
    std::vector<kx_Object *> kept_;  // producer thread only while it runs
    std::thread thread_;
};

std::string req(const std::string &line, int cseq, const std::string &extra = "") {
    return line + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n";
}

const std::string kTcp0 = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";

// DESCRIBE, SETUP and PLAY of url over c; the PLAY answer.
std::string play(LoopbackClient &c, const std::string &url, const std::string &range = "") {
    if (!c.send(req("DESCRIBE " + url, 1)) || c.answer().find("m=video") == std::string::npos) return {};
    if (!c.send(req("SETUP " + url + "/track0", 2, kTcp0)) || c.answer().empty()) return {};
    if (!c.send(req("PLAY " + url, 3, range))) return {};
    return c.answer();
}

// Picture hashes of the first n pictures ffmpeg decodes from url over TCP.
std::vector<std::string> rtspHashes(const std::string &url, size_t n) {
    std::string out = kxtest::tool_output({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-rtsp_transport",
                                           "tcp", "-i", url, "-map", "0:v:0", "-frames:v", std::to_string(n),
                                           "-pix_fmt", "yuv420p", "-f", "framemd5", "-"},
                                          60000);
    std::vector<std::string> hashes;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? out.size() : end + 1;
        if (line.empty() || line[0] == '#') continue;
        std::string h = line.substr(line.rfind(',') + 1);
        h.erase(0, h.find_first_not_of(' '));
        hashes.push_back(h);
    }
    return hashes;
}

TEST(RtspServerDemand, FfmpegDecodesTheSourcePicturesAndSeesTheDuration) {
    ASSERT_FALSE(clip().frames.empty()) << "could not make the clip with ffmpeg";
    const std::vector<std::string> source = kxtest::decoded_hashes(clip().path);
    ASSERT_EQ(source.size(), clip().frames.size());
    Server s;
    Producer producer(s.item, clip().frames);
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(s.port) + "/any/path.mkv?x=1";

    // Every picture of the source, from its first on, in order.
    EXPECT_EQ(rtspHashes(url, source.size()), source);
    // The description's range gives the media's duration (50 frames at 25 fps).
    std::string duration = kxtest::tool_output({"/usr/bin/ffprobe", "-v", "error", "-rtsp_transport", "tcp",
                                                "-show_entries", "format=duration", "-of",
                                                "default=noprint_wrappers=1:nokey=1", url},
                                               60000);
    EXPECT_EQ(duration, "2.000000\n");
    // Each of the two clients had its record, released once when it left.
    EXPECT_TRUE(kxtest::eventually([&] { return producer.releases.load() == 2; }));
    EXPECT_EQ(producer.records.load(), 2);
    EXPECT_EQ(rtspServer_item_demandClientCount_get(s.item), 0u);
    producer.stop();
    rtspServer_delete__OI(s.server);
    s.server = nullptr;
    EXPECT_EQ(producer.releases.load(), 2);
    EXPECT_EQ(producer.held(), 0u);
}

// The producer sees the request's path, query, decoded parameters and peer; the frames stay
// in the record until PLAY. A PLAY start time, or a stream type set before PLAY, reaches
// the producer, and the frames it had queued for the old position or mode never reach the
// client, even while the producer is slow to react.
TEST(RtspServerDemand, ProducerSeesTheRequestAndRepositions) {
    ASSERT_FALSE(clip().frames.empty()) << "could not make the clip with ffmpeg";
    struct Case {
        const char *name;
        std::string range;      // of the PLAY
        bool streamType;        // SET_PARAMETER "streamtype: 2" before PLAY
        uint32_t firstIndex;    // of the first frame played
        const char *npt;        // of the PLAY answer
        std::vector<double> starts;
    } cases[] = {
        {"PLAY from 1.5 s", "Range: npt=1.5-\r\n", false, kJumpTag + 25, "npt=1.000000-", {1.5}},
        {"stream type before PLAY", "", true, kTypeTag, "npt=0.000000-", {}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Server s;
        Producer producer(s.item, clip().frames);
        LoopbackClient c;
        ASSERT_TRUE(c.connect(s.port));
        const std::string base = "rtsp://127.0.0.1:" + std::to_string(s.port);
        const std::string url = base + "/dir/a%20b.mkv?name=a%20b&flag&from=10";
        ASSERT_TRUE(c.send(req("DESCRIBE " + url, 1)));
        std::string sdp = c.answer();
        EXPECT_NE(sdp.find("a=range:npt=0-2.000000\r\n"), std::string::npos) << sdp;
        EXPECT_NE(sdp.find("m=video 0 RTP/AVP 96\r\n"), std::string::npos);
        EXPECT_EQ(sdp.find("m=audio"), std::string::npos);

        sockaddr_in local{};
        socklen_t length = sizeof local;
        ASSERT_EQ(getsockname(c.fd(), reinterpret_cast<sockaddr *>(&local), &length), 0);
        {
            std::lock_guard<std::mutex> lock(producer.mutex);
            ASSERT_EQ(producer.seen.size(), 1u);
            const Seen &seen = producer.seen[0];
            EXPECT_EQ(seen.path, "/dir/a%20b.mkv");
            EXPECT_EQ(seen.query, "name=a%20b&flag&from=10");
            EXPECT_EQ(seen.nameLength, 3);
            EXPECT_EQ(seen.name, "a b");
            EXPECT_EQ(seen.flagLength, 0);      // present without a value
            EXPECT_EQ(seen.missingLength, -1);  // names are exact
            EXPECT_EQ(seen.shortLength, -1);    // "a b" does not fit 3 bytes with its NUL
            EXPECT_EQ(seen.ipv4, htonl(INADDR_LOOPBACK));
            EXPECT_EQ(seen.port, ntohs(local.sin_port));
            EXPECT_GT(seen.index, 0);
        }
        // Until PLAY the server takes nothing from the record.
        auto waiting = [&] {
            uint32_t n = 0;
            rtspServer_item_demandClients_each(
                s.item,
                [](rtspServer_demandRecord *r, void *out) {
                    *static_cast<uint32_t *>(out) = rtspServer_demandRecord_frameCount_get(r);
                    return 1;
                },
                &n);
            return n;
        };
        EXPECT_TRUE(kxtest::eventually([&] { return waiting() == kMaxWaiting; }));
        const size_t madeBeforePlay = producer.made();

        ASSERT_TRUE(c.send(req("SETUP " + url + "/track0", 2, kTcp0)));
        EXPECT_NE(c.answer().find("interleaved=0-1"), std::string::npos);
        // A busy producer: two requests answered after PLAY prove that the server served the
        // record since, and it sent none of the frames of the old position or mode.
        producer.hold(true);
        int cseq = 3;
        if (k.streamType) {
            const std::string body = "streamtype: 2\r\n";
            ASSERT_TRUE(c.send(req("SET_PARAMETER " + url, cseq, "Content-Length: " + std::to_string(body.size()) +
                                                                   "\r\n") +
                               body));
            EXPECT_EQ(c.answer().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n");
            ++cseq;
        }
        const int playCseq = cseq++;
        ASSERT_TRUE(c.send(req("PLAY " + url, playCseq, k.range)));
        for (int n = 0; n < 2; ++n, ++cseq) {
            ASSERT_TRUE(c.send(req("GET_PARAMETER " + url, cseq)));
            EXPECT_EQ(c.answer().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n");
        }
        // (A walk of the test's own would count as the producer's visit after the change of
        // stream type: that case relies on the order of the answers and on the frames.)
        if (!k.streamType) {
            EXPECT_EQ(waiting(), kMaxWaiting);
        }
        producer.hold(false);
        std::string answer = c.answer();
        EXPECT_EQ(answer.substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(playCseq) + "\r\n");
        EXPECT_NE(answer.find("Range: " + std::string(k.npt) + "\r\nRTP-Info: url=" + base +
                              "/dir/a%20b.mkv/track0;seq="),
                  std::string::npos)
            << answer;
        std::vector<kxtest::ReassembledFrame> got = kxtest::reassemble(c.interleaved(40000));
        ASSERT_GE(got.size(), 10u);
        const uint32_t position = k.firstIndex % kJumpTag;
        for (size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(got[i].info.frameIndex, k.firstIndex + i);  // only the new position, in order
            EXPECT_DOUBLE_EQ(got[i].info.frameTime, (position + i) / kFps);
        }
        EXPECT_EQ(got[0].info.isKeyFrame, 3);
        {
            std::lock_guard<std::mutex> lock(producer.mutex);
            EXPECT_EQ(producer.starts, k.starts);
        }
        c.close();
        EXPECT_TRUE(kxtest::eventually([&] { return producer.releases.load() == 1; }));

        // A cluster item that names the path is preferred to the catch-all.
        rtspServer_add_item__OI_2(s.server, rtspServer_item_new__IO("/far", 0x0200007F, RTSPSERVER_MODEL_PREFIX | 3, 0,
                                                                    0, 0, 0, 0, 0));
        LoopbackClient moved;
        ASSERT_TRUE(moved.connect(s.port));
        ASSERT_TRUE(moved.send(req("DESCRIBE " + base + "/far/clip.mkv?from=3", 1)));
        EXPECT_EQ(moved.answer(), "RTSP/1.0 301 Moved\r\nCSeq: 1\r\nLocation: rtsp://127.0.0.2:" +
                                      std::to_string(s.port) + "/far/clip.mkv?from=3\r\n\r\n");
        EXPECT_EQ(producer.records.load(), 1);

        producer.stop();
        rtspServer_delete__OI(s.server);
        s.server = nullptr;
        EXPECT_GE(producer.made(), madeBeforePlay + got.size());
        EXPECT_EQ(producer.held(), 0u);  // the dropped frames too
    }
}

// However a record ends, the producer's release callback runs once and every frame the
// server was handed is released once, also the frames still waiting in the record. The
// client asks without parameters: the catch-all item serves it on demand too.
TEST(RtspServerDemand, ReleasedOnceWhicheverWayTheRecordEnds) {
    ASSERT_FALSE(clip().frames.empty()) << "could not make the clip with ffmpeg";
    enum End { clientLeaves, describeAgain, itemRemoved, itemDeleted, serverStopped, serverDeleted };
    struct Case {
        const char *name;
        End end;
        int releases;  // once the record ended
    } cases[] = {
        {"TEARDOWN and close", clientLeaves, 1}, {"DESCRIBE again", describeAgain, 1},
        {"item removed", itemRemoved, 1},        {"item deleted", itemDeleted, 1},
        {"server stopped", serverStopped, 1},    {"server deleted", serverDeleted, 1},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Server s;
        Producer producer(s.item, clip().frames);
        LoopbackClient c;
        ASSERT_TRUE(c.connect(s.port, 4096));
        const std::string url = "rtsp://127.0.0.1:" + std::to_string(s.port) + "/clip.mkv";
        ASSERT_NE(play(c, url).find("RTP-Info: "), std::string::npos);
        ASSERT_FALSE(c.interleaved(3000).empty());
        EXPECT_EQ(producer.releases.load(), 0);
        EXPECT_EQ(rtspServer_item_demandClientCount_get(s.item), 1u);
        bool itemGone = false;
        switch (k.end) {
        case clientLeaves:
            ASSERT_TRUE(c.send(req("TEARDOWN " + url, 4)));
            EXPECT_NE(c.answer().find("CSeq: 4"), std::string::npos);
            c.close();
            break;
        case describeAgain:
            ASSERT_TRUE(c.send(req("DESCRIBE " + url, 4)));
            EXPECT_NE(c.answer().find("m=video"), std::string::npos);
            break;
        case itemRemoved:
            EXPECT_EQ(rtspServer_remove_item__IO_2(s.server, s.item), 1);
            EXPECT_TRUE(c.closedByPeer());
            break;
        case itemDeleted:
            producer.stop();  // its walk needs the item
            rtspServer_item_delete__OI(s.item);
            itemGone = true;
            EXPECT_TRUE(c.closedByPeer());
            break;
        case serverStopped:
            rtspServer_stopThread(s.server);
            EXPECT_TRUE(c.closedByPeer());
            break;
        case serverDeleted:
            producer.stop();
            rtspServer_delete__OI(s.server);  // its items with it
            s.server = nullptr;
            itemGone = true;
            EXPECT_TRUE(c.closedByPeer());
            break;
        }
        EXPECT_TRUE(kxtest::eventually([&] { return producer.releases.load() == k.releases; }));
        if (!itemGone) {
            EXPECT_EQ(rtspServer_item_demandClientCount_get(s.item), k.end == describeAgain ? 1u : 0u);
        }
        producer.stop();
        if (k.end == itemRemoved) rtspServer_item_delete__OI(s.item);  // no longer the server's
        rtspServer_delete__OI(s.server);
        s.server = nullptr;
        // The second record of a DESCRIBE again goes with the server.
        EXPECT_EQ(producer.releases.load(), k.releases + (k.end == describeAgain ? 1 : 0));
        EXPECT_EQ(producer.records.load(), k.end == describeAgain ? 2 : 1);
        EXPECT_EQ(producer.held(), 0u);
    }
}

}  // namespace
