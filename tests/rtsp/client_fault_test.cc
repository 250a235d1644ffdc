// The RTSP client service against scripted servers on 127.0.0.1 that misbehave: answers in
// pieces, silence, redirects, garbage, oversized bodies, a connection that dies mid-stream,
// Digest with qop, commands, servers that send no video, callbacks that leave the item an
// empty buffer, commands while the item is removed. Every case ends in success or in a reset
// and a new attempt.
// KX_THREADED: also runs under ThreadSanitizer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/memory.h"
#include "kx/objectlist.h"
#include "kx/rtspclient.h"
#include "kx/string.h"
#include "kx/structlist.h"
#include "rtsp/client/item.hpp"
#include "rtsp/client/text.hpp"
#include "tests/support/scripted_server.hpp"
#include "tests/support/stdout_capture.hpp"
#include "tests/support/wait.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct Capture : kxtest::StdoutCapture {
    ~Capture() {
        if (::testing::Test::HasFailure()) fprintf(stderr, "%s", kxtest::strip_colours(text()).c_str());
    }
    bool has(const std::string &s) { return kxtest::strip_colours(text()).find(s) != std::string::npos; }
};

using kxtest::eventually;

// The misbehaving servers: one script per accepted connection.
using Conn = kxtest::ScriptedPeer;
using Scripted = kxtest::ScriptedServer;

std::string cseqOf(const std::string &req) {
    size_t at = req.find("CSeq: ");
    return at == std::string::npos ? "0" : req.substr(at + 6, req.find("\r\n", at) - at - 6);
}

std::string ok(const std::string &req, const std::string &extra = "", const std::string &body = "") {
    std::string s = "RTSP/1.0 200 OK\r\nCSeq: " + cseqOf(req) + "\r\n" + extra;
    if (!body.empty()) s += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return s + "\r\n" + body;
}

Bytes nalUnit(uint8_t header, size_t size, uint32_t frame) {
    Bytes n = {header};
    for (size_t i = 1; i < size; ++i) n.push_back(static_cast<uint8_t>(frame * 31 + i));
    return n;
}

const Bytes kSps = {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0, 0x47, 0xfe, 0xc8};
const Bytes kPps = {0x68, 0xce, 0x3c, 0x80};

std::string b64(const Bytes &b) {
    std::string out(4 * (b.size() / 3) + 8, '\0');
    long n = kx_String_buffer_encode_by_base64(out.data(), static_cast<uint32_t>(b.size()), b.data());
    out.resize(static_cast<size_t>(n));
    while (out.size() % 4) out += '=';
    return out;
}

std::string sdp() {
    return "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=scripted\r\nt=0 0\r\n"
           "m=video 96 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
           "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=" +
           b64(kSps) + "," + b64(kPps) + "\r\na=control:track1\r\n";
}

// Frame f of the scripted stream: an IDR every 10 frames, else a slice.
Bytes frameUnit(uint32_t f) { return nalUnit(f % 10 == 0 ? 0x65 : 0x41, 300 + (f % 7) * 500, f); }

Bytes expectedFrame(uint32_t f) {
    Bytes out;
    Bytes u = frameUnit(f);
    if (f % 10 == 0) {
        for (const Bytes *p : {&kSps, &kPps}) {
            out.insert(out.end(), {0, 0, 0, 1});
            out.insert(out.end(), p->begin(), p->end());
        }
    }
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), u.begin(), u.end());
    return out;
}

// Interleaved packets of frame f (FU-A when the unit is large).
Bytes framePackets(uint32_t f, uint16_t &seq) {
    Bytes u = frameUnit(f), out;
    auto packet = [&](const Bytes &payload) {
        size_t len = 12 + payload.size();
        Bytes p = {'$', 0, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0x80, 96,
                   static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
        ++seq;
        uint32_t ts = f * 3600;
        for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(ts >> s));
        p.insert(p.end(), {1, 2, 3, 4});
        p.insert(p.end(), payload.begin(), payload.end());
        out.insert(out.end(), p.begin(), p.end());
    };
    if (u.size() <= 1000) {
        packet(u);
        return out;
    }
    for (size_t pos = 1; pos < u.size(); pos += 1000) {
        size_t end = std::min(u.size(), pos + 1000);
        uint8_t fh = static_cast<uint8_t>((u[0] & 0x1f) | (pos == 1 ? 0x80 : 0) | (end == u.size() ? 0x40 : 0));
        Bytes pl = {static_cast<uint8_t>((u[0] & 0xe0) | 28), fh};
        pl.insert(pl.end(), u.begin() + static_cast<long>(pos), u.begin() + static_cast<long>(end));
        packet(pl);
    }
    return out;
}

