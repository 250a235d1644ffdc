// String builder: owned and borrowed pieces, joins in order, in reverse, by part, scrambled,
// stream output and files.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/stringbuilder.h"
#include "tests/support/stdout_capture.hpp"

namespace {

std::string take(kx_String *s) {
    if (s == nullptr) return "<null>";
    std::string out(s->buffer, s->lenth);
    kx_String_delete__OI(s);
    return out;
}

using kxtest::read_stream;

// Independent model of the scrambled join: pieces high..low, key bytes mixed with the total.
std::string reference_scramble(const std::vector<std::string> &pieces, uint32_t total, const std::string &key,
                               uint32_t low, uint32_t high, unsigned char *check) {
    std::vector<unsigned char> wk;
    uint32_t r = total;
    for (char k : key) {
        wk.push_back(static_cast<unsigned char>(k) ^ static_cast<unsigned char>(r));
        r >>= 8;
        if (r == 0) r = total;
    }
    std::string out;
    size_t i = 0;
    *check = 0;
    for (uint32_t p = high + 1; p-- > low;)
        for (char c : pieces[p]) {
            *check ^= static_cast<unsigned char>(c);
            out += static_cast<char>(static_cast<unsigned char>(c) ^ wk[i++ % wk.size()]);
        }
    return out;
}

// One piece of each kind: copied text, copied bytes, borrowed text, borrowed bytes, record.
class Builder : public ::testing::Test {
protected:
    void SetUp() override {
        b = kx_StringBuilder_new__IO();
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(kx_StringBuilder_apend(b, "ab"), 1);
        ASSERT_EQ(kx_StringBuilder_apend_string(b, 3, "c\0d"), 1);
        ASSERT_EQ(kx_StringBuilder_apend(b, ""), 1);
        ASSERT_EQ(kx_StringBuilder_apend__OI_2(b, borrowedText), 1);
        ASSERT_EQ(zr7ee_StringBuilder_apend_String__OI_3(b, 2, borrowedBytes), 1);
        ASSERT_EQ(kx_StringBuilder_apend_String__OI_2(b, kx_String_new_form_string__IO("rst")), 1);
        pieces = {"ab", std::string("c\0d", 3), "", "q", "XY", "rst"};
    }
    void TearDown() override { kx_StringBuilder_delete__OI(b); }

