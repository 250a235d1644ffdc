// The RTSP server service on 127.0.0.1 with a scripted client: description from the first
// frames, PLAY answered once every set-up track started, frames read back through the
// client's reassembler, redirects, protocol errors, the client limit, and frames released
// exactly once whatever happens to clients and items. KX_THREADED
#include "kx/rtspserver.h"

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/aac.h"
#include "kx/h264.h"
#include "kx/memory.h"
#include "tests/support/reassemble.hpp"
#include "tests/support/rtsp_loopback_client.hpp"
#include "tests/support/wait.hpp"

namespace {

using kxtest::LoopbackClient;

const std::string kSps("\x67\x42\xc0\x1e\xd9\x00\xa0\x47\xfe\xc8", 10);
const std::string kPps("\x68\xce\x3c\x80", 4);

std::string code() { return std::string("\0\0\0\1", 4); }

std::string body(char fill, size_t n) {
    std::string s(n, fill);
    s[0] = static_cast<char>(0x65);
    return s;
}

// Frame i of a 25 fps stream: a key frame (SPS, PPS, IDR) every 10th, else a P slice; the
// first unit is 1413 or 1414 bytes by turns, so both packet forms are exercised.
video_h264_object *videoFrame(uint32_t i) {
    std::string data;
    signed char key = 0;
    if (i % 10 == 0) {
        data = code() + kSps + code() + kPps + code() + body('\x11', 5000);
        key = 3;
    } else {
        data = code() + std::string(1, '\x41') + std::string(i % 2 ? 1412 : 1413, static_cast<char>(i));
    }
    return video_h264_object_new_with_data__IO(0, i, 25.0f, 320, 240, key, 0.0, i / 25.0,
                                               static_cast<uint32_t>(data.size()), data.data());
}

audio_aac_object *audioFrame(uint32_t i) {
    std::string data(200, static_cast<char>(0x21 + i % 50));
    audio_aac_object *a = audio_aac_object_new_with_data__IO(0, i, 48000.0f / 1024, 2, 1, 48000, 0.0, i * 1024 / 48000.0,
                                                             static_cast<uint32_t>(data.size()), data.data());
    a->object.reserved = 1;  // track 1
    return a;
}

struct Server {
    rtspServer *server = nullptr;
    uint16_t port = 0;
    explicit Server(uint32_t limit = 0) {
        server = rtspServer_new__IO("rtspServerTest", nullptr, 0, nullptr, htonl(INADDR_LOOPBACK), 0);
        if (limit) rtspServer_clientLimit_set(server, limit);
        rtspServer_startThread(server, -1);
        kxtest::eventually([&] { return (port = rtspServer_port_get(server)) != 0; });
    }
    ~Server() { rtspServer_delete__OI(server); }
};

// Feeds frames (video, and audio when asked) until stopped; keeps a reference of its own on
// every frame so that the test can check the server gave its reference back exactly once.
struct Producer {
    rtspServer_item *item;
    bool audio;
    std::atomic<bool> run{true};
    std::vector<kx_Object *> kept;
    std::thread thread;
    Producer(rtspServer_item *i, bool withAudio) : item(i), audio(withAudio) {
        thread = std::thread([this] {
            for (uint32_t n = 0; run.load(); ++n) {
                kx_Object *v = &videoFrame(n)->object;
                kx_Object_addRefer_pthreadSafety_(v);
                kept.push_back(v);
                rtspServer_item_add_frame__OI_2(item, v);
                if (audio) {
                    kx_Object *a = &audioFrame(n)->object;
                    kx_Object_addRefer_pthreadSafety_(a);
                    kept.push_back(a);
                    rtspServer_item_add_frame__OI_2(item, a);
                }
                // Bounded backlog: wait for the server to take the frames.
                kxtest::eventually([&] { return !run.load() || rtspServer_item_frameCount_get(item) < 4; });
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~Producer() {
        if (thread.joinable()) stopAndCountHeld();
    }
    // Stops, lets the server take what is queued, and returns the frames whose reference
    // count is not back to the producer's own.
    size_t stopAndCountHeld() {
        run.store(false);
        thread.join();
        kxtest::eventually([&] { return rtspServer_item_frameCount_get(item) == 0; });
        size_t held = 0;
        for (kx_Object *o : kept) {
            if (o->referCount != 1) ++held;
            kx_Object_delete_pthreadSafety__OI(o);
        }
        kept.clear();
        return held;
    }
};

std::string req(const std::string &line, int cseq, const std::string &extra = "") {
    return line + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n";
}

const std::string kTcp0 = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
const std::string kTcp1 = "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n";

TEST(RtspServerService, DescribeSetupPlayDeliversFramesWithTheirTrailers) {
    Server s;
    ASSERT_NE(s.port, 0);
    rtspServer_item *item = rtspServer_item_new__IO("/cam", 0, RTSPSERVER_MODEL_LIVE, 0, 0, 0, 0, 0, 0);
    rtspServer_item_trackMask_set(item, 3);
    ASSERT_EQ(rtspServer_add_item__OI_2(s.server, item), 1);
    Producer producer(item, true);

    LoopbackClient c;
    ASSERT_TRUE(c.connect(s.port));
    std::string url = "rtsp://localhost:" + std::to_string(s.port) + "/cam";
    ASSERT_TRUE(c.send(req("OPTIONS " + url, 1)));
    EXPECT_NE(c.answer().find("Public: OPTIONS, DESCRIBE"), std::string::npos);
    ASSERT_TRUE(c.send(req("DESCRIBE " + url, 2)));
    std::string sdp = c.answer();
    EXPECT_NE(sdp.find("sprop-parameter-sets=Z0LAHtkAoEf+yA==,aM48gA==\r\n"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("a=rtpmap:96 MPEG4-GENERIC/48000/1\r\n"), std::string::npos);
    EXPECT_NE(sdp.find("config=1188\r\n"), std::string::npos);
    ASSERT_TRUE(c.send(req("SETUP " + url + "/track0", 3, kTcp0)));
    EXPECT_NE(c.answer().find("interleaved=0-1"), std::string::npos);
    ASSERT_TRUE(c.send(req("SETUP " + url + "/track1", 4, kTcp1)));
    EXPECT_NE(c.answer().find("interleaved=2-3"), std::string::npos);
    ASSERT_TRUE(c.send(req("PLAY " + url, 5)));
    std::string play = c.answer();
    EXPECT_EQ(play.substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 5\r\n");
    EXPECT_NE(play.find("RTP-Info: url=" + url + "/track"), std::string::npos);
    EXPECT_EQ(rtspServer_item_clientCount_get(item), 1u);

    // 25 frames' worth of packets, read back by the client's reassembler (video channel 0).
    std::string stream = c.interleaved(400 * 1000, 10000);
    std::vector<kxtest::ReassembledFrame> got = kxtest::reassemble(stream);
    std::vector<rtspClient_frameInfo> frames;
    std::vector<uint32_t> lengths;
    for (const kxtest::ReassembledFrame &f : got) {
        frames.push_back(f.info);
        lengths.push_back(static_cast<uint32_t>(f.data.size()));
    }
    ASSERT_GE(frames.size(), 12u);
    EXPECT_EQ(frames[0].isKeyFrame, 3);  // playing starts at a key frame
    EXPECT_EQ(frames[0].frameIndex % 10, 0u);
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].frameIndex, frames[0].frameIndex + i);  // nothing lost
        EXPECT_EQ(frames[i].width, 320);
        EXPECT_EQ(frames[i].height, 240);
        EXPECT_FLOAT_EQ(frames[i].frameRate, 25.0f);
        EXPECT_DOUBLE_EQ(frames[i].frameTime, frames[i].frameIndex / 25.0);
        uint32_t n = frames[i].frameIndex;
        EXPECT_EQ(lengths[i], n % 10 == 0 ? 4 + kSps.size() + 4 + kPps.size() + 4 + 5000 : (n % 2 ? 4 + 1413 : 4 + 1414));
    }
    c.close();
    EXPECT_TRUE(kxtest::eventually([&] { return rtspServer_item_clientCount_get(item) == 0; }));
    EXPECT_EQ(producer.stopAndCountHeld(), 0u);
}

TEST(RtspServerService, ProtocolErrorsCloseOnlyTheirClient) {
    Server s(3);
    rtspServer_item *item = rtspServer_item_new__IO("/cam", 0, RTSPSERVER_MODEL_LIVE, 0, 0, 0, 0, 0, 0);
    rtspServer_item *cluster = rtspServer_item_new__IO("/far", 0x0200007F, 7, 0, 0, 0, 0, 0, 0);
    rtspServer_add_item__OI_2(s.server, item);
    rtspServer_add_item__OI_2(s.server, cluster);
    EXPECT_EQ(rtspServer_add_item__OI_2(s.server, item), -1);
    Producer producer(item, false);
    std::string base = "rtsp://127.0.0.1:" + std::to_string(s.port);

    LoopbackClient good;  // stays served throughout
    ASSERT_TRUE(good.connect(s.port));
    ASSERT_TRUE(good.send(req("DESCRIBE " + base + "/cam", 1)));
    EXPECT_NE(good.answer().find("m=video"), std::string::npos);

    struct Case {
        std::string request;
        bool closes;
        std::string answer;
    } cases[] = {
        {req("SETUP " + base + "/cam/track0", 1, kTcp0), true, ""},
        {req("DESCRIBE " + base + "/none", 1), true, ""},
        {"DESCRIBE " + base + "/cam RTSP/1.0\r\n\r\n", true, ""},
        {"\x01\x02garbage\r\n\r\n", true, ""},
        {req("DESCRIBE rtsp://[::1]:8554/far/x?y=1", 6), false,
         "RTSP/1.0 301 Moved\r\nCSeq: 6\r\nLocation: rtsp://127.0.0.2:" + std::to_string(s.port) + "/far/x?y=1\r\n\r\n"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.request);
        LoopbackClient c;
        ASSERT_TRUE(c.connect(s.port));
        ASSERT_TRUE(c.send(k.request));
        if (k.closes) {
            EXPECT_TRUE(c.closedByPeer());
        } else {
            EXPECT_EQ(c.answer(), k.answer);
        }
    }
    // The client limit: the connections beyond it are answered 503 and closed.
    auto clients = [&] {
        rtspServer_stats st{};
        rtspServer_stats_get(s.server, &st);
        return st.clients;
    };
    ASSERT_TRUE(kxtest::eventually([&] { return clients() == 1; }));
    LoopbackClient second, third, fourth;
    ASSERT_TRUE(second.connect(s.port));
    ASSERT_TRUE(third.connect(s.port));
    ASSERT_TRUE(kxtest::eventually([&] { return clients() == 3; }));
    ASSERT_TRUE(fourth.connect(s.port));
    EXPECT_EQ(fourth.answer(), "RTSP/1.0 503 Service Unavailable\r\n\r\n");
    EXPECT_TRUE(fourth.closedByPeer());

    ASSERT_TRUE(good.send(req("SETUP " + base + "/cam/track0", 2, "Transport: RTP/AVP;unicast;client_port=4-5\r\n")));
    EXPECT_EQ(good.answer().substr(0, 36), "RTSP/1.0 461 Unsupported transport\r\n");
    ASSERT_TRUE(good.send(req("GET_PARAMETER " + base + "/cam", 3)));
    EXPECT_EQ(good.answer().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 3\r\n");
    producer.stopAndCountHeld();
}

// Removing and deleting the item while clients play closes them and releases every frame
// once (the producer's own references are all that remain).
TEST(RtspServerService, ItemRemovedWhilePlayingReleasesEveryFrameOnce) {
    Server s;
    rtspServer_item *item = rtspServer_item_new__IO("/cam", 0, RTSPSERVER_MODEL_LIVE | RTSPSERVER_MODEL_PREFIX, 0, 0,
                                                    0, 0, 0, 0);
    rtspServer_add_item__OI_2(s.server, item);
    Producer producer(item, false);
    std::string url = "rtsp://127.0.0.1:" + std::to_string(s.port) + "/cam/sub";  // by prefix
    LoopbackClient a, b;
    for (LoopbackClient *c : {&a, &b}) {
        ASSERT_TRUE(c->connect(s.port, 4096));
        ASSERT_TRUE(c->send(req("DESCRIBE " + url, 1)));
        ASSERT_FALSE(c->answer().empty());
        ASSERT_TRUE(c->send(req("SETUP " + url + "/track0", 2, kTcp0)));
        ASSERT_FALSE(c->answer().empty());
        ASSERT_TRUE(c->send(req("PLAY " + url, 3)));
    }
    ASSERT_FALSE(a.answer().empty());  // a reads, b never does
    ASSERT_FALSE(a.interleaved(20000).empty());
    producer.run.store(false);
    producer.thread.join();
    // Frames still queued in the item go with it.
    rtspServer_item_delete__OI(item);
    EXPECT_TRUE(a.closedByPeer());
    EXPECT_TRUE(b.closedByPeer());
    size_t held = 0;
    for (kx_Object *o : producer.kept) {
        if (o->referCount != 1) ++held;
        kx_Object_delete_pthreadSafety__OI(o);
    }
    producer.kept.clear();
    EXPECT_EQ(held, 0u);
}

}  // namespace
