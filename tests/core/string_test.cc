// Counted strings: records and files, search and comparison, number/address checks, INI lookup,
// base64, digests, encoding detection, hex output and the formatter.
// KX_THREADED: the concurrent first use of the base64 tables also runs under ThreadSanitizer.
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/global.h"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "tests/support/stdout_capture.hpp"

namespace {

const char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string str(const kx_String *s) { return s ? std::string(s->buffer ? s->buffer : "", s->lenth) : "<null>"; }

// Owns a kx_String for the duration of a test.
struct Owned {
    kx_String *s;
    explicit Owned(kx_String *p) : s(p) {}
    ~Owned() { kx_String_delete__OI(s); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    kx_String *operator->() const { return s; }
    explicit operator bool() const { return s != nullptr; }
};

// Independent reference: plain bit-by-bit base64 without padding.
std::string ref_base64(const std::string &in, const char *alphabet) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (unsigned char c : in) {
        acc = acc << 8 | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += alphabet[(acc >> bits) & 63];
        }
    }
    if (bits > 0) out += alphabet[(acc << (6 - bits)) & 63];
    return out;
}

// Names of the global parameter records, in list order.
std::vector<std::pair<std::string, unsigned>> registered() {
    std::vector<std::pair<std::string, unsigned>> out;
    pthread_mutex_lock(&globalParameterMutex);
    if (globalParameterList != nullptr) {
        for (uint32_t i = 0; i < globalParameterList->count; ++i) {
            auto *r = static_cast<kx_globalParameter *>(globalParameterList->array[globalParameterList->start + i]);
            unsigned n = r->n & 0xFF;
            const char *name = reinterpret_cast<const char *>(reinterpret_cast<void **>(r + 1) + n);
            out.emplace_back(name, n);
        }
    }
    pthread_mutex_unlock(&globalParameterMutex);
    return out;
}

using kxtest::read_stream;

std::string temp_path(const char *name) {
    return std::string(::testing::TempDir()) + "kx_string_" + std::to_string(getpid()) + "_" + name;
}

// ---------------------------------------------------------------- base64

TEST(StringBase64, ConcurrentFirstUseRegistersEachTableOnce) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            Owned e(kx_String_buffer_encode_by_base64__IO(3, "abc"));
            Owned d(kx_String_decode_from_base64_from_string__IO(4, "YWJj"));
            EXPECT_EQ(str(e.s), "YWJj");
            EXPECT_EQ(str(d.s), "abc");
        });
    for (auto &t : threads) t.join();
    int enc = 0, dec = 0;
    for (auto &[name, n] : registered()) {
        if (name == "base64EncodeTable") {
            ++enc;
            EXPECT_EQ(n, 2u);
        }
        if (name == "base64DecodeTable") {
            ++dec;
            EXPECT_EQ(n, 4u);
        }
    }
    EXPECT_EQ(enc, 1);
    EXPECT_EQ(dec, 1);
}