    // Borrowed bytes live on the stack/in the fixture: freeing them would be caught by AddressSanitizer.
    char borrowedText[2] = {'q', '\0'};
    char borrowedBytes[4] = {'X', 'Y', 'Z', '\0'};
    kx_StringBuilder *b = nullptr;
    std::vector<std::string> pieces;
};

TEST_F(Builder, JoinsInOrderReverseAndByPart) {
    EXPECT_EQ(b->total, 11u);
    EXPECT_EQ(b->pieces->count, 6u);
    const std::string forward = std::string("abc\0dqXYrst", 11);
    const std::string backward = std::string("rstXYqc\0dab", 11);
    EXPECT_EQ(take(kx_StringBuilder_to_String__IO(b)), forward);
    EXPECT_EQ(take(kx_StringBuilder_to_String_reverse__IO(b)), backward);
    char out[12];
    memset(out, '#', sizeof out);
    EXPECT_EQ(kx_StringBuilder_to_String(b, out), 11u);
    EXPECT_EQ(std::string(out, 12), forward + "#");  // exactly total bytes, no NUL
    EXPECT_EQ(kx_StringBuilder_to_String_reverse(b, out), 11u);
    EXPECT_EQ(std::string(out, 11), backward);
    struct Case {
        uint32_t first, last;
        std::string joined;
    } parts[] = {{1, 4, std::string("c\0dqXY", 6)}, {0, 0, "ab"}, {5, 5, "rst"}, {2, 2, "<null>"},
                 {3, 2, "<null>"},                  {4, 6, "<null>"}};
    for (const Case &c : parts)
        EXPECT_EQ(take(kx_StringBuilder_to_String_part__IO(b->pieces, c.first, c.last)), c.joined)
            << c.first << ".." << c.last;
    // Borrowed pieces really borrow: a change of the caller's bytes shows in the next join.
    borrowedBytes[0] = 'x';
    EXPECT_EQ(take(kx_StringBuilder_to_String__IO(b)), std::string("abc\0dqxYrst", 11));
}

TEST_F(Builder, ScrambledJoinMatchesModelAndUndoesItself) {
    const std::string key = "K3y!";
    struct Range {
        uint32_t low, high;
    } ranges[] = {{0, 5}, {1, 4}, {3, 3}, {5, 5}};
    for (const Range &r : ranges) {
        unsigned char check = 0;
        std::string expected = reference_scramble(pieces, b->total, key, r.low, r.high, &check);
        std::vector<char> out(b->total + 1, '#');
        EXPECT_EQ(kx_StringBuilder_to_String_encryption_reverse(b, out.data(), key.c_str(), r.low, r.high),
                  static_cast<long>(expected.size()));
        EXPECT_EQ(std::string(out.data(), expected.size()), expected);
        EXPECT_EQ(kx_StringBuilder_to_String_encryption_reverse_get_sourceCheck(b, out.data(), key.c_str(), r.low,
                                                                                r.high),
                  check);
        FILE *f = tmpfile();
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(kx_StringBuilder_out_encryption_reverse(b, f, key.c_str(), r.low, r.high), 1);
        EXPECT_EQ(read_stream(f), expected);
        fclose(f);
        f = tmpfile();
        EXPECT_EQ(kx_StringBuilder_out_encryption_reverse_get_sourceCheck(b, f, key.c_str(), r.low, r.high), check);
        EXPECT_EQ(read_stream(f), expected);
        fclose(f);
    }
    // Scrambling the whole output again with a builder of the same total restores the reversed join.
    std::vector<char> once(b->total);
    ASSERT_EQ(kx_StringBuilder_to_String_encryption_reverse(b, once.data(), key.c_str(), 0, 5), 11);
    kx_StringBuilder *again = kx_StringBuilder_new__IO();
    ASSERT_EQ(kx_StringBuilder_apend_string(again, 11, once.data()), 1);
    std::vector<char> twice(11);
    ASSERT_EQ(kx_StringBuilder_to_String_encryption_reverse(again, twice.data(), key.c_str(), 0, 0), 11);
    EXPECT_EQ(std::string(twice.data(), 11), std::string("rstXYqc\0dab", 11));
    kx_StringBuilder_delete__OI(again);
}

TEST(StringBuilder, ScrambleKeyUsesEveryByteOfTheTotal) {
    // total 0x0203 = 515: the working key mixes in 0x03, 0x02, then starts over from the total.
    kx_StringBuilder *b = kx_StringBuilder_new__IO();
    std::string data(515, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31);
    ASSERT_EQ(kx_StringBuilder_apend_string(b, 200, data.data()), 1);
    ASSERT_EQ(kx_StringBuilder_apend_string(b, 315, data.data() + 200), 1);
    unsigned char check = 0;
    std::string expected =
        reference_scramble({data.substr(0, 200), data.substr(200)}, 515, "abcde", 0, 1, &check);
    EXPECT_EQ(static_cast<unsigned char>(expected[0]), static_cast<unsigned char>(data[200] ^ ('a' ^ 0x03)));
    EXPECT_EQ(static_cast<unsigned char>(expected[2]), static_cast<unsigned char>(data[202] ^ ('c' ^ 0x03)));
    std::vector<char> out(515);
    EXPECT_EQ(kx_StringBuilder_to_String_encryption_reverse(b, out.data(), "abcde", 0, 1), 515);
    EXPECT_EQ(std::string(out.data(), 515), expected);
    kx_StringBuilder_delete__OI(b);
}

TEST_F(Builder, BadArgumentsAreRefused) {
    char out[16];
    struct Case {
        const char *key;
        uint32_t low, high;
    } cases[] = {{"", 0, 5}, {nullptr, 0, 5}, {"k", 3, 2}, {"k", 0, 6}};
    for (const Case &c : cases) {
        EXPECT_EQ(kx_StringBuilder_to_String_encryption_reverse(b, out, c.key, c.low, c.high), -1);
        EXPECT_EQ(kx_StringBuilder_to_String_encryption_reverse_get_sourceCheck(b, out, c.key, c.low, c.high), -1);
        EXPECT_EQ(kx_StringBuilder_out_encryption_reverse(b, stdout, c.key, c.low, c.high), -1);
    }
    EXPECT_EQ(kx_StringBuilder_apend(b, nullptr), -1);
    EXPECT_EQ(kx_StringBuilder_apend_String__OI_2(b, nullptr), -1);
    EXPECT_EQ(zr7ee_StringBuilder_apend_String__OI_3(b, 3, nullptr), -1);
    EXPECT_EQ(b->pieces->count, 6u);
    // A piece that would take the total beyond 32 bits is refused and stays the caller's.
    kx_String huge{borrowedBytes, UINT32_MAX - 5};
    EXPECT_EQ(kx_StringBuilder_apend_String__OI_2(b, &huge), -1);
    EXPECT_EQ(b->total, 11u);
    EXPECT_EQ(b->pieces->count, 6u);
}

TEST_F(Builder, StreamOutputAndFailedWrites) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kx_StringBuilder_out(b, f), 1);
    EXPECT_EQ(read_stream(f), std::string("abc\0dqXYrst", 11));
    fclose(f);
    f = tmpfile();
    EXPECT_EQ(kx_StringBuilder_out_reverse(b, f), 1);
    EXPECT_EQ(read_stream(f), std::string("rstXYqc\0dab", 11));
    fclose(f);
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);  // every write reaches the device and fails there
    EXPECT_EQ(kx_StringBuilder_out(b, full), -2);
    EXPECT_EQ(kx_StringBuilder_out_encryption_reverse(b, full, "k", 0, 5), -2);
    EXPECT_EQ(kx_StringBuilder_out_encryption_reverse_get_sourceCheck(b, full, "k", 0, 5), -2);
    fclose(full);
}