// Frames 0..first at once; unless closeAfter, then one frame every 20 ms while answering
// requests, until the client leaves.
void stream(Scripted &srv, Conn &c, int first, bool closeAfter) {
    uint16_t seq = 1;
    uint32_t f = 0;
    for (; f <= static_cast<uint32_t>(first); ++f) {
        Bytes b = framePackets(f, seq);
        if (!c.sendBytes(b.data(), b.size())) return;
        std::this_thread::sleep_for(1ms);
    }
    if (closeAfter) return;
    while (!c.stopped() && !c.closed && f < 5000) {
        std::string req = c.message(0.02);
        if (!req.empty()) {
            srv.record(req);
            c.send(ok(req));
        }
        Bytes b = framePackets(f++, seq);
        if (!c.sendBytes(b.data(), b.size())) return;
    }
}

struct Options {
    size_t piece = 0;          // answers in pieces of this size (0: whole)
    int frames = 30;           // frames streamed after PLAY
    bool closeAfter = false;   // close the connection after the frames
    std::function<void(Conn &)> play = nullptr;  // what follows PLAY instead of the frames
};

// OPTIONS, DESCRIBE, SETUP, PLAY, then the stream. Returns false when the client left early.
bool session(Scripted &srv, Conn &c, const Options &o) {
    auto answer = [&](const std::string &s) { return o.piece ? c.sendPieces(s, o.piece) : c.send(s); };
    for (const char *method : {"OPTIONS", "DESCRIBE", "SETUP", "PLAY"}) {
        std::string req = c.message();
        if (req.empty()) return false;
        srv.record(req);
        if (req.rfind(method, 0) != 0) return false;
        std::string m = method;
        bool sent = m == "OPTIONS" ? answer(ok(req, "Public: OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER\r\n"))
                    : m == "DESCRIBE"
                        ? answer(ok(req, "Content-Base: rtsp://127.0.0.1/live/\r\nContent-Type: application/sdp\r\n",
                                    sdp()))
                    : m == "SETUP" ? answer(ok(req, "Session: 4711;timeout=60\r\nTransport: RTP/AVP/TCP;interleaved=0-1\r\n"))
                                   : answer(ok(req, "Session: 4711\r\nRange: npt=0.000-\r\n"));
        if (!sent) return false;
    }
    if (o.play) o.play(c);
    else stream(srv, c, o.frames, o.closeAfter);
    return true;
}

// Frames the callback takes.
struct Sink {
    std::mutex m;
    std::vector<Bytes> frames;
    std::vector<uint32_t> indexes;
    size_t count() {
        std::lock_guard<std::mutex> l(m);
        return frames.size();
    }
};

signed char takeFrame(uint32_t *, unsigned char **buffer, uint32_t len, double, uint32_t index, signed char, float,
                      uint32_t, uint32_t, void *externP) {
    auto *s = static_cast<Sink *>(externP);
    std::lock_guard<std::mutex> l(s->m);
    s->frames.emplace_back(*buffer, *buffer + len);
    s->indexes.push_back(index);
    return 1;
}

// A running client service with short timers and one item.
struct Client {
    rtspClient *client;
    rtspClient_item *item = nullptr;
    Client() {
        client = rtspClient_new__IO("faults", nullptr, pthread_self(), nullptr);
        rtspClient_set_timers(client, 0.2, 0.6, 16.0);
        rtspClient_startThread(client, -1);
    }
    void add(uint16_t port, rtspClient_frame_cb cb, void *p, const char *userinfo = "") {
        std::string url = std::string("rtsp://") + userinfo + "127.0.0.1:" + std::to_string(port) + "/live";
        item = rtspClient_item_new_byURL__IO(url.c_str(), cb, p);
        ASSERT_NE(item, nullptr);
        ASSERT_EQ(rtspClient_add_item__OI_2(client, item), 1);
    }
    ~Client() {
        if (item) rtspClient_item_delete__OI(item);
        rtspClient_stopThread(client);
        rtspClient_delete__OI(client);
    }
};