TEST(StringBase64, EncodeVectorsWithoutPadding) {
    struct Case {
        std::string in, out;
    } cases[] = {{"", ""},           {"f", "Zg"},          {"fo", "Zm8"},           {"foo", "Zm9v"},
                 {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
                 {"ab", "YWI"},      {"\xFF", "/w"},       {"\xFB\xFF", "+/8"},     {std::string("\0\0\0", 3), "AAAA"}};
    for (const Case &c : cases) {
        auto n = static_cast<uint32_t>(c.in.size());
        Owned a(kx_String_buffer_encode_by_base64__IO(n, c.in.data()));
        EXPECT_EQ(str(a.s), c.out) << c.out;
        char buf[32];
        memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(kx_String_buffer_encode_by_base64(buf, n, c.in.data()), static_cast<long>(c.out.size()));
        EXPECT_EQ(std::string(buf), c.out);  // NUL-terminated
        kx_String rec{const_cast<char *>(c.in.data()), n};
        Owned b(kx_String_encode_by_base64__IO(&rec));
        EXPECT_EQ(str(b.s), c.out);
        Owned d(kx_String_encode_by_base64_custom__IO(&rec, kStd));
        EXPECT_EQ(str(d.s), c.out);
    }
}

TEST(StringBase64, DecodeAcceptsPaddingAndRejectsBadInput) {
    struct Case {
        const char *in;
        const char *out;  // null: must fail
    } cases[] = {{"YWI", "ab"},      {"YWI=", "ab"},    {"YWI==", "ab"},  {"YWJj", "abc"},  {"Zg", "f"},
                 {"Zg==", "f"},      {"/w", "\xFF"},    {"YWJj\n", "abc"}, {"", nullptr},    {"Y", nullptr},
                 {"YWJjZ", nullptr}, {"=", nullptr},    {"Y=", nullptr},  {"Y==", nullptr}, {"YW!j", nullptr},
                 {"YWI===", nullptr}, {"Y\x80Jj", nullptr}, {"====", nullptr}};
    for (const Case &c : cases) {
        auto n = static_cast<uint32_t>(strlen(c.in));
        Owned s(kx_String_decode_from_base64_from_string__IO(n, c.in));
        char buf[16];
        long len = kx_String_buffer_decode_from_base64(buf, n, c.in);
        Owned cs(kx_String_decode_from_base64_custom__IO(n, c.in, kStd));
        if (c.out == nullptr) {
            EXPECT_EQ(s.s, nullptr) << c.in;
            EXPECT_EQ(len, -1) << c.in;
            EXPECT_EQ(cs.s, nullptr) << c.in;
        } else {
            EXPECT_EQ(str(s.s), c.out) << c.in;
            EXPECT_EQ(s->buffer[s->lenth], '\0');
            ASSERT_EQ(len, static_cast<long>(strlen(c.out))) << c.in;
            EXPECT_EQ(std::string(buf, static_cast<size_t>(len) + 1), std::string(c.out, strlen(c.out) + 1));
            EXPECT_EQ(str(cs.s), c.out) << c.in;
        }
    }
}

TEST(StringBase64, RandomRoundTripStandardAndCustomAlphabet) {
    std::string custom(kStd);
    std::mt19937 rng(12345);
    std::shuffle(custom.begin(), custom.end(), rng);
    for (uint32_t n = 0; n <= 300; ++n) {
        std::string data(n, '\0');
        for (char &c : data) c = static_cast<char>(rng());
        Owned e(kx_String_buffer_encode_by_base64__IO(n, data.data()));
        ASSERT_TRUE(e);
        ASSERT_EQ(str(e.s), ref_base64(data, kStd)) << n;
        EXPECT_EQ(e->lenth, 4 * (n / 3) + (n % 3 ? n % 3 + 1 : 0));
        Owned ce(kx_String_encode_by_base64_custom_from_string__IO(n, data.data(), custom.c_str()));
        ASSERT_EQ(str(ce.s), ref_base64(data, custom.c_str())) << n;
        if (n == 0) continue;  // an empty text does not decode (fewer than 2 characters)
        Owned d(kx_String_decode_from_base64__IO(e.s));
        EXPECT_EQ(str(d.s), data) << n;
        std::vector<char> out(3 * (ce->lenth / 4) + 3);
        long len = kx_String_decode_from_base64_custom(out.data(), ce->lenth, ce->buffer, custom.c_str());
        ASSERT_EQ(len, static_cast<long>(n));
        EXPECT_EQ(std::string(out.data(), n), data);
    }
}

TEST(StringBase64, CustomAlphabetMustBe64DistinctCharacters) {
    std::string dup(kStd);
    dup[10] = dup[11];
    const char *bad[] = {nullptr, "ABC", dup.c_str()};
    for (const char *alphabet : bad) {
        char buf[16];
        EXPECT_EQ(kx_String_buffer_encode_by_base64_custom_from_string(buf, 3, "abc", alphabet), -1);
        EXPECT_EQ(kx_String_encode_by_base64_custom_from_string__IO(3, "abc", alphabet), nullptr);
        EXPECT_EQ(kx_String_decode_from_base64_custom(buf, 4, "YWJj", alphabet), -1);
        EXPECT_EQ(kx_String_decode_from_base64_custom__IO(4, "YWJj", alphabet), nullptr);
    }
}

TEST(StringBase64, ResultsBeyond32BitsAreRefusedBeforeReading) {
    // 4 * (UINT32_MAX / 3) characters do not fit a 32-bit length; the input is never touched.
    const char one = 'x';
    char out[8];
    EXPECT_EQ(kx_String_buffer_encode_by_base64(out, UINT32_MAX, &one), -1);
    EXPECT_EQ(kx_String_buffer_encode_by_base64__IO(UINT32_MAX, &one), nullptr);
    EXPECT_EQ(kx_String_buffer_encode_by_base64_custom_from_string(out, UINT32_MAX, &one, kStd), -1);
}

TEST(StringBase64, OutWritesTheTextAcrossChunks) {
    std::string data(10000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kx_String_buffer_out(static_cast<uint32_t>(data.size()), data.data(), f), 1);
    EXPECT_EQ(read_stream(f), ref_base64(data, kStd));
    fclose(f);
    kx_String rec{const_cast<char *>("ab"), 2};
    f = tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kx_String_out(&rec, f), 1);
    EXPECT_EQ(read_stream(f), "YWI");
    fclose(f);
}