TEST_F(Builder, SaveToFileRoundTrip) {
    const std::string path = std::string(::testing::TempDir()) + "kx_builder_" + std::to_string(getpid());
    ASSERT_EQ(kx_StringBuilder_save_to_file(b, path.c_str()), 1);
    EXPECT_EQ(take(kx_String_new_form_file__IO(path.c_str())), std::string("abc\0dqXYrst", 11));
    ASSERT_EQ(kx_StringBuilder_save_to_file_reverse(b, path.c_str()), 1);
    EXPECT_EQ(take(kx_String_new_form_file__IO(path.c_str())), std::string("rstXYqc\0dab", 11));
    unlink(path.c_str());
    kxtest::StdoutCapture cap;
    EXPECT_EQ(kx_StringBuilder_save_to_file(b, "/dev/full"), -2);  // buffered: the flush fails
    EXPECT_EQ(kx_StringBuilder_save_to_file(b, (path + "/no/such/dir").c_str()), -1);
    std::string out = cap.text();
    cap.restore();
    EXPECT_NE(out.find("Write the file:\"/dev/full\" failed."), std::string::npos) << out;
    EXPECT_NE(out.find("Open the file:\"" + path + "/no/such/dir\" failed."), std::string::npos) << out;
}

TEST(StringBuilder, ManyPiecesAcrossGranulesAndDeleteJoining) {
    kx_StringBuilder *b = kx_StringBuilder_new__IO();
    static const char kDigits[] = "0123456789";
    std::string expected;
    for (int i = 0; i < 700; ++i) {
        const char *digit = kDigits + i % 10;
        if (i % 3 == 0)
            ASSERT_EQ(zr7ee_StringBuilder_apend_String__OI_3(b, 1, digit), 1);  // borrowed
        else if (i % 3 == 1)
            ASSERT_EQ(kx_StringBuilder_apend_string(b, 1, digit), 1);
        else
            ASSERT_EQ(kx_StringBuilder_apend_String__OI_2(b, kx_String_new_form_stringBuffer__IO(digit, 1)), 1);
        expected += *digit;
    }
    EXPECT_EQ(b->total, 700u);
    EXPECT_EQ(take(kx_StringBuilder_to_String_part__IO(b->pieces, 255, 257)), expected.substr(255, 3));
    EXPECT_EQ(take(kx_StringBuilder_delete__IO__OI(b)), expected);  // frees owned pieces only

    kx_StringBuilder *empty = kx_StringBuilder_new__IO();
    EXPECT_EQ(kx_StringBuilder_to_String__IO(empty), nullptr);
    EXPECT_EQ(kx_StringBuilder_to_String_reverse__IO(empty), nullptr);
    EXPECT_EQ(kx_StringBuilder_delete__IO__OI(empty), nullptr);
}

}  // namespace
