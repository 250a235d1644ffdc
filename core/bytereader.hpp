// One bounds-checked reader over bytes that came from a file or the network.
//
// Every read checks what remains first. A read that does not fit returns false (or 0 / an
// empty span), leaves the position where it was and marks the reader failed, so a parser
// can run a sequence of reads and check ok() once at the end. Nothing here allocates.
//
//   kx::ByteReader r(data, size);
//   uint32_t id; uint64_t len;
//   if (!r.ebmlId(&id) || !r.ebmlSize(&len) || !r.fits(len)) return nullptr;
//   kx::ByteReader body = r.sub(len);
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kx {

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const void *data, size_t size)
        : data_(static_cast<const uint8_t *>(data)), size_(data ? size : 0) {}

    size_t size() const { return size_; }
    size_t pos() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    bool empty() const { return pos_ == size_; }
    bool ok() const { return ok_; }
    const uint8_t *data() const { return data_; }
    const uint8_t *cur() const { return data_ + pos_; }

    // True when n more bytes are there (does not fail the reader).
    bool fits(uint64_t n) const { return n <= remaining(); }

    bool skip(uint64_t n) {
        if (!need(n)) return false;
        pos_ += static_cast<size_t>(n);
        return true;
    }
    // Moves to an absolute position inside the data.
    bool seek(size_t p) {
        if (p > size_) return fail();
        pos_ = p;
        return true;
    }

    // Next n bytes, by pointer into the data (null when they are not there).
    const uint8_t *bytes(uint64_t n) {
        if (!need(n)) return nullptr;
        const uint8_t *p = data_ + pos_;
        pos_ += static_cast<size_t>(n);
        return p;
    }
    bool copy(void *out, size_t n) {
        const uint8_t *p = bytes(n);
        if (!p) return false;
        if (n) std::memcpy(out, p, n);
        return true;
    }
    // A reader over the next n bytes; this one moves past them. Empty and failed when they
    // are not there.
    ByteReader sub(uint64_t n) {
        const uint8_t *p = bytes(n);
        if (!p) {
            ByteReader bad;
            bad.ok_ = false;
            return bad;
        }
        return ByteReader(p, static_cast<size_t>(n));
    }

    bool peek8(uint8_t *v) const {
        if (!fits(1)) return false;
        *v = data_[pos_];
        return true;
    }
    bool u8(uint8_t *v) {
        if (!need(1)) return false;
        *v = data_[pos_++];
        return true;
    }
    bool be16(uint16_t *v) { return big(v, 2); }
    bool be24(uint32_t *v) { return big(v, 3); }
    bool be32(uint32_t *v) { return big(v, 4); }
    bool be64(uint64_t *v) { return big(v, 8); }
    bool le16(uint16_t *v) { return little(v, 2); }
    bool le32(uint32_t *v) { return little(v, 4); }
    bool le64(uint64_t *v) { return little(v, 8); }
    // Big-endian unsigned number of 0..8 bytes (EBML integers, sized fields).
    bool beN(uint64_t *v, size_t n) {
        if (n > 8) return fail();
        return big(v, n);
    }
    bool beFloat32(float *v) {
        uint32_t u;
        if (!be32(&u)) return false;
        std::memcpy(v, &u, 4);
        return true;
    }
    bool beFloat64(double *v) {
        uint64_t u;
        if (!be64(&u)) return false;
        std::memcpy(v, &u, 8);
        return true;
    }

    // EBML variable-length numbers (RFC 8794): the count of leading zero bits of the first
    // byte plus one is the length, 1..maxLength bytes.
    //   ebmlId: the id with its length marker kept (0x1A45DFA3), at most 4 bytes.
    //   ebmlSize: the value without the marker, at most 8 bytes; all value bits set means
    //             "unknown size" and gives kUnknownSize.
    static constexpr uint64_t kUnknownSize = ~uint64_t(0);
    bool ebmlId(uint32_t *id) {
        uint64_t raw;
        size_t len;
        if (!vint(&raw, &len, 4, true)) return false;
        *id = static_cast<uint32_t>(raw);
        return true;
    }
    bool ebmlSize(uint64_t *size, size_t *length = nullptr) {
        uint64_t v;
        size_t len;
        if (!vint(&v, &len, 8, false)) return false;
        if (v == (uint64_t(1) << (7 * len)) - 1) v = kUnknownSize;
        *size = v;
        if (length) *length = len;
        return true;
    }
    // A vint of at most maxLength bytes; keepMarker keeps the length marker bit in the value.
    bool vint(uint64_t *value, size_t *length, size_t maxLength, bool keepMarker) {
        uint8_t first;
        if (!peek8(&first)) return fail();
        if (first == 0) return fail();
        size_t len = 1;
        while (!(first & (0x80u >> (len - 1)))) ++len;
        if (len > maxLength || !fits(len)) return fail();
        uint64_t v = keepMarker ? first : (first & (0xFFu >> len));
        for (size_t i = 1; i < len; ++i) v = (v << 8) | data_[pos_ + i];
        pos_ += len;
        *value = v;
        *length = len;
        return true;
    }

    // The library's own document numbers: little-endian, with the length marked in the low
    // bits of the first byte (1 + its trailing zero bits, 1..8 bytes); the value is the
    // n-byte number shifted right by n. A first byte of 0 is invalid.
    bool lowVint(uint64_t *value, size_t *length = nullptr) {
        uint8_t first;
        if (!peek8(&first) || first == 0) return fail();
        size_t len = 1;
        while (!(first & (1u << (len - 1)))) ++len;
        if (!fits(len)) return fail();
        uint64_t v = 0;
        for (size_t i = len; i-- > 0;) v = (v << 8) | data_[pos_ + i];
        pos_ += len;
        *value = v >> len;
        if (length) *length = len;
        return true;
    }
    // A NUL-terminated text: the bytes before the NUL (the reader moves past the NUL).
    // Fails when no NUL is left.
    bool cstr(const char **text, size_t *length) {
        const void *nul = remaining() ? std::memchr(data_ + pos_, 0, remaining()) : nullptr;
        if (!nul) return fail();
        size_t n = static_cast<size_t>(static_cast<const uint8_t *>(nul) - (data_ + pos_));
        *text = reinterpret_cast<const char *>(data_ + pos_);
        *length = n;
        pos_ += n + 1;
        return true;
    }

private:
    bool fail() {
        ok_ = false;
        return false;
    }
    bool need(uint64_t n) {
        if (n > remaining()) return fail();
        return true;
    }
    template <typename T>
    bool big(T *v, size_t n) {
        if (!need(n)) return false;
        uint64_t x = 0;
        for (size_t i = 0; i < n; ++i) x = (x << 8) | data_[pos_ + i];
        pos_ += n;
        *v = static_cast<T>(x);
        return true;
    }
    template <typename T>
    bool little(T *v, size_t n) {
        if (!need(n)) return false;
        uint64_t x = 0;
        for (size_t i = n; i-- > 0;) x = (x << 8) | data_[pos_ + i];
        pos_ += n;
        *v = static_cast<T>(x);
        return true;
    }

    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace kx