void expectStream(Sink &sink, size_t n) {
    std::lock_guard<std::mutex> l(sink.m);
    ASSERT_GE(sink.frames.size(), n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(sink.frames[i], expectedFrame(static_cast<uint32_t>(i))) << "frame " << i;
        EXPECT_EQ(sink.indexes[i], i);
    }
}

TEST(RtspClientFaults, AnswersInPiecesThenStream) {
    Capture cap;
    Scripted srv([&](Conn &c) { session(srv, c, Options{.piece = 7, .frames = 20}); });
    Sink sink;
    {
        Client cl;
        // Only whole answers count as activity: the slowest (the description, ~60 pieces) must
        // be complete within the silence limit.
        rtspClient_set_timers(cl.client, 0.2, 5.0, 16.0);
        cl.add(srv.port(), takeFrame, &sink);
        ASSERT_TRUE(eventually([&] { return sink.count() >= 20; }));
        expectStream(sink, 20);
        EXPECT_EQ(srv.connections(), 1);
        ASSERT_EQ(rtspClient_remove_item__IO_2(cl.client, cl.item), 1);  // the fields are ours again
        EXPECT_EQ(cl.item->status, RTSPCLIENT_STATUS_PLAYING);
        EXPECT_STREQ(cl.item->controlURL, "rtsp://127.0.0.1/live");
        EXPECT_STREQ(cl.item->session, "4711");
    }
    std::vector<std::string> r = srv.requests();
    ASSERT_GE(r.size(), 4u);
    std::string base = "rtsp://127.0.0.1:" + std::to_string(srv.port()) + "/live";
    EXPECT_EQ(r[0], "OPTIONS " + base + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    EXPECT_EQ(r[1], "DESCRIBE " + base + " RTSP/1.0\r\nAccept: application/sdp\r\nCSeq: 2\r\n\r\n");
    EXPECT_EQ(r[2], "SETUP rtsp://127.0.0.1/live/track1 RTSP/1.0\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
                    "CSeq: 3\r\n\r\n");
    EXPECT_EQ(r[3], "PLAY rtsp://127.0.0.1/live RTSP/1.0\r\nRange: npt=0.000-\r\nCSeq: 4\r\nSession: 4711\r\n\r\n");
}

// Servers that never get the client to PLAY: each ends in a reset and a new connection.
TEST(RtspClientFaults, BrokenServersAreRetried) {
    struct Case {
        const char *name;
        std::function<void(Conn &)> script;
        const char *record;
    } cases[] = {
        {"never answers", [](Conn &c) { c.closedByPeer(3.0); }, "No recv or send data timeout"},
        {"garbage", [](Conn &c) {
             c.message();
             c.send("\x01\x02garbage without end of header\r\n\r\n");
             c.closedByPeer(3.0);
         }, "is invalid"},
        {"oversized Content-Length", [](Conn &c) {
             std::string req = c.message();
             c.send("RTSP/1.0 200 OK\r\nCSeq: " + cseqOf(req) + "\r\nContent-Length: 900000\r\n\r\nabc");
             c.closedByPeer(3.0);
         }, "is invalid"},
        {"endless header", [](Conn &c) {
             c.message();
             std::string line = "X-Filler: " + std::string(1000, 'x') + "\r\n";
             c.send("RTSP/1.0 200 OK\r\n");
             for (int i = 0; i < 80 && c.send(line); ++i) {
             }
             c.closedByPeer(3.0);
         }, "is invalid"},
        {"public without PLAY", [](Conn &c) {
             std::string req = c.message();
             c.send(ok(req, "Public: OPTIONS, DESCRIBE, SETUP\r\n"));
             c.closedByPeer(3.0);
         }, "is invalid"},
        // The OPTIONS answer never comes: the read of state 3 ends the connection.
        {"closes at once", [](Conn &) {}, "failed,rv=-1,status=3."},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Capture cap;
        Scripted srv(k.script);
        Client cl;
        cl.add(srv.port(), takeFrame, nullptr);
        EXPECT_TRUE(eventually([&] { return srv.connections() >= 2; }));
        EXPECT_TRUE(cap.has(k.record));
    }
}

TEST(RtspClientFaults, RedirectToSecondServer) {
    Capture cap;
    Scripted target([&](Conn &c) { session(target, c, Options{.frames = 12}); });
    Scripted first([&](Conn &c) {
        std::string req = c.message();
        first.record(req);
        c.send(ok(req, "Public: DESCRIBE, SETUP, PLAY\r\n"));
        req = c.message();
        first.record(req);
        c.send("RTSP/1.0 301 Moved Permanently\r\nCSeq: " + cseqOf(req) + "\r\nLocation: rtsp://127.0.0.1:" +
               std::to_string(target.port()) + "/moved@main\r\n\r\n");
        c.closedByPeer(2.0);
    });
    Sink sink;
    Client cl;
    cl.add(first.port(), takeFrame, &sink);
    ASSERT_TRUE(eventually([&] { return sink.count() >= 12; }));
    expectStream(sink, 12);
    EXPECT_EQ(first.connections(), 1);
    EXPECT_TRUE(
        target.sawRequest("OPTIONS rtsp://127.0.0.1:" + std::to_string(target.port()) + "/moved@main RTSP/1.0"));
    ASSERT_EQ(rtspClient_remove_item__IO_2(cl.client, cl.item), 1);
    EXPECT_EQ(cl.item->port, target.port());
    EXPECT_STREQ(cl.item->path, "/moved@main");
}

TEST(RtspClientFaults, DiesMidStreamAndComesBack) {
    Capture cap;
    Scripted srv([&](Conn &c) { session(srv, c, Options{.frames = 15, .closeAfter = c.index == 0}); });
    Sink sink;
    Client cl;
    cl.add(srv.port(), takeFrame, &sink);
    // 15 frames from the first connection (the 16th has no successor), then the second.
    ASSERT_TRUE(eventually([&] { return sink.count() >= 30; }));
    EXPECT_EQ(srv.connections(), 2);
    std::lock_guard<std::mutex> l(sink.m);
    for (size_t i = 0; i < 30; ++i) {
        uint32_t f = static_cast<uint32_t>(i % 15);
        EXPECT_EQ(sink.frames[i], expectedFrame(f)) << i;
        EXPECT_EQ(sink.indexes[i], f) << i;  // the index starts again with the new session
    }
}

TEST(RtspClientFaults, DigestWithQopAndCommands) {
    Capture cap;
    const std::string realm = "scripted", nonce = "abc123", user = "admin", pass = "pa:ss";
    std::atomic<bool> verified{false};
    Scripted srv([&](Conn &c) {
        std::string req = c.message();
        srv.record(req);
        c.send("RTSP/1.0 401 Unauthorized\r\nCSeq: " + cseqOf(req) + "\r\nWWW-Authenticate: Digest realm=\"" + realm +
               "\", nonce=\"" + nonce + "\", qop=\"auth\"\r\n\r\n");
        req = c.message();
        srv.record(req);
        // Check the answer with the formula of RFC 2617.
        auto field = [&](const std::string &name, bool quoted) {
            size_t at = req.find(name + "=");
            if (at == std::string::npos) return std::string();
            at += name.size() + 1 + (quoted ? 1 : 0);
            size_t end = req.find_first_of(quoted ? "\"" : ",\r", at);
            return req.substr(at, end - at);
        };
        std::string uri = field("uri", true), nc = field("nc", false), cnonce = field("cnonce", true);
        std::string ha1 = kx::rtsp::md5hex(user + ":" + realm + ":" + pass);
        std::string ha2 = kx::rtsp::md5hex("OPTIONS:" + uri);
        std::string want = kx::rtsp::md5hex(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2);
        verified = field("response", true) == want && nc == "00000001" && !cnonce.empty() &&
                   uri == "rtsp://127.0.0.1:" + std::to_string(srv.port()) + "/live";
        c.send(ok(req, "Public: DESCRIBE, SETUP, PLAY\r\n"));
        // The rest of the session as usual (without further checks of the header).
        for (const char *m : {"DESCRIBE", "SETUP", "PLAY"}) {
            req = c.message();
            srv.record(req);
            if (req.rfind(m, 0) != 0) return;
            std::string s = m;
            c.send(s == "DESCRIBE" ? ok(req, "", sdp()) : ok(req, "Session: 99\r\n"));
        }
        stream(srv, c, 2, false);
    });
    Sink sink;
    Client cl;
    cl.add(srv.port(), takeFrame, &sink, "admin:pa:ss@");
    ASSERT_TRUE(eventually([&] { return sink.count() >= 2; }));
    EXPECT_TRUE(verified.load());
    // Commands: the second one arrives while the first is queued or sent; both go out in order.
    EXPECT_EQ(rtspClient_item_send_jump(cl.item, 12.5), 1);
    EXPECT_EQ(rtspClient_item_send_cmd(cl.item, RTSPCLIENT_CMD_STREAM_TYPE, 3), 1);
    EXPECT_EQ(rtspClient_item_send_jump(cl.item, std::nan("")), 1);  // queued, refused when prepared
    ASSERT_TRUE(eventually([&] { return srv.sawRequest("SET_PARAMETER"); }));
    std::vector<std::string> r = srv.requests();
    size_t jump = r.size(), type = r.size();
    for (size_t i = 0; i < r.size(); ++i) {
        if (r[i].rfind("PLAY", 0) == 0 && r[i].find("Range: npt=12.500000-\r\n") != std::string::npos) jump = i;
        if (r[i].rfind("SET_PARAMETER", 0) == 0) type = i;
    }
    ASSERT_LT(jump, r.size());
    ASSERT_LT(type, r.size());
    EXPECT_LT(jump, type);
    EXPECT_NE(r[type].find("Content-Length: 15\r\n"), std::string::npos);
    EXPECT_EQ(r[type].substr(r[type].size() - 15), "streamtype: 3\r\n");
    EXPECT_NE(r[type].find("Authorization: Digest username=\"admin\""), std::string::npos);
    EXPECT_TRUE(eventually([&] { return cap.has("Invalid position"); }));
    EXPECT_EQ(srv.connections(), 1);
}

// A callback that answers 2 holds the frame: the same frame comes again, nothing is lost,
// the connection is not reset although the hold lasts longer than the silence limit, and
// keep-alives go out while playing.
struct Holder {
    Sink sink;
    std::mutex m;
    int refusals = 0;
    Clock::time_point firstRefusal;
    Bytes held;           // frame 3 as first offered
    bool changed = false; // a later offer of frame 3 differed
};

constexpr auto kHoldFor = 1500ms;  // well past the silence limit of 0.6 s

signed char holdFrame3(uint32_t *size, unsigned char **buffer, uint32_t len, double t, uint32_t index, signed char k,
                       float r, uint32_t w, uint32_t h, void *p) {
    auto *holder = static_cast<Holder *>(p);
    if (index == 3) {
        std::lock_guard<std::mutex> l(holder->m);
        Bytes now(*buffer, *buffer + len);
        if (holder->refusals == 0) {
            holder->firstRefusal = Clock::now();
            holder->held = now;
        } else if (now != holder->held) {
            holder->changed = true;
        }
        if (Clock::now() - holder->firstRefusal < kHoldFor) {
            ++holder->refusals;
            return 2;
        }
    }
    return takeFrame(size, buffer, len, t, index, k, r, w, h, &holder->sink);
}

TEST(RtspClientFaults, HeldFrameAndKeepAlive) {
    Capture cap;
    Scripted srv([&](Conn &c) { session(srv, c, Options{.frames = 3}); });
    Holder holder;
    Client cl;
    rtspClient_set_timers(cl.client, 0.2, 0.6, 0.3);
    cl.add(srv.port(), holdFrame3, &holder);
    ASSERT_TRUE(eventually([&] { return holder.sink.count() >= 12; }));
    {
        std::lock_guard<std::mutex> l(holder.m);
        EXPECT_GE(holder.refusals, 2) << "the refused frame was not offered again";
        EXPECT_FALSE(holder.changed) << "a held frame changed between offers";
        EXPECT_EQ(holder.held, expectedFrame(3));
    }
    expectStream(holder.sink, 12);  // frame 3 once, then 4 on: nothing lost or repeated
    EXPECT_EQ(srv.connections(), 1);
    EXPECT_FALSE(cap.has("No recv or send data timeout"));
    EXPECT_TRUE(eventually([&] { return srv.sawRequest("GET_PARAMETER rtsp://127.0.0.1/live RTSP/1.0\r\nSession: 4711\r\n"); }));
}

// The callback may leave the item without a block, or with a block of size 0; the next
// connection's answers and frames still have room (and nothing writes past a block). A frame
// the callback holds back but whose block it replaced is dropped, not offered from the new one.
enum class Swap { toNull, toEmpty, whileHolding };

struct Swapper {
    Sink sink;
    Swap how;
    std::atomic<bool> swapped{false};
};

signed char swapBuffer(uint32_t *size, unsigned char **buffer, uint32_t len, double t, uint32_t index, signed char k,
                       float r, uint32_t w, uint32_t h, void *p) {
    auto *sw = static_cast<Swapper *>(p);
    bool holding = sw->how == Swap::whileHolding;
    if (index != (holding ? 5u : 14u) || sw->swapped.exchange(true))
        return takeFrame(size, buffer, len, t, index, k, r, w, h, &sw->sink);
    signed char answer = holding ? 2 : takeFrame(size, buffer, len, t, index, k, r, w, h, &sw->sink);
    kx_memery_free(*buffer, *size);
    *buffer = sw->how == Swap::toNull ? nullptr : static_cast<unsigned char *>(kx_memery_malloc(16));
    *size = sw->how == Swap::toNull ? 1u << 20 : 0;  // a size without a block, a block without a size
    return answer;
}

TEST(RtspClientFaults, CallbackLeavesAnEmptyBuffer) {
    for (Swap how : {Swap::toNull, Swap::toEmpty, Swap::whileHolding}) {
        SCOPED_TRACE(static_cast<int>(how));
        Capture cap;
        // The first connection ends after frame 14 with a packet that is dropped unread, so
        // the next connection's answers meet the block exactly as the callback left it.
        auto lastFrames = [](Conn &c) {
            uint16_t seq = 1;
            for (uint32_t f = 0; f <= 15; ++f) {
                Bytes b = framePackets(f, seq);
                if (f == 15) b[16] |= 0x80;  // the forbidden bit
                if (!c.sendBytes(b.data(), b.size())) return;
            }
            c.closedByPeer(0.3);
        };
        Scripted srv([&](Conn &c) {
            session(srv, c, c.index == 0 ? Options{.play = lastFrames} : Options{.frames = 15});
        });
        Swapper sw;
        sw.how = how;
        Client cl;
        cl.add(srv.port(), swapBuffer, &sw);
        ASSERT_TRUE(eventually([&] { return sw.sink.count() >= 29; }));
        EXPECT_EQ(srv.connections(), 2);
        std::lock_guard<std::mutex> l(sw.sink.m);
        std::vector<uint32_t> want;
        for (uint32_t i = 0; i < 30; ++i)
            if (how != Swap::whileHolding || i != 5) want.push_back(i % 15);
        want.resize(29);
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(sw.sink.indexes[i], want[i]) << i;
            EXPECT_EQ(sw.sink.frames[i], expectedFrame(want[i])) << i;
        }
        if (how == Swap::whileHolding) {
            EXPECT_TRUE(cap.has("held the frame but replaced its buffer"));
        }
    }
}

