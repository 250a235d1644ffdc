// The server's protocol engine as bytes: the frame trailer, the packetizer read back by the
// client's reassembler, request parsing, the session description and one connection's
// states from DESCRIBE to playing.
#include <math.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/memory.h"
#include "rtsp/frame_trailer.hpp"
#include "serve/rtsp_packetizer.hpp"
#include "core/base64.hpp"
#include "serve/rtsp_protocol.hpp"
#include "tests/support/reassemble.hpp"

namespace {

using namespace kx::rtspserve;
using kx::rtsp::FrameTrailer;

std::string unit(uint8_t header, size_t size) {
    std::string u(size, '\0');
    u[0] = static_cast<char>(header);
    for (size_t i = 1; i < size; ++i) u[i] = static_cast<char>(1 + (i * 7) % 250);  // no zero bytes
    return u;
}

std::string annexB(const std::vector<std::string> &units) {
    std::string s;
    for (const std::string &u : units) s += std::string("\0\0\0\1", 4) + u;
    return s;
}

TEST(RtspServerTrailer, RoundTripAndShortPadding) {
    FrameTrailer t{12.5, 77, 1, 3, 1280, 720, 29.97f};
    unsigned char raw[kx::rtsp::kFrameTrailerSize];
    kx::rtsp::encodeFrameTrailer(t, raw);
    EXPECT_EQ(memcmp(raw, "TI.kxlib", 8), 0);
    EXPECT_EQ(raw[30], 31);
    EXPECT_EQ(raw[16], 77);  // little-endian index
    FrameTrailer back;
    ASSERT_TRUE(kx::rtsp::decodeFrameTrailer(raw, sizeof raw, &back));
    EXPECT_EQ(back.streamTime, 12.5);
    EXPECT_EQ(back.frameIndex, 77u);
    EXPECT_EQ(back.kind, 1);
    EXPECT_EQ(back.keyFrame, 3);
    EXPECT_EQ(back.width, 1280);
    EXPECT_EQ(back.height, 720);
    EXPECT_FLOAT_EQ(back.frameRate, 29.97f);

    // A padding cut after the index keeps the index and zeroes the rest; no magic, no trailer.
    ASSERT_TRUE(kx::rtsp::decodeFrameTrailer(raw, 21, &back));
    EXPECT_EQ(back.frameIndex, 77u);
    EXPECT_EQ(back.width, 0);
    EXPECT_FALSE(kx::rtsp::decodeFrameTrailer(raw, 8, &back));
    raw[0] = 'X';
    EXPECT_FALSE(kx::rtsp::decodeFrameTrailer(raw, sizeof raw, &back));

    FrameTrailer audio{1.0, 5, 2, 3, 640, 480, 25.0f};
    kx::rtsp::encodeFrameTrailer(audio, raw);
    ASSERT_TRUE(kx::rtsp::decodeFrameTrailer(raw, sizeof raw, &back));
    EXPECT_EQ(back.kind, 2);
    EXPECT_EQ(back.keyFrame, 0);
    EXPECT_EQ(back.width, 0);
}

// The first unit of a frame of 1413 bytes fits one packet with the trailer, 1414 needs FU-A;
// larger units split into 1411 + 1442 ... fragments. The reassembler gives back the frames,
// the last one too: the marker on its last packet ends it.
TEST(RtspServerPacketizer, UnitSizesRoundTripThroughTheClient) {
    struct Case {
        size_t first;
        uint32_t packets;
    } cases[] = {{1413, 1}, {1414, 2}, {1412 + 1442, 2}, {1412 + 1442 + 1, 3}, {20, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.first);
        TrackClock clock;
        std::string sps = unit(0x67, 12), pps = unit(0x68, 4);
        std::string frame1 = annexB({unit(0x41, c.first)});
        std::string frame2 = annexB({sps, pps, unit(0x65, 3000)});
        FrameTrailer t1{0.0, 41, 1, 0, 320, 240, 25.0f}, t2{0.04, 42, 1, 3, 320, 240, 25.0f};
        Packets p1, p2, p3;
        ASSERT_TRUE(packetizeH264(reinterpret_cast<const uint8_t *>(frame1.data()), frame1.size(), 0, clock, 25.0,
                                  0.0, t1, &p1));
        EXPECT_EQ(p1.count, c.packets);
        for (size_t at = 0; at < p1.bytes.size();) {  // every packet within the size, marker on the last
            size_t len = (static_cast<uint8_t>(p1.bytes[at + 2]) << 8) | static_cast<uint8_t>(p1.bytes[at + 3]);
            EXPECT_LE(len + 4, kPacketSize);
            bool last = at + 4 + len == p1.bytes.size();
            EXPECT_EQ((static_cast<uint8_t>(p1.bytes[at + 5]) & 0x80) != 0, last);
            EXPECT_EQ(static_cast<uint8_t>(p1.bytes[at + 4]), at == 0 ? 0xA0 : 0x80);
            at += 4 + len;
        }
        ASSERT_TRUE(packetizeH264(reinterpret_cast<const uint8_t *>(frame2.data()), frame2.size(), 0, clock, 25.0,
                                  0.04, t2, &p2));
        ASSERT_TRUE(packetizeH264(reinterpret_cast<const uint8_t *>(frame1.data()), frame1.size(), 0, clock, 25.0,
                                  0.08, t1, &p3));
        EXPECT_EQ(p2.rtpTime - p1.rtpTime, 3600u);
        EXPECT_EQ(p2.firstSeq, static_cast<uint16_t>(p1.firstSeq + p1.count));
        std::vector<kxtest::ReassembledFrame> got = kxtest::reassemble(p1.bytes + p2.bytes + p3.bytes);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].data, frame1);
        EXPECT_EQ(got[0].info.frameIndex, 41u);
        EXPECT_EQ(got[1].data, frame2);
        EXPECT_EQ(got[1].info.frameIndex, 42u);
        EXPECT_EQ(got[1].info.isKeyFrame, 3);
        EXPECT_EQ(got[1].info.width, 320);
        EXPECT_EQ(got[1].info.height, 240);
        EXPECT_FLOAT_EQ(got[1].info.frameRate, 25.0f);
        EXPECT_DOUBLE_EQ(got[1].info.frameTime, 0.04);
        EXPECT_EQ(got[2].data, frame1);
        EXPECT_EQ(got[2].info.frameIndex, 41u);  // the trailer it carries
    }
}