// ---------------------------------------------------------------- digests

TEST(StringDigest, Md5KnownVectors) {
    struct Case {
        std::string in;
        const char *hex;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const Case &c : cases) {
        auto n = static_cast<uint32_t>(c.in.size());
        char *lower = kx_String_buffer_md5sum_string__IO(n, c.in.data(), 0);
        EXPECT_STREQ(lower, c.hex);
        free(lower);
        std::string upper(c.hex);
        for (char &ch : upper) ch = static_cast<char>(toupper(ch));
        kx_String rec{const_cast<char *>(c.in.data()), n};
        char *up = kx_String_md5sum_string__IO(&rec, 1);
        EXPECT_STREQ(up, upper.c_str());
        free(up);
        char out[33] = {1};  // the first byte asks for upper case
        out[32] = 'Z';
        kx_String_buffer_md5sum_string(out, n, c.in.data());
        EXPECT_EQ(std::string(out, 33), upper + "Z");  // exactly 32 characters written
        out[0] = 0;
        kx_String_buffer_md5sum_string(out, n, c.in.data());
        EXPECT_EQ(std::string(out, 32), c.hex);
        unsigned char *digest = kx_String_buffer_md5sum__IO(n, c.in.data());
        unsigned char viaRecord[16];
        kx_String_md5sum(viaRecord, &rec);
        char hex[33];
        for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        EXPECT_STREQ(hex, c.hex);
        EXPECT_EQ(memcmp(digest, viaRecord, 16), 0);
        free(digest);
    }
}