// A server that negotiates and then sends no video (garbage, other channels, text answers)
// is reset once the silence limit passes, and it does not hold up another item of the same
// service meanwhile.
TEST(RtspClientFaults, NoVideoIsSilence) {
    const std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n";
    struct Case {
        const char *name;
        std::function<void(Conn &)> play;
    } cases[] = {
        {"garbage", [](Conn &c) {
             Bytes junk(16384, 0x17);
             while (!c.stopped() && c.sendBytes(junk.data(), junk.size())) std::this_thread::sleep_for(1ms);
         }},
        {"audio only", [](Conn &c) {
             Bytes audio = {'$', 2, 0, 112, 0x80, 97, 0, 1, 0, 0, 0, 1, 5, 6, 7, 8};
             audio.resize(116, 0x24);
             while (!c.stopped() && c.sendBytes(audio.data(), audio.size())) std::this_thread::sleep_for(5ms);
         }},
        {"answers only", [answer](Conn &c) {
             while (!c.stopped() && c.send(answer)) std::this_thread::sleep_for(5ms);
         }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Capture cap;
        Scripted bad([&](Conn &c) { session(bad, c, Options{.play = k.play}); });
        Scripted good([&](Conn &c) { session(good, c, Options{.frames = 3}); });
        Sink sink, none;
        Client cl;
        cl.add(bad.port(), takeFrame, &none);
        rtspClient_item *other = rtspClient_item_new_byURL__IO(
            ("rtsp://127.0.0.1:" + std::to_string(good.port()) + "/live").c_str(), takeFrame, &sink);
        ASSERT_NE(other, nullptr);
        ASSERT_EQ(rtspClient_add_item__OI_2(cl.client, other), 1);
        EXPECT_TRUE(eventually([&] { return bad.connections() >= 2; }));
        EXPECT_TRUE(cap.has("No recv or send data timeout"));
        EXPECT_TRUE(eventually([&] { return sink.count() >= 40; }));
        EXPECT_EQ(none.count(), 0u);
        EXPECT_EQ(good.connections(), 1);
        rtspClient_item_delete__OI(other);
    }
}

// Commands sent from another thread while the item leaves and rejoins its service: the
// command list is only ever reached under its lock, and a removed item is never left in it.
TEST(RtspClientFaults, CommandsWhileTheItemIsRemoved) {
    Capture cap;
    Scripted srv([&](Conn &c) { session(srv, c, Options{.frames = 3}); });
    Sink sink;
    Client cl;
    cl.add(srv.port(), takeFrame, &sink);
    ASSERT_TRUE(eventually([&] { return sink.count() >= 2; }));
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    // Each command is the first of its burst (the one that puts the item on the list): the
    // next goes once the thread has taken the one before.
    std::thread sender([&] {
        while (!done) {
            pthread_mutex_lock(&cl.item->cmdList->mutex);
            uint32_t queued = cl.item->cmdList->count;
            pthread_mutex_unlock(&cl.item->cmdList->mutex);
            if (queued == 0 && rtspClient_item_send_cmd(cl.item, RTSPCLIENT_CMD_STREAM_TYPE, 1) == 1) ++sent;
            std::this_thread::yield();
        }
    });
    auto inWriteList = [&] {
        kx_ObjectList *l = cl.client->itemListWrite;
        pthread_mutex_lock(&l->mutex);
        int at = kx_ObjectList_check_exist(l, cl.item);
        pthread_mutex_unlock(&l->mutex);
        return at >= 0;
    };
    int stale = 0;
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(rtspClient_remove_item__IO_2(cl.client, cl.item), 1);
        if (inWriteList()) ++stale;
        std::this_thread::yield();
        if (inWriteList()) ++stale;  // a command sent after the removal
        ASSERT_EQ(rtspClient_add_item__OI_2(cl.client, cl.item), 1);
    }
    ASSERT_EQ(rtspClient_remove_item__IO_2(cl.client, cl.item), 1);
    done = true;
    sender.join();
    EXPECT_FALSE(inWriteList());
    EXPECT_EQ(stale, 0);
    EXPECT_GT(sent.load(), 0);
    ASSERT_EQ(rtspClient_add_item__OI_2(cl.client, cl.item), 1);
    // The commands queued meanwhile still go out once the item is back.
    EXPECT_TRUE(eventually([&] { return srv.sawRequest("SET_PARAMETER"); }));
}

