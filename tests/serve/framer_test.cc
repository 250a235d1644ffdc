// The pool's framers as byte engines: every case is fed whole and in chunks of 1, 2, 3 and
// 7 bytes, and must cut the same messages (or fail the same way) each time.
#include "serve/framer.hpp"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using kx::pool::HttpFramer;
using kx::pool::Limits;
using kx::pool::Messages;
using kx::pool::StandardFramer;

using namespace std::string_literals;

struct Cut {
    std::vector<std::string> messages;
    std::vector<uint32_t> headers;  // HTTP: header length stored behind the NUL
    int result = 1;
};

template <typename Framer>
Cut run(Framer &f, const std::string &input, size_t chunk, bool http) {
    Cut c;
    Messages out;
    for (size_t pos = 0; pos < input.size() && c.result == 1; pos += chunk) {
        size_t n = std::min(chunk, input.size() - pos);
        c.result = f.feed(input.data() + pos, n, out);
    }
    for (kx_String *s : out) {
        c.messages.emplace_back(s->buffer, s->lenth);
        if (http) {
            EXPECT_EQ(s->buffer[s->lenth], 0);
            uint32_t h;
            memcpy(&h, s->buffer + s->lenth + 1, 4);
            c.headers.push_back(h);
        }
        kx_String_delete__OI(s);
    }
    return c;
}

const size_t kChunks[] = {1, 2, 3, 7, 1 << 20};

struct HttpCase {
    const char *name;
    std::string input;
    std::vector<std::string> messages;
    std::vector<uint32_t> headers;
    int result;
};

const std::string kBig(3000, 'b');

std::vector<HttpCase> http_cases() {
    const std::string get = "GET / RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    return {
        {"HeaderAlone", get, {get}, {uint32_t(get.size())}, 1},
        {"Pipelined", get + "OPTIONS * RTSP/1.0\r\n\r\n", {get, "OPTIONS * RTSP/1.0\r\n\r\n"}, {uint32_t(get.size()), 22}, 1},
        {"ContentLengthZero", "A\r\nContent-Length: 0\r\n\r\nB\r\n\r\n",
         {"A\r\nContent-Length: 0\r\n\r\n", "B\r\n\r\n"}, {24, 5}, 1},
        {"Body", "P\r\ncontent-LENGTH:5 \r\n\r\nhelloQ\r\n\r\n", {"P\r\ncontent-LENGTH:5 \r\n\r\nhello", "Q\r\n\r\n"},
         {24, 5}, 1},
        {"BodyLargerThanTheBuffer", "P\r\nContent-Length: 3000\r\n\r\n" + kBig + get,
         {"P\r\nContent-Length: 3000\r\n\r\n" + kBig, get}, {27, uint32_t(get.size())}, 1},
        {"NulBytesDropTheTextBefore", "junk\0\0\0"s + get, {get}, {uint32_t(get.size())}, 1},
        {"NulInsideAHeader", "GET /\0x\r\n\r\n"s, {"x\r\n\r\n"}, {5}, 1},
        {"IncompleteStaysBuffered", "GET / RTSP/1.0\r\n\r", {}, {}, 1},
        {"NegativeLength", "P\r\nContent-Length: -1\r\n\r\n", {}, {}, kx::pool::kFrameBadContentLength},
        {"NonNumericLength", "P\r\nContent-Length: 1x\r\n\r\n", {}, {}, kx::pool::kFrameBadContentLength},
        {"EmptyLength", "P\r\nContent-Length:\r\n\r\n", {}, {}, kx::pool::kFrameBadContentLength},
        {"ConflictingLengths", "P\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", {}, {},
         kx::pool::kFrameBadContentLength},
        {"OverflowingLength", "P\r\nContent-Length: 99999999999999999999999\r\n\r\n", {}, {},
         kx::pool::kFrameContentTooLong},
        {"LengthAboveTheCap", "P\r\nContent-Length: 1025\r\n\r\n", {}, {}, kx::pool::kFrameContentTooLong},
    };
}

class HttpFraming : public ::testing::TestWithParam<HttpCase> {};