TEST(StringDigest, Crc32AndXorWordSum) {
    EXPECT_EQ(kx_String_buffer_crc("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(kx_String_buffer_crc("", 0), 0u);
    EXPECT_EQ(kx_String_buffer_crc("a", 1), 0xE8B7BE43u);
    EXPECT_EQ(kx_String_buffer_crc("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
    struct Case {
        std::string in;
        uint32_t sum;
    } sums[] = {{"", 0},
                {"\x01", 0x01},
                {"\x01\x02\x03\x04", 0x04030201},
                {"\x01\x02\x03\x04\x05", 0x05040303},
                {"\x01\x02\x03\x04\x05\x06", 0x06050602},
                {"\x01\x02\x03\x04\x05\x06\x07\x08", 0x0C040404},
                {"\x10\x20\x30\x01\x02\x03\x04", 0x04332211}};
    for (const Case &c : sums)
        EXPECT_EQ(kx_String_buffer_intSum(static_cast<uint32_t>(c.in.size()), c.in.data()), c.sum) << c.in.size();
}

// ---------------------------------------------------------------- encoding

TEST(StringEncoding, CheckCode) {
    struct Case {
        std::string in;
        int code;
    } cases[] = {
        {"", 1},
        {"plain ascii", 1},
        {"a\xE2\x82\xAC" "b", 2},            // 3-byte sequence, then a lead byte
        {"\xE2\x82\xAC", 2},                 // 3-byte sequence at the end
        {"caf\xC3\xA9", 0},                  // only 2-byte sequences
        {"\xC3\xA9\xC3\xA9", 0},
        {"\x80", 3},                         // continuation where a lead is expected
        {"\xE2\x82", 3},                     // cut short
        {"\xC3" "A", 3},                     // bad continuation
        {"\xFF" "a", 3},
        {"\xFC\x80\x80\x80\x80\x80", 3},     // 0xFC is not a lead for detection
        {"\xF0\x9F\x98\x80", 2},
        {"\xE2\x82\xAC\x80", 3},             // after a long sequence, an invalid lead byte
    };
    for (const Case &c : cases) {
        // Exact-size heap copy: reading past the end is caught by AddressSanitizer.
        std::unique_ptr<char[]> exact(new char[c.in.size() + 1]);
        memcpy(exact.get(), c.in.data(), c.in.size());
        EXPECT_EQ(kx_String_buffer_check_code(static_cast<uint32_t>(c.in.size()), exact.get()), c.code)
            << ::testing::PrintToString(c.in);
    }
    kx_String rec{const_cast<char *>("\xE2\x82\xAC"), 3};
    EXPECT_EQ(kx_String_check_code(&rec), 2);
}

TEST(StringEncoding, CharsAndWidth) {
    struct Case {
        std::string in;
        int code;
        uint32_t chars, width;
    } cases[] = {
        {"abc", 0, 3, 3},
        {"abc", 1, 3, 3},
        {"h\xE2\x82\xAC" "llo", 0, 5, 6},
        {"\xF0\x9F\x98\x80\xC3\xA9x", 2, 3, 5},
        {"\xB0\xA1" "a\xC4\xE3", 3, 3, 5},
        {"\xC3\xA9", 2, 1, 2},
        {"\xFC\x80\x80\x80\x80\x80", 2, 1, 2},  // six-byte lead when counting
    };
    for (const Case &c : cases) {
        std::unique_ptr<char[]> exact(new char[c.in.size()]);
        memcpy(exact.get(), c.in.data(), c.in.size());
        auto n = static_cast<uint32_t>(c.in.size());
        EXPECT_EQ(kx_String_buffer_get_chars(n, exact.get(), c.code), c.chars) << c.in;
        EXPECT_EQ(kx_String_buffer_get_chars_width(n, exact.get(), c.code), c.width) << c.in;
    }
}

TEST(StringEncoding, UndecidedAndCutShortDataGiveZeroWithRecord) {
    struct Case {
        std::string in;
        int code;
        const char *message;
    } cases[] = {
        {"caf\xC3\xA9", 0, "Can not check code,data:\"caf\xC3\xA9\"."},
        {"a\xE2\x82", 2, "Invalid data:\"\xE2\x82\"."},
        {"ab\x80z", 2, "Invalid data:\"\x80z\"."},
        {"a\xB0", 3, "Invalid data:\"\xB0\"."},
    };
    for (const Case &c : cases) {
        std::unique_ptr<char[]> exact(new char[c.in.size()]);
        memcpy(exact.get(), c.in.data(), c.in.size());
        kxtest::StdoutCapture cap;
        EXPECT_EQ(kx_String_buffer_get_chars(static_cast<uint32_t>(c.in.size()), exact.get(), c.code), 0u);
        EXPECT_EQ(kx_String_buffer_get_chars_width(static_cast<uint32_t>(c.in.size()), exact.get(), c.code), 0u);
        std::string out = kxtest::strip_colours(cap.text());
        cap.restore();
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
    }
}

// ---------------------------------------------------------------- numbers, addresses, comparison

TEST(StringCheck, ToLong) {
    struct Case {
        const char *text;
        uint32_t len;  // 0: NUL-terminated
        long value;
    } cases[] = {{"00123", 5, 123},       {"12a", 3, -9},        {"99999999999", 11, -9}, {"2147483648", 10, -9},
                 {"2147483647", 0, 2147483647}, {"0", 1, 0},     {"000", 3, 0},           {"", 0, -9},
                 {"-5", 2, -9},           {"+5", 2, -9},         {" 5", 2, -9},           {"5 ", 2, -9},
                 {"00000000000000123", 0, 123}, {"12345", 2, 12}, {"4294967296", 10, -9}, {"42", 0, 42}};
    for (const Case &c : cases) EXPECT_EQ(kx_String_to_long(c.len, c.text, -9), c.value) << c.text;
    std::string longZeros(300, '0');
    EXPECT_EQ(kx_String_to_long(300, longZeros.c_str(), -9), -9);  // beyond 255 characters
}

TEST(StringCheck, IsDigitAndIsIPv4) {
    EXPECT_EQ(kx_String_buffer_isDigit(0, ""), 1);
    EXPECT_EQ(kx_String_buffer_isDigit(4, "0129"), 1);
    EXPECT_EQ(kx_String_buffer_isDigit(3, "1a2"), -1);
    EXPECT_EQ(kx_String_buffer_isDigit(2, "1/"), -1);
    std::string digits(256, '1');
    EXPECT_EQ(kx_String_buffer_isDigit(256, digits.c_str()), -1);
    struct Case {
        const char *text;
        int result;
    } cases[] = {{"192.168.1.255", 1}, {"0.0.0.0", 1},   {"255.255.255.255", 1}, {"010.1.1.1", 1},
                 {"256.1.1.1", -1},  // every group is an octet (0-255)
                 {"1.2.3.259", -1},
                 {"260.1.1.1", -1},    {"300.1.1.1", -1}, {"1.2.3", -1},          {"1..2.3", -1},
                 {"1.2.3.4.", -1},     {".1.2.3", -1},    {"1.2.3.4.5", -1},      {"1234.1.1.1", -1},
                 {"a.b.c.d", -1},      {"", -1},          {"1.2.3.4 ", -1},       {"1.2.3.-4", -1}};
    for (const Case &c : cases)
        EXPECT_EQ(kx_String_buffer_isIPv4(static_cast<uint32_t>(strlen(c.text)), c.text), c.result) << c.text;
}

TEST(StringCompare, CmpRules) {
    struct Case {
        std::string a, b;
        int result;
    } cases[] = {{"", "", 0},       {"", "a", -1},       {"a", "", 1},         {"ab", "abc", 0},
                 {"abc", "ab", 0},  {"abd", "abc", 1},   {"abc", "abd", -1},   {"abc", "abc", 0},
                 {"\x80", "a", -1}, {"a", "\x80", 1},    {"b", "abc", 1},      {std::string("a\0b", 3), std::string("a\0c", 3), -1}};
    for (const Case &c : cases) {
        EXPECT_EQ(kx_String_buffer_cmp(static_cast<uint32_t>(c.a.size()), c.a.data(), static_cast<uint32_t>(c.b.size()),
                                       c.b.data()),
                  c.result)
            << c.a << " vs " << c.b;
        kx_String a{const_cast<char *>(c.a.data()), static_cast<uint32_t>(c.a.size())};
        kx_String b{const_cast<char *>(c.b.data()), static_cast<uint32_t>(c.b.size())};
        EXPECT_EQ(kx_String_cmp(&a, &b), c.result);
    }
}

TEST(StringSearch, OffsetsAndPrefixes) {
    const std::string hay("abcabc\0xyz", 10);
    auto n = static_cast<uint32_t>(hay.size());
    const char *h = hay.data();
    EXPECT_EQ(kx_String_buffer_indexOf(n, h, 'c'), 2);
    EXPECT_EQ(kx_String_buffer_lastIndexOf(n, h, 'c'), 5);
    EXPECT_EQ(kx_String_buffer_indexOf(n, h, 'z'), 9);  // past the NUL byte
    EXPECT_EQ(kx_String_buffer_indexOf(n, h, 'q'), -1);
    EXPECT_EQ(kx_String_buffer_indexOf(3, h, 'c'), 2);
    EXPECT_EQ(kx_String_buffer_indexOf(2, h, 'c'), -1);  // bounded by the length
    EXPECT_EQ(kx_String_buffer_indexOf_stringBuffer(n, h, 2, "\0x"), 6);
    EXPECT_EQ(kx_String_buffer_indexOf_string(n, h, "bca"), 1);
    EXPECT_EQ(kx_String_buffer_indexOf_string(n, h, "abd"), -1);
    kx_String rec{const_cast<char *>(h), n};
    EXPECT_EQ(kx_String_lastIndexOfString(&rec, "abc"), 3);
    EXPECT_EQ(kx_String_lastIndexOfString(&rec, "xyz!"), -1);
    EXPECT_EQ(kx_String_buffer_posOf_buffer(n, h, 3, "xyz"), h + 7);
    EXPECT_EQ(kx_String_buffer_posOf_string(n, h, "cab"), h + 2);
    EXPECT_EQ(kx_String_buffer_posOf_string(5, h, "abc"), h);
    EXPECT_EQ(kx_String_buffer_posOf_string(5, h, "cabc"), nullptr);
    kx_String prefix{const_cast<char *>("abca"), 4};
    EXPECT_EQ(kx_String_buffer_beginWith_by_String(n, h, &prefix), 1);
    EXPECT_EQ(kx_String_buffer_beginWith_by_String(3, h, &prefix), -1);
    EXPECT_EQ(kx_String_buffer_beginWith(n, h, "abc"), 1);
    EXPECT_EQ(kx_String_buffer_beginWith(n, h, "b"), -1);
    EXPECT_EQ(kx_String_beginWith(&rec, "abcab"), 1);
    EXPECT_EQ(kx_String_buffer_endWith(n, h, "yz"), 1);
    EXPECT_EQ(kx_String_buffer_endWith(n, h, "y"), -1);
    EXPECT_EQ(kx_String_buffer_endWith_buffer(n, h, 4, "\0xyz"), 1);
    EXPECT_EQ(kx_String_buffer_endWith_buffer(2, h, 3, "abc"), -1);
}

// ---------------------------------------------------------------- INI

TEST(StringIni, LookupCases) {
    const std::string text =
        "; comment\n"
        "[general]\n"
        "name =x\n"
        "name= alpha  \r\n"
        "empty=\n"
        "port=8080\n"
        "  [net]\n"
        "port=  554\r\n"
        "\n\n"
        "host=cam";  // value at the very end of the data
    struct Case {
        const char *section, *key, *value;  // value null: absent
    } cases[] = {{"general", "name", "alpha"}, {"general", "port", "8080"}, {"net", "port", "554"},
                 {"net", "host", "cam"},       {"general", "empty", nullptr}, {"general", "host", nullptr},
                 {"missing", "port", nullptr}, {"gen", "name", nullptr},      {"general", "nam", nullptr},
                 {"net", "hos", nullptr}};
    for (const Case &c : cases) {
        Owned s(kx_String_new_form_stringBuffer__IO(text.data(), static_cast<uint32_t>(text.size())));
        const char *v = kx_String_ini_get(s.s, c.section, c.key);
        if (c.value == nullptr) {
            EXPECT_EQ(v, nullptr) << c.section << "/" << c.key;
        } else {
            ASSERT_NE(v, nullptr) << c.section << "/" << c.key;
            EXPECT_STREQ(v, c.value);
            EXPECT_GE(v, s->buffer);  // inside the string's own buffer
            EXPECT_LT(v, s->buffer + s->lenth);
        }
    }
}

TEST(StringIni, BoundedByLengthNotByNul) {
    // NUL bytes are skipped like line breaks; the lookup goes on to the real end of the data.
    const std::string text("[a]\0k=1\0[b]\n\0k=2", 16);
    Owned s(kx_String_new_form_stringBuffer__IO(text.data(), static_cast<uint32_t>(text.size())));
    EXPECT_STREQ(kx_String_ini_get(s.s, "b", "k"), "2");
    // A header or value cut off by the length is not read beyond it.
    const char raw[] = "[a]\nk=12345";
    Owned cut(kx_String_new_form_stringBuffer__IO(raw, 8));  // "[a]\nk=12"
    EXPECT_STREQ(kx_String_ini_get(cut.s, "a", "k"), "12");
    Owned open(kx_String_new_form_stringBuffer__IO("[abc", 4));
    EXPECT_EQ(kx_String_ini_get(open.s, "abc", "k"), nullptr);
}

// ---------------------------------------------------------------- output

TEST(StringOutput, HexLayout) {
    struct Case {
        std::string in, out;
    } cases[] = {{"", ""}, {"\x01\xab", "01,ab"}, {std::string("\0", 1), "00"}, {"\xff\x10\x7f", "ff,10,7f"}};
    for (const Case &c : cases) {
        for (auto fn : {kx_String_buffer_out_hex, kx_String_buffer_printf_hex}) {
            FILE *f = tmpfile();
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(fn(static_cast<uint32_t>(c.in.size()), c.in.data(), f), 1);
            EXPECT_EQ(read_stream(f), c.out);
            fclose(f);
        }
    }
    std::string big(1000, '\x5a');
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kx_String_buffer_out_hex(1000, big.data(), f), 1);
    std::string out = read_stream(f);
    fclose(f);
    EXPECT_EQ(out.size(), 1000u * 3 - 1);
    EXPECT_EQ(out.substr(0, 6), "5a,5a,");
}

// ---------------------------------------------------------------- formatter

#define EXPECT_FORMAT_AS_SNPRINTF(fmt, ...)                                     \
    do {                                                                        \
        char ref[256];                                                          \
        int n = snprintf(ref, sizeof ref, fmt, __VA_ARGS__);                    \
        Owned s(kx_String_print__IO(0, 0, fmt, __VA_ARGS__));                   \
        ASSERT_TRUE(s) << fmt;                                                  \
        EXPECT_EQ(std::string(s->buffer, s->lenth), std::string(ref, n)) << fmt; \
        EXPECT_EQ(s->buffer[s->lenth], '\0');                                   \
    } while (0)

TEST(StringFormat, ConversionsMatchSnprintf) {
    EXPECT_FORMAT_AS_SNPRINTF("%d|%5d|%-5d|%05d|%+d|%.3d|%+08d", 42, 42, 42, -42, 42, 7, -3);
    EXPECT_FORMAT_AS_SNPRINTF("%hhd %hd %ld %lld", 300, 70000, LONG_MIN, LLONG_MAX);
    EXPECT_FORMAT_AS_SNPRINTF("%u %hhu %hu %lu %llu", 4000000000u, 257u, 65537u, ULONG_MAX, 1ull << 63);
    EXPECT_FORMAT_AS_SNPRINTF("%x %X %#x %#X %08x %-6x| %llx %hhx", 255u, 255u, 255u, 255u, 0xabcu, 1u,
                              0x1234567890abcdefull, 0x1ffu);
    EXPECT_FORMAT_AS_SNPRINTF("[%c][%-3c][%3c]", 'A', 'b', 'c');
    EXPECT_FORMAT_AS_SNPRINTF("[%s][%.2s][%10s][%-10s][%10.3s]", "hello", "hello", "hi", "hi", "abcdef");
    EXPECT_FORMAT_AS_SNPRINTF("%f %.2f %+.1f %10.3f %-10.1f| %lf %#.0f %010.2f", 3.14159, 2.005, 1.25, -1.5, 9.99,
                              0.1, 3.0, -2.5);
    EXPECT_FORMAT_AS_SNPRINTF("100%% %s%%%d", "x", 5);
    const char *volatile nothing = nullptr;  // hidden from the compiler's null-argument check
    Owned null(kx_String_print__IO(0, 0, "<%s>", nothing));
    EXPECT_EQ(str(null.s), "<(null)>");
    Owned withNul(kx_String_print__IO(0, 0, "a%cb", 0));
    EXPECT_EQ(str(withNul.s), std::string("a\0b", 3));
}

TEST(StringFormat, HeadAndTailRoom) {
    Owned s(kx_String_print__IO(8, 4, "x=%d", 5));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->lenth, 3u);
    EXPECT_EQ(std::string(s->buffer + 8), "x=5");
    for (int i = 0; i < 8; ++i) EXPECT_EQ(s->buffer[i], 0);
    // Head and tail room are writable and a NUL still follows them (AddressSanitizer checks the bounds).
    memset(s->buffer, 'H', 8);
    memset(s->buffer + 8 + 3, 'T', 4);
    EXPECT_EQ(s->buffer[8 + 3 + 4], '\0');
    EXPECT_EQ(std::string(s->buffer), "HHHHHHHHx=5TTTT");
}

TEST(StringFormat, FormatWithoutPercentGivesEmptyText) {
    kxtest::StdoutCapture cap;
    Owned s(kx_String_print__IO(2, 1, "plain"));
    std::string out = cap.text();
    cap.restore();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->lenth, 0u);
    EXPECT_EQ(s->buffer[2], '\0');
    EXPECT_NE(out.find("(kx_String_vprint__IO)--parameterCount==0.\n"), std::string::npos) << out;
}

TEST(StringFormat, BadFormatsGiveNullWithShortRecord) {
    struct Case {
        const char *format, *message;
    } cases[] = {
        {"a%qb", "Unkown type:q,format:\"a%qb\"."},
        {"%p", "Unkown type:p,format:\"%p\"."},
        {"%n", "Unkown type:n,format:\"%n\"."},
        {"%i", "Unkown type:i,format:\"%i\"."},
        {"%e", "Unkown type:e,format:\"%e\"."},
        {"abc%5", "Invalid format:\"abc%5\",i=5."},
        {"%", "Invalid format:\"%\",i=1."},
        {"%--d", "Invalid format:\"%--d\" at'-',i=2."},
        {"%99999999999d", "Invalid format:\"%99999999999d\" at'9',i=10."},
        {"%hhhd", "Invalid format:\"%hhhd\" after 'h',i=3."},
        {"%.*d", "Invalid format:\"%.*d\" after '.',i=2."},
        {"%*d", "Invalid format:\"%*d\" after '%',i=1."},
        {"%d%Lf", "Invalid format:\"%d%Lf\" after '%',i=3."},
        {"% d", "Invalid format:\"% d\" after '%',i=1."},
        {"%#d", "Check failed,format:\"%#d\"."},
        {"%+s", "Check failed,format:\"%+s\"."},
        {"%05s", "Check failed,format:\"%05s\"."},
        {"%.2c", "Check failed,format:\"%.2c\"."},
        {"%hf", "Check failed,format:\"%hf\"."},
        {"%lc", "Check failed,format:\"%lc\"."},
        {"%lls", "Check failed,format:\"%lls\"."},
    };
    for (const Case &c : cases) {
        const char *format = c.format;  // not a literal: the compiler does not see it
        kxtest::StdoutCapture cap;
        kx_String *s = kx_String_print__IO(0, 0, format, 1, 2, 3);
        std::string out = cap.text();
        cap.restore();
        EXPECT_EQ(s, nullptr) << c.format;
        kx_String_delete__OI(s);
        EXPECT_NE(out.find(std::string("(kx_String_vprint__IO)--") + c.message + "\n"), std::string::npos)
            << c.format << " -> " << out;
    }
}

TEST(StringFormat, ResultsBeyond32BitsAreRefused) {
    kxtest::StdoutCapture cap;
    kx_String *s = kx_String_print__IO(UINT32_MAX, 1, "%d", 1);
    std::string out = cap.text();
    cap.restore();
    EXPECT_EQ(s, nullptr);
    EXPECT_NE(out.find("Error,b=1,format:\"%d\"."), std::string::npos) << out;
}

// ---------------------------------------------------------------- records and files

TEST(StringRecord, CreationCopyAndRelease) {
    Owned empty(kx_String_new__IO(0));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->buffer, nullptr);
    EXPECT_EQ(empty->lenth, 0u);
    Owned five(kx_String_new__IO(5));
    EXPECT_EQ(five->lenth, 5u);
    EXPECT_EQ(five->buffer[5], '\0');
    Owned copy(kx_String_new_form_stringBuffer__IO("a\0b", 3));
    EXPECT_EQ(str(copy.s), std::string("a\0b", 3));
    Owned dup(kx_String_copy__IO(copy.s));
    EXPECT_EQ(str(dup.s), std::string("a\0b", 3));
    EXPECT_NE(dup->buffer, copy->buffer);
    Owned cat(kx_String_cat__IO("foo", "bar"));
    EXPECT_EQ(str(cat.s), "foobar");
    Owned catNull(kx_String_cat__IO(nullptr, "bar"));
    EXPECT_EQ(str(catNull.s), "bar");
    uint32_t pos = 2;
    Owned sub(kx_String_sub__IO(&pos, "abcdef", 3));
    EXPECT_EQ(str(sub.s), "cde");
    EXPECT_EQ(sub->buffer[3], '\0');
    Owned text(kx_String_new_form_string__IO("hello"));
    EXPECT_EQ(str(text.s), "hello");
    char *mine = static_cast<char *>(malloc(4));
    memcpy(mine, "xyz", 4);
    Owned taken(kx_String_new_form_stringBuffer__IO__OI(mine, 3));
    EXPECT_EQ(taken->buffer, mine);

    char *buffer = kx_String_delete__OI__IO(kx_String_new_form_string__IO("keep"));
    EXPECT_STREQ(buffer, "keep");
    free(buffer);
    EXPECT_EQ(kx_String_delete__OI__IO(kx_String_new_form_string__IO("")), nullptr);

    kx_ObjectList *list = kx_ObjectList_new__IO(4);
    EXPECT_EQ(kx_String_new_form_list__IO(list), nullptr);
    kx_String *parts[] = {kx_String_new_form_string__IO("ab"), kx_String_new__IO(0),
                          kx_String_new_form_stringBuffer__IO("\0c", 2)};
    for (kx_String *p : parts) kx_ObjectList_insert_tail(list, p);
    Owned joined(kx_String_new_form_list__IO(list));
    EXPECT_EQ(str(joined.s), std::string("ab\0c", 4));
    for (kx_String *p : parts) kx_String_delete__OI(p);
    kx_ObjectList_delete__OI(list);
    EXPECT_EQ(kx_String_test(), 1);
}

