// Fuzzes the RTSP server's request handling without sockets: the input is cut into messages
// by the pool's HTTP framer and handled by one connection, which answers, closes, or plays
// (live, or on demand for a URL with parameters, with PLAY start times and decoded
// parameters); frames are offered between messages. Answers must be whole RTSP answers, a closed
// connection handles nothing more, and the held packets stay bounded.
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz/check.hpp"
#include "serve/framer.hpp"
#include "serve/rtsp_protocol.hpp"

using namespace kx::rtspserve;
using kxfuzz::check;

namespace {

struct PathResolver : Resolver {
    int item = 0;
    Target resolve(const Request &r) override {
        check(!r.hasPath || (!r.path.empty() && r.path.front() == '/'), "path without '/'");
        if (r.path.substr(0, 4) == "/cam") return {Target::live, &item, 0};
        if (r.path.substr(0, 3) == "/cl") return {Target::cluster, nullptr, 0x0200007F};
        if (r.hasQuery) return {Target::demand, &item, 0};
        return {};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kx::pool::Limits limits;
    limits.maxHeader = 8192;
    limits.maxContent = 8192;
    kx::pool::HttpFramer framer(limits);
    kx::pool::Messages messages;
    framer.feed(data, size, messages);
    PathResolver resolver;
    Connection conn(0x0100007F, 40000, 8554);
    bool closed = false;
    uint16_t seq = 0;
    for (kx_String *s : messages) {
        if (!closed) {
            uint32_t head;
            memcpy(&head, s->buffer + s->lenth + 1, 4);
            Outcome o = conn.handle(std::string_view(s->buffer, s->lenth), head, resolver);
            check(o.reply.empty() || o.reply.compare(0, 9, "RTSP/1.0 ") == 0, "answer is not RTSP");
            check(o.reply.empty() || o.reply.compare(o.reply.size() - 4, 4, "\r\n\r\n") == 0, "answer not ended");
            check(o.startTime == 0.0 || (isfinite(o.startTime) && o.startTime > 0.0), "start time");
            if (o.described) {
                check(conn.item() == &resolver.item, "described without the item");
                check(kx::rtspserve::percentDecode(conn.query()).size() <= conn.query().size(), "decoded longer");
                std::string answer = conn.describeAnswer("v=0\r\n");
                check(answer.find("Content-Length: ") != std::string::npos, "no length");
            }
            closed = o.close;
            // A frame of every set-up track, a key frame every fourth time.
            for (uint8_t t = 0; t < 3 && !closed; ++t) {
                FrameView f{t, t == 0, (seq & 3) == 0, seq * 0.04, seq, seq * 3600u};
                std::string packets(64, 'p');
                Offer offer = conn.offer(f, packets, seq % 7, 4);
                if (offer == Offer::start) {
                    std::string start = conn.takeStart();
                    check(start.compare(0, 16, "RTSP/1.0 200 OK\r") == 0, "PLAY answer");
                    check(start.size() >= packets.size(), "held packets lost");
                }
                ++seq;
            }
        }
        kx_String_delete__OI(s);
    }
    return 0;
}