TEST(RtspClientFaults, CommandsNeedAPlayingItem) {
    Capture cap;
    rtspClient_item *item = rtspClient_item_new_byURL__IO("rtsp://127.0.0.1:9/x", takeFrame, nullptr);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(rtspClient_item_send_cmd(item, RTSPCLIENT_CMD_JUMP, 0), -1);
    EXPECT_TRUE(cap.has("Can't send cmd(=1)."));
    rtspClient_item_delete__OI(item);
}

TEST(RtspClientItems, RejectedUrlsAreLogged) {
    struct Case {
        const char *url, *record;
    } cases[] = {
        {"rtsp://1.2.3.", "Invalid lenth(=13) of the url:\"rtsp://1.2.3.\""},
        {"rtsq://1.2.3.4/x", "Invalid head of the url:\"rtsq://1.2.3.4/x\""},
        {"rtsp://admin@1.2.3.4/x", "Invalid username of the url:\"rtsp://admin@1.2.3.4/x\""},
        {"rtsp://admin:@1.2.3.4/x", "Invalid  password of the url:\"rtsp://admin:@1.2.3.4/x\""},
        {"rtsp://camera.lan/x", "Invalid IP of the url:\"rtsp://camera.lan/x\""},
    };
    for (const Case &c : cases) {
        Capture cap;
        EXPECT_EQ(rtspClient_item_new_byURL__IO(c.url, takeFrame, nullptr), nullptr) << c.url;
        EXPECT_TRUE(cap.has(c.record)) << c.url;
    }
}

