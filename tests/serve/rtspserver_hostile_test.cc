// Hostile clients against the RTSP server service in this process, written with the shared
// scripted peer: garbage, a 10 MB header, a huge Content-Length, 2000 idle connections and a
// client that stops reading while it plays. The first three are closed, the last is skipped
// past, a well-behaved client meanwhile gets every frame in order, and once they have all left
// the heap is back at its level (measured with no frame in flight, so that a record kept per
// connection shows).
// KX_THREADED: also runs under ThreadSanitizer.
#include "kx/rtspserver.h"

#include <stdint.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/h264.h"
#include "kx/memory.h"
#include "rtsp/client/interleaved.hpp"
#include "tests/support/fdlimit.hpp"
#include "tests/support/heap_usage.hpp"
#include "tests/support/rtsp_loopback_client.hpp"
#include "tests/support/scripted_server.hpp"
#include "tests/support/wait.hpp"

namespace {

using kxtest::ScriptedClient;

// Frame i of a 25 fps stream: SPS, PPS and an IDR slice every 10th, else one P slice.
kx_Object *videoFrame(uint32_t i) {
    static const std::string sps("\x67\x42\xc0\x1e\xd9\x00\xa0\x47\xfe\xc8", 10), pps("\x68\xce\x3c\x80", 4);
    const std::string code("\0\0\0\1", 4);
    std::string data;
    if (i % 10 == 0) data = code + sps + code + pps + code + "\x65" + std::string(4000, '\x11');
    else data = code + "\x41" + std::string(1200 + i % 7 * 100, static_cast<char>(i));
    return &video_h264_object_new_with_data__IO(0, i, 25.0f, 320, 240, i % 10 == 0 ? 3 : 0, 0.0, i / 25.0,
                                                static_cast<uint32_t>(data.size()), data.data())
                ->object;
}

// Hands the item a frame every 4 ms (the server takes its reference) until stopped; holds
// back while paused.
struct Feeder {
    std::atomic<bool> run{true}, paused{false};
    std::thread thread;
    explicit Feeder(rtspServer_item *item) {
        thread = std::thread([this, item] {
            for (uint32_t n = 0; run.load();) {
                if (!paused.load()) rtspServer_item_add_frame__OI_2(item, videoFrame(n++));
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
        });
    }
    ~Feeder() {
        run.store(false);
        thread.join();
    }
};

std::string req(const std::string &line, int cseq, const std::string &extra = "") {
    return line + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n";
}

rtspServer_stats statsOf(rtspServer *server) {
    rtspServer_stats st{};
    rtspServer_stats_get(server, &st);
    return st;
}

// A client that plays the item and reads all the time on its own thread, passing the stream
// through the RTSP client's reassembler: counts the frames and the frame indexes that do not
// follow the one before.
class GoodClient {
public:
    bool play(uint16_t port, const std::string &url, const std::string &setup) {
        if (!c_.connect(port) || !c_.send(req("DESCRIBE " + url, 1)) || c_.answer().find("m=video") == std::string::npos ||
            !c_.send(setup) || c_.answer().empty() || !c_.send(req("PLAY " + url, 3)) || c_.answer().empty())
            return false;
        thread_ = std::thread([this] { read(); });
        return true;
    }
    ~GoodClient() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    uint64_t frames() const { return frames_.load(); }
    uint64_t gaps() const { return gaps_.load(); }

private:
    void read() {
        uint32_t size = 0;
        unsigned char *buffer = nullptr;
        kx::rtsp::Reassembler r(&buffer, &size);
        r.reset(0, 96);
        int64_t last = -1;
        while (!stop_.load()) {
            const std::string bytes = c_.interleaved(2048, 100);  // small reads keep our own heap steady
            const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
            size_t left = bytes.size();
            while (left > 0) {
                int result = 0;
                size_t n = r.feed(p, left, &result);
                p += n;
                left -= n;
                if (result < 0) {
                    gaps_.fetch_add(1);  // the stream itself is broken
                    break;
                }
                if (result == kx::rtsp::Reassembler::kFrame) {
                    const uint32_t index = r.frameInfo().frameIndex;
                    if (last >= 0 && index != uint32_t(last) + 1) gaps_.fetch_add(1);
                    last = index;
                    frames_.fetch_add(1);
                    r.frameDone();
                }
            }
        }
        kx_memery_free(buffer, size);
    }
    kxtest::LoopbackClient c_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0}, gaps_{0};
};

TEST(RtspServerHostile, ClientsThatMisbehaveLeaveNothingBehind) {
    ASSERT_TRUE(kxtest::raise_fd_limit(4600));  // both ends of 2000 connections live here
    rtspServer *server = rtspServer_new__IO("rtspServerHostile", nullptr, 0, nullptr, htonl(INADDR_LOOPBACK), 0);
    ASSERT_NE(server, nullptr);
    rtspServer_queueLimit_set(server, 64);  // the stalled client is skipped past soon
    rtspServer_startThread(server, -1);
    uint16_t port = 0;
    ASSERT_TRUE(kxtest::eventually([&] { return (port = rtspServer_port_get(server)) != 0; }));
    rtspServer_item *item = rtspServer_item_new__IO("/cam", 0, RTSPSERVER_MODEL_LIVE, 0, 0, 0, 0, 0, 0);
    ASSERT_EQ(rtspServer_add_item__OI_2(server, item), 1);
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/cam";
    const std::string setup = req("SETUP " + url + "/track0", 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
    {
        Feeder feeder(item);
        GoodClient good;
        ASSERT_TRUE(good.play(port, url, setup));
        ASSERT_TRUE(kxtest::eventually([&] { return good.frames() >= 50; }));
        // The heap with no frame in flight: the feeder holds back until the good client has
        // taken every frame (its count stands still).
        auto settled = [&] {
            feeder.paused.store(true);
            uint64_t seen = good.frames();
            for (int still = 0, i = 0; still < 10 && i < 500; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                const uint64_t now = good.frames();
                still = now == seen && rtspServer_item_frameCount_get(item) == 0 ? still + 1 : 0;
                seen = now;
            }
            const size_t bytes = kxtest::heapInUse();
            feeder.paused.store(false);
            return bytes;
        };
        const size_t heapBefore = settled();
        {
            ScriptedClient garbage, header, length, stalled;
            std::vector<std::unique_ptr<ScriptedClient>> idle;
            ASSERT_TRUE(garbage.connect(port));
            const std::string junk = std::string(100000, '\x07') + "\r\n\r\n";
            garbage.sendBytes(junk.data(), junk.size(), 5.0);  // cut short when the server closes
            ASSERT_TRUE(header.connect(port));
            const std::string huge = "DESCRIBE " + url + " RTSP/1.0\r\nX: " + std::string(10 << 20, 'a');
            header.sendBytes(huge.data(), huge.size(), 5.0);
            ASSERT_TRUE(length.connect(port));
            ASSERT_TRUE(length.send("SET_PARAMETER " + url + " RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 99999999999\r\n\r\n"));
            ASSERT_TRUE(stalled.connect(port, 4096));
            ASSERT_TRUE(stalled.send(req("DESCRIBE " + url, 1) + setup + req("PLAY " + url, 3)));
            for (int i = 0; i < 2000; ++i) {
                idle.push_back(std::make_unique<ScriptedClient>());
                ASSERT_TRUE(idle.back()->connect(port)) << i;
            }
            EXPECT_TRUE(garbage.closedByPeer(5.0));
            EXPECT_TRUE(header.closedByPeer(5.0));
            EXPECT_TRUE(length.closedByPeer(5.0));
            EXPECT_TRUE(kxtest::eventually([&] { return statsOf(server).clients == 2002; },
                                           std::chrono::milliseconds(10000)))
                << statsOf(server).clients;
            // The stalled client's queue fills and it misses frames; the good one misses none.
            EXPECT_TRUE(kxtest::eventually([&] { return statsOf(server).framesMissed > 0; },
                                           std::chrono::milliseconds(10000)));
            const uint64_t now = good.frames();
            EXPECT_TRUE(kxtest::eventually([&] { return good.frames() >= now + 50; }));
        }
        EXPECT_TRUE(kxtest::eventually([&] { return statsOf(server).clients == 1; },
                                       std::chrono::milliseconds(10000)))
            << statsOf(server).clients;
        // All gone: what they took is given back. The server's tables may keep the room they
        // grew to (tens of kilobytes); 128 bytes kept per connection would be above the slack.
        size_t heapAfter = 0;
        EXPECT_TRUE(kxtest::eventually([&] { return (heapAfter = settled()) < heapBefore + 256 * 1024; },
                                       std::chrono::milliseconds(5000), std::chrono::milliseconds(20)))
            << heapAfter << " bytes on the heap after, " << heapBefore << " before";
        const uint64_t now = good.frames();
        EXPECT_TRUE(kxtest::eventually([&] { return good.frames() >= now + 25; }));
        EXPECT_EQ(good.gaps(), 0u) << "the well-behaved client missed frames";
        EXPECT_EQ(rtspServer_item_clientCount_get(item), 1u);
    }
    rtspServer_delete__OI(server);  // deletes the item with it
}

}  // namespace