TEST(StringFile, SaveAndReadRoundTrip) {
    const std::string path = temp_path("roundtrip");
    const std::string data("bin\0ary\xff data", 14);
    kx_String rec{const_cast<char *>(data.data()), static_cast<uint32_t>(data.size())};
    ASSERT_EQ(kx_String_save_to_file(&rec, path.c_str()), 1);
    Owned back(kx_String_new_form_file__IO(path.c_str()));
    EXPECT_EQ(str(back.s), data);
    Owned roomy(kx_String_new_form_file_custom__IO(path.c_str(), 3, 2));
    ASSERT_TRUE(roomy);
    EXPECT_EQ(roomy->lenth, 3 + data.size() + 2);
    EXPECT_EQ(std::string(roomy->buffer, roomy->lenth), std::string(3, '\0') + data + std::string(2, '\0'));
    EXPECT_EQ(roomy->buffer[roomy->lenth], '\0');
    kx_String empty{nullptr, 0};
    EXPECT_EQ(kx_String_save_to_file(&empty, path.c_str()), 0);
    ASSERT_EQ(kx_String_buffer_save_to_file(0, "", path.c_str()), 1);
    Owned none(kx_String_new_form_file__IO(path.c_str()));
    ASSERT_TRUE(none);
    EXPECT_EQ(none->lenth, 0u);
    unlink(path.c_str());
    // A file whose size the system does not report up front.
    Owned status(kx_String_new_form_file__IO("/proc/self/status"));
    ASSERT_TRUE(status);
    EXPECT_NE(std::string(status->buffer, status->lenth).find("Pid:"), std::string::npos);
}

TEST(StringFile, FailuresAreReported) {
    kxtest::StdoutCapture cap;
    const std::string missing = temp_path("missing/none");
    EXPECT_EQ(kx_String_new_form_file__IO(missing.c_str()), nullptr);
    EXPECT_EQ(kx_String_buffer_save_to_file(3, "abc", missing.c_str()), -1);
    EXPECT_EQ(kx_String_buffer_save_to_file(3, "abc", "/dev/full"), -2);  // the flush fails
    std::string out = kxtest::strip_colours(cap.text());
    cap.restore();
    EXPECT_NE(out.find("Open the file:\"" + missing + "\" error:\"No such file or directory\"."), std::string::npos)
        << out;
    EXPECT_NE(out.find("(kx_String_buffer_save_to_file)--Open the file:\"" + missing + "\" failed."),
              std::string::npos);
    EXPECT_NE(out.find("Write the file:\"/dev/full\" failed."), std::string::npos);
}

}  // namespace
