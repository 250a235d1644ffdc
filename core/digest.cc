// MD5 (RFC 1321), CRC-32 of IEEE 802.3 and the XOR word sum.
#include <stdlib.h>
#include <string.h>

#include <array>

#include "kx/string.h"

namespace {

// ---- MD5 ----

struct Md5 {
    uint32_t state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    uint64_t bytes = 0;
    unsigned char block[64];
    size_t used = 0;

    static uint32_t rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

    void transform(const unsigned char *p) {
        static constexpr uint32_t K[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
            0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
            0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
            0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
            0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
            0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
            0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
        static constexpr int S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                      5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                      4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                      6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
        uint32_t m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = static_cast<uint32_t>(p[4 * i]) | static_cast<uint32_t>(p[4 * i + 1]) << 8 |
                   static_cast<uint32_t>(p[4 * i + 2]) << 16 | static_cast<uint32_t>(p[4 * i + 3]) << 24;
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t next = d;
            d = c;
            c = b;
            b = b + rotl(a + f + K[i] + m[g], S[i]);
            a = next;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
    }

    void update(const unsigned char *p, size_t n) {
        bytes += n;
        if (used > 0) {
            size_t take = 64 - used < n ? 64 - used : n;
            memcpy(block + used, p, take);
            used += take;
            p += take;
            n -= take;
            if (used < 64) return;
            transform(block);
            used = 0;
        }
        for (; n >= 64; p += 64, n -= 64) transform(p);
        if (n > 0) {
            memcpy(block, p, n);
            used = n;
        }
    }

    void finish(unsigned char digest[16]) {
        uint64_t bits = bytes * 8;
        static const unsigned char pad[64] = {0x80};
        size_t padLen = used < 56 ? 56 - used : 120 - used;
        update(pad, padLen);
        unsigned char length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (8 * i));
        update(length, 8);
        for (int i = 0; i < 4; ++i)
            for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<unsigned char>(state[i] >> (8 * k));
    }
};

void hex32(char out[32], const unsigned char digest[16], bool upper) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = digits[digest[i] >> 4];
        out[2 * i + 1] = digits[digest[i] & 15];
    }
}

// ---- CRC-32: reflected polynomial 0xEDB88320, table computed at compile time ----

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du);

}  // namespace

extern "C" {

void kx_String_buffer_md5sum(unsigned char digest[16], uint32_t lenth, const void *bytes) {
    if (digest == nullptr) return;
    Md5 md5;
    if (bytes != nullptr) md5.update(static_cast<const unsigned char *>(bytes), lenth);
    md5.finish(digest);
}

unsigned char *kx_String_buffer_md5sum__IO(uint32_t lenth, const void *bytes) {
    auto *digest = static_cast<unsigned char *>(malloc(16));
    if (digest != nullptr) kx_String_buffer_md5sum(digest, lenth, bytes);
    return digest;
}

void kx_String_md5sum(unsigned char digest[16], const kx_String *string) {
    kx_String_buffer_md5sum(digest, string ? string->lenth : 0, string ? string->buffer : nullptr);
}

void kx_String_buffer_md5sum_string(char out[32], uint32_t lenth, const void *bytes) {
    if (out == nullptr) return;
    bool upper = out[0] == 1;
    unsigned char digest[16];
    kx_String_buffer_md5sum(digest, lenth, bytes);
    hex32(out, digest, upper);
}

char *kx_String_buffer_md5sum_string__IO(uint32_t lenth, const void *bytes, unsigned char upper) {
    auto *text = static_cast<char *>(malloc(33));
    if (text == nullptr) return nullptr;
    unsigned char digest[16];
    kx_String_buffer_md5sum(digest, lenth, bytes);
    hex32(text, digest, upper == 1);
    text[32] = '\0';
    return text;
}

char *kx_String_md5sum_string__IO(const kx_String *string, unsigned char upper) {
    return kx_String_buffer_md5sum_string__IO(string ? string->lenth : 0, string ? string->buffer : nullptr, upper);
}

uint32_t kx_String_buffer_crc(const void *bytes, uint32_t lenth) {
    uint32_t c = 0xFFFFFFFFu;
    if (bytes != nullptr) {
        const auto *p = static_cast<const unsigned char *>(bytes);
        for (uint32_t i = 0; i < lenth; ++i) c = kCrcTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    }
    return ~c;
}

uint32_t kx_String_buffer_intSum(uint32_t lenth, const void *bytes) {
    if (bytes == nullptr) return 0;
    const auto *p = static_cast<const unsigned char *>(bytes);
    uint32_t head = lenth % 4, sum = 0;
    for (uint32_t i = 0; i < head; ++i) sum |= static_cast<uint32_t>(p[i]) << (8 * i);
    for (size_t i = head; i + 4 <= lenth; i += 4)
        sum ^= static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) << 8 |
               static_cast<uint32_t>(p[i + 2]) << 16 | static_cast<uint32_t>(p[i + 3]) << 24;
    return sum;
}

}  // extern "C"