TEST_P(HttpFraming, SameCutInEveryChunkSize) {
    const HttpCase &c = GetParam();
    Limits limits;
    limits.maxContent = c.name == std::string("LengthAboveTheCap") ? 1024 : limits.maxContent;
    for (size_t chunk : kChunks) {
        SCOPED_TRACE(chunk);
        HttpFramer f(limits);
        Cut cut = run(f, c.input, chunk, true);
        EXPECT_EQ(cut.result, c.result);
        EXPECT_EQ(cut.messages, c.messages);
        EXPECT_EQ(cut.headers, c.headers);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpFraming, ::testing::ValuesIn(http_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(HttpFramer, HeaderWithoutEmptyLineStopsAtTheCap) {
    Limits limits;
    limits.maxHeader = 2048;
    HttpFramer f(limits);
    Cut c = run(f, std::string(2047, 'a'), 100, true);
    EXPECT_EQ(c.result, 1);
    EXPECT_LE(f.capacity(), 2048u);
    Messages out;
    EXPECT_EQ(f.feed("a", 1, out), kx::pool::kFrameHeaderTooLong);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(f.failed());
    // A failed framer takes nothing more until it is reset.
    EXPECT_NE(f.feed("\r\n\r\n", 4, out), 1);
    f.reset();
    EXPECT_EQ(f.feed("A\r\n\r\n", 5, out), 1);
    ASSERT_EQ(out.size(), 1u);
    kx_String_delete__OI(out[0]);
}

TEST(HttpFramer, LargeBodyIsDeliveredInItsOwnBufferAndTheBufferShrinksBack) {
    HttpFramer f;
    const std::string head = "P\r\nContent-Length: 100000\r\n\r\n";
    Messages out;
    ASSERT_EQ(f.feed(head.data(), head.size(), out), 1);
    EXPECT_GE(f.capacity(), head.size() + 100000);
    std::string body(100000, 'z');
    ASSERT_EQ(f.feed(body.data(), body.size(), out), 1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->lenth, head.size() + body.size());
    EXPECT_EQ(f.capacity(), HttpFramer::kChunk);
    kx_String_delete__OI(out[0]);
}

std::string head8(uint32_t word0, uint32_t length) {
    std::string h(8, '\0');
    for (int i = 0; i < 4; ++i) {
        h[i] = static_cast<char>(word0 >> (8 * i));
        h[4 + i] = static_cast<char>(length >> (8 * i));
    }
    return h;
}

struct StdCase {
    const char *name;
    StandardFramer::Kind kind;
    std::string input;
    std::vector<std::string> messages;
    int result;
};

std::vector<StdCase> standard_cases() {
    using K = StandardFramer;
    return {
        {"Payload", K::standard, head8(0x16, 3) + "abc" + head8(2, 0), {head8(0x16, 3) + "abc", head8(2, 0)}, 1},
        {"Whole", K::standard2, head8(1, 11) + "xyz" + head8(1, 8), {head8(1, 11) + "xyz", head8(1, 8)}, 1},
        {"WholeBelowTheHead", K::standard2, head8(1, 7) + "x", {}, kx::pool::kFrameLengthTooShort},
        {"PayloadAboveTheCap", K::standard, head8(1, 4096) + "x", {}, kx::pool::kFrameLengthTooLong},
        {"WholeAboveTheCap", K::standard2, head8(1, 0xFFFFFFFFu), {}, kx::pool::kFrameLengthTooLong},
        {"PartialHead", K::standard, head8(1, 3).substr(0, 5), {}, 1},
    };
}

class StandardFraming : public ::testing::TestWithParam<StdCase> {};

TEST_P(StandardFraming, SameCutInEveryChunkSize) {
    const StdCase &c = GetParam();
    Limits limits;
    limits.maxMessage = 1024;
    for (size_t chunk : kChunks) {
        SCOPED_TRACE(chunk);
        StandardFramer f(8, c.kind, limits);
        Cut cut = run(f, c.input, chunk, false);
        EXPECT_EQ(cut.result, c.result);
        EXPECT_EQ(cut.messages, c.messages);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StandardFraming, ::testing::ValuesIn(standard_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// A caller's length function over a 2-byte head holding the body length.
int two_byte_length(void *context, const uint8_t *head, size_t headLength, kx_String **message) {
    ++*static_cast<int *>(context);
    if (headLength != 2 || head[0] == 0xFF) return -3;
    *message = kx_String_new__IO(2u + head[0]);
    return 1;
}

TEST(StandardFramer, CallersLengthFunctionDecidesAndCanRefuse) {
    int calls = 0;
    StandardFramer f(2, StandardFramer::custom);
    f.setLengthFn(two_byte_length, &calls);
    Cut c = run(f, "\x03\x00" "abc" "\x00\x00"s "\xFF\x00"s, 1, false);
    EXPECT_EQ(c.messages, (std::vector<std::string>{"\x03\x00" "abc"s, "\x00\x00"s}));
    EXPECT_EQ(c.result, kx::pool::kFrameLengthRefused);
    EXPECT_EQ(f.lengthResult(), -3);
    EXPECT_EQ(calls, 3);
}

}  // namespace