// Items added while no thread runs are taken by the caller's hand-over; deleting the
// service deletes them (the leak checker of the sanitizer builds sees any that stay).
TEST(RtspClientItems, ServiceDeletesItsItems) {
    Capture cap;
    rtspClient *client = rtspClient_new__IO("owner", nullptr, pthread_self(), nullptr);
    ASSERT_NE(client, nullptr);
    std::vector<rtspClient_item *> items;
    for (int i = 0; i < 3; ++i) {
        items.push_back(rtspClient_item_new__IO(htonl(INADDR_LOOPBACK), 9, "u", "p", "/x", takeFrame, nullptr));
        EXPECT_EQ(rtspClient_add_item__OI_2(client, items.back()), 1);
        EXPECT_EQ(items.back()->client, client);
    }
    EXPECT_EQ(rtspClient_add_item__OI_2(client, items[0]), 0);
    EXPECT_TRUE(cap.has("Add item has exist"));
    EXPECT_EQ(client->itemList->count, 3u);
    EXPECT_EQ(rtspClient_remove_item__IO_2(client, items[2]), 1);
    EXPECT_EQ(items[2]->client, nullptr);
    EXPECT_EQ(rtspClient_remove_item__IO_2(client, items[2]), 0);
    rtspClient_item_delete__OI(items[2]);
    rtspClient_item_delete__OI(items[1]);  // removes itself from the service first
    EXPECT_EQ(client->itemList->count, 1u);
    rtspClient_delete__OI(client);
}

