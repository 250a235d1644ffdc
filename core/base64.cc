// Base64 without padding. The standard alphabet works on character pairs through 64K-entry
// tables built on first use and registered for release in globalParameterList; a caller's
// alphabet is handled per call with a 256-entry table.
#include <string.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "core/base64.hpp"
#include "core/string_internal.hpp"
#include "kx/global.h"
#include "kx/string.h"

namespace kx::str {
const char kBase64Alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace kx::str

namespace {

using kx::str::kBase64Alphabet;

constexpr uint8_t kInvalid = 0xFF;
constexpr size_t kPairs = 65536;

// Encode pair tables: first[b0 | b1 << 8] holds output characters 1-2 of a group,
// second[b1 | b2 << 8] characters 3-4 (two characters in memory order).
std::atomic<uint16_t *> g_encodeFirst{nullptr};
std::atomic<uint16_t *> g_encodeSecond{nullptr};

// Decode tables: character -> 6-bit value (kInvalid outside the alphabet), and per output byte
// of a group the pair table (values above 255: a character of the pair is invalid).
std::atomic<uint8_t *> g_decodeChar{nullptr};
std::atomic<uint16_t *> g_decodeByte[3];

// globalRelease frees the tables; this record, registered ahead of them, then clears the
// pointers so a later use builds them again instead of reading freed memory.
bool g_forgetRegistered = false;  // guarded by globalParameterMutex

void forget_tables(void *) {
    g_encodeFirst.store(nullptr);
    g_encodeSecond.store(nullptr);
    g_decodeChar.store(nullptr);
    for (auto &t : g_decodeByte) t.store(nullptr);
    g_forgetRegistered = false;
}

// Called with globalParameterMutex held, before a table record is appended.
void register_forget_locked() {
    if (g_forgetRegistered) return;
    kx_globalParameter *record = globalParameter_new_callback__IO("base64Tables", forget_tables, nullptr);
    if (record == nullptr) return;
    globalParameter_append__OI(record);
    g_forgetRegistered = true;
}

uint16_t char_pair(char a, char b) {
    char two[2] = {a, b};
    uint16_t v;
    memcpy(&v, two, 2);
    return v;
}

bool encode_tables(const uint16_t **first, const uint16_t **second) {
    uint16_t *a = g_encodeFirst.load(std::memory_order_acquire);
    if (a == nullptr) {
        pthread_mutex_lock(&globalParameterMutex);
        a = g_encodeFirst.load(std::memory_order_acquire);
        if (a == nullptr) {
            auto *x = static_cast<uint16_t *>(malloc(kPairs * sizeof(uint16_t)));
            auto *y = static_cast<uint16_t *>(malloc(kPairs * sizeof(uint16_t)));
            kx_globalParameter *record = nullptr;
            if (x != nullptr && y != nullptr) {
                for (size_t v = 0; v < kPairs; ++v) {
                    unsigned lo = v & 0xFF, hi = v >> 8;
                    x[v] = char_pair(kBase64Alphabet[lo >> 2], kBase64Alphabet[((lo & 3) << 4) | (hi >> 4)]);
                    y[v] = char_pair(kBase64Alphabet[((lo & 15) << 2) | (hi >> 6)], kBase64Alphabet[hi & 63]);
                }
                void *blocks[2] = {x, y};
                record = globalParameter_new_blocks__IO("base64EncodeTable", 2, blocks);
            }
            if (record == nullptr) {
                free(x);
                free(y);
            } else {
                register_forget_locked();
                globalParameter_append__OI(record);
                g_encodeSecond.store(y, std::memory_order_relaxed);
                g_encodeFirst.store(x, std::memory_order_release);
                a = x;
            }
        }
        pthread_mutex_unlock(&globalParameterMutex);
        if (a == nullptr) return false;
    }
    *first = a;
    *second = g_encodeSecond.load(std::memory_order_relaxed);
    return true;
}

void fill_char_table(uint8_t table[256], const char *alphabet) {
    memset(table, kInvalid, 256);
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<uint8_t>(i);
}

bool decode_tables(const uint8_t **chars, const uint16_t *bytes[3]) {
    uint8_t *c = g_decodeChar.load(std::memory_order_acquire);
    if (c == nullptr) {
        pthread_mutex_lock(&globalParameterMutex);
        c = g_decodeChar.load(std::memory_order_acquire);
        if (c == nullptr) {
            auto *table = static_cast<uint8_t *>(malloc(256));
            uint16_t *pair[3];
            bool ok = table != nullptr;
            for (auto &p : pair) {
                p = static_cast<uint16_t *>(malloc(kPairs * sizeof(uint16_t)));
                ok = ok && p != nullptr;
            }
            kx_globalParameter *record = nullptr;
            if (ok) {
                fill_char_table(table, kBase64Alphabet);
                for (size_t v = 0; v < kPairs; ++v) {
                    uint8_t x = table[v & 0xFF], y = table[v >> 8];
                    if (x == kInvalid || y == kInvalid) {
                        pair[0][v] = pair[1][v] = pair[2][v] = 0x100;
                        continue;
                    }
                    pair[0][v] = static_cast<uint16_t>(((x << 2) | (y >> 4)) & 0xFF);
                    pair[1][v] = static_cast<uint16_t>(((x << 4) | (y >> 2)) & 0xFF);
                    pair[2][v] = static_cast<uint16_t>(((x << 6) | y) & 0xFF);
                }
                void *blocks[4] = {table, pair[0], pair[1], pair[2]};
                record = globalParameter_new_blocks__IO("base64DecodeTable", 4, blocks);
            }
            if (record == nullptr) {
                free(table);
                for (auto *p : pair) free(p);
            } else {
                register_forget_locked();
                globalParameter_append__OI(record);
                for (int k = 0; k < 3; ++k) g_decodeByte[k].store(pair[k], std::memory_order_relaxed);
                g_decodeChar.store(table, std::memory_order_release);
                c = table;
            }
        }
        pthread_mutex_unlock(&globalParameterMutex);
        if (c == nullptr) return false;
    }
    *chars = c;
    for (int k = 0; k < 3; ++k) bytes[k] = g_decodeByte[k].load(std::memory_order_relaxed);
    return true;
}

// Output length of encoding n bytes, or -1 when it would not fit a 32-bit length.
long encoded_length(uint32_t n) {
    size_t len = 4 * (static_cast<size_t>(n) / 3) + (n % 3 == 0 ? 0 : n % 3 + 1);
    return len > UINT32_MAX ? -1 : static_cast<long>(len);
}

long encode_standard(char *out, uint32_t lenth, const void *bytes) {
    long len = encoded_length(lenth);
    if (len < 0 || out == nullptr || (bytes == nullptr && lenth > 0)) return -1;
    const uint16_t *first, *second;
    if (!encode_tables(&first, &second)) return -1;
    const auto *p = static_cast<const unsigned char *>(bytes);
    size_t groups = lenth / 3, rem = lenth % 3;
    char *o = out;
    for (size_t g = 0; g < groups; ++g, p += 3, o += 4) {
        memcpy(o, &first[p[0] | p[1] << 8], 2);
        memcpy(o + 2, &second[p[1] | p[2] << 8], 2);
    }
    if (rem > 0) {
        unsigned b1 = rem == 2 ? p[1] : 0;
        memcpy(o, &first[p[0] | b1 << 8], 2);
        o += 2;
        if (rem == 2) *o++ = kBase64Alphabet[(b1 & 15) << 2];
    }
    *o = '\0';
    return len;
}

// Checks a caller's alphabet (64 distinct non-NUL characters) and builds its character table.
bool custom_table(const char *alphabet, uint8_t table[256]) {
    if (alphabet == nullptr) return false;
    memset(table, kInvalid, 256);
    for (int i = 0; i < 64; ++i) {
        auto c = static_cast<unsigned char>(alphabet[i]);
        if (c == 0 || table[c] != kInvalid) return false;
        table[c] = static_cast<uint8_t>(i);
    }
    return true;
}

long encode_custom(char *out, uint32_t lenth, const void *bytes, const char *alphabet) {
    uint8_t table[256];
    long len = encoded_length(lenth);
    if (len < 0 || out == nullptr || (bytes == nullptr && lenth > 0) || !custom_table(alphabet, table)) return -1;
    const auto *p = static_cast<const unsigned char *>(bytes);
    char *o = out;
    size_t i = 0;
    for (; i + 3 <= lenth; i += 3) {
        uint32_t v = static_cast<uint32_t>(p[i]) << 16 | p[i + 1] << 8 | p[i + 2];
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = alphabet[v & 63];
    }
    if (lenth - i == 1) {
        *o++ = alphabet[p[i] >> 2];
        *o++ = alphabet[(p[i] & 3) << 4];
    } else if (lenth - i == 2) {
        *o++ = alphabet[p[i] >> 2];
        *o++ = alphabet[((p[i] & 3) << 4) | (p[i + 1] >> 4)];
        *o++ = alphabet[(p[i + 1] & 15) << 2];
    }
    *o = '\0';
    return len;
}

// Length of the text left after dropping up to two trailing characters outside the alphabet,
// or -1 when the decode must fail on length alone.
long usable_length(uint32_t lenth, const char *text, const uint8_t *table) {
    if (text == nullptr || lenth < 2) return -1;
    size_t n = lenth;
    if (table[static_cast<unsigned char>(text[n - 1])] == kInvalid) {
        --n;
        if (table[static_cast<unsigned char>(text[n - 1])] == kInvalid) --n;
    }
    if (n < 2 || n % 4 == 1) return -1;
    return static_cast<long>(n);
}

size_t decoded_capacity(uint32_t lenth) { return 3 * (static_cast<size_t>(lenth) / 4) + 2; }

long decode_standard(char *out, uint32_t lenth, const char *text) {
    const uint8_t *chars;
    const uint16_t *pair[3];
    if (out == nullptr || !decode_tables(&chars, pair)) return -1;
    long usable = usable_length(lenth, text, chars);
    if (usable < 0) return -1;
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    size_t n = static_cast<size_t>(usable), groups = n / 4, rem = n % 4;
    char *o = out;
    for (size_t g = 0; g < groups; ++g, t += 4, o += 3) {
        unsigned x = pair[0][t[0] | t[1] << 8], y = pair[1][t[1] | t[2] << 8], z = pair[2][t[2] | t[3] << 8];
        if ((x | y | z) > 0xFF) return -1;
        o[0] = static_cast<char>(x);
        o[1] = static_cast<char>(y);
        o[2] = static_cast<char>(z);
    }
    if (rem >= 2) {
        unsigned x = pair[0][t[0] | t[1] << 8];
        if (x > 0xFF) return -1;
        *o++ = static_cast<char>(x);
        if (rem == 3) {
            unsigned y = pair[1][t[1] | t[2] << 8];
            if (y > 0xFF) return -1;
            *o++ = static_cast<char>(y);
        }
    }
    *o = '\0';
    return static_cast<long>(o - out);
}

long decode_custom(char *out, uint32_t lenth, const char *text, const char *alphabet) {
    uint8_t table[256];
    if (out == nullptr || !custom_table(alphabet, table)) return -1;
    long usable = usable_length(lenth, text, table);
    if (usable < 0) return -1;
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    size_t n = static_cast<size_t>(usable);
    char *o = out;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t v = table[t[i]];
        if (v == kInvalid) return -1;
        acc = (acc << 6 | v) & 0xFFFFFF;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            *o++ = static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    *o = '\0';
    return static_cast<long>(o - out);
}

kx_String *encode_new(uint32_t lenth, const void *bytes, const char *alphabet) {
    long len = encoded_length(lenth);
    if (len < 0 || (bytes == nullptr && lenth > 0)) return nullptr;
    kx_String *s = kx::str::allocate(static_cast<uint32_t>(len));
    if (s == nullptr) return nullptr;
    long written = alphabet == nullptr ? encode_standard(s->buffer, lenth, bytes)
                                       : encode_custom(s->buffer, lenth, bytes, alphabet);
    if (written != len) {
        kx_String_delete__OI(s);
        return nullptr;
    }
    return s;
}

kx_String *decode_new(uint32_t lenth, const char *text, const char *alphabet) {
    if (text == nullptr || lenth < 2) return nullptr;
    kx_String *s = kx::str::allocate(static_cast<uint32_t>(decoded_capacity(lenth)));
    if (s == nullptr) return nullptr;
    long written = alphabet == nullptr ? decode_standard(s->buffer, lenth, text)
                                       : decode_custom(s->buffer, lenth, text, alphabet);
    if (written < 0) {
        kx_String_delete__OI(s);
        return nullptr;
    }
    s->lenth = static_cast<uint32_t>(written);  // the buffer keeps its (larger) capacity
    return s;
}

}  // namespace

extern "C" {

kx_String *kx_String_buffer_encode_by_base64__IO(uint32_t lenth, const void *bytes) {
    return encode_new(lenth, bytes, nullptr);
}

kx_String *kx_String_encode_by_base64__IO(const kx_String *string) {
    if (string == nullptr) return nullptr;
    return encode_new(string->lenth, string->buffer, nullptr);
}

long kx_String_buffer_encode_by_base64(char *out, uint32_t lenth, const void *bytes) {
    return encode_standard(out, lenth, bytes);
}

long kx_String_buffer_encode_by_base64_custom_from_string(char *out, uint32_t lenth, const void *bytes,
                                                          const char *alphabet) {
    return encode_custom(out, lenth, bytes, alphabet);
}

kx_String *kx_String_encode_by_base64_custom_from_string__IO(uint32_t lenth, const void *bytes, const char *alphabet) {
    if (alphabet == nullptr) return nullptr;
    return encode_new(lenth, bytes, alphabet);
}

kx_String *kx_String_encode_by_base64_custom__IO(const kx_String *string, const char *alphabet) {
    if (string == nullptr || alphabet == nullptr) return nullptr;
    return encode_new(string->lenth, string->buffer, alphabet);
}

long kx_String_buffer_decode_from_base64(char *out, uint32_t lenth, const char *text) {
    return decode_standard(out, lenth, text);
}

kx_String *kx_String_decode_from_base64_from_string__IO(uint32_t lenth, const char *text) {
    return decode_new(lenth, text, nullptr);
}

kx_String *kx_String_decode_from_base64__IO(const kx_String *string) {
    if (string == nullptr) return nullptr;
    return decode_new(string->lenth, string->buffer, nullptr);
}

long kx_String_decode_from_base64_custom(char *out, uint32_t lenth, const char *text, const char *alphabet) {
    return decode_custom(out, lenth, text, alphabet);
}

kx_String *kx_String_decode_from_base64_custom__IO(uint32_t lenth, const char *text, const char *alphabet) {
    if (alphabet == nullptr) return nullptr;
    return decode_new(lenth, text, alphabet);
}

int kx_String_buffer_out(uint32_t lenth, const void *bytes, FILE *stream) {
    if (stream == nullptr || (bytes == nullptr && lenth > 0)) return -1;
    // Whole groups per chunk keep the chunked text identical to a single encode.
    constexpr uint32_t kChunk = 3 * 1024;
    char text[4 * (kChunk / 3) + 1];
    const auto *p = static_cast<const unsigned char *>(bytes);
    uint32_t done = 0;
    do {
        uint32_t n = lenth - done < kChunk ? lenth - done : kChunk;
        long len = encode_standard(text, n, p + done);
        if (len < 0) return -1;
        if (!kx::str::write_all(stream, text, static_cast<size_t>(len))) return -2;
        done += n;
    } while (done < lenth);
    return 1;
}

int kx_String_out(const kx_String *string, FILE *stream) {
    if (string == nullptr) return -1;
    return kx_String_buffer_out(string->lenth, string->buffer, stream);
}

}  // extern "C"

namespace kx {

std::string base64Padded(const void *data, size_t length) {
    if (length == 0 || length > UINT32_MAX / 2) return {};
    std::string out(4 * (length / 3) + 4, '\0');
    long n = kx_String_buffer_encode_by_base64(out.data(), static_cast<uint32_t>(length), data);
    if (n < 0) return {};
    out.resize(static_cast<size_t>(n));
    while (out.size() % 4 != 0) out.push_back('=');
    return out;
}

}  // namespace kx
