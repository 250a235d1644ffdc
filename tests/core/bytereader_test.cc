#include "core/bytereader.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ByteReader, EndianReadsAndBounds) {
    const uint8_t d[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    kx::ByteReader r(d, sizeof d);
    uint16_t a;
    uint32_t b;
    uint64_t c;
    ASSERT_TRUE(r.be16(&a));
    EXPECT_EQ(a, 0x0102);
    ASSERT_TRUE(r.le32(&b));
    EXPECT_EQ(b, 0x06050403u);
    EXPECT_EQ(r.remaining(), 3u);
    // A read that does not fit leaves the position and fails the reader.
    EXPECT_FALSE(r.be32(&b));
    EXPECT_EQ(r.pos(), 6u);
    EXPECT_FALSE(r.ok());
    ASSERT_TRUE(r.beN(&c, 3));
    EXPECT_EQ(c, 0x070809u);
    EXPECT_TRUE(r.empty());
    EXPECT_FALSE(r.skip(1));
    EXPECT_EQ(r.bytes(1), nullptr);
}

TEST(ByteReader, SkipAndSubNeverPassTheEnd) {
    std::vector<uint8_t> d(10, 0xAA);
    kx::ByteReader r(d.data(), d.size());
    EXPECT_FALSE(r.skip(uint64_t(1) << 40));  // a length that would wrap a 32-bit position
    EXPECT_EQ(r.pos(), 0u);
    kx::ByteReader s = r.sub(4);
    EXPECT_TRUE(s.ok());
    EXPECT_EQ(s.size(), 4u);
    EXPECT_EQ(r.pos(), 4u);
    kx::ByteReader bad = r.sub(7);
    EXPECT_FALSE(bad.ok());
    EXPECT_EQ(bad.size(), 0u);
    EXPECT_EQ(r.pos(), 4u);
    EXPECT_FALSE(r.seek(11));
    EXPECT_TRUE(r.seek(10));
}

struct VintCase {
    std::vector<uint8_t> bytes;
    bool ok;
    uint64_t size;
    size_t length;
};

TEST(ByteReader, EbmlSizes) {
    const VintCase cases[] = {
        {{0x81}, true, 1, 1},
        {{0x40, 0x02}, true, 2, 2},
        {{0x10, 0x00, 0x00, 0x05}, true, 5, 4},
        {{0xFF}, true, kx::ByteReader::kUnknownSize, 1},
        {{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true, kx::ByteReader::kUnknownSize, 8},
        {{0x01, 0, 0, 0, 0, 0, 0, 0x07}, true, 7, 8},
        {{0x00, 0x81}, false, 0, 0},  // no marker in the first byte
        {{0x20, 0x00}, false, 0, 0},  // three bytes announced, two there
        {{}, false, 0, 0},
    };
    for (const auto &c : cases) {
        kx::ByteReader r(c.bytes.data(), c.bytes.size());
        uint64_t v = 0;
        size_t len = 0;
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        ASSERT_EQ(r.ebmlSize(&v, &len), c.ok);
        if (c.ok) {
            EXPECT_EQ(v, c.size);
            EXPECT_EQ(len, c.length);
        } else {
            EXPECT_EQ(r.pos(), 0u);
        }
    }
}

TEST(ByteReader, EbmlIdsKeepTheMarkerAndStopAtFourBytes) {
    const uint8_t head[] = {0x1A, 0x45, 0xDF, 0xA3};
    kx::ByteReader r(head, sizeof head);
    uint32_t id = 0;
    ASSERT_TRUE(r.ebmlId(&id));
    EXPECT_EQ(id, 0x1A45DFA3u);
    const uint8_t five[] = {0x08, 1, 2, 3, 4};
    kx::ByteReader r5(five, sizeof five);
    EXPECT_FALSE(r5.ebmlId(&id));
}

}  // namespace