// Refuses the 1st, 2nd, ... allocation of make() until a call gets through; each refused
// call must give null. Returns the number of refusal points; the record that got through
// goes to made().
template <class T>
int refusalPoints(const std::function<T *()> &make, const std::function<void(T *)> &made) {
    for (int nth = 1;; ++nth) {
        kx::rtsp::testing::refuseAllocation(nth);
        T *record = make();
        bool reached = kx::rtsp::testing::pendingRefusal() == 0;
        kx::rtsp::testing::refuseAllocation(0);
        if (!reached) {
            made(record);
            return nth - 1;
        }
        EXPECT_EQ(record, nullptr) << "allocation " << nth;
    }
}

// Every allocation of item and service creation may fail: the call gives no record (and an
// error record) instead of a half-made one, and frees what it had (the sanitizer builds
// check the leaks).
TEST(RtspClientItems, RefusedAllocationsGiveNothing) {
    Capture cap;
    int points = refusalPoints<rtspClient_item>(
        [] { return rtspClient_item_new__IO(htonl(INADDR_LOOPBACK), 554, "u", "p", "/x", takeFrame, nullptr); },
        [](rtspClient_item *item) {
            ASSERT_NE(item, nullptr);
            EXPECT_NE(item->cmdList, nullptr);
            EXPECT_NE(item->buffer, nullptr);
            EXPECT_STREQ(item->path, "/x");
            rtspClient_item_delete__OI(item);
        });
    EXPECT_GE(points, 5);
    EXPECT_TRUE(cap.has("Allocate the item for the server:\"127.0.0.1:554\" failed."));
    points = refusalPoints<rtspClient>([] { return rtspClient_new__IO("refused", nullptr, pthread_self(), nullptr); },
                                       [](rtspClient *c) {
                                           ASSERT_NE(c, nullptr);
                                           EXPECT_NE(c->itemList, nullptr);
                                           EXPECT_NE(c->itemListWrite, nullptr);
                                           rtspClient_delete__OI(c);
                                       });
    EXPECT_GE(points, 4);
    EXPECT_TRUE(cap.has("Allocate the lists of the service:\"refused\" failed."));
}

}  // namespace