TEST(RtspServerPacketizer, NoPacketsForShortOrCodelessData) {
    TrackClock clock;
    Packets p;
    FrameTrailer t;
    const uint8_t shortData[] = {0, 0, 1};
    const uint8_t noCode[] = {0x65, 1, 2, 3, 4, 5};
    EXPECT_FALSE(packetizeH264(shortData, sizeof shortData, 0, clock, 25, 0, t, &p));
    EXPECT_FALSE(packetizeH264(noCode, sizeof noCode, 0, clock, 25, 0, t, &p));
    EXPECT_EQ(p.count, 0u);
}

// Rates that cannot divide make the clock follow the stream times; equal times still step.
TEST(RtspServerPacketizer, RtpClockFollowsStreamTimesWithoutARate) {
    struct Case {
        double rate;
        double t0, t1;
        uint32_t step;
    } cases[] = {{25.0, 0, 0.04, 3600},    {0.0, 1.0, 1.04, 3600},   {-5.0, 1.0, 1.5, 45000},
                 {NAN, 0, 0.1, 9000},      {INFINITY, 0, 0.02, 1800}, {0.0, 2.0, 2.0, 1},
                 {0.0, 2.0, 1.0, 1},       {30000.0 / 1001, 0, 0, 3003}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rate);
        TrackClock clock;
        uint32_t a = clock.nextVideo(c.rate, c.t0);
        uint32_t b = clock.nextVideo(c.rate, c.t1);
        EXPECT_EQ(b - a, c.step);
    }
    TrackClock audio;
    uint32_t a = audio.nextAudio();
    EXPECT_EQ(audio.nextAudio() - a, 1024u);
}

// Video timestamps follow presentation times: B-frames sent after the picture they are shown
// before get lower timestamps; seeks, loops, restarts and unusable times start a new stretch
// one period beyond the highest timestamp given; frames played backward step by a period.
TEST(RtspServerPacketizer, RtpClockFollowsPresentationTimes) {
    constexpr double kRestart = -1e9;  // not a frame: restart() the clock
    struct Frame {
        double t;
        uint32_t expect;
        bool backward = false;
    };
    struct Case {
        const char *name;
        double rate;
        std::vector<Frame> frames;
    } cases[] = {
        {"monotone", 25.0, {{0.0, 3600}, {0.04, 7200}, {0.08, 10800}, {0.12, 14400}}},
        // Decoding order I0 P3 B1 B2 P6 B4 B5.
        {"IPBB", 25.0,
         {{0.0, 3600}, {0.12, 14400}, {0.04, 7200}, {0.08, 10800}, {0.24, 25200}, {0.16, 18000}, {0.20, 21600}}},
        // Stream times of wall-clock size (a relayed stream's) are a fraction of a tick off.
        {"wall-clock times", 25.0,
         {{1765000000.13, 3600}, {1765000000.25, 14400}, {1765000000.17, 7200}, {1765000000.21, 10800}}},
        {"seek forward", 25.0, {{0.0, 3600}, {0.04, 7200}, {10.0, 10800}, {10.04, 14400}, {10.08, 18000}}},
        {"small jump forward kept", 25.0, {{0.0, 3600}, {0.04, 7200}, {2.04, 187200}}},
        {"seek backward", 25.0, {{5.0, 3600}, {5.04, 7200}, {3.0, 10800}, {3.04, 14400}}},
        // Back by less than the reordering window: a repeated start still begins a new stretch.
        {"loop of a short file", 25.0, {{0.0, 3600}, {0.04, 7200}, {0.08, 10800}, {0.0, 14400}, {0.04, 18000}}},
        // The stretch after the loop starts beyond P3 (the highest), not beyond B2 (the last).
        {"loop with B-frames", 25.0,
         {{0.0, 3600}, {0.12, 14400}, {0.04, 7200}, {0.08, 10800}, {0.0, 18000}, {0.12, 28800}, {0.04, 21600}}},
        {"restart", 25.0, {{1.0, 3600}, {1.04, 7200}, {kRestart, 0}, {0.8, 10800}, {0.84, 14400}}},
        {"unusable times", 25.0,
         {{0.0, 3600}, {NAN, 7200}, {0.08, 10800}, {INFINITY, 14400}, {-1.0, 18000}, {1e300, 21600}, {0.2, 25200},
          {0.24, 28800}}},
        {"rate 0 follows the times", 0.0, {{0.0, 1}, {0.12, 10801}, {0.04, 3601}, {0.08, 7201}}},
        {"rate 0, unusable times step by the last distance", 0.0, {{0.0, 1}, {0.04, 3601}, {NAN, 7201}, {NAN, 10801}}},
        {"negative rate", -25.0, {{0.0, 1}, {0.04, 3601}, {0.5, 45001}}},
        {"backward", 25.0,
         {{10.0, 3600, true}, {9.96, 7200, true}, {9.92, 10800, true}, {8.0, 14400}, {8.04, 18000}}},
        {"backward without a rate", 0.0, {{10.0, 1, true}, {9.96, 3601, true}, {9.92, 7201, true}}},
        {"forward then backward", 25.0, {{0.0, 3600}, {0.12, 14400}, {0.04, 7200}, {2.0, 18000, true}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TrackClock clock;
        for (size_t i = 0; i < c.frames.size(); ++i) {
            const Frame &f = c.frames[i];
            if (f.t == kRestart) {
                clock.restart();
                continue;
            }
            EXPECT_EQ(clock.nextVideo(c.rate, f.t, f.backward), f.expect) << "frame " << i << " at " << f.t;
        }
    }
}

// 29.97 frames/s over more than one turn of the 32-bit clock: every step is 3003 ticks,
// also across the wrap, and the clock is time() after each frame.
TEST(RtspServerPacketizer, RtpClockKeepsItsStepAcrossTheWrap) {
    TrackClock clock;
    const double rate = 30000.0 / 1001;
    uint32_t last = clock.nextVideo(rate, 0.0);
    size_t wrong = 0, wraps = 0;
    for (uint32_t k = 1; k < 1500000; ++k) {
        uint32_t now = clock.nextVideo(rate, k * 1001 / 30000.0);
        if (now - last != 3003u || clock.time() != now) ++wrong;
        if (now < last) ++wraps;
        last = now;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(wraps, 1u);
}

TEST(RtspServerPacketizer, AacOnePacketWithoutAdtsHeader) {
    std::string payload = unit(0x21, 300);
    unsigned char adts[7] = {0xFF, 0xF1, 0x4C, 0x80, 0, 0, 0xFC};
    size_t frameLength = 7 + payload.size();
    adts[3] |= static_cast<unsigned char>(frameLength >> 11);
    adts[4] = static_cast<unsigned char>(frameLength >> 3);
    adts[5] = static_cast<unsigned char>((frameLength & 7) << 5) | 0x1F;
    std::string withHeader = std::string(reinterpret_cast<char *>(adts), 7) + payload;
    for (const std::string &in : {payload, withHeader}) {
        TrackClock clock;
        Packets p;
        FrameTrailer t{0.5, 9, 2, 0, 0, 0, 0};
        ASSERT_TRUE(packetizeAac(reinterpret_cast<const uint8_t *>(in.data()), in.size(), 1, clock, t, &p));
        ASSERT_EQ(p.count, 1u);
        const std::string &b = p.bytes;
        ASSERT_EQ(b.size(), 16 + 4 + payload.size() + 31);
        EXPECT_EQ(b[1], 2);                                   // channel 2 * track
        EXPECT_EQ(static_cast<uint8_t>(b[5]), 0x80 | 96);     // marker
        EXPECT_EQ(static_cast<uint8_t>(b[15]), 0x74);         // SSRC last byte 0x73 + track
        EXPECT_EQ(b.substr(16, 4), std::string("\x00\x10\x09\x60", 4));  // 300 bytes << 3, index 0
        EXPECT_EQ(b.substr(20, payload.size()), payload);
        EXPECT_EQ(b.substr(20 + payload.size(), 8), "TI.kxlib");
    }
    TrackClock clock;
    Packets p;
    std::string huge(kAacMax + 1, 'x');
    EXPECT_FALSE(packetizeAac(reinterpret_cast<const uint8_t *>(huge.data()), huge.size(), 1, clock, {}, &p));
    EXPECT_FALSE(packetizeAac(adts, 7, 1, clock, {}, &p));
}

TEST(RtspServerRequest, UriForms) {
    struct Case {
        const char *uri;
        int result;
        bool hasPath;
        const char *path;
        const char *query;
    } cases[] = {
        {"rtsp://127.0.0.1:8554/cam", kParsed, true, "/cam", ""},
        {"rtsp://localhost:8554/cam", kParsed, true, "/cam", ""},
        {"rtsp://[::1]:8554/cam/track1", kParsed, true, "/cam/track1", ""},
        {"rtsp://user:p@ss@camera.local/a/b?start=1&x", kParsed, true, "/a/b", "start=1&x"},
        {"rtsp://10.0.0.1", kParsed, false, "", ""},
        {"/cam?x=1", kParsed, true, "/cam", "x=1"},
        {"*", kParsed, false, "", ""},
        {"rtsp://[::1/cam", kBadUri, false, "", ""},
        {"rtsp://bad%host/cam", kBadUri, false, "", ""},
        {"rtsp://host:99999/cam", kBadUri, false, "", ""},
        {"cam", kBadUri, false, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.uri);
        std::string msg = std::string("DESCRIBE ") + c.uri + " RTSP/1.0\r\nCSeq: 3\r\n\r\n";
        Request r;
        EXPECT_EQ(parseRequest(msg, msg.size(), &r), c.result);
        EXPECT_EQ(r.cseq, 3u);
        if (c.result != kParsed) continue;
        EXPECT_EQ(r.hasPath, c.hasPath);
        EXPECT_EQ(r.path, c.path);
        EXPECT_EQ(r.query, c.query);
    }
}

TEST(RtspServerRequest, HeadersAndBounds) {
    struct Case {
        std::string msg;
        int result;
        uint32_t cseq;
    } cases[] = {
        {"OPTIONS * RTSP/1.0\r\ncseq:  4294967295\r\n\r\n", kParsed, 4294967295u},
        {"OPTIONS * RTSP/1.0\r\nCSeq: 4294967296\r\n\r\n", kNoCseq, 0},
        {"OPTIONS * RTSP/1.0\r\nCSeq: 1x\r\n\r\n", kNoCseq, 0},
        {"OPTIONS * RTSP/1.0\r\nUser-Agent: x\r\n\r\n", kNoCseq, 0},
        {"OPTIONS * HTTP/1.1\r\nCSeq: 1\r\n\r\n", kBadRequestLine, 0},
        {"OPTIONS\r\nCSeq: 1\r\n\r\n", kBadRequestLine, 0},
        {"options * RTSP/1.0\r\nCSeq: 1\r\n\r\n", kBadRequestLine, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.msg);
        Request r;
        EXPECT_EQ(parseRequest(c.msg, c.msg.size(), &r), c.result);
        if (c.result == kParsed) {
            EXPECT_EQ(r.cseq, c.cseq);
        }
    }
    // Headers are only looked for inside the header; the body is what follows it.
    std::string msg = "SETUP /a/track2 RTSP/1.0\r\nCSeq: 5\r\nTransport: RTP/AVP/TCP;interleaved=4-5\r\n\r\nCSeq: 9";
    Request r;
    ASSERT_EQ(parseRequest(msg, msg.size() - 7, &r), kParsed);
    EXPECT_EQ(r.cseq, 5u);
    EXPECT_EQ(r.transport, "RTP/AVP/TCP;interleaved=4-5");
    EXPECT_EQ(r.body, "CSeq: 9");
    EXPECT_EQ(trackOf(r.uri), 2);
    EXPECT_EQ(trackOf("rtsp://h/cam/track31"), 31);
    EXPECT_EQ(trackOf("rtsp://h/cam/track32"), -1);
    EXPECT_EQ(trackOf("rtsp://h/cam/trackID=1/"), 1);
    EXPECT_EQ(trackOf("rtsp://h/cam"), -1);
}

// PLAY start times: npt seconds or h:mm:ss, and clock= as a local calendar time on the
// local wall-clock scale (so independent of the machine's zone), its fraction kept.
TEST(RtspServerRequest, RangeStartTimes) {
    struct Case {
        const char *range;
        bool ok;
        double start;
    } cases[] = {
        {"npt=0.000-", true, 0.0},
        {"npt=12.5-", true, 12.5},
        {"npt=10-20", true, 10.0},
        {"npt=1:02:03.25-", true, 3723.25},
        {"npt=0:00:07-", true, 7.0},
        {"clock=19700101T000001Z-", true, 1.0},
        {"clock=20261210T143005.125Z-", true, 1796913005.125},
        {"clock=20240229T235959.5Z-20240301T000000Z", true, 1709251199.5},
        {"clock=20230229T000000Z-", false, 0},  // no such day
        {"clock=20261310T000000Z-", false, 0},
        {"clock=20261210T240000Z-", false, 0},
        {"clock=20261210T1430Z-", false, 0},
        {"clock=20261210T143005.Z-", false, 0},
        {"clock=20261210T143005Z", false, 0},   // no '-'
        {"clock=19700100T000000Z-", false, 0},  // the live description's "day 0"
        {"npt=now-", false, 0},
        {"npt=-5", false, 0},
        {"npt=inf-", false, 0},
        {"npt=0x10-", false, 0},
        {"npt=1e3-", false, 0},
        {"npt=1:2:3-", false, 0},
        {"npt=1.5:02:03-", false, 0},
        {"npt=0:60:00-", false, 0},
        {"npt=5", false, 0},
        {"smpte=0:10:00-", false, 0},
        {"", false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.range);
        double start = -1.0;
        EXPECT_EQ(rangeStart(c.range, &start), c.ok);
        if (c.ok) {
            EXPECT_DOUBLE_EQ(start, c.start);
        }
    }
}

TEST(RtspServerRequest, PercentDecodingAndControlUrlsBehindAQuery) {
    EXPECT_EQ(percentDecode("a%20b%2Fc%2e%2E"), "a b/c..");
    EXPECT_EQ(percentDecode("100%"), "100%");
    EXPECT_EQ(percentDecode("%4"), "%4");
    EXPECT_EQ(percentDecode("%zz+%41"), "%zz+A");
    EXPECT_EQ(percentDecode(std::string("%00", 3)), std::string(1, '\0'));
    EXPECT_EQ(trackOf("rtsp://h/clip.mkv?from=10/track1"), 1);
    EXPECT_EQ(trackOf("rtsp://h/clip.mkv/track2?from=10"), 2);
    EXPECT_EQ(trackOf("rtsp://h/clip.mkv?name=track3"), -1);
}

TEST(RtspServerSdp, AudioConfigFromTheStream) {
    EXPECT_EQ(audioSpecificConfig(2, 44100, 2), "1210");
    EXPECT_EQ(audioSpecificConfig(2, 48000, 1), "1188");
    EXPECT_EQ(audioSpecificConfig(2, 8000, 1), "1588");
    EXPECT_EQ(audioSpecificConfig(2, 12345, 1), "1780181c88");  // explicit 24-bit rate
    std::string m = sdpAac(1, 2, 48000, 1);
    EXPECT_NE(m.find("a=rtpmap:96 MPEG4-GENERIC/48000/1\r\n"), std::string::npos);
    EXPECT_NE(m.find("a=control:track1\r\n"), std::string::npos);
    EXPECT_NE(m.find(";config=1188\r\n"), std::string::npos);

    const uint8_t sps[] = {0x67, 0x64, 0x00, 0x1f, 0xac};
    const uint8_t pps[] = {0x68, 0xee, 0x3c, 0x80};
    std::string v = sdpH264(0, sps, sizeof sps, pps, sizeof pps);
    EXPECT_NE(v.find("profile-level-id=64001F;packetization-mode=1;sprop-parameter-sets=Z2QAH6w=,aO48gA==\r\n"),
              std::string::npos);
    EXPECT_EQ(sdpH264(0, sps, 3, pps, sizeof pps), "");
    EXPECT_EQ(kx::base64Padded("a", 1), "YQ==");
    EXPECT_EQ(kx::base64Padded("abc", 3), "YWJj");
}

// When a demand client's description is complete, for frame sequences of a video track 0
// ("K" a key frame with parameter sets, "v" another frame) and an audio track 1 ("a").
TEST(RtspServerSdp, DemandDescriptionCompletesOnItsFirstTrackAgain) {
    struct Case {
        const char *frames;
        int completeAt;  // 1-based frame that completes it, 0 never
        const char *media;
    } cases[] = {
        {"Kv", 2, "V"},       // video alone: its second frame
        {"vvKv", 3, "V"},     // the key frame the first frames lacked
        {"KaaK", 4, "VA"},    // audio twice is not the first track
        {"avaKa", 4, "VA"},   // audio first, video described late
        {"aa", 2, "A"},
        {"vvvv", 0, ""},      // never without a key frame
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        FrameDescription d;
        int at = 0;
        for (int i = 0; c.frames[i] != 0 && at == 0; ++i) {
            char f = c.frames[i];
            if (d.add(f == 'a' ? 1 : 0, f == 'K' ? "V" : f == 'a' ? "A" : "")) at = i + 1;
        }
        EXPECT_EQ(at, c.completeAt);
        if (at != 0) {
            EXPECT_EQ(d.media(), c.media);
            EXPECT_TRUE(d.add(2, ""));  // complete stays complete
            EXPECT_EQ(d.media(), c.media);
        }
    }
}

// ---- one connection ----

struct FixedResolver : Resolver {
    Target target;
    std::string lastPath;
    Target resolve(const Request &r) override {
        lastPath.assign(r.path);
        return target;
    }
};

std::string req(const std::string &line, uint32_t cseq, const std::string &extra = "") {
    return line + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n";
}

Outcome send(Connection &c, Resolver &r, const std::string &m) { return c.handle(m, m.size(), r); }

TEST(RtspServerConnection, ProtocolErrorsClose) {
    int item = 0;
    FixedResolver live;
    live.target = {Target::live, &item, 0};
    struct Case {
        std::string message;
        bool describeFirst;
        bool close;
        const char *reply;
    } cases[] = {
        {req("SETUP rtsp://h/cam/track0", 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"), false, true, ""},
        {req("PLAY rtsp://h/cam", 2), false, true, ""},
        {req("GET_PARAMETER rtsp://h/cam", 2), false, true, ""},
        {"OPTIONS * RTSP/1.0\r\n\r\n", false, true, ""},
        {req("RECORD rtsp://h/cam", 2), false, true, ""},
        {req("SET_PARAMETER rtsp://h/cam", 2), false, true, ""},
        {req("SETUP rtsp://h/cam/track0", 3, "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n"), true, false,
         "RTSP/1.0 461 Unsupported transport\r\nCSeq: 3\r\n"},
        {req("PLAY rtsp://h/cam", 3), true, true, ""},  // nothing set up
        {req("TEARDOWN rtsp://h/cam", 7), false, false, "RTSP/1.0 200 OK\r\nCSeq: 7\r\nSession: 127000000001"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        Connection conn(0x0100007F, 1, 8554);
        if (c.describeFirst) {
            ASSERT_TRUE(send(conn, live, req("DESCRIBE rtsp://h/cam", 1)).described);
            conn.describeAnswer("v=0\r\n");
        }
        Outcome o = send(conn, live, c.message);
        EXPECT_EQ(o.close, c.close);
        EXPECT_EQ(o.reply.substr(0, strlen(c.reply)), c.reply);
    }
    FixedResolver none;
    Connection conn(0x0100007F, 1, 8554);
    EXPECT_TRUE(send(conn, none, req("DESCRIBE rtsp://h/nothing", 1)).close);
    EXPECT_EQ(none.lastPath, "/nothing");
}

TEST(RtspServerConnection, ClusterRedirectKeepsPathAndQuery) {
    FixedResolver cluster;
    cluster.target = {Target::cluster, nullptr, 0x0200007F};
    Connection conn(0x0100007F, 40000, 8554);
    Outcome o = send(conn, cluster, req("DESCRIBE rtsp://localhost:8554/cam/a?t=1", 4));
    EXPECT_FALSE(o.close);
    EXPECT_EQ(o.reply, "RTSP/1.0 301 Moved\r\nCSeq: 4\r\nLocation: rtsp://127.0.0.2:8554/cam/a?t=1\r\n\r\n");
    EXPECT_EQ(conn.status(), 0);
}

// DESCRIBE, SETUP of video and audio, PLAY: the answer waits for a video key frame and the
// audio that started before it is held behind the answer; then a full queue costs frames
// up to the next key frame.
TEST(RtspServerConnection, PlayWaitsForEveryTrackThenMissesUpToAKeyFrame) {
    int item = 0;
    FixedResolver live;
    live.target = {Target::live, &item, 0};
    Connection conn(0x0100007F, 5000, 8554);
    Outcome d = send(conn, live, req("DESCRIBE rtsp://h/cam", 2));
    ASSERT_TRUE(d.described);
    EXPECT_EQ(conn.status(), kAttached);
    send(conn, live, req("OPTIONS *", 3));
    std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\n";
    std::string answer = conn.describeAnswer(sdp);
    EXPECT_EQ(answer.substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 2\r\n");
    size_t body = answer.find("\r\n\r\n") + 4;
    size_t cl = answer.find("Content-Length: ") + 16;
    EXPECT_EQ(std::stoul(answer.substr(cl)), answer.size() - body);
    EXPECT_NE(answer.find("Content-Base: rtsp://h/cam/\r\n"), std::string::npos);

    std::string tcp = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
    Outcome s0 = send(conn, live, req("SETUP rtsp://h/cam/track0", 4, tcp));
    EXPECT_NE(s0.reply.find("interleaved=0-1;ssrc=6b787273\r\n"), std::string::npos);
    Outcome s1 = send(conn, live, req("SETUP rtsp://h/cam/track1", 5, tcp));
    EXPECT_NE(s1.reply.find("interleaved=2-3;ssrc=6b787274\r\n"), std::string::npos);
    EXPECT_EQ(conn.setupMask(), 3u);

    // Before PLAY nothing is taken.
    EXPECT_EQ(conn.offer({0, true, true, 0, 0, 0}, "K", 0, 10), Offer::skip);
    Outcome p = send(conn, live, req("PLAY rtsp://h/cam", 6));
    EXPECT_TRUE(p.play);
    EXPECT_TRUE(p.reply.empty());
    EXPECT_EQ(conn.offer({0, true, false, 1.0, 10, 100}, "v", 0, 10), Offer::skip);  // not a key frame
    EXPECT_EQ(conn.offer({1, false, false, 1.01, 20, 200}, "a", 0, 10), Offer::hold);
    EXPECT_EQ(conn.offer({2, false, false, 1.01, 20, 200}, "x", 0, 10), Offer::skip);  // not set up
    EXPECT_EQ(conn.offer({0, true, true, 1.04, 11, 3700}, "K", 0, 10), Offer::start);
    std::string start = conn.takeStart();
    EXPECT_EQ(start,
              "RTSP/1.0 200 OK\r\nCSeq: 6\r\nSession: 12700000000105000\r\nRange: npt=1.010000-\r\n"
              "RTP-Info: url=rtsp://h/cam/track1;seq=20;rtptime=200,url=rtsp://h/cam/track0;seq=11;rtptime=3700"
              "\r\n\r\naK");
    EXPECT_EQ(conn.status(), kAttached | kDescribed | kPlayRequested | kPlaying);

    EXPECT_EQ(conn.offer({0, true, false, 1.08, 12, 7300}, "v", 10, 10), Offer::send);
    EXPECT_EQ(conn.offer({0, true, false, 1.12, 13, 10900}, "v", 11, 10), Offer::miss);
    EXPECT_EQ(conn.offer({1, false, false, 1.12, 21, 1224}, "a", 11, 10), Offer::miss);
    EXPECT_EQ(conn.offer({1, false, false, 1.14, 22, 2248}, "a", 0, 10), Offer::send);  // audio goes on
    EXPECT_EQ(conn.offer({0, true, false, 1.16, 14, 14500}, "v", 0, 10), Offer::skip);  // waits for a key
    EXPECT_EQ(conn.offer({0, true, true, 1.20, 15, 18100}, "K", 0, 10), Offer::send);
    EXPECT_EQ(conn.framesMissed(), 2u);

    // DESCRIBE again leaves the item first.
    Outcome again = send(conn, live, req("DESCRIBE rtsp://h/cam", 7));
    EXPECT_TRUE(again.detached);
    EXPECT_EQ(again.detachedFrom, &item);
    EXPECT_EQ(conn.status(), kAttached);
    EXPECT_EQ(conn.setupMask(), 0u);
}

// A demand client: Content-Base and RTP-Info without the query, start times from PLAY
// (also while playing, a jump), stream types from SET_PARAMETER.
TEST(RtspServerConnection, DemandStartTimesAndStreamTypes) {
    int item = 0;
    FixedResolver demand;
    demand.target = {Target::demand, &item, 0};
    Connection conn(0x0100007F, 5000, 8554);
    ASSERT_TRUE(send(conn, demand, req("DESCRIBE rtsp://h/d/clip.mkv?from=1&x=%41", 1)).described);
    EXPECT_EQ(conn.status(), kAttached | kDemand);
    EXPECT_EQ(conn.path(), "/d/clip.mkv");
    EXPECT_TRUE(conn.hasPath());
    EXPECT_EQ(conn.query(), "from=1&x=%41");
    EXPECT_NE(conn.describeAnswer("v=0\r\n").find("Content-Base: rtsp://h/d/clip.mkv/\r\n"), std::string::npos);
    send(conn, demand, req("SETUP rtsp://h/d/clip.mkv/track0", 2, "Transport: RTP/AVP/TCP;interleaved=0-1\r\n"));
    Outcome p = send(conn, demand, req("PLAY rtsp://h/d/clip.mkv", 3, "Range: npt=0.000-\r\n"));
    EXPECT_TRUE(p.play);
    EXPECT_EQ(p.startTime, 0.0);  // only positive start times count
    EXPECT_EQ(conn.offer({0, true, true, 0.0, 7, 90}, "K", 0, SIZE_MAX), Offer::start);
    EXPECT_NE(conn.takeStart().find("RTP-Info: url=rtsp://h/d/clip.mkv/track0;seq=7;rtptime=90\r\n"),
              std::string::npos);
    Outcome jump = send(conn, demand, req("PLAY rtsp://h/d/clip.mkv", 4, "Range: clock=19700101T000010.5Z-\r\n"));
    EXPECT_FALSE(jump.play);
    EXPECT_EQ(jump.startTime, 10.5);
    EXPECT_EQ(jump.reply.substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 4\r\n");
    std::string body = "streamtype: 3\r\n";
    std::string head =
        req("SET_PARAMETER rtsp://h/d/clip.mkv", 5, "Content-Length: " + std::to_string(body.size()) + "\r\n");
    Outcome st = conn.handle(head + body, head.size(), demand);
    EXPECT_TRUE(st.streamTypeSet);
    EXPECT_EQ(conn.streamType(), 3);
}

}  // namespace
